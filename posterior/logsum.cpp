// The bulk log-space loops of logsum.h other than the subset sums
// (subset_sums.cpp).
#include "logsum.h"

#include <cstring>

#include "vector_math.h"

// y = e^(x - m), 0 where that is below e^-708; m is the largest x.
WITH_WIDE_CLONE void to_linear(const double *x, double *y, size_t len, double m)
{
    for (size_t k = 0; k < len; ++k) {
        const double d = x[k] - m;
        const bool tiny = !(d >= -708.0);
        const double e = exp_nonpositive(tiny ? 0.0 : d);
        y[k] = tiny ? 0.0 : e;
    }
}

WITH_WIDE_CLONE void log_sum_runs(double *mx, double *sm, const double *a, const double *b,
                                  size_t len)
{
    for (size_t k = 0; k < len; ++k) {
        const double t = a[k] + b[k];
        const double m = mx[k];
        const bool up = t > m;
        const double d = up ? m - t : t - m;   // <= 0, or NaN/-inf with a -inf
        const bool tiny = !(d >= -708.0);
        const double e0 = exp_nonpositive(tiny ? 0.0 : d);
        const double e = tiny ? 0.0 : e0;
        const double grown = sm[k] * e + 1.0, kept = sm[k] + e;
        sm[k] = up ? grown : kept;
        mx[k] = up ? t : m;
    }
}

WITH_WIDE_CLONE double add_weights(double *w, const double *extra, const double *by_size,
                                   const unsigned char *size, size_t len, double *lowest)
{
    const lanes8 none = lanes8{} + minus_inf, far = lanes8{} + HUGE_VAL;
    lanes8 hi = none, lo = far;
    size_t k = 0;
    for (; k + 8 <= len; k += 8) {
        lanes8 x, e, p;
        memcpy(&x, w + k, sizeof x);
        memcpy(&e, extra + k, sizeof e);
        for (int j = 0; j < 8; ++j)
            p[j] = by_size[size[k + size_t(j)]];
        x = x + (p + e);
        memcpy(w + k, &x, sizeof x);
        hi = x > hi ? x : hi;
        const lanes8 f = x != none ? x : far;
        lo = f < lo ? f : lo;
    }
    double m = minus_inf, l = HUGE_VAL;
    for (int j = 0; j < 8; ++j) {
        m = hi[j] > m ? hi[j] : m;
        l = lo[j] < l ? lo[j] : l;
    }
    for (; k < len; ++k) {
        const double x = w[k] + (by_size[size[k]] + extra[k]);
        w[k] = x;
        m = x > m ? x : m;
        l = x != minus_inf && x < l ? x : l;
    }
    *lowest = l;
    return m;
}

WITH_WIDE_CLONE bool all_finite_or_minus_inf(const double *x, size_t len)
{
    typedef long long mask8 __attribute__((vector_size(64)));
    const lanes8 plus_inf = lanes8{} + HUGE_VAL;
    // x < +inf holds exactly for the finite values and -inf.
    mask8 ok = ~mask8{};
    size_t k = 0;
    for (; k + 8 <= len; k += 8) {
        lanes8 v;
        memcpy(&v, x + k, sizeof v);
        ok &= v < plus_inf;
    }
    bool all = true;
    for (int j = 0; j < 8; ++j)
        all = all && ok[j] != 0;
    for (; k < len; ++k)
        all = all && x[k] < HUGE_VAL;
    return all;
}

WITH_WIDE_CLONE void add_logs(const double *m, const double *y, double *out, size_t len)
{
    for (size_t k = 0; k < len; ++k) {
        const bool none = m[k] == minus_inf;
        const double l = log_positive(none ? 1.0 : y[k]);
        out[k] = none ? minus_inf : m[k] + l;
    }
}

WITH_WIDE_CLONE void log_add_runs(double *acc, const double *other, size_t len)
{
    for (size_t t = 0; t < len; ++t) {
        const double a = acc[t], b = other[t];
        const double hi = a > b ? a : b, lo = a > b ? b : a;
        const double d = lo - hi;   // <= 0; NaN only when both are -inf
        const bool tiny = !(d >= -708.0);
        const double e = exp_nonpositive(tiny ? 0.0 : d);
        const double l = log1p_unit(e);
        const double sum = hi + l;
        acc[t] = tiny ? hi : sum;
    }
}

WITH_WIDE_CLONE double largest(const double *x, size_t len)
{
    lanes8 acc = lanes8{} + minus_inf;
    size_t k = 0;
    for (; k + 8 <= len; k += 8) {
        lanes8 v;
        memcpy(&v, x + k, sizeof v);
        acc = v > acc ? v : acc;
    }
    double m = minus_inf;
    for (int j = 0; j < 8; ++j)
        m = acc[j] > m ? acc[j] : m;
    for (; k < len; ++k)
        m = x[k] > m ? x[k] : m;
    return m;
}

WITH_WIDE_CLONE double plain_terms(const double *y, const double *s, double *e, size_t len,
                                   double inv, double c)
{
    auto one = [&](size_t k, double &acc) {
        const bool none = s[k] == minus_inf;
        const double d = s[k] + c;
        const double x = exp_nonpositive(none || !(d >= -708.0) ? -708.0 : d);
        const double t = (y[k] * inv) * x;
        const bool gone = !(d >= -708.0) || !(t >= 0x1p-865);
        e[k] = none ? 0.0 : t;
        acc += !none && gone ? 1.0 : 0.0;
    };
    return over_lanes(len, one);
}

WITH_WIDE_CLONE double fold_halves(double *e, size_t len, double *part)
{
    int j = 0;
    while ((size_t(1) << j) < len)
        ++j;
    size_t half = len / 2;
    for (; half >= 8; half /= 2) {
        lanes8 acc{};
        for (size_t t = 0; t < half; t += 8) {
            lanes8 lo, hi;
            memcpy(&lo, e + t, sizeof lo);
            memcpy(&hi, e + half + t, sizeof hi);
            acc = acc + hi;
            lo = lo + hi;
            memcpy(e + t, &lo, sizeof lo);
        }
        part[--j] = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    }
    for (; half >= 1; half /= 2) {
        double sum = 0.0;
        for (size_t t = 0; t < half; ++t) {
            sum += e[half + t];
            e[t] += e[half + t];
        }
        part[--j] = sum;
    }
    return e[0];
}

WITH_WIDE_CLONE void layer_sums(double *blk, const double *mx, const double *sm,
                                const double *recs, const int32_t *set, const int32_t *src,
                                const int32_t *rec, size_t count, int k, double *work)
{
    // The terms and running sums gathered first (plain loads), so that
    // the arithmetic runs on consecutive lanes.
    double *x = work, *top = work + size_t(k) * count, *y = top + count, *big = y + count;
    for (size_t i = 0; i < count; ++i) {
        top[i] = mx[set[i]];
        y[i] = sm[set[i]];
    }
    for (size_t o = 0; o < size_t(k) * count; ++o)
        x[o] = blk[src[o]] + recs[rec[o]];
    for (size_t i = 0; i < count; ++i)
        big[i] = top[i];
    for (int s = 0; s < k; ++s) {
        const double *t = x + size_t(s) * count;
        for (size_t i = 0; i < count; ++i)
            big[i] = t[i] > big[i] ? t[i] : big[i];
    }
    // All weight zero: every distance taken as far below.
    for (size_t i = 0; i < count; ++i) {
        const double m = big[i] == minus_inf ? 0.0 : big[i];
        const double d = top[i] - m;
        const bool tiny = !(d >= -708.0);
        const double e = exp_nonpositive(tiny ? 0.0 : d);
        y[i] = y[i] * (tiny ? 0.0 : e);
        top[i] = m;
    }
    for (int s = 0; s < k; ++s) {
        const double *t = x + size_t(s) * count;
        for (size_t i = 0; i < count; ++i) {
            const double d = t[i] - top[i];
            const bool tiny = !(d >= -708.0);
            const double e = exp_nonpositive(tiny ? 0.0 : d);
            y[i] += tiny ? 0.0 : e;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        const bool none = big[i] == minus_inf;
        const double l = log_positive(none ? 1.0 : y[i]);
        y[i] = none ? minus_inf : big[i] + l;
    }
    for (size_t i = 0; i < count; ++i)
        blk[set[i]] = y[i];
}
