// count_last_three() of the enumeration (enumeration.h): as
// count_last_two(), a set s + v with v the third column from the end, and
// its three extensions by the last two columns, counted in one pass over
// the groups of s without making any of their partitions.  Per group, the
// rows of each of the eight joint labels of the three columns (the leaves);
// the cells of each of the four sets are sums of leaves.
#pragma once

// Leaves of the cells of set x: the leaves that differ only in columns
// outside x are one cell.  For x = 0 the two cells are leaves 0 2 4 6 and
// 1 3 5 7, for x = 1 the pairs i, i + 4, for x = 2 the pairs i, i + 2.
inline void add_leaves(four_sets &f, const uint32_t *leaf)
{
    auto add = [&f](int x, uint32_t k) {
        f.sum[x] += f.src[x].table[k];
        f.kept[x] += k >= 2 ? k : 0;
    };
    add(0, leaf[0] + leaf[2] + leaf[4] + leaf[6]);
    add(0, leaf[1] + leaf[3] + leaf[5] + leaf[7]);
    for (int i = 0; i < 4; ++i)
        add(1, leaf[i] + leaf[i + 4]);
    for (int i : {0, 1, 4, 5})
        add(2, leaf[i] + leaf[i + 2]);
    for (int i = 0; i < 8; ++i)
        add(3, leaf[i]);
}

// g of t = s + v and of its three extensions, v = n - 3 and the column
// after of two labels, the last of at most two, their terms in tables
// (f.src, f.q set); level d holds the partition of s.  Packed rows only:
// the three columns' codes are the top bits of an item, so in each group
// the items of one leaf follow each other.
template <class Item, bool Packed>
void enumeration<Item, Packed>::count_last_three(varset t, int d, int v, four_sets &f)
{
    const uint32_t *in_ends = ends[size_t(d)].data();
    const unsigned at_v = code_of(v).shift;
    uint32_t begin = 0;
    for (size_t gi = 0, groups = nof_groups[size_t(d)]; gi < groups; ++gi) {
        const uint32_t end = in_ends[gi];
        uint32_t leaf[8];
        leaf_rows<8>(d, begin, end, at_v, leaf);
        add_leaves(f, leaf);
        begin = end;
    }
    // Pairs: one cell in a set unless their items differ in one of its
    // columns.
    if constexpr (with_pairs) {
        const slot bits[4] = {bits_of(v), slot(bits_of(v) | bits_of(v + 1)),
                              slot(bits_of(v) | bits_of(n - 1)),
                              slot(bits_of(v) | bits_of(v + 1) | bits_of(n - 1))};
        const pair_group *in = pairs[size_t(d)].data();
        for (size_t i = 0, count = nof_pairs[size_t(d)]; i < count; ++i) {
            const pair_group p = in[i];
            const uint32_t ab = p.a + p.b;
            const size_t apart_rows = (p.a >= 2 ? p.a : 0) + (p.b >= 2 ? p.b : 0);
            for (int x = 0; x < 4; ++x) {
                const fixed_sum *tab = f.src[x].table;
                const bool broke = (p.diff & bits[x]) != 0;
                f.sum[x] += broke ? tab[p.a] + tab[p.b] : tab[ab];
                f.kept[x] += broke ? apart_rows : ab;
            }
        }
    }
    // Mask groups: split by v into level d + 1 (counting t and t plus the
    // last column), which is then counted by the column after v (t plus it,
    // and plus both).  Level d + 1 holds nothing else: no step reads it.
    if (any_masks(d)) {
        size_t alive = 0;
        f.sum[0] += split_masks<true>(d, v, f.src[0], &f.src[2], f.sum[2], f.kept[2], alive);
        f.kept[0] += alive;
        if (any_masks(d + 1)) {
            if (hw_count)
                count_masks_hw(d + 1, v + 1, f.src[1], f.src[3], f.sum[1], f.kept[1], f.sum[3],
                               f.kept[3]);
            else
                count_masks<false>(d + 1, v + 1, f.src[1], f.src[3], f.sum[1], f.kept[1],
                                   f.sum[3], f.kept[3]);
        }
    }
    for (int x = 0; x < 4; ++x) {
        const varset tx = t | (x & 1 ? varset(1) << (v + 1) : 0) | (x & 2 ? varset(1) << (n - 1) : 0);
        const size_t kept = f.kept[x] + frozen_rows[size_t(d)];
        g[tx] = subset_value(f.sum[x] + frozen_sum(d, f.q[x], f.src[x]), nof_rows - kept,
                             f.src[x]);
    }
}
