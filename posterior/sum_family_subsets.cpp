// sum_family_subsets: for every variable and every candidate parent set,
// the logarithm of the prior-weighted sum of e^score over all parent sets
// inside it.
//
// Reads <dirname>/<i> (2^(n-1) doubles indexed by parset, the local scores
// as log marginal likelihoods) and writes <dirname>/<i>.lsum, 2^(n-1)
// doubles: record p = log of the sum over the subsets q of p of
// e^score(q) / C(n-1, |q|).  The prior 1/C(n-1, k) spreads the weight of
// each parent-set size evenly over the sets of that size.
//
// A NaN score weighs nothing, like -inf; a score of +inf fails.  The sums
// are made one bit at a time (the sets holding the bit take in the same set
// without it), in log space, so scores down to -1e12 neither overflow nor
// vanish.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files.h"
#include "logsum.h"

// The scores of one variable are read by runs as the subset sums take them
// (two threads at once, each with its own offsets), cleaned and given the
// prior while they are in the cache.
void sum_family_subsets(int nof_vars, const char *dirname)
{
    if (nof_vars <= 0)
        return;
    const uint64_t count = uint64_t(1) << (nof_vars - 1);
    double *w = static_cast<double *>(alloc_populated(sizeof(double) * count, "weight table"));
    const std::vector<double> prior = log_family_prior(nof_vars - 1);
    // Set sizes within runs of 1024 parsets, for the prior.
    std::vector<unsigned char> low_size(1024);
    for (size_t k = 0; k < low_size.size(); ++k)
        low_size[k] = (unsigned char)__builtin_popcountll(k);

    for (int i = 0; i < nof_vars; ++i) {
        char *name = create_fn(dirname, i, "");
        FILE *in = fopen_checked(name, "rb");
        check_input_size(in, count * sizeof(double), name);
        // In place from a mapping where the file can be mapped (the whole
        // file: both threads read it), else by offset.
        mapped_input map;
        const bool mapped = map_input(&map, in, count * sizeof(double), name);
        const double *records = reinterpret_cast<const double *>(map.base);
        const subset_fill scores = [&](uint64_t at, size_t len, double *x) {
            const bool clean = mapped && all_finite_or_minus_inf(records + at, len);
            if (!clean) {
                if (mapped)
                    memcpy(x, records + at, len * sizeof(double));
                else
                    pread_exact(in, x, len * sizeof(double), at * sizeof(double), name);
                clean_scores(x, len, at, name);
            }
            const double *from = clean ? records + at : x;
            for (size_t r = 0; r < len; r += 1024) {
                const size_t rl = len - r < 1024 ? len - r : 1024;
                const double *pr = prior.data() + __builtin_popcountll(at + r);
                for (size_t k = 0; k < rl; ++k)
                    x[r + k] = from[r + k] + pr[low_size[k]];
            }
        };
        subset_sums_made(w, nof_vars - 1, false, true, scores);
        if (mapped)
            unmap_input(&map);
        close_input(in, name);
        free(name);

        name = create_fn(dirname, i, ".lsum");
        FILE *out = open_output(name, "wb");
        write_records(out, w, sizeof(double), size_t(count), name);
        close_output(out, name);
        commit_output(name);
        free(name);
    }
    free_populated(w, sizeof(double) * count);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 3) {
        fputs("Usage: sum_family_subsets nof_vars dirname\n", stderr);
        return 1;
    }
    program_name = "sum_family_subsets";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, below_one::nothing_to_do);
    sum_family_subsets(nof_vars, argv[2]);
    return 0;
}
