// scatter_family_values nof_vars dirname
//
// Splits the score table <dirname>/res into one split score file
// <dirname>/<i>.slt per variable.  The table holds one 8-byte score per
// family, families ordered by varset descending (all variables first, the
// empty set has none) and, within a varset, by child ascending.  Split file
// i receives the records whose child is i, in table order.  Records are
// moved as raw bytes, so every bit pattern (NaN payloads included) survives.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"

namespace {

constexpr size_t record_bytes = 8;
constexpr size_t table_chunk = size_t(1) << 20;   // records per table read

constexpr size_t out_block = 256 * 1024;   // bytes per split file write

// The block being filled for one split file; full blocks go to the write
// queue, which writes them on a second thread.
struct split_out {
    FILE *file;
    const char *name;
    unsigned char *buf;
    size_t used;
};

inline void put_record(write_queue *q, split_out *o, const unsigned char *record)
{
    memcpy(o->buf + o->used, record, record_bytes);
    o->used += record_bytes;
    if (o->used == out_block) {
        queue_write(q, o->file, o->name, o->buf, o->used);
        o->buf = queue_buffer(q);
        o->used = 0;
    }
}

} // namespace

void scatter_family_values(int nof_vars, const char *dirname)
{
    const size_t n = nof_vars > 0 ? size_t(nof_vars) : 0;

    // The split score files are created before the table is opened, in
    // index order, none of them over the table.  Until the run is complete a
    // failure removes them all (outputs.h), so no half-filled set of split
    // files is left looking like a finished one.
    std::string table_name = std::string(dirname) + "/res";
    std::vector<std::string> split_names;
    for (size_t i = 0; i < n; ++i) {
        char *name = create_fn(dirname, int(i), ".slt");
        if (name == nullptr)
            fail(dirname, "out of memory");
        split_names.push_back(name);
        free(name);
    }
    note_input(table_name.c_str());
    for (const std::string &name : split_names)
        refuse_input_as_output(name.c_str());
    std::vector<FILE *> splits;
    for (const std::string &name : split_names) {
        splits.push_back(open_output(name.c_str(), "wb"));
        setvbuf(splits.back(), nullptr, _IONBF, 0);
    }
    // Two blocks per split file: one being filled, one being written.
    write_queue *queue = queue_start(2 * n + 2, out_block);
    std::vector<split_out> outs(n);
    for (size_t i = 0; i < n; ++i)
        outs[i] = split_out{splits[i], split_names[i].c_str(), queue_buffer(queue), 0};

    FILE *table = fopen_checked(table_name.c_str(), "rb");

    const uint64_t start = nof_vars == 32 ? uint64_t(UINT32_MAX)
                                          : (uint64_t(1) << n) - 1;
    // Exactly n * 2^(n-1) records are read: surplus records stay unread.
    const uint64_t total = n > 0 ? uint64_t(n) << (n - 1) : 0;
    // The table is read in place when it can be mapped, else in chunks.
    mapped_input map;
    const bool mapped = map_input(&map, table, total * record_bytes, table_name.c_str());
    uint64_t remaining = total;
    const size_t capacity = mapped ? 0 : remaining < table_chunk ? size_t(remaining) : table_chunk;
    unsigned char *chunk = mapped ? nullptr
                                  : static_cast<unsigned char *>(alloc_or_fail(
                                        capacity * record_bytes, table_name.c_str()));
    const unsigned char *records = nullptr;
    size_t filled = 0, next = 0;
    uint64_t consumed = 0;

    for (uint64_t s = start; s >= 1; --s) {
        for (uint32_t members = uint32_t(s); members != 0; members &= members - 1) {
            if (next == filled) {
                size_t want = mapped ? size_t(std::min<uint64_t>(remaining, table_chunk))
                              : remaining < capacity ? size_t(remaining) : capacity;
                if (mapped) {
                    mapped_release(&map, consumed * record_bytes);
                    records = map.base + consumed * record_bytes;
                } else {
                    read_records(table, chunk, record_bytes, want, table_name.c_str());
                    records = chunk;
                }
                consumed += want;
                remaining -= want;
                filled = want;
                next = 0;
            }
            const int child = __builtin_ctz(members);
            put_record(queue, &outs[size_t(child)], records + record_bytes * next++);
        }
    }
    free(chunk);
    unmap_input(&map);

    for (size_t i = 0; i < n; ++i) {
        if (outs[i].used > 0)
            queue_write(queue, outs[i].file, outs[i].name, outs[i].buf, outs[i].used);
        else
            queue_release(queue, outs[i].buf);
    }
    queue_finish(queue);
    for (size_t i = 0; i < n; ++i)
        close_output(splits[i], split_names[i].c_str());
    close_input(table, table_name.c_str());
    commit_outputs();
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
    check_nof_vars(nof_vars, below_one::zero_only);
    scatter_family_values(nof_vars, argv[2]);
    return 0;
}
