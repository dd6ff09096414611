// fit_parameters: the conditional probability table of every variable of a
// network given its parents, counted from the rows of the data that the
// scorer uses (read by the scorer's own reader, with the scorer's own table
// of options, so that the same options give the same rows and states).
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

#include "family_scores.h"
#include "files.h"
#include "model_files.h"
#include "scoring_options.h"

namespace {

const char usage_line[] = "Usage: fit_parameters [options] DATA NETFILE PARAMFILE\n";

// Tables beyond this many entries are refused rather than written.
constexpr uint64_t max_table_entries = uint64_t(1) << 24;

const char help_head[] =
    "Usage: fit_parameters [options] DATA NETFILE PARAMFILE\n"
    "\n"
    "Fits the conditional probability table of every variable of the network\n"
    "NETFILE (one parent varset per variable, variables in DATA's column order)\n"
    "from the rows of DATA, and writes them to PARAMFILE ('-': standard\n"
    "output).  DATA is read as compute_family_scores reads it, with the same\n"
    "options: the same rows, and the states of its variable-description file in\n"
    "the same order.\n"
    "\n"
    "Options:\n"
    "  --params bayes|mle  bayes (default): (N_ijk + ess/(q r)) / (N_ij + ess/q),\n"
    "                      the posterior mean under the BDeu prior, with --ess;\n"
    "                      mle: N_ijk / N_ij, a parent configuration never seen\n"
    "                      getting the uniform distribution\n"
    "The options of compute_family_scores (--score, --max-parents, --forbid,\n"
    "--require and --threads are accepted and have no effect here):\n";

const char help_tail[] =
    "  --help              this text\n"
    "\n"
    "Exit status: 0 done, 1 wrong usage or a bad option value, 2 bad input or a\n"
    "file that cannot be read or written (one line on stderr).\n";

struct options {
    scoring_settings s;
    std::string method = "bayes";
    std::string data, netfile, paramfile;
};

std::string number(double v)
{
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

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
    const double ess = opt.s.score.ess;
    const double a_j = ess / double(q), a_jk = ess / (double(q) * double(r));
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
    data_set data = read_data(opt.data.c_str(), opt.s.read);
    const int n = int(data.names.size());
    std::vector<uint32_t> parents = read_network(opt.netfile.c_str(), n);
    std::string out = "parameters\t" + opt.method + "\t" + number(opt.s.score.ess) + "\t" +
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
            out += number(probs[k]) + ((k + 1) % r == 0 ? "\n" : "\t");
    }
    write_text(opt.paramfile.c_str(), out);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "fit_parameters";
    ignore_file_size_signal();
    options opt;
    std::vector<std::string> positional;
    CLI::App app;
    app.add_option("--params", opt.method)->check(CLI::IsMember({"bayes", "mle"}));
    add_scoring_options(app, opt.s);
    app.add_option("args", positional);
    parse_command_line(app, argc, argv, usage_line,
                       (std::string(help_head) + scoring_options_help + help_tail).c_str());
    if (positional.size() != 3) {
        fputs(usage_line, stderr);
        return 1;
    }
    opt.data = positional[0];
    opt.netfile = positional[1];
    opt.paramfile = positional[2];
    return fit_parameters(opt);
}
