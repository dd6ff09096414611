// bench/run end to end on a build whose programs may be swapped for wrong,
// unsteady or slow ones: a wrong output must fail the run before any timing
// counts, a missed target must show in the exit status.
#include "testutil.h"

using namespace testutil;

namespace {

const char *const stage_programs[] = {
    "scatter_family_values", "flip_family_files", "find_top_families",
    "solve_leaf_table",      "trace_leaf_sequence", "assemble_optimal_graph",
    "rate_graph",            "rate_graphs",       "compute_family_scores",
};

// A build folder of links to the real programs and helpers; replace() puts a
// shell script in place of one program (REAL in it names the real one).
class BenchRun : public ::testing::Test {
protected:
    std::string root, build, work;

    void SetUp() override
    {
        root = scratch_dir();
        build = root + "/build";
        work = root + "/work";
        fs::create_directories(build + "/bin");
        fs::create_directories(work);
        for (const char *p : stage_programs)
            fs::create_symlink(bin(p), build + "/bin/" + p);
        fs::create_directory_symlink(BENCH_DIR, build + "/bench");
    }

    void replace(const std::string &program, const std::string &script)
    {
        std::string path = build + "/bin/" + program;
        fs::remove(path);
        std::string text = script;
        for (size_t at; (at = text.find("REAL")) != std::string::npos;)
            text.replace(at, 4, shell_quote(bin(program)));
        write_file(path, "#!/bin/sh\n" + text);
        fs::permissions(path, fs::perms::owner_all);
    }

    result bench(std::vector<std::string> args)
    {
        std::vector<std::string> all = {std::string(SOURCE_DIR) + "/bench/run", "--build", build,
                                        "--tmp", work, "--networks", "100", "--no-save"};
        all.insert(all.end(), args.begin(), args.end());
        return run_path("/bin/bash", all);
    }
};

TEST_F(BenchRun, ReportsEveryStageAndItsGrowthAndCleansUp)
{
    result r = bench({"--n", "10,8", "--runs", "1", "--no-targets"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *p : stage_programs) {
        if (std::string(p) == "compute_family_scores")
            continue; // measured at 20 and 22 variables only
        for (const char *n : {"8", "10"})
            EXPECT_NE(r.out.find(std::string("| ") + p + " | " + n + " | "), std::string::npos)
                << p << " at n = " << n;
        EXPECT_NE(r.out.find(std::string("| ") + p + " | 8 -> 10 | "), std::string::npos) << p;
    }
    EXPECT_NE(r.out.find("| ratio |"), std::string::npos);
    EXPECT_NE(r.out.find("optimum -"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(work)) << "the work folder keeps files";
}

TEST_F(BenchRun, AWrongOrUnsteadyProgramFailsTheRun)
{
    struct fault {
        const char *program, *script, *message;
    };
    const fault faults[] = {
        // One best score changed after the real work.
        {"find_top_families",
         "REAL \"$@\" || exit $?\nprintf '\\001' | dd of=\"$2/0.bss\" bs=1 seek=0 conv=notrunc status=none\n",
         "FAIL: n=8 find_top_families: wrong output"},
        // Right the first time, other bytes the second time.
        {"solve_leaf_table",
         "REAL \"$@\" || exit $?\nif [ -e \"$2/.ran\" ]; then printf '\\002' | dd of=\"$3\" bs=1 seek=3 "
         "conv=notrunc status=none; fi\ntouch \"$2/.ran\"\n",
         "FAIL: n=8 solve_leaf_table: timed run 1 wrote other bytes"},
        // A score one unit off.
        {"rate_graph", "REAL \"$@\" | awk '{printf \"%.3f\\n\", $1 + 1}'\n",
         "FAIL: n=8 rate_graph: wrong output"},
        // A stage that fails.
        {"flip_family_files", "echo 'flip_family_files: disk gone' >&2\nexit 2\n",
         "flip_family_files: disk gone"},
    };
    for (const fault &f : faults) {
        SetUp();
        replace(f.program, f.script);
        result r = bench({"--n", "8", "--runs", "1", "--no-targets"});
        EXPECT_EQ(r.status, 2) << f.program;
        EXPECT_NE(r.err.find(f.message), std::string::npos) << f.program << ": " << r.err;
    }
}

TEST_F(BenchRun, AMissedTargetGivesStatusThreeUnlessTargetsAreOff)
{
    replace("rate_graphs", "sleep 1.1\nexec REAL \"$@\"\n");
    result r = bench({"--n", "8", "--runs", "1"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("| < 1 s | MISS |"), std::string::npos) << r.out;
    r = bench({"--n", "8", "--runs", "1", "--no-targets"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(BenchRun, SkipsASizeTheDiskCannotHold)
{
    // 30 variables need terabytes.
    result r = bench({"--n", "30", "--runs", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("n=30 skipped: it needs "), std::string::npos) << r.out;
}

TEST_F(BenchRun, BadArgumentsGiveTheUsage)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--runs", "0"}, {"--n", "1"}, {"--n", "12,x"}, {"--frobnicate"}, {"--n"}}) {
        result r = bench(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("Usage: bench/run"), std::string::npos) << r.err;
    }
    fs::remove(build + "/bin/solve_leaf_table");
    result r = bench({"--n", "8"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("solve_leaf_table: not built"), std::string::npos) << r.err;
}

} // namespace
