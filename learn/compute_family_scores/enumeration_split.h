// split_binary() of the enumeration (enumeration.h): the refinement by a
// column of two labels, the walk's inner loop.
#pragma once

// Refines level d by column v of two labels into level d + 1; returns the
// sum of the terms of the new cells of two rows or more.  With WithLast
// the cells of level d + 1 refined by the last column (of at most two
// labels, its terms in the table of last) are counted on the way, so
// that that pass is not needed.  Branch-free: label 0 in place, label 1
// aside; an item that continues the run of the one before adds its
// weight to it.  The pairs and mask groups of level d are split first; a
// new group of at most 64 rows becomes an anchor where masks are used, one
// of two items a pair.  The level's arrays have room for the eight items
// copied at once past a group's end.
template <class Item, bool Packed>
template <bool WithLast>
fixed_sum enumeration<Item, Packed>::split_binary(int d, int v, const term_source &src,
                                                  const term_source *last)
{
    const slot *__restrict from = items[size_t(d)].data();
    const uint32_t *__restrict from_w = weights[size_t(d)].data();
    const uint32_t *in_ends = ends[size_t(d)].data();
    const uint32_t *in_rows = rows[size_t(d)].data();
    const size_t groups = nof_groups[size_t(d)];
    slot *__restrict out = items[size_t(d) + 1].data();
    uint32_t *__restrict out_w = weights[size_t(d) + 1].data();
    slot *__restrict aside = spare.data();
    uint32_t *__restrict aside_w = spare_weights.data();
    uint32_t *__restrict out_ends = ends[size_t(d) + 1].data();
    uint32_t *__restrict out_rows = rows[size_t(d) + 1].data();
    start_level(d);
    fixed_sum lsum = 0;
    size_t lkept = 0, active = 0;
    fixed_sum sum = split_pairs<WithLast>(d, v, src, last, lsum, lkept, active);
    sum += split_masks<WithLast>(d, v, src, last, lsum, lkept, active);
    const bool masks_here = use_masks;
    pair_group *__restrict out_pairs = pairs[size_t(d) + 1].data();
    size_t np = nof_pairs[size_t(d) + 1];
    // A new group of two items at+0 and at+1 is a pair.
    auto pair_of = [&](const slot *at, const uint32_t *at_w, size_t count_items,
                       uint32_t group_rows) {
        if constexpr (with_pairs) {
            pair_group &pg = out_pairs[np];
            pg.diff = at[0] ^ at[1];
            if constexpr (joined) {
                pg.a = uint32_t(at[0]);
                pg.b = uint32_t(at[1]);
            } else {
                pg.a = at_w[0];
                pg.b = at_w[1];
            }
            np += count_items == 2;
            active += count_items == 2 ? group_rows : 0;
        }
    };
    constexpr size_t least = with_pairs ? 3 : 2;
    // The frozen list of level d + 1 held in locals.
    uint32_t *__restrict fz = frozen.data();
    size_t fe = frozen_end[size_t(d) + 1], frozen_new = 0;
    auto freeze = [&](size_t count_items, uint32_t group_rows) {
        fz[fe] = group_rows;
        const bool one = count_items == 1 && group_rows >= 2;
        fe += one;
        frozen_new += one ? group_rows : 0;
    };
    // The codes' places are held in locals (the stores are of the
    // packing's type, which would otherwise be read again after each one).
    const column_code cv = code_of(v), cl = code_of(n - 1);
    // Packed: the bits of the codes from column v up, the bit of v's code
    // and of the last column's (of at most two labels; none for one).
    const slot low_bit = slot(slot(1) << cv.shift);
    const slot high_mask = slot(~slot(0) << cv.shift);
    const slot last_bit = slot(cl.mask << cl.shift);
    const fixed_sum *tl = WithLast ? last->table : nullptr;
    size_t pos = 0, ne = 0;
    uint32_t begin = 0;
    // The cells of a new group of `size` rows, `ones` of them with label 1
    // in the last column.
    auto count_last = [&](size_t size, size_t ones) {
        const size_t zeros = size - ones;
        lsum += tl[zeros] + tl[ones];
        lkept += (zeros >= 2 ? zeros : 0) + (ones >= 2 ? ones : 0);
    };
    for (size_t gi = 0; gi < groups; ++gi) {
        const uint32_t end = in_ends[gi];
        size_t p0 = pos, t = 0;
        uint32_t ones = 0, last_ones = 0, both = 0;
        slot prev = from[begin] ^ low_bit;
        slot run = 0;
        uint32_t run_w = 0;
        if constexpr (joined) {
            // Each item continues the run of the one before or starts one on
            // its side, and is written at the end of its side (over the
            // run's last item) and just past the end of the other.
            const unsigned at_v = cv.shift;
            for (uint32_t k = begin; k < end; ++k) {
                const slot it = from[k];
                const size_t c = size_t(it >> at_v) & 1;
                const size_t fresh = ((it ^ prev) & high_mask) != 0;
                prev = it;
                run = fresh ? it : run + uint32_t(it);
                p0 += fresh & (c ^ 1);
                t += fresh & c;
                out[p0 - 1 + c] = run;
                aside[t - c] = run;
            }
        } else {
            for (uint32_t k = begin; k < end; ++k) {
                const slot it = from[k];
                // Two labels: the code is the lowest bit of v's place.
                const uint32_t c = Packed ? (it & low_bit) != 0 : cv(it);
                const uint32_t same = Packed && ((it ^ prev) & high_mask) == 0;
                prev = it;
                const size_t i0 = p0 - (same & (c ^ 1)), i1 = t - (same & c);
                const uint32_t w = from_w[k];
                run_w = same ? run_w + w : w;
                out[i0] = it;
                out_w[i0] = run_w;
                aside[i1] = it;
                aside_w[i1] = run_w;
                ones += w & (0 - c);
                if constexpr (WithLast) {
                    const uint32_t e = Packed ? (it & last_bit) != 0 : cl(it);
                    last_ones += w & (0 - e);
                    both += w & (0 - (c & e));
                }
                p0 += (c ^ 1) & (same ^ 1);
                t += c & (same ^ 1);
            }
        }
        if constexpr (joined) {
            // The weights summed over the new items (fewer than the old):
            // those of label 1, and of label 1 in the last column as well.
            for (size_t j = 0; j < t; ++j) {
                const uint32_t w = uint32_t(aside[j]);
                ones += w;
                if constexpr (WithLast)
                    both += w & (0 - uint32_t((aside[j] & last_bit) != 0));
            }
            if constexpr (WithLast) {
                last_ones = both;
                for (size_t j = pos; j < p0; ++j)
                    last_ones += uint32_t(out[j]) & (0 - uint32_t((out[j] & last_bit) != 0));
            }
        }
        const uint32_t zeros = in_rows[gi] - ones;
        sum += pair_term(src, zeros, ones);
        if constexpr (WithLast) {
            count_last(zeros, last_ones - both);
            count_last(ones, both);
        }
        const size_t n0 = p0 - pos, n1 = t;
        freeze(n0, zeros);
        const bool small0 = masks_here && n0 >= 2 && zeros <= 64;
        if (small0) {
            make_anchor(d, v, out + pos, joined ? nullptr : out_w + pos, n0, zeros);
            active += zeros;
        } else {
            pair_of(out + pos, joined ? nullptr : out_w + pos, n0, zeros);
        }
        const bool keep0 = n0 >= least && !small0;
        pos += keep0 ? n0 : 0;
        active += keep0 ? zeros : 0;
        out_ends[ne] = uint32_t(pos);
        out_rows[ne] = zeros;
        ne += keep0;
        if (n1 <= 8) {
            for (uint32_t j = 0; j < 8; ++j) {
                out[pos + j] = aside[j];
                if constexpr (!joined)
                    out_w[pos + j] = aside_w[j];
            }
        } else {
            memcpy(out + pos, aside, n1 * sizeof(slot));
            if constexpr (!joined)
                memcpy(out_w + pos, aside_w, n1 * sizeof(uint32_t));
        }
        freeze(n1, ones);
        const bool small1 = masks_here && n1 >= 2 && ones <= 64;
        if (small1) {
            make_anchor(d, v, aside, aside_w, n1, ones);
            active += ones;
        } else {
            pair_of(aside, aside_w, n1, ones);
        }
        const bool keep1 = n1 >= least && !small1;
        pos += keep1 ? n1 : 0;
        active += keep1 ? ones : 0;
        out_ends[ne] = uint32_t(pos);
        out_rows[ne] = ones;
        ne += keep1;
        begin = end;
    }
    nof_items[size_t(d) + 1] = pos;
    nof_groups[size_t(d) + 1] = ne;
    nof_pairs[size_t(d) + 1] = np;
    frozen_end[size_t(d) + 1] = fe;
    frozen_rows[size_t(d) + 1] += frozen_new;
    active_rows[size_t(d) + 1] = active;
    last_done[size_t(d) + 1] = WithLast;
    last_sum[size_t(d) + 1] = lsum;
    last_kept[size_t(d) + 1] = lkept;
    return sum;
}
