// subset_terms(): the term tables, and the enumeration run on one thread or
// split into pieces taken by several.
#include "subset_terms.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

#include "enumeration.h"

namespace {

constexpr size_t max_threads = 256;

// The shared table of q, made when missing and the budget allows; null
// when the terms of q are to be computed directly.
const fixed_sum *shared_table(term_cache &cache, double q, const term_source &src)
{
    if (cache.full.load(std::memory_order_acquire)) {
        auto it = cache.tables.find(q);
        return it != cache.tables.end() ? it->second.data() : nullptr;
    }
    std::lock_guard<std::mutex> hold(cache.lock);
    auto it = cache.tables.find(q);
    if (it != cache.tables.end())
        return it->second.data();
    if (cache.entries + cache.nof_rows + 1 > max_table_entries) {
        cache.full.store(true, std::memory_order_release);
        return nullptr;
    }
    std::vector<fixed_sum> t(cache.nof_rows + 1, 0);
    for (size_t k = 2; k <= cache.nof_rows; ++k)
        t[k] = to_fixed(bdeu_term(src.log_a, src.a, k), k);
    cache.entries += t.size();
    return cache.tables.emplace(q, std::move(t)).first->second.data();
}

// source_for() of a q not among the recent ones.
term_source find_source(term_lookup &look, double q)
{
    const term_cache &cache = *look.shared;
    term_source src{nullptr, 0, 0, 0};
    if (cache.kind != score_kind::bdeu) {
        src.table = cache.n_log_n.data();
        return src;
    }
    src.log_a = cache.log_ess - std::log(q);
    src.a = cache.ess / q;
    src.single = to_fixed(src.log_a, 1);
    auto it = look.seen.find(q);
    if (it != look.seen.end()) {
        src.table = it->second;
        return src;
    }
    src.table = shared_table(*look.shared, q, src);
    if (src.table != nullptr)
        look.seen.emplace(q, src.table);
    return src;
}

} // namespace

term_source source_for(term_lookup &look, double q)
{
    const size_t at = (std::bit_cast<uint64_t>(q) >> 52) % term_lookup::nof_recent;
    if (look.recent_q[at] == q)
        return look.recent[at];
    const term_source src = find_source(look, q);
    if (src.table != nullptr) {
        look.recent_q[at] = q;
        look.recent[at] = src;
    }
    return src;
}

void start_cache(term_cache &cache, const score_options &opt, size_t nof_rows)
{
    cache.kind = opt.kind;
    cache.ess = opt.ess;
    cache.log_ess = std::log(opt.ess);
    cache.nof_rows = nof_rows;
    if (opt.kind != score_kind::bdeu) {
        cache.n_log_n.assign(nof_rows + 1, 0);
        for (size_t k = 2; k <= nof_rows; ++k)
            cache.n_log_n[k] = to_fixed(double(k) * std::log(double(k)), k);
    }
}

namespace {

// Buffers of one enumeration, and level 0: the empty set, one group holding
// every row (none when there is a single row).  Packed rows are sorted and
// equal ones merged into one item.
template <class Item, bool Packed>
void set_up(enumeration<Item, Packed> &e, const data_set &data, const packing &pack,
            term_cache &cache, double *g)
{
    e.n = int(data.names.size());
    e.nof_rows = data.nof_rows;
    e.pack = pack;
    e.look.shared = &cache;
    e.g = g;
    size_t r_max = 1;
    for (size_t c = 0; c < data.labels.size(); ++c) {
        size_t r = data.labels[c].size();
        e.arity.push_back(double(r));
        e.arities.push_back(r);
        e.cols.push_back(data.codes[c].data());
        r_max = r > r_max ? r : r_max;
    }
    e.stamp.assign(r_max, 0);
    e.count.assign(r_max, 0);
    e.mass.assign(r_max, 0);
    e.place.assign(r_max, 0);
    const size_t levels = size_t(e.n) + 1, rows = data.nof_rows;
    // Room past the items for split_binary(), which moves up to eight items
    // at once past a group's end.
    using slot = typename enumeration<Item, Packed>::slot;
    constexpr bool joined = enumeration<Item, Packed>::joined;
    e.items.assign(levels, std::vector<slot>(rows + 8));
    if constexpr (!joined)
        e.weights.assign(levels, std::vector<uint32_t>(rows + 8));
    else
        e.weights.assign(levels, std::vector<uint32_t>(1));
    e.ends.assign(levels, std::vector<uint32_t>(rows / 2 + 2));
    e.rows.assign(levels, std::vector<uint32_t>(rows / 2 + 2));
    e.nof_items.assign(levels, 0);
    e.nof_groups.assign(levels, 0);
    e.active_rows.assign(levels, 0);
    e.frozen_rows.assign(levels, 0);
    e.frozen_end.assign(levels, 0);
    // Frozen cells hold two rows or more each; two more entries are written
    // past the list's end.
    e.frozen.assign(rows / 2 + 4, 0);
    e.pairs.assign(levels, std::vector<typename enumeration<Item, Packed>::pair_group>(
                               enumeration<Item, Packed>::with_pairs ? rows / 2 + 2 : 0));
    e.nof_pairs.assign(levels, 0);
    // Mask groups need codes of one bit: at most two labels a column.
    e.use_masks = Packed && r_max <= 2;
    e.hw_count = __builtin_cpu_supports("popcnt");
    e.wide = __builtin_cpu_supports("avx2");
    e.masks_of.assign(levels, std::vector<typename enumeration<Item, Packed>::mask_group>(
                                  e.use_masks ? rows / 2 + 4 : 0));
    e.mask_hist.assign(8 * 65, 0);
    e.nof_masks.assign(levels, 0);
    e.twos_of.assign(levels, std::vector<typename enumeration<Item, Packed>::two_group>(
                                 e.use_masks ? rows / 2 + 4 : 0));
    e.nof_twos.assign(levels, 0);
    e.mask_rows.assign(levels, 0);
    e.anchor_end.assign(levels, 0);
    e.anchor_cap = rows / 2 + 2;
    e.anchor_cols.assign(e.use_masks ? e.anchor_cap * size_t(e.n) : 0, 0);
    e.memos.assign(levels, frozen_memo{});
    e.last_sum.assign(levels, 0);
    e.last_kept.assign(levels, 0);
    e.last_done.assign(levels, 0);
    e.spare.resize(rows + 8);
    e.spare_weights.resize(joined ? 1 : rows + 8);
    e.hist.assign(size_t(1) << e.max_tail_bits, 0);
    e.marg.assign(size_t(1) << e.max_tail_bits, 0);
    e.list_cells.resize(size_t(1) << (2 * e.max_tail_bits));
    e.list_counts.resize(size_t(1) << (2 * e.max_tail_bits));
    if (rows >= 2) {
        std::vector<slot> &first = e.items[0];
        for (size_t k = 0; k < rows; ++k) {
            slot it = slot(k);
            if constexpr (Packed) {
                uint64_t word = 0;
                for (int v = 0; v < e.n; ++v)
                    word |= uint64_t(data.codes[size_t(v)][k]) << pack.shift[v];
                it = slot(word << e.code_base);
            }
            first[k] = it;
        }
        size_t nof = rows;
        if constexpr (Packed) {
            // Sorted by their codes, equal rows one item.
            std::sort(first.begin(), first.begin() + ptrdiff_t(rows));
            nof = 0;
            for (size_t k = 0; k < rows; ++k) {
                if (nof != 0 && first[nof - 1] >> e.code_base == first[k] >> e.code_base) {
                    if constexpr (joined)
                        ++first[nof - 1];
                    else
                        ++e.weights[0][nof - 1];
                } else {
                    first[nof] = first[k] + (joined ? 1 : 0);
                    if constexpr (!joined)
                        e.weights[0][nof] = 1;
                    ++nof;
                }
            }
        } else {
            std::fill(e.weights[0].begin(), e.weights[0].begin() + ptrdiff_t(rows), 1);
        }
        e.ends[0][0] = uint32_t(nof);
        e.rows[0][0] = uint32_t(rows);
        e.nof_items[0] = nof;
        e.nof_groups[0] = 1;
        e.active_rows[0] = rows;
    }
}

struct piece {
    int path[8];
    int len;
    bool whole;
};

// Every set of up to depth columns as a piece, the sets of depth columns
// whole; largest first (the supersets of a set whose top column is v number
// 2^(n-1-v)), the single sets after them.
std::vector<piece> pieces(int n, int depth)
{
    std::vector<piece> out;
    piece p{};
    auto add = [&](auto &self, int next) -> void {
        for (int v = next; v < n; ++v) {
            p.path[p.len++] = v;
            p.whole = p.len == depth;
            out.push_back(p);
            if (!p.whole)
                self(self, v + 1);
            --p.len;
        }
    };
    add(add, 0);
    std::stable_sort(out.begin(), out.end(), [](const piece &a, const piece &b) {
        if (a.whole != b.whole)
            return a.whole;
        return a.path[a.len - 1] < b.path[b.len - 1];
    });
    return out;
}

template <class Item, bool Packed>
void enumerate(const data_set &data, const packing &pack, term_cache &cache, double *g,
               unsigned threads)
{
    using enum_t = enumeration<Item, Packed>;
    auto first = std::make_unique<enum_t>();
    enum_t &e = *first;
    set_up(e, data, pack, cache, g);
    const term_source src = source_for(e.look, 1.0);
    const size_t rows = data.nof_rows;
    g[0] = rows >= 2 ? subset_value(term(src, rows), 0, src) : subset_value(0, rows, src);
    if (threads <= 1 || e.n == 0 || e.takes_tail(0, 0)) {
        e.extend(0, 0, 0, 1.0);
        return;
    }
    // The largest piece is 2^-depth of all sets: a few per thread.
    int depth = std::max(3, int(std::bit_width(threads - 1)) + 1);
    depth = std::min({depth, 6, e.n});
    const std::vector<piece> work = pieces(e.n, depth);
    const size_t nof_workers = std::min<size_t>({threads, work.size(), max_threads});
    std::vector<std::unique_ptr<enum_t>> workers;
    workers.push_back(std::move(first));
    for (size_t w = 1; w < nof_workers; ++w) {
        workers.push_back(std::make_unique<enum_t>());
        set_up(*workers.back(), data, pack, cache, g);
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_lock;
    auto run = [&](enum_t &own) {
        try {
            while (!failed.load(std::memory_order_relaxed)) {
                const size_t k = next.fetch_add(1, std::memory_order_relaxed);
                if (k >= work.size())
                    break;
                own.run_piece(work[k].path, work[k].len, work[k].whole);
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(error_lock);
            if (!error)
                error = std::current_exception();
            failed.store(true);
        }
    };
    std::vector<std::thread> running;
    for (size_t w = 1; w < nof_workers; ++w) {
        try {
            running.emplace_back(run, std::ref(*workers[w]));
        } catch (const std::system_error &) {
            break;  // fewer threads: this one takes the rest
        }
    }
    run(*workers[0]);
    for (auto &t : running)
        t.join();
    if (error)
        std::rethrow_exception(error);
}

} // namespace

double penalty_unit(const data_set &data, const score_options &opt)
{
    switch (opt.kind) {
    case score_kind::bic:
        return std::log(double(data.nof_rows)) / 2;
    case score_kind::aic:
        return 1.0;
    default:
        return 0.0;
    }
}

std::vector<double> subset_terms(const data_set &data, const score_options &opt,
                                 unsigned threads)
{
    const int n = int(data.names.size());
    term_cache cache;
    start_cache(cache, opt, data.nof_rows);
    packing pack{};
    unsigned bits = 0;
    for (int v = 0; v < n; ++v) {
        size_t r = data.labels[size_t(v)].size();
        unsigned width = r <= 1 ? 0 : unsigned(std::bit_width(r - 1));
        pack.shift[v] = bits < 64 ? bits : 0;
        pack.mask[v] = width == 0 ? 0 : width >= 64 ? ~uint64_t(0) : (uint64_t(1) << width) - 1;
        bits += width;
    }
    pack.total = bits;
    std::vector<double> g(size_t(1) << n);
    if (bits <= 32)
        enumerate<uint32_t, true>(data, pack, cache, g.data(), threads);
    else if (bits <= 64)
        enumerate<uint64_t, true>(data, pack, cache, g.data(), threads);
    else
        enumerate<uint32_t, false>(data, pack, cache, g.data(), threads);
    return g;
}
