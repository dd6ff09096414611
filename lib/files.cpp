#include "files.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

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
    // Two threads failing at once (a full disk under both halves of a
    // write): the first one reports and exits, the second waits for that.
    static std::atomic<bool> failing{false};
    if (failing.exchange(true))
        for (;;)
            pause();
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

// ---- mapped inputs ----------------------------------------------------

namespace {

constexpr int max_mappings = 64;
constexpr uint64_t release_step = 1u << 19;
mapped_input *mappings[max_mappings];
int nof_mappings = 0;

void write_all(int fd, const char *s)
{
    size_t len = strlen(s);
    while (len > 0) {
        ssize_t put = write(fd, s, len);
        if (put <= 0)
            return;
        s += put;
        len -= size_t(put);
    }
}

// A page of a mapped input beyond its end: the file was truncated while the
// program read it.  Only async-signal-safe calls here.
void on_bus_error(int, siginfo_t *info, void *)
{
    const char *name = "input";
    const unsigned char *at = static_cast<const unsigned char *>(info->si_addr);
    for (int k = 0; k < nof_mappings; ++k) {
        const mapped_input *m = mappings[k];
        if (m != nullptr && at >= m->base && at < m->base + m->bytes)
            name = m->name;
    }
    write_all(2, program_name);
    write_all(2, ": ");
    write_all(2, name);
    write_all(2, ": file shrank while being read\n");
    struct stat st;
    if (partial_output != nullptr && lstat(partial_output, &st) == 0 && S_ISREG(st.st_mode))
        unlink(partial_output);
    _exit(2);
}

} // namespace

bool map_input(mapped_input *m, FILE *f, uint64_t bytes, const char *name)
{
    return map_input_range(m, f, 0, bytes, name);
}

bool map_input_range(mapped_input *m, FILE *f, uint64_t offset, uint64_t bytes,
                     const char *name)
{
    m->base = nullptr;
    m->bytes = bytes;
    m->released = 0;
    m->step = release_step;
    m->name = name;
    struct stat st;
    int fd = fileno(f);
    int slot = 0;
    while (slot < nof_mappings && mappings[slot] != nullptr)
        ++slot;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || slot == max_mappings)
        return false;
    check_input_size(f, offset + bytes, name);
    if (bytes == 0)
        return false;
    void *p = mmap(nullptr, size_t(bytes), PROT_READ, MAP_SHARED, fd, off_t(offset));
    if (p == MAP_FAILED)
        return false;
    static bool handler_installed = false;
    if (!handler_installed) {
        handler_installed = true;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = on_bus_error;
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGBUS, &sa, nullptr);
    }
    m->base = static_cast<const unsigned char *>(p);
    mappings[slot] = m;
    if (slot == nof_mappings)
        ++nof_mappings;
    return true;
}

void mapped_release(mapped_input *m, uint64_t upto)
{
    if (upto < m->released + m->step)
        return;
    uint64_t end = upto & ~(m->step - 1);
    madvise(const_cast<unsigned char *>(m->base) + m->released, size_t(end - m->released), MADV_DONTNEED);
    m->released = end;
}

void unmap_input(mapped_input *m)
{
    if (m->base == nullptr)
        return;
    munmap(const_cast<unsigned char *>(m->base), size_t(m->bytes));
    for (int k = 0; k < nof_mappings; ++k)
        if (mappings[k] == m)
            mappings[k] = nullptr;
    m->base = nullptr;
}

// ---- write queue --------------------------------------------------------

struct write_queue {
    struct job {
        FILE *file;
        const char *name;
        unsigned char *buf;
        size_t len;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::deque<job> jobs;
    std::vector<unsigned char *> free_buffers;
    std::vector<unsigned char *> all_buffers;
    bool stopping = false;
    std::thread worker;
};

namespace {

void queue_run(write_queue *q)
{
    std::unique_lock<std::mutex> hold(q->lock);
    for (;;) {
        q->changed.wait(hold, [q] { return !q->jobs.empty() || q->stopping; });
        if (q->jobs.empty())
            return;
        write_queue::job j = q->jobs.front();
        q->jobs.pop_front();
        hold.unlock();
        errno = 0;
        if (fwrite(j.buf, 1, j.len, j.file) != j.len)
            fail_errno(j.name);
        hold.lock();
        q->free_buffers.push_back(j.buf);
        q->changed.notify_all();
    }
}

} // namespace

write_queue *queue_start(size_t nof_buffers, size_t buffer_bytes)
{
    write_queue *q = new write_queue;
    for (size_t k = 0; k < nof_buffers; ++k) {
        unsigned char *buf = static_cast<unsigned char *>(alloc_or_fail(buffer_bytes, "output buffers"));
        q->all_buffers.push_back(buf);
        q->free_buffers.push_back(buf);
    }
    q->worker = std::thread(queue_run, q);
    return q;
}

unsigned char *queue_buffer(write_queue *q)
{
    std::unique_lock<std::mutex> hold(q->lock);
    q->changed.wait(hold, [q] { return !q->free_buffers.empty(); });
    unsigned char *buf = q->free_buffers.back();
    q->free_buffers.pop_back();
    return buf;
}

void queue_write(write_queue *q, FILE *f, const char *name, unsigned char *buf, size_t len)
{
    std::lock_guard<std::mutex> hold(q->lock);
    q->jobs.push_back(write_queue::job{f, name, buf, len});
    q->changed.notify_all();
}

void queue_release(write_queue *q, unsigned char *buf)
{
    std::lock_guard<std::mutex> hold(q->lock);
    q->free_buffers.push_back(buf);
    q->changed.notify_all();
}

void queue_finish(write_queue *q)
{
    {
        std::lock_guard<std::mutex> hold(q->lock);
        q->stopping = true;
        q->changed.notify_all();
    }
    q->worker.join();
    for (unsigned char *buf : q->all_buffers)
        free(buf);
    delete q;
}
