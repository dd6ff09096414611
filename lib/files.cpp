#include "files.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const char *program_name = "suite";

namespace {
const char *partial_output = nullptr;
constexpr size_t block_bytes = 256 * 1024;
}

int nof_digits(int k)
{
    int digits = 1;
    while ((k /= 10) != 0)
        ++digits;
    return digits;
}

char *create_fn(const char *dir, int i, const char *ext)
{
    size_t size = strlen(dir) + strlen(ext) + size_t(nof_digits(i)) + 2;
    char *name = static_cast<char *>(malloc(size));
    if (name != nullptr)
        snprintf(name, size, "%s/%d%s", dir, i, ext);
    return name;
}

FILE *open_file(const char *dir, int i, const char *ext, const char *mode)
{
    char *name = create_fn(dir, i, ext);
    if (name == nullptr)
        return nullptr;
    FILE *f = fopen(name, mode);
    free(name);
    return f;
}

FILE **open_files(int n, const char *dir, const char *ext, const char *mode)
{
    size_t count = n > 0 ? size_t(n) : 0;
    FILE **handles = static_cast<FILE **>(calloc(count ? count : 1, sizeof(FILE *)));
    if (handles == nullptr)
        return nullptr;
    for (size_t i = 0; i < count; ++i)
        handles[i] = open_file(dir, int(i), ext, mode);
    return handles;
}

void free_files(int n, FILE **handles)
{
    if (handles == nullptr)
        return;
    for (int i = 0; i < n; ++i)
        if (handles[i] != nullptr)
            fclose(handles[i]);
    free(handles);
}

int nof_lines(const char *path)
{
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    int count = 0;
    unsigned char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        for (size_t k = 0; k < got; ++k)
            count += buf[k] == '\n';
    fclose(f);
    return count;
}

// ---- checked operations -------------------------------------------------

void ignore_file_size_signal()
{
    signal(SIGXFSZ, SIG_IGN);
}

void set_partial_output(const char *path)
{
    partial_output = path;
}

void fail(const char *file, const char *reason)
{
    fprintf(stderr, "%s: %s: %s\n", program_name, file, reason);
    // Only a regular file is removed: a device or pipe named as output
    // (/dev/full, a fifo) is not ours to delete.
    struct stat st;
    if (partial_output != nullptr && lstat(partial_output, &st) == 0 && S_ISREG(st.st_mode))
        unlink(partial_output);
    exit(2);
}

void failf(const char *file, const char *format, ...)
{
    char reason[512];
    va_list args;
    va_start(args, format);
    vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    fail(file, reason);
}

void fail_errno(const char *file)
{
    fail(file, errno != 0 ? strerror(errno) : "input/output error");
}

int parse_nof_vars(const char *arg)
{
    return static_cast<int>(strtol(arg, nullptr, 10));
}

void check_nof_vars(int nof_vars, const char *arg, bool allow_negative)
{
    if (nof_vars > 32)
        fail(arg, "nof_vars above 32 is not supported (variable sets are 32-bit)");
    if (nof_vars < 0 && !allow_negative)
        fail(arg, "nof_vars must not be negative");
}

void *alloc_or_fail(size_t bytes, const char *what)
{
    void *p = malloc(bytes ? bytes : 1);
    if (p == nullptr)
        failf(what, "cannot allocate %zu bytes", bytes);
    return p;
}

FILE *fopen_checked(const char *path, const char *mode)
{
    errno = 0;
    FILE *f = fopen(path, mode);
    if (f == nullptr)
        fail_errno(path);
    return f;
}

FILE *open_file_checked(const char *dir, int i, const char *ext, const char *mode)
{
    char *name = create_fn(dir, i, ext);
    if (name == nullptr)
        fail(dir, "out of memory");
    errno = 0;
    FILE *f = fopen(name, mode);
    if (f == nullptr)
        fail_errno(name);
    free(name);
    return f;
}

FILE **open_files_checked(int n, const char *dir, const char *ext, const char *mode)
{
    FILE **handles = open_files(n, dir, ext, mode);
    if (handles == nullptr)
        fail(dir, "out of memory");
    for (int i = 0; i < n; ++i) {
        if (handles[i] == nullptr) {
            int saved = errno;
            free_files(n, handles);
            char *name = create_fn(dir, i, ext);
            errno = saved;
            fail_errno(name ? name : dir);
        }
    }
    return handles;
}

void read_records(FILE *f, void *buf, size_t size, size_t count, const char *name)
{
    unsigned char *p = static_cast<unsigned char *>(buf);
    size_t total = size * count;
    size_t done = 0;
    while (done < total) {
        size_t want = total - done < block_bytes * 64 ? total - done : block_bytes * 64;
        errno = 0;
        size_t got = fread(p + done, 1, want, f);
        done += got;
        if (got < want) {
            if (ferror(f))
                fail_errno(name);
            failf(name, "unexpected end of file: %zu bytes needed, %zu found", total, done);
        }
    }
}

void write_records(FILE *f, const void *buf, size_t size, size_t count, const char *name)
{
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    size_t total = size * count;
    size_t done = 0;
    while (done < total) {
        size_t want = total - done < block_bytes ? total - done : block_bytes;
        errno = 0;
        if (fwrite(p + done, 1, want, f) != want)
            fail_errno(name);
        done += want;
    }
}

void pread_exact(FILE *f, void *buf, size_t bytes, uint64_t offset, const char *name)
{
    unsigned char *p = static_cast<unsigned char *>(buf);
    size_t done = 0;
    int fd = fileno(f);
    while (done < bytes) {
        errno = 0;
        ssize_t got = pread(fd, p + done, bytes - done, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail_errno(name);
        }
        if (got == 0) {
            failf(name, "unexpected end of file: no record at byte offset %llu",
                  (unsigned long long)(offset + done));
        }
        done += size_t(got);
    }
}

void close_output(FILE *f, const char *name)
{
    errno = 0;
    bool bad = fflush(f) != 0 || ferror(f);
    int saved = errno;
    if (fclose(f) != 0 && !bad) {
        bad = true;
        saved = errno;
    }
    if (bad) {
        errno = saved;
        fail_errno(name);
    }
}

void close_input(FILE *f, const char *name)
{
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad)
        fail(name, "read error");
}

void reader_init(record_reader *r, FILE *f, const char *name, size_t record_size,
                 size_t capacity)
{
    r->file = f;
    r->name = name;
    r->record_size = record_size;
    r->capacity = capacity ? capacity : 1;
    r->buf = static_cast<unsigned char *>(alloc_or_fail(record_size * r->capacity, name));
    r->filled = 0;
    r->next = 0;
}

void reader_refill(record_reader *r)
{
    errno = 0;
    size_t got = fread(r->buf, r->record_size, r->capacity, r->file);
    if (got == 0) {
        if (ferror(r->file))
            fail_errno(r->name);
        fail(r->name, "unexpected end of file");
    }
    r->filled = got;
    r->next = 0;
}

void reader_free(record_reader *r)
{
    free(r->buf);
    r->buf = nullptr;
}

void writer_init(block_writer *w, FILE *f, const char *name)
{
    w->file = f;
    w->name = name;
    w->capacity = block_bytes;
    w->buf = static_cast<unsigned char *>(alloc_or_fail(block_bytes, name));
    w->used = 0;
}

void writer_flush(block_writer *w)
{
    if (w->used == 0)
        return;
    errno = 0;
    if (fwrite(w->buf, 1, w->used, w->file) != w->used)
        fail_errno(w->name);
    w->used = 0;
}

void writer_free(block_writer *w)
{
    free(w->buf);
    w->buf = nullptr;
}
