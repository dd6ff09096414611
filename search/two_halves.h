// The two ways the searches share their work between two cores.
//
// in_two_halves: a table walked in blocks, where a block of the upper half
// may read results of blocks of the lower half (the subsets or parsets
// without the top bit).  The calling thread does the lower half; a second
// thread does the upper half, one block behind: its k-th block starts once
// the lower half's k-th block is finished, so everything it reads below is
// final.
//
// split_over_two: independent pieces of work, the first half on the calling
// thread and the second half on another.
//
// Both run on the calling thread alone when told not to use two cores.
#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

// Subsets (or parsets) per block: 2^half_block_bits.
constexpr int half_block_bits = 12;
// From this many variables on the searches use two cores.
constexpr int two_halves_min_vars = 16;

// Whether a search over nof_vars variables shares its work between two
// cores: large enough, and the machine has them.
inline bool use_two_cores(int nof_vars)
{
    return nof_vars >= two_halves_min_vars && std::thread::hardware_concurrency() >= 2;
}

// Calls work(half, h) for every block h in [0, nof_blocks), in increasing
// order within each half; half is 0 for the lower half and 1 for the upper
// one.  nof_blocks is even when two is set (a power of two of at least 2);
// otherwise every block runs on the calling thread with half 0.
template <typename Work>
void in_two_halves(uint64_t nof_blocks, bool two, const Work &work)
{
    if (!two || nof_blocks < 2) {
        for (uint64_t h = 0; h < nof_blocks; ++h)
            work(0, h);
        return;
    }
    const uint64_t mid = nof_blocks / 2;
    std::atomic<uint64_t> lower_done{0};
    std::thread upper([&] {
        for (uint64_t h = mid; h < nof_blocks; ++h) {
            // Block h - mid of the lower half must be finished.
            uint64_t seen;
            while ((seen = lower_done.load(std::memory_order_acquire)) <= h - mid)
                lower_done.wait(seen, std::memory_order_relaxed);
            work(1, h);
        }
    });
    for (uint64_t h = 0; h < mid; ++h) {
        work(0, h);
        lower_done.store(h + 1, std::memory_order_release);
        lower_done.notify_one();
    }
    upper.join();
}

// Calls work(k) for every k in [0, count): the first half on the calling
// thread, the second half on another when two is set.
template <typename Work>
void split_over_two(uint64_t count, bool two, const Work &work)
{
    if (!two || count < 2) {
        for (uint64_t k = 0; k < count; ++k)
            work(k);
        return;
    }
    std::thread second([&] {
        for (uint64_t k = count / 2; k < count; ++k)
            work(k);
    });
    for (uint64_t k = 0; k < count / 2; ++k)
        work(k);
    second.join();
}
