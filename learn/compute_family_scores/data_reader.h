// Reading a data set: CSV/TSV text to one category code per row and column.
//
// A column is read as categories (labels numbered in order of first
// appearance), unless its labels all read as numbers and it is binned (see
// binning.h).  Fields equal to a missing-value marker fail the reading, or
// drop their row.  Every failure goes through fail() of the suite library.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The most columns a data set may have: its variables are bits of a varset.
constexpr int max_columns = 32;

struct data_set {
    std::vector<std::string> names;                // column names, header order
    std::vector<std::vector<std::string>> labels;  // per column: its states
    std::vector<std::vector<uint32_t>> codes;      // per column, one label index per row
    size_t nof_rows = 0;
    size_t nof_dropped = 0;                        // rows dropped for missing values
    std::vector<std::string> binned;               // one note per binned column
};

enum class bin_method { none, quantile, interval };

// --discretize NAME=METHOD[:K]; an empty column means every numeric column
// over the limit of levels.
struct bin_rule {
    std::string column;
    bin_method method = bin_method::none;
    int bins = 3;
};

struct read_options {
    char delimiter = 0;        // 0: detect (comma, tab or semicolon)
    bool drop_missing = false; // drop rows with a missing value instead of failing
    bool na_given = false;     // na_values replaces the default markers
    std::vector<std::string> na_values;
    int max_levels = 16;       // most distinct numbers of an unbinned numeric column
    std::vector<std::string> categorical;  // columns kept as categories
    std::vector<bin_rule> discretize;
    bool any_columns = false;  // no limit of max_columns (for readers that use no varsets)
};

// The markers of a missing value when --na-values is not given.
extern const std::vector<std::string> default_na_values;

// Parses CSV/TSV text; name is the file name used in messages.
data_set parse_data(const std::string &text, const char *name, const read_options &opt);
// Reads the whole file and parses it.
data_set read_data(const char *path, const read_options &opt);
