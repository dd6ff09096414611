// learn_optimal_network: the folders of a run.  OUTDIR is locked for the
// run (flock on the folder itself, so no lock file is left behind); the
// stages work in a folder of the run's own, made with mkdtemp inside OUTDIR;
// every file operation in it goes through its descriptor, so a link put
// there is never followed.  The results replace same-named files in OUTDIR
// only when every stage has succeeded; a run that fails removes its folder
// and leaves OUTDIR as it was.
#include "run_folder.h"

#include "processes.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char *const result_names[nof_result_names] = {
    "averaged.svg", "averaged.dot", "averaged.txt", "bootstrap.csv", "network.png",
    "network.svg",  "network.dot",  "network.xml",  "network.bif",   "posterior.csv",
    "arcs.csv",     "arcs.txt",     "parents.txt",  "network.txt"};

run_state run;

namespace {

// Removes every file of the run's folder, then the folder.  Only the run
// and its stages write there (the folder is the run's, mode 0700).
void remove_run_folder()
{
    if (run.work_fd < 0)
        return;
    int fd = dup(run.work_fd);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d) {
        std::vector<std::string> names;
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
        for (const auto &name : names)
            unlinkat(run.work_fd, name.c_str(), 0);
    } else if (fd >= 0) {
        close(fd);
    }
    close(run.work_fd);
    run.work_fd = -1;
    unlinkat(run.out_fd, run.work_name.c_str(), AT_REMOVEDIR);
}

void clean_up_failed_run()
{
    remove_run_folder();
    if (run.created_out_dir)
        rmdir(run.out_dir.c_str());
}

void end_line()
{
    if (run.line_open)
        fputc('\n', stderr);
    run.line_open = false;
}

struct input_file {
    std::string path;
    const char *what;
    dev_t dev;
    ino_t ino;
};

// Creates dir and its missing parents; true when this call created dir.
bool make_dirs(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            stop(2, dir, "not a directory");
        return false;
    }
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        make_dirs(dir.substr(0, slash));
    if (mkdir(dir.c_str(), 0777) != 0) {
        if (errno == EEXIST)
            return false; // another run made it just now
        stop(2, dir, strerror(errno));
    }
    return true;
}

// A result name already in OUTDIR must be a regular file that is none of
// the inputs: it is replaced at the end.
void check_result_names(const std::vector<input_file> &inputs)
{
    for (const char *name : result_names) {
        struct stat st;
        if (fstatat(run.out_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            stop(2, run.out_dir + "/" + name, strerror(errno));
        }
        if (!S_ISREG(st.st_mode))
            stop(2, run.out_dir + "/" + name,
                 "is not a regular file; a result would replace it (nothing done)");
        for (const auto &in : inputs)
            if (in.dev == st.st_dev && in.ino == st.st_ino)
                stop(2, run.out_dir + "/" + name,
                     std::string("is ") + in.what + " of this run; a result would replace it "
                                                    "(nothing done)");
    }
}

} // namespace

[[noreturn]] void stop(int status, const std::string &file, const std::string &reason)
{
    end_line();
    fprintf(stderr, "%s: %s: %s\n", program, file.c_str(), reason.c_str());
    clean_up_failed_run();
    exit(status);
}

[[noreturn]] void stop_quietly(int status)
{
    end_line();
    clean_up_failed_run();
    exit(status);
}

[[noreturn]] void stop_on_signal(int sig, const char *stage)
{
    end_line();
    // Said even with --quiet: it is the only word on why the run stopped.
    fprintf(stderr, "%s: interrupted (%s)%s%s; no result kept\n", program,
            sig == SIGINT ? "SIGINT" : "SIGTERM", stage ? " during " : "", stage ? stage : "");
    clean_up_failed_run();
    exit(128 + sig);
}

void open_run_folder(const options &opt)
{
    std::vector<input_file> inputs;
    auto add_input = [&](const std::string &path, const char *what) {
        if (path.empty() || path == "-")
            return;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            stop(2, path, strerror(errno));
        if (S_ISDIR(st.st_mode))
            stop(2, path, "is a directory");
        inputs.push_back({path, what, st.st_dev, st.st_ino});
    };
    add_input(opt.data, "DATA");
    add_input(opt.forbid, "the --forbid file");
    add_input(opt.require, "the --require file");

    run.out_dir = opt.outdir;
    while (run.out_dir.size() > 1 && run.out_dir.back() == '/')
        run.out_dir.pop_back();
    if (run.out_dir[0] == '-')
        run.out_dir = "./" + run.out_dir; // never taken for an option by a stage
    bool created = make_dirs(run.out_dir);
    run.out_fd = open(run.out_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (run.out_fd < 0)
        stop(2, run.out_dir, strerror(errno));
    if (flock(run.out_fd, LOCK_EX | LOCK_NB) != 0)
        stop(2, run.out_dir, errno == EWOULDBLOCK
                                 ? "another learn_optimal_network run is writing into this "
                                   "folder; nothing done"
                                 : strerror(errno));
    run.created_out_dir = created;
    check_result_names(inputs);

    std::string pattern = run.out_dir + "/.run-XXXXXX";
    if (!mkdtemp(pattern.data()))
        stop(2, run.out_dir, strerror(errno));
    run.work_dir = pattern;
    run.work_name = pattern.substr(pattern.find_last_of('/') + 1);
    run.work_fd = openat(run.out_fd, run.work_name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (run.work_fd < 0) {
        int e = errno;
        unlinkat(run.out_fd, run.work_name.c_str(), AT_REMOVEDIR);
        stop(2, run.work_dir, strerror(e));
    }
}

std::string readable_copy(const std::string &path, const char *copy_name)
{
    struct stat st;
    if (path != "-") {
        if (stat(path.c_str(), &st) != 0)
            stop(2, path, strerror(errno));
        if (S_ISREG(st.st_mode))
            return path[0] == '-' ? "./" + path : path; // never read as an option
    }
    int in = path == "-" ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string shown = path == "-" ? "standard input" : path;
    if (in < 0 && signal_received())
        stop_on_signal(signal_received(), nullptr);
    if (in < 0)
        stop(2, shown, strerror(errno));
    std::string copy = run.work_dir + "/" + copy_name;
    int out = openat(run.work_fd, copy_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0600);
    if (out < 0)
        stop(2, copy, strerror(errno));
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t got = read(in, buf.data(), buf.size());
        if (signal_received())
            stop_on_signal(signal_received(), nullptr);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            stop(2, shown, strerror(errno));
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(out, buf.data() + done, size_t(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                stop(2, copy, strerror(errno));
            done += put;
        }
    }
    if (close(out) != 0)
        stop(2, copy, strerror(errno));
    if (in != 0)
        close(in);
    return copy;
}

void remove_work_file(const std::string &name)
{
    if (unlinkat(run.work_fd, name.c_str(), 0) != 0 && errno != ENOENT)
        stop(2, run.work_dir + "/" + name, strerror(errno));
}

std::string publish_results(bool keep)
{
    // A signal now waits until every result is in place.
    hold_signals();
    if (signal_received())
        stop_on_signal(signal_received(), nullptr);
    check_result_names({});
    for (const char *name : result_names) {
        struct stat st;
        if (fstatat(run.work_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // the pictures when there is no dot
        if (renameat(run.work_fd, name, run.out_fd, name) != 0)
            stop(2, run.out_dir + "/" + name, strerror(errno));
    }
    if (keep) {
        if (renameat2(run.out_fd, run.work_name.c_str(), run.out_fd, "work", RENAME_NOREPLACE) ==
            0) {
            close(run.work_fd);
            run.work_fd = -1;
            return run.out_dir + "/work";
        }
        close(run.work_fd);
        run.work_fd = -1;
        return run.work_dir;
    }
    remove_run_folder();
    return "";
}
