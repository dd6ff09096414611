// The enumeration behind subset_terms(): G(S) for all subsets S in one
// depth-first walk.  S is extended by columns above its largest one, and the
// partition of the rows by their joint value on S is refined by the new
// column.  Rows alone in their cell stay alone in every superset, so they
// are dropped and only counted (each contributes the term of a cell of one
// row); deep subsets cost little.  Where the groups are large and few
// columns remain, the remaining subtree is done at once from per-group
// histograms (tail()).
//
// The rows of the data are carried through the enumeration either as packed
// words holding all their codes (when the codes fit in 64 bits: no lookups
// into the columns) or as row indexes.
#pragma once
#include <cmath>
#include <cstring>
#include <vector>

#include "term_tables.h"

struct packing {
    unsigned shift[max_columns];
    uint64_t mask[max_columns];
    unsigned total;   // bits of all codes
};

template <class Item, bool Packed> struct enumeration {
    int n;
    size_t nof_rows;
    std::vector<double> arity;
    std::vector<size_t> arities;
    packing pack;
    std::vector<const uint32_t *> cols;
    // Level d: rows of the current subset of d columns grouped by their
    // joint value, groups of one row left out.
    std::vector<std::vector<Item>> rows;
    std::vector<std::vector<uint32_t>> ends;
    std::vector<size_t> nof_kept, nof_groups;
    // Level d + 1 refined by the last column as well, counted while level
    // d + 1 was made from level d (see refine()): the sum of the terms of the
    // cells of two rows or more and the rows in them, when last_done is set.
    std::vector<fixed_sum> last_sum;
    std::vector<size_t> last_kept;
    std::vector<char> last_done;
    std::vector<Item> spare;
    term_lookup look;
    double *g;
    // scratch of the refinement by a column of more than two labels
    std::vector<uint64_t> stamp;
    std::vector<uint32_t> count, place, used;
    uint64_t clock = 0;
    // scratch of the tail histograms
    std::vector<uint32_t> hist, marg, touched, marg_touched, list_cells, list_counts;

    // Code of one column in a row, with what it needs held by value.
    struct column_code {
        uint64_t shift, mask;
        const uint32_t *col;
        uint32_t operator()(Item it) const
        {
            if constexpr (Packed)
                return uint32_t((uint64_t(it) >> shift) & mask);
            else
                return col[it];
        }
    };
    column_code code_of(int v) const
    {
        return {pack.shift[v], pack.mask[v], cols[size_t(v)]};
    }

    uint32_t code(int v, Item it) const
    {
        return code_of(v)(it);
    }

    // Counts the labels of column v over rows begin .. end - 1 of in: count[c]
    // for every label c seen, the labels seen listed in used.
    void tally(int v, const Item *in, uint32_t begin, uint32_t end)
    {
        const uint64_t now = ++clock;
        used.clear();
        for (uint32_t k = begin; k < end; ++k) {
            uint32_t c = code(v, in[k]);
            if (stamp[c] != now) {
                stamp[c] = now;
                count[c] = 0;
                used.push_back(c);
            }
            ++count[c];
        }
    }

    // Refines level d by column v of two labels into level d + 1; returns the
    // sum of the terms of the groups of two rows or more.  With WithLast the
    // cells of level d + 1 refined by the last column (of at most two labels,
    // its terms in the table of last) are counted on the way, so that that
    // pass is not needed.  Branch-free: label 0 in place, label 1 aside.  The
    // level's arrays have room for the eight rows copied at once past a
    // group's end.
    template <bool WithLast>
    fixed_sum split_binary(int d, int v, const term_source &src, const term_source *last)
    {
        const Item *__restrict from = rows[size_t(d)].data();
        const uint32_t *in_ends = ends[size_t(d)].data();
        const size_t groups = nof_groups[size_t(d)];
        Item *__restrict out = rows[size_t(d) + 1].data();
        Item *__restrict aside = spare.data();
        uint32_t *__restrict out_ends = ends[size_t(d) + 1].data();
        // The codes' places are held in locals (the stores are of the
        // packing's type, which would otherwise be read again after each one).
        const column_code cv = code_of(v), cl = code_of(n - 1);
        const fixed_sum *tl = WithLast ? last->table : nullptr;
        fixed_sum sum = 0, lsum = 0;
        size_t pos = 0, ne = 0, lkept = 0;
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
            size_t p0 = pos, t = 0, last_ones = 0, both = 0;
            for (uint32_t k = begin; k < end; ++k) {
                const Item it = from[k];
                const uint32_t c = cv(it);
                out[p0] = it;
                aside[t] = it;
                p0 += 1 - c;
                t += c;
                if constexpr (WithLast) {
                    const uint32_t e = cl(it);
                    last_ones += e;
                    both += c & e;
                }
            }
            const size_t zeros = p0 - pos, ones = t;
            sum += pair_term(src, zeros, ones);
            if constexpr (WithLast) {
                count_last(zeros, last_ones - both);
                count_last(ones, both);
            }
            pos += zeros >= 2 ? zeros : 0;
            out_ends[ne] = uint32_t(pos);
            ne += zeros >= 2;
            if (ones <= 8) {
                for (uint32_t j = 0; j < 8; ++j)
                    out[pos + j] = aside[j];
            } else {
                memcpy(out + pos, aside, ones * sizeof(Item));
            }
            pos += ones >= 2 ? ones : 0;
            out_ends[ne] = uint32_t(pos);
            ne += ones >= 2;
            begin = end;
        }
        nof_kept[size_t(d) + 1] = pos;
        nof_groups[size_t(d) + 1] = ne;
        last_done[size_t(d) + 1] = WithLast;
        last_sum[size_t(d) + 1] = lsum;
        last_kept[size_t(d) + 1] = lkept;
        return sum;
    }

    // Refines level d by column v into level d + 1; returns the sum of the
    // terms of the groups of two rows or more.  The last column is counted on
    // the way (split_binary()) where both columns have at most two labels and
    // the terms come from tables; qt is the q of the new set.
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
        const Item *in = rows[size_t(d)].data();
        const uint32_t *in_ends = ends[size_t(d)].data();
        const size_t groups = nof_groups[size_t(d)];
        Item *o = rows[size_t(d) + 1].data();
        uint32_t *oe = ends[size_t(d) + 1].data();
        size_t pos = 0, ne = 0;
        fixed_sum sum = 0;
        uint32_t begin = 0;
        last_done[size_t(d) + 1] = 0;
        for (size_t gi = 0; gi < groups; ++gi) {
            const uint32_t end = in_ends[gi];
            if (r == 1) {
                memcpy(o + pos, in + begin, (end - begin) * sizeof(Item));
                pos += end - begin;
                oe[ne++] = uint32_t(pos);
                sum += term(src, end - begin);
            } else {
                tally(v, in, begin, end);
                for (uint32_t c : used) {
                    if (count[c] >= 2) {
                        place[c] = uint32_t(pos);
                        pos += count[c];
                        oe[ne++] = uint32_t(pos);
                        sum += term(src, count[c]);
                    } else {
                        place[c] = UINT32_MAX;
                    }
                }
                for (uint32_t k = begin; k < end; ++k) {
                    uint32_t c = code(v, in[k]);
                    if (place[c] != UINT32_MAX)
                        o[place[c]++] = in[k];
                }
            }
            begin = end;
        }
        nof_kept[size_t(d) + 1] = pos;
        nof_groups[size_t(d) + 1] = ne;
        return sum;
    }

    // g[t] for t, the set of level d plus the last column: counted already
    // when level d was made, or counted now.  The cells are only counted:
    // the refinement has no extensions.
    void set_last(varset t, int d, const term_source &src)
    {
        size_t kept = 0;
        fixed_sum sum = 0;
        if (last_done[size_t(d)]) {
            kept = last_kept[size_t(d)];
            sum = last_sum[size_t(d)];
        } else {
            const int v = n - 1;
            const Item *in = rows[size_t(d)].data();
            const uint32_t *in_ends = ends[size_t(d)].data();
            uint32_t begin = 0;
            for (size_t gi = 0; gi < nof_groups[size_t(d)]; ++gi) {
                const uint32_t end = in_ends[gi];
                if (arities[size_t(v)] <= 2) {
                    size_t ones = 0;
                    for (uint32_t k = begin; k < end; ++k)
                        ones += code(v, in[k]);
                    size_t zeros = end - begin - ones;
                    sum += pair_term(src, zeros, ones);
                    kept += (zeros >= 2 ? zeros : 0) + (ones >= 2 ? ones : 0);
                } else {
                    tally(v, in, begin, end);
                    for (uint32_t c : used)
                        if (count[c] >= 2) {
                            kept += count[c];
                            sum += term(src, count[c]);
                        }
                }
                begin = end;
            }
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

    // Subset t and all its extensions by columns from next on, when every
    // row of t is alone in its cell (so in every superset too).
    void fill_singletons(varset t, int next, double q)
    {
        term_source src = source_for(look, q);
        g[t] = subset_value(0, nof_rows, src);
        for (int v = next; v < n; ++v)
            fill_singletons(t | (varset(1) << v), v + 1, q * arity[size_t(v)]);
    }

    // Whether the extensions of s by columns from next on, level d holding
    // the partition of s, are done at once from histograms.  Refining costs
    // at most (group size) * 2^k per group, less as rows fall out alone, the
    // tail about 3^k: measured on data drawn from sparse networks (1,000 and
    // 10,000 rows), the tail pays once the groups average 16 * 1.5^k rows.
    bool takes_tail(int next, int d) const
    {
        return tail_size(next) != 0 && nof_kept[size_t(d)] != 0 &&
               double(nof_kept[size_t(d)]) >=
                   double(nof_groups[size_t(d)]) * 16 * std::pow(1.5, n - next);
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
    // refine (its rows are all alone, or v is the last column).  With record
    // it sets g[s + v], and in the second case every extension of s + v.
    bool step(varset s, int v, int d, double q, bool record)
    {
        const varset t = s | (varset(1) << v);
        const double qt = q * arity[size_t(v)];
        if (nof_kept[size_t(d)] == 0) {
            if (record)
                fill_singletons(t, v + 1, qt);
            return false;
        }
        const term_source src = source_for(look, qt);
        if (v == n - 1) {
            if (record)
                set_last(t, d, src);
            return false;
        }
        const fixed_sum sum = refine(d, v, src, qt);
        if (record)
            g[t] = subset_value(sum, nof_rows - nof_kept[size_t(d) + 1], src);
        return true;
    }

    // One piece of the enumeration for a worker: the set of the columns
    // path[0] < ... < path[len-1], with whole also all its supersets by
    // columns above path[len-1].  The levels of the path are rebuilt from
    // level 0 by the same steps extend() takes, recording only the last.  A
    // piece whose set extend() never reaches on its own (some prefix has all
    // its extensions done at once, by tail() or fill_singletons()) does
    // nothing: the piece of that prefix does them.  The empty set is not a
    // piece; before the pieces start, level 0 is set and the empty set does
    // not take the tail.
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
        sums[t] = 0;
        kept[t] = 0;
    }
    // The cells of each subset t of the tail as (code, count) lists; t comes
    // from the list of t plus its lowest missing column, so every list is
    // built from a shorter one than the full histogram.
    const size_t full = subsets - 1;
    const Item *in = rows[size_t(d)].data();
    const uint32_t *in_ends = ends[size_t(d)].data();
    const size_t groups = nof_groups[size_t(d)];
    size_t offset[size_t(1) << max_tail_bits], length[size_t(1) << max_tail_bits];
    uint32_t *cells = list_cells.data(), *counts = list_counts.data();
    uint32_t begin = 0;
    for (size_t gi = 0; gi < groups; ++gi) {
        const uint32_t end = in_ends[gi];
        touched.clear();
        for (uint32_t r = begin; r < end; ++r) {
            uint32_t j = empty_tail ? 0 : uint32_t(uint64_t(in[r]) >> base);
            if (hist[j]++ == 0)
                touched.push_back(j);
        }
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
        begin = end;
    }
    for (size_t t = 1; t < subsets; ++t)
        g[s | (varset(t) << next)] = subset_value(sums[t], nof_rows - kept[t], src[t]);
}
