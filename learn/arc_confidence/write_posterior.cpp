// write_posterior: the arc probabilities of weigh_arcs as a CSV table with
// the variables' names, and the labels for drawing them.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] = "Usage: write_posterior [options] PROBFILE VDFILE CSVFILE\n";

const char description[] =
    "Writes the posterior probability of every arc, as computed by weigh_arcs\n"
    "into PROBFILE (n lines of n numbers, line u holding p(u -> v)), to the\n"
    "CSV table CSVFILE: the header from,to,probability, then one row for every\n"
    "ordered pair of distinct variables, from and to in increasing variable\n"
    "order, names taken from VDFILE (quoted as RFC 4180 wants where needed),\n"
    "probabilities with 17 significant digits.  p(u -> v) + p(v -> u) is the\n"
    "probability that u and v are adjacent.";

// The n x n probabilities, n being the number of lines.
std::vector<std::vector<double>> read_probabilities(const char *probfile)
{
    const std::string text = read_text(probfile);
    std::vector<std::vector<double>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<double> row;
        const char *p = line.c_str();
        for (;;) {
            while (*p == ' ' || *p == '\t' || *p == '\r')
                ++p;
            if (*p == '\0')
                break;
            char *end;
            errno = 0;
            double x = strtod(p, &end);
            if (end == p || errno == ERANGE || !(x >= 0.0 && x <= 1.0))
                failf(probfile, "line %zu: expected probabilities", rows.size() + 1);
            row.push_back(x);
            p = end;
        }
        rows.push_back(row);
    }
    for (size_t u = 0; u < rows.size(); ++u) {
        if (rows[u].size() != rows.size())
            failf(probfile, "line %zu: %zu numbers, expected %zu", u + 1, rows[u].size(),
                  rows.size());
        if (rows[u][u] != 0.0)
            failf(probfile, "line %zu: an arc from a variable to itself", u + 1);
    }
    return rows;
}

std::string label_of(double p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.2f", p);
    return buf;
}

} // namespace

void write_posterior(const char *probfile, const char *vdfile, const char *csvfile,
                     const std::string &labelfile, const std::string &netfile)
{
    const std::vector<std::vector<double>> prob = read_probabilities(probfile);
    const int n = int(prob.size());
    std::vector<std::string> names;
    for (const variable &v : read_vd(vdfile))
        names.push_back(v.name);
    if (names.size() != prob.size())
        failf(vdfile, "%zu variables, but %s holds %d", names.size(), probfile, n);
    std::vector<uint32_t> parents;
    if (!netfile.empty())
        parents = read_network(netfile.c_str(), n);

    std::string out_text = "from,to,probability\n";
    for (int u = 0; u < n; ++u)
        for (int v = 0; v < n; ++v)
            if (u != v)
                out_text += csv_field(names[size_t(u)]) + "," + csv_field(names[size_t(v)]) +
                                  "," + exact_number(prob[size_t(u)][size_t(v)]) + "\n";
    write_text(csvfile, out_text);

    if (labelfile.empty())
        return;
    std::string labels_text = "from,to,label\n";
    for (int v = 0; v < n; ++v)   // arcs in the order of the network file
        for (int u = 0; u < n; ++u)
            if (u != v && (netfile.empty() || (parents[size_t(v)] >> u & 1)))
                labels_text += csv_field(names[size_t(u)]) + "," + csv_field(names[size_t(v)]) +
                                     "," + label_of(prob[size_t(u)][size_t(v)]) + "\n";
    write_text(labelfile.c_str(), labels_text);
}

int main(int argc, char **argv)
{
    CLI::App app = tool_command_line("write_posterior", description);
    std::string probfile, vdfile, csvfile, labelfile, netfile;
    app.add_option("PROBFILE", probfile, "probabilities written by weigh_arcs")->required();
    app.add_option("VDFILE", vdfile, "variable-description file (names)")->required();
    app.add_option("CSVFILE", csvfile, "CSV table to write")->required();
    app.add_option("--labels", labelfile,
                   "also write this label table from,to,label: the probability with two "
                   "decimals, for every ordered pair, or with --network for its arcs only");
    app.add_option("--network", netfile, "network file whose arcs the labels are for");
    parse_command_line(app, argc, argv, usage_line);
    write_posterior(probfile.c_str(), vdfile.c_str(), csvfile.c_str(), labelfile, netfile);
    return 0;
}
