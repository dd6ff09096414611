// Runs a command and reports its wall time, peak resident memory, processor
// time and page faults.
//
//   measure report command [argument]...
//
// Writes "<seconds> <peak KiB> <user s> <system s> <minor faults> <major
// faults>\n" to the file report and exits with the
// command's status (128 + the signal number when a signal ended it; 127 when
// it could not be started).  Standard streams are the command's own.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files.h"

namespace {

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

int measure(const char *report, char **command)
{
    FILE *out = fopen_checked(report, "w");
    double start = now();
    pid_t child = fork();
    if (child < 0)
        fail_errno("fork");
    if (child == 0) {
        execvp(command[0], command);
        fprintf(stderr, "measure: %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    int status;
    rusage usage;
    while (wait4(child, &status, 0, &usage) < 0)
        if (errno != EINTR)
            fail_errno(command[0]);
    double seconds = now() - start;
    const double user = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) * 1e-6;
    const double system = double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) * 1e-6;
    if (fprintf(out, "%.6f %ld %.6f %.6f %ld %ld\n", seconds, usage.ru_maxrss, user, system,
                usage.ru_minflt, usage.ru_majflt) < 0)
        fail_errno(report);
    close_output(out, report);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "measure";
    if (argc < 3) {
        fputs("Usage: measure report command [argument]...\n", stderr);
        return 1;
    }
    return measure(argv[1], argv + 2);
}
