// find_top_families: for every variable and every candidate parent set,
// the best-scoring parent set inside it and that set's score.
//
// Reads <dirname>/<i> (2^(n-1) doubles indexed by parset) and writes
// <dirname>/<i>.bps (4-byte parset of the best subset) and <dirname>/<i>.bss
// (8-byte best score), one variable at a time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "files.h"

// Best subset of every parset j, in place: score[j] becomes the best score
// among the subsets of j and best[j] its parset.  Candidates are the sets
// with one bit of j removed, tried from the lowest bit up; an equal score
// replaces, so on a tie the set reached by removing the highest bit wins.
static void best_subsets(double *score, uint32_t *best, uint32_t count)
{
    for (uint32_t j = 0; j < count; ++j) {
        uint32_t kept = j;
        double value = score[j];
        for (uint32_t rest = j; rest != 0; rest &= rest - 1) {
            uint32_t sub = j ^ (rest & -rest);
            double x = score[sub];
            if (x >= value) {
                value = x;
                kept = best[sub];
            }
        }
        best[j] = kept;
        score[j] = value;
    }
}

void find_top_families(int nof_vars, const char *dirname)
{
    if (nof_vars <= 0)
        return;
    const uint32_t count = uint32_t(1) << (nof_vars - 1);
    double *score = static_cast<double *>(alloc_or_fail(sizeof(double) * count, "score table"));
    uint32_t *best =
        static_cast<uint32_t *>(alloc_or_fail(sizeof(uint32_t) * count, "best-parent table"));

    for (int i = 0; i < nof_vars; ++i) {
        char *name = create_fn(dirname, i, "");
        FILE *in = fopen_checked(name, "rb");
        read_records(in, score, sizeof(double), count, name);
        close_input(in, name);
        free(name);

        best_subsets(score, best, count);

        name = create_fn(dirname, i, ".bps");
        set_partial_output(name);
        FILE *out = fopen_checked(name, "wb");
        setvbuf(out, nullptr, _IONBF, 0);
        write_records(out, best, sizeof(uint32_t), count, name);
        close_output(out, name);
        free(name);

        name = create_fn(dirname, i, ".bss");
        set_partial_output(name);
        out = fopen_checked(name, "wb");
        setvbuf(out, nullptr, _IONBF, 0);
        write_records(out, score, sizeof(double), count, name);
        close_output(out, name);
        set_partial_output(nullptr);
        free(name);
    }
    free(best);
    free(score);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 3) {
        fputs("Usage: find_top_families nof_vars dirname\n", stderr);
        return 1;
    }
    program_name = "find_top_families";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, argv[1], true);
    find_top_families(nof_vars, argv[2]);
    return 0;
}
