// Helpers shared by the program-level tests: scratch folders, byte files,
// and running a built program with its output captured.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
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

} // namespace testutil
