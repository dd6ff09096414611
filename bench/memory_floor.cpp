// The memory floor of find_top_families: one pass over its two tables,
// 2^(nof_vars-1) doubles and as many unsigned 32-bit indexes.  Both are
// allocated, every element is written once (which also maps the pages), then
// read once: each index is rewritten from its score.
//
//   memory_floor nof_vars
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "files.h"

namespace {

void memory_floor(int n)
{
    const size_t count = size_t(1) << (n - 1);
    double *score = static_cast<double *>(alloc_or_fail(count * sizeof(double), "score table"));
    uint32_t *best = static_cast<uint32_t *>(alloc_or_fail(count * sizeof(uint32_t), "best table"));
    for (size_t j = 0; j < count; ++j) {
        score[j] = -double(j);
        best[j] = uint32_t(j);
    }
    uint64_t sum = 0;
    for (size_t j = 0; j < count; ++j) {
        best[j] += score[j] < -1.0 ? 1u : 0u;
        sum += best[j];
    }
    // The sum keeps the passes from being optimised away.
    if (sum == 1)
        puts("");
    free(score);
    free(best);
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "memory_floor";
    if (argc != 2) {
        fputs("Usage: memory_floor nof_vars\n", stderr);
        return 1;
    }
    int n = parse_nof_vars(argv[1]);
    if (n < 1 || n > 32)
        fail(argv[1], "nof_vars must be 1 to 32");
    memory_floor(n);
    return 0;
}
