// The benchmark's helpers: the score table and network generators, the
// floors, the measuring wrapper, and the checker that keeps a wrong stage
// from being timed.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "testutil.h"

using namespace testutil;

namespace {

std::string helper(const std::string &name)
{
    return std::string(BENCH_DIR) + "/" + name;
}

result run_helper(const std::string &name, const std::vector<std::string> &args)
{
    return run_path(helper(name), args);
}

std::vector<uint32_t> read_network(const std::string &path)
{
    std::vector<uint32_t> parents;
    std::string text = read_file(path);
    const char *p = text.c_str();
    unsigned v;
    int used;
    while (sscanf(p, "%u%n", &v, &used) == 1) {
        parents.push_back(v);
        p += used;
    }
    return parents;
}

bool acyclic(const std::vector<uint32_t> &parents)
{
    uint32_t placed = 0;
    const uint32_t all = uint32_t((uint64_t(1) << parents.size()) - 1);
    while (placed != all) {
        bool progress = false;
        for (size_t v = 0; v < parents.size(); ++v)
            if (!(placed >> v & 1) && (parents[v] & ~placed) == 0) {
                placed |= uint32_t(1) << v;
                progress = true;
            }
        if (!progress)
            return false;
    }
    return true;
}

// Position of every family (set, child) in a score table of n variables.
std::map<std::pair<uint32_t, int>, size_t> table_positions(int n)
{
    std::map<std::pair<uint32_t, int>, size_t> at;
    size_t k = 0;
    for (uint32_t s = (uint32_t(1) << n) - 1; s > 0; --s)
        for (int i = 0; i < n; ++i)
            if (s >> i & 1)
                at[{s, i}] = k++;
    return at;
}

// ---- the score table -----------------------------------------------------

TEST(ScoreTable, DeterministicNegativeAndBetterWithTheHiddenParents)
{
    std::string dir = scratch_dir();
    const int n = 10;
    ASSERT_EQ(run_helper("make_score_table", {"10", "5", dir + "/res", dir + "/truth"}).status, 0);
    std::string bytes = read_file(dir + "/res");
    ASSERT_EQ(bytes.size(), size_t(8 * n << (n - 1)));
    ASSERT_EQ(run_helper("make_score_table", {"10", "5", dir + "/again", dir + "/truth2"}).status, 0);
    EXPECT_EQ(read_file(dir + "/again"), bytes);
    ASSERT_EQ(run_helper("make_score_table", {"10", "6", dir + "/other", dir + "/truth3"}).status, 0);
    EXPECT_NE(read_file(dir + "/other"), bytes);

    std::vector<double> scores = values_of<double>(bytes);
    for (double x : scores)
        ASSERT_TRUE(std::isfinite(x) && x < 0) << x;

    std::vector<uint32_t> truth = read_network(dir + "/truth");
    ASSERT_EQ(truth.size(), size_t(n));
    EXPECT_TRUE(acyclic(truth));
    auto at = table_positions(n);
    int with_parents = 0;
    for (int c = 0; c < n; ++c) {
        uint32_t hidden = truth[size_t(c)];
        EXPECT_LE(std::popcount(hidden), 3);
        if (hidden == 0)
            continue;
        ++with_parents;
        uint32_t family = hidden | uint32_t(1) << c;
        double full = scores[at[std::make_pair(family, c)]];
        for (uint32_t rest = hidden; rest; rest &= rest - 1) {
            double without = scores[at[std::make_pair(family & ~(rest & -rest), c)]];
            EXPECT_GT(full, without) << "child " << c << " loses by holding a hidden parent";
        }
    }
    EXPECT_GT(with_parents, 0);

    // Exact ties among the families of one child, as the searches must settle.
    int ties = 0;
    for (int c = 0; c < n; ++c) {
        std::set<double> seen;
        for (const auto &[family, k] : at)
            if (family.second == c && !seen.insert(scores[k]).second)
                ++ties;
    }
    EXPECT_GT(ties, 10);
}

TEST(ScoreTable, FailuresNameTheFile)
{
    result r = run_helper("make_score_table", {"8", "1", "/nonexistent/res", "/nonexistent/truth"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("make_score_table: /nonexistent/res: ", 0), 0u) << r.err;
    EXPECT_EQ(run_helper("make_score_table", {"8", "1", "res"}).status, 1);
    EXPECT_EQ(run_helper("make_score_table", {"31", "1", "res", "truth"}).status, 2);
}

TEST(Networks, ListedAcyclicAndDeterministic)
{
    std::string dir = scratch_dir();
    ASSERT_EQ(run_helper("make_networks", {"12", "200", "3", dir}).status, 0);
    std::string list = read_file(dir + "/list");
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 200);
    int arcs = 0;
    for (int k = 0; k < 200; ++k) {
        std::string path = dir + "/g" + std::to_string(k);
        EXPECT_NE(list.find(path + "\n"), std::string::npos);
        std::vector<uint32_t> net = read_network(path);
        ASSERT_EQ(net.size(), 12u);
        EXPECT_TRUE(acyclic(net)) << path;
        for (size_t v = 0; v < net.size(); ++v) {
            EXPECT_EQ(net[v] >> v & 1, 0u);
            EXPECT_LT(net[v], 1u << 12);
            arcs += std::popcount(net[v]);
        }
        if (k == 0) {
            EXPECT_EQ(arcs, 0) << "network 0 has no arcs";
        }
    }
    EXPECT_GT(arcs, 200);
    std::string again = dir + "/again";
    fs::create_directories(again);
    ASSERT_EQ(run_helper("make_networks", {"12", "200", "3", again}).status, 0);
    EXPECT_EQ(read_file(again + "/g17"), read_file(dir + "/g17"));
}

// ---- floors and the measuring wrapper ------------------------------------

TEST(Floors, IoFloorMovesExactlyTheBytesAsked)
{
    std::string dir = scratch_dir();
    write_file(dir + "/in", std::string(1000, 'x'));
    write_file(dir + "/list", dir + "/in\n " + dir + "/in\n");
    result r = run_helper("io_floor", {"-r", dir + "/in", "-l", dir + "/list", "-w", "600000",
                                       dir + "/a", "-w", "0", dir + "/b"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/a"), std::string(600000, '\0'));
    EXPECT_TRUE(fs::exists(dir + "/b"));
    EXPECT_EQ(fs::file_size(dir + "/b"), 0u);

    r = run_helper("io_floor", {"-r", dir + "/missing"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("io_floor: " + dir + "/missing: ", 0), 0u) << r.err;
    write_file(dir + "/list", dir + "/gone\n");
    EXPECT_EQ(run_helper("io_floor", {"-l", dir + "/list"}).status, 2);
    EXPECT_EQ(run_helper("io_floor", {"-w", "12x", dir + "/c"}).status, 2);
    EXPECT_EQ(run_helper("io_floor", {"-w", "10"}).status, 2);
    EXPECT_EQ(run_helper("io_floor", {}).status, 1);

    // The warm floor does the same and prints the seconds of its timed pass.
    r = run_helper("io_floor", {"--warm", "-r", dir + "/in", "-w", "5000", dir + "/d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/d"), std::string(5000, '\0'));
    double seconds = -1, cpu = -1;
    EXPECT_EQ(sscanf(r.out.c_str(), "%lf %lf", &seconds, &cpu), 2) << r.out;
    EXPECT_GE(seconds, 0.0);
    EXPECT_GE(cpu, 0.0);
}

TEST(Floors, CountCellsEqualsACountBySubset)
{
    // Three columns of two to three values over 7 rows, two of them equal.
    const std::vector<std::string> rows = {"a,x,1", "a,x,1", "a,y,1", "b,y,2",
                                           "b,y,3", "a,y,2", "b,x,1"};
    std::string dir = scratch_dir();
    std::string text = "A,B,C\n";
    for (const std::string &row : rows)
        text += row + "\n";
    write_file(dir + "/data.csv", text);
    uint64_t cells = 0, in_cells = 0;
    for (unsigned s = 0; s < 8; ++s) {
        std::map<std::string, uint64_t> count;
        for (const std::string &row : rows) {
            std::string key;
            for (unsigned v = 0; v < 3; ++v)
                key += (s >> v & 1) ? row.substr(2 * v, 1) : "-";
            ++count[key];
        }
        for (const auto &[key, m] : count)
            if (m >= 2) {
                ++cells;
                in_cells += m;
            }
    }
    result r = run_helper("count_cells", {dir + "/data.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::to_string(cells) + " " + std::to_string(in_cells) + "\n");
    EXPECT_EQ(run_helper("count_cells", {dir + "/missing.csv"}).status, 2);
}

TEST(Floors, MeasureReportsTimePeakMemoryAndTheCommandsStatus)
{
    std::string dir = scratch_dir(), report = dir + "/report";
    result r = run_helper("measure", {report, helper("memory_floor"), "22"});
    ASSERT_EQ(r.status, 0) << r.err;
    double seconds = 0;
    long kib = 0;
    ASSERT_EQ(sscanf(read_file(report).c_str(), "%lf %ld", &seconds, &kib), 2);
    EXPECT_GT(seconds, 0.0);
    // The memory floor of 22 variables touches 12 * 2^21 bytes.
    EXPECT_GE(kib, 12L * (1 << 21) / 1024);

    EXPECT_EQ(run_helper("measure", {report, "/bin/sh", "-c", "exit 3"}).status, 3);
    EXPECT_EQ(run_helper("measure", {report, "/bin/sh", "-c", "kill -TERM $$"}).status, 128 + 15);
    r = run_helper("measure", {report, dir + "/no-such-program"});
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.err.find("no-such-program"), std::string::npos);
    EXPECT_EQ(run_helper("measure", {report}).status, 1);
}

// ---- the checker ---------------------------------------------------------

// A pipeline run by the suite's own programs on a generated table.
class CheckPipeline : public ::testing::Test {
protected:
    const int n = 8;
    std::string d, nets;

    void SetUp() override
    {
        d = scratch_dir();
        nets = d + "/nets";
        fs::create_directories(nets);
        std::string ns = std::to_string(n);
        ASSERT_EQ(run_helper("make_score_table", {ns, "9", d + "/res", d + "/truth"}).status, 0);
        ASSERT_EQ(run_search(n, d, true, "order", "network").size(), size_t(n));
        result r = run("rate_graph", {d + "/network", d});
        ASSERT_EQ(r.status, 0);
        write_file(d + "/score", r.out);
        ASSERT_EQ(run_helper("make_networks", {ns, "50", "4", nets}).status, 0);
        r = run("rate_graphs", {nets + "/list", d});
        ASSERT_EQ(r.status, 0);
        write_file(d + "/scores", r.out);
    }

    std::vector<std::string> args_of(const std::string &stage)
    {
        std::string ns = std::to_string(n);
        if (stage == "solve_leaf_table")
            return {stage, ns, d, d + "/sink"};
        if (stage == "trace_leaf_sequence")
            return {stage, ns, d + "/sink", d + "/order"};
        if (stage == "assemble_optimal_graph")
            return {stage, ns, d, d + "/order", d + "/network"};
        if (stage == "rate_graph")
            return {stage, ns, d, d + "/order", d + "/network", d + "/score", d + "/truth"};
        if (stage == "rate_graphs")
            return {stage, ns, d, nets + "/list", d + "/scores", best()};
        return {stage, ns, d};
    }

    result check(const std::string &stage)
    {
        return run_path(helper("check_pipeline"), args_of(stage));
    }

    std::string best()
    {
        return run_path(helper("check_pipeline"), args_of("rate_graph")).out;
    }
};

TEST_F(CheckPipeline, TheSuitesOwnOutputsPass)
{
    for (const char *stage : {"scatter_family_values", "flip_family_files", "find_top_families",
                              "solve_leaf_table", "trace_leaf_sequence", "assemble_optimal_graph",
                              "rate_graph", "rate_graphs"}) {
        result r = check(stage);
        EXPECT_EQ(r.status, 0) << stage << ": " << r.err;
    }
    // The best score the checker derives from the order is the printed one.
    EXPECT_NEAR(strtod(best().c_str(), nullptr), strtod(read_file(d + "/score").c_str(), nullptr),
                0.0005);
}

// Every stage output changed in one place is caught, naming the file.
TEST_F(CheckPipeline, EveryCorruptedOutputIsCaught)
{
    struct fault {
        const char *stage, *file;
        size_t offset;
        std::string bytes;
    };
    const std::string zero_set(4, '\0');
    const fault faults[] = {
        {"scatter_family_values", "3.slt", 8 * 5, std::string("\x01\x02\x03\x04\x05\x06\x07\xc0", 8)},
        {"flip_family_files", "2", 8 * 7, std::string(8, '\0')},
        {"find_top_families", "1.bps", 4 * 127, zero_set},
        {"find_top_families", "4.bss", 8 * 100, std::string("\0\0\0\0\0\0\x59\xc0", 8)},
        {"solve_leaf_table", "sink", 255, std::string(1, '\x07')},
        {"solve_leaf_table", "sink", 0, std::string(1, '\0')},
        {"trace_leaf_sequence", "order", 0, "9"},
        {"assemble_optimal_graph", "network", 0, "9"},
        {"rate_graph", "score", 1, "9"},
    };
    for (const fault &f : faults) {
        std::string path = d + "/" + f.file, original = read_file(path);
        std::string changed = original;
        ASSERT_LE(f.offset + f.bytes.size(), changed.size()) << f.file;
        changed.replace(f.offset, f.bytes.size(), f.bytes);
        if (changed == original) // the byte already held that value: flip it
            changed[f.offset] = char(changed[f.offset] ^ 1);
        write_file(path, changed);
        result r = check(f.stage);
        EXPECT_EQ(r.status, 2) << f.stage << " missed a change of " << f.file;
        EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
        write_file(path, original);
        EXPECT_EQ(check(f.stage).status, 0) << f.file;
    }
}

TEST_F(CheckPipeline, ShortFilesAndWrongScoresAreCaught)
{
    // A best-parent file one record short.
    std::string bps = d + "/5.bps", original = read_file(bps);
    write_file(bps, original.substr(0, original.size() - 4));
    result r = check("find_top_families");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("5.bps: holds"), std::string::npos) << r.err;
    write_file(bps, original);

    // One printed network score off by 0.001.
    std::string scores = read_file(d + "/scores");
    std::string wrong = scores;
    size_t second = wrong.find('\n') + 1;
    size_t last_digit = wrong.find('\n', second) - 1;
    wrong[last_digit] = wrong[last_digit] == '9' ? '8' : char(wrong[last_digit] + 1);
    write_file(d + "/scores", wrong);
    r = check("rate_graphs");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;

    // A line missing, and a network that claims to beat the optimum.
    write_file(d + "/scores", scores.substr(0, second));
    EXPECT_EQ(check("rate_graphs").status, 2);
    write_file(d + "/scores", scores);
    std::vector<std::string> args = args_of("rate_graphs");
    args.back() = "-1e9";
    r = run_path(helper("check_pipeline"), args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("better than the optimum"), std::string::npos) << r.err;
}

TEST(CheckScorer, BdeuFromTheDataAgainstTheTable)
{
    std::string dir = scratch_dir(), data = dir + "/data.csv";
    result r = run_helper("make_bench_data", {"7", "300", "1"});
    ASSERT_EQ(r.status, 0);
    write_file(data, r.out);
    ASSERT_EQ(run("compute_family_scores", {data, dir + "/out"}).status, 0);
    std::string res = dir + "/out/res";
    r = run_helper("check_pipeline", {"compute_family_scores", data, res, "200"});
    EXPECT_EQ(r.status, 0) << r.err;

    // A scorer with another prior strength is wrong for the benchmark.
    ASSERT_EQ(run("compute_family_scores", {"--ess", "2", data, dir + "/ess2"}).status, 0);
    r = run_helper("check_pipeline", {"compute_family_scores", data, dir + "/ess2/res", "200"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir + "/ess2/res"), std::string::npos) << r.err;

    // The first record (child 0 with every other variable) is always checked.
    std::vector<double> table = read_doubles(res);
    table[0] += 1e-3;
    write_doubles(res, table);
    EXPECT_EQ(run_helper("check_pipeline", {"compute_family_scores", data, res, "0"}).status, 2);
    table.pop_back();
    write_doubles(res, table);
    EXPECT_EQ(run_helper("check_pipeline", {"compute_family_scores", data, res, "0"}).status, 2);
    EXPECT_EQ(run_helper("check_pipeline", {"compute_family_scores", data}).status, 1);
    EXPECT_EQ(run_helper("check_pipeline", {"no_such_stage", "3", dir}).status, 1);
}

} // namespace
