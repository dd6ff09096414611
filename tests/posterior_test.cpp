// The posterior programs (sum_family_subsets, sum_leaf_tables, weigh_arcs)
// against a sum done here over every variable order and every parent set
// allowed by it, and their handling of -inf, NaN and huge scores.
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>

#include "bruteforce.h"
#include "logsum.h"
#include "testutil.h"
#include "varpar.h"

using namespace testutil;

namespace {

const double inf = std::numeric_limits<double>::infinity();

double log_sum_of(const std::vector<double> &terms)
{
    double m = -inf;
    for (double t : terms)
        m = std::max(m, t);
    if (m == -inf)
        return -inf;
    double s = 0;
    for (double t : terms)
        s += std::exp(t - m);
    return m + std::log(s);
}

// p[u * n + v] = posterior of u -> v: over all orders, each variable's
// parents any subset of its predecessors, the family weighing
// e^score / C(n-1, |parents|) (NaN weighing nothing).
std::vector<double> brute_posterior(int n, const bruteforce::local_scores &s)
{
    std::vector<int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::vector<double> totals;
    std::vector<std::vector<double>> arcs(size_t(n * n));
    do {
        // Per variable: the log weight of all its families, and of those
        // holding each u.
        std::vector<double> all(static_cast<size_t>(n));
        std::vector<std::vector<double>> with(size_t(n), std::vector<double>(size_t(n), -inf));
        uint32_t before = 0;
        for (int v : order) {
            std::vector<double> terms;
            std::vector<std::vector<double>> per_u(static_cast<size_t>(n));
            for (uint32_t pa = 0; pa < (1u << n); ++pa) {
                if ((pa & ~before) != 0)
                    continue;
                double x = s[size_t(v)][varset2parset(v, pa)];
                if (std::isnan(x))
                    x = -inf;
                int k = __builtin_popcount(pa);
                x -= std::lgamma(n) - std::lgamma(k + 1) - std::lgamma(n - k);
                terms.push_back(x);
                for (int u = 0; u < n; ++u)
                    if (pa >> u & 1)
                        per_u[size_t(u)].push_back(x);
            }
            all[size_t(v)] = log_sum_of(terms);
            for (int u = 0; u < n; ++u)
                with[size_t(v)][size_t(u)] = log_sum_of(per_u[size_t(u)]);
            before |= 1u << v;
        }
        double total = std::accumulate(all.begin(), all.end(), 0.0);
        totals.push_back(total);
        for (int u = 0; u < n; ++u)
            for (int v = 0; v < n; ++v)
                if (u != v)
                    arcs[size_t(u * n + v)].push_back(total - all[size_t(v)] +
                                                      with[size_t(v)][size_t(u)]);
    } while (std::next_permutation(order.begin(), order.end()));
    const double z = log_sum_of(totals);
    std::vector<double> p(size_t(n * n), 0.0);
    for (int k = 0; k < n * n; ++k)
        if (!arcs[size_t(k)].empty())
            p[size_t(k)] = std::exp(log_sum_of(arcs[size_t(k)]) - z);
    return p;
}

// Runs the three stages on the local scores; the probabilities as read
// from the probability file.
std::vector<double> run_posterior(const std::string &dir, int n, const bruteforce::local_scores &s)
{
    for (int i = 0; i < n; ++i)
        write_doubles(dir + "/" + std::to_string(i), s[size_t(i)]);
    const std::string ns = std::to_string(n);
    result r = run("sum_family_subsets", {ns, dir});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run("sum_leaf_tables", {ns, dir, dir + "/fwd", dir + "/bwd"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run("weigh_arcs", {ns, dir, dir + "/fwd", dir + "/bwd", dir + "/prob"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream in(read_file(dir + "/prob"));
    std::vector<double> p(size_t(n * n));
    for (double &x : p)
        in >> x;
    EXPECT_TRUE(in) << "probability file too short";
    std::string rest;
    in >> rest;
    EXPECT_EQ(rest, "");
    return p;
}

void expect_near_all(const std::vector<double> &got, const std::vector<double> &want,
                     double tol, const std::string &what)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k)
        EXPECT_NEAR(got[k], want[k], tol) << what << " entry " << k;
}

} // namespace

TEST(Posterior, EqualsSumOverAllOrders)
{
    std::string dir = scratch_dir();
    std::mt19937 rng(18);
    for (int n = 1; n <= 6; ++n)
        for (int trial = 0; trial < 3; ++trial) {
            // Small integer scores: exact ties are frequent.
            bruteforce::local_scores s = bruteforce::random_scores(n, rng, 4);
            if (trial >= 1) {   // forbidden families, and a NaN treated as one
                for (auto &v : s)
                    for (size_t p = 1; p < v.size(); ++p)
                        if (rng() % 3 == 0)
                            v[p] = (rng() % 5 == 0) ? std::nan("") : -inf;
            }
            if (trial == 2 && n >= 2)   // a variable that can only be a root
                for (size_t p = 1; p < s[1].size(); ++p)
                    s[1][p] = -inf;
            std::string what = "n=" + std::to_string(n) + " trial " + std::to_string(trial);
            std::vector<double> want = brute_posterior(n, s);
            std::vector<double> got = run_posterior(dir, n, s);
            expect_near_all(got, want, 1e-9, what);
            for (int v = 0; v < n; ++v)
                EXPECT_EQ(got[size_t(v * n + v)], 0.0);
            if (trial == 2 && n >= 2) {
                for (int u = 0; u < n; ++u)
                    EXPECT_EQ(got[size_t(u * n + 1)], 0.0) << what;
            }
        }
}

TEST(Posterior, HugeScoresAndFailures)
{
    std::string dir = scratch_dir();
    std::mt19937 rng(7);
    const int n = 5;
    bruteforce::local_scores s = bruteforce::random_scores(n, rng, 30);
    std::vector<double> want = brute_posterior(n, s);
    // The probabilities do not change when all the scores of one variable
    // move by the same amount, however large: nothing may overflow or
    // vanish.  (At 1e12 a double keeps about four decimals.)
    for (double shift : {-1e12, -1e6}) {
        bruteforce::local_scores t = s;
        for (double &x : t[2])
            x += shift;
        for (double &x : t[4])
            x += shift / 2;
        expect_near_all(run_posterior(dir, n, t), want, shift < -1e9 ? 1e-3 : 1e-9,
                        "shift " + std::to_string(shift));
    }
    // A variable whose families all score -inf: no network has weight.
    bruteforce::local_scores t = s;
    for (double &x : t[3])
        x = -inf;
    for (int i = 0; i < n; ++i)
        write_doubles(dir + "/" + std::to_string(i), t[size_t(i)]);
    ASSERT_EQ(run("sum_family_subsets", {"5", dir}).status, 0);
    ASSERT_EQ(run("sum_leaf_tables", {"5", dir, dir + "/fwd", dir + "/bwd"}).status, 0);
    result r = run("weigh_arcs", {"5", dir, dir + "/fwd", dir + "/bwd", dir + "/p2"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("weigh_arcs: "), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/p2"));
    // +inf is no log marginal likelihood; a cut file is reported.
    t = s;
    t[1][3] = inf;
    write_doubles(dir + "/1", t[1]);
    r = run("sum_family_subsets", {"5", dir});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("sum_family_subsets: " + dir + "/1: record 3 is +inf"), std::string::npos)
        << r.err;
    write_file(dir + "/0.lsum", std::string(8 * 15, '\0'));
    r = run("sum_leaf_tables", {"5", dir, dir + "/f3", dir + "/b3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir + "/0.lsum: unexpected end of file"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/f3"));
    for (const char *p : {"sum_family_subsets", "sum_leaf_tables", "weigh_arcs"}) {
        r = run(p, {"1"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(std::string("Usage: ") + p + " nof_vars", 0), 0u) << r.err;
    }
}

TEST(Posterior, CsvTablesWithNames)
{
    std::string dir = scratch_dir();
    std::mt19937 rng(3);
    const int n = 3;
    std::vector<double> p = run_posterior(dir, n, bruteforce::random_scores(n, rng, 5));
    // Names as the data scorer writes them: a tab escaped, a comma and a
    // quote needing RFC 4180 quoting.
    write_file(dir + "/vd", "a\\tb\t2\tx\ty\nc,d\t2\tx\ty\ne\"f\t2\tx\ty\n");
    write_file(dir + "/net", "0\n1\n3\n");
    result r = run("write_posterior", {"--labels", dir + "/l.csv", "--network", dir + "/net",
                                       dir + "/prob", dir + "/vd", dir + "/p.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string names[3] = {"a\tb", "\"c,d\"", "\"e\"\"f\""};
    std::string want = "from,to,probability\n";
    for (int u = 0; u < n; ++u)
        for (int v = 0; v < n; ++v)
            if (u != v) {
                char num[32];
                snprintf(num, sizeof num, "%.17g", p[size_t(u * n + v)]);
                want += names[u] + "," + names[v] + "," + num + "\n";
            }
    EXPECT_EQ(read_file(dir + "/p.csv"), want);
    char l[3][16];
    for (int k = 0; k < 3; ++k)
        snprintf(l[k], sizeof l[k], "%.2f", p[size_t(k == 0 ? 0 * n + 1 : k == 1 ? 0 * n + 2 : 1 * n + 2)]);
    EXPECT_EQ(read_file(dir + "/l.csv"), "from,to,label\n" + names[0] + "," + names[1] + "," + l[0] +
                                             "\n" + names[0] + "," + names[2] + "," + l[1] + "\n" +
                                             names[1] + "," + names[2] + "," + l[2] + "\n");
    // A description of another number of variables is refused.
    write_file(dir + "/vd2", "a\nb\n");
    r = run("write_posterior", {dir + "/prob", dir + "/vd2", dir + "/q.csv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(dir + "/q.csv"));
    EXPECT_EQ(run("write_posterior", {dir + "/prob"}).status, 1);
}

// The bulk subset sums (plain sums by tiles where that is exact, several
// scales, term-by-term log sums where the range is too wide) against the
// term-by-term log sums alone, over tables large enough for every tiling;
// without -inf entries most tiles stay in plain form between the passes.
TEST(Posterior, SubsetSumsMatchTermByTerm)
{
    std::mt19937 rng(5);
    for (int bits : {3, 11, 16, 20})
        for (double spread : {5.0, 3000.0, 1e12})
            for (int holes : {7, 0})   // one entry in 7 -inf, or none
                for (bool supersets : {false, true}) {
                    if (bits == 20 && (spread != 3000.0 || holes == 0))
                        continue;   // the others cover the rest
                    std::vector<double> w(size_t(1) << bits);
                    std::uniform_real_distribution<double> pick(-spread, 0.0);
                    for (double &x : w)
                        x = holes != 0 && rng() % holes == 0 ? -inf : pick(rng);
                    std::vector<double> want = w;
                    for (int b = 0; b < bits; ++b)
                        for (size_t j = 0; j < w.size(); ++j)
                            if (j >> b & 1) {
                                double &to = supersets ? want[j ^ (size_t(1) << b)] : want[j];
                                double from = supersets ? want[j] : want[j ^ (size_t(1) << b)];
                                to = log_add(to, from);
                            }
                    // Made run by run and left in plain form where it can
                    // (one scale per run), as weigh_arcs takes it.
                    {
                        std::vector<double> got(w.size()), scale;
                        const int run_bits = subset_sums_plain(
                            got.data(), bits, supersets, true,
                            [&](uint64_t first, size_t len, double *out) {
                                std::copy(w.begin() + long(first), w.begin() + long(first + len), out);
                            },
                            scale);
                        ASSERT_EQ(run_bits < 0, bits <= 14);
                        for (size_t j = 0; j < w.size(); ++j) {
                            double x = got[j];
                            if (run_bits >= 0) {
                                const double c = scale[(j >> run_bits) % scale.size()];
                                x = c == c ? c + std::log(x) : x;
                            }
                            if (want[j] == -inf) {
                                ASSERT_EQ(x, -inf) << bits << " " << spread << " " << j;
                                continue;
                            }
                            ASSERT_NEAR(x, want[j], 1e-13 * std::max(1.0, std::fabs(want[j])))
                                << "plain " << bits << " " << spread << " " << supersets << " " << j;
                        }
                    }
                    // At 20 bits the 6 high bits also in two groups of 3.
                    for (int group_bits : {10, 3}) {
                        if (group_bits != 10 && bits != 20)
                            continue;
                        std::vector<double> got = w;
                        subset_sums(got.data(), bits, supersets, true, group_bits);
                        for (size_t j = 0; j < w.size(); ++j) {
                            if (want[j] == -inf) {
                                ASSERT_EQ(got[j], -inf) << bits << " " << spread << " " << j;
                                continue;
                            }
                            ASSERT_NEAR(got[j], want[j], 1e-13 * std::max(1.0, std::fabs(want[j])))
                                << bits << " " << spread << " " << supersets << " " << group_bits
                                << " " << j;
                        }
                    }
                }
}

// At n = 12 (too many orders to list): weigh_arcs against the definition
// on the forward and backward sums, p(u -> v) = sum over U of F(U) B(U + v)
// times the weight of the parent sets inside U that hold u, over the total;
// and F(all) = B(0).  One variable's scores spread wide (term-by-term
// blocks), the others narrow (blocks in plain sums).
TEST(Posterior, ArcsFromForwardAndBackwardSums)
{
    std::string dir = scratch_dir();
    std::mt19937 rng(12);
    const int n = 12;
    bruteforce::local_scores s = bruteforce::random_scores(n, rng, 6);
    std::uniform_real_distribution<double> wide(-3000.0, 0.0);
    for (double &x : s[5])
        x = wide(rng);
    for (size_t p = 0; p < s[7].size(); p += 3)
        s[7][p] = -inf;
    // Variable 9: its first block of 1,024 parsets narrow enough to be summed
    // plain, the sets with variable 0 far below the rest there (the arc's sum
    // left well under its scale); the second block spread wide, summed term
    // by term, its sets with variable 0 far below the scale but far above
    // that sum.  Losing them would change that arc's probability entirely.
    for (size_t p = 0; p < s[9].size(); ++p)
        s[9][p] = p < 1024 ? (p & 1 ? -400.0 : 0.0) : (p & 1 ? -300.0 : -3000.0);
    std::vector<double> got = run_posterior(dir, n, s);
    std::vector<double> f = read_doubles(dir + "/fwd"), b = read_doubles(dir + "/bwd");
    ASSERT_EQ(f.size(), size_t(1) << n);
    ASSERT_EQ(b.size(), size_t(1) << n);
    EXPECT_NEAR(f.back(), b[0], 1e-9 * std::fabs(b[0]));
    // Both tables by their recurrences on the subset sums.
    std::vector<std::vector<double>> a(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v)
        a[size_t(v)] = read_doubles(dir + "/" + std::to_string(v) + ".lsum");
    const uint32_t full = (1u << n) - 1;
    for (uint32_t set = 0; set <= full; ++set) {
        std::vector<double> fwd_terms, bwd_terms;
        for (int v = 0; v < n; ++v) {
            const uint32_t bit = 1u << v;
            if (set & bit)
                fwd_terms.push_back(f[set ^ bit] + a[size_t(v)][varset2parset(v, set ^ bit)]);
            else
                bwd_terms.push_back(b[set | bit] + a[size_t(v)][varset2parset(v, set)]);
        }
        const double fw = set == 0 ? 0.0 : log_sum_of(fwd_terms);
        const double bw = set == full ? 0.0 : log_sum_of(bwd_terms);
        if (fw == -inf || bw == -inf) {
            ASSERT_TRUE(fw != -inf || f[set] == -inf) << set;
            ASSERT_TRUE(bw != -inf || b[set] == -inf) << set;
        }
        if (fw != -inf) {
            ASSERT_NEAR(f[set], fw, 1e-12 * std::max(1.0, std::fabs(fw))) << set;
        }
        if (bw != -inf) {
            ASSERT_NEAR(b[set], bw, 1e-12 * std::max(1.0, std::fabs(bw))) << set;
        }
    }
    for (int v = 0; v < n; ++v) {
        std::vector<double> total_terms;
        std::vector<std::vector<double>> arc_terms(static_cast<size_t>(n));
        for (uint32_t u_set = 0; u_set < (1u << n); ++u_set) {
            if (u_set >> v & 1)
                continue;
            const double order_weight = f[u_set] + b[u_set | (1u << v)];
            for (uint32_t pa = u_set;; pa = (pa - 1) & u_set) {
                int k = __builtin_popcount(pa);
                double w = s[size_t(v)][varset2parset(v, pa)] + order_weight -
                           (std::lgamma(n) - std::lgamma(k + 1) - std::lgamma(n - k));
                total_terms.push_back(w);
                for (int u = 0; u < n; ++u)
                    if (pa >> u & 1)
                        arc_terms[size_t(u)].push_back(w);
                if (pa == 0)
                    break;
            }
        }
        const double z = log_sum_of(total_terms);
        for (int u = 0; u < n; ++u) {
            double want = arc_terms[size_t(u)].empty()
                              ? 0.0
                              : std::exp(log_sum_of(arc_terms[size_t(u)]) - z);
            // Relative: a term lost against a sum that is not yet at its
            // scale moves a small probability by far more than its digits.
            EXPECT_NEAR(got[size_t(u * n + v)], want, 1e-10 * want + 1e-300) << u << " -> " << v;
        }
    }
}

// At n = 16, the variables numbered in reverse give the same probabilities,
// reversed: the variables above bit 14 (whose sets without them come in
// whole blocks of the forward and backward sums, and whose parset bits lie
// in the second pass of the subset sums) against the same ones numbered
// low.  Families get worse with more parents, one variable's scores spread
// wide and one has -inf families, so that tiles of both forms meet.
TEST(Posterior, RenumberedVariablesAtSixteen)
{
    std::string dir = scratch_dir();
    std::mt19937 rng(16);
    const int n = 16;
    bruteforce::local_scores s = bruteforce::random_scores(n, rng, 6);
    std::uniform_real_distribution<double> wide(-3000.0, 0.0);
    for (int v = 0; v < n; ++v)
        for (size_t p = 0; p < s[size_t(v)].size(); ++p)
            s[size_t(v)][p] -= 4.0 * __builtin_popcountll(p);
    for (double &x : s[14])
        x = wide(rng);
    for (size_t p = 0; p < s[1].size(); p += 5)
        s[1][p] = -inf;
    auto flip = [&](uint32_t set) {
        uint32_t out = 0;
        for (int v = 0; v < n; ++v)
            if (set >> v & 1)
                out |= 1u << (n - 1 - v);
        return out;
    };
    bruteforce::local_scores t(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v) {
        const int w = n - 1 - v;
        t[size_t(w)].resize(s[size_t(v)].size());
        for (uint32_t set = 0; set < (1u << n); ++set)
            if ((set >> v & 1) == 0)
                t[size_t(w)][varset2parset(w, flip(set))] = s[size_t(v)][varset2parset(v, set)];
    }
    const std::vector<double> p = run_posterior(dir, n, s), q = run_posterior(dir, n, t);
    for (int u = 0; u < n; ++u)
        for (int v = 0; v < n; ++v)
            EXPECT_NEAR(q[size_t((n - 1 - u) * n + (n - 1 - v))], p[size_t(u * n + v)], 1e-9)
                << u << " -> " << v;
}
