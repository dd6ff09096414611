// Faults under the text score import: result files and outputs on a full
// disk (from the start and mid-write), under a file-size limit, in missing
// or read-only folders; listings, ban and white lists deleted or cut at
// every byte.
//
// import_family_table writes into a folder fixed at build time.  These
// cases mount a file system of their own on it, in the test process's own
// mount namespace, so that the folder the other tests use is never touched;
// where no such namespace can be made they are skipped.
#pragma GCC diagnostic ignored "-Wrestrict"   // g++ 12 false positive in testutil.h
#include <memory>

#include "faults.h"

using namespace faults;

namespace {

const std::string resdir = RESULT_DIR;
const std::string importer = "import_family_table";
const std::string rules = "apply_edge_rules";

// A listing of two variables whose record groups hold count records each;
// the scores are told apart by their values, the last one positive.
std::string listing_of(int count)
{
    std::string text = "h1\n2\nh3\n" + std::to_string(count) + " " + std::to_string(count) +
                       "\nh5\n";
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < count; ++k) {
            bool last = i == 1 && k == count - 1;
            std::string token = k % 2 ? "AB" : "A";
            text += std::to_string(i) + " " + token + " " +
                    (last ? std::string("12.375") : "-" + std::to_string(k + 1) + ".25") + "\n";
        }
    return text;
}

// The scores of a listing_of(count) in listing order, per variable.
std::vector<std::vector<double>> scores_of(int count)
{
    std::vector<std::vector<double>> s(2);
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < count; ++k)
            s[size_t(i)].push_back(i == 1 && k == count - 1 ? 12.375 : -(k + 1) - 0.25);
    return s;
}

// The result folder as a file system of its own for this case, or null
// (with the reason) when none can be made without touching the real one.
std::unique_ptr<scratch_fs> own_result_dir(size_t bytes, std::string *why)
{
    if (!private_mount_namespace()) {
        *why = "no mount namespace of its own (needs root): the shared result folder "
               "stays untouched";
        return nullptr;
    }
    auto disk = std::make_unique<scratch_fs>(resdir, bytes);
    if (!disk->mounted) {
        *why = disk->why;
        return nullptr;
    }
    return disk;
}

// After a failure: a result file that is there is the whole one.
void expect_whole_results(const std::vector<std::vector<double>> &scores)
{
    for (size_t i = 0; i < scores.size(); ++i) {
        std::string path = resdir + "/" + std::to_string(i);
        if (fs::exists(path)) {
            EXPECT_EQ(read_file(path), bytes_of(scores[i])) << path << " left half-written";
        }
    }
}

} // namespace

TEST(FaultsImport, ResultFilesThatCannotBeWritten)
{
    std::string dir = scratch_dir();
    const int count = 1500;   // 12 000 bytes a result file
    write_file(dir + "/listing", listing_of(count));
    const auto scores = scores_of(count);
    std::string why;

    for (uint64_t room : {uint64_t(0), uint64_t(4096)}) {
        auto disk = own_result_dir(1 << 20, &why);
        if (!disk)
            GTEST_SKIP() << why;
        disk->fill(room);
        result r = run_with(importer, {dir + "/listing"}, {});
        expect_failure(r, importer, "result file", room ? "disk fills mid-write" : "disk full",
                       "No space left on device");
        EXPECT_EQ(named_file(r.err).rfind(resdir + "/", 0), 0u) << r.err;
        expect_whole_results(scores);
    }

    {
        auto disk = own_result_dir(1 << 20, &why);
        ASSERT_TRUE(disk) << why;
        run_options limited;
        limited.fsize_limit = 4096;
        result r = run_with(importer, {dir + "/listing"}, limited);
        expect_failure(r, importer, "result file", "file-size limit (RLIMIT_FSIZE)",
                       "File too large");
        expect_whole_results(scores);
    }
    {
        auto disk = own_result_dir(1 << 20, &why);
        ASSERT_TRUE(disk) << why;
        ASSERT_TRUE(disk->remount_read_only()) << disk->why;
        result r = run_with(importer, {dir + "/listing"}, {});
        expect_failure(r, importer, "result file", "result folder read-only",
                       "Read-only file system");
    }
    {
        // A file system on the folder above: the result folder is not there.
        ASSERT_TRUE(private_mount_namespace());
        scratch_fs above(fs::path(resdir).parent_path().string(), 1 << 20);
        ASSERT_TRUE(above.mounted) << above.why;
        result r = run_with(importer, {dir + "/listing"}, {});
        expect_failure(r, importer, "result folder", "result folder missing",
                       "result directory is missing");
    }
    {
        // The echo on a full disk or under a file-size limit: nothing is
        // imported after a failed echo.
        auto disk = own_result_dir(1 << 20, &why);
        ASSERT_TRUE(disk) << why;
        scratch_fs out(dir + "/out", 64 << 10);
        ASSERT_TRUE(out.mounted) << out.why;
        out.fill(0);
        result r = run_with(importer, {dir + "/listing"}, stdout_to(dir + "/out/echo"));
        expect_failure(r, importer, "standard output", "disk full", "No space left on device");
        EXPECT_TRUE(fs::is_empty(resdir));
        if (fs::is_character_file("/dev/full")) {
            r = run_with(importer, {dir + "/listing"}, stdout_to("/dev/full"));
            expect_failure(r, importer, "standard output", "full device (/dev/full)",
                           "No space left on device");
            EXPECT_TRUE(fs::is_empty(resdir));
        }
    }
}

TEST(FaultsImport, ListingDeletedOrCutAtEveryByte)
{
    std::string dir = scratch_dir();
    std::string why;
    auto disk = own_result_dir(1 << 20, &why);
    if (!disk)
        GTEST_SKIP() << why;
    const std::string full = listing_of(2);
    const std::string echo = "h1\n\n2\nh3\n\n2\n2\nh5\n\n";
    const size_t last_score = full.rfind(' ') + 1;
    for (size_t cut = 0; cut < full.size(); ++cut) {
        for (const auto &e : fs::directory_iterator(resdir))
            fs::remove(e.path());
        std::string text = full.substr(0, cut);
        write_file(dir + "/listing", text);
        result r = run_with(importer, {dir + "/listing"}, {});
        // Valid only when the last score is there in part: a shorter number.
        std::string tail = cut > last_score ? text.substr(last_score) : "";
        char *end = nullptr;
        double value = tail.empty() ? 0 : strtod(tail.c_str(), &end);
        if (tail.empty() || *end != '\0') {
            expect_failure(r, importer, "listing", "cut short", dir + "/listing: line ");
            EXPECT_EQ(r.out, "");
            EXPECT_TRUE(fs::is_empty(resdir)) << "cut at " << cut;
            continue;
        }
        record(importer, "listing", "cut short", r,
               "a shorter valid listing: the last score is the number that is left");
        ASSERT_EQ(r.status, 0) << "cut at " << cut << ": " << r.err;
        EXPECT_EQ(r.out, echo);
        auto scores = scores_of(2);
        scores[1][1] = value;
        EXPECT_EQ(read_file(resdir + "/0"), bytes_of(scores[0]));
        EXPECT_EQ(read_file(resdir + "/1"), bytes_of(scores[1])) << "cut at " << cut;
    }
    fs::remove(dir + "/listing");
    result r = run_with(importer, {dir + "/listing"}, {});
    expect_failure(r, importer, "listing", "deleted", "No such file or directory");
}

namespace {

// Variable 0 may not have B, variable 1 must have A: record "0 AB" and
// every other one of variable 0 is penalised (ten times the lowest score).
const std::string ban = "1\nban\n0 B\n";
const std::string white = "1\nwhite\n1 A\n";

std::string rewritten(int count, double last)
{
    std::string out = "h1\n2\nh3\n" + std::to_string(count) + "\t" + std::to_string(count) +
                      "\t\nh5\n";
    const auto scores = scores_of(count);
    const double penalty = 10 * -(count + 0.25);
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < count; ++k) {
            double s = i == 1 && k == count - 1 ? last : scores[size_t(i)][size_t(k)];
            if (i == 0 && k % 2)
                s = penalty;
            char score[64];
            snprintf(score, sizeof score, "%f", s);
            out += std::to_string(i) + "\t" + (k % 2 ? "AB" : "A") + "\t" + score + "\n";
        }
    return out;
}

} // namespace

TEST(FaultsEdgeRules, OutputThatCannotBeWritten)
{
    std::string dir = scratch_dir();
    const int count = 800;   // about 25 KiB of output
    write_file(dir + "/listing", listing_of(count));
    write_file(dir + "/ban", ban);
    write_file(dir + "/white", white);
    auto args = [&](const std::string &out) {
        return std::vector<std::string>{dir + "/listing", dir + "/ban", dir + "/white", out};
    };
    result r = run_with(rules, args(dir + "/good"), {});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(read_file(dir + "/good"), rewritten(count, 12.375));

    run_options limited;
    limited.fsize_limit = 4096;
    r = run_with(rules, args(dir + "/limited"), limited);
    expect_failure(r, rules, "output listing", "file-size limit (RLIMIT_FSIZE)",
                   "File too large");
    EXPECT_FALSE(fs::exists(dir + "/limited"));
    if (fs::is_character_file("/dev/full")) {
        r = run_with(rules, args("/dev/full"), {});
        expect_failure(r, rules, "output listing", "full device (/dev/full)",
                       "No space left on device");
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    r = run_with(rules, args(dir + "/missing/out"), {});
    expect_failure(r, rules, "output listing", "output folder missing",
                   "No such file or directory");

    for (uint64_t room : {uint64_t(0), uint64_t(4096)}) {
        std::string d = dir + "/disk" + std::to_string(room);
        scratch_fs disk(d, 1 << 20);
        if (!disk.mounted)
            GTEST_SKIP() << "no small file system for a full disk: " << disk.why;
        disk.fill(room);
        r = run_with(rules, args(d + "/out"), {});
        expect_failure(r, rules, "output listing", room ? "disk fills mid-write" : "disk full",
                       "No space left on device");
        EXPECT_FALSE(fs::exists(d + "/out"));
    }
    scratch_fs ro(dir + "/ro", 1 << 20);
    ASSERT_TRUE(ro.mounted) << ro.why;
    ASSERT_TRUE(ro.remount_read_only()) << ro.why;
    r = run_with(rules, args(dir + "/ro/out"), {});
    expect_failure(r, rules, "output listing", "output folder read-only",
                   "Read-only file system");
}

// Each input cut at every byte: the lists say how many entries follow, so
// only a cut after the letter of the last entry leaves them whole; the
// listing keeps a shorter last score.  Whatever fails writes nothing.
TEST(FaultsEdgeRules, InputsDeletedOrCutAtEveryByte)
{
    std::string dir = scratch_dir();
    const std::string listing = listing_of(2);
    const std::string inputs[] = {"listing", "ban", "white"};
    const std::string texts[] = {listing, ban, white};
    for (int which = 0; which < 3; ++which) {
        const std::string &full = texts[which];
        // The first byte that makes the cut text whole again.
        size_t whole_from = which == 0 ? full.rfind(' ') + 2 : full.size() - 1;
        for (size_t cut = 0; cut < full.size(); ++cut) {
            for (int k = 0; k < 3; ++k)
                write_file(dir + "/" + inputs[k], k == which ? full.substr(0, cut) : texts[k]);
            fs::remove(dir + "/out");
            result r = run_with(rules, {dir + "/listing", dir + "/ban", dir + "/white",
                                        dir + "/out"}, {});
            std::string what = which == 0 ? "listing" : inputs[which] + " list";
            if (cut < whole_from) {
                expect_failure(r, rules, what, "cut short", dir + "/" + inputs[which] + ": ");
                EXPECT_FALSE(fs::exists(dir + "/out")) << what << " cut at " << cut;
                continue;
            }
            record(rules, what, "cut short", r,
                   which == 0 ? "a shorter valid listing: the last score is the number "
                                "that is left"
                              : "the rest of an entry's line is ignored");
            ASSERT_EQ(r.status, 0) << what << " cut at " << cut << ": " << r.err;
            const size_t score_at = full.rfind(' ') + 1;
            double last = which == 0
                              ? strtod(full.substr(score_at, cut - score_at).c_str(), nullptr)
                              : 12.375;
            EXPECT_EQ(read_file(dir + "/out"), rewritten(2, last)) << what << " cut at " << cut;
        }
        for (int k = 0; k < 3; ++k)
            write_file(dir + "/" + inputs[k], texts[k]);
        fs::remove(dir + "/" + inputs[which]);
        fs::remove(dir + "/out");
        result r = run_with(rules, {dir + "/listing", dir + "/ban", dir + "/white", dir + "/out"},
                            {});
        expect_failure(r, rules, which == 0 ? "listing" : inputs[which] + " list", "deleted",
                       "No such file or directory");
        EXPECT_FALSE(fs::exists(dir + "/out"));
    }
}
