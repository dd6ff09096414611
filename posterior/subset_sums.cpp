// subset_sums (logsum.h): sums over the subsets or supersets of every set
// of a table of log weights, by tiles in plain arithmetic where that is
// exact and in log space where it is not.
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "logsum.h"
#include "vector_math.h"

namespace {

// Where pending and y >= 2^-800: out = m + log y, no longer pending; the
// number still pending.
// (Flags are doubles, 1 or 0, so that the loop works on lanes of one width;
// their count is kept in eight lanes, exact in any order, so that it does
// not hold the loop to one add at a time.)
WITH_WIDE_CLONE double from_linear(const double *y, double *out, double *pending, size_t len,
                                   double m)
{
    constexpr double floor = 0x1p-800;
    auto one = [&](size_t k, double &acc) {
        const bool near = y[k] >= floor;
        const double l = log_positive(near ? y[k] : 1.0);
        const bool take = near && pending[k] != 0.0;
        const double r = m + l;
        out[k] = take ? r : out[k];
        pending[k] = take ? 0.0 : pending[k];
        acc += pending[k];
    };
    return over_lanes(len, one);
}

// out[k] = m + log y[k] for every k; the number of y[k] below 2^-800 (where
// out[k] is not to be used).  The common case of from_linear, when nothing
// is pending yet and every result is taken.
WITH_WIDE_CLONE double logs_of(const double *y, double *out, size_t len, double m)
{
    constexpr double floor = 0x1p-800;
    auto one = [&](size_t k, double &acc) {
        const bool near = y[k] >= floor;
        const double l = log_positive(near ? y[k] : 1.0);
        out[k] = m + l;
        acc += near ? 0.0 : 1.0;
    };
    return over_lanes(len, one);
}

// The largest x[k] below cut (-inf if none), kept in eight lanes.
WITH_WIDE_CLONE double max_below(const double *x, size_t len, double cut)
{
    const lanes8 none = lanes8{} + minus_inf, below = lanes8{} + cut;
    lanes8 acc = none;
    size_t k = 0;
    for (; k + 8 <= len; k += 8) {
        lanes8 v;
        memcpy(&v, x + k, sizeof v);
        v = v < below ? v : none;
        acc = v > acc ? v : acc;
    }
    double m = minus_inf;
    for (int j = 0; j < 8; ++j)
        m = acc[j] > m ? acc[j] : m;
    for (; k < len; ++k) {
        const double v = x[k] < cut ? x[k] : minus_inf;
        m = v > m ? v : m;
    }
    return m;
}

// The smallest x[k] (HUGE_VAL if none), kept in eight lanes.
WITH_WIDE_CLONE double min_of(const double *x, size_t len)
{
    lanes8 acc = lanes8{} + HUGE_VAL;
    size_t k = 0;
    for (; k + 8 <= len; k += 8) {
        lanes8 v;
        memcpy(&v, x + k, sizeof v);
        acc = v < acc ? v : acc;
    }
    double m = HUGE_VAL;
    for (int j = 0; j < 8; ++j)
        m = acc[j] < m ? acc[j] : m;
    for (; k < len; ++k)
        m = x[k] < m ? x[k] : m;
    return m;
}

// to_linear for the x[k] below cut; the others give 0.
WITH_WIDE_CLONE void to_linear_below(const double *x, double *y, size_t len, double m, double cut)
{
    for (size_t k = 0; k < len; ++k) {
        const double d = x[k] - m;
        const bool tiny = !(d >= -708.0) || !(x[k] < cut);
        const double e = exp_nonpositive(tiny ? 0.0 : d);
        y[k] = tiny ? 0.0 : e;
    }
}

// A vector of eight picked from a and b (lanes 0 to 7 from a, 8 to 15 from
// b) by constant indexes, in either compiler's spelling.
#if defined(__clang__)
#define PICK8(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shufflevector(a, b, i0, i1, i2, i3, i4, i5, i6, i7)
#else
typedef long long index8 __attribute__((vector_size(64)));
#define PICK8(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shuffle(a, b, index8{i0, i1, i2, i3, i4, i5, i6, i7})
#endif

// Sums over subsets (or supersets) for the index bits [lo, hi) of a
// buffer, in plain arithmetic, bit by bit from the lowest: every way of
// grouping the bits below does the same additions in the same order, so
// the results do not depend on it.  Bits 0 to 2 go within each vector of
// eight by shuffles (a lane without a term takes in +0, which leaves it as
// it is: the entries are never negative), then three bits a sweep in
// registers, eight vectors at a time.
WITH_WIDE_CLONE void linear_sums(double *y, size_t len, int lo, int hi, bool supersets)
{
    if (lo == 0 && hi >= 3 && len % 8 == 0) {
        // Lane 8 and up pick the zero vector.
        const lanes8 zero{};
        for (size_t k = 0; k < len; k += 8) {
            lanes8 v;
            memcpy(&v, y + k, sizeof v);
            if (supersets) {
                v = v + PICK8(v, zero, 1, 8, 3, 8, 5, 8, 7, 8);
                v = v + PICK8(v, zero, 2, 3, 8, 8, 6, 7, 8, 8);
                v = v + PICK8(v, zero, 4, 5, 6, 7, 8, 8, 8, 8);
            } else {
                v = v + PICK8(v, zero, 8, 0, 8, 2, 8, 4, 8, 6);
                v = v + PICK8(v, zero, 8, 8, 0, 1, 8, 8, 4, 5);
                v = v + PICK8(v, zero, 8, 8, 8, 8, 0, 1, 2, 3);
            }
            memcpy(y + k, &v, sizeof v);
        }
        lo = 3;
    }
    for (; lo >= 3 && lo + 3 <= hi; lo += 3) {
        const size_t run = size_t(1) << lo;
        for (size_t base = 0; base < len; base += 8 * run)
            for (size_t t = 0; t < run; t += 8) {
                double *q = y + base + t;
                lanes8 r[8];
                for (size_t j = 0; j < 8; ++j)
                    memcpy(&r[j], q + j * run, sizeof r[j]);
                if (supersets) {
                    for (size_t step = 1; step < 8; step *= 2)
                        for (size_t j = 0; j < 8; ++j)
                            if ((j & step) == 0)
                                r[j] = r[j] + r[j | step];
                } else {
                    for (size_t step = 1; step < 8; step *= 2)
                        for (size_t j = 0; j < 8; ++j)
                            if ((j & step) != 0)
                                r[j] = r[j] + r[j ^ step];
                }
                for (size_t j = 0; j < 8; ++j)
                    memcpy(q + j * run, &r[j], sizeof r[j]);
            }
    }
    if (lo == 0 && hi >= 2) {
        for (size_t base = 0; base < len; base += 4) {
            double *q = y + base;
            const double y0 = q[0], y1 = q[1], y2 = q[2], y3 = q[3];
            if (supersets) {
                q[0] = (y0 + y1) + (y2 + y3);
                q[1] = y1 + y3;
                q[2] = y2 + y3;
            } else {
                q[1] = y1 + y0;
                q[2] = y2 + y0;
                q[3] = (y3 + y2) + (y1 + y0);
            }
        }
        lo = 2;
    }
    // Two bits a sweep, as above, so that the buffer is read and written
    // half as often.
    int b = lo;
    for (; b + 1 < hi; b += 2) {
        const size_t run = size_t(1) << b;
        for (size_t base = 0; base < len; base += 4 * run) {
            double *q0 = y + base, *q1 = q0 + run, *q2 = q1 + run, *q3 = q2 + run;
            if (supersets)
                for (size_t t = 0; t < run; ++t) {
                    const double y0 = q0[t], y1 = q1[t], y2 = q2[t], y3 = q3[t];
                    q0[t] = (y0 + y1) + (y2 + y3);
                    q1[t] = y1 + y3;
                    q2[t] = y2 + y3;
                }
            else
                for (size_t t = 0; t < run; ++t) {
                    const double y0 = q0[t], y1 = q1[t], y2 = q2[t], y3 = q3[t];
                    q1[t] = y1 + y0;
                    q2[t] = y2 + y0;
                    q3[t] = (y3 + y2) + (y1 + y0);
                }
        }
    }
    if (b < hi) {
        const size_t run = size_t(1) << b;
        for (size_t base = 0; base < len; base += 2 * run) {
            double *a = y + base, *c = y + base + run;
            if (supersets)
                for (size_t t = 0; t < run; ++t)
                    a[t] += c[t];
            else
                for (size_t t = 0; t < run; ++t)
                    c[t] += a[t];
        }
    }
}

constexpr int tile_bits = 14;
constexpr size_t tile_len = size_t(1) << tile_bits;
// A level excludes the inputs within this many nats of its largest: they
// cannot lie under a result below 2^-800 of it (e^-554.5).
constexpr double level_span = 554.0;

// The tiles of one thread, in one allocation left unset (every entry is
// written before it is read).
struct scratch {
    std::unique_ptr<double[]> all;
    double *in, *y, *gather, *pending;
    double *tops;   // the largest weight of each gathered run
    scratch() : all(new double[5 * tile_len])
    {
        in = all.get();
        y = in + tile_len;
        gather = y + tile_len;
        pending = gather + tile_len;
        tops = pending + tile_len;
    }
};

// The log-space sums of one tile over the index bits [lo, hi), from its
// inputs in sc.in to x[0, len).  In plain arithmetic, scaled by the tile's
// largest weight; the results that come out far below it (where terms
// could have vanished) are done again from the smaller inputs only (those
// below cut), and after three such levels the rest is done term by term in
// log space.
void tile_sums_in(double *x, size_t len, int lo, int hi, bool supersets, scratch &sc)
{
    double *in = sc.in, *y = sc.y;
    double *pending = sc.pending;
    double cut = HUGE_VAL;
    for (int level = 0; level < 3; ++level) {
        const double m = max_below(in, len, cut);
        if (m == minus_inf) {
            for (size_t k = 0; k < len; ++k)
                if (level == 0 || pending[k] != 0.0)
                    x[k] = minus_inf;
            return;
        }
        to_linear_below(in, y, len, m, cut);
        linear_sums(y, len, lo, hi, supersets);
        if (level == 0) {
            // Every result taken where it is near enough; the others are
            // written again below.
            if (logs_of(y, x, len, m) == 0.0)
                return;
            for (size_t k = 0; k < len; ++k)
                pending[k] = y[k] >= 0x1p-800 ? 0.0 : 1.0;
        } else if (from_linear(y, x, pending, len, m) == 0.0) {
            return;
        }
        cut = m - level_span;
    }
    // Term by term from the tile's inputs, kept where still pending.
    for (int b = lo; b < hi; ++b) {
        const size_t run = size_t(1) << b;
        for (size_t base = 0; base < len; base += 2 * run)
            if (supersets)
                log_add_runs(in + base, in + base + run, run);
            else
                log_add_runs(in + base + run, in + base, run);
    }
    for (size_t k = 0; k < len; ++k)
        if (pending[k] != 0.0)
            x[k] = in[k];
}

// tile_sums_in in place.
void tile_sums(double *x, size_t len, int lo, int hi, bool supersets, scratch &sc)
{
    memcpy(sc.in, x, len * sizeof(double));
    tile_sums_in(x, len, lo, hi, supersets, sc);
}

// The first of two passes over a tile of consecutive entries, from its
// inputs in sc.in to x: where every result comes out at the first level
// (no result far below the largest), the tile is left in plain form,
// e^(result - *scale); else it is done by tile_sums_in in log form and
// *scale is NaN.
void tile_sums_first(double *x, size_t len, int hi, bool supersets, scratch &sc, double *scale)
{
    const double *in = sc.in;
    const double m = max_below(in, len, HUGE_VAL);
    if (m != minus_inf) {
        to_linear_below(in, x, len, m, HUGE_VAL);
        linear_sums(x, len, 0, hi, supersets);
        if (min_of(x, len) >= 0x1p-800) {
            *scale = m;
            return;
        }
    }
    *scale = std::nan("");
    tile_sums_in(x, len, 0, hi, supersets, sc);
}

// The second pass over tile t of the table w: nof_runs runs of
// 2^run_bits, run r at origin + r 2^low (from the first-pass tile r, of
// scale scale[r] and with the largest entry chunk_top[r * stride] in this
// run), summed over the index bits [run_bits, tile_bits).  Plain runs are
// brought to the tile's common scale by one factor each as they are read;
// a run in log form by its exponentials.  Where some result comes out far
// below the largest, the tile is gathered in log form and done by
// tile_sums.  Returns where the results are: sc.in, sc.y or sc.gather, or
// nullptr where every entry is -inf already.
//
// With plain set, results that all came out at the first level stay in
// plain form, e^(result - *plain), in sc.y; else *plain is NaN.
double *tile_sums_second(double *w, uint64_t origin, int low, size_t nof_runs, int run_bits,
                         bool supersets, const double *scale, const double *chunk_top,
                         size_t stride, scratch &sc, double *plain)
{
    if (plain != nullptr)
        *plain = std::nan("");
    const size_t run = size_t(1) << run_bits, len = nof_runs * run;
    double *y = sc.y, *res = sc.in;
    double *top = sc.tops;
    double m = minus_inf;
    for (size_t r = 0; r < nof_runs; ++r) {
        const double c = chunk_top[r * stride];
        top[r] = scale[r] != scale[r] ? c : scale[r] + std::log(c);
        m = top[r] > m ? top[r] : m;
    }
    if (m == minus_inf)
        return nullptr;   // every run in log form and -inf: so is every sum
    // The runs lie 2^low apart, too far for the processor to fetch ahead
    // by itself: each run asks for the one a few places on.
    constexpr size_t ahead = 8;
    for (size_t r = 0; r < nof_runs; ++r) {
        const double *q = w + (origin | (uint64_t(r) << low));
        double *out = y + r * run;
        if (r + ahead < nof_runs) {
            const double *next = w + (origin | (uint64_t(r + ahead) << low));
            for (size_t i = 0; i < run; i += 8)
                __builtin_prefetch(next + i);
        }
        if (scale[r] != scale[r]) {
            to_linear(q, out, run, m);
        } else {
            const double d = scale[r] - m;
            const double f = d >= -708.0 ? std::exp(d) : 0.0;
            for (size_t i = 0; i < run; ++i)
                out[i] = q[i] * f;
        }
    }
    linear_sums(y, len, run_bits, tile_bits, supersets);
    if (plain != nullptr) {
        if (min_of(y, len) >= 0x1p-800) {
            *plain = m;
            return y;
        }
    } else if (logs_of(y, res, len, m) == 0.0) {
        return res;
    }
    double *t = sc.gather;
    for (size_t r = 0; r < nof_runs; ++r) {
        const double *q = w + (origin | (uint64_t(r) << low));
        if (scale[r] == scale[r])
            for (size_t i = 0; i < run; ++i)
                t[r * run + i] = scale[r] + std::log(q[i]);
        else
            memcpy(t + r * run, q, run * sizeof(double));
    }
    tile_sums(t, len, run_bits, tile_bits, supersets, sc);
    return t;
}

// The table is made tile by tile by fill where it is given (else it is
// taken as it is): each tile of 2^14 consecutive entries (the whole table
// if smaller) is written into a scratch tile, and its low bits are summed
// while it is still in the cache.
void sums_of(double *w, int bits, bool supersets, bool may_split, int group_bits,
             const subset_fill *fill, std::vector<double> *plain)
{
    const uint64_t count = uint64_t(1) << bits;
    const int low = bits < tile_bits ? bits : tile_bits;
    const bool two = may_split && bits >= 14 && std::thread::hardware_concurrency() >= 2;
    // Runs work(k, scratch) for k in [0, jobs), split over two threads;
    // each thread has its own scratch tiles, kept from pass to pass.
    scratch first_sc;
    std::unique_ptr<scratch> second_sc;
    auto split = [&](uint64_t jobs, auto work) {
        if (!two || jobs < 2) {
            for (uint64_t k = 0; k < jobs; ++k)
                work(k, first_sc);
            return;
        }
        if (!second_sc)
            second_sc = std::make_unique<scratch>();
        std::thread second([&] {
            for (uint64_t k = jobs / 2; k < jobs; ++k)
                work(k, *second_sc);
        });
        for (uint64_t k = 0; k < jobs / 2; ++k)
            work(k, first_sc);
        second.join();
    };
    // Tile k's inputs into sc.in.
    auto inputs = [&](uint64_t k, scratch &sc) {
        const size_t len = size_t(1) << low;
        if (fill != nullptr)
            (*fill)(k << low, len, sc.in);
        else
            memcpy(sc.in, w + (k << low), len * sizeof(double));
    };
    const int high = bits - low;
    const int most = group_bits < 1 ? 1 : group_bits < tile_bits ? group_bits : tile_bits;
    const int nof_groups = (high + most - 1) / most;
    if (nof_groups <= 1) {
        // Two passes: the first leaves its tiles in plain form where it
        // can, with one scale per tile, and the second takes them so, which
        // spares a logarithm and an exponential per entry.
        // The first pass also notes the largest entry of each run that a
        // second-pass tile takes (chunk c of first-pass tile k, at
        // chunk_top[k 2^(low - run_bits) + c]).
        std::vector<double> scale(size_t(count >> low));
        const int run_bits = tile_bits - high;
        const size_t run = size_t(1) << run_bits, nof_runs = size_t(1) << high;
        const size_t chunks = high == 0 ? 0 : size_t(1) << (low - run_bits);
        std::vector<double> chunk_top(high == 0 ? 0 : size_t(count >> run_bits));
        split(count >> low, [&](uint64_t k, scratch &sc) {
            inputs(k, sc);
            double *x = w + (k << low);
            if (high == 0) {
                tile_sums_in(x, size_t(1) << low, 0, low, supersets, sc);
                return;
            }
            tile_sums_first(x, size_t(1) << low, low, supersets, sc, &scale[k]);
            for (size_t c = 0; c < chunks; ++c)
                chunk_top[k * chunks + c] = largest(x + c * run, run);
        });
        if (high == 0)
            return;
        if (plain != nullptr)
            plain->assign(chunks, 0.0);
        split(chunks, [&](uint64_t k, scratch &sc) {
            const uint64_t origin = k << run_bits;
            const double *res =
                tile_sums_second(w, origin, low, nof_runs, run_bits, supersets, scale.data(),
                                 chunk_top.data() + k, chunks, sc,
                                 plain != nullptr ? &(*plain)[k] : nullptr);
            if (res != nullptr)
                for (size_t r = 0; r < nof_runs; ++r) {
                    if (r + 8 < nof_runs) {
                        double *next = w + (origin | (uint64_t(r + 8) << low));
                        for (size_t i = 0; i < run; i += 8)
                            __builtin_prefetch(next + i, 1);
                    }
                    memcpy(w + (origin | (uint64_t(r) << low)), res + r * run, run * sizeof(double));
                }
        });
        return;
    }
    // The low bits within runs of consecutive entries.
    split(count >> low, [&](uint64_t k, scratch &sc) {
        inputs(k, sc);
        tile_sums_in(w + (k << low), size_t(1) << low, 0, low, supersets, sc);
    });
    // The others in groups: a tile takes, for fixed bits above the group,
    // every value of the group's bits times a run of consecutive entries.
    for (int g = 0, g0 = low; g < nof_groups; ++g) {
        const int g1 = g0 + (high * (g + 1) / nof_groups - high * g / nof_groups);
        const int run_bits = tile_bits - (g1 - g0);
        const size_t run = size_t(1) << run_bits;
        const uint64_t runs_below = uint64_t(1) << (g0 - run_bits);
        const uint64_t tiles = (count >> g1) * runs_below;
        split(tiles, [&](uint64_t k, scratch &sc) {
            const uint64_t origin = ((k / runs_below) << g1) | ((k % runs_below) << run_bits);
            double *t = sc.gather;
            for (uint64_t gv = 0; gv < (uint64_t(1) << (g1 - g0)); ++gv)
                memcpy(t + gv * run, w + (origin | (gv << g0)), run * sizeof(double));
            tile_sums(t, tile_len, run_bits, tile_bits, supersets, sc);
            for (uint64_t gv = 0; gv < (uint64_t(1) << (g1 - g0)); ++gv)
                memcpy(w + (origin | (gv << g0)), t + gv * run, run * sizeof(double));
        });
        g0 = g1;
    }
}

} // namespace

void subset_sums(double *w, int bits, bool supersets, bool may_split, int group_bits)
{
    sums_of(w, bits, supersets, may_split, group_bits, nullptr, nullptr);
}

void subset_sums_made(double *w, int bits, bool supersets, bool may_split, const subset_fill &fill)
{
    sums_of(w, bits, supersets, may_split, 10, &fill, nullptr);
}

int subset_sums_plain(double *w, int bits, bool supersets, bool may_split, const subset_fill &fill,
                      std::vector<double> &scale)
{
    const int high = bits - tile_bits;
    if (high <= 0 || high > 10) {
        sums_of(w, bits, supersets, may_split, 10, &fill, nullptr);
        scale.clear();
        return -1;
    }
    sums_of(w, bits, supersets, may_split, 10, &fill, &scale);
    return tile_bits - high;
}
