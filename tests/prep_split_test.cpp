// Score table splitting and split file reversal, checked byte for byte.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "testutil.h"

using namespace testutil;

namespace {

// A table whose records all differ; the first ones are NaNs with payloads,
// infinities, -0.0 and a subnormal, which must survive bit for bit.
std::vector<uint64_t> table_of(size_t count)
{
    const uint64_t special[] = {0x7FF0000000000001, 0x7FF8DEADBEEF0001, 0xFFF0000000000123,
                                0x7FF0000000000000, 0xFFF0000000000000, 0x8000000000000000, 1};
    std::vector<uint64_t> v(count);
    for (size_t k = 0; k < count; ++k)
        v[k] = k < std::size(special) ? special[k] : 0x4000000000000000 + (k << 20);
    return v;
}

std::string records(const std::vector<uint64_t> &table, const std::vector<size_t> &at)
{
    std::vector<uint64_t> v;
    for (size_t k : at)
        v.push_back(table[k]);
    return bytes_of(v);
}

result prep(const char *program, const std::string &n, const std::string &dir)
{
    return run(program, {n, dir});
}
const char *scatter = "scatter_family_values";
const char *flip = "flip_family_files";

} // namespace

TEST(PrepSplit, WorkedExampleAndSmallCounts)
{
    std::string d = scratch_dir();
    auto t = table_of(12);
    write_file(d + "/res", bytes_of(t));
    // Families by position: 7:0 7:1 7:2 6:1 6:2 5:0 5:2 4:2 3:0 3:1 2:1 1:0.
    result r = prep(scatter, "3", d);
    EXPECT_EQ(r.status + r.out.size() + r.err.size(), 0u) << r.err;
    EXPECT_EQ(read_file(d + "/0.slt"), records(t, {0, 5, 8, 11}));
    EXPECT_EQ(read_file(d + "/1.slt"), records(t, {1, 3, 9, 10}));
    EXPECT_EQ(read_file(d + "/2.slt"), records(t, {2, 4, 6, 7}));
    for (int twice = 0; twice < 2; ++twice) {   // reads only the split files
        ASSERT_EQ(prep(flip, "3", d).status, 0);
        EXPECT_EQ(read_file(d + "/0"), records(t, {11, 8, 5, 0}));
        EXPECT_EQ(read_file(d + "/1"), records(t, {10, 9, 3, 1}));
        EXPECT_EQ(read_file(d + "/2"), records(t, {7, 6, 4, 2}));
    }

    // Two variables: 3:0 3:1 2:1 1:0, and surplus records stay unread.
    std::string e = d + "/two";
    fs::create_directory(e);
    write_file(e + "/res", bytes_of(t));
    ASSERT_EQ(prep(scatter, "2", e).status + prep(flip, "2", e).status, 0);
    EXPECT_EQ(read_file(e + "/0"), records(t, {3, 0}));
    EXPECT_EQ(read_file(e + "/1"), records(t, {2, 1}));
    ASSERT_EQ(prep(scatter, "1", e).status + prep(flip, "1", e).status, 0);
    EXPECT_EQ(read_file(e + "/0"), records(t, {0}));
    // No variables (or no number, or a negative count for the reversal):
    // the table is only opened, and nothing is written.
    fs::remove_all(e);
    fs::create_directory(e);
    write_file(e + "/res", "");
    EXPECT_EQ(prep(scatter, "0", e).status, 0);
    for (const char *none : {"0", "-2"})
        EXPECT_EQ(prep(flip, none, e).status, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(e), fs::directory_iterator()), 1);
}

TEST(PrepSplit, FailuresNameTheFileAndLeaveNothingLookingDone)
{
    std::string d = scratch_dir();
    auto fails = [&](const char *program, const std::string &n, const std::string &file) {
        result r = prep(program, n, d);
        EXPECT_EQ(r.status, 2) << program << " " << n;
        EXPECT_EQ(r.err.rfind(std::string(program) + ": " + file + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    };
    fails(scatter, "3", d + "/res");                 // no table
    EXPECT_FALSE(fs::exists(d + "/0.slt"));
    write_file(d + "/res", bytes_of(table_of(11)));  // one record short
    fails(scatter, "3", d + "/res");
    EXPECT_FALSE(fs::exists(d + "/0.slt") || fs::exists(d + "/2.slt"));
    fails(scatter, "33", "nof_vars");
    fails(scatter, "-1", "nof_vars");
    fails(flip, "33", "nof_vars");

    write_file(d + "/res", bytes_of(table_of(12)));
    fs::create_symlink("/dev/full", d + "/1.slt");   // a split file that cannot be written
    fails(scatter, "3", d + "/1.slt");
    EXPECT_FALSE(fs::exists(d + "/0.slt"));        // the device itself stays
    EXPECT_TRUE(fs::is_symlink(d + "/1.slt"));
    fs::remove(d + "/1.slt");
    ASSERT_EQ(prep(scatter, "3", d).status, 0);

    write_file(d + "/1.slt", bytes_of(table_of(3)));  // short split file
    fails(flip, "3", d + "/1.slt");
    EXPECT_EQ(read_file(d + "/0").size(), 32u);
    EXPECT_FALSE(fs::exists(d + "/1"));
    ASSERT_EQ(prep(scatter, "3", d).status, 0);
    fs::create_symlink("/dev/full", d + "/2");        // a local score file that cannot be written
    fails(flip, "3", d + "/2");

    for (const char *program : {scatter, flip}) {
        result r = run(program, {"3"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Usage: " + std::string(program) + " nof_vars dirname\n");
    }
}

TEST(PrepSplit, FlippingSplitFilesFromPipesEqualsFlippingFiles)
{
    // Regular split files are read block by block from their end; a split
    // file that cannot be read that way (a named pipe) is read whole.  At a
    // size of several blocks both give the same local score files.
    const int n = 17;
    const size_t count = size_t(1) << (n - 1);
    const std::string dir = scratch_dir();
    const std::string piped = dir + "/piped";
    std::filesystem::create_directory(piped);
    std::string feed;
    for (int i = 0; i < n; ++i) {
        std::vector<double> v(count);
        for (size_t k = 0; k < count; ++k)
            v[k] = -double(k * 31 + size_t(i));
        std::string name = "/";
        name += std::to_string(i);
        name += ".slt";
        write_doubles(dir + name, v);
        ASSERT_EQ(mkfifo((piped + name).c_str(), 0600), 0);
        feed += "timeout 60 cat " + shell_quote(dir + name) + " > " + shell_quote(piped + name) +
                " & ";
    }
    ASSERT_EQ(run("flip_family_files", {std::to_string(n), dir}).status, 0);
    ASSERT_EQ(std::system(("(" + feed + "wait) &").c_str()), 0);
    result r = run("flip_family_files", {std::to_string(n), piped});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int i = 0; i < n; ++i) {
        const std::vector<double> local = read_doubles(dir + "/" + std::to_string(i));
        ASSERT_EQ(local.size(), count);
        EXPECT_EQ(local.front(), -double((count - 1) * 31 + size_t(i)));
        EXPECT_EQ(read_file(piped + "/" + std::to_string(i)), read_file(dir + "/" + std::to_string(i)));
    }
}
