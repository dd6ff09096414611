// Helpers shared by the program-level tests: scratch folders, byte files,
// running a built program with its output captured, and the search chain.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
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
    std::string stdout_file;      // empty: standard output is captured
    long long fsize_limit = -1;   // RLIMIT_FSIZE in bytes; -1: none
};

// The one process runner of the tests: runs the executable at path with
// the arguments (no shell between), standard input from opt.stdin_file, and
// standard output and error captured through pipes, which no file-size
// limit cuts; the limit is set in the child just before exec.
inline result run_path(const std::string &path, const std::vector<std::string> &args,
                       const run_options &opt)
{
    std::vector<char *> argv = {const_cast<char *>(path.c_str())};
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return {-1, "", std::string("pipe: ") + strerror(errno)};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in_fd = open(opt.stdin_file.c_str(), O_RDONLY);
        int out_fd = opt.stdout_file.empty()
                         ? out_pipe[1]
                         : open(opt.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_fd < 0 || out_fd < 0)
            _exit(126);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (opt.fsize_limit >= 0) {
            rlimit lim = {rlim_t(opt.fsize_limit), rlim_t(opt.fsize_limit)};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
                _exit(126);
        }
        execv(path.c_str(), argv.data());
        _exit(127);
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
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    return r;
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
    std::istringstream in(read_file(network));
    std::vector<uint32_t> parents;
    for (uint32_t v; in >> v;)
        parents.push_back(v);
    EXPECT_EQ(parents.size(), size_t(n > 0 ? n : 0)) << network;
    return parents;
}

} // namespace testutil
