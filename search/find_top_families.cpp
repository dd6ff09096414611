// find_top_families: for every variable and every candidate parent set,
// the best-scoring parent set inside it and that set's score.
//
// Reads <dirname>/<i> (2^(n-1) doubles indexed by parset) and writes
// <dirname>/<i>.bps (4-byte parset of the best subset) and <dirname>/<i>.bss
// (8-byte best score), one variable at a time.
//
// The best subset of parset j is decided by this fold: start from j's own
// score; then, for the bits of j from the lowest up, the set with that bit
// removed (already final) replaces the kept one when its score is greater
// or equal.  A NaN own score is never replaced and a NaN candidate never
// wins.  So, with a non-NaN own score, the result is the greatest non-NaN
// candidate, the one of the highest removed bit on a tie, and the own score
// only when it beats every candidate strictly.
//
// From 16 variables on, each table is read and reduced by two threads
// (two_halves.h): without a NaN, each reads and reduces half of the blocks,
// then half of the tiles of the high bits; with one, the fold runs on the
// lower half of the parsets and, a block behind it, on the upper half,
// whose candidates through the top bit lie in the lower half.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "files.h"
#include "two_halves.h"

namespace {

// Reduces block h (the parsets [h 2^b, (h + 1) 2^b)) of one table; every
// block below it that it reads from is final.
void reduce_block(double *score, uint32_t *best, int b, uint64_t h)
{
    const uint32_t end = uint32_t(h + 1) << b;
    for (uint32_t j = uint32_t(h) << b; j < end; ++j) {
        uint32_t kept = j;
        double value = score[j];
        for (uint32_t rest = j; rest != 0; rest &= rest - 1) {
            const uint32_t sub = j ^ (rest & -rest);
            const double x = score[sub];
            if (x >= value) {
                value = x;
                kept = best[sub];
            }
        }
        best[j] = kept;
        score[j] = value;
    }
}

// ---- NaN-free tables: one pass per bit --------------------------------
//
// Without NaNs the fold above equals the passes "for every bit from the
// lowest up, every parset j holding that bit takes over the score and best
// parset of j without it when that score is greater or equal".  Each pass
// moves whole runs of the table, so it is branch-free and vectorises; the
// passes of the low bits are done block by block in the cache, those of the
// high bits over tiles that fit the cache as well.

constexpr int pass_block_bits = 14;   // 16384 parsets: 192 KiB of table
constexpr int near_bits = 9;   // 512 parsets: 6 KiB

// The passes are written with the compiler's generic vectors and built for
// two instruction sets, the wider one taken where the processor has it:
// only comparisons and selections, so the bits are the same either way.
typedef double score_lanes __attribute__((vector_size(32)));
typedef uint32_t best_lanes __attribute__((vector_size(16)));

// GCC builds both and picks one at run time; other compilers (the fuzzing
// build's clang among them) build the generic one only.
#if defined(__GNUC__) && !defined(__clang__)
#define WITH_WIDE_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define WITH_WIDE_CLONE
#endif

// Parset hi takes lo where lo's score is greater or equal: the passes of
// tables of fewer than four parsets, one pair at a time.
void take_over(double *score, uint32_t *best, uint32_t lo, uint32_t hi)
{
    const bool ge = score[lo] >= score[hi];
    score[hi] = ge ? score[lo] : score[hi];
    best[hi] = ge ? best[lo] : best[hi];
}

// The passes of R consecutive bits at once (R <= 3).  The 2^R rows of
// parsets that differ in exactly those bits are held in registers, and row
// q takes row q without bit r, for r from 0 up, exactly as R single passes
// would, but with one load and one store of each parset instead of R.  Row
// q is read from from.s[q], from.b[q] and written to to.s[q], to.b[q] (the
// same or other places), len parsets each.
struct rows {
    double *s[8];
    uint32_t *b[8];
};

typedef uint64_t wide_best_lanes __attribute__((vector_size(32)));

// Four parsets a step, len a multiple of 4.  The parsets are widened to the
// lanes of the scores, so that the comparison's mask selects both as it is.
template <int R>
inline __attribute__((always_inline)) void take_over_rows_generic(const rows &from,
                                                                  const rows &to, uint32_t len)
{
    constexpr int m = 1 << R;
    for (uint32_t t = 0; t < len; t += 4) {
        score_lanes s[m];
        wide_best_lanes k[m];
#pragma GCC unroll 8
        for (int q = 0; q < m; ++q) {
            best_lanes narrow;
            memcpy(&s[q], from.s[q] + t, sizeof s[q]);
            memcpy(&narrow, from.b[q] + t, sizeof narrow);
            k[q] = __builtin_convertvector(narrow, wide_best_lanes);
        }
#pragma GCC unroll 3
        for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
            for (int q = 0; q < m; ++q) {
                if ((q >> r & 1) == 0)
                    continue;
                const int f = q ^ (1 << r);
                const auto ge = s[f] >= s[q];
                s[q] = ge ? s[f] : s[q];
                k[q] = ge ? k[f] : k[q];
            }
#pragma GCC unroll 8
        for (int q = 0; q < m; ++q) {
            const best_lanes narrow = __builtin_convertvector(k[q], best_lanes);
            memcpy(to.s[q] + t, &s[q], sizeof s[q]);
            memcpy(to.b[q] + t, &narrow, sizeof narrow);
        }
    }
}

WITH_WIDE_CLONE void take_over_rows_plain(const rows &from, const rows &to, uint32_t len, int r)
{
    if (r == 3)
        take_over_rows_generic<3>(from, to, len);
    else if (r == 2)
        take_over_rows_generic<2>(from, to, len);
    else
        take_over_rows_generic<1>(from, to, len);
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define WITH_MASKED_LANES 1
// Eight parsets a step, len a multiple of 8, where the processor has 512-bit
// vectors: the comparison gives a mask of eight bits that selects the scores
// and the 32-bit parsets alike, so no lane is widened.
template <int R>
__attribute__((target("avx512f,avx512vl"), always_inline)) inline void
take_over_rows_masked_r(const rows &from, const rows &to, uint32_t len)
{
    constexpr int m = 1 << R;
    for (uint32_t t = 0; t < len; t += 8) {
        __m512d s[m];
        __m256i k[m];
#pragma GCC unroll 8
        for (int q = 0; q < m; ++q) {
            s[q] = _mm512_loadu_pd(from.s[q] + t);
            k[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from.b[q] + t));
        }
#pragma GCC unroll 3
        for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
            for (int q = 0; q < m; ++q) {
                if ((q >> r & 1) == 0)
                    continue;
                const int f = q ^ (1 << r);
                const __mmask8 ge = _mm512_cmp_pd_mask(s[f], s[q], _CMP_GE_OQ);
                s[q] = _mm512_mask_mov_pd(s[q], ge, s[f]);
                k[q] = _mm256_mask_mov_epi32(k[q], ge, k[f]);
            }
#pragma GCC unroll 8
        for (int q = 0; q < m; ++q) {
            _mm512_storeu_pd(to.s[q] + t, s[q]);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(to.b[q] + t), k[q]);
        }
    }
}

__attribute__((target("avx512f,avx512vl"))) void take_over_rows_masked(const rows &from,
                                                                       const rows &to,
                                                                       uint32_t len, int r)
{
    if (r == 3)
        take_over_rows_masked_r<3>(from, to, len);
    else if (r == 2)
        take_over_rows_masked_r<2>(from, to, len);
    else
        take_over_rows_masked_r<1>(from, to, len);
}

// The passes of bits 0, 1 and 2 over [base, base + len), len a multiple of
// 8, eight parsets at a time in one register: for each bit, the lanes
// holding it take their partner without it, found by a permutation.
__attribute__((target("avx512f,avx512vl"))) void first_three_passes_masked(double *score,
                                                                           uint32_t *best,
                                                                           uint32_t base,
                                                                           uint32_t len)
{
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i partner[3] = {_mm512_setr_epi64(1, 0, 3, 2, 5, 4, 7, 6),
                                _mm512_setr_epi64(2, 3, 0, 1, 6, 7, 4, 5),
                                _mm512_setr_epi64(4, 5, 6, 7, 0, 1, 2, 3)};
    const __m256i partner32[3] = {_mm256_setr_epi32(1, 0, 3, 2, 5, 4, 7, 6),
                                  _mm256_setr_epi32(2, 3, 0, 1, 6, 7, 4, 5),
                                  _mm256_setr_epi32(4, 5, 6, 7, 0, 1, 2, 3)};
    const __mmask8 holds[3] = {0xaa, 0xcc, 0xf0};
    for (uint32_t t = 0; t < len; t += 8) {
        __m512d s = _mm512_loadu_pd(score + base + t);
        // Every parset starts as its own best.
        __m256i k = _mm256_add_epi32(_mm256_set1_epi32(int(base + t)), lanes);
        for (int b = 0; b < 3; ++b) {
            const __m512d other = _mm512_mask_permutexvar_pd(s, 0xff, partner[b], s);
            const __m256i other_k = _mm256_permutevar8x32_epi32(k, partner32[b]);
            const __mmask8 ge = _mm512_mask_cmp_pd_mask(holds[b], other, s, _CMP_GE_OQ);
            s = _mm512_mask_mov_pd(s, ge, other);
            k = _mm256_mask_mov_epi32(k, ge, other_k);
        }
        _mm512_storeu_pd(score + base + t, s);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(best + base + t), k);
    }
}

bool has_masked_lanes()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    }();
    return has;
}
#endif

void take_over_rows(const rows &from, const rows &to, uint32_t len, int r)
{
#if defined(WITH_MASKED_LANES)
    if (len % 8 == 0 && has_masked_lanes()) {
        take_over_rows_masked(from, to, len, r);
        return;
    }
#endif
    take_over_rows_plain(from, to, len, r);
}

// The passes of the bits [from, to) (from >= 2) over [base, base + extent),
// extent a multiple of 2^to, in place: three bits at a time, then two or one.
void passes(double *score, uint32_t *best, uint32_t base, uint32_t extent, int from, int to)
{
    for (int b = from; b < to;) {
        const int r = to - b >= 3 ? 3 : to - b;
        const uint32_t h = uint32_t(1) << b;
        for (uint32_t at = 0; at < extent; at += h << r) {
            rows io;
            for (int q = 0; q < (1 << r); ++q) {
                io.s[q] = score + base + at + uint32_t(q) * h;
                io.b[q] = best + base + at + uint32_t(q) * h;
            }
            take_over_rows(io, io, h, r);
        }
        b += r;
    }
}

// The passes of bits 0 and 1 over [base, base + len), four parsets at a
// time in registers: 4k+1 takes 4k, 4k+3 takes 4k+2, then 4k+2 takes 4k
// and 4k+3 takes 4k+1.
void first_two_passes(double *score, uint32_t *best, uint32_t base, uint32_t len)
{
    uint32_t t = 0;
#if defined(__SSE2__)
    for (; len >= 4 && t + 4 <= len; t += 4) {
        double *s = score + base + t;
        uint32_t *k = best + base + t;
        __m128d v0 = _mm_loadu_pd(s), v1 = _mm_loadu_pd(s + 2);
        // Every parset starts as its own best.
        __m128i kv = _mm_add_epi32(_mm_set1_epi32(int(base + t)), _mm_setr_epi32(0, 1, 2, 3));
        // Bit 0: lane 1 of each pair takes lane 0 (lane 0 "takes" itself).
        const __m128d d0 = _mm_unpacklo_pd(v0, v0), d1 = _mm_unpacklo_pd(v1, v1);
        const __m128d m0 = _mm_cmpge_pd(d0, v0), m1 = _mm_cmpge_pd(d1, v1);
        v0 = _mm_or_pd(_mm_and_pd(m0, d0), _mm_andnot_pd(m0, v0));
        v1 = _mm_or_pd(_mm_and_pd(m1, d1), _mm_andnot_pd(m1, v1));
        __m128i m = _mm_castps_si128(
            _mm_shuffle_ps(_mm_castpd_ps(m0), _mm_castpd_ps(m1), _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i kd = _mm_shuffle_epi32(kv, _MM_SHUFFLE(2, 2, 0, 0));
        kv = _mm_or_si128(_mm_and_si128(m, kd), _mm_andnot_si128(m, kv));
        // Bit 1: lanes 2 and 3 take lanes 0 and 1.
        const __m128d m2 = _mm_cmpge_pd(v0, v1);
        v1 = _mm_or_pd(_mm_and_pd(m2, v0), _mm_andnot_pd(m2, v1));
        m = _mm_castps_si128(_mm_shuffle_ps(_mm_setzero_ps(), _mm_castpd_ps(m2),
                                            _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i kl = _mm_shuffle_epi32(kv, _MM_SHUFFLE(1, 0, 1, 0));
        kv = _mm_or_si128(_mm_and_si128(m, kl), _mm_andnot_si128(m, kv));
        _mm_storeu_pd(s, v0);
        _mm_storeu_pd(s + 2, v1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(k), kv);
    }
#endif
    if (t < len) {
        for (uint32_t r = t; r < len; ++r)
            best[base + r] = base + r;
        for (uint32_t r = t; r + 1 < len; r += 2)
            take_over(score, best, base + r, base + r + 1);
        for (uint32_t r = t; r + 2 < len; r += 4)
            for (uint32_t j = 0; j < 2; ++j)
                take_over(score, best, base + r + j, base + r + 2 + j);
    }
}

// The passes of the bits below low over the block [base, base + 2^low),
// which stays in the cache: the lowest bits in registers (0 to 2, or 0 and
// 1), the bits below near_bits over pieces of the first-level cache, the
// others over the block.
void low_passes(double *score, uint32_t *best, uint32_t base, int low)
{
    int first = 2;
#if defined(WITH_MASKED_LANES)
    if (low >= 3 && has_masked_lanes()) {
        first_three_passes_masked(score, best, base, uint32_t(1) << low);
        first = 3;
    } else
#endif
        first_two_passes(score, best, base, uint32_t(1) << low);
    const int near = low < near_bits ? low : near_bits;
    for (uint32_t piece = 0; piece < (uint32_t(1) << low); piece += uint32_t(1) << near)
        passes(score, best, base + piece, uint32_t(1) << near, first, near);
    passes(score, best, base, uint32_t(1) << low, near, low);
}

// The passes of the bits from low up, once every block of 2^low parsets has
// had its low passes.  The bits are taken in groups of at most
// high_group_bits, one sweep over the table per group (one sweep up to 24
// variables).  A tile of a group is a run of 2^c parsets at every one of
// the group's 2^g values, 2^(g + c) parsets in all.  Every candidate of a
// parset lies in its tile, so tiles are independent, and within a tile the
// bits go from the lowest up, as the fold requires.  The runs of a tile lie
// a power of two apart, so in place they would fall into the same few sets
// of the cache and evict each other.  A tile's passes therefore take three
// bits at a time, and write to a dense scratch table (768 KiB, which stays
// in the second-level cache): the first pass reads its runs from the table,
// the last writes them back, so every parset of the table is read and
// written once per group.
constexpr int high_group_bits = 10;
constexpr int tile_bits = 16;
constexpr int min_run_bits = 3;

struct tile_scratch {
    double *score;
    uint32_t *best;
};

void high_passes(double *score, uint32_t *best, int low, int bits, bool two,
                 const tile_scratch scratch[2])
{
    const int high = bits - low;
    const int nof_groups = (high + high_group_bits - 1) / high_group_bits;
    for (int k = 0, g0 = low; k < nof_groups; ++k) {
        const int g = (high - (g0 - low) + (nof_groups - k) - 1) / (nof_groups - k);
        const int g1 = g0 + g;
        // (runs of at most 2^g0 parsets: the bits below the group)
        const int c = std::min(std::max(tile_bits - g, min_run_bits), g0);
        const uint32_t run = uint32_t(1) << c;
        const uint32_t values = uint32_t(1) << g;
        const uint64_t runs_below = uint64_t(1) << (g0 - c);
        const uint64_t tiles = (uint64_t(1) << (bits - g1)) * runs_below;
        split_over_two(2, two, [&](uint64_t half) {
            double *ds = scratch[half].score;
            uint32_t *db = scratch[half].best;
            const uint64_t end = half == 0 ? tiles / 2 : tiles;
            for (uint64_t t = half == 0 ? 0 : tiles / 2; t < end; ++t) {
                const uint32_t origin =
                    (uint32_t(t / runs_below) << g1) | (uint32_t(t % runs_below) << c);
                // The group's bits three at a time; each pass moves rows of
                // 2^c parsets, the first from the table, the last back to it.
                for (int off = 0; off < g;) {
                    const int r = g - off >= 3 ? 3 : g - off;
                    const bool first = off == 0, last = off + r == g;
                    for (uint32_t gv0 = 0; gv0 < values; ++gv0) {
                        if ((gv0 >> off) & ((1u << r) - 1))
                            continue;
                        rows from, to;
                        for (int q = 0; q < (1 << r); ++q) {
                            const uint32_t gv = gv0 | uint32_t(q) << off;
                            const uint32_t in_table = origin | gv << g0;
                            from.s[q] = first ? score + in_table : ds + (gv << c);
                            from.b[q] = first ? best + in_table : db + (gv << c);
                            to.s[q] = last ? score + in_table : ds + (gv << c);
                            to.b[q] = last ? best + in_table : db + (gv << c);
                        }
                        take_over_rows(from, to, run, r);
                    }
                    off += r;
                }
            }
        });
        g0 = g1;
    }
}

bool holds_nan(const double *s, uint32_t len)
{
    unsigned any = 0;
    for (uint32_t j = 0; j < len; ++j)
        any |= s[j] != s[j];
    return any != 0;
}

// Reads the local scores of one variable into score and, where no score is
// NaN, finds the best subsets by passes: each block of 2^pass_block_bits
// parsets has its low passes as soon as it is read, while it is still in
// the cache, then the high bits follow in sweeps.  A regular file of two
// blocks or more is read by two threads, each reading its half of the
// blocks by offset.  A table with a NaN is reduced by the fold itself, even
// where blocks without a NaN have had their low passes already: the fold of
// a parset whose own score was raised by its low passes still ends on the
// candidate it would have ended on (the greatest, that of the highest bit
// on a tie, as the raised score comes from a subset that some candidate
// holds), so those passes change nothing.
void read_and_reduce(FILE *in, const char *name, double *score, uint32_t *best, int bits,
                     const tile_scratch scratch[2])
{
    const uint32_t count = uint32_t(1) << bits;
    const bool two = use_two_cores(bits + 1);
    struct stat st;
    if (fstat(fileno(in), &st) != 0)
        fail_errno(name);
    const int low = bits < pass_block_bits ? bits : pass_block_bits;
    const uint32_t block = uint32_t(1) << low;
    bool nan_free = true;
    if (S_ISREG(st.st_mode) && count > block) {
        check_input_size(in, uint64_t(count) * sizeof(double), name);
        std::atomic<bool> clean{true};
        split_over_two(count / block, two, [&](uint64_t k) {
            const uint32_t base = uint32_t(k) * block;
            pread_exact(in, score + base, sizeof(double) * block, uint64_t(base) * sizeof(double),
                        name);
            if (holds_nan(score + base, block))
                clean.store(false, std::memory_order_relaxed);
            else if (clean.load(std::memory_order_relaxed))
                low_passes(score, best, base, low);
        });
        nan_free = clean.load();
    } else {
        read_records(in, score, sizeof(double), count, name);
        nan_free = !holds_nan(score, count);
        if (nan_free)
            split_over_two(count / block, two, [&](uint64_t k) {
                low_passes(score, best, uint32_t(k) * block, low);
            });
    }
    if (nan_free) {
        high_passes(score, best, low, bits, two, scratch);
        return;
    }
    const int b = bits < half_block_bits ? bits : half_block_bits;
    in_two_halves(uint64_t(1) << (bits - b), two,
                  [&](int, uint64_t h) { reduce_block(score, best, b, h); });
}

} // namespace

void find_top_families(int nof_vars, const char *dirname)
{
    if (nof_vars <= 0)
        return;
    const uint32_t count = uint32_t(1) << (nof_vars - 1);
    double *score =
        static_cast<double *>(alloc_populated(sizeof(double) * count, "score table"));
    uint32_t *best =
        static_cast<uint32_t *>(alloc_populated(sizeof(uint32_t) * count, "best-parent table"));
    // Scratch tables for the tiles of the high bits, one per thread.
    const size_t tile = size_t(1) << tile_bits;
    tile_scratch scratch[2];
    if (nof_vars - 1 > pass_block_bits)
        for (tile_scratch &t : scratch) {
            t.score = static_cast<double *>(alloc_or_fail(sizeof(double) * tile, "tile table"));
            t.best = static_cast<uint32_t *>(alloc_or_fail(sizeof(uint32_t) * tile, "tile table"));
        }

    for (int i = 0; i < nof_vars; ++i) {
        char *name = create_fn(dirname, i, "");
        FILE *in = fopen_checked(name, "rb");
        read_and_reduce(in, name, score, best, nof_vars - 1, scratch);
        close_input(in, name);
        free(name);

        name = create_fn(dirname, i, ".bps");
        FILE *out = open_output(name, "wb");
        setvbuf(out, nullptr, _IONBF, 0);
        write_records(out, best, sizeof(uint32_t), count, name);
        close_output(out, name);
        commit_output(name);
        free(name);

        name = create_fn(dirname, i, ".bss");
        out = open_output(name, "wb");
        setvbuf(out, nullptr, _IONBF, 0);
        write_records(out, score, sizeof(double), count, name);
        close_output(out, name);
        commit_output(name);
        free(name);
    }
    if (nof_vars - 1 > pass_block_bits)
        for (tile_scratch &t : scratch) {
            free(t.best);
            free(t.score);
        }
    free_populated(best, sizeof(uint32_t) * count);
    free_populated(score, sizeof(double) * count);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 3) {
        fputs("Usage: find_top_families nof_vars dirname\n", stderr);
        return 1;
    }
    program_name = "find_top_families";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, below_one::nothing_to_do);
    note_numbered_inputs(nof_vars, argv[2], "");   // no output over a local score file
    refuse_numbered_outputs(nof_vars, argv[2], ".bps");
    refuse_numbered_outputs(nof_vars, argv[2], ".bss");
    find_top_families(nof_vars, argv[2]);
    return 0;
}
