// score_network: the score of a network given by column names, against a
// data set, with the definitions and options of compute_family_scores.  Only
// the counts of the network's own families are made, and families are lists
// of column indexes, not varsets, so any number of columns is scored.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "family_scores.h"
#include "files.h"
#include "model_files.h"
#include "scoring_options.h"

namespace {

const char usage_line[] = "Usage: score_network [options] DATA ARCS\n";

const char help_head[] =
    "Usage: score_network [options] DATA ARCS\n"
    "\n"
    "Scores the network whose arcs ARCS lists against DATA, as\n"
    "compute_family_scores scores families, for any number of columns.  ARCS\n"
    "holds one 'parent,child' pair of column names a line, in the format of the\n"
    "arc files below ('-': standard input).  Prints the total (larger is\n"
    "better), then per variable, in column order, a tab-separated line: name,\n"
    "local score, parents.  A family that breaks a constraint scores -inf.\n"
    "\n"
    "Options (those of compute_family_scores; DATA is read as it reads it,\n"
    "without its limit of 32 columns):\n";

const char help_tail[] =
    "                      (--threads is accepted and has no effect here)\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 done, 1 wrong usage or a bad option value, 2 bad input (a\n"
    "cycle, an unknown name, an arc from a variable to itself) or a file that\n"
    "cannot be read or written, with one line on stderr.\n";

// Per variable, the column indexes of its parents in an arc list, ascending
// and each once.
typedef std::vector<std::vector<int>> parent_lists;

parent_lists read_parents(const char *path, const data_set &data)
{
    parent_lists parents(data.names.size());
    for (const auto &[parent, child] : read_arcs(path, data))
        parents[size_t(child)].push_back(parent);
    for (auto &ps : parents) {
        std::sort(ps.begin(), ps.end());
        ps.erase(std::unique(ps.begin(), ps.end()), ps.end());
    }
    return parents;
}

struct options {
    scoring_settings s;
    parent_lists forbidden, required;  // of the arc files, empty lists when not given
};

// The term of one cell of k rows in a subset of q joint configurations:
// BDeu lgamma(a + k) - lgamma(a), a = ess / q (written as the scorer writes
// it, exact for a tiny a); BIC and AIC k ln k.
double cell_term(const options &opt, double q, uint64_t k)
{
    if (opt.s.score.kind != score_kind::bdeu)
        return double(k) * std::log(double(k));
    const double a = opt.s.score.ess / q, log_a = std::log(opt.s.score.ess) - std::log(q);
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
    const auto &forbidden = opt.forbidden[size_t(i)], &required = opt.required[size_t(i)];
    const bool any_forbidden = std::any_of(forbidden.begin(), forbidden.end(), [&](int p) {
        return std::binary_search(parents.begin(), parents.end(), p);
    });
    if (any_forbidden || !std::includes(parents.begin(), parents.end(), required.begin(),
                                        required.end()) ||
        (opt.s.score.max_parents >= 0 && int(parents.size()) > opt.s.score.max_parents))
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
void check_acyclic(const data_set &data, const parent_lists &parents, const char *path)
{
    const size_t n = data.names.size();
    // Variables are taken out while some variable has all its parents out;
    // what is left holds a cycle.
    std::vector<std::vector<int>> children(n);
    std::vector<size_t> parents_left(n);
    std::vector<int> ready;
    for (size_t i = 0; i < n; ++i) {
        for (int p : parents[i])
            children[size_t(p)].push_back(int(i));
        parents_left[i] = parents[i].size();
        if (parents_left[i] == 0)
            ready.push_back(int(i));
    }
    std::vector<char> left(n, 1);
    size_t nof_left = n;
    while (!ready.empty()) {
        const int v = ready.back();
        ready.pop_back();
        left[size_t(v)] = 0;
        --nof_left;
        for (int c : children[size_t(v)])
            if (--parents_left[size_t(c)] == 0)
                ready.push_back(c);
    }
    if (nof_left == 0)
        return;
    // Every variable left has a parent left: walk up, always to the first
    // such parent, from the first variable left until one repeats.
    auto first_left = [&](const std::vector<int> &vs) {
        return *std::find_if(vs.begin(), vs.end(), [&](int v) { return left[size_t(v)] != 0; });
    };
    std::vector<int> all(n);
    std::iota(all.begin(), all.end(), 0);
    std::vector<int> path_of;
    std::vector<int> seen(n, -1);
    int v = first_left(all);
    while (seen[size_t(v)] < 0) {
        seen[size_t(v)] = int(path_of.size());
        path_of.push_back(v);
        v = first_left(parents[size_t(v)]);
    }
    std::string cycle;
    for (size_t k = path_of.size(); k-- > size_t(seen[size_t(v)]);)
        cycle += data.names[size_t(path_of[k])] + " -> ";
    cycle += data.names[size_t(path_of.back())];
    fail(path, ("the arcs form a cycle: " + cycle).c_str());
}

int score_network(options &opt, const char *data_path, const char *arcs_path)
{
    read_options read = opt.s.read;
    read.any_columns = true;
    const data_set data = read_data(data_path, read);
    const size_t n = data.names.size();
    opt.forbidden = opt.s.forbid.empty() ? parent_lists(n)
                                         : read_parents(opt.s.forbid.c_str(), data);
    opt.required = opt.s.require.empty() ? parent_lists(n)
                                         : read_parents(opt.s.require.c_str(), data);
    const char *arcs = std::string(arcs_path) == "-" ? "/dev/stdin" : arcs_path;
    const parent_lists parents = read_parents(arcs, data);
    check_acyclic(data, parents, arcs);
    const double unit = penalty_unit(data, opt.s.score);
    double total = 0;
    std::string lines;
    char buf[64];
    for (size_t i = 0; i < n; ++i) {
        const std::vector<int> &ps = parents[i];
        double s = local_score(data, opt, unit, int(i), ps);
        total += s;
        snprintf(buf, sizeof buf, "\t%.3f", s);
        lines += escape_field(data.names[i]);
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
    CLI::App app = tool_command_line("score_network");
    options opt;
    add_scoring_options(app, opt.s);
    const std::vector<std::string> positional = parse_with_arguments(
        app, argc, argv, usage_line, std::string(help_head) + scoring_options_help + help_tail, 2);
    return score_network(opt, positional[0].c_str(), positional[1].c_str());
}
