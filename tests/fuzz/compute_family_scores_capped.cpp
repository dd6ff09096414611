// compute_family_scores for the fuzzing build: the whole program, run only
// on data sets of a few columns.
//
// The scorer's work and memory grow as 2^n with the column count n, and
// the reader accepts up to 32 columns, so a small input with many columns
// could take minutes and gigabytes: that is a timeout for the fuzzer, not a
// fault.  This entry point reads the data set first with the program's own
// reader (its failures are the program's: one message, status 2) and runs
// the program only when the data set has at most max_fuzz_columns columns.
// The data path is the second-to-last argument, as the program takes it.
// The first reading drops rows with missing values, so that it fails only
// where the program fails whichever --missing it is given; the fuzzing
// script passes no --delimiter.
#define main compute_family_scores_main
#include "compute_family_scores.cpp"
#undef main

namespace {
constexpr size_t max_fuzz_columns = 12;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return compute_family_scores_main(argc, argv);
    program_name = "compute_family_scores";
    read_options first;
    first.drop_missing = true;
    const data_set data = read_data(argv[argc - 2], first);
    if (data.names.size() > max_fuzz_columns)
        return 0;
    return compute_family_scores_main(argc, argv);
}
