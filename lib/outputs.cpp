// Inputs kept apart from outputs, and the registry of unfinished outputs
// (outputs.h).
#include "outputs.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "checked_io.h"
#include "files.h"

namespace {

struct file_id {
    dev_t dev;
    ino_t ino;
};

struct input_entry {
    file_id id;
    char *name;
};

input_entry *inputs = nullptr;
size_t nof_inputs = 0;

// The registry is a list that only grows: a node is filled in before it is
// linked, and never moves or is freed, so a failure on another thread or in
// a signal handler can walk it at any moment.
struct output_entry {
    char *path;                  // where the output ends up
    char *written;               // the name it is written under (path, or a staged name)
    file_id id;
    std::atomic<bool> live;      // removed on failure
    std::atomic<bool> in_place;  // a staged output already renamed onto path
    std::atomic<output_entry *> next;
};

std::atomic<output_entry *> first_output{nullptr};
std::atomic<output_entry *> *last_link = &first_output; // where the next node is linked

char *copy_or_fail(const char *s)
{
    char *copy = strdup(s);
    if (copy == nullptr)
        fail(s, "out of memory");
    return copy;
}

template <typename T> T *grow_or_fail(T *array, size_t count)
{
    T *grown = static_cast<T *>(realloc(array, (count + 1) * sizeof(T)));
    if (grown == nullptr)
        fail("output registry", "out of memory");
    return grown;
}

void add_input(const struct stat &st, const char *name)
{
    input_entry entry{{st.st_dev, st.st_ino}, copy_or_fail(name)};
    inputs = grow_or_fail(inputs, nof_inputs);
    inputs[nof_inputs++] = entry;
}

void add_output(const char *path, const char *written, const struct stat &st)
{
    auto *e = new (std::nothrow) output_entry{copy_or_fail(path), copy_or_fail(written),
                                               {st.st_dev, st.st_ino}, {true}, {false}, {nullptr}};
    if (e == nullptr)
        fail(path, "out of memory");
    last_link->store(e);
    last_link = &e->next;
}

} // namespace

void note_input(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0)
        add_input(st, path);
}

void note_input_stream(FILE *f, const char *name)
{
    struct stat st;
    if (fstat(fileno(f), &st) == 0)
        add_input(st, name);
}

void refuse_input_as_output(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return;
    for (size_t k = 0; k < nof_inputs; ++k)
        if (inputs[k].id.dev == st.st_dev && inputs[k].id.ino == st.st_ino) {
            std::string reason = std::string("is the same file as the input ") + inputs[k].name;
            fail(path, reason.c_str());
        }
}

namespace {

template <typename F> void for_numbered(int n, const char *dir, const char *ext, F f)
{
    for (int i = 0; i < n; ++i) {
        char *name = create_fn(dir, i, ext);
        if (name == nullptr)
            fail(dir, "out of memory");
        f(name);
        free(name);
    }
}

} // namespace

void note_numbered_inputs(int n, const char *dir, const char *ext)
{
    for_numbered(n, dir, ext, note_input);
}

void refuse_numbered_outputs(int n, const char *dir, const char *ext)
{
    for_numbered(n, dir, ext, refuse_input_as_output);
}

FILE *open_output(const char *path, const char *mode)
{
    FILE *f = fopen_checked(path, mode);
    register_output(path, fileno(f));
    return f;
}

FILE *open_output_staged(const char *path, const char *mode)
{
    std::string staged = std::string(path) + "." + std::to_string(getpid()) + ".part";
    errno = 0;
    int fd = open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    struct stat st;
    // A regular file of this name was left by a process that had our pid
    // and was killed before it could clean up: no live process owns it.
    // Anything else of this name (a link, a pipe) is left alone.
    if (fd < 0 && errno == EEXIST && lstat(staged.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        unlink(staged.c_str()) == 0) {
        errno = 0;
        fd = open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        fail_errno(staged.c_str());
    if (fstat(fd, &st) != 0) {
        int saved = errno;
        unlink(staged.c_str());
        errno = saved;
        fail_errno(staged.c_str());
    }
    add_output(path, staged.c_str(), st);
    errno = 0;
    FILE *f = fdopen(fd, mode);
    if (f == nullptr) {
        close(fd);
        fail_errno(staged.c_str());
    }
    return f;
}

void register_output(const char *path, int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        add_output(path, path, st);
}

namespace {

// The name a registered output has on disk now.
const char *name_on_disk(const output_entry *e)
{
    return e->in_place.load() ? e->path : e->written;
}

// Renames a staged output onto its path; it stays registered, so that a
// later failure removes it under its new name.
void put_in_place(output_entry *e)
{
    if (!e->live.load() || e->in_place.load() || strcmp(e->path, e->written) == 0)
        return;
    errno = 0;
    if (rename(e->written, e->path) != 0)
        fail_errno(e->path);
    e->in_place.store(true);
}

} // namespace

void commit_output(const char *path)
{
    output_entry *found = nullptr;
    for (output_entry *e = first_output.load(); e != nullptr; e = e->next.load())
        if (e->live.load() && strcmp(e->path, path) == 0)
            found = e;
    if (found == nullptr)
        return;
    put_in_place(found);
    found->live.store(false);
}

void commit_outputs()
{
    // Every output goes into place before any is kept: a rename that fails
    // removes the ones already renamed too, so that no part of the results
    // looks finished.
    for (output_entry *e = first_output.load(); e != nullptr; e = e->next.load())
        put_in_place(e);
    for (output_entry *e = first_output.load(); e != nullptr; e = e->next.load())
        e->live.store(false);
}

void remove_outputs()
{
    for (output_entry *e = first_output.load(); e != nullptr; e = e->next.load()) {
        if (!e->live.exchange(false))
            continue;
        const char *name = name_on_disk(e);
        struct stat st;
        if (lstat(name, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == e->id.dev &&
            st.st_ino == e->id.ino)
            unlink(name);
    }
}

namespace {

void remove_outputs_and_die(int sig)
{
    remove_outputs();
    // The handler was reset on entry: raised again, the signal ends the
    // process as it would have without the handler, once this returns.
    raise(sig);
}

} // namespace

void remove_outputs_on_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = remove_outputs_and_die;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old;
        // A signal ignored by whoever started the program stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}
