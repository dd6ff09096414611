// The whole pipeline, from a score table to the optimal network and its
// printed score, against the brute-force optimum over all DAGs.
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bruteforce.h"
#include "testutil.h"

using namespace testutil;

TEST(ScoringPipeline, TableToOptimalNetworkAndItsScore)
{
    std::mt19937 rng(2024);
    for (int n = 1; n <= 6; ++n) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE("nof_vars " + std::to_string(n) + ", round " + std::to_string(round));
            const std::string d = scratch_dir() + "/" + std::to_string(n * 10 + round);
            fs::create_directories(d);
            const auto scores = bruteforce::random_scores(n, rng);
            std::vector<double> table;   // varsets descending, children ascending
            for (uint32_t s = (1u << n) - 1; s >= 1; --s)
                for (int i = 0; i < n; ++i)
                    if (s & (1u << i))
                        table.push_back(scores[size_t(i)][varset2parset(i, s & ~(1u << i))]);
            write_doubles(d + "/res", table);

            const std::vector<uint32_t> parents = run_search(n, d, true), none(size_t(n), 0);
            for (int i = 0; i < n; ++i)
                ASSERT_EQ(read_doubles(d + "/" + std::to_string(i)), scores[size_t(i)]);
            ASSERT_EQ(parents.size(), size_t(n));
            EXPECT_TRUE(bruteforce::is_acyclic(parents));
            const double best = bruteforce::best_total(n, scores);
            EXPECT_EQ(bruteforce::network_score(scores, parents), best);

            char line[64];
            snprintf(line, sizeof line, "%.3f\n", best);
            result one = run("rate_graph", {d + "/net", d});
            EXPECT_EQ(one.out + one.err, line);
            // The network with no arcs, listed between two copies of the optimum.
            std::string empty_net;
            for (int i = 0; i < n; ++i)
                empty_net += "0\n";
            write_file(d + "/none", empty_net);
            write_file(d + "/list", d + "/net\n" + d + "/none\n" + d + "/net\n");
            snprintf(line, sizeof line, "%.3f\n", bruteforce::network_score(scores, none));
            result many = run("rate_graphs", {d + "/list", d});
            EXPECT_EQ(many.out + many.err, one.out + line + one.out);
        }
    }
}
