// The four search programs, one stage at a time, on hand-made inputs.
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <random>
#include <unistd.h>

#include "testutil.h"

using namespace testutil;

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// Runs find_top_families on one variable's local scores (n = log2(size) + 1).
void expect_best(const std::vector<double> &scores, const std::vector<uint32_t> &bps,
                 const std::vector<double> &bss)
{
    std::string dir = scratch_dir();
    int n = 1;
    while ((size_t(1) << (n - 1)) < scores.size())
        ++n;
    for (int i = 0; i < n; ++i)
        write_doubles(dir + "/" + std::to_string(i), scores);
    auto r = run("find_top_families", {std::to_string(n), dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(read_u32(dir + "/" + std::to_string(i) + ".bps"), bps);
        auto got = read_doubles(dir + "/" + std::to_string(i) + ".bss");
        ASSERT_EQ(got.size(), bss.size());
        for (size_t k = 0; k < got.size(); ++k)
            EXPECT_TRUE(same_bits(got[k], bss[k])) << "record " << k;
    }
}

std::string sink_of(const std::vector<std::vector<double>> &bss, int *status = nullptr)
{
    std::string dir = scratch_dir();
    for (size_t v = 0; v < bss.size(); ++v)
        write_doubles(dir + "/" + std::to_string(v) + ".bss", bss[v]);
    auto r = run("solve_leaf_table", {std::to_string(bss.size()), dir, dir + "/sink"});
    if (status)
        *status = r.status;
    else
        EXPECT_EQ(r.status, 0) << r.err;
    return read_file(dir + "/sink");
}

} // namespace

TEST(FindTopFamilies, BestSubsetsAndTies)
{
    expect_best({-7.5}, {0}, {-7.5});
    expect_best({-5.0, -3.0}, {0, 1}, {-5.0, -3.0});
    expect_best({-3.0, -5.0}, {0, 0}, {-3.0, -3.0});
    // An equal score replaces: the empty set beats the set itself.
    expect_best({-4.0, -4.0}, {0, 0}, {-4.0, -4.0});
    // Record 3: removing bit 0 gives -4 (beats -8), removing bit 1 ties and wins.
    expect_best({-10, -4, -4, -8}, {0, 1, 2, 1}, {-10, -4, -4, -4});
    // Ties propagate the choice made for the subset.
    expect_best({-1, -1, -1, -1}, {0, 0, 0, 0}, {-1, -1, -1, -1});
    // -inf never wins over a finite score; +inf always does.
    const double inf = std::numeric_limits<double>::infinity();
    expect_best({-inf, -2, inf, -inf}, {0, 1, 2, 2}, {-inf, -2, inf, inf});
}

TEST(FindTopFamilies, NanNeverReplacesAndIsNeverReplaced)
{
    // Own score NaN: stays, whatever its subsets hold.
    expect_best({-5.0, nan_value}, {0, 1}, {-5.0, nan_value});
    // NaN subset: never taken.
    expect_best({nan_value, -3.0}, {0, 1}, {nan_value, -3.0});
}

TEST(FindTopFamilies, CountsOutsideTheRangeAndFailures)
{
    std::string dir = scratch_dir();
    for (const char *n : {"0", "-3"}) {
        auto r = run("find_top_families", {n, dir});
        EXPECT_EQ(r.status, 0) << n;
    }
    EXPECT_TRUE(fs::is_empty(dir));

    auto r = run("find_top_families", {"33", dir});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("find_top_families: nof_vars: "), std::string::npos) << r.err;

    r = run("find_top_families", {"2", dir});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("find_top_families: " + dir + "/0: ", 0), 0u) << r.err;

    // A short local score file: nothing is computed from the missing record.
    write_doubles(dir + "/0", {-1.0, -2.0});
    write_doubles(dir + "/1", {-1.0});
    r = run("find_top_families", {"2", dir});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("find_top_families: " + dir + "/1: unexpected end of file", 0), 0u)
        << r.err;
    EXPECT_TRUE(fs::exists(dir + "/0.bss"));
    EXPECT_FALSE(fs::exists(dir + "/1.bps"));
    EXPECT_FALSE(fs::exists(dir + "/1.bss"));
}

TEST(SolveLeafTable, SinksTiesAndSmallCounts)
{
    EXPECT_EQ(sink_of({}), std::string("\xff", 1));
    EXPECT_EQ(sink_of({{-2.0}}), std::string("\xff\x00", 2));
    // S = 3: a1 + b0 = -3 vs b1 + a0 = -3: a tie keeps the lower variable.
    EXPECT_EQ(sink_of({{-2.0, -1.0}, {-2.0, -1.0}}), std::string("\xff\x00\x01\x00", 4));
    // b1 + a0 = -2.5 > a1 + b0 = -3: variable 1 is the sink.
    EXPECT_EQ(sink_of({{-2.0, -1.0}, {-2.0, -0.5}}), std::string("\xff\x00\x01\x01", 4));
    // NaN first candidate is kept; a NaN later candidate never replaces.
    EXPECT_EQ(sink_of({{nan_value, -1.0}, {-2.0, -0.5}}), std::string("\xff\x00\x01\x00", 4));
    EXPECT_EQ(sink_of({{-2.0, -1.0}, {-2.0, nan_value}}), std::string("\xff\x00\x01\x00", 4));
}

TEST(SolveLeafTable, EveryByteIsAMemberOfItsSet)
{
    const int n = 5;
    std::vector<std::vector<double>> bss(n);
    std::mt19937 rng(3);
    for (auto &f : bss)
        for (int k = 0; k < 16; ++k)
            f.push_back(-double(rng() % 7));
    std::string sink = sink_of(bss);
    ASSERT_EQ(sink.size(), 32u);
    EXPECT_EQ((unsigned char)sink[0], 255);
    for (uint32_t s = 1; s < 32; ++s)
        EXPECT_TRUE(s & (1u << (unsigned char)sink[s])) << s;
}

TEST(SolveLeafTable, FailuresLeaveNoSinkFile)
{
    std::string dir = scratch_dir();
    write_doubles(dir + "/0.bss", {-1.0, -2.0});
    auto r = run("solve_leaf_table", {"2", dir, dir + "/sink"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "solve_leaf_table: " + dir + "/1.bss: No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir + "/sink"));

    write_doubles(dir + "/1.bss", {-1.0}); // one record short
    r = run("solve_leaf_table", {"2", dir, dir + "/sink"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("solve_leaf_table: " + dir + "/1.bss: unexpected end of file", 0), 0u)
        << r.err;
    EXPECT_FALSE(fs::exists(dir + "/sink"));

    r = run("solve_leaf_table", {"-1", dir, dir + "/sink"});
    EXPECT_EQ(r.status, 2);
    r = run("solve_leaf_table", {"40", dir, dir + "/sink"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(dir + "/sink"));

    write_doubles(dir + "/1.bss", {-1.0, -2.0});
    r = run("solve_leaf_table", {"2", dir, "/dev/full"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("/dev/full: "), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_character_file("/dev/full")); // a device is never removed
}

TEST(TraceLeafSequence, WalksBackFromTheFullSet)
{
    std::string dir = scratch_dir();
    write_file(dir + "/s1", std::string("\xff\x00", 2));
    auto r = run("trace_leaf_sequence", {"1", dir + "/s1", dir + "/o1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/o1"), "0\n");

    write_file(dir + "/s2", std::string("\xff\x00\x01\x00", 4));
    r = run("trace_leaf_sequence", {"2", dir + "/s2", dir + "/o2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/o2"), "1 0\n");

    // Four variables, order 2 0 3 1: sinks of 15, 13, 5 and 4.
    std::string s4(16, '\x07');
    s4[15] = 1;
    s4[13] = 3;
    s4[5] = 0;
    s4[4] = 2;
    write_file(dir + "/s4", s4);
    r = run("trace_leaf_sequence", {"4", dir + "/s4", dir + "/o4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/o4"), "2 0 3 1\n");

    for (const char *n : {"0", "-2"}) {
        r = run("trace_leaf_sequence", {n, dir + "/s1", dir + "/o0"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(fs::exists(dir + "/o0"));
        EXPECT_EQ(read_file(dir + "/o0"), "");
        fs::remove(dir + "/o0");
    }
}

TEST(TraceLeafSequence, BadSinkFilesAreReported)
{
    std::string dir = scratch_dir();
    // Byte 1 at offset 3, then byte 1 again at offset 1: not a member of {0}.
    write_file(dir + "/s", std::string("\xff\x01\x01\x01", 4));
    auto r = run("trace_leaf_sequence", {"2", dir + "/s", dir + "/o"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not a member"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/o"));

    // The sink file of two variables read as one of three: too short.
    write_file(dir + "/s", std::string("\xff\x00\x01\x00", 4));
    r = run("trace_leaf_sequence", {"3", dir + "/s", dir + "/o"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unexpected end of file"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/o"));

    r = run("trace_leaf_sequence", {"2", dir + "/missing", dir + "/o"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "trace_leaf_sequence: " + dir + "/missing: No such file or directory\n");
    r = run("trace_leaf_sequence", {"33", dir + "/s", dir + "/o"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(dir + "/o"));
}

TEST(TraceLeafSequence, ThirtyTwoVariablesReachTheLastByte)
{
    // A sparse 4 GiB sink file whose only real bytes lie on the walk:
    // the set {0..k} has sink k, so the order is 0 1 ... 31.
    std::string dir = scratch_dir();
    std::string path = dir + "/sink32";
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(1) << 32), 0);
    for (int k = 0; k < 32; ++k) {
        unsigned char b = (unsigned char)k;
        off_t at = off_t((uint64_t(1) << (k + 1)) - 1);
        ASSERT_EQ(pwrite(fd, &b, 1, at), 1);
    }
    close(fd);
    auto r = run("trace_leaf_sequence", {"32", path, dir + "/ord"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expect;
    for (int k = 0; k < 32; ++k)
        expect += std::to_string(k) + (k < 31 ? " " : "\n");
    EXPECT_EQ(read_file(dir + "/ord"), expect);
    fs::remove(path);
}

TEST(AssembleOptimalGraph, ParentsFromTheOrder)
{
    std::string dir = scratch_dir();
    write_file(dir + "/0.bps", bytes_of(std::vector<uint32_t>{0}));
    write_file(dir + "/ord", "0\n");
    auto r = run("assemble_optimal_graph", {"1", dir, dir + "/ord", dir + "/net"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/net"), "0\n");

    // Order 1 0: variable 0 reads record 1 (the parset of {1}).
    write_file(dir + "/0.bps", bytes_of(std::vector<uint32_t>{0, 1}));
    write_file(dir + "/1.bps", bytes_of(std::vector<uint32_t>{0, 1}));
    for (const char *order : {"1 0\n", "1\n0\n", "  1\n\n 0 1 7 junk"}) {
        write_file(dir + "/ord", order);
        r = run("assemble_optimal_graph", {"2", dir, dir + "/ord", dir + "/net"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(dir + "/net"), "2\n0\n") << order;
    }
    write_file(dir + "/0.bps", bytes_of(std::vector<uint32_t>{0, 0}));
    write_file(dir + "/ord", "1 0");
    r = run("assemble_optimal_graph", {"2", dir, dir + "/ord", dir + "/net"});
    EXPECT_EQ(read_file(dir + "/net"), "0\n0\n");

    // Three variables, order 2 1 0, lines in variable order: 0 <- {1, 2}.
    write_file(dir + "/0.bps", bytes_of(std::vector<uint32_t>{0, 1, 2, 3}));
    write_file(dir + "/1.bps", bytes_of(std::vector<uint32_t>{0, 0, 2, 2}));
    write_file(dir + "/2.bps", bytes_of(std::vector<uint32_t>{0, 1, 2, 3}));
    write_file(dir + "/ord", "2 1 0\n");
    r = run("assemble_optimal_graph", {"3", dir, dir + "/ord", dir + "/net"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/net"), "6\n4\n0\n");

    write_file(dir + "/empty", "");
    r = run("assemble_optimal_graph", {"0", dir, dir + "/empty", dir + "/net0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir + "/net0"));
    EXPECT_EQ(read_file(dir + "/net0"), "");
}

TEST(AssembleOptimalGraph, BadOrdersAndFilesAreReported)
{
    std::string dir = scratch_dir();
    write_file(dir + "/0.bps", bytes_of(std::vector<uint32_t>{0, 1}));
    write_file(dir + "/1.bps", bytes_of(std::vector<uint32_t>{0, 1}));
    for (const char *order : {"1 1\n", "0 2\n", "-1 0\n", "1\n", "x 0\n", ""}) {
        write_file(dir + "/ord", order);
        auto r = run("assemble_optimal_graph", {"2", dir, dir + "/ord", dir + "/net"});
        EXPECT_EQ(r.status, 2) << order;
        EXPECT_EQ(r.err.rfind("assemble_optimal_graph: " + dir + "/ord: ", 0), 0u) << r.err;
        EXPECT_FALSE(fs::exists(dir + "/net")) << order;
    }
    write_file(dir + "/ord", "1 0\n");
    write_file(dir + "/0.bps", bytes_of(std::vector<uint32_t>{0})); // record 1 missing
    auto r = run("assemble_optimal_graph", {"2", dir, dir + "/ord", dir + "/net"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("assemble_optimal_graph: " + dir + "/0.bps: ", 0), 0u) << r.err;
    write_file(dir + "/0.bps", bytes_of(std::vector<uint32_t>{0, 2})); // not a subset of 1
    r = run("assemble_optimal_graph", {"2", dir, dir + "/ord", dir + "/net"});
    EXPECT_EQ(r.status, 2);
    fs::remove(dir + "/1.bps");
    r = run("assemble_optimal_graph", {"2", dir, dir + "/ord", dir + "/net"});
    EXPECT_EQ(r.err, "assemble_optimal_graph: " + dir + "/1.bps: No such file or directory\n");
    r = run("assemble_optimal_graph", {"-1", dir, dir + "/ord", dir + "/net"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(dir + "/net"));
}

TEST(SearchPrograms, WrongArgumentCountsGiveTheUsageLine)
{
    std::string dir = scratch_dir();
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"find_top_families", {"nof_vars", "dirname"}},
        {"solve_leaf_table", {"nof_vars", "dirname", "sinkfile"}},
        {"trace_leaf_sequence", {"nof_vars", "sinkfile", "ordfile"}},
        {"assemble_optimal_graph", {"nof_vars", "dirname", "ordfile", "netfile"}},
    };
    for (const auto &[program, names] : cases) {
        std::string usage = "Usage: " + program;
        for (const auto &a : names)
            usage += " " + a;
        usage += "\n";
        std::vector<std::string> few(names.size() - 1, dir + "/f");
        std::vector<std::string> many(names.size() + 1, dir + "/f");
        for (const auto &args : {few, many, std::vector<std::string>{}}) {
            auto r = run(program, args);
            EXPECT_EQ(r.status, 1) << program;
            EXPECT_EQ(r.err, usage);
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST(SearchPrograms, AllocationFailuresAreReported)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime cannot start under an address-space limit";
#else
    // With the address space limited to 1 GiB, the tables of 31 variables
    // (12 GiB and 16 GiB) cannot be had: a message and status 2, no crash.
    std::string dir = scratch_dir();
    for (int v = 0; v < 31; ++v)
        write_file(dir + "/" + std::to_string(v) + ".bss", "");
    auto limited = [&](const std::string &program, const std::string &args) {
        std::string cmd = "ulimit -v 1048576; exec " + shell_quote(bin(program)) + " " + args +
                          " 2>" + shell_quote(dir + "/err");
        int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
    EXPECT_EQ(limited("find_top_families", "31 " + shell_quote(dir)), 2);
    EXPECT_NE(read_file(dir + "/err").find("cannot allocate"), std::string::npos)
        << read_file(dir + "/err");
    EXPECT_EQ(limited("solve_leaf_table", "31 " + shell_quote(dir) + " " + shell_quote(dir + "/sink")),
              2);
    EXPECT_NE(read_file(dir + "/err").find("cannot allocate"), std::string::npos)
        << read_file(dir + "/err");
    EXPECT_FALSE(fs::exists(dir + "/sink"));
#endif
}
