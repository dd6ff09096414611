// Score table splitting and split file reversal, checked byte for byte.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

// g++ 12 reports a false -Wrestrict inside std::string concatenation
// once the harness is inlined here.
#pragma GCC diagnostic ignored "-Wrestrict"
#include "testutil.h"
#include "varpar.h"

using namespace testutil;

namespace {

// Record k of a hand-made table: a tag that tells every position apart.
uint64_t tag(size_t k) { return 0x4000000000000000ull + (uint64_t(k) << 20) + 7; }

std::vector<uint64_t> tagged(size_t count)
{
    std::vector<uint64_t> v(count);
    for (size_t k = 0; k < count; ++k)
        v[k] = tag(k);
    return v;
}

std::vector<uint64_t> pick(const std::vector<uint64_t> &from, const std::vector<size_t> &at)
{
    std::vector<uint64_t> v;
    for (size_t k : at)
        v.push_back(from[k]);
    return v;
}

// Table position of family (S, child) counted from the layout itself: every
// record of a larger varset comes first, then the members of S below child.
size_t table_position(int n, uint32_t s, int child)
{
    size_t pos = 0;
    for (uint64_t t = (uint64_t(1) << n) - 1; t > s; --t)
        pos += size_t(__builtin_popcount(uint32_t(t)));
    return pos + size_t(__builtin_popcount(s & ((1u << child) - 1)));
}

result scatter(const std::string &n, const std::string &dir)
{
    return run("scatter_family_values", {n, dir});
}
result flip(const std::string &n, const std::string &dir)
{
    return run("flip_family_files", {n, dir});
}

} // namespace

TEST(PrepSplit, WorkedExampleOfThreeVariables)
{
    std::string d = scratch_dir();
    auto table = tagged(12);
    write_file(d + "/res", bytes_of(table));
    result r = scatter("3", d);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    // Families by position: 7:0 7:1 7:2 6:1 6:2 5:0 5:2 4:2 3:0 3:1 2:1 1:0.
    EXPECT_EQ(read_file(d + "/0.slt"), bytes_of(pick(table, {0, 5, 8, 11})));
    EXPECT_EQ(read_file(d + "/1.slt"), bytes_of(pick(table, {1, 3, 9, 10})));
    EXPECT_EQ(read_file(d + "/2.slt"), bytes_of(pick(table, {2, 4, 6, 7})));

    r = flip("3", d);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    // Parsets 0..3: none, then the lower, the upper, and both other variables.
    EXPECT_EQ(read_file(d + "/0"), bytes_of(pick(table, {11, 8, 5, 0})));
    EXPECT_EQ(read_file(d + "/1"), bytes_of(pick(table, {10, 9, 3, 1})));
    EXPECT_EQ(read_file(d + "/2"), bytes_of(pick(table, {7, 6, 4, 2})));
    // The split files stay, and a second run reads only them.
    EXPECT_EQ(read_file(d + "/1.slt"), bytes_of(pick(table, {1, 3, 9, 10})));
    ASSERT_EQ(flip("3", d).status, 0);
    EXPECT_EQ(read_file(d + "/1"), bytes_of(pick(table, {10, 9, 3, 1})));
}

TEST(PrepSplit, ZeroOneAndTwoVariables)
{
    std::string d = scratch_dir();
    auto table = tagged(4);

    // No variables: the table is opened but nothing is read or created.
    write_file(d + "/res", "");
    for (const char *zero : {"0", "abc"}) {
        result r = scatter(zero, d);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(fs::exists(d + "/0.slt"));
    }
    for (const char *none : {"0", "-3", "x"}) {
        result r = flip(none, d);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(fs::exists(d + "/0"));
    }

    write_file(d + "/res", bytes_of(pick(table, {0})));
    ASSERT_EQ(scatter("1", d).status, 0);
    ASSERT_EQ(flip("1", d).status, 0);
    EXPECT_EQ(read_file(d + "/0.slt"), bytes_of(pick(table, {0})));
    EXPECT_EQ(read_file(d + "/0"), bytes_of(pick(table, {0})));
    EXPECT_FALSE(fs::exists(d + "/1.slt"));

    // Table 3:0 3:1 2:1 1:0; surplus records after them stay unread.
    write_file(d + "/res", bytes_of(tagged(6)));
    ASSERT_EQ(scatter("2", d).status, 0);
    EXPECT_EQ(read_file(d + "/0.slt"), bytes_of(pick(table, {0, 3})));
    EXPECT_EQ(read_file(d + "/1.slt"), bytes_of(pick(table, {1, 2})));
    ASSERT_EQ(flip("2", d).status, 0);
    EXPECT_EQ(read_file(d + "/0"), bytes_of(pick(table, {3, 0})));
    EXPECT_EQ(read_file(d + "/1"), bytes_of(pick(table, {2, 1})));
}

TEST(PrepSplit, EveryBitPatternLandsAtItsParset)
{
    const uint64_t specials[] = {
        0x7FF0000000000001ull,   // signalling NaN
        0x7FF8DEADBEEF0001ull,   // quiet NaN with a payload
        0xFFF0000000000123ull,   // negative NaN
        0x7FF0000000000000ull,   // +inf
        0xFFF0000000000000ull,   // -inf
        0x8000000000000000ull,   // -0.0
        0x0000000000000001ull,   // smallest subnormal
    };
    std::mt19937_64 rng(12345);
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE("nof_vars " + std::to_string(n));
        std::string d = scratch_dir() + "/" + std::to_string(n);
        fs::create_directories(d);
        std::vector<uint64_t> table(size_t(n) << (n - 1));
        for (size_t k = 0; k < table.size(); ++k)
            table[k] = k < std::size(specials) ? specials[k] : rng();
        write_file(d + "/res", bytes_of(table));
        ASSERT_EQ(scatter(std::to_string(n), d).status, 0);
        ASSERT_EQ(flip(std::to_string(n), d).status, 0);
        for (int i = 0; i < n; ++i) {
            std::vector<uint64_t> want;
            for (uint32_t p = 0; p < (1u << (n - 1)); ++p)
                want.push_back(table[table_position(n, parset2varset(i, p) | (1u << i), i)]);
            EXPECT_EQ(read_file(d + "/" + std::to_string(i)), bytes_of(want)) << "variable " << i;
        }
    }
}

TEST(PrepSplit, UsageAndCountsOutsideTheModel)
{
    std::string d = scratch_dir();
    write_file(d + "/res", bytes_of(tagged(12)));
    for (const char *program : {"scatter_family_values", "flip_family_files"}) {
        std::string usage = std::string("Usage: ") + program + " nof_vars dirname\n";
        for (const auto &args : std::vector<std::vector<std::string>>{{}, {"3"}, {"3", d, "x"}}) {
            result r = run(program, args);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, usage);
        }
        result r = run(program, {"33", d});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(std::string(program) + ": 33: "), std::string::npos) << r.err;
    }
    result r = scatter("-1", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("scatter_family_values: -1: ", 0), 0u) << r.err;
    EXPECT_EQ(fs::directory_iterator(d)->path().filename(), "res");
    EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 1);
}

TEST(PrepSplit, ScatterFailuresLeaveNoSplitFiles)
{
    std::string d = scratch_dir();
    // Missing table: the split files created before it are removed again.
    result r = scatter("3", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("scatter_family_values: " + d + "/res: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_FALSE(fs::exists(d + "/0.slt"));

    // One record short: the last family is never written, nothing is left.
    write_file(d + "/res", bytes_of(tagged(11)));
    r = scatter("3", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(d + "/res: unexpected end of file"), std::string::npos) << r.err;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(fs::exists(d + "/" + std::to_string(i) + ".slt"));

    // A split file on a full device fails at the latest when it is closed.
    write_file(d + "/res", bytes_of(tagged(12)));
    fs::create_symlink("/dev/full", d + "/1.slt");
    r = scatter("3", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("scatter_family_values: " + d + "/1.slt: ", 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(d + "/0.slt"));

    // A split file that cannot be created at all.
    fs::create_directory(d + "/2.slt");
    r = scatter("3", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("scatter_family_values: " + d + "/2.slt: ", 0), 0u) << r.err;
    EXPECT_TRUE(fs::is_directory(d + "/2.slt"));
}

TEST(PrepSplit, FlipFailuresNameTheFile)
{
    std::string d = scratch_dir();
    auto table = tagged(12);
    write_file(d + "/res", bytes_of(table));
    ASSERT_EQ(scatter("3", d).status, 0);

    // Short split file of variable 1: variable 0 is complete, 1 is not made.
    write_file(d + "/1.slt", bytes_of(pick(table, {1, 3, 9})));
    result r = flip("3", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("flip_family_files: " + d + "/1.slt: unexpected end of file", 0), 0u)
        << r.err;
    EXPECT_EQ(read_file(d + "/0"), bytes_of(pick(table, {11, 8, 5, 0})));
    EXPECT_FALSE(fs::exists(d + "/1"));

    // Missing split file.
    fs::remove(d + "/1.slt");
    r = flip("3", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("flip_family_files: " + d + "/1.slt: ", 0), 0u) << r.err;

    // A local score file on a full device is reported, never left looking done.
    ASSERT_EQ(scatter("3", d).status, 0);
    fs::create_symlink("/dev/full", d + "/2");
    r = flip("3", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("flip_family_files: " + d + "/2: ", 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(d + "/2"));
    EXPECT_EQ(read_file(d + "/1"), bytes_of(pick(table, {10, 9, 3, 1})));
}
