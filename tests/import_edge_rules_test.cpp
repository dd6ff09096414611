// apply_edge_rules: penalised records, the rewritten listing byte for byte,
// and inputs that are refused before the output is created.
#pragma GCC diagnostic ignored "-Wrestrict"   // g++ 12 false positive in testutil.h
#include <map>
#include <sys/stat.h>

#include "testutil.h"

using namespace testutil;

namespace {

struct inputs {
    std::string listing, ban, white;
};

result apply_rules(const std::string &dir, const inputs &in, const std::string &out = "")
{
    write_file(dir + "/listing", in.listing);
    write_file(dir + "/ban", in.ban);
    write_file(dir + "/white", in.white);
    return run("apply_edge_rules", {dir + "/listing", dir + "/ban", dir + "/white",
                                    out.empty() ? dir + "/out" : out});
}

const char *const no_rules = "0 entries\nheader\n";

} // namespace

TEST(ApplyEdgeRules, PenalisesRecordsThatBreakARule)
{
    std::string dir = scratch_dir();
    inputs in;
    in.listing = "scores\n6 vars\nhead3\n0 0 6 2 2 2\nrecords\n"
                 "2 ACD 1.5\n2 AD -1\n2 D -2\n2 AB -3.25\n2 AAD -0.5\n2 CB 0\n"
                 "3 B 0.25\n3 AC -1 trailing words\n"
                 "4 A -1\n4 AA -2\n"
                 "5 B -3\n5 ab -2.5\n";
    in.ban = "2 bans\nheader\n2 Bxyz\n5 b\n";   // only the first letter of a token counts
    in.white = "4 whites\nheader\n2 A\n2 C\n4 A\n4 A\n";
    result r = apply_rules(dir, in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(read_file(dir + "/out"),
              "scores\n6 vars\nhead3\n0\t0\t6\t2\t2\t2\t\nrecords\n"
              "2\tACD\t1.500000\n"      // both required letters
              "2\tAD\t-32.500000\n"     // C missing
              "2\tD\t-32.500000\n"
              "2\tAB\t-32.500000\n"     // banned B
              "2\tAAD\t-0.500000\n"     // two positions carry a required letter
              "2\tCB\t-32.500000\n"     // banned, whatever the white list says
              "3\tB\t0.250000\n"        // rules of child 2 do not apply to 3
              "3\tAC\t-1.000000\n"
              "4\tA\t-32.500000\n"      // A listed twice must occur twice
              "4\tAA\t-2.000000\n"
              "5\tB\t-3.000000\n"       // letters are case-sensitive
              "5\tab\t-32.500000\n");
}

TEST(ApplyEdgeRules, CopiesListingsInTheRewrittenForm)
{
    std::string dir = scratch_dir();
    result r = apply_rules(dir, inputs{"h1\n3\nh3\n3  5   4\nh5\n"
                           "0 A -12.3456789\n0 B 1e-3\n0 C 2\n"
                           "1 A 0\n1 B 0\n1 C 0\n1 D 0\n1 E 0\n"
                           "2 A 1\n2 B 1\n2 C 1\n2 D 1",
                           no_rules, no_rules});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/out"),
              "h1\n3\nh3\n3\t5\t4\t\nh5\n"
              "0\tA\t-12.345679\n0\tB\t0.001000\n0\tC\t2.000000\n"
              "1\tA\t0.000000\n1\tB\t0.000000\n1\tC\t0.000000\n1\tD\t0.000000\n"
              "1\tE\t0.000000\n"
              "2\tA\t1.000000\n2\tB\t1.000000\n2\tC\t1.000000\n2\tD\t1.000000\n");

    // With no score below 0 the penalty is 0.0.
    r = apply_rules(dir, inputs{"h1\n1\nh3\n2\nh5\n0 A 1.5\n0 B 2\n", "1\nh\n0 B\n", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/out"), "h1\n1\nh3\n2\t\nh5\n0\tA\t1.500000\n0\tB\t0.000000\n");

    r = apply_rules(dir, inputs{"h1\n0\nh3\n\nh5\n", no_rules, no_rules});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/out"), "h1\n0\nh3\n\nh5\n");
}

TEST(ApplyEdgeRules, RefusesUnsafeInputsBeforeWriting)
{
    const std::string listing = "h1\n2\nh3\n1 1\nh5\n0 A -1\n1 B -2\n";
    std::string many_white = "101\nh\n";
    for (int k = 0; k < 101; ++k)
        many_white += "1 " + std::string(1, char('!' + k % 90)) + "\n";
    const std::vector<std::pair<std::string, inputs>> bad = {
        {"ban_above_1000", inputs{listing, "1001\nh\n", no_rules}},
        {"white_negative", inputs{listing, no_rules, "-1\nh\n"}},
        {"white_101_letters", inputs{listing, no_rules, many_white}},
        {"ban_token_500", inputs{listing, "1\nh\n1 " + std::string(500, 'B') + "\n", no_rules}},
        {"ban_ends_early", inputs{listing, "2\nh\n1 A\n", no_rules}},
        {"white_letter_missing", inputs{listing, no_rules, "1\nh\n3\n"}},
        {"ban_header_too_long", inputs{listing, "0\n" + std::string(499, 'h') + "\n", no_rules}},
        {"vars_above_100", inputs{"h1\n101\nh3\n", no_rules, no_rules}},
        {"bad_record", inputs{"h1\n2\nh3\n1 1\nh5\n0 A -1\n1 B x\n", no_rules, no_rules}},
        {"listing_ends_early", inputs{"h1\n2\nh3\n1 1\nh5\n0 A -1\n", no_rules, no_rules}},
    };
    std::string dir = scratch_dir();
    for (const auto &[name, in] : bad) {
        write_file(dir + "/out", "previous output");
        result r = apply_rules(dir, in);
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_EQ(r.err.rfind("apply_edge_rules: " + dir + "/", 0), 0u) << name << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << name;
        EXPECT_EQ(read_file(dir + "/out"), "previous output") << name;
        EXPECT_EQ(files_of(dir).size(), 4u) << name;
    }

    inputs good{listing, no_rules, no_rules};
    result r = apply_rules(dir, good, dir + "/listing");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(read_file(dir + "/listing"), listing);
    EXPECT_EQ(apply_rules(dir, good, dir + "/no such dir/out").status, 2);
    fs::remove(dir + "/ban");
    EXPECT_EQ(run("apply_edge_rules", {dir + "/listing", dir + "/ban", dir + "/white",
                                       dir + "/out2"}).status, 2);
    EXPECT_FALSE(fs::exists(dir + "/out2"));

    // A full device fails, and is not removed as a partial output.
    EXPECT_EQ(apply_rules(dir, good, "/dev/full").status, 2);
    struct stat info;
    ASSERT_EQ(stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));

    r = run("apply_edge_rules", {dir + "/listing", dir + "/ban", dir + "/white"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: apply_edge_rules listing banlist whitelist outlisting\n");
}
