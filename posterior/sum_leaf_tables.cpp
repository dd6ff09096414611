// sum_leaf_tables: the forward and backward sums over the variable orders,
// from the subset sums of sum_family_subsets.
//
// With a_v(U) = e^record of <dirname>/<v>.lsum at the parset of U (the
// weight of all parent sets of v inside U):
//   forward  F(S) = sum over v in S of F(S - v) a_v(S - v),  F(0) = 1:
//            every order of the variables of S, each variable drawing its
//            parents from those before it;
//   backward B(T) = sum over v not in T of a_v(T) B(T + v),  B(all) = 1:
//            every order of the other variables placed after those of T.
// F(all) = B(0) is the total weight of all networks.  fwdfile and bwdfile
// each get 2^n doubles, the logarithms of F and B indexed by varset.
//
// The forward pass reads every .lsum file front to back (the k-th record of
// <v>.lsum belongs to the k-th set holding v), the backward pass back to
// front; one table of 2^n doubles serves both passes in turn.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files.h"
#include "logsum.h"

namespace {

constexpr size_t buffer_records = 8192;

} // namespace

void sum_leaf_tables(int nof_vars, const char *dirname, const char *fwdfile, const char *bwdfile)
{
    const int n = nof_vars > 0 ? nof_vars : 0;
    const uint64_t count = uint64_t(1) << n;
    const uint64_t records = n > 0 ? count / 2 : 0;
    double *table = static_cast<double *>(alloc_or_fail(sizeof(double) * count, "sum table"));
    std::vector<char *> names(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v)
        names[size_t(v)] = create_fn(dirname, v, ".lsum");
    FILE **files = open_files_checked(n, dirname, ".lsum", "rb");

    // Forward.
    {
        std::vector<record_reader> in(static_cast<size_t>(n));
        for (int v = 0; v < n; ++v) {
            check_input_size(files[v], records * sizeof(double), names[size_t(v)]);
            reader_init(&in[size_t(v)], files[v], names[size_t(v)], sizeof(double),
                        buffer_records);
        }
        table[0] = 0.0;
        for (uint64_t s = 1; s < count; ++s) {
            log_sum sum;
            for (uint64_t rest = s; rest != 0; rest &= rest - 1) {
                const int v = __builtin_ctzll(rest);
                double a;
                memcpy(&a, reader_next(&in[size_t(v)]), sizeof a);
                log_sum_add(sum, table[s ^ (uint64_t(1) << v)] + a);
            }
            table[s] = log_sum_value(sum);
        }
        for (auto &r : in)
            reader_free(&r);
    }
    set_partial_output(fwdfile);
    FILE *out = fopen_checked(fwdfile, "wb");
    write_records(out, table, sizeof(double), size_t(count), fwdfile);
    close_output(out, fwdfile);
    set_partial_output(nullptr);

    // Backward.
    {
        std::vector<reverse_reader> in(static_cast<size_t>(n));
        for (int v = 0; v < n; ++v)
            reverse_init(in[size_t(v)], files[v], names[size_t(v)], records, buffer_records);
        const uint64_t full = count - 1;
        table[full] = 0.0;
        for (uint64_t t = full; t-- > 0;) {
            log_sum sum;
            for (uint64_t rest = full & ~t; rest != 0; rest &= rest - 1) {
                const int v = __builtin_ctzll(rest);
                log_sum_add(sum, reverse_next(in[size_t(v)]) + table[t | (uint64_t(1) << v)]);
            }
            table[t] = log_sum_value(sum);
        }
    }
    set_partial_output(bwdfile);
    out = fopen_checked(bwdfile, "wb");
    write_records(out, table, sizeof(double), size_t(count), bwdfile);
    close_output(out, bwdfile);
    set_partial_output(nullptr);

    free_files(n, files);
    for (char *name : names)
        free(name);
    free(table);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 5) {
        fputs("Usage: sum_leaf_tables nof_vars dirname fwdfile bwdfile\n", stderr);
        return 1;
    }
    program_name = "sum_leaf_tables";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, argv[1], false);
    sum_leaf_tables(nof_vars, argv[2], argv[3], argv[4]);
    return 0;
}
