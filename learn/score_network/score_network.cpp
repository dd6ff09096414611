// score_network: the score of a network given by column names, against a
// data set, with the definitions and options of compute_family_scores.  Only
// the counts of the network's own families are made, so the number of
// columns does not matter.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "data_options.h"
#include "family_scores.h"
#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] = "Usage: score_network [options] DATA ARCS\n";

struct options {
    read_options read;
    score_options score;
    std::string kind = "bdeu";
    std::string forbid, require, data, arcs;
    unsigned threads = 1;
};

// The term of one cell of k rows in a subset of q joint configurations:
// BDeu lgamma(a + k) - lgamma(a), a = ess / q (written as the scorer writes
// it, exact for a tiny a); BIC and AIC k ln k.
double cell_term(const options &opt, double q, uint64_t k)
{
    if (opt.score.kind != score_kind::bdeu)
        return double(k) * std::log(double(k));
    const double a = opt.score.ess / q, log_a = std::log(opt.score.ess) - std::log(q);
    if (k == 1)
        return log_a;
    int sign;
    return log_a + (lgamma_r(a + double(k), &sign) - lgamma_r(a + 1.0, &sign));
}

// Sum of the terms of the cells, the counts taken in ascending order so
// that the sum depends on the cells alone.
double subset_term(const options &opt, double q, std::vector<uint64_t> &cells)
{
    std::sort(cells.begin(), cells.end());
    double sum = 0;
    for (uint64_t k : cells)
        sum += cell_term(opt, q, k);
    return sum;
}

// Local score of child i with the given parents (ascending).
double local_score(const data_set &data, const options &opt, double unit, int i,
                   const std::vector<int> &parents)
{
    varset mask = 0;
    for (int p : parents)
        mask |= varset(1) << p;
    if ((opt.score.forbidden[i] & mask) != 0 || (opt.score.required[i] & ~mask) != 0 ||
        (opt.score.max_parents >= 0 && int(parents.size()) > opt.score.max_parents))
        return -__builtin_inf();
    std::vector<uint32_t> rows(data.nof_rows);
    std::iota(rows.begin(), rows.end(), 0u);
    const auto &child = data.codes[size_t(i)];
    auto less_parents = [&](uint32_t x, uint32_t y) {
        for (int p : parents) {
            uint32_t a = data.codes[size_t(p)][x], b = data.codes[size_t(p)][y];
            if (a != b)
                return a < b;
        }
        return false;
    };
    std::sort(rows.begin(), rows.end(), [&](uint32_t x, uint32_t y) {
        for (int p : parents) {
            uint32_t a = data.codes[size_t(p)][x], b = data.codes[size_t(p)][y];
            if (a != b)
                return a < b;
        }
        return child[x] < child[y];
    });
    std::vector<uint64_t> family_cells, parent_cells;
    size_t start = 0;
    for (size_t k = 1; k <= rows.size(); ++k) {
        if (k < rows.size() && child[rows[k]] == child[rows[k - 1]] &&
            !less_parents(rows[k - 1], rows[k]))
            continue;
        family_cells.push_back(k - start);
        start = k;
    }
    start = 0;
    for (size_t k = 1; k <= rows.size(); ++k) {
        if (k < rows.size() && !less_parents(rows[k - 1], rows[k]))
            continue;
        parent_cells.push_back(k - start);
        start = k;
    }
    double q = 1;
    for (int p : parents)
        q *= double(data.labels[size_t(p)].size());
    const double r = double(data.labels[size_t(i)].size());
    double score = subset_term(opt, q * r, family_cells) - subset_term(opt, q, parent_cells);
    if (unit != 0)
        score -= (r - 1) * q * unit;
    return score;
}

// Fails naming a cycle of the arcs when there is one.
void check_acyclic(const data_set &data, const varset *parents, const char *path)
{
    const int n = int(data.names.size());
    varset left = n == 32 ? ~varset(0) : (varset(1) << n) - 1;
    for (bool removed = true; removed;) {
        removed = false;
        for (int i = 0; i < n; ++i)
            if ((left >> i & 1) && (parents[i] & left) == 0) {
                left &= ~(varset(1) << i);
                removed = true;
            }
    }
    if (left == 0)
        return;
    // Every variable left has a parent left: walk up until one repeats.
    std::vector<int> path_of;
    std::vector<int> seen(size_t(n), -1);
    int v = __builtin_ctz(left);
    while (seen[size_t(v)] < 0) {
        seen[size_t(v)] = int(path_of.size());
        path_of.push_back(v);
        v = __builtin_ctz(parents[v] & left);
    }
    std::string cycle;
    for (size_t k = path_of.size(); k-- > size_t(seen[size_t(v)]);)
        cycle += data.names[size_t(path_of[k])] + " -> ";
    cycle += data.names[size_t(path_of.back())];
    fail(path, ("the arcs form a cycle: " + cycle).c_str());
}

int score_network(options &opt)
{
    data_set data = read_data(opt.data.c_str(), opt.read);
    if (!opt.forbid.empty())
        read_arc_list(opt.forbid.c_str(), data, opt.score.forbidden);
    if (!opt.require.empty())
        read_arc_list(opt.require.c_str(), data, opt.score.required);
    const int n = int(data.names.size());
    varset parents[max_columns] = {};
    const char *arcs = opt.arcs == "-" ? "/dev/stdin" : opt.arcs.c_str();
    read_arc_list(arcs, data, parents);
    check_acyclic(data, parents, arcs);
    const double unit = penalty_unit(data, opt.score);
    double total = 0;
    std::string lines;
    char buf[64];
    for (int i = 0; i < n; ++i) {
        std::vector<int> ps;
        for (int p = 0; p < n; ++p)
            if (parents[i] >> p & 1)
                ps.push_back(p);
        double s = local_score(data, opt, unit, i, ps);
        total += s;
        snprintf(buf, sizeof buf, "\t%.3f", s);
        lines += escape_field(data.names[size_t(i)]);
        lines += buf;
        for (int p : ps) {
            lines += '\t';
            lines += escape_field(data.names[size_t(p)]);
        }
        lines += '\n';
    }
    snprintf(buf, sizeof buf, "%.3f\n", total);
    write_text("-", buf + lines);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "score_network";
    ignore_file_size_signal();
    options opt;
    CLI::App app("Scores the network whose arcs ARCS lists ('parent,child' by column name,\n"
                 "one a line, blank lines and # comments allowed; '-': standard input)\n"
                 "against DATA, as compute_family_scores scores families.  Prints the\n"
                 "total (larger is better), then per variable a tab-separated line: name,\n"
                 "local score, parents.  Exit status 2 on a cycle, an unknown name or an\n"
                 "arc from a variable to itself.",
                 "score_network");
    app.add_option("DATA", opt.data, "data file (CSV or TSV with a header row)")->required();
    app.add_option("ARCS", opt.arcs, "arc list")->required();
    app.add_option("--score", opt.kind, "bdeu (default), bic or aic")
        ->check(CLI::IsMember({"bdeu", "bic", "aic"}));
    app.add_option("--ess", opt.score.ess, "equivalent sample size of bdeu (default 1)")
        ->check(CLI::PositiveNumber);
    app.add_option("--max-parents", opt.score.max_parents,
                   "a family with more than K parents scores -inf")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--forbid", opt.forbid, "arcs that must not appear (their family scores -inf)");
    app.add_option("--require", opt.require, "arcs that must appear (a family without one "
                                             "scores -inf)");
    app.add_option("--threads", opt.threads, "accepted for the scorer's sake; no effect");
    add_data_options(app, opt.read);
    parse_command_line(app, argc, argv, usage_line);
    opt.score.kind = opt.kind == "bic" ? score_kind::bic
                     : opt.kind == "aic" ? score_kind::aic
                                         : score_kind::bdeu;
    return score_network(opt);
}
