// tail() of the enumeration (enumeration.h): the remaining subtree of a set
// done at once from per-group histograms of the last columns' codes.
#pragma once

// Every extension of s by columns from next on at once: per group of s, a
// histogram of the joint codes of the tail columns, marginalised onto each
// non-empty subset of them.  Cheaper than refining when the groups are
// larger than the histogram.
template <class Item, bool Packed>
void enumeration<Item, Packed>::tail(varset s, int next, int d, double q)
{
    const int k = n - next;
    const unsigned base = pack.shift[next];
    const bool empty_tail = pack.total == base;
    const size_t subsets = size_t(1) << k;
    uint64_t masks[size_t(1) << max_tail_bits];
    term_source src[size_t(1) << max_tail_bits];
    fixed_sum sums[size_t(1) << max_tail_bits];
    size_t kept[size_t(1) << max_tail_bits];
    double qs[size_t(1) << max_tail_bits];
    for (size_t t = 1; t < subsets; ++t) {
        uint64_t m = 0;
        double qt = q;
        for (int j = 0; j < k; ++j)
            if (t >> j & 1) {
                m |= pack.mask[next + j] << (pack.shift[next + j] - base);
                qt *= arity[size_t(next + j)];
            }
        masks[t] = m;
        src[t] = source_for(look, qt);
        qs[t] = qt;
        sums[t] = 0;
        kept[t] = 0;
    }
    // The cells of each subset t of the tail as (code, count) lists; t comes
    // from the list of t plus its lowest missing column, so every list is
    // built from a shorter one than the full histogram.
    const size_t full = subsets - 1;
    const slot *in = items[size_t(d)].data();
    const uint32_t *in_ends = ends[size_t(d)].data();
    const size_t groups = nof_groups[size_t(d)];
    size_t offset[size_t(1) << max_tail_bits], length[size_t(1) << max_tail_bits];
    uint32_t *cells = list_cells.data(), *counts = list_counts.data();
    // The cells of every t from the histogram of one group (touched).
    auto one_group = [&]() {
        size_t pos = 0;
        for (size_t t = full; t >= 1; --t) {
            offset[t] = pos;
            fixed_sum sum = 0;
            size_t in_cells = 0;
            // Takes cell c of cnt rows into the list of t.
            auto add_cell = [&](uint32_t c, uint32_t cnt) {
                cells[pos] = c;
                counts[pos++] = cnt;
                if (cnt >= 2) {
                    sum += term(src[t], cnt);
                    in_cells += cnt;
                }
            };
            if (t == full) {
                for (uint32_t j : touched) {
                    add_cell(j, hist[j]);
                    hist[j] = 0;
                }
            } else {
                const size_t missing = ~t & full;
                const size_t from = t | (missing & (~missing + 1));
                const uint64_t m = masks[t];
                marg_touched.clear();
                for (size_t e = offset[from]; e < offset[from] + length[from]; ++e) {
                    uint32_t c = uint32_t(cells[e] & m);
                    if (marg[c] == 0)
                        marg_touched.push_back(c);
                    marg[c] += counts[e];
                }
                for (uint32_t c : marg_touched) {
                    add_cell(c, marg[c]);
                    marg[c] = 0;
                }
            }
            length[t] = pos - offset[t];
            sums[t] += sum;
            kept[t] += in_cells;
        }
    };
    uint32_t begin = 0;
    for (size_t gi = 0; gi < groups; ++gi) {
        const uint32_t end = in_ends[gi];
        touched.clear();
        for (uint32_t r = begin; r < end; ++r) {
            uint32_t j = empty_tail ? 0 : uint32_t(uint64_t(in[r]) >> (base + code_base));
            if (hist[j] == 0)
                touched.push_back(j);
            hist[j] += weight(d, r);
        }
        one_group();
        begin = end;
    }
    // The groups held as masks: the tail's codes of each row from the masks
    // of its columns.
    auto mask_group_of = [&](uint64_t rows_mask, uint32_t anchor) {
        const uint64_t *cm = anchor_cols.data() + anchor;
        touched.clear();
        for (uint64_t rest = rows_mask; rest != 0; rest &= rest - 1) {
            const int i = __builtin_ctzll(rest);
            uint32_t j = 0;
            for (int u = next; u < n; ++u)
                j |= uint32_t(cm[size_t(u) * anchor_cap] >> i & 1) << (pack.shift[u] - base);
            if (hist[j] == 0)
                touched.push_back(j);
            hist[j] += 1;
        }
        one_group();
    };
    for (size_t gi = 0; gi < nof_masks[size_t(d)]; ++gi)
        mask_group_of(masks_of[size_t(d)][gi].m, masks_of[size_t(d)][gi].anchor);
    for (size_t gi = 0; gi < nof_twos[size_t(d)]; ++gi)
        mask_group_of(twos_of[size_t(d)][gi].m, twos_of[size_t(d)][gi].anchor);
    // A pair is one cell in t unless t holds a column where its items differ.
    if constexpr (with_pairs) {
        for (size_t i = 0; i < nof_pairs[size_t(d)]; ++i) {
            const pair_group &p = pairs[size_t(d)][i];
            const uint64_t diff = uint64_t(p.diff) >> code_base >> base;
            const uint32_t ab = p.a + p.b;
            const size_t apart_rows = (p.a >= 2 ? p.a : 0) + (p.b >= 2 ? p.b : 0);
            for (size_t t = 1; t < subsets; ++t) {
                if ((diff & masks[t]) != 0) {
                    sums[t] += cell_term(src[t], p.a) + cell_term(src[t], p.b);
                    kept[t] += apart_rows;
                } else {
                    sums[t] += term(src[t], ab);
                    kept[t] += ab;
                }
            }
        }
    }
    // The frozen cells of level d are cells of every extension.
    for (size_t t = 1; t < subsets; ++t) {
        const fixed_sum sum = sums[t] + frozen_sum(d, qs[t], src[t]);
        const size_t in_cells = kept[t] + frozen_rows[size_t(d)];
        g[s | (varset(t) << next)] = subset_value(sum, nof_rows - in_cells, src[t]);
    }
}
