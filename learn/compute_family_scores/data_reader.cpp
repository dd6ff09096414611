// A data set read from CSV/TSV text into category codes (data_reader.h).
#include "data_reader.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "binning.h"
#include "csv_text.h"
#include "files.h"

const std::vector<std::string> default_na_values = {"",    "?",   "NA",   "N/A",  "n/a",
                                                     "NaN", "nan", "NULL", "null", "#N/A"};

namespace {

std::string describe_missing(const std::string &s)
{
    return s.empty() ? "missing value (empty field)" : "missing value '" + s + "'";
}

int column_index(const data_set &data, const std::string &column, const char *option)
{
    for (size_t c = 0; c < data.names.size(); ++c)
        if (data.names[c] == column)
            return int(c);
    fail(option, ("no column named '" + column + "'").c_str());
}

// The rule that bins column c, or null.
const bin_rule *rule_for(const data_set &data, const read_options &opt, size_t c,
                         size_t distinct, bool numeric)
{
    const bin_rule *all = nullptr;
    for (const auto &r : opt.discretize) {
        if (r.column == data.names[c])
            return &r;
        if (r.column.empty())
            all = &r;
    }
    return numeric && distinct > size_t(opt.max_levels) ? all : nullptr;
}

// Decides how column c is read once all rows are in: kept as categories,
// binned (labels and codes replaced), or refused.
void settle_column(data_set &data, const read_options &opt, size_t c, const char *name,
                   const std::unordered_set<std::string> &categorical)
{
    const std::string &col = data.names[c];
    if (categorical.count(col) != 0)
        return;
    auto &labels = data.labels[c];
    const size_t distinct = labels.size();
    std::vector<double> value(distinct);
    size_t not_number = distinct;
    for (size_t l = 0; l < distinct && not_number == distinct; ++l)
        if (!read_number(labels[l], value[l]))
            not_number = l;
    const bool numeric = not_number == distinct;
    if (const bin_rule *rule = rule_for(data, opt, c, distinct, numeric)) {
        if (!numeric)
            fail(name, ("column '" + col + "' cannot be binned: its label '" +
                        labels[not_number] + "' is not a number")
                           .c_str());
        std::vector<double> rows(data.nof_rows);
        for (size_t r = 0; r < data.nof_rows; ++r)
            rows[r] = value[data.codes[c][r]];
        labels = bin_values(rows, rule->method, rule->bins, data.codes[c]);
        std::string note = "column '" + col + "' (" + std::to_string(distinct) +
                           " distinct numbers) binned into " +
                           describe_bins(rule->method, labels.size()) + ":";
        for (const auto &l : labels)
            note += " " + l;
        data.binned.push_back(note);
        return;
    }
    if (data.nof_rows > 20 && distinct == data.nof_rows)
        fail(name, ("column '" + col + "' has a different label on each of its " +
                    std::to_string(distinct) +
                    " rows, as an identifier has: leave it out, or keep it with --categorical " +
                    col)
                       .c_str());
    if (numeric && distinct > size_t(opt.max_levels))
        fail(name, ("column '" + col + "' holds " + std::to_string(distinct) +
                    " distinct numbers, more than --max-levels " + std::to_string(opt.max_levels) +
                    ": bin it with --discretize (e.g. --discretize " + col +
                    "=quantile:4), or keep its values with --categorical " + col)
                       .c_str());
}

} // namespace

data_set parse_data(const std::string &text, const char *name, const read_options &opt)
{
    data_set data;
    size_t pos = 0, line = 1;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        pos = 3;
    const char delim = opt.delimiter != 0 ? opt.delimiter : detect_delimiter(text, pos);
    std::vector<field> fields;
    bool have_header = false;
    while (next_record(text, pos, line, delim, fields, name)) {
        if (!blank_record(fields)) {
            have_header = true;
            break;
        }
    }
    if (!have_header)
        fail(name, "the file is empty (no header row)");
    const size_t header_line = fields[0].line;
    if (!opt.any_columns && fields.size() > size_t(max_columns))
        fail_at(name, header_line, max_columns + 1, fields[max_columns].text,
                std::to_string(fields.size()) + " columns, at most " +
                    std::to_string(max_columns) + " are supported");
    if (fields.size() == 1 && opt.delimiter == 0)
        fail_at(name, header_line, 0, "",
                "one column only; comma, tab and semicolon were tried: give the field "
                "separator with --delimiter (also to read one column)");
    std::unordered_map<std::string, size_t> seen;
    for (size_t c = 0; c < fields.size(); ++c) {
        const std::string &s = fields[c].text;
        if (s.empty())
            fail_at(name, header_line, c + 1, "", "empty column name");
        if (s.find('\0') != std::string::npos)
            fail_at(name, header_line, c + 1, "", "the column name holds a NUL byte");
        auto [it, fresh] = seen.emplace(s, c);
        if (!fresh)
            fail_at(name, header_line, c + 1, s,
                    "duplicate column name (also column " + std::to_string(it->second + 1) + ")");
        data.names.push_back(s);
    }
    const size_t m = data.names.size();
    data.labels.resize(m);
    data.codes.resize(m);
    const std::vector<std::string> &na = opt.na_given ? opt.na_values : default_na_values;
    // Markers are short: most fields are told apart by their length alone.
    size_t longest_marker = 0;
    for (const auto &s : na)
        longest_marker = std::max(longest_marker, s.size());
    auto is_missing = [&](const std::string &s) {
        return s.size() <= longest_marker && std::find(na.begin(), na.end(), s) != na.end();
    };
    std::vector<std::unordered_map<std::string, uint32_t>> index(m);
    while (next_record(text, pos, line, delim, fields, name)) {
        if (blank_record(fields) && m > 1)
            continue;
        const size_t row_line = fields[0].line;
        if (fields.size() < m)
            fail_at(name, fields.back().line, fields.size() + 1, data.names[fields.size()],
                    "the row ends after " + std::to_string(fields.size()) +
                        " fields, the header has " + std::to_string(m));
        if (fields.size() > m)
            fail_at(name, fields[m].line, m + 1, "",
                    "the row has " + std::to_string(fields.size()) + " fields, the header has " +
                        std::to_string(m));
        bool missing = false;
        for (size_t c = 0; c < m && !missing; ++c) {
            if (is_missing(fields[c].text)) {
                if (!opt.drop_missing)
                    fail_at(name, fields[c].line, c + 1, data.names[c],
                            describe_missing(fields[c].text));
                missing = true;
            }
        }
        if (missing) {
            ++data.nof_dropped;
            continue;
        }
        if (data.nof_rows == UINT32_MAX)
            fail_at(name, row_line, 0, "", "too many rows");
        for (size_t c = 0; c < m; ++c) {
            auto [it, fresh] = index[c].emplace(fields[c].text, uint32_t(data.labels[c].size()));
            if (fresh)
                data.labels[c].push_back(fields[c].text);
            data.codes[c].push_back(it->second);
        }
        ++data.nof_rows;
    }
    if (data.nof_rows == 0) {
        if (data.nof_dropped != 0)
            fail(name, ("no data rows left: all " + std::to_string(data.nof_dropped) +
                        " rows have missing values")
                           .c_str());
        fail(name, "no data rows");
    }
    std::unordered_set<std::string> categorical;
    for (const auto &col : opt.categorical) {
        column_index(data, col, "--categorical");
        categorical.insert(col);
    }
    for (const auto &r : opt.discretize)
        if (!r.column.empty()) {
            column_index(data, r.column, "--discretize");
            if (categorical.count(r.column) != 0)
                fail("--discretize", ("column '" + r.column +
                                      "' is also named by --categorical")
                                         .c_str());
        }
    // The columns named by --discretize first: a rule that cannot apply is
    // reported before any other column is refused.
    std::vector<char> named(m, 0);
    for (const auto &r : opt.discretize)
        if (!r.column.empty())
            named[size_t(column_index(data, r.column, "--discretize"))] = 1;
    for (int pass : {1, 0})
        for (size_t c = 0; c < m; ++c)
            if (named[c] == pass)
                settle_column(data, opt, c, name, categorical);
    return data;
}

data_set read_data(const char *path, const read_options &opt)
{
    std::string text = read_whole(fopen_checked(path, "rb"), path);
    return parse_data(text, path, opt);
}
