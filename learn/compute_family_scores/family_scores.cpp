#include "family_scores.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "files.h"

namespace {

// ---- reading the data ----------------------------------------------------

struct field {
    std::string text;
    size_t line;    // line on which the field starts
};

[[noreturn]] void fail_at(const char *name, size_t line, size_t column, const std::string &what,
                          const std::string &reason)
{
    std::string msg = "line " + std::to_string(line);
    if (column != 0)
        msg += ", column " + std::to_string(column);
    if (!what.empty())
        msg += " (" + what + ")";
    msg += ": " + reason;
    fail(name, msg.c_str());
}

// Tab when the header holds more tabs than commas outside quotes, else comma.
char detect_delimiter(const std::string &text, size_t pos)
{
    size_t tabs = 0, commas = 0;
    bool quoted = false;
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == '\n' || c == '\r'))
            break;
        else if (!quoted && c == '\t')
            ++tabs;
        else if (!quoted && c == ',')
            ++commas;
    }
    return tabs > commas ? '\t' : ',';
}

// Reads the next record (RFC 4180: quoted fields with "" escapes and line
// breaks inside quotes; CRLF or LF line ends; the last line may lack one).
// Returns false at the end of the text.  line is the current line number.
bool next_record(const std::string &text, size_t &pos, size_t &line, char delim,
                 std::vector<field> &fields, const char *name)
{
    fields.clear();
    if (pos >= text.size())
        return false;
    const size_t n = text.size();
    for (;;) {
        field f;
        f.line = line;
        if (pos < n && text[pos] == '"') {
            size_t column = fields.size() + 1, start_line = line;
            ++pos;
            for (;;) {
                if (pos >= n)
                    fail_at(name, start_line, column, "", "quoted field is not closed");
                char c = text[pos++];
                if (c == '"') {
                    if (pos < n && text[pos] == '"') {
                        f.text += '"';
                        ++pos;
                    } else {
                        break;
                    }
                } else {
                    if (c == '\n')
                        ++line;
                    f.text += c;
                }
            }
            if (pos < n && text[pos] != delim && text[pos] != '\n' &&
                !(text[pos] == '\r' && (pos + 1 == n || text[pos + 1] == '\n')))
                fail_at(name, line, column, "", "unexpected character after a closing quote");
        } else {
            size_t start = pos;
            while (pos < n && text[pos] != delim && text[pos] != '\n' &&
                   !(text[pos] == '\r' && (pos + 1 == n || text[pos + 1] == '\n')))
                ++pos;
            f.text.assign(text, start, pos - start);
        }
        fields.push_back(std::move(f));
        if (pos >= n)
            return true;
        if (text[pos] == delim) {
            ++pos;
            continue;
        }
        if (text[pos] == '\r')
            ++pos;
        if (pos < n && text[pos] == '\n')
            ++pos;
        ++line;
        return true;
    }
}

bool blank_record(const std::vector<field> &fields)
{
    return fields.size() == 1 && fields[0].text.empty();
}

bool is_missing(const std::string &s)
{
    return s.empty() || s == "?" || s == "NA";
}

std::string describe_missing(const std::string &s)
{
    return s.empty() ? "missing value (empty field)" : "missing value '" + s + "'";
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// ---- per-subset terms -----------------------------------------------------

// Shared by every worker.  The tables of BDeu are made on first use under
// the lock; once the budget is spent (full) no table is added any more and
// the map is read without the lock.  A table holds exactly the values
// bdeu_term() gives, so whether a term comes from a table or is computed
// never changes a result.
struct term_cache {
    score_kind kind;
    double log_ess;
    double ess;
    size_t nof_rows;
    std::vector<double> n_log_n;                  // BIC/AIC: k ln k
    std::map<double, std::vector<double>> tables; // BDeu: per q, T(k) for k <= N
    // In both kinds of table T(0) = T(1) = 0: the cells of one row are
    // counted apart (singleton_term()), so a cell's term can be added from
    // the table whatever its size.
    size_t entries = 0;
    std::mutex lock;
    std::atomic<bool> full{false};
};

constexpr size_t max_table_entries = size_t(1) << 23;
constexpr size_t max_threads = 256;

// BDeu: T(k) = lgamma(a + k) - lgamma(a), a = ess / q, written so that a
// very small a (huge q) loses nothing: lgamma(a + 1) = lgamma(a) + ln a.
double bdeu_term(double log_a, double a, size_t k)
{
    if (k == 1)
        return log_a;
    // lgamma_r: lgamma sets the global signgam, a data race between workers.
    int sign;
    return log_a + (lgamma_r(a + double(k), &sign) - lgamma_r(a + 1.0, &sign));
}

struct term_source {
    const double *table;  // T(k) for k <= N, or null: compute directly
    double log_a, a;      // BDeu only
};

// A worker's view of the shared cache: the tables it has met so far.
struct term_lookup {
    term_cache *shared;
    std::map<double, const double *> seen;
};

// The shared table of q, made when missing and the budget allows; null
// when the terms of q are to be computed directly.
const double *shared_table(term_cache &cache, double q, const term_source &src)
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
    std::vector<double> t(cache.nof_rows + 1, 0.0);
    for (size_t k = 2; k <= cache.nof_rows; ++k)
        t[k] = bdeu_term(src.log_a, src.a, k);
    cache.entries += t.size();
    return cache.tables.emplace(q, std::move(t)).first->second.data();
}

term_source source_for(term_lookup &look, double q)
{
    const term_cache &cache = *look.shared;
    term_source src{nullptr, 0, 0};
    if (cache.kind != score_kind::bdeu) {
        src.table = cache.n_log_n.data();
        return src;
    }
    src.log_a = cache.log_ess - std::log(q);
    src.a = cache.ess / q;
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

inline double term(const term_source &src, size_t k)
{
    return src.table != nullptr ? src.table[k] : bdeu_term(src.log_a, src.a, k);
}

// The terms of the two cells a group splits into by a column of at most two
// labels, added together before they join the sum: every way of counting
// such a split adds them so, so the result never depends on the way taken.
inline double cell_pair(const term_source &src, size_t zeros, size_t ones)
{
    return (zeros >= 2 ? term(src, zeros) : 0.0) + (ones >= 2 ? term(src, ones) : 0.0);
}

// Contribution of a cell that holds one row.
inline double singleton_term(const term_lookup &look, const term_source &src)
{
    return look.shared->kind == score_kind::bdeu ? src.log_a : 0.0;
}

// G(S) for all subsets S is computed in one depth-first enumeration: S is
// extended by columns above its largest one, and the partition of the rows
// by their joint value on S is refined by the new column.  Rows alone in
// their cell stay alone in every superset, so they are dropped and only
// counted (each contributes the term of a cell of one row); deep subsets
// cost little.  Where the groups are large and few columns remain, the
// remaining subtree is done at once from per-group histograms (tail()).
//
// The rows of the data are carried through the enumeration either as packed
// words holding all their codes (when the codes fit in 64 bits: no lookups
// into the columns) or as row indexes.
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
    std::vector<double> last_sum;
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
        if constexpr (Packed)
            return uint32_t((uint64_t(it) >> pack.shift[v]) & pack.mask[v]);
        else
            return cols[size_t(v)][it];
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

    // Refines level d by column v into level d + 1; returns the sum of the
    // terms of the groups of two rows or more.  When last is given (v is
    // below the last column, v has two labels and the last at most two) the
    // cells of level d + 1 refined by the last column are counted on the
    // way and added as count_only() adds them, so that that pass is not
    // needed.
    double refine(int d, int v, const term_source &src, const term_source *last = nullptr)
    {
        const Item *in = rows[size_t(d)].data();
        const uint32_t *in_ends = ends[size_t(d)].data();
        const size_t groups = nof_groups[size_t(d)];
        Item *o = rows[size_t(d) + 1].data();
        uint32_t *oe = ends[size_t(d) + 1].data();
        Item *tmp = spare.data();
        const size_t r = arities[size_t(v)];
        size_t pos = 0, ne = 0;
        double sum = 0;
        uint32_t begin = 0;
        if (last != nullptr) {
            // Both tables are there (refine_for() sees to it), their entries
            // for 0 and 1 rows zero: every cell's term is added without
            // asking its size.  The codes' places are held in locals (the
            // stores are of the packing's type, which would otherwise be read
            // again after each one); the level's arrays have room for the
            // eight rows copied at once past a group's end.
            const double *tv = src.table, *tl = last->table;
            const column_code cv = code_of(v), cl = code_of(n - 1);
            const Item *__restrict from = in;
            Item *__restrict out = o, *__restrict aside = tmp;
            uint32_t *__restrict out_ends = oe;
            double lsum = 0;
            size_t lkept = 0;
            for (size_t gi = 0; gi < groups; ++gi) {
                const uint32_t end = in_ends[gi];
                size_t p0 = pos, t = 0, last_ones = 0, both = 0;
                for (uint32_t k = begin; k < end; ++k) {
                    const Item it = from[k];
                    const uint32_t c = cv(it), e = cl(it);
                    out[p0] = it;
                    aside[t] = it;
                    p0 += 1 - c;
                    t += c;
                    last_ones += e;
                    both += c & e;
                }
                // The cells of a new group of `size` rows, `ones` of them with
                // label 1 in the last column, added as count_only() adds them.
                auto count_last = [&](size_t size, size_t ones) {
                    const size_t zeros = size - ones;
                    lsum += tl[zeros] + tl[ones];
                    lkept += (zeros >= 2 ? zeros : 0) + (ones >= 2 ? ones : 0);
                };
                const size_t zeros = p0 - pos, ones = t;
                sum += tv[zeros] + tv[ones];
                count_last(zeros, last_ones - both);
                pos += zeros >= 2 ? zeros : 0;
                out_ends[ne] = uint32_t(pos);
                ne += zeros >= 2;
                if (ones <= 8) {
                    for (uint32_t j = 0; j < 8; ++j)
                        out[pos + j] = aside[j];
                } else {
                    memcpy(out + pos, aside, ones * sizeof(Item));
                }
                count_last(ones, both);
                pos += ones >= 2 ? ones : 0;
                out_ends[ne] = uint32_t(pos);
                ne += ones >= 2;
                begin = end;
            }
            nof_kept[size_t(d) + 1] = pos;
            nof_groups[size_t(d) + 1] = ne;
            last_sum[size_t(d) + 1] = lsum;
            last_kept[size_t(d) + 1] = lkept;
            last_done[size_t(d) + 1] = 1;
            return sum;
        }
        last_done[size_t(d) + 1] = 0;
        for (size_t gi = 0; gi < groups; ++gi) {
            const uint32_t end = in_ends[gi];
            if (r == 1) {
                memcpy(o + pos, in + begin, (end - begin) * sizeof(Item));
                pos += end - begin;
                oe[ne++] = uint32_t(pos);
                sum += term(src, end - begin);
            } else if (r == 2) {
                // Branch-free split: label 0 in place, label 1 aside.
                size_t p0 = pos, t = 0;
                for (uint32_t k = begin; k < end; ++k) {
                    Item it = in[k];
                    uint32_t c = code(v, it);
                    o[p0] = it;
                    tmp[t] = it;
                    p0 += 1 - c;
                    t += c;
                }
                size_t zeros = p0 - pos;
                sum += cell_pair(src, zeros, t);
                if (zeros >= 2) {
                    pos += zeros;
                    oe[ne++] = uint32_t(pos);
                }
                if (t >= 2) {
                    memcpy(o + pos, tmp, t * sizeof(Item));
                    pos += t;
                    oe[ne++] = uint32_t(pos);
                }
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

    // refine() of level d by column v, giving the set of q (the product of
    // the arities of its columns) qt; the last column is counted on the way
    // where both columns have at most two labels and the terms come from
    // tables.
    double refine_for(int d, int v, const term_source &src, double qt)
    {
        if (v < n - 1 && arities[size_t(n - 1)] <= 2 && arities[size_t(v)] == 2 &&
            src.table != nullptr) {
            const term_source last = source_for(look, qt * arity[size_t(n - 1)]);
            if (last.table != nullptr)
                return refine(d, v, src, &last);
        }
        return refine(d, v, src);
    }

    // g[t] for t, the set of level d plus the last column: counted already
    // when level d was made, or counted now.
    void set_last(varset t, int d, const term_source &src)
    {
        size_t kept;
        double sum = last_done[size_t(d)] ? (kept = last_kept[size_t(d)], last_sum[size_t(d)])
                                          : count_only(d, n - 1, src, kept);
        g[t] = sum + double(nof_rows - kept) * singleton_term(look, src);
    }

    // The term of level d refined by column v when that refinement has no
    // extensions: the cells are only counted.  Sets kept to the number of
    // rows in cells of two rows or more.
    double count_only(int d, int v, const term_source &src, size_t &kept)
    {
        const Item *in = rows[size_t(d)].data();
        const uint32_t *in_ends = ends[size_t(d)].data();
        const size_t groups = nof_groups[size_t(d)];
        const size_t r = arities[size_t(v)];
        double sum = 0;
        size_t pos = 0;
        uint32_t begin = 0;
        for (size_t gi = 0; gi < groups; ++gi) {
            const uint32_t end = in_ends[gi];
            if (r <= 2) {
                size_t ones = 0;
                for (uint32_t k = begin; k < end; ++k)
                    ones += code(v, in[k]);
                size_t zeros = end - begin - ones;
                sum += cell_pair(src, zeros, ones);
                pos += (zeros >= 2 ? zeros : 0) + (ones >= 2 ? ones : 0);
            } else {
                tally(v, in, begin, end);
                for (uint32_t c : used)
                    if (count[c] >= 2) {
                        pos += count[c];
                        sum += term(src, count[c]);
                    }
            }
            begin = end;
        }
        kept = pos;
        return sum;
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

    // Every extension of s by columns from next on at once: per group of s,
    // a histogram of the joint codes of the tail columns, marginalised onto
    // each non-empty subset of them.  Cheaper than refining when the groups
    // are larger than the histogram.
    void tail(varset s, int next, int d, double q)
    {
        const int k = n - next;
        const unsigned base = pack.shift[next];
        const bool empty_tail = pack.total == base;
        const size_t subsets = size_t(1) << k;
        uint64_t masks[size_t(1) << max_tail_bits];
        term_source src[size_t(1) << max_tail_bits];
        double sums[size_t(1) << max_tail_bits];
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
        // The cells of each subset t of the tail as (code, count) lists;
        // t comes from the list of t plus its lowest missing column, so
        // every list is built from a shorter one than the full histogram.
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
                double sum = 0;
                size_t in_cells = 0;
                if (t == full) {
                    for (uint32_t j : touched) {
                        cells[pos] = j;
                        counts[pos++] = hist[j];
                        if (hist[j] >= 2) {
                            sum += term(src[t], hist[j]);
                            in_cells += hist[j];
                        }
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
                        uint32_t cnt = marg[c];
                        cells[pos] = c;
                        counts[pos++] = cnt;
                        if (cnt >= 2) {
                            sum += term(src[t], cnt);
                            in_cells += cnt;
                        }
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
            g[s | (varset(t) << next)] =
                sums[t] + double(nof_rows - kept[t]) * singleton_term(look, src[t]);
    }

    // Subset t and all its extensions by columns from next on, when every
    // row of t is alone in its cell (so in every superset too).
    void fill_singletons(varset t, int next, double q)
    {
        term_source src = source_for(look, q);
        g[t] = double(nof_rows) * singleton_term(look, src);
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
            visit(s, v, d, q);
    }

    // Sets g[s + v] and visits the supersets of s + v by columns above v.
    void visit(varset s, int v, int d, double q)
    {
        varset t = s | (varset(1) << v);
        double qt = q * arity[size_t(v)];
        if (nof_kept[size_t(d)] == 0) {
            fill_singletons(t, v + 1, qt);
            return;
        }
        term_source src = source_for(look, qt);
        if (v == n - 1) {
            set_last(t, d, src);
            return;
        }
        double sum = refine_for(d, v, src, qt);
        size_t alone = nof_rows - nof_kept[size_t(d) + 1];
        g[t] = sum + double(alone) * singleton_term(look, src);
        extend(t, v + 1, d + 1, qt);
    }

    // One piece of the enumeration for a worker: the set of the columns
    // path[0] < ... < path[len-1], with whole also all its supersets by
    // columns above path[len-1].  The levels of the path are rebuilt from
    // level 0 by the same refinements extend() makes, so every term comes
    // out as it does in one enumeration.  A piece whose set extend() never
    // reaches on its own (some prefix has all its extensions done at once,
    // by tail() or fill_singletons()) does nothing: the piece of that prefix
    // does them.  The empty set is not a piece; before the pieces start,
    // level 0 is set and the empty set does not take the tail.
    void run_piece(const int *path, int len, bool whole)
    {
        varset s = 0;
        double q = 1;
        int next = 0;
        for (int d = 0; d < len; ++d) {
            const int v = path[d];
            const bool last = d + 1 == len;
            if (takes_tail(next, d))
                return;
            varset t = s | (varset(1) << v);
            double qt = q * arity[size_t(v)];
            if (nof_kept[size_t(d)] == 0) {
                if (last)
                    fill_singletons(t, v + 1, qt);
                return;
            }
            term_source src = source_for(look, qt);
            if (v == n - 1) {
                if (last)
                    set_last(t, d, src);
                return;
            }
            double sum = refine_for(d, v, src, qt);
            if (last) {
                size_t alone = nof_rows - nof_kept[size_t(d) + 1];
                g[t] = sum + double(alone) * singleton_term(look, src);
                if (whole)
                    extend(t, v + 1, d + 1, qt);
                else if (takes_tail(v + 1, d + 1))
                    tail(t, v + 1, d + 1, qt);
                return;
            }
            s = t;
            q = qt;
            next = v + 1;
        }
    }
};

// Buffers of one enumeration, and level 0: the empty set, one cell holding
// every row (no cell when there is a single row).
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
    e.place.assign(r_max, 0);
    const size_t levels = size_t(e.n) + 1, rows = data.nof_rows;
    // Room past the rows for refine(), which moves up to eight rows at once
    // past a group's end.
    e.rows.assign(levels, std::vector<Item>(rows + 8));
    e.ends.assign(levels, std::vector<uint32_t>(rows / 2 + 2));
    e.nof_kept.assign(levels, 0);
    e.nof_groups.assign(levels, 0);
    e.last_sum.assign(levels, 0);
    e.last_kept.assign(levels, 0);
    e.last_done.assign(levels, 0);
    e.spare.resize(rows + 8);
    e.hist.assign(size_t(1) << e.max_tail_bits, 0);
    e.marg.assign(size_t(1) << e.max_tail_bits, 0);
    e.list_cells.resize(size_t(1) << (2 * e.max_tail_bits));
    e.list_counts.resize(size_t(1) << (2 * e.max_tail_bits));
    if (rows >= 2) {
        for (size_t k = 0; k < rows; ++k) {
            Item it = Item(k);
            if constexpr (Packed) {
                uint64_t word = 0;
                for (int v = 0; v < e.n; ++v)
                    word |= uint64_t(data.codes[size_t(v)][k]) << pack.shift[v];
                it = Item(word);
            }
            e.rows[0][k] = it;
        }
        e.ends[0][0] = uint32_t(rows);
        e.nof_kept[0] = rows;
        e.nof_groups[0] = 1;
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
    term_source src = source_for(e.look, 1.0);
    const size_t rows = data.nof_rows;
    g[0] = rows >= 2 ? term(src, rows) : double(rows) * singleton_term(e.look, src);
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

data_set parse_data(const std::string &text, const char *name, const read_options &opt)
{
    data_set data;
    size_t pos = 0, line = 1;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        pos = 3;
    const char delim = opt.delimiter != 0 ? opt.delimiter : detect_delimiter(text, pos);
    std::vector<field> fields;
    bool have_header = false;
    while (next_record(text, pos, line, delim, fields, name)) {
        if (!blank_record(fields)) {
            have_header = true;
            break;
        }
    }
    if (!have_header)
        fail(name, "the file is empty (no header row)");
    const size_t header_line = fields[0].line;
    if (fields.size() > size_t(max_columns))
        fail_at(name, header_line, max_columns + 1, fields[max_columns].text,
                std::to_string(fields.size()) + " columns, at most " +
                    std::to_string(max_columns) + " are supported");
    std::unordered_map<std::string, size_t> seen;
    for (size_t c = 0; c < fields.size(); ++c) {
        if (fields[c].text.empty())
            fail_at(name, header_line, c + 1, "", "empty column name");
        auto [it, fresh] = seen.emplace(fields[c].text, c);
        if (!fresh)
            fail_at(name, header_line, c + 1, fields[c].text,
                    "duplicate column name (also column " + std::to_string(it->second + 1) + ")");
        data.names.push_back(fields[c].text);
    }
    const size_t m = data.names.size();
    data.labels.resize(m);
    data.codes.resize(m);
    std::vector<std::unordered_map<std::string, uint32_t>> index(m);
    while (next_record(text, pos, line, delim, fields, name)) {
        if (blank_record(fields) && m > 1)
            continue;
        const size_t row_line = fields[0].line;
        if (fields.size() < m)
            fail_at(name, fields.back().line, fields.size() + 1, data.names[fields.size()],
                    "the row ends after " + std::to_string(fields.size()) +
                        " fields, the header has " + std::to_string(m));
        if (fields.size() > m)
            fail_at(name, fields[m].line, m + 1, "",
                    "the row has " + std::to_string(fields.size()) + " fields, the header has " +
                        std::to_string(m));
        bool missing = false;
        for (size_t c = 0; c < m && !missing; ++c) {
            if (is_missing(fields[c].text)) {
                if (!opt.drop_missing)
                    fail_at(name, fields[c].line, c + 1, data.names[c],
                            describe_missing(fields[c].text));
                missing = true;
            }
        }
        (void)row_line;
        if (missing) {
            ++data.nof_dropped;
            continue;
        }
        if (data.nof_rows == UINT32_MAX)
            fail_at(name, row_line, 0, "", "too many rows");
        for (size_t c = 0; c < m; ++c) {
            auto [it, fresh] = index[c].emplace(fields[c].text, uint32_t(data.labels[c].size()));
            if (fresh)
                data.labels[c].push_back(fields[c].text);
            data.codes[c].push_back(it->second);
        }
        ++data.nof_rows;
    }
    if (data.nof_rows == 0) {
        if (data.nof_dropped != 0)
            fail(name, ("no data rows left: all " + std::to_string(data.nof_dropped) +
                        " rows have missing values")
                           .c_str());
        fail(name, "no data rows");
    }
    return data;
}

// The whole content of a file, read in 64 KiB pieces.
static std::string read_whole_file(const char *path, const char *mode)
{
    FILE *f = fopen_checked(path, mode);
    std::string text;
    char buf[1 << 16];
    for (;;) {
        errno = 0;
        size_t got = fread(buf, 1, sizeof buf, f);
        text.append(buf, got);
        if (got < sizeof buf) {
            if (ferror(f))
                fail_errno(path);
            break;
        }
    }
    close_input(f, path);
    return text;
}

data_set read_data(const char *path, const read_options &opt)
{
    std::string text = read_whole_file(path, "rb");
    return parse_data(text, path, opt);
}

void read_arc_list(const char *path, const data_set &data, varset *masks)
{
    std::string text = read_whole_file(path, "r");
    size_t pos = 0, line = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string s = trim(text.substr(pos, eol - pos));
        pos = eol + 1;
        ++line;
        if (s.empty() || s[0] == '#')
            continue;
        const char sep = s.find('\t') != std::string::npos ? '\t' : ',';
        size_t cut = s.find(sep);
        if (cut == std::string::npos || s.find(sep, cut + 1) != std::string::npos)
            fail_at(path, line, 0, "", "expected one 'parent,child' pair");
        std::string names[2] = {trim(s.substr(0, cut)), trim(s.substr(cut + 1))};
        int idx[2];
        for (int k = 0; k < 2; ++k) {
            idx[k] = -1;
            for (size_t c = 0; c < data.names.size(); ++c)
                if (data.names[c] == names[k])
                    idx[k] = int(c);
            if (idx[k] < 0)
                fail_at(path, line, 0, "", "unknown variable '" + names[k] + "'");
        }
        if (idx[0] == idx[1])
            fail_at(path, line, 0, "", "an arc from '" + names[0] + "' to itself");
        masks[idx[1]] |= varset(1) << idx[0];
    }
}

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
    cache.kind = opt.kind;
    cache.ess = opt.ess;
    cache.log_ess = std::log(opt.ess);
    cache.nof_rows = data.nof_rows;
    if (opt.kind != score_kind::bdeu) {
        cache.n_log_n.resize(data.nof_rows + 1);
        cache.n_log_n[0] = 0;
        for (size_t k = 1; k <= data.nof_rows; ++k)
            cache.n_log_n[k] = double(k) * std::log(double(k));
    }
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
