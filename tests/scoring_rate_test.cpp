// Network scoring of single networks and of network lists.
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "testutil.h"

using namespace testutil;

namespace {

// Three variables; record p of variable i is -(100 i + p + 0.25), so every
// lookup is told apart by its value.
std::string three_variables()
{
    std::string d = scratch_dir();
    for (int i = 0; i < 3; ++i)
        write_doubles(d + "/" + std::to_string(i), {-(100.0 * i + 0.25), -(100.0 * i + 1.25),
                                                    -(100.0 * i + 2.25), -(100.0 * i + 3.25)});
    write_file(d + "/a", "0\n1\n3\n");   // records 0, 1, 3: -304.75
    write_file(d + "/b", "0 0 stop 3");  // two values, then text: -100.5
    write_file(d + "/c", "0\n1\n3");     // last line without its newline
    return d;
}

void expect_failure(const result &r, const std::string &program, const std::string &file)
{
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(program + ": " + file + ": ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

} // namespace

TEST(ScoringRate, OneNetwork)
{
    std::string d = three_variables();
    auto rate = [&](const std::string &net) { return run("rate_graph", {"-", d}, d + "/" + net); };
    EXPECT_EQ(run("rate_graph", {d + "/a", d}).out, "-304.750\n");
    EXPECT_EQ(rate("b").out, "-100.500\n");
    write_file(d + "/x", "");
    EXPECT_EQ(rate("x").out, "0.000\n");
    write_file(d + "/x", "0\n3\n");       // variable 1 has itself as a parent
    expect_failure(rate("x"), "rate_graph", "standard input");
    write_file(d + "/x", "0 1 3 0\n");    // no local score file for variable 3
    expect_failure(rate("x"), "rate_graph", d + "/3");
    write_file(d + "/x", "8\n");          // parent 3 of a network of one variable
    expect_failure(rate("x"), "rate_graph", "standard input");
    EXPECT_EQ(run("rate_graph", {d}).err, "Usage: rate_graph netfile dirname\n");
    std::string full = bin("rate_graph");   // standard output on a full device
    full += " " + d + "/a " + d + " >/dev/full 2>&-";
    int raw = system(full.c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 2);

    // Variable 0 with parent 31 is record 2^30, at byte 2^33 of a sparse
    // file; the 32 local score files are sparse files of 16 GiB.
    std::string e = d + "/sparse";
    fs::create_directory(e);
    std::string net = "2147483648\n";
    for (int k = 0; k < 32; ++k) {
        int fd = open((e + "/" + std::to_string(k)).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(ftruncate(fd, off_t(8) << 31), 0);
        const double x = 42.5;
        if (k == 0) {
            ASSERT_EQ(pwrite(fd, &x, 8, off_t(1) << 33), 8);
        }
        close(fd);
        net += k > 0 ? "0\n" : "";
    }
    write_file(e + "/net", net);
    write_file(e + "/list", e + "/net\n");
    EXPECT_EQ(run("rate_graph", {e + "/net", e}).out, "42.500\n");
    EXPECT_EQ(run("rate_graphs", {e + "/list", e}).out, "42.500\n");
}

TEST(ScoringRate, Lists)
{
    std::string d = three_variables();
    auto rate = [&](const std::string &list, const std::string &in = "/dev/null") {
        write_file(d + "/list", list);
        return run("rate_graphs", {d + "/list", d}, in);
    };
    write_file(d + "/empty", "");
    // An empty first network prints 0.000 and the count is taken again; a
    // count from a last line without newline; a path listed twice.
    result r = rate(d + "/empty " + d + "/c\n\n" + d + "/b\n" + d + "/c\n");
    EXPECT_EQ(r.out + r.err, "0.000\n-304.750\n-100.500\n-304.750\n");
    r = rate("-\n" + d + "/b\n", d + "/a");   // a network on standard input first
    EXPECT_EQ(r.out + r.err, "-304.750\n-100.500\n");
    write_file(d + "/list", d + "/a\n");
    EXPECT_EQ(run("rate_graphs", {"-", d}, d + "/list").out, "-304.750\n");
    r = rate("");
    EXPECT_EQ(r.status + r.out.size() + r.err.size(), 0u);

    write_file(d + "/two", "0\n1\n");
    r = rate(d + "/two\n" + d + "/a\n");      // more values than handles
    expect_failure(r, "rate_graphs", d + "/a");
    EXPECT_EQ(r.out, "-101.500\n");
    write_file(d + "/self", "0\n1\n4\n");
    expect_failure(rate(d + "/self\n"), "rate_graphs", d + "/self");
    expect_failure(rate(d + "/missing\n"), "rate_graphs", d + "/missing");
    expect_failure(rate("-\n-\n", d + "/a"), "rate_graphs", "-");
    write_file(d + "/five", "0\n0\n0\n0\n0\n");
    expect_failure(rate(d + "/five\n"), "rate_graphs", d + "/3");
    expect_failure(rate(std::string(1100, 'x') + "\n"), "rate_graphs", d + "/list");
    write_file(d + "/list", d + "/a\n-\n");
    expect_failure(run("rate_graphs", {"-", d}, d + "/list"), "rate_graphs", "-");
    EXPECT_EQ(run("rate_graphs", {d}).err, "Usage: rate_graphs netfiles dirname\n");
}
