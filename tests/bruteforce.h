// Reference answers for the search tests, computed the slow and obvious way.
//
// Every DAG has a topological order, so the best total score over all DAGs
// is the best, over every permutation of the variables, of the sum of each
// variable's best family among the subsets of its predecessors.  Both the
// permutations and the subsets are enumerated exhaustively; nothing here
// shares code or ideas with the dynamic programme under test.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "varpar.h"

namespace bruteforce {

// scores[i][p] = local score of variable i with the parent set of parset p.
typedef std::vector<std::vector<double>> local_scores;

// Score of a network given as one parent varset per variable (sum in
// variable order, as the network scorers add it).
inline double network_score(const local_scores &scores, const std::vector<uint32_t> &parents)
{
    double total = 0.0;
    for (size_t i = 0; i < parents.size(); ++i)
        total += scores[i][varset2parset(int(i), parents[i])];
    return total;
}

// True when no variable is its own parent and the parent relation has no cycle.
inline bool is_acyclic(const std::vector<uint32_t> &parents)
{
    const size_t n = parents.size();
    uint32_t placed = 0;
    const uint32_t all = n >= 32 ? 0xFFFFFFFFu : (uint32_t(1) << n) - 1;
    while (placed != all) {
        bool progress = false;
        for (size_t i = 0; i < n; ++i) {
            uint32_t bit = uint32_t(1) << i;
            if (parents[i] & bit)
                return false;
            if (!(placed & bit) && (parents[i] & ~placed) == 0) {
                placed |= bit;
                progress = true;
            }
        }
        if (!progress)
            return false;
    }
    return true;
}

// Best total score over all DAGs on n variables (n small: n! * n * 2^(n-1)).
inline double best_total(int n, const local_scores &scores)
{
    if (n == 0)
        return 0.0;
    std::vector<int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    double best = -std::numeric_limits<double>::infinity();
    do {
        double total = 0.0;
        uint32_t before = 0;
        for (int v : order) {
            double family = -std::numeric_limits<double>::infinity();
            for (uint32_t sub = 0; sub < (uint32_t(1) << n); ++sub) {
                if ((sub & ~before) != 0)
                    continue;
                family = std::max(family, scores[size_t(v)][varset2parset(v, sub)]);
            }
            total += family;
            before |= uint32_t(1) << v;
        }
        best = std::max(best, total);
    } while (std::next_permutation(order.begin(), order.end()));
    return best;
}

// Random local scores from a small set of integers (so that exact ties are
// frequent and every sum is exact in double precision).
inline local_scores random_scores(int n, std::mt19937 &rng, int spread = 6)
{
    std::uniform_int_distribution<int> pick(-spread, 0);
    local_scores s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        s[size_t(i)].resize(size_t(1) << (n > 0 ? n - 1 : 0));
        for (double &x : s[size_t(i)])
            x = double(pick(rng)) - 10.0;
    }
    return s;
}

} // namespace bruteforce
