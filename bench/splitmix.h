// The deterministic random numbers of the benchmark's generators and of the
// example data's sampler (splitmix64): the same seed gives the same files
// on every machine.
#pragma once
#include <cstdint>

// Set to the seed before the first draw.
inline uint64_t random_state;

inline uint64_t next_random()
{
    uint64_t z = (random_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}
