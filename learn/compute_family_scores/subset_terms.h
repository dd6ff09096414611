// The decomposable scores: per-subset terms counted from the data, and the
// score of one family from them.
#pragma once
#include <cstdint>
#include <vector>

#include "data_reader.h"
#include "varpar.h"

enum class score_kind { bdeu, bic, aic };

struct score_options {
    score_kind kind = score_kind::bdeu;
    double ess = 1.0;            // equivalent sample size of BDeu
    int max_parents = -1;        // -1: no limit
    varset forbidden[max_columns] = {};  // per child: parents it must not have
    varset required[max_columns] = {};   // per child: parents it must have
};

// Per-subset terms G(S) for every varset S below 2^n, n = number of columns.
// BDeu: G(S) = sum over the non-empty cells c of S of
//       lgamma(a + N_c) - lgamma(a), a = ess / q_S.
// BIC, AIC: G(S) = sum over the cells of N_c ln N_c (the penalty is added per
//       family).  q_S is the product of the arities of S.
// The terms of the cells are added exactly (in fixed point, 64 bits below
// the binary point) and rounded once, so G(S) depends only on q_S and the
// multiset of the cell counts of S, never on the order of the additions: two
// subsets whose rows fall into groups of the same sizes, with the same q, get
// the same bits (a column of one label adds nothing).
// threads > 1 splits the enumeration into independent pieces taken by that
// many threads (at most 256); the result is the same bit for bit.
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
