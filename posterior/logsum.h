// Sums of probabilities held as natural logarithms, shared by the posterior
// programs.
//
// A weight w stands for e^w; -inf is the weight zero.  Sums are formed with
// the largest term factored out, so that no term overflows and none that
// matters underflows, whatever the magnitude of the logarithms (scores of
// -1e12 included).
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "files.h"

constexpr double minus_inf = -HUGE_VAL;

// log(e^a + e^b).
inline double log_add(double a, double b)
{
    const double hi = a > b ? a : b, lo = a > b ? b : a;
    if (lo == minus_inf)
        return hi;
    return hi + std::log1p(std::exp(lo - hi));
}

// acc[t] = log(e^acc[t] + e^other[t]) for t < len: the bulk form of
// log_add, exact to a few units in the last place, the same bits on every
// processor.  A term more than 708 below the other is dropped (it changes
// the sum by less than e^-708 of itself).  No NaN may be passed.
void log_add_runs(double *acc, const double *other, size_t len);

// In place over a table of 2^bits log weights indexed by set: w[j] becomes
// the log of the sum of e^w over the subsets of j (or, with supersets, over
// the sets holding j).  Exact like log_add: plain sums are used only where
// no term can have vanished against the largest one.  Two threads from
// 2^14 entries on unless may_split is false; the result does not depend on
// it.  The index bits above the lowest 14 are done in as few groups of at
// most group_bits (up to 14) as they fill: each group is one more pass of
// exponentials and logarithms over the table, so the default 10 does up to
// 24 bits in two passes (fewer serve the tests, to reach several groups on
// small tables).
void subset_sums(double *w, int bits, bool supersets, bool may_split = true, int group_bits = 10);

// fill(first, len, out) writes the table's entries [first, first + len)
// to out.
typedef std::function<void(uint64_t first, size_t len, double *out)> subset_fill;

// subset_sums of the table that fill makes: it is called (from either
// thread, on disjoint runs) for each run of 2^14 entries (the whole table
// if smaller) just before that run's low bits are summed, so that the
// table is not read twice.  The same results as filling w and calling
// subset_sums.
void subset_sums_made(double *w, int bits, bool supersets, bool may_split, const subset_fill &fill);

// subset_sums_made, leaving results in plain form where it can, which
// spares their logarithms.  Returns run_bits, or -1 where every result is
// left as a logarithm.  Else the entries of a run of 2^run_bits (at a
// multiple of it) share one scale: entry p stands for the logarithm
// scale[(p >> run_bits) % scale.size()] + log w[p], or for w[p] itself
// where that scale is NaN.  Every plain entry is at least 2^-800.
int subset_sums_plain(double *w, int bits, bool supersets, bool may_split, const subset_fill &fill,
                      std::vector<double> &scale);

// y[k] = e^(x[k] - m), or 0 where that is below e^-708 (x[k] = -inf
// included); m is at least every x[k].
void to_linear(const double *x, double *y, size_t len, double m);

// w[k] += by_size[size[k]] + extra[k] for k < len; returns the largest w[k]
// and sets *lowest to the smallest finite one (HUGE_VAL if none).
double add_weights(double *w, const double *extra, const double *by_size,
                   const unsigned char *size, size_t len, double *lowest);

// One layer of a sum over orders (sum_leaf_tables): for i < count, the set
// l = set[i] gets blk[l] = log(e^mx[l] sm[l] + the sum over its k terms),
// term s being blk[src[s * count + i]] + recs[rec[s * count + i]]; the
// terms are scaled by the largest.  work holds (k + 3) count doubles.
void layer_sums(double *blk, const double *mx, const double *sm, const double *recs,
                const int32_t *set, const int32_t *src, const int32_t *rec, size_t count,
                int k, double *work);

// The largest x[k] (-inf if none).
double largest(const double *x, size_t len);

// e[k] = (y[k] * inv) e^(s[k] + c), or 0 where s[k] = -inf; y[k] * inv
// and s[k] + c are at most 1 and about 0.  Returns the number of k with a
// finite s[k] whose e[k] is below 2^-865.
double plain_terms(const double *y, const double *s, double *e, size_t len, double inv, double c);

// For len = 2^b: part[j] = the sum of e[k] over the k holding bit j, for
// j < b; returns the sum of all.  e is overwritten.
double fold_halves(double *e, size_t len, double *part);

// out[k] = m[k] + log y[k]: y[k] >= 1 where m[k] is finite; out[k] = -inf
// where m[k] = -inf.
void add_logs(const double *m, const double *y, double *out, size_t len);

// Runs of log_sum, one per k: e^mx[k] * sm[k] takes in the weight
// a[k] + b[k] (mx[k] = -inf, sm[k] = 0 is the empty sum).
void log_sum_runs(double *mx, double *sm, const double *a, const double *b, size_t len);

// A running sum of weights: e^max * sum.  Every term is scaled by the
// largest seen so far, so the sum stays in [1, number of terms] once a
// finite term has come, and a term too small to show against the largest
// one is lost only where it could not change the result.
struct log_sum {
    double max = minus_inf;
    double sum = 0.0;
};

inline void log_sum_add(log_sum &s, double w)
{
    // Where the sum is at least 1, a term below e^-40 of the scale
    // (4.2e-18, under half a unit in the last place of any sum from 1 up)
    // leaves it as it is: it is passed over without its exponential, to the
    // same bits.  Real data puts most terms there.  (log_sum_add_scaled may
    // leave a sum below 1, hence the test of the sum.)  Whatever the sum, a
    // term below e^-746 of the scale is 0 once scaled (under half the least
    // subnormal) and is passed over too.
    if (w == minus_inf || w < s.max - 746.0 || (w < s.max - 40.0 && s.sum >= 1.0))
        return;
    if (w <= s.max) {
        s.sum += std::exp(w - s.max);
    } else {
        s.sum = s.sum * std::exp(s.max - w) + 1.0;
        s.max = w;
    }
}

// Takes in the weight y e^m for a y > 0 (y and m kept apart, so that m +
// log y is never rounded: where m is large, that rounding would be an
// error of half a unit of m in the last place).
inline void log_sum_add_scaled(log_sum &s, double m, double y)
{
    if (m <= s.max) {
        s.sum += y * std::exp(m - s.max);
    } else {
        s.sum = s.sum * std::exp(s.max - m) + y;
        s.max = m;
    }
}

// The ratio of two running sums, e^a.max a.sum / (e^b.max b.sum), without
// rounding either to a logarithm first; b is not empty.
inline double log_sum_ratio(const log_sum &a, const log_sum &b)
{
    if (a.max == minus_inf)
        return 0.0;
    return std::exp(a.max - b.max) * (a.sum / b.sum);
}

inline double log_sum_value(const log_sum &s)
{
    return s.max == minus_inf ? minus_inf : s.max + std::log(s.sum);
}

// log of the structure prior of one family with k parents among m
// candidates: -log C(m, k), for k = 0 .. m.
inline std::vector<double> log_family_prior(int m)
{
    std::vector<double> prior(size_t(m) + 1);
    for (int k = 0; k <= m; ++k)
        prior[size_t(k)] = -(std::lgamma(m + 1.0) - std::lgamma(k + 1.0) - std::lgamma(m - k + 1.0));
    return prior;
}

// Local scores as weights: a NaN score weighs nothing (like -inf), a score
// of +inf has no meaning as a log marginal likelihood and fails.  first is
// the parset of s[0], for the message.
// Whether no x[k] is NaN or +inf (a vector scan).
bool all_finite_or_minus_inf(const double *x, size_t len);

inline void clean_scores(double *s, size_t count, uint64_t first, const char *name)
{
    if (all_finite_or_minus_inf(s, count))
        return;
    for (size_t k = 0; k < count; ++k) {
        if (s[k] != s[k])
            s[k] = minus_inf;
        else if (s[k] == HUGE_VAL)
            failf(name, "record %llu is +inf, which is no log marginal likelihood",
                  (unsigned long long)(first + k));
    }
}

// A file of doubles read back to front in blocks, for passes that visit
// the parsets of a variable in decreasing order.
struct reverse_reader {
    FILE *file;
    const char *name;
    std::vector<double> buf;
    uint64_t remaining;   // records before the buffered ones, not yet read
    size_t next;          // records of buf not yet handed out
};

inline void reverse_init(reverse_reader &r, FILE *f, const char *name, uint64_t count,
                         size_t capacity)
{
    check_input_size(f, count * sizeof(double), name);
    r.file = f;
    r.name = name;
    r.buf.assign(capacity, 0.0);
    r.remaining = count;
    r.next = 0;
}

// The next block, the one before the records read so far.
inline void reverse_refill(reverse_reader &r)
{
    if (r.remaining == 0)
        fail(r.name, "read past the first record");
    const size_t len = r.remaining < r.buf.size() ? size_t(r.remaining) : r.buf.size();
    r.remaining -= len;
    pread_exact(r.file, r.buf.data(), len * sizeof(double), r.remaining * sizeof(double), r.name);
    r.next = len;
}

inline double reverse_next(reverse_reader &r)
{
    if (r.next == 0)
        reverse_refill(r);
    return r.buf[--r.next];
}
