// Branch-free running maxima for the best-sink search, which reduces long
// runs of scores: a[i] is the best value kept so far (NaN while there is
// none) and ai[i] what it came from, held as a double so that both move in
// lanes of one width.  A candidate c replaces a[i] when it is greater (or,
// with ties_win, equal), or when nothing is kept yet; a NaN candidate never
// replaces anything.
#pragma once
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Doubles ahead of the current one to ask the cache for.
constexpr uint32_t prefetch_ahead = 256;

template <bool ties_win>
inline bool beats(double c, double a)
{
    return (ties_win ? c >= a : c > a) || (a != a && c == c);
}

#if defined(__SSE2__)
template <bool ties_win>
inline __m128d beats_mask(__m128d c, __m128d a)
{
    __m128d cmp = ties_win ? _mm_cmpge_pd(c, a) : _mm_cmpgt_pd(c, a);
    return _mm_or_pd(cmp, _mm_and_pd(_mm_cmpunord_pd(a, a), _mm_cmpord_pd(c, c)));
}

inline __m128d select_pd(__m128d mask, __m128d yes, __m128d no)
{
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
}
#endif

// Candidates p[i] + f[i], all coming from id.
template <bool ties_win>
inline void merge_sums(double *a, double *ai, const double *p, const double *f, double id,
                       uint32_t len)
{
    uint32_t i = 0;
#if defined(__SSE2__)
    const __m128d k = _mm_set1_pd(id);
    for (; i + 2 <= len; i += 2) {
        // The hardware prefetchers stop at page boundaries; runs are long.
        if ((i & 7) == 0) {
            __builtin_prefetch(f + i + prefetch_ahead);
            __builtin_prefetch(p + i + prefetch_ahead);
        }
        __m128d c = _mm_add_pd(_mm_loadu_pd(p + i), _mm_loadu_pd(f + i));
        __m128d old = _mm_loadu_pd(a + i);
        __m128d m = beats_mask<ties_win>(c, old);
        _mm_storeu_pd(a + i, select_pd(m, c, old));
        _mm_storeu_pd(ai + i, select_pd(m, k, _mm_loadu_pd(ai + i)));
    }
#endif
    for (; i < len; ++i) {
        const double c = p[i] + f[i];
        if (beats<ties_win>(c, a[i])) {
            a[i] = c;
            ai[i] = id;
        }
    }
}
