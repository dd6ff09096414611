// import_family_table: echo, result files, refused listings, and a listing
// imported and searched end to end.  The result directory is fixed at build
// time, so these cases run one at a time.
#pragma GCC diagnostic ignored "-Wrestrict"   // g++ 12 false positive in testutil.h
#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "bruteforce.h"
#include "testutil.h"
#include "varpar.h"

using namespace testutil;

namespace {

const std::string resdir = RESULT_DIR;

void clear_resdir()
{
    fs::remove_all(resdir);
    fs::create_directories(resdir);
}

std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::directory_iterator(dir))
        files[e.path().filename().string()] = read_file(e.path().string());
    return files;
}

const std::string example =
    "scores\n3 variables\nheader three\n3 5 4\nrecords\n"
    "0 A -1.5\n7 B 1e-3\n0 AB -2 ignored words\n"
    "1 x 1\n1 y 2\n1 z 3\n99 w 4\n1 v 5\n"
    "2 a -32.5\n2 b 0\n2 c 1\n2 d -12.3456789";   // last line without newline

} // namespace

TEST(ImportFamilyTable, EchoAndPaddedResultFiles)
{
    clear_resdir();
    write_file(resdir + "/7", "older file");
    std::string dir = scratch_dir();
    write_file(dir + "/l", example);
    result r = run("import_family_table", {dir + "/l", "extra", "args"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "scores\n\n3\nheader three\n\n3\n5\n4\nrecords\n\n");
    const double F = -1000.0;
    EXPECT_EQ(read_file(resdir + "/0"), bytes_of<double>({-1.5, 0.001, -2, F, F}));
    EXPECT_EQ(read_file(resdir + "/1"), bytes_of<double>({1, 2, 3, 4, 5}));
    EXPECT_EQ(read_file(resdir + "/2"), bytes_of<double>({-32.5, 0, 1, -12.3456789, F}));
    EXPECT_EQ(read_file(resdir + "/0").substr(24, 8), std::string("\0\0\0\0\0\x40\x8f\xc0", 8));
    // A listing through a pipe is read once: the same echo and files.
    const auto from_file = snapshot(resdir);
    clear_resdir();
    write_file(resdir + "/7", "older file");
    r = run_path("/bin/sh", {"-c", "cat " + shell_quote(dir + "/l") + " | " +
                                       shell_quote(bin("import_family_table")) + " /dev/stdin"});
    EXPECT_EQ(r.out + r.err, "scores\n\n3\nheader three\n\n3\n5\n4\nrecords\n\n");
    EXPECT_EQ(snapshot(resdir), from_file);
    EXPECT_EQ(read_file(resdir + "/7"), "older file");   // index not below n

    // Empty groups are all filler; with every count 0 the files are empty.
    write_file(dir + "/gap", "h1\n2\nh3\n0\n2\nh5\n1 A 3.25\n1 B 4\n");
    ASSERT_EQ(run("import_family_table", {dir + "/gap"}).status, 0);
    EXPECT_EQ(read_file(resdir + "/0"), bytes_of<double>({F, F}));
    write_file(dir + "/zero", "h1\n2\nh3\n0 0\nh5\n");
    ASSERT_EQ(run("import_family_table", {dir + "/zero"}).status, 0);
    EXPECT_EQ(read_file(resdir + "/0") + read_file(resdir + "/1"), "");

    clear_resdir();
    std::string longest(498, 'x');
    write_file(dir + "/none", longest + "\n0\nh3\n\nh5\n");
    r = run("import_family_table", {dir + "/none"});
    EXPECT_EQ(r.out, longest + "\n\n0\nh3\n\nh5\n\n");
    EXPECT_TRUE(snapshot(resdir).empty());

    // Beyond 30 variables the files go on being named by index.
    std::string wide = "h1\n32\nh3\n" + std::string(64, ' ') + "\nh5\n";
    for (int i = 0; i < 32; ++i) {
        wide[size_t(10 + 2 * i)] = '1';
        wide += std::to_string(i) + " A " + std::to_string(i) + ".5\n";
    }
    write_file(dir + "/wide", wide);
    ASSERT_EQ(run("import_family_table", {dir + "/wide"}).status, 0);
    EXPECT_EQ(snapshot(resdir).size(), 32u);
    EXPECT_EQ(read_file(resdir + "/30") + read_file(resdir + "/31"),
              bytes_of<double>({30.5, 31.5}));
}

TEST(ImportFamilyTable, RefusesUnsafeListingsWithoutTouchingFiles)
{
    std::string dir = scratch_dir();
    write_file(dir + "/good", example);
    clear_resdir();
    ASSERT_EQ(run("import_family_table", {dir + "/good"}).status, 0);
    const auto before = snapshot(resdir);

    const std::string head = "h1\n2\nh3\n2 1\nh5\n";
    const std::map<std::string, std::string> bad = {
        {"vars_above_100", "h1\n101\nh3\n"},
        {"vars_negative", "h1\n-1\nh3\n\nh5\n"},
        {"count_negative", "h1\n2\nh3\n1 -1\nh5\n0 A 1\n"},
        {"count_overflow", "h1\n1\nh3\n99999999999\nh5\n"},
        {"header_too_long", "h1\n2\n" + std::string(499, 'y') + "\n1 1\nh5\n0 A 1\n1 B 2\n"},
        {"token_500", head + "0 " + std::string(500, 'A') + " 1\n0 B 2\n1 C 3\n"},
        {"score_not_number", head + "0 A 1\n0 B abc\n1 C 3\n"},
        {"ends_early", head + "0 A 1\n0 B 2\n"},
    };
    for (const auto &[name, text] : bad) {
        write_file(dir + "/" + name, text);
        const auto scratch = snapshot(dir);
        result r = run("import_family_table", {dir + "/" + name});
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_EQ(r.err.rfind("import_family_table: " + dir + "/" + name + ": line ", 0), 0u)
            << name << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(snapshot(resdir), before) << name;
        EXPECT_EQ(snapshot(dir), scratch) << name;
    }
    EXPECT_EQ(run("import_family_table", {dir + "/no such file"}).status, 2);
    result r = run("import_family_table", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: import_family_table listing\n");
    EXPECT_EQ(snapshot(resdir), before);

    // A listing kept in the result directory is not emptied by its own import.
    write_file(resdir + "/1", example);
    EXPECT_EQ(run("import_family_table", {resdir + "/1"}).status, 2);
    EXPECT_EQ(read_file(resdir + "/1"), example);

    // A full standard output fails before any result file is written.
    clear_resdir();
    std::string cmd = shell_quote(bin("import_family_table")) + " " +
                      shell_quote(dir + "/good") + " >/dev/full 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2);
    EXPECT_TRUE(snapshot(resdir).empty());

    fs::remove_all(resdir);
    r = run("import_family_table", {dir + "/good"});
    fs::create_directories(resdir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "import_family_table: " + resdir + ": result directory is missing\n");
}

// A listing in parset order, imported and searched, reaches the optimum:
// the best, over all variable orders, of each variable's best family among
// its predecessors.
TEST(ImportFamilyTable, ImportedListingSearchesToTheOptimum)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(-16, -10);
    for (int n : {1, 3, 4}) {
        std::string dir = scratch_dir(), nv = std::to_string(n);
        std::vector<std::vector<double>> scores{size_t(n)};
        std::string text = "scores\n" + nv + "\ncounts\n";
        for (int i = 0; i < n; ++i)
            text += std::to_string(1 << (n - 1)) + " ";
        text += "\nrecords\n";
        for (int i = 0; i < n; ++i)
            for (int p = 0; p < 1 << (n - 1); ++p) {
                scores[size_t(i)].push_back(pick(rng));
                text += std::to_string(i) + " P " + std::to_string(scores[size_t(i)].back()) + "\n";
            }
        write_file(dir + "/listing", text);
        clear_resdir();
        ASSERT_EQ(run("import_family_table", {dir + "/listing"}).status, 0);
        for (int i = 0; i < n; ++i)
            fs::copy_file(resdir + "/" + std::to_string(i), dir + "/" + std::to_string(i));
        const std::vector<uint32_t> parents = run_search(n, dir);
        ASSERT_EQ(parents.size(), size_t(n));
        double found = 0.0;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(parents[size_t(i)] >> i & 1, 0u);
            found += scores[size_t(i)][varset2parset(i, parents[size_t(i)])];
        }
        const double best = bruteforce::best_total(n, scores);
        EXPECT_EQ(found, best) << "n = " << n;
    }
}

// The fuzzing seeds of import_family_table (tests/fuzz/import_family_table/):
// each is imported, or refused with status 2 and one "line N" message that
// leaves the result files as they were.
TEST(ImportFamilyTable, FuzzSeedsAreImportedOrRefused)
{
    std::vector<std::string> seeds;
    for (const auto &e : fs::directory_iterator(std::string(SOURCE_DIR) +
                                                "/tests/fuzz/import_family_table"))
        seeds.push_back(e.path().string());
    std::sort(seeds.begin(), seeds.end());
    ASSERT_GE(seeds.size(), 3u);
    for (const auto &seed : seeds) {
        clear_resdir();
        write_file(resdir + "/0", "before");
        result r = run("import_family_table", {seed});
        if (r.status == 0)
            continue;
        EXPECT_EQ(r.status, 2) << seed << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("import_family_table: " + seed + ": line ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << seed;
        EXPECT_EQ(snapshot(resdir), (std::map<std::string, std::string>{{"0", "before"}})) << seed;
    }
}
