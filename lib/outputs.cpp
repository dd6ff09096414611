#include "outputs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

struct output_entry {
    char *path;      // where the output ends up
    char *written;   // the name it is written under (path, or a staged name)
    file_id id;
    bool live;       // removed on failure
};

output_entry *outputs = nullptr;
size_t nof_outputs = 0;

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
    output_entry entry{copy_or_fail(path), copy_or_fail(written), {st.st_dev, st.st_ino}, true};
    // Filled in before it is counted: the failure path may read the array
    // at any moment.
    output_entry *grown = grow_or_fail(outputs, nof_outputs);
    grown[nof_outputs] = entry;
    outputs = grown;
    ++nof_outputs;
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
    if (fd < 0)
        fail_errno(staged.c_str());
    struct stat st;
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

void commit_entry(output_entry *e)
{
    if (!e->live)
        return;
    if (strcmp(e->path, e->written) != 0) {
        errno = 0;
        if (rename(e->written, e->path) != 0)
            fail_errno(e->path);
    }
    e->live = false;
}

} // namespace

void commit_output(const char *path)
{
    for (size_t k = nof_outputs; k-- > 0;)
        if (outputs[k].live && strcmp(outputs[k].path, path) == 0) {
            commit_entry(&outputs[k]);
            return;
        }
}

void commit_outputs()
{
    for (size_t k = 0; k < nof_outputs; ++k)
        commit_entry(&outputs[k]);
}

void remove_outputs()
{
    for (size_t k = 0; k < nof_outputs; ++k) {
        output_entry *e = &outputs[k];
        if (!e->live)
            continue;
        e->live = false;
        struct stat st;
        if (lstat(e->written, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == e->id.dev &&
            st.st_ino == e->id.ino)
            unlink(e->written);
    }
}
