// The fuzzing seeds of tests/fuzz/<target>/, each run through its program
// the way tests/fuzz/run.sh runs it: the input is read, or refused with
// status 2 and one message line naming the program; never a crash, a
// signal, a usage error or a message over several lines.  Some seed of each
// target must be read to the end, or the fixed side files no longer fit the
// program and the fuzzer would only meet refusals.  (import_family_table
// writes a folder fixed at build time: its serial test replays its seeds.)
#include <algorithm>
#include <filesystem>

#include "testutil.h"

using namespace testutil;

namespace {

struct target {
    const char *name;       // seed folder
    const char *program;
    std::vector<std::string> args;   // "@@": the seed; "%/": the fixture folder
};

const std::vector<target> targets = {
    {"rate_graph", "rate_graph", {"@@", "%/scores"}},
    {"rate_graphs", "rate_graphs", {"%/list", "%/scores"}},
    {"graph_to_family_lists", "graph_to_family_lists", {"@@", "%/parents"}},
    {"family_lists_to_edges", "family_lists_to_edges", {"@@", "%/arcs"}},
    {"edges_to_gv_vd", "edges_to_gv", {"@@", "%/arcs.fixed", "%/out.dot"}},
    {"edges_to_gv_arcs", "edges_to_gv", {"%/vd.fixed", "@@", "%/out.dot"}},
    {"assemble_optimal_graph", "assemble_optimal_graph", {"4", "%/scores", "@@", "%/network"}},
    {"apply_edge_rules_listing", "apply_edge_rules", {"@@", "%/ban", "%/white", "%/out"}},
    {"apply_edge_rules_ban", "apply_edge_rules", {"%/listing", "@@", "%/white", "%/out"}},
    {"apply_edge_rules_white", "apply_edge_rules", {"%/listing", "%/ban", "@@", "%/out"}},
    {"compute_family_scores_data", "compute_family_scores",
     {"--threads", "1", "--missing=drop", "@@", "%/scored"}},
    {"compute_family_scores_arcs", "compute_family_scores",
     {"--threads", "1", "--forbid", "%/forbid", "--require", "@@", "%/data.csv", "%/scored"}},
};

// The side files of the fuzzing script, from its one source.
void write_fixtures(const std::string &d)
{
    const std::string cmd =
        "bash " + shell_quote(std::string(SOURCE_DIR) + "/tests/fuzz/fixtures.sh") + " " +
        shell_quote(d);
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

std::vector<std::string> seeds_of(const std::string &name)
{
    std::vector<std::string> seeds;
    for (const auto &e : fs::directory_iterator(std::string(SOURCE_DIR) + "/tests/fuzz/" + name))
        if (e.is_regular_file())
            seeds.push_back(e.path().string());
    std::sort(seeds.begin(), seeds.end());
    return seeds;
}

void PrintTo(const target &t, std::ostream *os)
{
    *os << t.name;
}

class FuzzSeeds : public ::testing::TestWithParam<target> {};

} // namespace

TEST_P(FuzzSeeds, AreReadOrRefusedWithOneMessage)
{
    const target &t = GetParam();
    const std::string d = scratch_dir();
    write_fixtures(d);
    const auto seeds = seeds_of(t.name);
    ASSERT_GE(seeds.size(), 3u) << "seed folder tests/fuzz/" << t.name;
    size_t read = 0;   // seeds run to the end: the fixtures fit the target
    for (const auto &seed : seeds) {
        // rate_graphs reads the seed through its fixed list.
        fs::copy_file(seed, d + "/net.cur", fs::copy_options::overwrite_existing);
        std::vector<std::string> args;
        for (const auto &a : t.args)
            args.push_back(a == "@@" ? seed : a.rfind("%/", 0) == 0 ? d + a.substr(1) : a);
        const result r = run(t.program, args);
        const std::string which = fs::path(seed).filename().string();
        EXPECT_TRUE(r.status == 0 || r.status == 2) << which << ": status " << r.status << "\n"
                                                    << r.err;
        read += r.status == 0;
        if (r.status == 2) {
            EXPECT_EQ(r.err.rfind(std::string(t.program) + ": ", 0), 0u) << which << ": " << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << which << ": " << r.err;
            EXPECT_TRUE(!r.err.empty() && r.err.back() == '\n') << which;
        }
    }
    EXPECT_GE(read, 1u) << "no seed of " << t.name << " is read to the end";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzSeeds, ::testing::ValuesIn(targets),
                         [](const ::testing::TestParamInfo<target> &info) {
                             return std::string(info.param.name);
                         });
