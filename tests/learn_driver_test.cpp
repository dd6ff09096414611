// learn_optimal_network end to end: the printed score is the brute-force
// optimum of the scores the run computed, --direct agrees, constraints hold,
// failures leave nothing that looks finished.
// g++ 12 gives a false -Wrestrict on "literal" + std::string (GCC bug 105329),
// which testutil::run uses.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#include "testutil.h"
#pragma GCC diagnostic pop
#include "bruteforce.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <chrono>
#include <csignal>
#include <random>
#include <sstream>
#include <sys/statvfs.h>
#include <thread>

using namespace testutil;

namespace {

using bruteforce::local_scores;

const char *const results[] = {"network.txt", "parents.txt", "arcs.txt", "network.dot"};

// A CSV of rows samples over n discrete columns v0..v(n-1); each column
// copies its left neighbour most of the time, so the optimum has arcs.
std::string random_csv(int n, int rows, unsigned seed, int arity = 2)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, arity - 1);
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    std::string csv;
    for (int i = 0; i < n; ++i)
        csv.append(i ? ",v" : "v").append(std::to_string(i));
    csv += "\n";
    for (int r = 0; r < rows; ++r) {
        int prev = value(rng);
        for (int i = 0; i < n; ++i) {
            int x = (i > 0 && coin(rng) < 0.75) ? prev : value(rng);
            if (i)
                csv += ',';
            csv += char('a' + x);
            prev = x;
        }
        csv += "\n";
    }
    return csv;
}

local_scores read_local_files(const std::string &dir, int n)
{
    local_scores s;
    for (int i = 0; i < n; ++i) {
        s.push_back(read_doubles(dir + "/" + std::to_string(i)));
        EXPECT_EQ(s.back().size(), size_t(1) << (n - 1)) << "local score file " << i;
    }
    return s;
}

std::string fixed3(double x)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", x);
    return buf;
}

// The lines the driver prints after the score: arcs by name, child by child.
std::string arcs_by_name(const std::vector<uint32_t> &parents)
{
    std::string s;
    for (size_t c = 0; c < parents.size(); ++c)
        for (int p = 0; p < 32; ++p)
            if (parents[c] >> p & 1)
                s.append("v").append(std::to_string(p)).append(" -> v")
                    .append(std::to_string(c)).append("\n");
    return s;
}

std::string first_line(const std::string &s) { return s.substr(0, s.find('\n')); }

bool has_arc(const std::vector<uint32_t> &parents, int p, int c)
{
    return (parents[size_t(c)] >> p & 1) != 0;
}

// The run's own folders in out (".run-XXXXXX").
std::vector<std::string> run_folders(const std::string &out)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(out, ec))
        if (e.path().filename().string().rfind(".run-", 0) == 0)
            found.push_back(e.path().string());
    return found;
}

// No result, no work folder and no folder of the run: except for an earlier
// network.txt (before), which a failed run leaves as it was.
void expect_nothing_finished(const std::string &out, const std::string &before = "")
{
    for (const char *name : results) {
        if (before.empty() || std::string(name) != "network.txt") {
            EXPECT_FALSE(fs::exists(out + "/" + name)) << name << " left behind";
        }
    }
    if (!before.empty()) {
        EXPECT_EQ(read_file(out + "/network.txt"), before) << "an earlier result changed";
    }
    EXPECT_FALSE(fs::exists(out + "/work")) << "work folder left behind";
    EXPECT_TRUE(run_folders(out).empty()) << "the run's folder left behind";
}

// Runs a kept, quiet learn on data and checks it against the brute force;
// returns the network it found.
std::vector<uint32_t> learn_and_check(const std::string &data, const std::string &out, int n,
                                      std::vector<std::string> extra = {})
{
    std::vector<std::string> args = {"--keep", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(data);
    args.push_back(out);
    result r = run("learn_optimal_network", args);
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.status != 0)
        return {};
    auto scores = read_local_files(out + "/work", n);
    auto parents = read_network(out + "/network.txt");
    EXPECT_EQ(parents.size(), size_t(n));
    EXPECT_TRUE(bruteforce::is_acyclic(parents));
    std::string best = fixed3(bruteforce::best_total(n, scores));
    EXPECT_EQ(first_line(r.out), best);
    EXPECT_EQ(fixed3(bruteforce::network_score(scores, parents)), best);
    // The arcs by name; " (reversible)" marks those the data leave open.
    std::string arcs = r.out.substr(r.out.find('\n') + 1);
    for (size_t at; (at = arcs.find(" (reversible)")) != std::string::npos;)
        arcs.erase(at, 13);
    EXPECT_EQ(arcs, arcs_by_name(parents));
    return parents;
}

} // namespace

TEST(LearnDriver, OptimumMatchesBruteForceDirectAgreesAndFilesAreTidy)
{
    std::string dir = scratch_dir();
    for (int n : {4, 5}) {
        SCOPED_TRACE("n = " + std::to_string(n));
        std::string data = dir + "/data" + std::to_string(n) + ".csv";
        write_file(data, random_csv(n, 300, 17u + unsigned(n), 3));

        std::string chained = dir + "/chain" + std::to_string(n);
        auto net = learn_and_check(data, chained, n, {"--full-chain"});
        std::string direct = dir + "/direct" + std::to_string(n);
        auto net_direct = learn_and_check(data, direct, n, {"--direct"});
        EXPECT_EQ(net, net_direct);
        EXPECT_EQ(read_file(chained + "/arcs.txt"), read_file(direct + "/arcs.txt"));
        // --keep leaves the search files; --direct never makes the table
        // or the split files.
        EXPECT_TRUE(fs::exists(chained + "/work/res"));
        EXPECT_TRUE(fs::exists(chained + "/work/0.slt"));
        EXPECT_TRUE(fs::exists(chained + "/work/0.bps"));
        EXPECT_FALSE(fs::exists(direct + "/work/res"));
        EXPECT_FALSE(fs::exists(direct + "/work/0.slt"));

        // Without --keep only the results remain, and a rerun into the same
        // folder replaces them.
        std::string tidy = dir + "/tidy" + std::to_string(n);
        for (int round = 0; round < 2; ++round) {
            result r = run("learn_optimal_network", {data, tidy});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.err.find("[1/15] compute_family_scores --describe"), std::string::npos);
            EXPECT_NE(r.err.find("[15/15] decorate_drawing"), std::string::npos);
            EXPECT_FALSE(fs::exists(tidy + "/work"));
            EXPECT_TRUE(run_folders(tidy).empty());
            for (const char *name : results)
                EXPECT_TRUE(fs::exists(tidy + "/" + name)) << name;
            EXPECT_EQ(read_file(tidy + "/network.txt"), read_file(chained + "/network.txt"));
            EXPECT_EQ(read_file(tidy + "/network.dot"), read_file(chained + "/network.dot"));
        }
    }
}

TEST(LearnDriver, ConstraintsAndOtherScoresReachTheSearch)
{
    std::string dir = scratch_dir();
    const int n = 5;
    std::string data = dir + "/data.csv";
    write_file(data, random_csv(n, 400, 5u));
    auto free_net = learn_and_check(data, dir + "/free", n);
    ASSERT_EQ(free_net.size(), size_t(n));

    // Forbid one arc of the unconstrained optimum, require one it lacks.
    int fp = -1, fc = -1;
    for (int c = 0; c < n && fp < 0; ++c)
        for (int p = 0; p < n && fp < 0; ++p)
            if (has_arc(free_net, p, c)) {
                fp = p;
                fc = c;
            }
    ASSERT_GE(fp, 0) << "the data should give an arc";
    int rp = -1, rc = -1;
    for (int c = 0; c < n && rp < 0; ++c)
        for (int p = 0; p < n && rp < 0; ++p)
            if (p != c && !has_arc(free_net, p, c) && !has_arc(free_net, c, p) &&
                !(p == fp && c == fc)) {
                rp = p;
                rc = c;
            }
    ASSERT_GE(rp, 0);
    std::string forbid = dir + "/forbid.txt", require = dir + "/require.txt";
    auto arc_line = [](int p, int c) {
        return std::string("v").append(std::to_string(p)).append(",v")
            .append(std::to_string(c)).append("\n");
    };
    write_file(forbid, arc_line(fp, fc));
    write_file(require, arc_line(rp, rc));
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "--direct" : "full chain");
        std::vector<std::string> extra = {"--forbid", forbid, "--require", require};
        extra.push_back(direct ? "--direct" : "--full-chain");
        auto net = learn_and_check(data, dir + (direct ? "/ruled_direct" : "/ruled"), n, extra);
        ASSERT_EQ(net.size(), size_t(n));
        EXPECT_FALSE(has_arc(net, fp, fc));
        EXPECT_TRUE(has_arc(net, rp, rc));
    }

    // Another score and a parent limit ("--name=value" form passes too).
    auto bic = learn_and_check(data, dir + "/bic", n, {"--score=bic", "--max-parents", "1"});
    for (uint32_t p : bic)
        EXPECT_LE(std::popcount(p), 1);
    learn_and_check(data, dir + "/aic", n, {"--score", "aic", "--direct"});
}

TEST(LearnDriver, FailuresGiveTheirMessageAndLeaveNoResult)
{
    std::string dir = scratch_dir();
    std::string good = dir + "/good.csv";
    write_file(good, random_csv(3, 50, 9u));

    // A failed run leaves a result of an earlier one as it was.
    auto failed_run = [&](const std::vector<std::string> &args, const std::string &out) {
        fs::create_directories(out);
        write_file(out + "/network.txt", "0\n0\n0\n");
        std::vector<std::string> all = args;
        all.push_back(out);
        result r = run("learn_optimal_network", all);
        expect_nothing_finished(out, "0\n0\n0\n");
        EXPECT_EQ(r.out, "");
        return r;
    };

    std::string ragged = dir + "/ragged.csv";
    write_file(ragged, "a,b,c\nx,y,z\nx,y\n");
    result r = failed_run({"--quiet", ragged}, dir + "/o1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("compute_family_scores: " + ragged), std::string::npos) << r.err;

    r = failed_run({"--quiet", dir + "/missing.csv"}, dir + "/o2");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing.csv"), std::string::npos) << r.err;

    std::string unknown = dir + "/unknown.txt";
    write_file(unknown, "v0,nosuch\n");
    r = failed_run({"--quiet", "--forbid", unknown, good}, dir + "/o3");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("compute_family_scores:"), std::string::npos) << r.err;

    // Requiring both directions of an arc admits no network: the scorer
    // names the cycle.
    std::string both = dir + "/both.txt";
    write_file(both, "v0,v1\nv1,v0\n");
    for (const char *mode : {"--keep", "--full-chain"}) {
        r = failed_run({"--quiet", mode, "--require", both, good}, dir + "/o4");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("'v0' -> 'v1', 'v1' -> 'v0' form a cycle"), std::string::npos)
            << r.err;
    }

    // Wrong usage: the usage line and status 1, nothing created.
    for (std::vector<std::string> args :
         {std::vector<std::string>{good}, {good, dir + "/o5", "extra"}, {"--bogus", good, dir + "/o5"},
          {good, dir + "/o5", "--score"}, {"--threads", "0", good, dir + "/o5"}, {good, ""}}) {
        r = run("learn_optimal_network", args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Usage: learn_optimal_network [options] DATA OUTDIR\n"),
                  std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir + "/o5"));
    r = run("learn_optimal_network", {"--threads", "0", good, dir + "/o5"});
    EXPECT_NE(r.err.find("--threads: expected a positive integer"), std::string::npos) << r.err;
    r = run("learn_optimal_network", {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--direct"), std::string::npos);

    // 32 columns need hundreds of GiB at the peak: refused before scoring.
    struct statvfs st;
    ASSERT_EQ(statvfs(dir.c_str(), &st), 0);
    if (double(st.f_bavail) * double(st.f_frsize) < 1e12) {
        std::string wide = dir + "/wide.csv", header, row;
        for (int i = 0; i < 32; ++i) {
            header += (i ? ",c" : "c") + std::to_string(i);
            row += i ? ",0" : "0";
        }
        write_file(wide, header + "\n" + row + "\n" + row + "\n");
        r = failed_run({wide}, dir + "/o6");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("not enough disk space"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("[2/15]"), std::string::npos) << "the scorer must not score";
    }
}

namespace {

// Starts the driver in the background, waits until the file name exists
// in the run's folder in out, sends sig and returns the exit status.
int interrupt_when(const std::vector<std::string> &args, const std::string &out,
                   const std::string &name, int sig)
{
    const std::string path = out + "/.run-*/" + name;
    auto exists = [&]() {
        for (const auto &f : run_folders(out))
            if (fs::exists(f + "/" + name))
                return true;
        return false;
    };
    pid_t pid = start_path(bin("learn_optimal_network"), args);
    int status = 0;
    switch (wait_until(pid, exists, 60, &status)) {
    case waited::ended:
        ADD_FAILURE() << "the run ended before " << path << " appeared";
        return -1;
    case waited::timed_out:
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << path << " never appeared";
        return -1;
    case waited::ready:
        break;
    }
    kill(pid, sig);
    waitpid(pid, &status, 0);
    return exit_code(status);
}

} // namespace

TEST(LearnDriver, InterruptedRunLeavesNothingFinished)
{
    std::string dir = scratch_dir();
    std::string data = dir + "/data.csv";
    write_file(data, random_csv(18, 200, 3u));

    std::string out = dir + "/int";
    EXPECT_EQ(interrupt_when({"--quiet", data, out}, out, "vd", SIGINT), 130);
    expect_nothing_finished(out);
    EXPECT_FALSE(fs::exists(out)) << "the folder the run created";

    // Later, inside the search, and with --keep: still nothing kept.
    out = dir + "/term";
    fs::create_directories(out);
    EXPECT_EQ(interrupt_when({"--quiet", "--keep", "--direct", data, out}, out, "0.bps", SIGTERM),
              143);
    expect_nothing_finished(out);
    EXPECT_TRUE(fs::exists(out)) << "a folder the user made stays";
}
