// The pairs of the enumeration (enumeration.h): groups of exactly two items,
// split without visiting their items.  Two items a and b stay together in a
// superset unless it adds a column where their codes differ; they merge
// into one item (a frozen cell) once no column where they differ is left
// above the one added.
#pragma once

// Splits the pairs of level d by column v into level d + 1 (its frozen list
// started): the surviving pairs, the frozen cells of those that merge or
// break; returns the sum of the terms of their cells of two rows or more and
// adds their rows to active (surviving) or to the frozen rows.  With
// WithLast also the cells of the pairs refined by the last column as well,
// to lsum and lkept, its terms in the table of last.
template <class Item, bool Packed>
template <bool WithLast>
fixed_sum enumeration<Item, Packed>::split_pairs(int d, int v, const term_source &src,
                                                 const term_source *last, fixed_sum &lsum,
                                                 size_t &lkept, size_t &active)
{
    size_t np = 0;
    fixed_sum sum = 0;
    if constexpr (with_pairs) {
        const pair_group *__restrict in = pairs[size_t(d)].data();
        const size_t count_in = nof_pairs[size_t(d)];
        pair_group *__restrict out = pairs[size_t(d) + 1].data();
        uint32_t *__restrict fz = frozen.data();
        size_t fe = frozen_end[size_t(d) + 1], frozen_new = 0, alive = 0;
        const slot at_v = bits_of(v), above = bits_above(v), at_last = bits_of(n - 1);
        const fixed_sum *tab = src.table;
        const fixed_sum *tl = WithLast ? last->table : nullptr;
        auto term_of = [&](uint32_t k) { return tab != nullptr ? tab[k] : cell_term(src, k); };
        fixed_sum lsum_here = 0;
        size_t lkept_here = 0;
        for (size_t i = 0; i < count_in; ++i) {
            const pair_group p = in[i];
            const uint32_t ab = p.a + p.b;
            const bool broke = (p.diff & at_v) != 0, rest = (p.diff & above) != 0;
            const size_t apart_rows = (p.a >= 2 ? p.a : 0) + (p.b >= 2 ? p.b : 0);
            sum += broke ? term_of(p.a) + term_of(p.b) : term_of(ab);
            // Broken: each item a frozen cell (of two rows or more); merged:
            // one frozen cell of both.
            fz[fe] = broke ? p.a : ab;
            fe += broke ? p.a >= 2 : !rest;
            fz[fe] = p.b;
            fe += broke && p.b >= 2;
            frozen_new += broke ? apart_rows : rest ? 0 : ab;
            out[np] = p;
            const bool survives = !broke && rest;
            np += survives;
            alive += survives ? ab : 0;
            if constexpr (WithLast) {
                const bool split_last = broke || (p.diff & at_last) != 0;
                lsum_here += split_last ? tl[p.a] + tl[p.b] : tl[ab];
                lkept_here += split_last ? apart_rows : ab;
            }
        }
        frozen_end[size_t(d) + 1] = fe;
        frozen_rows[size_t(d) + 1] += frozen_new;
        active += alive;
        lsum += lsum_here;
        lkept += lkept_here;
    }
    nof_pairs[size_t(d) + 1] = np;
    return sum;
}

// The cells of the pairs of level d refined by the last column, added to
// sum and kept.
template <class Item, bool Packed>
void enumeration<Item, Packed>::last_of_pairs(int d, const term_source &src, fixed_sum &sum,
                                              size_t &kept) const
{
    if constexpr (with_pairs) {
        const slot at_last = bits_of(n - 1);
        for (size_t i = 0; i < nof_pairs[size_t(d)]; ++i) {
            const pair_group &p = pairs[size_t(d)][i];
            if ((p.diff & at_last) != 0) {
                sum += cell_term(src, p.a) + cell_term(src, p.b);
                kept += (p.a >= 2 ? p.a : 0) + (p.b >= 2 ? p.b : 0);
            } else {
                sum += term(src, p.a + p.b);
                kept += p.a + p.b;
            }
        }
    }
}
