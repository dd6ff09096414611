// solve_leaf_table: the best network score of every variable subset and its
// best sink (the variable placed last), written as one byte per subset.
//
// net[S] = max over v in S of net[S - v] + bss_v[parset of S - v], net[0] = 0.
// The members v of S are tried from the lowest up and a later one replaces
// the kept one only when strictly greater, so on a tie the lowest sink wins;
// if the lowest member's sum is NaN it is kept (NaN is never greater and is
// never beaten).
//
// The best-score files are consumed strictly sequentially: the k-th record
// of <v>.bss is needed at the k-th subset that contains v.
//
// The subsets are visited in blocks of 256 consecutive ones.  Within a
// block the high members (bit >= 8) are the same for every subset, and for
// each of them the sums over the whole block come from one contiguous run of
// net[] and 256 consecutive best-score records; those runs are reduced to a
// per-subset "best high member" first.  The low members then are folded
// subset by subset, lowest first, and the two results combined so that the
// outcome is exactly the one of the member-by-member fold above.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "files.h"
#include "merge.h"
#include "two_halves.h"

namespace {

constexpr unsigned char no_sink = 255;
constexpr int block_bits = half_block_bits;

// Pages of a mapped best-score file are dropped behind the reader a step at
// a time: each drop stops the other core for a TLB flush, so the steps are
// as long as the buffer budget allows, up to 1 MiB (longer ones gained
// nothing).  Every stream holds at most a step plus a block and the pages
// faulted in ahead of it; there are up to 2n streams.
uint64_t window_step(int n)
{
    constexpr uint64_t budget = 60u << 20, ahead = 64u << 10;
    uint64_t step = 1u << 20;
    while (step > (64u << 10) && 2 * uint64_t(n) * (step + ahead) > budget)
        step /= 2;
    return step;
}

// One best-score file, consumed front to back in runs of records.  Mapped
// files are read in place; others through a staging buffer.
struct score_stream {
    mapped_input map;
    FILE *file;
    const char *name;
    double *stage;
    uint64_t pos;   // records handed out so far
};

const double *take(score_stream *st, size_t len)
{
    if (st->map.base != nullptr) {
        // Everything before this run has been consumed.
        mapped_release(&st->map, st->pos * sizeof(double));
        const double *p = reinterpret_cast<const double *>(st->map.base) + st->pos;
        st->pos += len;
        return p;
    }
    read_records(st->file, st->stage, sizeof(double), len, st->name);
    st->pos += len;
    return st->stage;
}


// Sink bytes of a range of subsets, written at their own offset of the
// sink file in blocks of about 256 KiB.
struct sink_writer {
    int fd;
    const char *name;
    uint64_t offset;
    std::vector<unsigned char> buf;
    size_t used;
};

void sink_flush(sink_writer *w)
{
    size_t done = 0;
    while (done < w->used) {
        ssize_t put = pwrite(w->fd, w->buf.data() + done, w->used - done, off_t(w->offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            fail_errno(w->name);
        done += size_t(put);
        w->offset += uint64_t(put);
    }
    w->used = 0;
}

void sink_put(sink_writer *w, const unsigned char *bytes, size_t len)
{
    while (len > 0) {
        if (w->used == w->buf.size())
            sink_flush(w);
        size_t put = std::min(len, w->buf.size() - w->used);
        memcpy(w->buf.data() + w->used, bytes, put);
        w->used += put;
        bytes += put;
        len -= put;
    }
}

// merge_sums (merge.h) for long runs, len a multiple of 4: written with the
// compiler's generic vectors and built for two instruction sets, the wider
// one taken where the processor has it.  Only additions, comparisons and
// selections, so the bits are the same either way.
typedef double sum_lanes __attribute__((vector_size(32)));
typedef int64_t sum_mask __attribute__((vector_size(32)));

#if defined(__GNUC__) && !defined(__clang__)
#define WITH_WIDE_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define WITH_WIDE_CLONE
#endif

template <bool ties_win>
WITH_WIDE_CLONE void merge_run(double *a, double *ai, const double *p, const double *f, double id,
                               uint32_t len)
{
    const sum_lanes k = {id, id, id, id};
    for (uint32_t i = 0; i < len; i += 4) {
        // The hardware prefetchers stop at page boundaries; runs are long.
        if ((i & 7) == 0) {
            __builtin_prefetch(f + i + prefetch_ahead);
            __builtin_prefetch(p + i + prefetch_ahead);
        }
        sum_lanes x, y, old, from;
        memcpy(&x, p + i, sizeof x);
        memcpy(&y, f + i, sizeof y);
        memcpy(&old, a + i, sizeof old);
        memcpy(&from, ai + i, sizeof from);
        const sum_lanes c = x + y;
        const sum_mask m = (ties_win ? c >= old : c > old) | ((old != old) & (c == c));
        const sum_lanes best = m ? c : old;
        const sum_lanes who = m ? k : from;
        memcpy(a + i, &best, sizeof best);
        memcpy(ai + i, &who, sizeof who);
    }
}

// The low members below small_bits of one run of 2^small_bits subsets
// starting at a multiple of it, after every other member is applied: the
// fold of the loop in solve_block below for l = 1 .. 2^small_bits - 1, with
// the lengths and offsets fixed when compiled.  low[t] points at the records
// of member t for this run (2^(small_bits - 1) of each).
constexpr int small_bits = 4;

// Subset j is complete once its lowest member t is applied: when the sum
// with t as the sink (own) is NaN, so is the subset, with sink t; else its
// best sum and the sink giving it.
inline void finish_subset(double *blk, unsigned char *sinks, const double *a, const double *as,
                          uint32_t j, int t, double own)
{
    if (own != own) {
        blk[j] = std::nan("");
        sinks[j] = static_cast<unsigned char>(t);
    } else {
        blk[j] = a[j];
        sinks[j] = static_cast<unsigned char>(as[j]);
    }
}

template <uint32_t j>
inline void small_step(double *blk, double *a, double *as, unsigned char *sinks,
                       const double *const *low)
{
    constexpr int t = __builtin_ctz(j);
    constexpr uint32_t len = uint32_t(1) << t;
    // The earlier runs of member t in this run: j >> (t + 1) of them.
    const double *f = low[t] + (j >> (t + 1)) * len;
    const double *src = blk + (j - len);
    const double own = src[0] + f[0];
    uint32_t i = 0;
#if defined(__SSE2__)
    const __m128d k = _mm_set1_pd(double(t));
    for (; i + 2 <= len; i += 2) {
        const __m128d c = _mm_add_pd(_mm_loadu_pd(src + i), _mm_loadu_pd(f + i));
        const __m128d old = _mm_loadu_pd(a + j + i);
        const __m128d m = beats_mask<true>(c, old);
        _mm_storeu_pd(a + j + i, select_pd(m, c, old));
        _mm_storeu_pd(as + j + i, select_pd(m, k, _mm_loadu_pd(as + j + i)));
    }
#endif
    for (; i < len; ++i) {
        const double c = src[i] + f[i];
        if (beats<true>(c, a[j + i])) {
            a[j + i] = c;
            as[j + i] = t;
        }
    }
    finish_subset(blk, sinks, a, as, j, t, own);
}

template <uint32_t... js>
inline void small_run(double *blk, double *a, double *as, unsigned char *sinks,
                      const double *const *low, std::integer_sequence<uint32_t, js...>)
{
    (small_step<js + 1>(blk, a, as, sinks, low), ...);
}

// One half of the subsets (or all of them): its streams, its part of the
// sink file, and per subset of the current block the best non-NaN sum over
// the members applied so far (NaN while there is none) and the member giving
// it (the lowest on a tie), held as a double so that the loops below work on
// lanes of one width.
struct solve_job {
    std::vector<score_stream> streams;
    sink_writer out;
    std::vector<double> acc, acc_sink;
    std::vector<unsigned char> sinks;
};

// Block h of the subsets; every block it reads from is final.
void solve_block(solve_job &job, double *net, int b, uint64_t h)
{
    const uint32_t block = uint32_t(1) << b;
    const double *low[block_bits];
    const double nan = std::nan("");
    double *blk = net + (h << b);
    std::vector<unsigned char> &sinks = job.sinks;
    const uint32_t hi = uint32_t(h);
    double *a = job.acc.data();
    double *as = job.acc_sink.data();

    // High members, lowest first: each later one is higher, so it
    // replaces only when strictly greater.  lowest_sum is the lowest
    // member's own sum at l = 0, the one subset without low members.
    double lowest_sum = 0.0;
    for (uint32_t rest = hi; rest != 0; rest &= rest - 1) {
        const uint32_t bit = rest & -rest;
        const int v = b + __builtin_ctz(rest);
        const double vd = v;
        const double *prev = net + (uint64_t(hi ^ bit) << b);
        const double *f = take(&job.streams[size_t(v)], block);
        if (rest == hi) {
            for (uint32_t l = 0; l < block; ++l) {
                a[l] = prev[l] + f[l];
                as[l] = vd;
            }
            lowest_sum = a[0];
        } else {
            if (block % 4 == 0)
                merge_run<false>(a, as, prev, f, vd, block);
            else
                merge_sums<false>(a, as, prev, f, vd, block);
        }
    }
    if (hi == 0) {
        for (uint32_t l = 0; l < block; ++l)
            a[l] = nan;
        blk[0] = 0.0;
        sinks[0] = no_sink;
    } else if (lowest_sum != lowest_sum) {
        blk[0] = nan;
        sinks[0] = static_cast<unsigned char>(b + __builtin_ctz(hi));
    } else {
        blk[0] = a[0];
        sinks[0] = static_cast<unsigned char>(as[0]);
    }

    // Low members, highest first: member t of every subset x in
    // [l, l + 2^t) with l a multiple of 2^t (t = lowest bit of l) comes
    // from x - 2^t < l, final already.  Each one applied is the lowest
    // so far, so it wins a tie; l itself is complete afterwards, t being
    // its lowest member.
    for (int v = 0; v < b; ++v)
        low[v] = take(&job.streams[size_t(v)], block / 2);
    if (b >= small_bits) {
        // Runs of 2^small_bits subsets: the first subset of each with the
        // loop below, the others with small_run.
        constexpr uint32_t run = uint32_t(1) << small_bits;
        for (uint32_t l = 0; l < block; l += run) {
            if (l != 0) {
                const int t = __builtin_ctz(l);
                const uint32_t len = uint32_t(1) << t;
                const double *src = blk + (l - len);
                const double *f = low[t];
                low[t] += len;
                const double own = src[0] + f[0];
                merge_run<true>(a + l, as + l, src, f, double(t), len);
                finish_subset(blk, sinks.data(), a, as, l, t, own);
            }
            small_run(blk + l, a + l, as + l, sinks.data() + l, low,
                      std::make_integer_sequence<uint32_t, run - 1>());
            for (int t = 0; t < small_bits; ++t)
                low[t] += run / 2;
        }
        sink_put(&job.out, sinks.data(), block);
        return;
    }
    for (uint32_t l = 1; l < block; ++l) {
        const int t = __builtin_ctz(l);
        const uint32_t len = uint32_t(1) << t;
        const double td = t;
        const double *src = blk + (l - len);
        const double *f = low[t];
        low[t] += len;
        const double own = src[0] + f[0];
        merge_sums<true>(a + l, as + l, src, f, td, len);
        finish_subset(blk, sinks.data(), a, as, l, t, own);
    }
    sink_put(&job.out, sinks.data(), block);
}

} // namespace

void solve_leaf_table(int nof_vars, FILE **bss_files, const char *sinkfile,
                      const char *dirname)
{
    const int n = nof_vars > 0 ? nof_vars : 0;
    const int b = n < block_bits ? n : block_bits;
    const uint64_t nof_blocks = uint64_t(1) << (n - b);
    const uint64_t count = uint64_t(1) << n;
    const uint64_t records = n > 0 ? uint64_t(1) << (n - 1) : 0;

    FILE *sink = open_output(sinkfile, "wb");

    double *net = static_cast<double *>(
        alloc_populated(size_t(count) * sizeof(double), "best score table"));
    std::vector<char *> names(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v)
        names[size_t(v)] = create_fn(dirname, v, ".bss");

    // Large problems run as two jobs on two cores: the lower half of the
    // subsets and, one block behind it, the upper half.  Every best-score
    // file of a variable below the top one is then read from two places,
    // front to back from each: its first half by the lower job, its second
    // half by the upper one.
    const bool split = use_two_cores(n);
    solve_job jobs[2];
    int nof_jobs = 0;
    bool mapped = true;
    auto add_job = [&](uint64_t sink_offset) {
        solve_job &job = jobs[nof_jobs++];
        job.streams.resize(size_t(n));
        job.out = sink_writer{fileno(sink), sinkfile, sink_offset,
                              std::vector<unsigned char>(256 * 1024), 0};
        job.acc.resize(size_t(1) << b);
        job.acc_sink.resize(size_t(1) << b);
        job.sinks.resize(size_t(1) << b);
    };
    auto open_stream = [&](score_stream &st, int v, uint64_t from, uint64_t len) {
        st.file = bss_files[v];
        st.name = names[size_t(v)];
        st.pos = 0;
        st.stage = nullptr;
        st.map.base = nullptr;
        if (len == 0)
            return;
        if (!map_input_range(&st.map, st.file, from * sizeof(double), len * sizeof(double),
                             st.name))
            mapped = false;
        else
            st.map.step = window_step(n);
    };
    if (split) {
        // Each file's first half for job 0, its second half for job 1.
        const uint64_t half = records / 2;
        add_job(0);
        add_job(count / 2);
        for (int v = 0; v < n - 1; ++v) {
            open_stream(jobs[0].streams[size_t(v)], v, 0, half);
            open_stream(jobs[1].streams[size_t(v)], v, half, half);
        }
        open_stream(jobs[0].streams[size_t(n - 1)], n - 1, 0, 0);
        open_stream(jobs[1].streams[size_t(n - 1)], n - 1, 0, records);
        if (!mapped) {   // not regular files: one job reading them through stdio
            for (int k = 0; k < 2; ++k)
                for (score_stream &st : jobs[k].streams) {
                    unmap_input(&st.map);
                    free(st.stage);
                }
            nof_jobs = 0;
        }
    }
    if (nof_jobs == 0) {
        add_job(0);
        for (int v = 0; v < n; ++v) {
            score_stream &st = jobs[0].streams[size_t(v)];
            open_stream(st, v, 0, records);
            if (st.map.base == nullptr) {
                setvbuf(st.file, nullptr, _IOFBF, 256 * 1024);
                st.stage = static_cast<double *>(
                    alloc_or_fail(sizeof(double) << b, st.name));
            }
        }
    }

    in_two_halves(nof_blocks, nof_jobs == 2,
                  [&](int half, uint64_t h) { solve_block(jobs[half], net, b, h); });
    for (int k = 0; k < nof_jobs; ++k)
        sink_flush(&jobs[k].out);

    free_populated(net, size_t(count) * sizeof(double));
    close_output(sink, sinkfile);
    commit_outputs();
    for (int k = 0; k < nof_jobs; ++k)
        for (score_stream &st : jobs[k].streams) {
            unmap_input(&st.map);
            free(st.stage);
        }
    for (int v = 0; v < n; ++v)
        free(names[size_t(v)]);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 4) {
        fputs("Usage: solve_leaf_table nof_vars dirname sinkfile\n", stderr);
        return 1;
    }
    program_name = "solve_leaf_table";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, below_one::zero_only);
    note_numbered_inputs(nof_vars, argv[2], ".bss");   // no sink file over one
    refuse_input_as_output(argv[3]);
    FILE **bss_files = open_files_checked(nof_vars, argv[2], ".bss", "rb");
    solve_leaf_table(nof_vars, bss_files, argv[3], argv[2]);
    free_files(nof_vars, bss_files);
    return 0;
}
