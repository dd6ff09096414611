// Failures and checked stdio (checked_io.h).
#include "checked_io.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "outputs.h"

const char *program_name = "suite";

namespace {
constexpr size_t block_bytes = 256 * 1024;
}

void ignore_file_size_signal()
{
    signal(SIGXFSZ, SIG_IGN);
}

void fail(const char *file, const char *reason)
{
    // Two threads failing at once (a full disk under both halves of a
    // write): the first one reports and exits, the second waits for that.
    static std::atomic<bool> failing{false};
    if (failing.exchange(true))
        for (;;)
            pause();
    fprintf(stderr, "%s: %s: %s\n", program_name, file, reason);
    remove_outputs();
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

void *alloc_or_fail(size_t bytes, const char *what)
{
    void *p = malloc(bytes ? bytes : 1);
    if (p == nullptr)
        failf(what, "cannot allocate %zu bytes", bytes);
    return p;
}

constexpr size_t populated_from = size_t(1) << 20;

void *alloc_populated(size_t bytes, const char *what)
{
    if (bytes < populated_from)
        return alloc_or_fail(bytes, what);
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED)
        failf(what, "cannot allocate %zu bytes", bytes);
    return p;
}

void free_populated(void *p, size_t bytes)
{
    if (bytes < populated_from)
        free(p);
    else if (p != nullptr)
        munmap(p, bytes);
}

FILE *fopen_checked(const char *path, const char *mode)
{
    errno = 0;
    FILE *f = fopen(path, mode);
    if (f == nullptr)
        fail_errno(path);
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

bool is_dash(const char *name)
{
    return name[0] == '-' && name[1] == '\0';
}

const char *input_name(const char *name)
{
    return is_dash(name) ? "standard input" : name;
}

const char *output_name(const char *name)
{
    return is_dash(name) ? "standard output" : name;
}

FILE *open_input_or_stdin(const char *name, const char *mode)
{
    return is_dash(name) ? stdin : fopen_checked(name, mode);
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

void check_input_size(FILE *f, uint64_t needed, const char *name)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0)
        fail_errno(name);
    if (S_ISREG(st.st_mode) && uint64_t(st.st_size) < needed)
        failf(name, "unexpected end of file: %llu bytes needed, %llu found",
              static_cast<unsigned long long>(needed),
              static_cast<unsigned long long>(st.st_size));
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

void check_output(FILE *f, const char *name)
{
    if (ferror(f))
        fail_errno(name);
}

void check_input(FILE *f, const char *name)
{
    if (ferror(f))
        fail_errno(name);
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

std::string read_whole(FILE *f, const char *name)
{
    std::string text;
    char buf[1 << 16];
    for (;;) {
        errno = 0;
        size_t got = fread(buf, 1, sizeof buf, f);
        text.append(buf, got);
        if (got < sizeof buf) {
            if (ferror(f))
                fail_errno(name);
            break;
        }
    }
    close_input(f, name);
    return text;
}
