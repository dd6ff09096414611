// Bootstrap resamples of a data set's rows (resample.h).
#include "resample.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;

struct splitmix {
    uint64_t state;
    uint64_t next() { return mix(state += golden); }
};

// Uniform in [0, bound), bound > 0: the high half of a 128-bit product,
// with the few draws that would favour some values rejected.
uint64_t below(splitmix &g, uint64_t bound)
{
    unsigned __int128 m = (unsigned __int128)g.next() * bound;
    if (uint64_t(m) < bound) {
        const uint64_t floor = (0 - bound) % bound;
        while (uint64_t(m) < floor)
            m = (unsigned __int128)g.next() * bound;
    }
    return uint64_t(m >> 64);
}

bool parse_u64(const char *begin, const char *end, uint64_t *value)
{
    if (begin == end || *begin < '0' || *begin > '9')
        return false;
    char *stop;
    errno = 0;
    unsigned long long x = strtoull(begin, &stop, 10);
    if (stop != end || errno != 0)
        return false;
    *value = x;
    return true;
}

} // namespace

bool parse_resample(const char *text, uint64_t *seed, uint64_t *index)
{
    const char *colon = text;
    while (*colon != '\0' && *colon != ':')
        ++colon;
    if (*colon != ':')
        return false;
    const char *end = colon + 1;
    while (*end != '\0')
        ++end;
    return parse_u64(text, colon, seed) && parse_u64(colon + 1, end, index);
}

void resample_rows(data_set &data, uint64_t seed, uint64_t index)
{
    const size_t n = data.nof_rows;
    if (n == 0)
        return;
    splitmix g{mix(mix(seed) ^ index)};
    std::vector<size_t> pick(n);
    for (size_t r = 0; r < n; ++r)
        pick[r] = size_t(below(g, n));
    std::vector<uint32_t> column(n);
    for (auto &codes : data.codes) {
        for (size_t r = 0; r < n; ++r)
            column[r] = codes[pick[r]];
        codes.swap(column);
    }
}
