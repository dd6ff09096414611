// fit_parameters: the conditional probability table of every variable of a
// network given its parents, counted from the rows of the data that the
// scorer uses (read by the scorer's own reader with the same options).
//
// The parameter file, tab-separated, fields escaped as in the
// variable-description file (\t \n \r \\):
//   parameters <bayes|mle> <ess> <rows> <n>
//   variable <name> <r> <state 1> ... <state r>        n lines, in column order
//   table <i> <k> <parent 1> ... <parent k>            per variable i, parents ascending
//   <p 1> ... <p r>                                    q lines, one per parent
//                                                      configuration, the last
//                                                      parent varying fastest
// States are in the order of first appearance in the data, as in the
// scorer's variable-description file; probabilities have 17 significant
// digits.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "scoring_options.h"
#include "family_scores.h"
#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] = "Usage: fit_parameters [options] DATA NETFILE PARAMFILE\n";
const char description[] =
    "Fits the conditional probability table of every variable of the network\n"
    "NETFILE (one parent varset per variable, variables in DATA's column\n"
    "order) from the rows of DATA, and writes them to PARAMFILE ('-':\n"
    "standard output).  bayes: (N_ijk + ess/(q r)) / (N_ij + ess/q), the\n"
    "posterior mean under the BDeu prior; mle: N_ijk / N_ij, a parent\n"
    "configuration never seen getting the uniform distribution.";

// Tables beyond this many entries are refused rather than written.
constexpr uint64_t max_table_entries = uint64_t(1) << 24;

struct options {
    read_options read;
    std::string method = "bayes";
    double ess = 1;
    std::string data, netfile, paramfile;
};

// The rows of the table of child i given its parents (ascending).
std::vector<double> fit_table(const data_set &data, int i, const std::vector<int> &parents,
                              const options &opt)
{
    const uint64_t r = data.labels[size_t(i)].size();
    uint64_t q = 1;
    for (int p : parents) {
        q *= data.labels[size_t(p)].size();
        if (q > max_table_entries / r)
            failf(opt.data.c_str(), "the table of '%s' given its %zu parents has more than %llu "
                                    "entries; not written",
                  data.names[size_t(i)].c_str(), parents.size(),
                  (unsigned long long)max_table_entries);
    }
    std::vector<uint64_t> counts(q * r, 0);
    for (size_t row = 0; row < data.nof_rows; ++row) {
        uint64_t j = 0;
        for (int p : parents)
            j = j * data.labels[size_t(p)].size() + data.codes[size_t(p)][row];
        ++counts[j * r + data.codes[size_t(i)][row]];
    }
    std::vector<double> probs(q * r);
    const bool bayes = opt.method == "bayes";
    const double a_j = opt.ess / double(q), a_jk = opt.ess / (double(q) * double(r));
    for (uint64_t j = 0; j < q; ++j) {
        uint64_t n_j = 0;
        for (uint64_t k = 0; k < r; ++k)
            n_j += counts[j * r + k];
        for (uint64_t k = 0; k < r; ++k) {
            double n_jk = double(counts[j * r + k]);
            probs[j * r + k] = bayes    ? (n_jk + a_jk) / (double(n_j) + a_j)
                               : n_j == 0 ? 1.0 / double(r)
                                          : n_jk / double(n_j);
        }
    }
    return probs;
}

int fit_parameters(const options &opt)
{
    data_set data = read_data(opt.data.c_str(), opt.read);
    const int n = int(data.names.size());
    std::vector<uint32_t> parents = read_network(opt.netfile.c_str(), n);
    std::string out = "parameters\t" + opt.method + "\t" + exact_number(opt.ess) + "\t" +
                      std::to_string(data.nof_rows) + "\t" + std::to_string(n) + "\n";
    for (int i = 0; i < n; ++i) {
        out += "variable\t" + escape_field(data.names[size_t(i)]) + "\t" +
               std::to_string(data.labels[size_t(i)].size());
        for (const auto &s : data.labels[size_t(i)]) {
            out += '\t';
            out += escape_field(s);
        }
        out += "\n";
    }
    for (int i = 0; i < n; ++i) {
        std::vector<int> ps;
        for (int p = 0; p < n; ++p)
            if ((parents[size_t(i)] >> p) & 1)
                ps.push_back(p);
        out += "table\t" + std::to_string(i) + "\t" + std::to_string(ps.size());
        for (int p : ps) {
            out += '\t';
            out += std::to_string(p);
        }
        out += "\n";
        std::vector<double> probs = fit_table(data, i, ps, opt);
        const size_t r = data.labels[size_t(i)].size();
        for (size_t k = 0; k < probs.size(); ++k)
            out += exact_number(probs[k]) + ((k + 1) % r == 0 ? "\n" : "\t");
    }
    write_text(opt.paramfile.c_str(), out);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    CLI::App app = tool_command_line("fit_parameters", description);
    app.add_option("DATA", opt.data, "data file (CSV or TSV with a header row)")->required();
    app.add_option("NETFILE", opt.netfile, "network file")->required();
    app.add_option("PARAMFILE", opt.paramfile, "parameter file to write")->required();
    app.add_option("--params", opt.method, "bayes (default) or mle")
        ->check(CLI::IsMember({"bayes", "mle"}));
    // The scorer's own table: the data are read as the scores were (delimiter,
    // missing values, binning), and --ess is the run's.
    scoring_settings settings;
    add_scoring_options(app, settings);
    parse_command_line(app, argc, argv, usage_line);
    opt.read = settings.read;
    opt.ess = settings.score.ess;
    return fit_parameters(opt);
}
