// The two reducing search stages visit their tables in blocks and on two
// threads; their outputs must be byte for byte those of the plain
// member-by-member folds below, ties, NaNs (payloads included) and
// infinities included, at sizes below, at and above the block and the
// two-thread thresholds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sys/stat.h>

#include "testutil.h"

using namespace testutil;
namespace fs = std::filesystem;

namespace {

// Scores drawn from a small pool, so that exact ties are frequent, with
// NaNs of several payloads and both infinities mixed in at a rate that
// differs from file to file.
std::vector<double> tricky_scores(size_t count, std::mt19937 &rng, bool with_nan = true)
{
    auto nan_with = [](uint64_t payload) {
        uint64_t bits = 0x7ff8000000000000ull | payload;
        double d;
        memcpy(&d, &bits, sizeof d);
        return d;
    };
    const double pool[] = {-1.0, -2.0, -2.5, -3.0, -INFINITY, INFINITY, -0.0, 0.0, nan_with(1),
                           nan_with(0x1234)};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double special = unit(rng) * 0.6;
    const size_t pool_size = with_nan ? std::size(pool) : 8;   // the NaNs are last
    std::vector<double> v(count);
    for (double &x : v)
        x = unit(rng) < special ? pool[rng() % pool_size] : -double(1 + rng() % 8);
    return v;
}

std::string raw(const void *p, size_t bytes)
{
    return std::string(static_cast<const char *>(p), bytes);
}

// Best subsets: replace on greater-or-equal, bits from the lowest up.
void reference_families(std::vector<double> &score, std::vector<uint32_t> &best)
{
    for (uint32_t j = 0; j < score.size(); ++j) {
        uint32_t kept = j;
        double value = score[j];
        for (uint32_t bit = 1; bit <= j; bit <<= 1) {
            if ((j & bit) == 0)
                continue;
            const uint32_t sub = j ^ bit;
            if (score[sub] >= value) {
                value = score[sub];
                kept = best[sub];
            }
        }
        best[j] = kept;
        score[j] = value;
    }
}

// Best sinks: members from the lowest up, replace when strictly greater,
// the k-th record of variable v consumed at the k-th subset holding v.
std::string reference_sinks(int n, const std::vector<std::vector<double>> &bss)
{
    std::vector<double> net(size_t(1) << n);
    std::vector<size_t> next(size_t(n), 0);
    std::string sink;
    double kept = 0.0;
    for (uint64_t s = 0; s < net.size(); ++s) {
        int best = 255;
        for (int v = 0; v < n; ++v) {
            if ((s >> v & 1) == 0)
                continue;
            const double c = net[s ^ (uint64_t(1) << v)] + bss[size_t(v)][next[size_t(v)]++];
            if (best == 255 || c > kept) {
                best = v;
                kept = c;
            }
        }
        net[s] = kept;
        sink += char(best);
    }
    return sink;
}

} // namespace

TEST(SearchBlocked, BestParentSetsEqualThePlainFold)
{
    // Tables without a NaN are reduced bit by bit, the others by the fold
    // itself: both kinds, at sizes on both sides of the block and tile
    // sizes of the bit-by-bit passes, and a NaN found only at the end.
    std::mt19937 rng(2024);
    for (int n : {1, 2, 3, 5, 9, 13, 14, 15, 16, 17, 20}) {
        for (int round = 0; round < (n < 20 ? 4 : 1); ++round) {
            const std::string dir = scratch_dir();
            const size_t count = size_t(1) << (n - 1);
            std::vector<std::vector<double>> local(static_cast<size_t>(n));
            for (int v = 0; v < n; ++v) {
                local[size_t(v)] = tricky_scores(count, rng, round % 2 == 1);
                // A table clean up to its very last record, which is NaN: by
                // then the blocks before it have been reduced bit by bit.
                if (round == 2 && n >= 16)
                    local[size_t(v)].back() = std::nan("");
                write_doubles(dir + "/" + std::to_string(v), local[size_t(v)]);
            }
            result r = run("find_top_families", {std::to_string(n), dir});
            ASSERT_EQ(r.status, 0) << r.err;
            for (int v = 0; v < n; ++v) {
                std::vector<double> score = local[size_t(v)];
                std::vector<uint32_t> best(count);
                reference_families(score, best);
                const std::string at = "n=" + std::to_string(n) + " variable " + std::to_string(v);
                ASSERT_EQ(read_file(dir + "/" + std::to_string(v) + ".bps"),
                          raw(best.data(), count * 4)) << at;
                ASSERT_EQ(read_file(dir + "/" + std::to_string(v) + ".bss"),
                          raw(score.data(), count * 8)) << at;
            }
            fs::remove_all(dir);
        }
    }
}

TEST(SearchBlocked, BestSinksEqualThePlainFold)
{
    std::mt19937 rng(77);
    for (int n : {1, 2, 5, 9, 12, 13, 15, 16, 17}) {
        for (int round = 0; round < 2; ++round) {
            const std::string dir = scratch_dir();
            std::vector<std::vector<double>> bss(static_cast<size_t>(n));
            for (int v = 0; v < n; ++v) {
                bss[size_t(v)] = tricky_scores(size_t(1) << (n - 1), rng);
                write_doubles(dir + "/" + std::to_string(v) + ".bss", bss[size_t(v)]);
            }
            result r = run("solve_leaf_table", {std::to_string(n), dir, dir + "/sink"});
            ASSERT_EQ(r.status, 0) << r.err;
            ASSERT_EQ(read_file(dir + "/sink"), reference_sinks(n, bss)) << "n=" << n;
            fs::remove_all(dir);
        }
    }
}

TEST(SearchBlocked, BestSinksFromPipesEqualThoseFromFiles)
{
    // Best-score files that cannot be mapped (here named pipes) are read
    // through the buffered path, with the same result.
    std::mt19937 rng(5);
    const int n = 13;
    const std::string src = scratch_dir();
    const std::string dir = src + "/pipes";
    fs::create_directory(dir);
    std::vector<std::vector<double>> bss(static_cast<size_t>(n));
    std::string feed;
    for (int v = 0; v < n; ++v) {
        const std::string name = std::to_string(v) + ".bss";
        bss[size_t(v)] = tricky_scores(size_t(1) << (n - 1), rng);
        write_doubles(src + "/" + name, bss[size_t(v)]);
        ASSERT_EQ(mkfifo((dir + "/" + name).c_str(), 0600), 0);
        feed += "timeout 60 cat " + shell_quote(src + "/" + name) + " > " + shell_quote(dir + "/" + name) +
                " & ";
    }
    // The writers give up after a minute should the program never open
    // their pipes.
    ASSERT_EQ(std::system(("(" + feed + "wait) &").c_str()), 0);
    result r = run("solve_leaf_table", {std::to_string(n), dir, src + "/sink"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(src + "/sink"), reference_sinks(n, bss));
    fs::remove_all(src);
}

TEST(SearchBlocked, BothHalvesFailingAtOnceReportOnce)
{
    // At 16 variables both threads write their half of the sink file; on a
    // full device both writes fail at about the same moment, and still one
    // line is printed.
    if (!fs::is_character_file("/dev/full"))
        GTEST_SKIP() << "/dev/full is missing (mknod -m 666 /dev/full c 1 7 makes it)";
    std::mt19937 rng(16);
    const int n = 16;
    const std::string dir = scratch_dir();
    for (int v = 0; v < n; ++v)
        write_doubles(dir + "/" + std::to_string(v) + ".bss",
                      tricky_scores(size_t(1) << (n - 1), rng, false));
    fs::create_symlink("/dev/full", dir + "/sink");
    for (int round = 0; round < 300; ++round) {
        result r = run("solve_leaf_table", {std::to_string(n), dir, dir + "/sink"});
        ASSERT_EQ(r.status, 2) << r.err;
        ASSERT_EQ(r.err, "solve_leaf_table: " + dir + "/sink: No space left on device\n")
            << "round " << round;
    }
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    fs::remove_all(dir);
}
