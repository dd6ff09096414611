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
// half of the parsets and, a block of 4096 behind it, the upper half, whose
// candidates through the top bit lie in the lower half.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "files.h"

namespace {

constexpr int block_bits = 12;
// From this size on each table is reduced by two threads.
constexpr int split_min_vars = 16;

// Reduces the blocks [first, last) of one table in order.  A job over the
// upper half needs, for its k-th block, the k-th block of the lower half
// finished: it waits on wait_for, which the lower job's done counts up.
struct reduce_job {
    double *score;
    uint32_t *best;
    int b;
    uint64_t first, last;
    std::atomic<uint64_t> *done;
    std::atomic<uint64_t> *wait_for;
};

void reduce_blocks(const reduce_job &job)
{
    const int b = job.b;
    double *score = job.score;
    uint32_t *best = job.best;
    for (uint64_t h = job.first; h < job.last; ++h) {
        if (job.wait_for != nullptr)
            while (job.wait_for->load(std::memory_order_acquire) <= h - job.first)
                job.wait_for->wait(job.wait_for->load(std::memory_order_relaxed));
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
        if (job.done != nullptr) {
            job.done->store(h + 1 - job.first, std::memory_order_release);
            job.done->notify_one();
        }
    }
}

// Best subset of every parset, in place: score[j] becomes the best score
// among the subsets of j and best[j] its parset.
void best_subsets(double *score, uint32_t *best, int bits)
{
    const int b = bits < block_bits ? bits : block_bits;
    const uint64_t nof_blocks = uint64_t(1) << (bits - b);
    if (bits + 1 >= split_min_vars && std::thread::hardware_concurrency() >= 2) {
        std::atomic<uint64_t> lower_done{0};
        reduce_job lower{score, best, b, 0, nof_blocks / 2, &lower_done, nullptr};
        reduce_job upper{score, best, b, nof_blocks / 2, nof_blocks, nullptr, &lower_done};
        std::thread second([&] { reduce_blocks(upper); });
        reduce_blocks(lower);
        second.join();
    } else {
        reduce_blocks(reduce_job{score, best, b, 0, nof_blocks, nullptr, nullptr});
    }
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
        read_records(in, score, sizeof(double), count, name);
        close_input(in, name);
        free(name);

        best_subsets(score, best, nof_vars - 1);

        name = create_fn(dirname, i, ".bps");
        set_partial_output(name);
        FILE *out = fopen_checked(name, "wb");
        setvbuf(out, nullptr, _IONBF, 0);
        write_records(out, best, sizeof(uint32_t), count, name);
        close_output(out, name);
        free(name);

        name = create_fn(dirname, i, ".bss");
        set_partial_output(name);
        out = fopen_checked(name, "wb");
        setvbuf(out, nullptr, _IONBF, 0);
        write_records(out, score, sizeof(double), count, name);
        close_output(out, name);
        set_partial_output(nullptr);
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
    check_nof_vars(nof_vars, argv[1], true);
    find_top_families(nof_vars, argv[2]);
    return 0;
}
