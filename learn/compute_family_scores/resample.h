// Bootstrap resampling of a data set's rows.
#pragma once
#include <cstdint>

#include "family_scores.h"

// Parses "SEED:K" (two unsigned decimal integers); false on any other text.
bool parse_resample(const char *text, uint64_t *seed, uint64_t *index);

// Replaces the rows of data by as many rows drawn from them uniformly with
// replacement.  The draws come from a splitmix64 sequence started from seed
// and the resample index, so a (seed, index) pair always gives the same
// rows and different indexes give independent resamples.  The labels and so
// the arities stay those of the whole data set.
void resample_rows(data_set &data, uint64_t seed, uint64_t index);
