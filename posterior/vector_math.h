// Vector arithmetic for the posterior's bulk loops: the build attribute
// that makes wide copies of a loop, a type of eight doubles, and e^x and
// log y from polynomials (the same bits whatever the vector width).
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>

// GCC builds the loops below three times, for AVX-512, for AVX2 and for the
// base instruction set, and picks one at run time.  All do the same IEEE
// operations in the same order (no fused multiply-add: the files that use
// it are built with -ffp-contract=off), so they give the same bits.
#if defined(__GNUC__) && !defined(__clang__)
#define WITH_WIDE_CLONE __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define WITH_WIDE_CLONE
#endif

// Eight doubles as one value, for loops the compiler would not make vector
// loops by itself (a largest value: it does not know that the selection
// works like the max instruction).
typedef double lanes8 __attribute__((vector_size(64)));

// Calls one(k, acc) for every k < len, acc the running sum of lane k mod 8
// (the eight kept apart so that the loop makes vectors; the tail goes to
// lane 0), and returns the sum of the eight.
template <class F>
[[gnu::always_inline]] inline double over_lanes(size_t len, F &one)
{
    double left[8] = {};
    size_t k = 0;
    for (; k + 8 <= len; k += 8)
        for (size_t j = 0; j < 8; ++j)
            one(k + j, left[j]);
    for (; k < len; ++k)
        one(k, left[0]);
    double all = 0;
    for (double l : left)
        all += l;
    return all;
}

// e^x for x in [-708, 0]: x = k ln 2 + r with |r| <= ln 2 / 2, e^r from its
// Taylor series to r^13 (truncation below 4e-18, evaluated by pairs of
// terms so that the steps do not wait on each other), 2^k put into the
// exponent field.  Below -708 the result is taken as 0 by the caller.
inline double exp_nonpositive(double x)
{
    constexpr double log2e = 1.4426950408889634074;
    constexpr double ln2_hi = 6.93147180369123816490e-01;   // 32 bits of ln 2
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    constexpr double shifter = 6755399441055744.0;   // 1.5 * 2^52: rounds to an integer
    const double t = x * log2e + shifter;
    const double k = t - shifter;
    const double r = (x - k * ln2_hi) - k * ln2_lo;
    const double r2 = r * r, r4 = r2 * r2, r8 = r4 * r4;
    const double q0 = 1.0 + r, q1 = 0.5 + r * (1.0 / 6), q2 = 1.0 / 24 + r * (1.0 / 120),
                 q3 = 1.0 / 720 + r * (1.0 / 5040), q4 = 1.0 / 40320 + r * (1.0 / 362880),
                 q5 = 1.0 / 3628800 + r * (1.0 / 39916800),
                 q6 = 1.0 / 479001600 + r * (1.0 / 6227020800);
    const double s0 = q0 + q1 * r2, s1 = q2 + q3 * r2, s2 = q4 + q5 * r2;
    const double t0 = s0 + s1 * r4, t1 = s2 + q6 * r4;
    const double p = t0 + t1 * r8;
    // The low bits of t hold k; 2^k has the biased exponent k + 1023.
    const int64_t kbits = std::bit_cast<int64_t>(t) - std::bit_cast<int64_t>(shifter);
    const double scale = std::bit_cast<double>((kbits + 1023) << 52);
    return p * scale;
}

// atanh(s) / s = 1 + s^2/3 + s^4/5 + ... to s^20/21, for |s| <= 0.172
// (truncation below 1e-18), in Estrin's order.
inline double atanh_over(double s)
{
    const double x = s * s, x2 = x * x, x4 = x2 * x2, x8 = x4 * x4;
    const double q0 = 1.0 + x * (1.0 / 3), q1 = 1.0 / 5 + x * (1.0 / 7),
                 q2 = 1.0 / 9 + x * (1.0 / 11), q3 = 1.0 / 13 + x * (1.0 / 15),
                 q4 = 1.0 / 17 + x * (1.0 / 19);
    const double s0 = q0 + q1 * x2, s1 = q2 + q3 * x2, s2 = q4 + (1.0 / 21) * x2;
    const double p = (s0 + s1 * x4) + s2 * x8;
    return p;
}

// log(1 + e) for e in [0, 1]: z = 1 + e, rounded, and the rounding error
// put back as (e - (z - 1)) / z; log z = j ln 2 + log m with m in
// [sqrt(1/2), sqrt(2)], log m = 2 atanh(s), s = (m - 1) / (m + 1), from its
// series to s^21 (|s| <= 0.172; truncation below 1e-18).  One division
// serves both quotients.
inline double log1p_unit(double e)
{
    constexpr double ln2 = 0.69314718055994530942;
    const double z = 1.0 + e;
    const bool big = z > 1.4142135623730950488;
    const double half = z * 0.5;
    const double m = big ? half : z;
    const double inv = 1.0 / ((m + 1.0) * z);
    const double s = (m - 1.0) * z * inv;
    const double c = (e - (z - 1.0)) * (m + 1.0) * inv;
    const double p = atanh_over(s);
    return (big ? ln2 : 0.0) + (2.0 * s * p + c);
}

// log y for a normal y > 0: y = 2^j m with m in [sqrt(1/2), sqrt(2)], log m
// as in log1p_unit; j ln 2 in two parts.
inline double log_positive(double y)
{
    constexpr double ln2_hi = 6.93147180369123816490e-01;
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    constexpr double shifter = 6755399441055744.0;
    const uint64_t bits = std::bit_cast<uint64_t>(y);
    int64_t j = int64_t(bits >> 52) - 1023;   // y > 0: no sign bit
    double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    const bool big = m > 1.4142135623730950488;
    const double half = m * 0.5;
    m = big ? half : m;
    j += big ? 1 : 0;
    const double jd = std::bit_cast<double>(j + std::bit_cast<int64_t>(shifter)) - shifter;
    const double s = (m - 1.0) / (m + 1.0);
    const double p = atanh_over(s);
    return jd * ln2_hi + (jd * ln2_lo + 2.0 * s * p);
}
