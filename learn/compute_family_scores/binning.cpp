// Numeric labels and the binning of numeric columns into ranges (binning.h).
#include "binning.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

bool read_number(const std::string &s, double &value)
{
    const char *b = s.data(), *e = s.data() + s.size();
    const bool plus = b != e && *b == '+';
    b += plus;
    if (b == e || !(std::isdigit((unsigned char)*b) || *b == '.' || (*b == '-' && !plus)))
        return false;  // from_chars would take "inf" and "nan"
    auto [end, ec] = std::from_chars(b, e, value);
    return ec == std::errc() && end == e && std::isfinite(value);
}

namespace {

// The shortest text that reads back as x.
std::string shortest(double x)
{
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
    (void)ec;
    return std::string(buf, end);
}

struct cut {
    double value;
    std::string text;
};

// Equal-frequency cuts: the values at ranks N/k, 2N/k, ... of the sorted
// values, each taken once and above the minimum.
std::vector<cut> quantile_cuts(std::vector<double> sorted, int k)
{
    std::sort(sorted.begin(), sorted.end());
    std::vector<cut> cuts;
    const size_t n = sorted.size();
    for (int j = 1; j < k; ++j) {
        double v = sorted[size_t(j) * n / size_t(k)];
        if (v > sorted[0] && (cuts.empty() || v > cuts.back().value))
            cuts.push_back({v, shortest(v)});
    }
    return cuts;
}

// Equal-width cuts between lo and hi, rounded to a tenth of the width's
// leading decimal place, so that the labels stay short; the rounded value is
// the cut used.
std::vector<cut> interval_cuts(double lo, double hi, int k)
{
    std::vector<cut> cuts;
    const double width = (hi - lo) / k;
    if (!(width > 0))
        return cuts;
    const int place = int(std::floor(std::log10(width))) - 1;
    const double step = std::pow(10.0, place);
    const int decimals = place < 0 ? -place : 0;
    for (int j = 1; j < k; ++j) {
        double c = std::round((lo + j * width) / step) * step;
        char buf[400];
        snprintf(buf, sizeof buf, "%.*f", decimals, c);
        double v = strtod(buf, nullptr);
        if (v > lo && v < hi && (cuts.empty() || v > cuts.back().value))
            cuts.push_back({v, buf});
    }
    return cuts;
}

} // namespace

std::vector<std::string> bin_values(const std::vector<double> &values, bin_method method, int k,
                                    std::vector<uint32_t> &codes)
{
    const auto [lo_it, hi_it] = std::minmax_element(values.begin(), values.end());
    const double lo = *lo_it, hi = *hi_it;
    const std::vector<cut> cuts =
        method == bin_method::quantile ? quantile_cuts(values, k) : interval_cuts(lo, hi, k);
    // Range b holds the values from cut b - 1 (or lo) up to cut b.
    std::vector<size_t> rows_in(cuts.size() + 1, 0);
    codes.resize(values.size());
    for (size_t r = 0; r < values.size(); ++r) {
        size_t b = size_t(std::upper_bound(cuts.begin(), cuts.end(), values[r],
                                           [](double x, const cut &c) { return x < c.value; }) -
                          cuts.begin());
        codes[r] = uint32_t(b);
        ++rows_in[b];
    }
    std::vector<std::string> labels;
    std::vector<uint32_t> renumber(rows_in.size());
    for (size_t b = 0; b < rows_in.size(); ++b) {
        renumber[b] = uint32_t(labels.size());
        if (rows_in[b] == 0)
            continue;
        const std::string from = b == 0 ? shortest(lo) : cuts[b - 1].text;
        const bool last = b == cuts.size();
        const std::string to = last ? shortest(hi) : cuts[b].text;
        labels.push_back("[" + from + "," + to + (last ? "]" : ")"));
    }
    for (auto &c : codes)
        c = renumber[c];
    return labels;
}

std::string describe_bins(bin_method method, size_t bins)
{
    return std::to_string(bins) +
           (method == bin_method::quantile ? " equal-frequency bins" : " equal-width bins");
}
