// The shared index conversions and numbered-file helpers.
#include <cstdlib>
#include <random>

#include "files.h"
#include "testutil.h"
#include "varpar.h"

using namespace testutil;

TEST(Varpar, SqueezesAndInsertsTheChildBit)
{
    // Child 2 of five variables: {0, 3, 4} = 11001b has parset 1101b.
    EXPECT_EQ(varset2parset(2, 25u), 13u);
    EXPECT_EQ(parset2varset(2, 13u), 25u);
    // Child 0: a plain shift either way.
    EXPECT_EQ(varset2parset(0, 0xFFFFFFFEu), 0x7FFFFFFFu);
    EXPECT_EQ(parset2varset(0, 0x7FFFFFFFu), 0xFFFFFFFEu);
    // The highest child has no parent bit above it.
    EXPECT_EQ(varset2parset(31, 0x7FFFFFFFu), 0x7FFFFFFFu);
    EXPECT_EQ(varset2parset(4, 15u), 15u);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(varset2parset(i, 0u), 0u);
        EXPECT_EQ(parset2varset(i, 0u), 0u);
    }
}

TEST(Varpar, RoundTripsOnEveryChild)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 32; ++i) {
        for (int k = 0; k < 2000; ++k) {
            uint32_t p = rng() & 0x7FFFFFFFu;
            uint32_t v = parset2varset(i, p);
            ASSERT_EQ(v & (uint32_t(1) << i), 0u);
            ASSERT_EQ(varset2parset(i, v), p);
            uint32_t w = rng() & ~(uint32_t(1) << i);
            ASSERT_EQ(parset2varset(i, varset2parset(i, w)), w);
        }
    }
    // Order is kept: the parsets of a child are its varsets in order.
    for (int i = 0; i < 5; ++i) {
        uint32_t expect = 0;
        for (uint32_t v = 0; v < 32; ++v) {
            if (!(v & (1u << i))) {
                ASSERT_EQ(varset2parset(i, v), expect++);
            }
        }
    }
}

TEST(Files, NamesAndDigits)
{
    EXPECT_EQ(nof_digits(0), 1);
    EXPECT_EQ(nof_digits(9), 1);
    EXPECT_EQ(nof_digits(10), 2);
    EXPECT_EQ(nof_digits(2147483647), 10);
    EXPECT_EQ(nof_digits(-45), 2);

    char *name = create_fn("d", 12, ".bps");
    EXPECT_STREQ(name, "d/12.bps");
    free(name);
    name = create_fn("some/dir", 0, "");
    EXPECT_STREQ(name, "some/dir/0");
    free(name);
}

TEST(Files, OpensAndClosesNumberedSets)
{
    std::string dir = scratch_dir();
    write_file(dir + "/0", "x");
    write_file(dir + "/1", "yz");
    FILE **set = open_files(3, dir.c_str(), "", "rb");
    ASSERT_NE(set, nullptr);
    ASSERT_NE(set[0], nullptr);
    ASSERT_NE(set[1], nullptr);
    EXPECT_EQ(set[2], nullptr); // <dir>/2 does not exist
    EXPECT_EQ(fgetc(set[1]), 'y');
    free_files(3, set);

    FILE **none = open_files(0, dir.c_str(), ".bps", "rb");
    ASSERT_NE(none, nullptr);
    free_files(0, none);

    FILE **written = open_files(2, dir.c_str(), ".slt", "wb");
    free_files(2, written);
    EXPECT_TRUE(fs::exists(dir + "/0.slt"));
    EXPECT_TRUE(fs::exists(dir + "/1.slt"));
}

// The registry of outputs: a staged output reaches its name only when
// committed; a failure removes what is unfinished and was made by this
// process, and nothing else.
TEST(Outputs, StagedOutputsAndRemovalOnFailure)
{
    std::string d = scratch_dir();
    write_file(d + "/result", "old");
    // What a killed process of the same pid left under the staged name.
    write_file(d + "/result." + std::to_string(getpid()) + ".part", "stale");
    FILE *f = open_output_staged((d + "/result").c_str(), "w");
    fputs("new", f);
    close_output(f, "result");
    EXPECT_EQ(read_file(d + "/result"), "old");   // not committed yet
    commit_output((d + "/result").c_str());
    EXPECT_EQ(read_file(d + "/result"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 1);

    f = open_output_staged((d + "/result").c_str(), "w");   // unfinished, staged
    FILE *g = open_output((d + "/partial").c_str(), "w");   // unfinished, in place
    FILE *h = open_output((d + "/replaced").c_str(), "w");  // replaced by another file
    fclose(f);
    fclose(g);
    fclose(h);
    write_file(d + "/other", "someone else's");   // made while the old one exists
    fs::rename(d + "/other", d + "/replaced");
    remove_outputs();
    EXPECT_EQ(read_file(d + "/result"), "new");
    EXPECT_FALSE(fs::exists(d + "/partial"));
    EXPECT_EQ(read_file(d + "/replaced"), "someone else's");
    EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 2);

    // Committed together, outputs are kept all or none: when the second
    // cannot be renamed (its name is a folder), the first, renamed already,
    // is removed too.
    std::string all = d + "/all";
    fs::create_directories(all + "/second/inside");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        fclose(open_output_staged((all + "/first").c_str(), "w"));
        fclose(open_output_staged((all + "/second").c_str(), "w"));
        commit_outputs();
        _exit(0);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_EQ(exit_code(raw), 2);
    EXPECT_FALSE(fs::exists(all + "/first"));
    EXPECT_EQ(std::distance(fs::directory_iterator(all), fs::directory_iterator()), 1);
}
