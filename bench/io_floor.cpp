// The I/O floor of a stage: reads the bytes it must read and writes the
// bytes it must write, with no computation in between.
//
//   io_floor [--warm] [-r FILE | -l LIST | -w BYTES FILE]...
//
// -r reads FILE to its end, -l reads LIST and every file named in it (white
// space separated), -w creates FILE and writes BYTES zero bytes into it.
// Reads and writes go straight to the system in blocks of 256 KiB, in the
// order given.
//
// --warm: the warm floor.  Every file to be read is read once untimed, so
// that all of it sits in the page cache, then the whole list runs as above
// and its seconds (wall clock, this pass only) and processor seconds (user
// + system) are printed on standard output as "<seconds> <cpu seconds>\n".
// Process start and the untimed pass do not count.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "files.h"

namespace {

constexpr size_t block_bytes = 256 * 1024;
std::vector<char> block(block_bytes);

// Reads the whole file; its text is kept when keep is set.
void read_whole(const char *path, std::string *keep)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        fail_errno(path);
    for (;;) {
        ssize_t got = read(fd, block.data(), block.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail_errno(path);
        }
        if (got == 0)
            break;
        if (keep)
            keep->append(block.data(), size_t(got));
    }
    if (close(fd) != 0)
        fail_errno(path);
}

void write_zeros(const char *path, unsigned long long bytes)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        fail_errno(path);
    while (bytes > 0) {
        size_t part = bytes < block.size() ? size_t(bytes) : block.size();
        ssize_t put = write(fd, block.data(), part);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            fail_errno(path);
        }
        bytes -= (unsigned long long)put;
    }
    if (close(fd) != 0)
        fail_errno(path);
}

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double cpu_now()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// One pass over the operations argv[first, argc); with reads_only the
// writes are skipped (the warm-up pass).
void run_pass(int first, int argc, char **argv, bool reads_only)
{
    for (int a = first; a < argc; ++a) {
        if (strcmp(argv[a], "-r") == 0 && a + 1 < argc) {
            read_whole(argv[++a], nullptr);
        } else if (strcmp(argv[a], "-l") == 0 && a + 1 < argc) {
            std::string list;
            read_whole(argv[++a], &list);
            size_t at = 0;
            while ((at = list.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
                size_t end = list.find_first_of(" \t\r\n", at);
                std::string path = list.substr(at, end == std::string::npos ? end : end - at);
                read_whole(path.c_str(), nullptr);
                at = end;
            }
        } else if (strcmp(argv[a], "-w") == 0 && a + 2 < argc) {
            char *end;
            errno = 0;
            unsigned long long bytes = strtoull(argv[a + 1], &end, 10);
            if (*end != '\0' || errno != 0 || argv[a + 1][0] == '-')
                fail(argv[a + 1], "not a byte count");
            if (!reads_only) {
                memset(block.data(), 0, block.size());
                write_zeros(argv[a + 2], bytes);
            }
            a += 2;
        } else {
            fail(argv[a], "expected -r FILE, -l LIST or -w BYTES FILE");
        }
    }
}

void io_floor(int argc, char **argv)
{
    if (strcmp(argv[1], "--warm") != 0) {
        run_pass(1, argc, argv, false);
        return;
    }
    run_pass(2, argc, argv, true);
    const double start = now(), cpu_start = cpu_now();
    run_pass(2, argc, argv, false);
    const double seconds = now() - start, cpu = cpu_now() - cpu_start;
    if (printf("%.6f %.6f\n", seconds, cpu) < 0 || fflush(stdout) != 0)
        fail_errno("standard output");
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "io_floor";
    if (argc < 2) {
        fputs("Usage: io_floor [--warm] [-r FILE | -l LIST | -w BYTES FILE]...\n", stderr);
        return 1;
    }
    io_floor(argc, argv);
    return 0;
}
