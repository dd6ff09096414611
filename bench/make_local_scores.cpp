// Random local score files DIR/0 .. DIR/<n-1> for the search benchmark:
// integer-valued scores (exact sums, frequent ties), fixed seed.
#include <cstdlib>
#include <random>
#include <vector>

#include "files.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("Usage: make_local_scores nof_vars dirname\n", stderr);
        return 1;
    }
    program_name = "make_local_scores";
    const int n = atoi(argv[1]);
    const size_t count = size_t(1) << (n - 1);
    std::mt19937_64 rng(12345);
    std::vector<double> scores(count);
    for (int i = 0; i < n; ++i) {
        for (size_t p = 0; p < count; ++p)
            scores[p] = -double(1000 + __builtin_popcountll(p) * 40 + rng() % 200);
        FILE *out = open_file_checked(argv[2], i, "", "wb");
        write_records(out, scores.data(), sizeof(double), count, argv[2]);
        close_output(out, argv[2]);
    }
    return 0;
}
