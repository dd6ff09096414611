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
// From 16 variables on, each table is reduced by two threads: the lower
// half of the parsets and, a block behind it, the upper half, whose
// candidates through the top bit lie in the lower half (two_halves.h).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
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
// high bits in groups of four over tiles that fit the cache as well.

constexpr int pass_block_bits = 14;   // 16384 parsets: 192 KiB of table
constexpr int near_bits = 10;   // 1024 parsets: 12 KiB
constexpr int tile_chunk_bits = 10;   // 16 runs of 1024 parsets per tile
constexpr int group_bits = 4;

// hi[t] takes lo[t] where lo's score is greater or equal.  Written with the
// compiler's generic vectors and built for two instruction sets, the wider
// one taken where the processor has it: only comparisons and selections, so
// the bits are the same either way.
typedef double score_lanes __attribute__((vector_size(32)));
typedef uint32_t best_lanes __attribute__((vector_size(16)));
typedef int32_t mask_lanes __attribute__((vector_size(16)));

// GCC builds both and picks one at run time; other compilers (the fuzzing
// build's clang among them) build the generic one only.
#if defined(__GNUC__) && !defined(__clang__)
#define WITH_WIDE_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define WITH_WIDE_CLONE
#endif

WITH_WIDE_CLONE void take_over(double *score, uint32_t *best, uint32_t lo, uint32_t hi,
                               uint32_t len)
{
    double *sl = score + lo, *sh = score + hi;
    uint32_t *bl = best + lo, *bh = best + hi;
    uint32_t t = 0;
    for (; t + 4 <= len; t += 4) {
        score_lanes c, h;
        best_lanes kl, kh;
        memcpy(&c, sl + t, sizeof c);
        memcpy(&h, sh + t, sizeof h);
        memcpy(&kl, bl + t, sizeof kl);
        memcpy(&kh, bh + t, sizeof kh);
        const auto ge = c >= h;
        const score_lanes s = ge ? c : h;
        const mask_lanes m = __builtin_convertvector(ge, mask_lanes);
        const best_lanes b = m ? kl : kh;
        memcpy(sh + t, &s, sizeof s);
        memcpy(bh + t, &b, sizeof b);
    }
    for (; t < len; ++t) {
        const bool ge = sl[t] >= sh[t];
        sh[t] = ge ? sl[t] : sh[t];
        bh[t] = ge ? bl[t] : bh[t];
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
            take_over(score, best, base + r, base + r + 1, 1);
        for (uint32_t r = t; r + 2 < len; r += 4)
            take_over(score, best, base + r, base + r + 2, 2);
    }
}

void best_subsets_by_passes(double *score, uint32_t *best, int bits, bool two)
{
    const int low = bits < pass_block_bits ? bits : pass_block_bits;
    split_over_two(uint64_t(1) << (bits - low), two, [&](uint64_t k) {
        const uint32_t base = uint32_t(k) << low;
        first_two_passes(score, best, base, uint32_t(1) << low);
        // Bits below near_bits over pieces that stay in the first-level
        // cache, the others over the whole block.
        const int near = low < near_bits ? low : near_bits;
        for (uint32_t piece = 0; piece < (uint32_t(1) << low); piece += uint32_t(1) << near)
            for (int i = 2; i < near; ++i) {
                const uint32_t run = uint32_t(1) << i;
                for (uint32_t r = 0; r < (uint32_t(1) << near); r += 2 * run)
                    take_over(score, best, base + piece + r, base + piece + r + run, run);
            }
        for (int i = near; i < low; ++i) {
            const uint32_t run = uint32_t(1) << i;
            for (uint32_t r = 0; r < (uint32_t(1) << low); r += 2 * run)
                take_over(score, best, base + r, base + r + run, run);
        }
    });
    for (int g0 = low; g0 < bits; g0 += group_bits) {
        const int g1 = g0 + group_bits < bits ? g0 + group_bits : bits;
        const uint32_t chunk = uint32_t(1) << tile_chunk_bits;
        const uint64_t chunks = uint64_t(1) << (g0 - tile_chunk_bits);
        const uint64_t tiles = (uint64_t(1) << (bits - g1)) * chunks;
        split_over_two(tiles, two, [&](uint64_t k) {
            const uint32_t origin =
                (uint32_t(k / chunks) << g1) | (uint32_t(k % chunks) << tile_chunk_bits);
            for (int i = g0; i < g1; ++i)
                for (uint32_t gv = 0; gv < (uint32_t(1) << (g1 - g0)); ++gv) {
                    if (gv >> (i - g0) & 1)
                        continue;
                    const uint32_t lo = origin | (gv << g0);
                    take_over(score, best, lo, lo | (uint32_t(1) << i), chunk);
                }
        });
    }
}

constexpr uint32_t read_piece = 32768;   // 256 KiB of scores

bool holds_nan(const double *s, uint32_t len)
{
    unsigned any = 0;
    for (uint32_t j = 0; j < len; ++j)
        any |= s[j] != s[j];
    return any != 0;
}

// Best subset of every parset, in place: score[j] becomes the best score
// among the subsets of j and best[j] its parset; nan_free tells that no
// score is NaN.
void best_subsets(double *score, uint32_t *best, int bits, bool nan_free)
{
    const bool two = use_two_cores(bits + 1);
    if (nan_free) {
        best_subsets_by_passes(score, best, bits, two);
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
    double *score = static_cast<double *>(alloc_or_fail(sizeof(double) * count, "score table"));
    uint32_t *best =
        static_cast<uint32_t *>(alloc_or_fail(sizeof(uint32_t) * count, "best-parent table"));

    for (int i = 0; i < nof_vars; ++i) {
        char *name = create_fn(dirname, i, "");
        FILE *in = fopen_checked(name, "rb");
        // Read in pieces, each looked over for NaN while still in the cache.
        bool nan_free = true;
        for (uint32_t at = 0; at < count; at += read_piece) {
            const uint32_t len = count - at < read_piece ? count - at : read_piece;
            read_records(in, score + at, sizeof(double), len, name);
            nan_free &= !holds_nan(score + at, len);
        }
        close_input(in, name);
        free(name);

        best_subsets(score, best, nof_vars - 1, nan_free);

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
    free(best);
    free(score);
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
