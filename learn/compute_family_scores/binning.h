// Numeric columns: which labels read as numbers, and binning into ranges.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "data_reader.h"

// Whether s reads as a finite decimal number ("12", "-3.5", "1e-3", "+.5").
bool read_number(const std::string &s, double &value);

// Bins values (one per row) by method into at most k ranges and returns
// their labels, ascending ("[18,35)", ..., the last closed); codes receives
// the range of each row.  Ranges no row falls in are left out.  method is
// quantile (equal numbers of rows, cuts at data values) or interval (equal
// widths, cuts rounded to the fewest digits that keep them apart).
std::vector<std::string> bin_values(const std::vector<double> &values, bin_method method, int k,
                                    std::vector<uint32_t> &codes);

// "3 equal-frequency bins" or "3 equal-width bins".
std::string describe_bins(bin_method method, size_t bins);
