// Network scoring of single networks and of network lists.
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

// g++ 12 reports a false -Wrestrict inside std::string concatenation
// once the harness is inlined here.
#pragma GCC diagnostic ignored "-Wrestrict"
#include "testutil.h"

using namespace testutil;

namespace {

// Local score files of three variables: record p of variable i is
// -(100 i + p + 0.25), so every lookup is told apart by its value.
std::string three_variables()
{
    std::string d = scratch_dir();
    for (int i = 0; i < 3; ++i) {
        std::vector<double> v;
        for (int p = 0; p < 4; ++p)
            v.push_back(-(100.0 * i + p + 0.25));
        write_doubles(d + "/" + std::to_string(i), v);
    }
    return d;
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.rfind(prefix, 0) == 0;
}

} // namespace

TEST(ScoringRate, OneNetwork)
{
    std::string d = three_variables();
    // Parents 0, {0}, {0,1}: records 0 of 0, 1 of 1, 3 of 2.
    write_file(d + "/net", "0\n1\n3\n");
    result r = run("rate_graph", {d + "/net", d});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-304.750\n");
    EXPECT_EQ(r.err, "");
    // Standard input, values on one line and text after them.
    write_file(d + "/in", "0 4 3 trailing 1\n");
    r = run("rate_graph", {"-", d}, d + "/in");
    EXPECT_EQ(r.out, "-305.750\n");   // 0.25 + 102.25 + 203.25
    write_file(d + "/in", "");
    r = run("rate_graph", {"-", d}, d + "/in");
    EXPECT_EQ(r.out, "0.000\n");
    // A name that merely starts with a minus sign is an ordinary file.
    write_file(d + "/-x", "2\n");
    r = run("rate_graph", {"-x", d});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(starts_with(r.err, "rate_graph: -x: ")) << r.err;
    // Three decimals, rounded.
    std::string e = scratch_dir() + "/e";
    fs::create_directories(e);
    write_doubles(e + "/0", {-1234.5678});
    write_file(e + "/net", "0\n");
    EXPECT_EQ(run("rate_graph", {e + "/net", e}).out, "-1234.568\n");
}

TEST(ScoringRate, OneNetworkFailures)
{
    std::string d = three_variables();
    auto fails = [&](const std::string &net, const std::string &file) {
        write_file(d + "/net", net);
        result r = run("rate_graph", {d + "/net", d});
        EXPECT_EQ(r.status, 2) << net;
        EXPECT_TRUE(starts_with(r.err, "rate_graph: " + file + ": ")) << r.err;
        EXPECT_EQ(r.out, "");
    };
    fails("0\n3\n", d + "/net");            // variable 1 has itself as a parent
    fails("0\n1\n3\n0\n", d + "/3");        // more values than local score files
    fails("8\n", d + "/0");                 // record 4 lies past the end
    EXPECT_EQ(run("rate_graph", {d + "/none", d}).status, 2);
    for (const char *program : {"rate_graph", "rate_graphs"}) {
        result r = run(program, {d});
        EXPECT_EQ(r.status, 1);
        std::string arg = std::string(program) == "rate_graph" ? "netfile" : "netfiles";
        EXPECT_EQ(r.err, "Usage: " + std::string(program) + " " + arg + " dirname\n");
    }
    // A full standard output is a failure, not a printed score.
    write_file(d + "/net", "0\n");
    int raw = system(("'" + bin("rate_graph") + "' '" + d + "/net' '" + d +
                      "' >/dev/full 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 2);
}

TEST(ScoringRate, RecordsBeyondFourGibibytes)
{
    // Variable 0 with parent 31 reads record 2^30, at byte 2^33 of a sparse file.
    std::string d = scratch_dir();
    int fd = open((d + "/0").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const double x = 42.5;
    ASSERT_EQ(pwrite(fd, &x, 8, off_t(1) << 33), 8);
    close(fd);
    write_file(d + "/net", "2147483648\n");
    EXPECT_EQ(run("rate_graph", {d + "/net", d}).out, "42.500\n");
    write_file(d + "/list", d + "/net\n");
    EXPECT_EQ(run("rate_graphs", {d + "/list", d}).out, "42.500\n");
}

TEST(ScoringRate, ListsInOrder)
{
    std::string d = three_variables();
    write_file(d + "/a", "0\n1\n3\n");        // -304.75
    write_file(d + "/b", "0\n0\n");           // fewer values: -100.5
    write_file(d + "/empty", "");
    write_file(d + "/list", d + "/a " + d + "/b\n\n" + d + "/a\n");
    result r = run("rate_graphs", {d + "/list", d});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-304.750\n-100.500\n-304.750\n");
    EXPECT_EQ(r.err, "");

    // From standard input; an empty first network scores 0 and the count
    // is then taken from the next path.
    write_file(d + "/list", d + "/empty\n" + d + "/a\n");
    r = run("rate_graphs", {"-", d}, d + "/list");
    EXPECT_EQ(r.out, "0.000\n-304.750\n");
    write_file(d + "/list", "");
    r = run("rate_graphs", {d + "/list", d});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    // A first network whose last line lacks its newline still counts it.
    write_file(d + "/c", "0\n1\n3");
    write_file(d + "/list", d + "/c\n" + d + "/a\n");
    r = run("rate_graphs", {d + "/list", d});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-304.750\n-304.750\n");

    // A network on standard input, first in a list read from a file.
    write_file(d + "/list", "-\n" + d + "/b\n");
    r = run("rate_graphs", {d + "/list", d}, d + "/c");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-304.750\n-100.500\n");
}

TEST(ScoringRate, ListFailures)
{
    std::string d = three_variables();
    write_file(d + "/a", "0\n1\n3\n");
    write_file(d + "/two", "0\n1\n");
    write_file(d + "/self", "0\n1\n4\n");
    auto fails = [&](const std::string &list, const std::string &file, const std::string &in) {
        write_file(d + "/list", list);
        result r = run("rate_graphs", {d + "/list", d}, in);
        EXPECT_EQ(r.status, 2) << list;
        EXPECT_TRUE(starts_with(r.err, "rate_graphs: " + file + ": ")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        return r;
    };
    // A network with more values than the file set opened for the first one.
    result r = fails(d + "/two\n" + d + "/a\n", d + "/a", "/dev/null");
    EXPECT_EQ(r.out, "-101.500\n");
    fails(d + "/self\n", d + "/self", "/dev/null");
    fails(d + "/missing\n", d + "/missing", "/dev/null");
    fails("-\n-\n", "-", d + "/a");
    write_file(d + "/five", "0\n0\n0\n0\n0\n");
    fails(d + "/five\n", d + "/3", "/dev/null");   // only three local score files
    fails(std::string(1100, 'x') + "\n", d + "/list", "/dev/null");

    // "-" as a network inside a list read from standard input.
    write_file(d + "/list", d + "/a\n-\n");
    r = run("rate_graphs", {"-", d}, d + "/list");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(starts_with(r.err, "rate_graphs: -: ")) << r.err;
    EXPECT_EQ(r.out, "-304.750\n");
    EXPECT_EQ(run("rate_graphs", {d + "/nolist", d}).status, 2);
}
