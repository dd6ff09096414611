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
#include <semaphore>
#include <thread>

#include <sys/stat.h>

#include "files.h"

namespace {

// Records of one output block (256 KiB).
constexpr size_t block_records = 32768;

// The records of the output block that starts at record done (of m): its
// records [done, done + count) are the input records [m - done - count,
// m - done), last first.
size_t block_size(uint32_t m, size_t done)
{
    return m - done < block_records ? m - done : block_records;
}

// A regular split file: while one block is written, a second thread reads
// the next one (by offset, from the end of the file) and reverses it into
// the other of two buffers, so that reading and writing proceed at once.
void flip_regular(FILE *in, const char *split_name, FILE *out, const char *local_name,
                  uint32_t m, uint64_t *const buffer[2])
{
    std::binary_semaphore free_slot[2]{std::binary_semaphore(1), std::binary_semaphore(1)};
    std::binary_semaphore full_slot[2]{std::binary_semaphore(0), std::binary_semaphore(0)};
    std::thread reader([&] {
        int slot = 0;
        for (size_t done = 0; done < m; done += block_records, slot ^= 1) {
            const size_t count = block_size(m, done);
            free_slot[slot].acquire();
            pread_exact(in, buffer[slot], count * sizeof(uint64_t),
                        uint64_t(m - done - count) * sizeof(uint64_t), split_name);
            std::reverse(buffer[slot], buffer[slot] + count);
            full_slot[slot].release();
        }
    });
    int slot = 0;
    for (size_t done = 0; done < m; done += block_records, slot ^= 1) {
        full_slot[slot].acquire();
        write_records(out, buffer[slot], sizeof(uint64_t), block_size(m, done), local_name);
        free_slot[slot].release();
    }
    reader.join();
}

} // namespace

void flip_family_files(int nof_vars, const char *dirname)
{
    if (nof_vars <= 0)
        return;
    const uint32_t m = uint32_t(1) << (nof_vars - 1);
    // A regular split file is read block by block from its end, each block
    // reversed and written: two 256 KiB buffers that stay in the cache.
    // Anything else (a pipe) is read whole into one buffer, allocated on
    // first need and reused for every variable.
    const size_t block_bytes = (m < block_records ? m : block_records) * sizeof(uint64_t);
    uint64_t *const buffer[2] = {static_cast<uint64_t *>(alloc_or_fail(block_bytes, dirname)),
                                 static_cast<uint64_t *>(alloc_or_fail(block_bytes, dirname))};
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
        if (regular) {
            flip_regular(in, split_name, out, local_name, m, buffer);
        } else {
            for (size_t done = 0; done < m; done += block_records) {
                const size_t count = block_size(m, done);
                for (size_t k = 0; k < count; ++k)
                    buffer[0][k] = records[m - 1 - (done + k)];
                write_records(out, buffer[0], sizeof(uint64_t), count, local_name);
            }
        }
        close_output(out, local_name);
        commit_output(local_name);
        close_input(in, split_name);

        free(split_name);
        free(local_name);
    }
    free(buffer[0]);
    free(buffer[1]);
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
