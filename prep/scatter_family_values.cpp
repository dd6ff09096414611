// scatter_family_values nof_vars dirname
//
// Splits the score table <dirname>/res into one split score file
// <dirname>/<i>.slt per variable.  The table holds one 8-byte score per
// family, families ordered by varset descending (all variables first, the
// empty set has none) and, within a varset, by child ascending.  Split file
// i receives the records whose child is i, in table order.  Records are
// moved as raw bytes, so every bit pattern (NaN payloads included) survives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files.h"

namespace {

constexpr size_t record_bytes = 8;
constexpr size_t table_chunk = size_t(1) << 20;   // records per table read

// Names of the split score files of this run: until the run is complete, a
// failure removes them all, so no half-filled set of split files is left
// looking like a finished one.
std::vector<std::string> split_names;
bool split_complete = false;

void remove_unfinished_splits()
{
    if (split_complete)
        return;
    // Regular files only: a device named as a split file is not ours.
    struct stat st;
    for (const std::string &name : split_names)
        if (lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            unlink(name.c_str());
}

// Appends one 8-byte record to a block writer without going byte by byte;
// the writer's capacity is a multiple of the record size.
inline void put_record(block_writer *w, const unsigned char *record)
{
    if (w->used + record_bytes > w->capacity)
        writer_flush(w);
    memcpy(w->buf + w->used, record, record_bytes);
    w->used += record_bytes;
}

} // namespace

void scatter_family_values(int nof_vars, const char *dirname)
{
    const size_t n = nof_vars > 0 ? size_t(nof_vars) : 0;

    // The split score files are created before the table is opened, in
    // index order.  Only files this run has created are ever removed.
    atexit(remove_unfinished_splits);
    std::vector<FILE *> splits;
    for (size_t i = 0; i < n; ++i) {
        char *name = create_fn(dirname, int(i), ".slt");
        if (name == nullptr)
            fail(dirname, "out of memory");
        std::string split_name = name;
        free(name);
        splits.push_back(fopen_checked(split_name.c_str(), "wb"));
        split_names.push_back(split_name);
    }
    std::vector<block_writer> writers(n);
    for (size_t i = 0; i < n; ++i)
        writer_init(&writers[i], splits[i], split_names[i].c_str());

    std::string table_name = std::string(dirname) + "/res";
    FILE *table = fopen_checked(table_name.c_str(), "rb");

    const uint64_t start = nof_vars == 32 ? uint64_t(UINT32_MAX)
                                          : (uint64_t(1) << n) - 1;
    // Exactly n * 2^(n-1) records are read: surplus records stay unread.
    uint64_t remaining = n > 0 ? uint64_t(n) << (n - 1) : 0;
    const size_t capacity = remaining < table_chunk ? size_t(remaining) : table_chunk;
    unsigned char *chunk =
        static_cast<unsigned char *>(alloc_or_fail(capacity * record_bytes, table_name.c_str()));
    size_t filled = 0, next = 0;

    for (uint64_t s = start; s >= 1; --s) {
        for (uint32_t members = uint32_t(s); members != 0; members &= members - 1) {
            if (next == filled) {
                size_t want = remaining < capacity ? size_t(remaining) : capacity;
                read_records(table, chunk, record_bytes, want, table_name.c_str());
                remaining -= want;
                filled = want;
                next = 0;
            }
            const int child = __builtin_ctz(members);
            put_record(&writers[size_t(child)], chunk + record_bytes * next++);
        }
    }
    free(chunk);

    for (size_t i = 0; i < n; ++i) {
        writer_flush(&writers[i]);
        writer_free(&writers[i]);
        close_output(splits[i], split_names[i].c_str());
    }
    close_input(table, table_name.c_str());
    split_complete = true;
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    program_name = "scatter_family_values";
    if (argc != 3) {
        fputs("Usage: scatter_family_values nof_vars dirname\n", stderr);
        return 1;
    }
    const int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, argv[1], false);
    scatter_family_values(nof_vars, argv[2]);
    return 0;
}
