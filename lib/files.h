// Numbered file sets: the per-variable files <dir>/<i><ext> of a score
// directory, and the checked I/O every program of the suite uses.
//
// The first group of functions behaves like plain stdio: a file that cannot
// be opened gives a null handle.  The checked group below never returns on a
// failure: it prints "<program>: <file>: <reason>" to standard error, removes
// the output registered as partial (if any) and exits with status 2.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

static_assert(std::endian::native == std::endian::little,
              "the binary score files are little-endian");
static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

// Number of decimal digits of k (0 has one; a minus sign is not counted).
int nof_digits(int k);
// Newly allocated "<dir>/<i><ext>"; release with free().
char *create_fn(const char *dir, int i, const char *ext);
// Opens <dir>/<i><ext> with the stdio mode; null when it cannot be opened.
FILE *open_file(const char *dir, int i, const char *ext, const char *mode);
// Array of n handles, element i = open_file(dir, i, ext, mode).
FILE **open_files(int n, const char *dir, const char *ext, const char *mode);
// Closes the first n handles in index order, then frees the array.
void free_files(int n, FILE **handles);
// Number of newline bytes in the file at path; -1 when it cannot be opened.
int nof_lines(const char *path);

// ---- checked operations -------------------------------------------------

// Name used in failure messages; set once by main.
extern const char *program_name;

// Called first in main.  A write beyond the file-size limit (RLIMIT_FSIZE)
// raises SIGXFSZ, which by default kills the process without a word and
// leaves the output half-written; ignored, the write fails with EFBIG and
// is reported and cleaned up like any other write error.
void ignore_file_size_signal();

[[noreturn]] void fail(const char *file, const char *reason);
// fail() with a printf-style reason.
[[noreturn]] void failf(const char *file, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// fail() with strerror(errno), or "input/output error" when errno is 0.
[[noreturn]] void fail_errno(const char *file);

// While set, a failure removes this file if it is a regular file: an output
// left half-written must never look like a finished one.  Pass nullptr to
// clear.
void set_partial_output(const char *path);

// nof_vars as the programs take it: strtol base 10, narrowed to 32 bits.
int parse_nof_vars(const char *arg);
// Rejects a count the 32-bit varsets cannot hold (above 32) or, when
// allow_negative is false, a negative one.
void check_nof_vars(int nof_vars, const char *arg, bool allow_negative);

void *alloc_or_fail(size_t bytes, const char *what);

FILE *open_file_checked(const char *dir, int i, const char *ext, const char *mode);
FILE *fopen_checked(const char *path, const char *mode);
// Like open_files, but a member that cannot be opened closes the ones
// already open and fails naming that member.
FILE **open_files_checked(int n, const char *dir, const char *ext, const char *mode);

// Reads exactly count records of size bytes; a short file fails with
// "unexpected end of file".
void read_records(FILE *f, void *buf, size_t size, size_t count, const char *name);
// Fails with "unexpected end of file" when f is a regular file shorter than
// needed bytes: for inputs read by offset, a cut file must not pass for a
// whole one just because the records a run happens to read are there.
void check_input_size(FILE *f, uint64_t needed, const char *name);
// Writes count records of size bytes in blocks of about 256 KiB.
void write_records(FILE *f, const void *buf, size_t size, size_t count, const char *name);
// Reads exactly bytes bytes at offset without touching the stream buffer.
void pread_exact(FILE *f, void *buf, size_t bytes, uint64_t offset, const char *name);
// Flushes and closes an output; any write error so far fails.
void close_output(FILE *f, const char *name);
void close_input(FILE *f, const char *name);

// Sequential reader of fixed-size records through a large private buffer,
// for programs that consume many files record by record.
struct record_reader {
    FILE *file;
    const char *name;
    unsigned char *buf;
    size_t record_size;
    size_t capacity;   // records the buffer holds
    size_t filled;     // records in the buffer
    size_t next;       // next record to hand out
};
void reader_init(record_reader *r, FILE *f, const char *name, size_t record_size,
                 size_t capacity);
void reader_refill(record_reader *r);
inline const unsigned char *reader_next(record_reader *r)
{
    if (r->next == r->filled)
        reader_refill(r);
    return r->buf + r->record_size * r->next++;
}
void reader_free(record_reader *r);

// Buffered writer of raw bytes, flushed in blocks of about 256 KiB.
struct block_writer {
    FILE *file;
    const char *name;
    unsigned char *buf;
    size_t capacity;
    size_t used;
};
void writer_init(block_writer *w, FILE *f, const char *name);
void writer_flush(block_writer *w);
inline void writer_put(block_writer *w, unsigned char byte)
{
    if (w->used == w->capacity)
        writer_flush(w);
    w->buf[w->used++] = byte;
}
void writer_free(block_writer *w);

// Read-only view of an input file's first bytes, for programs that stream
// large files: the pages are read in place (no copy into a buffer) and
// dropped from the process once consumed, so the resident memory stays a
// small window per file.  map_input returns false when the file cannot be
// mapped (a pipe, say): the caller then reads it through stdio instead.
// A file holding fewer than `bytes` bytes fails with "unexpected end of
// file"; a file that shrinks while mapped fails with a message instead of
// crashing.
struct mapped_input {
    const unsigned char *base;
    uint64_t bytes;      // bytes mapped (those the caller needs)
    uint64_t released;   // bytes before this offset are dropped already
    uint64_t step;       // bytes dropped at a time (a power of two; 512 KiB
                         // unless the caller sets it after mapping)
    const char *name;
};
bool map_input(mapped_input *m, FILE *f, uint64_t bytes, const char *name);
// The same for the bytes [offset, offset + bytes) of the file; offset must
// be a multiple of the page size.
bool map_input_range(mapped_input *m, FILE *f, uint64_t offset, uint64_t bytes,
                     const char *name);
// Drops the pages wholly before offset `upto` from the process (the page
// cache keeps them).  Cheap to call often: it acts once per step.
void mapped_release(mapped_input *m, uint64_t upto);
void unmap_input(mapped_input *m);

// Writes handed to a second thread, so that a program can go on computing
// while the kernel copies its output: buffers come from a fixed pool and
// return to it once written.  A failed write fails the program as the
// checked writes above do.  Writes to one stream are done in the order
// they are queued.
struct write_queue;
write_queue *queue_start(size_t nof_buffers, size_t buffer_bytes);
// A free buffer of buffer_bytes, waiting for one if all are queued.
unsigned char *queue_buffer(write_queue *q);
void queue_write(write_queue *q, FILE *f, const char *name, unsigned char *buf, size_t len);
// Returns a buffer to the pool unwritten.
void queue_release(write_queue *q, unsigned char *buf);
// Waits until everything queued is written, then ends the thread and frees
// the pool.
void queue_finish(write_queue *q);
