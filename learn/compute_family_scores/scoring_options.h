// The options of scoring and of reading the data, in one table shared by
// compute_family_scores and the driver, so that both accept the same
// spellings and fail alike: a bad value is a usage error (status 1) naming
// the option.
#pragma once
#include <string>
#include <vector>

#include "data_reader.h"
#include "subset_terms.h"

namespace CLI {
class App;
}

struct scoring_settings {
    read_options read;
    score_options score;          // kind, ess and max_parents; the masks are the arc files'
    std::string forbid, require;  // arc files, empty when not given
    unsigned threads = 0;         // 0: one per core
};

// Adds to app: --delimiter C, --missing=error|drop, --na-values LIST,
// --max-levels N, --categorical NAME, --discretize [NAME=]METHOD[:K], --score
// bdeu|bic|aic, --ess X, --max-parents K, --forbid FILE, --require FILE,
// --threads N.  Their values are checked as they are parsed and stored into
// s, which must outlive the parsing.
void add_scoring_options(CLI::App &app, scoring_settings &s);

// The arguments that give s when parsed by add_scoring_options(): an option
// for every setting other than its default, for passing on to the scorer.
std::vector<std::string> scoring_arguments(const scoring_settings &s);

// The option texts of the help, for the options added above.
extern const char scoring_options_help[];
