// The term of a cell of k rows, T(k), as the enumeration adds it: in fixed
// point, so that sums are exact whatever their order.  Tables of T(k) for
// k <= N are shared by the workers of one enumeration.
#pragma once
#include <atomic>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstddef>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "subset_terms.h"

// Sums of terms: 2^-64 units in a signed 128-bit integer.  The term of a
// cell of k rows is held to at most 2^20 k in magnitude (far above any real
// score: about k ln(a + k)), so the terms of a subset of at most 2^32 rows
// sum to below 2^53, 2^117 units: no sum leaves the range.
__extension__ typedef __int128 fixed_sum;

// x, the term of a cell of k rows (k >= 1), in units, rounded to the
// nearest (halves away from zero).  Taken apart by hand: the conversion of
// the compiler's runtime costs several times more, and tables of terms are
// converted entry by entry.
inline fixed_sum to_fixed(double x, size_t k)
{
    if (!(std::fabs(x) <= 0x1p20 * double(k)))
        throw std::range_error("a score term is out of range (is --ess too large?)");
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const int biased = int(bits >> 52 & 0x7ff);
    if (biased == 0)
        return 0;  // zero or below 2^-1022: rounds to 0
    const uint64_t mantissa = (bits & ((uint64_t(1) << 52) - 1)) | uint64_t(1) << 52;
    // |x| 2^64 = mantissa 2^(biased - 1075 + 64)
    const int shift = biased - 1011;
    unsigned __int128 units;
    if (shift >= 0)
        units = (unsigned __int128)mantissa << shift;  // |x| < 2^53: shift <= 64
    else if (shift > -54)
        units = (mantissa + (uint64_t(1) << (-shift - 1))) >> -shift;
    else
        units = 0;
    return bits >> 63 ? -fixed_sum(units) : fixed_sum(units);
}

inline double to_double(fixed_sum s)
{
    return double(s) * 0x1p-64;
}

// Shared by every worker.  The tables of BDeu are made on first use under
// the lock; once the budget is spent (full) no table is added any more and
// the map is read without the lock.  A table holds exactly the values
// cell_term() computes, so whether a term comes from a table or is computed
// never changes a result.
struct term_cache {
    score_kind kind;
    double log_ess;
    double ess;
    size_t nof_rows;
    std::vector<fixed_sum> n_log_n;                  // BIC/AIC: k ln k
    std::map<double, std::vector<fixed_sum>> tables; // BDeu: per q, T(k) for k <= N
    // In both kinds of table T(0) = T(1) = 0: the cells of one row are
    // counted apart (singleton_term()), so a cell's term can be added from
    // the table whatever its size.
    size_t entries = 0;
    std::mutex lock;
    std::atomic<bool> full{false};
};

constexpr size_t max_table_entries = size_t(1) << 22;

// BDeu: T(k) = lgamma(a + k) - lgamma(a), a = ess / q, written so that a
// very small a (huge q) loses nothing: lgamma(a + 1) = lgamma(a) + ln a.
inline double bdeu_term(double log_a, double a, size_t k)
{
    if (k == 1)
        return log_a;
    // lgamma_r: lgamma sets the global signgam, a data race between workers.
    int sign;
    return log_a + (lgamma_r(a + double(k), &sign) - lgamma_r(a + 1.0, &sign));
}

struct term_source {
    const fixed_sum *table;  // T(k) for k <= N, or null: compute directly
    double log_a, a;         // BDeu only
    fixed_sum single;        // the term of a cell of one row
};

// A worker's view of the shared cache: the tables it has met so far, and
// the sources last asked for, by the exponent of their q (source_for() is
// asked once a step).
struct term_lookup {
    term_cache *shared;
    std::map<double, const fixed_sum *> seen;
    static constexpr size_t nof_recent = 64;
    double recent_q[nof_recent];
    term_source recent[nof_recent];
    term_lookup()
    {
        for (double &q : recent_q)
            q = 0;  // no q: a q is a product of arities, at least 1
    }
};

// The terms of the subsets whose product of arities is q.
term_source source_for(term_lookup &look, double q);

// T(k) computed without a table, for k >= 1: out of line, so that the
// lookups that take the table stay small enough to be inlined.
[[gnu::noinline]] inline fixed_sum direct_term(const term_source &src, size_t k)
{
    return to_fixed(bdeu_term(src.log_a, src.a, k), k);
}

// T(k) of a cell of k >= 2 rows (from a table also k = 0 and 1, as 0).
inline fixed_sum term(const term_source &src, size_t k)
{
    return src.table != nullptr ? src.table[k] : direct_term(src, k);
}

// T(k) of a cell of k rows, 0 for fewer than two (those are counted apart).
inline fixed_sum cell_term(const term_source &src, size_t k)
{
    return k >= 2 ? term(src, k) : 0;
}

// The terms of the two cells a group splits into by a column of at most two
// labels; a table's entries for 0 and 1 rows are 0, so it is read unasked.
[[gnu::always_inline]] inline fixed_sum pair_term(const term_source &src, size_t zeros,
                                                  size_t ones)
{
    if (src.table != nullptr)
        return src.table[zeros] + src.table[ones];
    return (zeros >= 2 ? direct_term(src, zeros) : 0) + (ones >= 2 ? direct_term(src, ones) : 0);
}

// G of a subset: the sum of its cells of two rows or more, and the term of a
// cell of one row for each of the others.
inline double subset_value(fixed_sum sum, size_t alone, const term_source &src)
{
    return to_double(sum + fixed_sum(alone) * src.single);
}

// The cache for a data set of nof_rows rows scored by opt.
void start_cache(term_cache &cache, const score_options &opt, size_t nof_rows);
