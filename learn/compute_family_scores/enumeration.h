// The enumeration behind subset_terms(): G(S) for all subsets S in one
// depth-first walk.  S is extended by columns above its largest one, and the
// partition of the rows by their joint value on S is refined by the new
// column.  Only the columns above the largest one of S can still split a
// group, so the rows of a group that agree on them are carried as one item
// with their number as its weight; a group left with a single item never
// splits again: it is set aside on a frozen list (a cell of the same rows in
// every superset), and a row alone in its cell is only counted.  Where the
// groups are large and few columns remain, the remaining subtree is done at
// once from per-group histograms (tail(), enumeration_tail.h).  Small
// groups are held more cheaply: two items as a pair (enumeration_pairs.h),
// at most 64 rows of columns of two labels as a bit mask of an anchor's rows
// (enumeration_masks.h; those of two rows apart, as they split only into
// cells of one row), whose cells are counted by size and each size's term
// added once.  A set whose largest column is the last (of at most two
// labels) is counted while the set without it is made (split_binary());
// one whose largest column is the second or third from the end (of two
// labels) gets no level of its own (its mask groups excepted): it and its
// extensions are counted in one pass over its parent's groups
// (count_last_two(), count_last_three()).
//
// The rows of the data are carried either as packed words holding all their
// codes (when the codes fit in 64 bits: no lookups into the columns) or as
// row indexes (each its own item of weight 1).  Packed items are kept in
// increasing order within each group, so the items that agree on the
// columns from v on are neighbours: merging them is a compare with the item
// before, and the order survives every split.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "term_tables.h"

struct packing {
    unsigned shift[max_columns];
    uint64_t mask[max_columns];
    unsigned total;   // bits of all codes
};

// The sums of the frozen cells of one level for the q last asked, so that
// the siblings and descendants sharing a q do not add the list again.
struct frozen_memo {
    static constexpr int capacity = max_columns + 1;
    double q[capacity];
    fixed_sum sum[capacity];
    int size = 0, next = 0;
};

// The four sets of count_last_three(), x = 0 .. 3: t = s + v, then t plus
// the last column but one (x = 1), the last (x = 2), both (x = 3).  Leaf i
// holds the rows of labels i & 1 in v, i >> 1 & 1 in the column after and
// i >> 2 in the last.
struct four_sets {
    term_source src[4];
    double q[4];
    fixed_sum sum[4] = {0, 0, 0, 0};
    size_t kept[4] = {0, 0, 0, 0};
};

template <class Item, bool Packed> struct enumeration {
    // Rows packed in 32 bits are held as one word with the item's weight:
    // the codes in the upper half, the weight in the lower.
    static constexpr bool joined = Packed && sizeof(Item) == 4;
    using slot = std::conditional_t<joined, uint64_t, Item>;
    static constexpr unsigned code_base = joined ? 32 : 0;
    int n;
    size_t nof_rows;
    std::vector<double> arity;
    std::vector<size_t> arities;
    packing pack;
    std::vector<const uint32_t *> cols;
    // Level d: the items of the current subset of d columns grouped by their
    // joint value, only the groups of two items or more (active groups).
    // weights: of the items when not joined; rows: of the groups.
    std::vector<std::vector<slot>> items;
    std::vector<std::vector<uint32_t>> weights;
    std::vector<std::vector<uint32_t>> ends, rows;
    std::vector<size_t> nof_items, nof_groups;
    // The active groups of exactly two items, when the rows are packed, are
    // held apart as pairs: the two weights and the bits where the items'
    // codes differ, which is all their splits need (split_pairs()).
    static constexpr bool with_pairs = Packed;
    struct pair_group {
        slot diff;
        uint32_t a, b;
    };
    std::vector<std::vector<pair_group>> pairs;
    std::vector<size_t> nof_pairs;
    // Where every column has at most two labels (use_masks), the groups of at
    // most 64 rows as masks of the rows of an anchor (enumeration_masks.h):
    // the mask of anchor a for column u is anchor_cols[u anchor_cap + a], the
    // anchors of levels 0 .. d are those below anchor_end[d].
    bool use_masks = false;
    struct mask_group {
        uint64_t m;
        uint32_t anchor, rows;
    };
    std::vector<std::vector<mask_group>> masks_of;
    std::vector<size_t> nof_masks, mask_rows, anchor_end;
    // The mask groups of exactly two rows held apart (their rows are in
    // mask_rows too): they split only into cells of one row, so a split
    // needs no counts of their sizes.
    struct two_group {
        uint64_t m;
        uint32_t anchor;
    };
    std::vector<std::vector<two_group>> twos_of;
    std::vector<size_t> nof_twos;
    bool any_masks(int d) const
    {
        return nof_masks[size_t(d)] != 0 || nof_twos[size_t(d)] != 0;
    }
    std::vector<uint64_t> anchor_cols;
    size_t anchor_cap = 0;
    // Rows of the active groups of level d; rows of the frozen cells of
    // levels 0 .. d, which are frozen[0 .. frozen_end[d]).
    std::vector<size_t> active_rows, frozen_rows, frozen_end;
    std::vector<uint32_t> frozen;
    std::vector<frozen_memo> memos;
    // Level d + 1 refined by the last column as well, counted while level
    // d + 1 was made from level d (see refine()): the sum of the terms of the
    // cells of two rows or more and the rows in them (frozen cells of level d
    // left out), when last_done is set.
    std::vector<fixed_sum> last_sum;
    std::vector<size_t> last_kept;
    std::vector<char> last_done;
    std::vector<slot> spare;
    std::vector<uint32_t> spare_weights;
    term_lookup look;
    double *g;
    // scratch of the refinement by a column of more than two labels
    std::vector<uint64_t> stamp;
    std::vector<uint32_t> count, mass, place, used;
    uint64_t clock = 0;
    // scratch of the tail histograms
    std::vector<uint32_t> hist, marg, touched, marg_touched, list_cells, list_counts;

    // Code of one column in a row, with what it needs held by value.
    struct column_code {
        uint64_t shift, mask;
        const uint32_t *col;
        uint32_t operator()(slot it) const
        {
            if constexpr (Packed)
                return uint32_t((uint64_t(it) >> shift) & mask);
            else
                return col[it];
        }
    };
    column_code code_of(int v) const
    {
        // (A column of one label has no bits: mask 0, any shift.)
        return {std::min(pack.shift[v] + code_base, 63u), pack.mask[v], cols[size_t(v)]};
    }

    uint32_t code(int v, slot it) const
    {
        return code_of(v)(it);
    }

    // The part of a packed item from column v up (what later splits and
    // merges look at); with a row index nothing, as those are never merged.
    static uint64_t high(slot it, unsigned shift)
    {
        if constexpr (Packed)
            return uint64_t(it) >> code_base >> shift;
        else
            return 0;
    }

    // The weight of item k of level d.
    uint32_t weight(int d, uint32_t k) const
    {
        if constexpr (joined)
            return uint32_t(items[size_t(d)][k]);
        else
            return weights[size_t(d)][k];
    }

    // Whether item it continues the run of the item before (prev: its high
    // part, or a value unlike any of the group's first item).
    static uint32_t same_run(uint64_t hi, uint64_t prev)
    {
        if constexpr (Packed)
            return hi == prev;
        else
            return 0;
    }

    // The sum of the terms of the frozen cells of levels 0 .. d for q.
    fixed_sum frozen_sum(int d, double q, const term_source &src)
    {
        while (d > 0 && frozen_end[size_t(d)] == frozen_end[size_t(d) - 1])
            --d;
        if (d == 0)
            return 0;
        frozen_memo &m = memos[size_t(d)];
        for (int i = 0; i < m.size; ++i)
            if (m.q[i] == q)
                return m.sum[i];
        fixed_sum s = frozen_sum(d - 1, q, src);
        for (size_t k = frozen_end[size_t(d) - 1]; k < frozen_end[size_t(d)]; ++k)
            s += term(src, frozen[k]);
        const int at = m.size < m.capacity ? m.size++ : m.next++ % m.capacity;
        m.q[at] = q;
        m.sum[at] = s;
        return s;
    }

    // Level d + 1 is being made: its frozen list starts as level d's.
    void start_level(int d)
    {
        frozen_end[size_t(d) + 1] = frozen_end[size_t(d)];
        frozen_rows[size_t(d) + 1] = frozen_rows[size_t(d)];
        memos[size_t(d) + 1].size = 0;
        memos[size_t(d) + 1].next = 0;
        anchor_end[size_t(d) + 1] = anchor_end[size_t(d)];
        nof_masks[size_t(d) + 1] = 0;
        nof_twos[size_t(d) + 1] = 0;
        mask_rows[size_t(d) + 1] = 0;
    }

    // A group of level d + 1 of `count` items and `rows` rows: active, or
    // frozen when it holds one item of two rows or more.
    void frozen_or_not(int d, size_t count_items, uint32_t rows)
    {
        size_t &fe = frozen_end[size_t(d) + 1];
        frozen[fe] = rows;
        const bool freeze = count_items == 1 && rows >= 2;
        fe += freeze;
        frozen_rows[size_t(d) + 1] += freeze ? rows : 0;
    }

    // Refines level d by column v of two labels into level d + 1; returns the
    // sum of the terms of the new cells of two rows or more.  With WithLast
    // the cells of level d + 1 refined by the last column (of at most two
    // labels, its terms in the table of last) are counted on the way, so
    // that that pass is not needed.  Branch-free: label 0 in place, label 1
    // aside; an item that continues the run of the one before adds its
    // weight to it.  The level's arrays have room for the eight items copied
    // at once past a group's end.
    template <bool WithLast>
    fixed_sum split_binary(int d, int v, const term_source &src, const term_source *last);

    // Counts the labels of column v over items begin .. end - 1 of level d:
    // for every label c seen, count[c] items once merged and mass[c] rows;
    // the labels seen listed in used.
    void tally(int v, int d, uint32_t begin, uint32_t end)
    {
        const slot *in = items[size_t(d)].data();
        const unsigned sh = pack.shift[v];
        const uint64_t now = ++clock;
        used.clear();
        uint64_t prev = high(in[begin], sh) ^ 1;
        for (uint32_t k = begin; k < end; ++k) {
            const uint32_t c = code(v, in[k]);
            const uint64_t hi = high(in[k], sh);
            const uint32_t same = same_run(hi, prev);
            prev = hi;
            if (stamp[c] != now) {
                stamp[c] = now;
                count[c] = 0;
                mass[c] = 0;
                used.push_back(c);
            }
            count[c] += same ^ 1;
            mass[c] += weight(d, k);
        }
    }

    // Refines level d by column v into level d + 1; returns the sum of the
    // terms of the new cells of two rows or more.  The last column is
    // counted on the way (split_binary()) where both columns have at most
    // two labels and the terms come from tables; qt is the q of the new set.
    fixed_sum refine(int d, int v, const term_source &src, double qt)
    {
        const size_t r = arities[size_t(v)];
        if (r == 2) {
            if (v < n - 1 && arities[size_t(n - 1)] <= 2 && src.table != nullptr) {
                const term_source last = source_for(look, qt * arity[size_t(n - 1)]);
                if (last.table != nullptr)
                    return split_binary<true>(d, v, src, &last);
            }
            return split_binary<false>(d, v, src, nullptr);
        }
        const slot *in = items[size_t(d)].data();
        const uint32_t *in_ends = ends[size_t(d)].data();
        const size_t groups = nof_groups[size_t(d)];
        slot *o = items[size_t(d) + 1].data();
        uint32_t *ow = weights[size_t(d) + 1].data();
        uint32_t *oe = ends[size_t(d) + 1].data();
        uint32_t *orows = rows[size_t(d) + 1].data();
        const unsigned sh = pack.shift[v];
        start_level(d);
        fixed_sum lsum = 0;
        size_t lkept = 0, active = 0;
        fixed_sum sum = split_pairs<false>(d, v, src, nullptr, lsum, lkept, active);
        sum += split_masks<false>(d, v, src, nullptr, lsum, lkept, active);
        size_t pos = 0, ne = 0;
        uint32_t begin = 0;
        last_done[size_t(d) + 1] = 0;
        for (size_t gi = 0; gi < groups; ++gi) {
            const uint32_t end = in_ends[gi];
            tally(v, d, begin, end);
            bool any = false;
            for (uint32_t c : used) {
                sum += cell_term(src, mass[c]);
                frozen_or_not(d, count[c], mass[c]);
                if (count[c] >= 2) {
                    place[c] = uint32_t(pos);
                    pos += count[c];
                    orows[ne] = mass[c];
                    oe[ne++] = uint32_t(pos);
                    active += mass[c];
                    any = true;
                } else {
                    place[c] = UINT32_MAX;
                }
            }
            if (any) {
                uint64_t prev = high(in[begin], sh) ^ 1;
                uint32_t run = 0;
                slot run_slot = 0;
                for (uint32_t k = begin; k < end; ++k) {
                    const uint32_t c = code(v, in[k]);
                    const uint64_t hi = high(in[k], sh);
                    const uint32_t same = same_run(hi, prev);
                    prev = hi;
                    const uint32_t w = weight(d, k);
                    run = same ? run + w : w;
                    run_slot = same ? run_slot + w : in[k];
                    if (place[c] != UINT32_MAX) {
                        const uint32_t at = place[c] - same;
                        if constexpr (joined) {
                            o[at] = run_slot;
                        } else {
                            o[at] = in[k];
                            ow[at] = run;
                        }
                        place[c] = at + 1;
                    }
                }
            }
            begin = end;
        }
        nof_items[size_t(d) + 1] = pos;
        nof_groups[size_t(d) + 1] = ne;
        active_rows[size_t(d) + 1] = active;
        return sum;
    }

    // g[t] for t, the set of level d plus the last column: counted already
    // when level d was made, or counted now.  The cells are only counted:
    // the refinement has no extensions.
    void set_last(varset t, int d, const term_source &src, double qt)
    {
        size_t kept = 0;
        fixed_sum sum = 0;
        if (last_done[size_t(d)]) {
            kept = last_kept[size_t(d)] + frozen_rows[size_t(d) - 1];
            sum = last_sum[size_t(d)] + frozen_sum(d - 1, qt, src);
        } else {
            const int v = n - 1;
            const slot *in = items[size_t(d)].data();
            const uint32_t *in_ends = ends[size_t(d)].data();
            uint32_t begin = 0;
            for (size_t gi = 0; gi < nof_groups[size_t(d)]; ++gi) {
                const uint32_t end = in_ends[gi];
                if (arities[size_t(v)] <= 2) {
                    size_t ones = 0;
                    for (uint32_t k = begin; k < end; ++k)
                        ones += weight(d, k) & (0 - code(v, in[k]));
                    size_t zeros = rows[size_t(d)][gi] - ones;
                    sum += pair_term(src, zeros, ones);
                    kept += (zeros >= 2 ? zeros : 0) + (ones >= 2 ? ones : 0);
                } else {
                    tally(v, d, begin, end);
                    for (uint32_t c : used)
                        if (mass[c] >= 2) {
                            kept += mass[c];
                            sum += term(src, mass[c]);
                        }
                }
                begin = end;
            }
            last_of_pairs(d, src, sum, kept);
            last_of_masks(d, src, sum, kept);
            kept += frozen_rows[size_t(d)];
            sum += frozen_sum(d, qt, src);
        }
        g[t] = subset_value(sum, nof_rows - kept, src);
    }

    // Histogram size of the tail from column next on (the last columns,
    // whose codes are the top bits of a packed row), or 0 when too large.
    static constexpr unsigned max_tail_bits = 10;
    size_t tail_size(int next) const
    {
        if constexpr (!Packed)
            return 0;
        unsigned bits = pack.total - pack.shift[next];
        return n - next <= int(max_tail_bits) && bits <= max_tail_bits ? size_t(1) << bits : 0;
    }

    void tail(varset s, int next, int d, double q);

    // The bits of the codes of column v, and of the columns above it.
    slot bits_of(int v) const
    {
        return slot(slot(pack.mask[v]) << std::min(pack.shift[v] + code_base, 63u));
    }
    slot bits_above(int v) const
    {
        if (v + 1 >= n)
            return 0;
        const unsigned at = pack.shift[v + 1] + code_base;
        return at >= 8 * sizeof(slot) ? 0 : slot(~slot(0) << at);
    }

    template <bool WithLast>
    fixed_sum split_pairs(int d, int v, const term_source &src, const term_source *last,
                          fixed_sum &lsum, size_t &lkept, size_t &active);
    void last_of_pairs(int d, const term_source &src, fixed_sum &sum, size_t &kept) const;
    void anchor_body(int d, int v, const slot *at, const uint32_t *at_w, size_t count_items,
                     uint32_t group_rows);
    void make_anchor_wide(int d, int v, const slot *at, const uint32_t *at_w,
                          size_t count_items, uint32_t group_rows);
    void make_anchor(int d, int v, const slot *at, const uint32_t *at_w, size_t count_items,
                     uint32_t group_rows);
    template <bool WithLast>
    fixed_sum split_masks(int d, int v, const term_source &src, const term_source *last,
                          fixed_sum &lsum, size_t &lkept, size_t &active);
    template <bool WithLast>
    fixed_sum split_masks_hw(int d, int v, const term_source &src, const term_source *last,
                             fixed_sum &lsum, size_t &lkept, size_t &active);
    template <bool WithLast, bool Hw>
    fixed_sum masks_body(int d, int v, const term_source &src, const term_source *last,
                         fixed_sum &lsum, size_t &lkept, size_t &active);
    bool hw_count = false;  // the processor counts bits (split_masks())
    bool wide = false;      // the processor has AVX2 (make_anchor())
    std::vector<uint32_t> mask_hist;  // 8 x 65 counts, zero between splits
    void last_of_masks(int d, const term_source &src, fixed_sum &sum, size_t &kept) const;
    template <int Leaves>
    void leaf_rows(int d, uint32_t begin, uint32_t end, unsigned at, uint32_t *leaf) const;
    void count_last_two(varset t, int d, int v, const term_source &src,
                        const term_source &last, double qt, double ql);
    template <bool Hw>
    void count_masks(int d, int v, const term_source &src, const term_source &last,
                     fixed_sum &sum, size_t &kept, fixed_sum &lsum, size_t &lkept);
    void count_masks_hw(int d, int v, const term_source &src, const term_source &last,
                        fixed_sum &sum, size_t &kept, fixed_sum &lsum, size_t &lkept);
    void count_last_three(varset t, int d, int v, four_sets &f);

    // Subset t and all its extensions by columns from next on, when level d
    // has no active group (so every superset has the same cells: the frozen
    // ones of level d and rows alone).
    void fill_frozen(varset t, int next, int d, double q)
    {
        term_source src = source_for(look, q);
        g[t] = subset_value(frozen_sum(d, q, src), nof_rows - frozen_rows[size_t(d)], src);
        for (int v = next; v < n; ++v)
            fill_frozen(t | (varset(1) << v), v + 1, d, q * arity[size_t(v)]);
    }

    // Whether the extensions of s by columns from next on, level d holding
    // the partition of s, are done at once from histograms.  Refining costs
    // at most (items of a group) * 2^k per group, less as groups freeze, the
    // tail about 3^k: the tail pays once the groups average 16 * 1.5^k items.
    bool takes_tail(int next, int d) const
    {
        const size_t all_items =
            nof_items[size_t(d)] + 2 * nof_pairs[size_t(d)] + mask_rows[size_t(d)];
        const size_t all_groups =
            nof_groups[size_t(d)] + nof_pairs[size_t(d)] + nof_masks[size_t(d)] +
            nof_twos[size_t(d)];
        return tail_size(next) != 0 && all_items != 0 &&
               double(all_items) >= double(all_groups) * 16 * std::pow(1.5, n - next);
    }

    // g[s] is set and level d holds the partition of s; visits every
    // superset of s that adds columns from next on, each exactly once.
    void extend(varset s, int next, int d, double q)
    {
        if (takes_tail(next, d)) {
            tail(s, next, d, q);
            return;
        }
        for (int v = next; v < n; ++v)
            if (step(s, v, d, q, true))
                extend(s | (varset(1) << v), v + 1, d + 1, q * arity[size_t(v)]);
    }

    // Level d holds the partition of s; makes level d + 1 for s + v and
    // returns true, or returns false when s + v has no extensions left to
    // refine (level d has no active group, v is the last column, or v is one
    // of the two before it and the rest is counted at once: count_last_two(),
    // count_last_three()).  With
    // record it sets g[s + v], and in the second case every extension of
    // s + v.
    bool step(varset s, int v, int d, double q, bool record)
    {
        const varset t = s | (varset(1) << v);
        const double qt = q * arity[size_t(v)];
        if (nof_groups[size_t(d)] == 0 && nof_pairs[size_t(d)] == 0 &&
            !any_masks(d)) {
            if (record)
                fill_frozen(t, v + 1, d, qt);
            return false;
        }
        const term_source src = source_for(look, qt);
        if (v == n - 1) {
            if (record)
                set_last(t, d, src, qt);
            return false;
        }
        if (Packed && v == n - 3 && arities[size_t(v)] == 2 && arities[size_t(v) + 1] == 2 &&
            arities[size_t(n - 1)] <= 2 && src.table != nullptr) {
            four_sets f;
            f.src[0] = src;
            f.q[0] = qt;
            f.q[1] = qt * arity[size_t(v) + 1];
            f.q[2] = qt * arity[size_t(n - 1)];
            f.q[3] = f.q[1] * arity[size_t(n - 1)];
            bool tables = true;
            for (int x = 1; x < 4; ++x) {
                f.src[x] = source_for(look, f.q[x]);
                tables = tables && f.src[x].table != nullptr;
            }
            if (tables) {
                if (record)
                    count_last_three(t, d, v, f);
                return false;
            }
        }
        if (v == n - 2 && arities[size_t(v)] == 2 && arities[size_t(n - 1)] <= 2 &&
            src.table != nullptr) {
            const double ql = qt * arity[size_t(n - 1)];
            const term_source last = source_for(look, ql);
            if (last.table != nullptr) {
                if (record)
                    count_last_two(t, d, v, src, last, qt, ql);
                return false;
            }
        }
        fixed_sum sum = refine(d, v, src, qt);
        if (record) {
            sum += frozen_sum(d, qt, src);
            const size_t kept = active_rows[size_t(d) + 1] + frozen_rows[size_t(d) + 1];
            g[t] = subset_value(sum, nof_rows - kept, src);
        }
        return true;
    }

    // One piece of the enumeration for a worker: the set of the columns
    // path[0] < ... < path[len-1], with whole also all its supersets by
    // columns above path[len-1].  The levels of the path are rebuilt from
    // level 0 by the same steps extend() takes, recording only the last.  A
    // piece whose set extend() never reaches on its own (some prefix has all
    // its extensions done at once, by tail() or fill_frozen()) does nothing:
    // the piece of that prefix does them.  The empty set is not a piece;
    // before the pieces start, level 0 is set and the empty set does not take
    // the tail.
    void run_piece(const int *path, int len, bool whole)
    {
        varset s = 0;
        double q = 1;
        int next = 0;
        for (int d = 0; d < len; ++d) {
            const int v = path[d];
            const bool last = d + 1 == len;
            if (takes_tail(next, d) || !step(s, v, d, q, last))
                return;
            s |= varset(1) << v;
            q *= arity[size_t(v)];
            next = v + 1;
        }
        if (whole)
            extend(s, next, len, q);
        else if (takes_tail(next, len))
            tail(s, next, len, q);
    }
};

#include "enumeration_masks.h"
#include "enumeration_split.h"
#include "enumeration_pairs.h"
#include "enumeration_tail.h"
#include "enumeration_last_two.h"
#include "enumeration_last_three.h"
