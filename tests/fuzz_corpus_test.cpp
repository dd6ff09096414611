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

// The side files of the fuzzing script: four variables of local scores and
// best-parent records, and fixed listings, lists and data.
void write_fixtures(const std::string &d)
{
    fs::create_directories(d + "/scores");
    for (int i = 0; i < 4; ++i) {
        write_doubles(d + "/scores/" + std::to_string(i), {-1, -2, -3, -4, -5, -6, -7, -8});
        write_file(d + "/scores/" + std::to_string(i) + ".bps",
                   bytes_of(std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    }
    write_file(d + "/net4", "0\n1\n3\n0\n");
    write_file(d + "/list", d + "/net.cur\n" + d + "/net4\n" + d + "/net.cur\n");
    write_file(d + "/arcs.fixed", "0 1\n0 2\n1 2\n2 3\n");
    write_file(d + "/vd.fixed", "asia\t2\tyes\tno\nsmoke\t2\tno\tyes\nlung\t3\ta\tb\tc\nxray\t1\tz\n");
    write_file(d + "/listing", "scores\n6 vars\nhead3\n0 0 6 2 2 2\nrecords\n"
                               "2 ACD 1.5\n2 AD -1\n2 D -2\n2 AB -3.25\n2 AAD -0.5\n2 CB 0\n"
                               "3 B 0.25\n3 AC -1 trailing words\n4 A -1\n4 AA -2\n"
                               "5 B -3\n5 ab -2.5\n");
    write_file(d + "/ban", "2 bans\nheader\n2 Bxyz\n5 b\n");
    write_file(d + "/white", "4 whites\nheader\n2 A\n2 C\n4 A\n4 A\n");
    write_file(d + "/data.csv", "V0,V1,V2,V3\n1,a,x,0\n2,b,x,1\n1,b,y,0\n2,a,y,1\n1,a,y,1\n");
    write_file(d + "/forbid", "V0,V1\n");
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
