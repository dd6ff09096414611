// count_last_two() of the enumeration (enumeration.h): a set s + v with v
// the last column but one has one extension only, by the last column, so
// neither needs its partition made: both are counted in one pass over the
// groups of s, per group the rows of each label of v and of each pair of
// labels of v and the last column.
#pragma once

// The rows of each leaf of the items begin .. end - 1 of level d (packed),
// leaf j those whose code from bit `at` up is j < Leaves: in a group the
// leaves follow each other, as the items are in increasing order and those
// bits are their top ones.  A small group is read once, keeping the running
// total of weights at the end of each leaf; in a large one the ends are
// found by halving and the weights summed between them.
template <class Item, bool Packed>
template <int Leaves>
void enumeration<Item, Packed>::leaf_rows(int d, uint32_t begin, uint32_t end, unsigned at,
                                          uint32_t *leaf) const
{
    const slot *from = items[size_t(d)].data();
    const uint32_t *from_w = joined ? nullptr : weights[size_t(d)].data();
    if (end - begin < 64) {
        constexpr uint64_t none = ~uint64_t(0);
        uint64_t at_end[Leaves], total = 0;
        for (int j = 0; j < Leaves; ++j)
            at_end[j] = none;
        for (uint32_t k = begin; k < end; ++k) {
            const slot it = from[k];
            total += joined ? uint32_t(it) : from_w[k];
            at_end[uint64_t(it) >> at & (Leaves - 1)] = total;
        }
        uint64_t before = 0;
        for (int j = 0; j < Leaves; ++j) {
            leaf[j] = at_end[j] == none ? 0 : uint32_t(at_end[j] - before);
            before = at_end[j] == none ? before : at_end[j];
        }
        return;
    }
    auto sum = [&](uint32_t lo, uint32_t hi) {
        uint32_t s = 0;
        if constexpr (joined) {
            for (uint32_t k = lo; k < hi; ++k)
                s += uint32_t(from[k]);
        } else {
            for (uint32_t k = lo; k < hi; ++k)
                s += from_w[k];
        }
        return s;
    };
    uint32_t lo = begin;
    for (int j = 0; j + 1 < Leaves; ++j) {
        // The first item past leaf j.
        uint32_t a = lo, b = end;
        while (a < b) {
            const uint32_t mid = a + (b - a) / 2;
            if ((uint64_t(from[mid]) >> at) <= uint64_t(j))
                a = mid + 1;
            else
                b = mid;
        }
        leaf[j] = sum(lo, a);
        lo = a;
    }
    leaf[Leaves - 1] = sum(lo, end);
}

// g[t] and g[t + the last column] for t = s + v, v = n - 2 of two labels,
// level d holding the partition of s; the last column has at most two
// labels, its terms (of q ql) in the table of last, those of t (of q qt) in
// the table of src.
template <class Item, bool Packed>
void enumeration<Item, Packed>::count_last_two(varset t, int d, int v, const term_source &src,
                                               const term_source &last, double qt, double ql)
{
    const fixed_sum *tab = src.table, *tl = last.table;
    fixed_sum sum = 0, lsum = 0;
    size_t kept = 0, lkept = 0;
    auto apart = [](size_t k) { return k >= 2 ? k : 0; };
    // Groups of items.
    const slot *from = items[size_t(d)].data();
    const uint32_t *from_w = joined ? nullptr : weights[size_t(d)].data();
    const uint32_t *in_ends = ends[size_t(d)].data();
    const uint32_t *in_rows = rows[size_t(d)].data();
    const column_code cv = code_of(v), cl = code_of(n - 1);
    uint32_t begin = 0;
    for (size_t gi = 0, groups = nof_groups[size_t(d)]; gi < groups; ++gi) {
        const uint32_t end = in_ends[gi];
        // Rows of label 1 in v, in the last column, in both.
        uint32_t ones = 0, last_ones = 0, both = 0;
        if constexpr (Packed) {
            // The codes of v and the last column are the top two bits.
            uint32_t part[4];
            leaf_rows<4>(d, begin, end, cv.shift, part);
            ones = part[1] + part[3];
            last_ones = part[2] + part[3];
            both = part[3];
        } else {
            for (uint32_t k = begin; k < end; ++k) {
                const slot it = from[k];
                const uint32_t c = cv(it), e = cl(it), w = from_w[k];
                ones += w & (0 - c);
                last_ones += w & (0 - e);
                both += w & (0 - (c & e));
            }
        }
        const uint32_t zeros = in_rows[gi] - ones;
        sum += tab[zeros] + tab[ones];
        kept += apart(zeros) + apart(ones);
        const uint32_t z1 = last_ones - both, z0 = zeros - z1, o0 = ones - both;
        lsum += tl[z0] + tl[z1] + tl[o0] + tl[both];
        lkept += apart(z0) + apart(z1) + apart(o0) + apart(both);
        begin = end;
    }
    // Pairs: one cell unless their items differ in the column.
    if constexpr (with_pairs) {
        const slot at_v = bits_of(v), at_last = bits_of(n - 1);
        const pair_group *in = pairs[size_t(d)].data();
        for (size_t i = 0, count = nof_pairs[size_t(d)]; i < count; ++i) {
            const pair_group p = in[i];
            const uint32_t ab = p.a + p.b;
            const size_t apart_rows = apart(p.a) + apart(p.b);
            const bool broke = (p.diff & at_v) != 0;
            sum += broke ? tab[p.a] + tab[p.b] : tab[ab];
            kept += broke ? apart_rows : ab;
            const bool split_last = broke || (p.diff & at_last) != 0;
            lsum += split_last ? tl[p.a] + tl[p.b] : tl[ab];
            lkept += split_last ? apart_rows : ab;
        }
    }
    if (any_masks(d)) {
        if (hw_count)
            count_masks_hw(d, v, src, last, sum, kept, lsum, lkept);
        else
            count_masks<false>(d, v, src, last, sum, kept, lsum, lkept);
    }
    kept += frozen_rows[size_t(d)];
    lkept += frozen_rows[size_t(d)];
    g[t] = subset_value(sum + frozen_sum(d, qt, src), nof_rows - kept, src);
    const varset tl_set = t | (varset(1) << (n - 1));
    g[tl_set] = subset_value(lsum + frozen_sum(d, ql, last), nof_rows - lkept, last);
}

// The mask groups' part of count_last_two(): their cells counted by size as
// in masks_body(), mask_hist[8 c + j] with j = 0, 1 those of v and 2 .. 5
// those of v and the last column.
template <class Item, bool Packed>
template <bool Hw>
[[gnu::always_inline]] inline void
enumeration<Item, Packed>::count_masks(int d, int v, const term_source &src,
                                       const term_source &last, fixed_sum &sum, size_t &kept,
                                       fixed_sum &lsum, size_t &lkept)
{
    auto count_bits = [](uint64_t x) {
        if constexpr (Hw)
            return uint32_t(__builtin_popcountll(x));
        else
            return ::count_bits(x);
    };
    const mask_group *__restrict in = masks_of[size_t(d)].data();
    const size_t count_in = nof_masks[size_t(d)];
    const uint64_t *col_v = anchor_cols.data() + size_t(v) * anchor_cap;
    const uint64_t *col_last = anchor_cols.data() + size_t(n - 1) * anchor_cap;
    uint32_t *__restrict h = mask_hist.data();
    uint32_t top = 0;
    for (const mask_group *g = in, *g_end = in + count_in; g != g_end; ++g) {
        const uint64_t m = g->m;
        const uint32_t a = g->anchor, r = g->rows;
        top = r > top ? r : top;
        const uint64_t m1 = m & col_v[a], ml = col_last[a];
        const uint32_t c1 = count_bits(m1), c0 = r - c1;
        const uint32_t e1 = count_bits(m1 & ml), e0 = count_bits(m & ml) - e1;
        ++h[8 * c0];
        ++h[8 * c1 + 1];
        ++h[8 * (c0 - e0) + 2];
        ++h[8 * e0 + 3];
        ++h[8 * (c1 - e1) + 4];
        ++h[8 * e1 + 5];
    }
    // The groups of two rows (see masks_body()).
    if (const size_t count2 = nof_twos[size_t(d)]; count2 != 0) {
        uint32_t together = 0, together_last = 0;
        for (const two_group *g = twos_of[size_t(d)].data(), *g_end = g + count2; g != g_end;
             ++g) {
            const uint64_t m = g->m;
            const uint32_t a = g->anchor;
            const uint32_t one = count_bits(m & col_v[a]) != 1;
            together += one;
            together_last += one & (count_bits(m & col_last[a]) != 1);
        }
        h[16] += together;
        h[8] += 2 * (uint32_t(count2) - together);
        h[18] += together_last;
        h[10] += 2 * (uint32_t(count2) - together_last);
        top = top > 2 ? top : 2;
    }
    const size_t rows_in = mask_rows[size_t(d)];
    kept += rows_in - (h[8] + h[9]);
    lkept += rows_in - (h[10] + h[11] + h[12] + h[13]);
    const fixed_sum *tab = src.table, *tl = last.table;
    for (uint32_t c = 2; c <= top; ++c) {
        const uint32_t *at = h + 8 * c;
        sum += fixed_sum(at[0] + at[1]) * tab[c];
        lsum += fixed_sum(at[2] + at[3] + at[4] + at[5]) * tl[c];
    }
    memset(h, 0, (size_t(top) + 1) * 8 * sizeof(uint32_t));
}

template <class Item, bool Packed>
[[gnu::target("popcnt")]] void
enumeration<Item, Packed>::count_masks_hw(int d, int v, const term_source &src,
                                          const term_source &last, fixed_sum &sum,
                                          size_t &kept, fixed_sum &lsum, size_t &lkept)
{
    count_masks<true>(d, v, src, last, sum, kept, lsum, lkept);
}
