// flip_family_files nof_vars dirname
//
// Turns each split score file <dirname>/<i>.slt into the local score file
// <dirname>/<i> by writing its 2^(nof_vars-1) records last to first: the
// split file lists the parent sets by varset descending, the local score
// file by parset ascending.  Records are moved as raw 8-byte words.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "files.h"

namespace {

// Records of one output block (256 KiB).
constexpr size_t block_records = 32768;

} // namespace

void flip_family_files(int nof_vars, const char *dirname)
{
    if (nof_vars <= 0)
        return;
    const uint32_t m = uint32_t(1) << (nof_vars - 1);
    // A regular split file is read block by block from its end, each block
    // reversed in place and written: one 256 KiB buffer that stays in the
    // cache.  Anything else (a pipe) is read whole into one buffer,
    // allocated on first need and reused for every variable.
    uint64_t *block = static_cast<uint64_t *>(
        alloc_or_fail((m < block_records ? m : block_records) * sizeof(uint64_t), dirname));
    uint64_t *records = nullptr;

    // No local score file over a split score file (a link, say): all are
    // looked at before the first output is opened.
    note_numbered_inputs(nof_vars, dirname, ".slt");
    refuse_numbered_outputs(nof_vars, dirname, "");

    for (int i = 0; i < nof_vars; ++i) {
        char *split_name = create_fn(dirname, i, ".slt");
        char *local_name = create_fn(dirname, i, "");
        if (split_name == nullptr || local_name == nullptr)
            fail(dirname, "out of memory");

        FILE *in = fopen_checked(split_name, "rb");
        struct stat st;
        const bool regular = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
        if (regular) {
            check_input_size(in, uint64_t(m) * sizeof(uint64_t), split_name);   // surplus ignored
        } else {
            if (records == nullptr)
                records = static_cast<uint64_t *>(
                    alloc_or_fail(size_t(m) * sizeof(uint64_t), dirname));
            read_records(in, records, sizeof(uint64_t), m, split_name);   // surplus ignored
        }

        FILE *out = open_output(local_name, "wb");
        size_t done = 0;
        while (done < m) {
            const size_t count = m - done < block_records ? m - done : block_records;
            // Output records [done, done + count) are the input records
            // [m - done - count, m - done), last first.
            const size_t first = m - done - count;
            if (regular) {
                pread_exact(in, block, count * sizeof(uint64_t), uint64_t(first) * sizeof(uint64_t),
                            split_name);
                std::reverse(block, block + count);
            } else {
                for (size_t k = 0; k < count; ++k)
                    block[k] = records[m - 1 - (done + k)];
            }
            write_records(out, block, sizeof(uint64_t), count, local_name);
            done += count;
        }
        close_output(out, local_name);
        commit_output(local_name);
        close_input(in, split_name);

        free(split_name);
        free(local_name);
    }
    free(block);
    free(records);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    program_name = "flip_family_files";
    if (argc != 3) {
        fputs("Usage: flip_family_files nof_vars dirname\n", stderr);
        return 1;
    }
    const int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, below_one::nothing_to_do);
    flip_family_files(nof_vars, argv[2]);
    return 0;
}
