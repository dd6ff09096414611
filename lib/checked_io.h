// Checked stdio: every operation here either succeeds or does not return.
// A failure prints the one line "<program>: <file>: <reason>" to standard
// error, removes the unfinished outputs (outputs.h) and exits with status 2.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>

static_assert(std::endian::native == std::endian::little,
              "the binary score files are little-endian");
static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

// Name used in failure messages; set once by main.
extern const char *program_name;

// Called first in main.  A write beyond the file-size limit (RLIMIT_FSIZE)
// raises SIGXFSZ, which by default kills the process without a word and
// leaves the output half-written; ignored, the write fails with EFBIG and
// is reported and cleaned up like any other write error.
void ignore_file_size_signal();

// Safe to call from two threads at once: the first reports and exits, the
// second waits for that.
[[noreturn]] void fail(const char *file, const char *reason);
// fail() with a printf-style reason.
[[noreturn]] void failf(const char *file, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// fail() with strerror(errno), or "input/output error" when errno is 0.
[[noreturn]] void fail_errno(const char *file);

void *alloc_or_fail(size_t bytes, const char *what);
// A table every page of which is written: from 1 MiB on its pages are all
// put in place by one call (MAP_POPULATE) instead of one fault each.  Freed
// with free_populated() and the same size.
void *alloc_populated(size_t bytes, const char *what);
void free_populated(void *p, size_t bytes);

FILE *fopen_checked(const char *path, const char *mode);
// Like open_files (files.h), but a member that cannot be opened closes the
// ones already open and fails naming that member.
FILE **open_files_checked(int n, const char *dir, const char *ext, const char *mode);

// "-" as a file argument: standard input or standard output, where the
// program allows it.  is_dash is true for exactly the one character "-".
bool is_dash(const char *name);
// The name a failure message gives such an argument ("standard input",
// "standard output", or the name itself).
const char *input_name(const char *name);
const char *output_name(const char *name);
// Opens an input with the mode; "-" is standard input.
FILE *open_input_or_stdin(const char *name, const char *mode);

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
// Fails on the first write error of f: called after a record is written,
// it stops a program at once instead of converting the rest for nothing.
void check_output(FILE *f, const char *name);
// Fails when a read of f has failed: called when a reading loop has ended,
// it tells a read error from the quiet end of the input.
void check_input(FILE *f, const char *name);
// Flushes and closes an output; any write error so far fails.
void close_output(FILE *f, const char *name);
// Closes an input; a read error so far fails.
void close_input(FILE *f, const char *name);
// The whole of the input f, read to its end; then closes it.  A read error
// fails naming name.
std::string read_whole(FILE *f, const char *name);
