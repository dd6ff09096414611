// The mask groups of the enumeration (enumeration.h): where every column has
// at most two labels, a group of at most 64 rows becomes an anchor, its rows
// numbered 0 .. 63, with for each column above the one just added the mask
// of the rows holding label 1 there (by column, so that a split reads the
// masks of its column in order).  Its descendants are masks of its rows:
// a split is an AND, its counts a population count.
#pragma once

// Population count without the instruction (not assumed of the machine;
// split_masks() takes it where the processor has it).
inline uint32_t count_bits(uint64_t x)
{
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return uint32_t((x * 0x0101010101010101ull) >> 56);
}

// A new group of level d + 1, refined by column v, of `count_items` items
// at[0 ..] (weights at_w, unless joined) and group_rows rows, at most 64,
// made an anchor and its mask group.
// The loop over the items is compiled twice, once for processors with
// AVX2 (make_anchor_wide()).
template <class Item, bool Packed>
[[gnu::always_inline]] inline void
enumeration<Item, Packed>::make_anchor(int d, int v, const slot *at, const uint32_t *at_w,
                                       size_t count_items, uint32_t group_rows)
{
    if (wide) {
        make_anchor_wide(d, v, at, at_w, count_items, group_rows);
        return;
    }
    anchor_body(d, v, at, at_w, count_items, group_rows);
}

template <class Item, bool Packed>
[[gnu::target("avx2")]] void
enumeration<Item, Packed>::make_anchor_wide(int d, int v, const slot *at, const uint32_t *at_w,
                                            size_t count_items, uint32_t group_rows)
{
    anchor_body(d, v, at, at_w, count_items, group_rows);
}

template <class Item, bool Packed>
[[gnu::always_inline]] inline void
enumeration<Item, Packed>::anchor_body(int d, int v, const slot *at, const uint32_t *at_w,
                                       size_t count_items, uint32_t group_rows)
{
    size_t &ae = anchor_end[size_t(d) + 1];
    uint64_t *cm = anchor_cols.data() + ae;
    const size_t cap = anchor_cap;
    // The rows of item j are bits b_j .. b_j + w_j - 1 (at most 64 rows).
    uint64_t runs[64];
    uint32_t b = 0;
    for (size_t j = 0; j < count_items; ++j) {
        const uint32_t w = joined ? uint32_t(uint64_t(at[j])) : at_w[j];
        runs[j] = (w >= 64 ? ~uint64_t(0) : (uint64_t(1) << w) - 1) << b;
        b += w;
    }
    // Codes of one bit, the bit taken without a branch (it is as often 0 as
    // 1); a column of one label has none.
    for (int u = v + 1; u < n; ++u) {
        const unsigned place = std::min(pack.shift[u] + code_base, 63u);
        uint64_t mask = 0;
        for (size_t j = 0; j < count_items; ++j)
            mask |= runs[j] & (0 - (uint64_t(at[j]) >> place & 1));
        cm[size_t(u) * cap] = pack.mask[u] != 0 ? mask : 0;
    }
    if (group_rows == 2) {
        twos_of[size_t(d) + 1][nof_twos[size_t(d) + 1]++] = {3, uint32_t(ae++)};
    } else {
        mask_group &mg = masks_of[size_t(d) + 1][nof_masks[size_t(d) + 1]++];
        mg.m = group_rows >= 64 ? ~uint64_t(0) : (uint64_t(1) << group_rows) - 1;
        mg.anchor = uint32_t(ae++);
        mg.rows = group_rows;
    }
    mask_rows[size_t(d) + 1] += group_rows;
}

// Splits the mask groups of level d by column v into level d + 1; returns
// the sum of the terms of their cells of two rows or more and adds their
// rows in groups to active.  With WithLast also the cells refined by the
// last column as well, to lsum and lkept.  Hw: counts with the processor's
// instruction (the body is compiled twice, once for such processors).
// The cells, of at most 64 rows, are counted by size and the term of each
// size added once at the end, times its count (exact in fixed point):
// mask_hist[8 c + j] counts the cells of c rows in place j of a split, j = 0
// and 1 the two of column v, 2 .. 5 the four of the last column as well, so
// that the counts of one group do not wait on each other.
template <class Item, bool Packed>
template <bool WithLast, bool Hw>
[[gnu::always_inline]] inline fixed_sum
enumeration<Item, Packed>::masks_body(int d, int v, const term_source &src,
                                      const term_source *last, fixed_sum &lsum, size_t &lkept,
                                      size_t &active)
{
    auto count_bits = [](uint64_t x) {
        if constexpr (Hw)
            return uint32_t(__builtin_popcountll(x));
        else
            return ::count_bits(x);
    };
    const mask_group *__restrict in = masks_of[size_t(d)].data();
    const size_t count_in = nof_masks[size_t(d)];
    mask_group *__restrict out = masks_of[size_t(d) + 1].data();
    // The masks of column v and of the last column, by anchor.
    const uint64_t *col_v = anchor_cols.data() + size_t(v) * anchor_cap;
    const uint64_t *col_last = anchor_cols.data() + size_t(n - 1) * anchor_cap;
    two_group *__restrict out2 = twos_of[size_t(d) + 1].data();
    uint32_t *__restrict h = mask_hist.data();
    size_t k = 0, k2 = 0;
    uint32_t top = 0;  // the most rows of a group of level d
    for (const mask_group *g = in, *g_end = in + count_in; g != g_end; ++g) {
        const uint64_t m = g->m;
        const uint32_t a = g->anchor, r = g->rows;
        top = r > top ? r : top;
        const uint64_t m1 = m & col_v[a], m0 = m ^ m1;
        const uint32_t c1 = count_bits(m1), c0 = r - c1;
        ++h[8 * c0];
        ++h[8 * c1 + 1];
        out[k] = {m0, a, c0};
        k += c0 >= 3;
        out2[k2] = {m0, a};
        k2 += c0 == 2;
        out[k] = {m1, a, c1};
        k += c1 >= 3;
        out2[k2] = {m1, a};
        k2 += c1 == 2;
        if constexpr (WithLast) {
            const uint64_t ml = col_last[a];
            const uint32_t e1 = count_bits(m1 & ml), e0 = count_bits(m & ml) - e1;
            ++h[8 * (c0 - e0) + 2];
            ++h[8 * e0 + 3];
            ++h[8 * (c1 - e1) + 4];
            ++h[8 * e1 + 5];
        }
    }
    // The groups of two rows: one cell of both where they agree (kept as a
    // two), else two cells of one row.
    if (const size_t count2 = nof_twos[size_t(d)]; count2 != 0) {
        uint32_t together = 0, together_last = 0;
        for (const two_group *g = twos_of[size_t(d)].data(), *g_end = g + count2; g != g_end;
             ++g) {
            const uint64_t m = g->m;
            const uint32_t a = g->anchor;
            const uint32_t one = count_bits(m & col_v[a]) != 1;
            out2[k2] = {m, a};
            k2 += one;
            together += one;
            if constexpr (WithLast)
                together_last += one & (count_bits(m & col_last[a]) != 1);
        }
        h[16] += together;
        h[8] += 2 * (uint32_t(count2) - together);
        if constexpr (WithLast) {
            h[18] += together_last;
            h[10] += 2 * (uint32_t(count2) - together_last);
        }
        top = top > 2 ? top : 2;
    }
    // Cells of one row: the rows of the groups less these are the rows in
    // cells of two rows or more.
    const uint32_t singles = h[8] + h[9];
    const uint32_t last_singles = h[10] + h[11] + h[12] + h[13];
    fixed_sum sum = 0, lsum_here = 0;
    const fixed_sum *tab = src.table, *tl = WithLast ? last->table : nullptr;
    for (uint32_t c = 2; c <= top; ++c) {
        uint32_t *at = h + 8 * c;
        const uint32_t cells = at[0] + at[1];
        if (tab != nullptr)
            sum += fixed_sum(cells) * tab[c];
        else if (cells != 0)
            sum += fixed_sum(cells) * direct_term(src, c);
        if constexpr (WithLast)
            lsum_here += fixed_sum(at[2] + at[3] + at[4] + at[5]) * tl[c];
    }
    memset(h, 0, (size_t(top) + 1) * 8 * sizeof(uint32_t));
    const size_t rows_in = mask_rows[size_t(d)];
    const size_t alive = rows_in - singles, lkept_here = WithLast ? rows_in - last_singles : 0;
    nof_masks[size_t(d) + 1] = k;
    nof_twos[size_t(d) + 1] = k2;
    mask_rows[size_t(d) + 1] = alive;
    active += alive;
    lsum += lsum_here;
    lkept += lkept_here;
    return sum;
}

// The cells of the mask groups of level d refined by the last column, added
// to sum and kept.
template <class Item, bool Packed>
void enumeration<Item, Packed>::last_of_masks(int d, const term_source &src, fixed_sum &sum,
                                              size_t &kept) const
{
    for (size_t i = 0; i < nof_masks[size_t(d)]; ++i) {
        const mask_group &g = masks_of[size_t(d)][i];
        const uint64_t ml = anchor_cols[size_t(n - 1) * anchor_cap + g.anchor];
        const uint32_t e = count_bits(g.m & ml), z = g.rows - e;
        sum += cell_term(src, e) + cell_term(src, z);
        kept += (e >= 2 ? e : 0) + (z >= 2 ? z : 0);
    }
    for (size_t i = 0; i < nof_twos[size_t(d)]; ++i) {
        const two_group &g = twos_of[size_t(d)][i];
        const uint64_t ml = anchor_cols[size_t(n - 1) * anchor_cap + g.anchor];
        if (count_bits(g.m & ml) != 1) {
            sum += term(src, 2);
            kept += 2;
        }
    }
}

template <class Item, bool Packed>
template <bool WithLast>
[[gnu::target("popcnt")]] fixed_sum
enumeration<Item, Packed>::split_masks_hw(int d, int v, const term_source &src,
                                          const term_source *last, fixed_sum &lsum, size_t &lkept,
                                          size_t &active)
{
    return masks_body<WithLast, true>(d, v, src, last, lsum, lkept, active);
}

template <class Item, bool Packed>
template <bool WithLast>
fixed_sum enumeration<Item, Packed>::split_masks(int d, int v, const term_source &src,
                                                 const term_source *last, fixed_sum &lsum,
                                                 size_t &lkept, size_t &active)
{
    if (!any_masks(d)) {
        nof_masks[size_t(d) + 1] = 0;
        nof_twos[size_t(d) + 1] = 0;
        mask_rows[size_t(d) + 1] = 0;
        return 0;
    }
    if (hw_count)
        return split_masks_hw<WithLast>(d, v, src, last, lsum, lkept, active);
    return masks_body<WithLast, false>(d, v, src, last, lsum, lkept, active);
}
