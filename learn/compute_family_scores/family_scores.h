// Family scores from a discrete data set: reading the data (data_reader.h),
// the constraint lists (arc_lists.h), the per-subset terms of the
// decomposable scores and the score of one family (subset_terms.h).
//
// Every failure goes through fail() of the suite library: one line
// "<program>: <file>: <reason>" and exit status 2.
#pragma once
#include "arc_lists.h"
#include "data_reader.h"
#include "subset_terms.h"
