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
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files.h"
#include "logsum.h"

namespace {

constexpr size_t buffer_records = 8192;
constexpr int block_bits = 8;

// A variable's next len records, front to back or (reverse_reader) back to
// front into run[len - 1] down to run[0].
void take_forward(FILE *f, const char *name, double *run, size_t len)
{
    read_records(f, run, sizeof(double), len, name);
}

void take_backward(reverse_reader &r, double *run, size_t len)
{
    for (size_t k = len; k-- > 0;)
        run[k] = reverse_next(r);
}

} // namespace

// Both passes go by blocks of 2^8 consecutive sets.  In a block the members
// above bit 8 are shared by every set, and their terms for the whole block
// come from one run of the table and one run of their .lsum records: they
// are summed as vectors.  The members below bit 8 are taken set by set, in
// the order in which the sets they need are complete.
void sum_leaf_tables(int nof_vars, const char *dirname, const char *fwdfile, const char *bwdfile)
{
    const int n = nof_vars > 0 ? nof_vars : 0;
    const uint64_t count = uint64_t(1) << n;
    const uint64_t records = n > 0 ? count / 2 : 0;
    const int b = n < block_bits ? n : block_bits;
    const size_t block = size_t(1) << b;
    const uint64_t nof_blocks = count >> b;
    double *table = static_cast<double *>(alloc_or_fail(sizeof(double) * count, "sum table"));
    std::vector<char *> names(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v)
        names[size_t(v)] = create_fn(dirname, v, ".lsum");
    FILE **files = open_files_checked(n, dirname, ".lsum", "rb");
    std::vector<double> mx(block), sm(block), run(block);
    // Per low variable, the records of the current block.
    std::vector<std::vector<double>> low(static_cast<size_t>(b), std::vector<double>(block / 2));

    // Forward: F(S) = sum over v in S of F(S - v) a_v(S - v).
    for (int v = 0; v < n; ++v) {
        check_input_size(files[v], records * sizeof(double), names[size_t(v)]);
        setvbuf(files[v], nullptr, _IOFBF, buffer_records * sizeof(double));
    }
    for (uint64_t h = 0; h < nof_blocks; ++h) {
        double *blk = table + (h << b);
        std::fill(mx.begin(), mx.end(), minus_inf);
        std::fill(sm.begin(), sm.end(), 0.0);
        for (uint64_t rest = h; rest != 0; rest &= rest - 1) {
            const int v = b + __builtin_ctzll(rest);
            take_forward(files[v], names[size_t(v)], run.data(), block);
            log_sum_runs(mx.data(), sm.data(), table + ((h ^ (rest & -rest)) << b), run.data(),
                         block);
        }
        for (int v = 0; v < b; ++v)
            take_forward(files[v], names[size_t(v)], low[size_t(v)].data(), block / 2);
        size_t used[block_bits] = {};
        for (size_t l = 0; l < block; ++l) {
            if (h == 0 && l == 0) {
                blk[0] = 0.0;
                continue;
            }
            log_sum sum{mx[l], sm[l]};
            for (size_t rest = l; rest != 0; rest &= rest - 1) {
                const int v = __builtin_ctzll(rest);
                log_sum_add(sum, blk[l ^ (size_t(1) << v)] + low[size_t(v)][used[v]++]);
            }
            blk[l] = log_sum_value(sum);
        }
    }
    FILE *out = open_output(fwdfile, "wb");
    write_records(out, table, sizeof(double), size_t(count), fwdfile);
    close_output(out, fwdfile);
    commit_output(fwdfile);

    // Backward: B(T) = sum over v not in T of a_v(T) B(T + v), from the
    // full set down.
    {
        std::vector<reverse_reader> in(static_cast<size_t>(n));
        for (int v = 0; v < n; ++v)
            reverse_init(in[size_t(v)], files[v], names[size_t(v)], records, buffer_records);
        const uint64_t top = nof_blocks - 1;
        for (uint64_t h = nof_blocks; h-- > 0;) {
            double *blk = table + (h << b);
            std::fill(mx.begin(), mx.end(), minus_inf);
            std::fill(sm.begin(), sm.end(), 0.0);
            for (uint64_t rest = top & ~h; rest != 0; rest &= rest - 1) {
                const int v = b + __builtin_ctzll(rest);
                take_backward(in[size_t(v)], run.data(), block);
                log_sum_runs(mx.data(), sm.data(), table + ((h | (rest & -rest)) << b),
                             run.data(), block);
            }
            for (int v = 0; v < b; ++v)
                take_backward(in[size_t(v)], low[size_t(v)].data(), block / 2);
            size_t used[block_bits];
            for (int v = 0; v < b; ++v)
                used[v] = block / 2;
            const size_t full = block - 1;
            for (size_t l = block; l-- > 0;) {
                if (h == top && l == full) {
                    blk[l] = 0.0;
                    continue;
                }
                log_sum sum{mx[l], sm[l]};
                for (size_t rest = full & ~l; rest != 0; rest &= rest - 1) {
                    const int v = __builtin_ctzll(rest);
                    log_sum_add(sum, blk[l | (size_t(1) << v)] + low[size_t(v)][--used[v]]);
                }
                blk[l] = log_sum_value(sum);
            }
        }
    }
    out = open_output(bwdfile, "wb");
    write_records(out, table, sizeof(double), size_t(count), bwdfile);
    close_output(out, bwdfile);
    commit_output(bwdfile);

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
    check_nof_vars(nof_vars, below_one::zero_only);
    sum_leaf_tables(nof_vars, argv[2], argv[3], argv[4]);
    return 0;
}
