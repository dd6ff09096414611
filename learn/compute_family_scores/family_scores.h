// Family scores from a discrete data set: reading the data, the per-subset
// terms of the decomposable scores, and the score of one family.
//
// Every failure goes through fail() of the suite library: one line
// "<program>: <file>: <reason>" and exit status 2.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "varpar.h"

constexpr int max_columns = 32;

struct data_set {
    std::vector<std::string> names;                // column names, header order
    std::vector<std::vector<std::string>> labels;  // per column, in order of first appearance
    std::vector<std::vector<uint32_t>> codes;      // per column, one label index per row
    size_t nof_rows = 0;
    size_t nof_dropped = 0;                        // rows dropped for missing values
};

struct read_options {
    char delimiter = 0;        // 0: detect from the header (tab or comma)
    bool drop_missing = false; // drop rows with a missing value instead of failing
};

// Parses CSV/TSV text; name is the file name used in messages.
data_set parse_data(const std::string &text, const char *name, const read_options &opt);
// Reads the whole file and parses it.
data_set read_data(const char *path, const read_options &opt);

enum class score_kind { bdeu, bic, aic };

struct score_options {
    score_kind kind = score_kind::bdeu;
    double ess = 1.0;            // equivalent sample size of BDeu
    int max_parents = -1;        // -1: no limit
    varset forbidden[max_columns] = {};  // per child: parents it must not have
    varset required[max_columns] = {};   // per child: parents it must have
};

// Reads an arc list ("parent,child" a line, blank lines and # comments
// allowed) and adds its arcs to masks[child].
void read_arc_list(const char *path, const data_set &data, varset *masks);

// Per-subset terms G(S) for every varset S below 2^n, n = number of columns.
// BDeu: G(S) = sum over the non-empty cells c of S of
//       lgamma(a + N_c) - lgamma(a), a = ess / q_S.
// BIC, AIC: G(S) = sum over the cells of N_c ln N_c (the penalty is added per
//       family).  q_S is the product of the arities of S.
// threads > 1 splits the enumeration into independent pieces taken by that
// many threads (at most 256); every term is computed by the same arithmetic
// whatever the number, so the result is the same bit for bit.
std::vector<double> subset_terms(const data_set &data, const score_options &opt,
                                 unsigned threads = 1);

// Penalty unit of BIC (ln(N)/2) or AIC (1); 0 for BDeu.
double penalty_unit(const data_set &data, const score_options &opt);

// Score of child i with parents S without i (S holds i), constraints applied.
// arity holds the arity of each column as a double; unit is penalty_unit().
inline double family_score(const std::vector<double> &g, const score_options &opt,
                           const double *arity, double unit, varset s, int i)
{
    varset parents = s & ~(varset(1) << i);
    if ((opt.forbidden[i] & parents) != 0 || (opt.required[i] & ~parents) != 0 ||
        (opt.max_parents >= 0 && __builtin_popcount(parents) > opt.max_parents))
        return -__builtin_inf();
    double score = g[s] - g[parents];
    if (unit != 0) {
        double q = 1;
        for (varset rest = parents; rest != 0; rest &= rest - 1)
            q *= arity[__builtin_ctz(rest)];
        score -= (arity[i] - 1) * q * unit;
    }
    return score;
}
