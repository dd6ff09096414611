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

#include <sys/mman.h>

#include "files.h"
#include "logsum.h"

namespace {

constexpr int block_bits = 8;

// A variable's .lsum records, read in place from a mapping where the file
// can be mapped (its pages dropped once a pass is done with them), else by
// offset into a buffer.
struct records_of {
    FILE *file;
    const char *name;
    mapped_input map;
    bool mapped;
    uint64_t kept_below;   // the backward pass has dropped the bytes from here on
};

// len records from record at on: in place, or read into buf.
const double *records_at(records_of &r, uint64_t at, size_t len, double *buf)
{
    if (r.mapped)
        return reinterpret_cast<const double *>(r.map.base) + at;
    pread_exact(r.file, buf, len * sizeof(double), at * sizeof(double), r.name);
    return buf;
}

// The forward pass is done with the records before record at.
void done_before(records_of &r, uint64_t at)
{
    if (r.mapped)
        mapped_release(&r.map, at * sizeof(double));
}

// The backward pass is done with the records from record at on.
void done_from(records_of &r, uint64_t at)
{
    if (!r.mapped)
        return;
    const uint64_t step = r.map.step;
    const uint64_t from = (at * sizeof(double) + step - 1) & ~(step - 1);
    if (from + step <= r.kept_below) {
        madvise(const_cast<unsigned char *>(r.map.base) + from, size_t(r.kept_below - from),
                MADV_DONTNEED);
        r.kept_below = from;
    }
}

// The block of the next high member (if any) asked for while this one is
// summed: the blocks a set draws on lie far apart.
void ask_ahead(const double *next, uint64_t more, size_t len)
{
    if (more == 0)
        return;
    for (size_t i = 0; i < len; i += 8)
        __builtin_prefetch(next + i);
}

// h without its bit j, closed up: the place of block h among the blocks
// that lack (or hold) bit j.
uint64_t squeeze(uint64_t h, int j)
{
    return ((h >> (j + 1)) << j) | (h & ((uint64_t(1) << j) - 1));
}

// The sets of a block that take their terms from within it, in layers:
// the sets of layer k (k members among the block's low variables) need
// only sets of layer k - 1, so a whole layer is done as vectors
// (layer_sums).  Per direction and layer, the sets and, member by member,
// where each term's set and record are: slot s of set i at s * count + i.
struct low_layers {
    size_t half;                       // records per low variable and block
    std::vector<size_t> layer;         // layer k: sets [layer[k], layer[k + 1]) of the lists
    std::vector<int32_t> set[2];      // [backward]: the sets by layer
    std::vector<size_t> slots;         // layer k's slots start at slots[k]
    std::vector<int32_t> src[2], rec[2];
    std::vector<double> recs, work;    // the block's low records, one run per variable
};

void layers_init(low_layers &ly, int b)
{
    const size_t block = size_t(1) << b, full = block - 1;
    ly.half = block / 2;
    ly.layer.assign(size_t(b) + 2, 0);
    ly.slots.assign(size_t(b) + 2, 0);
    std::vector<uint16_t> order;
    for (int k = 0; k <= b; ++k) {
        ly.layer[size_t(k)] = order.size();
        for (size_t l = 0; l < block; ++l)
            if (__builtin_popcountll(l) == k)
                order.push_back(uint16_t(l));
    }
    ly.layer[size_t(b) + 1] = order.size();
    for (int backward = 0; backward < 2; ++backward) {
        ly.set[backward].clear();
        ly.src[backward].clear();
        ly.rec[backward].clear();
    }
    for (int k = 0; k <= b; ++k) {
        const size_t from = ly.layer[size_t(k)], to = ly.layer[size_t(k) + 1];
        const size_t count = to - from;
        ly.slots[size_t(k)] = ly.src[0].size();
        for (int backward = 0; backward < 2; ++backward) {
            std::vector<int32_t> src(size_t(k) * count), rec(size_t(k) * count);
            for (size_t i = 0; i < count; ++i) {
                const size_t mem = order[from + i];
                const size_t l = backward ? full ^ mem : mem;
                ly.set[backward].push_back(int32_t(l));
                size_t slot = 0;
                for (size_t rest = mem; rest != 0; rest &= rest - 1, ++slot) {
                    const int v = __builtin_ctzll(rest);
                    // l's place among the sets holding (lacking) v: l
                    // without bit v.
                    const size_t at = ((l >> (v + 1)) << v) | (l & ((size_t(1) << v) - 1));
                    src[slot * count + i] = int32_t(l ^ (size_t(1) << v));
                    rec[slot * count + i] = int32_t(size_t(v) * ly.half + at);
                }
            }
            ly.src[backward].insert(ly.src[backward].end(), src.begin(), src.end());
            ly.rec[backward].insert(ly.rec[backward].end(), rec.begin(), rec.end());
        }
    }
    ly.slots[size_t(b) + 1] = ly.src[0].size();
    ly.recs.resize(size_t(b) * ly.half + 1);
    ly.work.resize(ly.src[0].size() + 3 * block);
}

// The block's sets from their running sums mx, sm (the terms from other
// blocks) and their terms within the block: set l takes, for each low
// member v (in v of l, or with backward not in l), blk[l ^ 2^v] plus the
// record of v at l's place among the block's sets holding (or lacking) v.
// first is the set of layer 0 that is 1 (the empty set forward, the full
// set backward), or block for none.
void low_part(double *blk, const double *mx, const double *sm, const double *const *low, int b,
              bool backward, size_t first, low_layers &ly)
{
    const size_t block = size_t(1) << b, full = block - 1;
    {
        const size_t l = backward ? full : 0;
        blk[l] = l == first ? 0.0 : log_sum_value(log_sum{mx[l], sm[l]});
    }
    for (int v = 0; v < b; ++v)
        memcpy(ly.recs.data() + size_t(v) * ly.half, low[v], ly.half * sizeof(double));
    const int dir = backward ? 1 : 0;
    for (int k = 1; k <= b; ++k) {
        const size_t from = ly.layer[size_t(k)], count = ly.layer[size_t(k) + 1] - from;
        const size_t slot0 = ly.slots[size_t(k)];
        layer_sums(blk, mx, sm, ly.recs.data(), ly.set[dir].data() + from,
                   ly.src[dir].data() + slot0, ly.rec[dir].data() + slot0, count, k,
                   ly.work.data());
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
    std::vector<records_of> in(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v) {
        records_of &r = in[size_t(v)];
        r.file = files[v];
        r.name = names[size_t(v)];
        check_input_size(r.file, records * sizeof(double), r.name);
        r.mapped = map_input(&r.map, r.file, records * sizeof(double), r.name);
        r.map.step = 512 * 1024;   // a small window per file: n of them are open
        r.kept_below = records * sizeof(double);
    }
    std::vector<double> mx(block), sm(block), run(block);
    // Per low variable, the records of the current block (where read).
    std::vector<std::vector<double>> low_buf(static_cast<size_t>(b), std::vector<double>(block / 2));
    const double *low[block_bits];
    low_layers layers;
    layers_init(layers, b);

    // Forward: F(S) = sum over v in S of F(S - v) a_v(S - v).  The records
    // of a high member v for block h are the squeeze(h)-th run of 2^b of
    // v's file; those of a low member the h-th run of 2^(b-1).
    for (uint64_t h = 0; h < nof_blocks; ++h) {
        double *blk = table + (h << b);
        std::fill(mx.begin(), mx.end(), minus_inf);
        std::fill(sm.begin(), sm.end(), 0.0);
        for (uint64_t rest = h; rest != 0; rest &= rest - 1) {
            const int j = __builtin_ctzll(rest);
            records_of &r = in[size_t(b + j)];
            const uint64_t at = squeeze(h, j) << b;
            ask_ahead(table + ((h ^ (rest & (rest - 1) & -(rest & (rest - 1)))) << b), rest & (rest - 1), block);
            log_sum_runs(mx.data(), sm.data(), table + ((h ^ (rest & -rest)) << b),
                         records_at(r, at, block, run.data()), block);
            done_before(r, at + block);
        }
        for (int v = 0; v < b; ++v)
            low[v] = records_at(in[size_t(v)], h * (block / 2), block / 2, low_buf[size_t(v)].data());
        low_part(blk, mx.data(), sm.data(), low, b, false, h == 0 ? 0 : block, layers);
        for (int v = 0; v < b; ++v)
            done_before(in[size_t(v)], (h + 1) * (block / 2));
    }
    FILE *out = open_output(fwdfile, "wb");
    write_records(out, table, sizeof(double), size_t(count), fwdfile);
    close_output(out, fwdfile);
    commit_output(fwdfile);

    // Backward: B(T) = sum over v not in T of a_v(T) B(T + v), from the
    // full set down; the records of the blocks lacking v, at the same
    // places.
    const uint64_t top = nof_blocks - 1;
    for (uint64_t h = nof_blocks; h-- > 0;) {
        double *blk = table + (h << b);
        std::fill(mx.begin(), mx.end(), minus_inf);
        std::fill(sm.begin(), sm.end(), 0.0);
        for (uint64_t rest = top & ~h; rest != 0; rest &= rest - 1) {
            const int j = __builtin_ctzll(rest);
            records_of &r = in[size_t(b + j)];
            const uint64_t at = squeeze(h, j) << b;
            ask_ahead(table + ((h | (rest & (rest - 1) & -(rest & (rest - 1)))) << b), rest & (rest - 1), block);
            log_sum_runs(mx.data(), sm.data(), table + ((h | (rest & -rest)) << b),
                         records_at(r, at, block, run.data()), block);
            done_from(r, at);
        }
        for (int v = 0; v < b; ++v)
            low[v] = records_at(in[size_t(v)], h * (block / 2), block / 2, low_buf[size_t(v)].data());
        low_part(blk, mx.data(), sm.data(), low, b, true, h == top ? block - 1 : block, layers);
        for (int v = 0; v < b; ++v)
            done_from(in[size_t(v)], h * (block / 2));
    }
    for (records_of &r : in)
        if (r.mapped)
            unmap_input(&r.map);
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
