// Helpers shared by the program-level tests: scratch folders, byte files,
// running a built program with its output captured or in the background,
// and the search chain.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testutil {

namespace fs = std::filesystem;

// A fresh, empty folder named after the running test.
inline std::string scratch_dir()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/')
            c = '_';
    fs::path dir = fs::path(TEST_TMP) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

inline std::string bin(const std::string &program)
{
    return std::string(BIN_DIR) + "/" + program;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

template <typename T> std::string bytes_of(const std::vector<T> &values)
{
    std::string s(values.size() * sizeof(T), '\0');
    if (!values.empty())
        memcpy(s.data(), values.data(), s.size());
    return s;
}

template <typename T> std::vector<T> values_of(const std::string &bytes)
{
    std::vector<T> v(bytes.size() / sizeof(T));
    if (!v.empty())
        memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
    return v;
}

inline void write_doubles(const std::string &path, const std::vector<double> &v)
{
    write_file(path, bytes_of(v));
}

inline std::vector<double> read_doubles(const std::string &path)
{
    return values_of<double>(read_file(path));
}

inline std::vector<uint32_t> read_u32(const std::string &path)
{
    return values_of<uint32_t>(read_file(path));
}

// The files directly in dir, by name, with their contents (links left out).
inline std::map<std::string, std::string> files_of(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::directory_iterator(dir))
        if (!e.is_symlink())
            files[e.path().filename().string()] = read_file(e.path().string());
    return files;
}

// The values of a network file, one parent varset per variable.
inline std::vector<uint32_t> read_network(const std::string &path)
{
    std::istringstream in(read_file(path));
    std::vector<uint32_t> parents;
    for (uint32_t v; in >> v;)
        parents.push_back(v);
    return parents;
}

inline std::string shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

struct result {
    int status;          // exit status, or 128 + signal
    std::string out;     // standard output
    std::string err;     // standard error
};

struct run_options {
    std::string stdin_file = "/dev/null";
    std::string stdout_file;      // empty: captured (run_path), discarded (start_path)
    long long fsize_limit = -1;   // RLIMIT_FSIZE in bytes; -1: none
    std::string stderr_file;      // as stdout_file, for standard error
    std::vector<std::pair<std::string, std::string>> env;   // set in the child
    bool own_group = false;       // the child leads a process group of its own
};

// Options that send standard output into file.
inline run_options stdout_to(const std::string &file)
{
    run_options opt;
    opt.stdout_file = file;
    return opt;
}

// The status a shell would give a wait status: the exit status, or 128 +
// the signal that ended the process.
inline int exit_code(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

// The child's side of the one process runner: standard input from
// opt.stdin_file, output and error into their files or else onto out_fd
// and err_fd (-1: /dev/null), the environment, group and file-size limit
// of opt, then the executable at path with the arguments (no shell
// between).
[[noreturn]] inline void exec_child(const std::string &path, const std::vector<std::string> &args,
                                    const run_options &opt, int out_fd, int err_fd)
{
    if (opt.own_group)
        setpgid(0, 0);
    for (const auto &[name, value] : opt.env)
        setenv(name.c_str(), value.c_str(), 1);
    auto output = [](const std::string &file, int fd) {
        if (!file.empty())
            return open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        return fd >= 0 ? fd : open("/dev/null", O_WRONLY);
    };
    int in_fd = open(opt.stdin_file.c_str(), O_RDONLY);
    out_fd = output(opt.stdout_file, out_fd);
    err_fd = output(opt.stderr_file, err_fd);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0)
        _exit(126);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (opt.fsize_limit >= 0) {
        rlimit lim = {rlim_t(opt.fsize_limit), rlim_t(opt.fsize_limit)};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
            _exit(126);
    }
    std::vector<char *> argv = {const_cast<char *>(path.c_str())};
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
}

// The one process runner of the tests: runs the executable at path to its
// end with standard output and error captured through pipes (unless opt
// names files for them), which no file-size limit cuts; the limit is set
// in the child just before exec.
inline result run_path(const std::string &path, const std::vector<std::string> &args,
                       const run_options &opt)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return {-1, "", std::string("pipe: ") + strerror(errno)};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_child(path, args, opt, out_pipe[1], err_pipe[1]);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    result r;
    std::string *into[2] = {&r.out, &r.err};
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_pipes = 2;
    while (open_pipes > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0)
                continue;
            char buf[65536];
            ssize_t got = read(fds[k].fd, buf, sizeof buf);
            if (got > 0) {
                into[k]->append(buf, size_t(got));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open_pipes;
            }
        }
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    r.status = exit_code(raw);
    return r;
}

// The same runner for a process left running in the background, to be
// signalled or waited for: its output and error go to the files opt names,
// else to /dev/null.  Returns its process id.
inline pid_t start_path(const std::string &path, const std::vector<std::string> &args,
                        const run_options &opt = {})
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(path, args, opt, -1, -1);
    if (opt.own_group)
        setpgid(pid, pid);   // in the parent too, so a signal sent at once reaches the group
    return pid;
}

enum class waited { ready, ended, timed_out };

// Waits for the background process pid until ready() holds, the process
// ends (its wait status into *raw), or seconds have passed.
inline waited wait_until(pid_t pid, const std::function<bool()> &ready, int seconds,
                         int *raw = nullptr)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (ready())
            return waited::ready;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (raw != nullptr)
                *raw = status;
            return waited::ended;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(seconds))
            return waited::timed_out;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A program of the suite, with options.
inline result run_with(const std::string &program, const std::vector<std::string> &args,
                       const run_options &opt)
{
    return run_path(bin(program), args, opt);
}

// The executable at path with standard input from stdin_file.
inline result run_path(const std::string &path, const std::vector<std::string> &args,
                       const std::string &stdin_file = "/dev/null")
{
    run_options opt;
    opt.stdin_file = stdin_file;
    return run_path(path, args, opt);
}

// run_path for a program of the suite.
inline result run(const std::string &program, const std::vector<std::string> &args,
                  const std::string &stdin_file = "/dev/null")
{
    return run_path(bin(program), args, stdin_file);
}

// Runs the search on the score directory dir: find_top_families,
// solve_leaf_table, trace_leaf_sequence and assemble_optimal_graph, after
// scatter_family_values and flip_family_files when from_table (the score
// table dir/res).  The sink, order and network files are dir/sink, dir/<ord>
// and dir/<net>.  Every stage must exit 0 and print nothing; returns the
// values of the network file, one parent varset per variable.
inline std::vector<uint32_t> run_search(int n, const std::string &dir, bool from_table = false,
                                        const std::string &ord = "ord",
                                        const std::string &net = "net")
{
    const std::string N = std::to_string(n);
    const std::string sink = dir + "/sink", order = dir + "/" + ord, network = dir + "/" + net;
    std::vector<std::vector<std::string>> stages;
    if (from_table)
        stages = {{"scatter_family_values", N, dir}, {"flip_family_files", N, dir}};
    stages.push_back({"find_top_families", N, dir});
    stages.push_back({"solve_leaf_table", N, dir, sink});
    stages.push_back({"trace_leaf_sequence", N, sink, order});
    stages.push_back({"assemble_optimal_graph", N, dir, order, network});
    for (const auto &stage : stages) {
        result r = run(stage[0], std::vector<std::string>(stage.begin() + 1, stage.end()));
        EXPECT_EQ(r.status, 0) << stage[0] << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "") << stage[0];
    }
    std::vector<uint32_t> parents = read_network(network);
    EXPECT_EQ(parents.size(), size_t(n > 0 ? n : 0)) << network;
    return parents;
}

} // namespace testutil
