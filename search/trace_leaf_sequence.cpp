// trace_leaf_sequence: walks the sink file back from the set of all
// variables to an optimal variable order.
#include <cstdint>
#include <cstdio>

#include "files.h"

void trace_leaf_sequence(int nof_vars, const char *sinkfile, unsigned char *order)
{
    FILE *sink = fopen_checked(sinkfile, "rb");
    if (nof_vars > 0) {
        uint32_t set = nof_vars == 32 ? 0xFFFFFFFFu : (uint32_t(1) << nof_vars) - 1;
        for (int k = nof_vars - 1; k >= 0; --k) {
            unsigned char x;
            pread_exact(sink, &x, 1, uint64_t(set), sinkfile);
            if (x >= nof_vars || (set & (uint32_t(1) << x)) == 0) {
                failf(sinkfile,
                      "byte %d at offset %u is not a member of that variable set: the sink "
                      "file does not belong to nof_vars %d",
                      x, set, nof_vars);
            }
            order[k] = x;
            set ^= uint32_t(1) << x;
        }
    }
    close_input(sink, sinkfile);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 4) {
        fputs("Usage: trace_leaf_sequence nof_vars sinkfile ordfile\n", stderr);
        return 1;
    }
    program_name = "trace_leaf_sequence";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, below_one::nothing_to_do);
    note_input(argv[2]);
    refuse_input_as_output(argv[3]);
    unsigned char order[32];
    trace_leaf_sequence(nof_vars, argv[2], order);

    const char *ordfile = argv[3];
    FILE *out = open_output(ordfile, "w");
    for (int k = 0; k < nof_vars; ++k)
        if (fprintf(out, "%d%c", order[k], k + 1 < nof_vars ? ' ' : '\n') < 0)
            fail_errno(ordfile);
    close_output(out, ordfile);
    commit_outputs();
    return 0;
}
