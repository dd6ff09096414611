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
    while (len > 0) {
        if (r.next == 0)
            reverse_refill(r);
        const size_t k = r.next < len ? r.next : len;
        memcpy(run + len - k, r.buf.data() + r.next - k, k * sizeof(double));
        r.next -= k;
        len -= k;
    }
}

// The sets of a block that take their terms from within it, in layers:
// the sets of layer k (k members among the block's low variables) need
// only sets of layer k - 1, so a whole layer's exponentials and logarithms
// are done as vectors.  The terms of a set are gathered after its scaled
// running sum, each as its distance below the set's largest weight.
struct low_layers {
    std::vector<uint16_t> order;   // the sets 0 .. block-1 by number of members
    std::vector<size_t> layer;     // layer k is order[layer[k] .. layer[k + 1])
    std::vector<double> d, e, m, y, out;
};

void layers_init(low_layers &ly, int b)
{
    const size_t block = size_t(1) << b;
    ly.layer.assign(size_t(b) + 2, 0);
    for (int k = 0; k <= b; ++k) {
        ly.layer[size_t(k)] = ly.order.size();
        for (size_t l = 0; l < block; ++l)
            if (__builtin_popcountll(l) == k)
                ly.order.push_back(uint16_t(l));
    }
    ly.layer[size_t(b) + 1] = ly.order.size();
    const size_t most = block * (size_t(b) + 1);
    ly.d.resize(most);
    ly.e.resize(most);
    ly.m.resize(block);
    ly.y.resize(block);
    ly.out.resize(block);
}

// The block's sets from their running sums mx, sm (the terms from other
// blocks) and their terms within the block: set l takes, for each low
// member v (in v of l, or with backward not in l), blk[l ^ 2^v] plus the
// record of v at l's place among the block's sets holding (or lacking) v.
// first is the set of layer 0 that is 1 (the empty set forward, the full
// set backward), or block for none.
void low_part(double *blk, const double *mx, const double *sm,
              const std::vector<std::vector<double>> &low, int b, bool backward, size_t first,
              low_layers &ly)
{
    const size_t block = size_t(1) << b, full = block - 1;
    {
        const size_t l = backward ? full : 0;
        blk[l] = l == first ? 0.0 : log_sum_value(log_sum{mx[l], sm[l]});
    }
    for (int k = 1; k <= b; ++k) {
        const size_t from = ly.layer[size_t(k)], to = ly.layer[size_t(k) + 1];
        size_t nd = 0;
        for (size_t i = from; i < to; ++i) {
            const size_t mem = ly.order[i];
            const size_t l = backward ? full ^ mem : mem;
            double t[16];
            int c = 0;
            double big = mx[l];
            for (size_t rest = mem; rest != 0; rest &= rest - 1) {
                const int v = __builtin_ctzll(rest);
                // l's place among the sets holding (lacking) v: l without bit v.
                const size_t at = ((l >> (v + 1)) << v) | (l & ((size_t(1) << v) - 1));
                const double x = blk[l ^ (size_t(1) << v)] + low[size_t(v)][at];
                t[c++] = x;
                big = x > big ? x : big;
            }
            ly.m[i - from] = big;
            // All weight zero: every distance taken as far below.
            const double base = big == minus_inf ? 0.0 : big;
            ly.d[nd++] = mx[l] - base;
            for (int j = 0; j < c; ++j)
                ly.d[nd++] = t[j] - base;
        }
        to_linear(ly.d.data(), ly.e.data(), nd, 0.0);
        nd = 0;
        for (size_t i = from; i < to; ++i) {
            const size_t mem = ly.order[i];
            const size_t l = backward ? full ^ mem : mem;
            double sum = sm[l] * ly.e[nd++];
            for (int j = __builtin_popcountll(mem); j > 0; --j)
                sum += ly.e[nd++];
            ly.y[i - from] = sum;
        }
        add_logs(ly.m.data(), ly.y.data(), ly.out.data(), to - from);
        for (size_t i = from; i < to; ++i) {
            const size_t mem = ly.order[i];
            blk[backward ? full ^ mem : mem] = ly.out[i - from];
        }
    }
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
    low_layers layers;
    layers_init(layers, b);

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
        low_part(blk, mx.data(), sm.data(), low, b, false, h == 0 ? 0 : block, layers);
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
            low_part(blk, mx.data(), sm.data(), low, b, true, h == top ? block - 1 : block,
                     layers);
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
