// Helpers shared by the program-level tests: scratch folders, byte files,
// running a built program with its output captured, and the search chain.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// Runs the executable at path with the given arguments (each quoted), with
// standard input from stdin_file (or /dev/null) and outputs captured.
inline result run_path(const std::string &path, const std::vector<std::string> &args,
                       const std::string &stdin_file = "/dev/null")
{
    static int counter = 0;
    std::string base = std::string(TEST_TMP) + "/run." + std::to_string(getpid()) + "." +
                       std::to_string(counter++);
    std::string cmd = shell_quote(path);
    for (const auto &a : args) {
        cmd += ' ';
        cmd += shell_quote(a);
    }
    cmd += " <";
    cmd += shell_quote(stdin_file);
    cmd += " >";
    cmd += shell_quote(base + ".out");
    cmd += " 2>";
    cmd += shell_quote(base + ".err");
    int raw = std::system(cmd.c_str());
    result r;
    if (WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    else if (WIFSIGNALED(raw))
        r.status = 128 + WTERMSIG(raw);
    else
        r.status = -1;
    r.out = read_file(base + ".out");
    r.err = read_file(base + ".err");
    fs::remove(base + ".out");
    fs::remove(base + ".err");
    return r;
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
