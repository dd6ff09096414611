// Writes a CSV data set for the scorer benchmark: nof_rows samples of
// nof_vars binary variables drawn from a random network in which every
// variable has up to three parents among the variables before it.
//
//   make_bench_data nof_vars nof_rows seed
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "splitmix.h"

namespace {

double uniform()
{
    return double(next_random() >> 11) * 0x1.0p-53;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fputs("Usage: make_bench_data nof_vars nof_rows seed\n", stderr);
        return 1;
    }
    int n = atoi(argv[1]);
    long rows = atol(argv[2]);
    random_state = strtoull(argv[3], nullptr, 10);
    if (n < 1 || n > 32 || rows < 0) {
        fputs("make_bench_data: nof_vars must be 1 to 32, nof_rows not negative\n", stderr);
        return 2;
    }
    std::vector<std::vector<int>> parents(static_cast<size_t>(n));
    std::vector<std::vector<double>> cpt(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v) {
        int k = v < 3 ? v : 3;
        k = int(next_random() % uint64_t(k + 1));
        for (int j = 0; j < k; ++j)
            parents[size_t(v)].push_back(int(next_random() % uint64_t(v)));
        for (size_t c = 0; c < (size_t(1) << k); ++c)
            cpt[size_t(v)].push_back(0.05 + 0.9 * uniform());
    }
    for (int v = 0; v < n; ++v)
        printf("%sX%d", v ? "," : "", v);
    printf("\n");
    std::vector<int> x(static_cast<size_t>(n));
    for (long r = 0; r < rows; ++r) {
        for (int v = 0; v < n; ++v) {
            size_t c = 0;
            for (int p : parents[size_t(v)])
                c = 2 * c + size_t(x[size_t(p)]);
            x[size_t(v)] = uniform() < cpt[size_t(v)][c];
            printf("%s%s", v ? "," : "", x[size_t(v)] ? "a" : "b");
        }
        printf("\n");
    }
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 2;
}
