// The whole search against exhaustive enumeration: for random local scores,
// the four programs give an acyclic network whose score is the best over
// every DAG.
#include <limits>
#include <random>
#include <sstream>

#include "bruteforce.h"
#include "testutil.h"

using namespace testutil;

namespace {

std::vector<uint32_t> search(int n, const bruteforce::local_scores &scores, const std::string &dir)
{
    for (int i = 0; i < n; ++i)
        write_doubles(dir + "/" + std::to_string(i), scores[size_t(i)]);
    return run_search(n, dir);
}

} // namespace

TEST(SearchOptimality, MatchesExhaustiveEnumeration)
{
    std::mt19937 rng(20261208);
    std::string dir = scratch_dir();
    for (int n = 1; n <= 5; ++n) {
        const int rounds = n <= 3 ? 25 : 12;
        for (int round = 0; round < rounds; ++round) {
            // Narrow value ranges make exact ties common.
            auto scores = bruteforce::random_scores(n, rng, round % 2 ? 2 : 8);
            // Some families forbidden outright (never the empty parent set).
            if (round % 3 == 0)
                for (auto &f : scores)
                    for (size_t p = 1; p < f.size(); ++p)
                        if (rng() % 4 == 0)
                            f[p] = -std::numeric_limits<double>::infinity();
            auto parents = search(n, scores, dir);
            ASSERT_EQ(parents.size(), size_t(n));
            EXPECT_TRUE(bruteforce::is_acyclic(parents)) << "n=" << n << " round " << round;
            EXPECT_EQ(bruteforce::network_score(scores, parents),
                      bruteforce::best_total(n, scores))
                << "n=" << n << " round " << round;
        }
    }
}

TEST(SearchOptimality, AllScoresEqualGivesTheEmptyNetwork)
{
    // On a complete tie every stage prefers smaller sets and lower sinks.
    const int n = 4;
    bruteforce::local_scores scores(n, std::vector<double>(8, -1.0));
    auto parents = search(n, scores, scratch_dir());
    EXPECT_EQ(parents, std::vector<uint32_t>(n, 0));
}
