// The shared table of scoring and reading options, and the arguments that
// pass them on (scoring_options.h).
#include "scoring_options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "files.h"

const char scoring_options_help[] =
    "  --score bdeu|bic|aic  score (default bdeu); all are natural-log values,\n"
    "                      larger is better.  With N rows, N_ijk the count of\n"
    "                      child value k under parent configuration j, N_ij its\n"
    "                      sum, r the child's arity, q the number of parent\n"
    "                      configurations (product of the parents' arities):\n"
    "        bdeu:  sum_j [lgamma(a_j) - lgamma(a_j + N_ij)]\n"
    "               + sum_jk [lgamma(a_jk + N_ijk) - lgamma(a_jk)],\n"
    "               a_j = ess/q, a_jk = ess/(q r)\n"
    "        bic:   LL - (r - 1) q ln(N) / 2\n"
    "        aic:   LL - (r - 1) q\n"
    "               LL = sum_jk N_ijk ln(N_ijk / N_ij)\n"
    "  --ess X             equivalent sample size of bdeu, X > 0 (default 1)\n"
    "  --max-parents K     families with more than K parents score -inf\n"
    "  --forbid FILE       arcs that must not appear\n"
    "  --require FILE      arcs that must appear; a family with a forbidden\n"
    "                      parent or without a required one scores -inf.\n"
    "                      Arc files hold one 'parent,child' pair of column\n"
    "                      names a line, quoted as in data files (a tab may\n"
    "                      replace the comma), optionally under a header line\n"
    "                      'from,to'; blank lines and lines starting with # are\n"
    "                      skipped.  Constraints that admit no network (a\n"
    "                      required arc forbidden, required arcs in a cycle,\n"
    "                      more required parents than --max-parents) fail.\n"
    "  --threads N         threads of the per-subset terms, N >= 1 (default: one\n"
    "                      per core); the outputs do not depend on N\n"
    "  --delimiter C       field separator: one character, or comma, tab or\n"
    "                      semicolon (default: detected from the first lines; a\n"
    "                      file of one column is refused unless it is given)\n"
    "  --missing=error|drop  fail on a missing value (default) or drop the rows\n"
    "                      that hold one, reporting their number on stderr\n"
    "  --na-values LIST    comma-separated markers of a missing value, replacing\n"
    "                      the default: the empty field, ?, NA, N/A, n/a, NaN,\n"
    "                      nan, NULL, null, #N/A (an empty item: the empty field)\n"
    "  --max-levels N      a column of numbers with more than N distinct values\n"
    "                      (default 16) is refused unless binned or categorical\n"
    "  --categorical NAME  keep column NAME as categories (repeatable)\n"
    "  --discretize METHOD[:K]  bin every numeric column over --max-levels into\n"
    "                      K ranges (default 3): METHOD quantile (equal numbers\n"
    "                      of rows) or interval (equal widths)\n"
    "  --discretize NAME=METHOD[:K]  bin column NAME (repeatable)\n";

namespace {

[[noreturn]] void bad_value(const std::string &option, const std::string &expected)
{
    throw CLI::ValidationError(option, "expected " + expected);
}

long whole_number(const std::string &option, const std::string &v, long low,
                  const std::string &expected)
{
    char *end;
    errno = 0;
    long x = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || x < low)
        bad_value(option, expected);
    return x;
}

char delimiter_of(const std::string &v)
{
    if (v == "tab" || v == "\\t")
        return '\t';
    if (v == "comma")
        return ',';
    if (v == "semicolon")
        return ';';
    if (v.size() == 1 && v[0] != '"' && v[0] != '\n' && v[0] != '\r' && v[0] != '\0')
        return v[0];
    bad_value("--delimiter", "one character, comma, tab or semicolon");
}

bin_rule bin_rule_of(const std::string &v)
{
    const std::string expected = "quantile[:K], interval[:K] or NAME=METHOD[:K], K >= 2";
    bin_rule r;
    std::string binning = v;
    const size_t eq = v.rfind('=');
    if (eq != std::string::npos) {
        r.column = v.substr(0, eq);
        binning = v.substr(eq + 1);
        if (r.column.empty())
            bad_value("--discretize", expected);
    }
    const size_t colon = binning.find(':');
    const std::string method = binning.substr(0, colon);
    if (method == "quantile")
        r.method = bin_method::quantile;
    else if (method == "interval")
        r.method = bin_method::interval;
    else
        bad_value("--discretize", expected);
    if (colon != std::string::npos)
        r.bins = int(std::min(whole_number("--discretize", binning.substr(colon + 1), 2, expected),
                              long(1) << 20));
    return r;
}

std::vector<std::string> split_list(const std::string &v)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t comma = v.find(',', start);
        out.push_back(v.substr(start, comma - start));
        if (comma == std::string::npos)
            return out;
        start = comma + 1;
    }
}

std::string delimiter_name(char c)
{
    switch (c) {
    case ',': return "comma";
    case '\t': return "tab";
    case ';': return "semicolon";
    default: return std::string(1, c);
    }
}

std::string method_name(bin_method m)
{
    return m == bin_method::quantile ? "quantile" : "interval";
}

} // namespace

void add_scoring_options(CLI::App &app, scoring_settings &s)
{
    auto one = [&](const char *name, auto store) {
        app.add_option_function<std::string>(name, store)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    };
    auto many = [&](const char *name, auto store) {
        app.add_option_function<std::vector<std::string>>(
               name,
               [store](const std::vector<std::string> &vs) {
                   for (const auto &v : vs)
                       store(v);
               })
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->allow_extra_args(false);
    };
    one("--score", [&s](const std::string &v) {
        if (v == "bdeu")
            s.score.kind = score_kind::bdeu;
        else if (v == "bic")
            s.score.kind = score_kind::bic;
        else if (v == "aic")
            s.score.kind = score_kind::aic;
        else
            bad_value("--score", "bdeu, bic or aic");
    });
    one("--ess", [&s](const std::string &v) {
        char *end;
        errno = 0;
        double x = strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || errno != 0 || !(x > 0) || !std::isfinite(x))
            bad_value("--ess", "a positive number");
        s.score.ess = x;
    });
    one("--max-parents", [&s](const std::string &v) {
        long x = whole_number("--max-parents", v, 0, "a non-negative integer");
        s.score.max_parents = x > (1 << 30) ? 1 << 30 : int(x);
    });
    one("--threads", [&s](const std::string &v) {
        long x = whole_number("--threads", v, 1, "a positive integer");
        s.threads = x > 1024 ? 1024u : unsigned(x);
    });
    one("--forbid", [&s](const std::string &v) { s.forbid = v; });
    one("--require", [&s](const std::string &v) { s.require = v; });
    one("--delimiter", [&s](const std::string &v) { s.read.delimiter = delimiter_of(v); });
    one("--missing", [&s](const std::string &v) {
        if (v == "drop")
            s.read.drop_missing = true;
        else if (v == "error")
            s.read.drop_missing = false;
        else
            bad_value("--missing", "error or drop");
    });
    one("--na-values", [&s](const std::string &v) {
        s.read.na_given = true;
        s.read.na_values = split_list(v);
    });
    one("--max-levels", [&s](const std::string &v) {
        long x = whole_number("--max-levels", v, 1, "a positive integer");
        s.read.max_levels = x > (1 << 30) ? 1 << 30 : int(x);
    });
    many("--categorical", [&s](const std::string &v) { s.read.categorical.push_back(v); });
    many("--discretize", [&s](const std::string &v) {
        s.read.discretize.push_back(bin_rule_of(v));
    });
}

std::vector<std::string> scoring_arguments(const scoring_settings &s)
{
    const scoring_settings d;
    std::vector<std::string> a;
    auto add = [&a](const char *option, const std::string &value) {
        a.push_back(option);
        a.push_back(value);
    };
    if (s.read.delimiter != 0)
        add("--delimiter", delimiter_name(s.read.delimiter));
    if (s.read.drop_missing)
        a.push_back("--missing=drop");
    if (s.read.na_given) {
        std::string list;
        for (size_t k = 0; k < s.read.na_values.size(); ++k)
            list += (k ? "," : "") + s.read.na_values[k];
        add("--na-values", list);
    }
    if (s.read.max_levels != d.read.max_levels)
        add("--max-levels", std::to_string(s.read.max_levels));
    for (const auto &c : s.read.categorical)
        add("--categorical", c);
    for (const auto &r : s.read.discretize)
        add("--discretize", (r.column.empty() ? "" : r.column + "=") + method_name(r.method) +
                                ":" + std::to_string(r.bins));
    if (s.score.kind != score_kind::bdeu)
        add("--score", s.score.kind == score_kind::bic ? "bic" : "aic");
    if (s.score.ess != d.score.ess) {
        char buf[40];
        snprintf(buf, sizeof buf, "%.17g", s.score.ess);
        add("--ess", buf);
    }
    if (s.score.max_parents >= 0)
        add("--max-parents", std::to_string(s.score.max_parents));
    if (!s.forbid.empty())
        add("--forbid", s.forbid);
    if (!s.require.empty())
        add("--require", s.require);
    if (s.threads != 0)
        add("--threads", std::to_string(s.threads));
    return a;
}

