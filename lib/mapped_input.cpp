// Inputs read in place through a mapping, with the SIGBUS guard
// (mapped_input.h).
#include "mapped_input.h"

#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "checked_io.h"
#include "outputs.h"


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
    remove_outputs();
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

