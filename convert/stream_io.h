// Checked stdio for the conversion programs, which stand alone and link
// nothing of the shared library.  Every failure prints one line
// "<program>: <file>: <reason>" to standard error and exits with status 2;
// status 1 stays reserved for a wrong argument count.
#pragma once
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace stream_io {

// Name used in failure messages; set once by main.
inline const char *program = "";

// A regular file this program created and has not finished: a failure
// removes it, so a half-written output never looks like a finished one.
// Devices and pipes (/dev/full, standard output) are never removed.
inline std::string partial_output;

// Called first in main: a write beyond the file-size limit then fails with
// EFBIG and is reported, instead of SIGXFSZ killing the program silently.
inline void ignore_file_size_signal()
{
    signal(SIGXFSZ, SIG_IGN);
}

[[noreturn]] inline void fail(const char *file, const char *reason)
{
    if (!partial_output.empty())
        unlink(partial_output.c_str());
    fprintf(stderr, "%s: %s: %s\n", program, file, reason);
    exit(2);
}

// fail() with the reason of err, or "input/output error" when err is 0.
[[noreturn]] inline void fail_errno(const char *file, int err)
{
    fail(file, err != 0 ? strerror(err) : "input/output error");
}

inline bool is_dash(const char *name)
{
    return name[0] == '-' && name[1] == '\0';
}

// The name a failure message gives a stream; "-" means a standard stream
// only where the caller allows it.
inline const char *input_name(const char *name, bool dash_allowed)
{
    return dash_allowed && is_dash(name) ? "standard input" : name;
}

inline const char *output_name(const char *name)
{
    return is_dash(name) ? "standard output" : name;
}

// Opens an input with mode "r"; "-" is standard input when dash_allowed.
inline FILE *open_input(const char *name, bool dash_allowed)
{
    if (dash_allowed && is_dash(name))
        return stdin;
    FILE *f = fopen(name, "r");
    if (f == nullptr)
        fail_errno(name, errno);
    return f;
}

// Creates (or truncates) an output with mode "w"; "-" is standard output.
inline FILE *open_output(const char *name)
{
    if (is_dash(name))
        return stdout;
    FILE *f = fopen(name, "w");
    if (f == nullptr)
        fail_errno(name, errno);
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode))
        partial_output = name;
    return f;
}

// Called after every record written: stops at the first write error
// instead of converting the rest of the input for nothing.
inline void check_output(FILE *f, const char *name)
{
    if (ferror(f))
        fail_errno(name, errno);
}

// Called when a reading loop has ended: the end of the input is quiet,
// a read error is not.
inline void check_input(FILE *f, const char *name)
{
    if (ferror(f))
        fail_errno(name, errno);
}

// Flushes and closes an output; status 0 only when every byte was written.
inline void close_output(FILE *f, const char *name)
{
    errno = 0;
    if (fflush(f) != 0 || ferror(f)) {
        int err = errno;
        fclose(f);
        fail_errno(name, err);
    }
    if (fclose(f) != 0)
        fail_errno(name, errno);
    partial_output.clear();
}

inline void close_input(FILE *f, const char *name)
{
    check_input(f, name);
    if (fclose(f) != 0)
        fail_errno(name, errno);
}

} // namespace stream_io
