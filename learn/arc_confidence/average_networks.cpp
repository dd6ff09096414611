// average_networks: arc strengths over the networks learnt from bootstrap
// resamples, and their averaged network.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] =
    "Usage: average_networks [options] VDFILE BOOTCSV AVGNET LABELCSV NETFILE...\n";

const char description[] =
    "Reads the networks learnt from B resamples (NETFILE..., network files of\n"
    "the search: one parent set a line) over the variables of VDFILE, and\n"
    "writes:\n"
    "  BOOTCSV   from,to,strength,direction for every ordered pair of variables\n"
    "            adjacent in at least one network: strength = the fraction of\n"
    "            the networks in which they are adjacent, direction = the\n"
    "            fraction of those in which the arc points from 'from' to 'to'.\n"
    "            Rows by strength, descending; the two rows of a pair together,\n"
    "            the majority direction first (ties: by variable order).\n"
    "  AVGNET    the averaged network as a network file: every pair of strength\n"
    "            at least --threshold, in its majority direction (a tie: from\n"
    "            the lower-numbered variable), taken strongest first; an arc that\n"
    "            would close a cycle is dropped, so each cycle loses its weakest.\n"
    "  LABELCSV  from,to,label for the arcs of AVGNET, the label being the\n"
    "            strength with two decimals.\n"
    "Names are those of VDFILE, quoted as RFC 4180 wants where needed; numbers\n"
    "in BOOTCSV have 10 significant digits.";

std::string number(double x, const char *format)
{
    char buf[40];
    snprintf(buf, sizeof buf, format, x);
    return buf;
}

struct pair_row {
    int from, to;
    int together;   // networks with the two adjacent
    int along;      // of those, with the arc from -> to
};

} // namespace

void average_networks(const std::string &vdfile, const std::string &bootcsv,
                      const std::string &avgnet, const std::string &labelcsv,
                      const std::vector<std::string> &netfiles, double threshold)
{
    std::vector<std::string> names;
    for (const variable &v : read_vd(vdfile.c_str()))
        names.push_back(v.name);
    const int n = int(names.size());
    if (n > 32)
        fail(vdfile.c_str(), "more than 32 variables");
    const int b = int(netfiles.size());
    std::vector<int> arcs(size_t(n) * size_t(n), 0);   // arcs[u * n + v]: networks with u -> v
    for (const std::string &f : netfiles) {
        std::vector<uint32_t> parents = read_network(f.c_str(), n);
        for (int v = 0; v < n; ++v)
            for (int u = 0; u < n; ++u)
                if (parents[size_t(v)] >> u & 1)
                    ++arcs[size_t(u * n + v)];
    }

    std::vector<pair_row> rows;
    for (int u = 0; u < n; ++u)
        for (int v = 0; v < n; ++v) {
            const int together = arcs[size_t(u * n + v)] + arcs[size_t(v * n + u)];
            if (u != v && together > 0)
                rows.push_back({u, v, together, arcs[size_t(u * n + v)]});
        }
    std::sort(rows.begin(), rows.end(), [](const pair_row &x, const pair_row &y) {
        if (x.together != y.together)
            return x.together > y.together;
        const int xl = std::min(x.from, x.to), yl = std::min(y.from, y.to);
        const int xh = std::max(x.from, x.to), yh = std::max(y.from, y.to);
        if (xl != yl || xh != yh)
            return xl != yl ? xl < yl : xh < yh;
        if (x.along != y.along)
            return x.along > y.along;
        return x.from < y.from;
    });

    // The averaged network: the first row of each strong pair is its
    // majority direction (the lower-numbered variable first on a tie),
    // strongest pairs first.
    std::vector<uint32_t> parents(static_cast<size_t>(n), 0);
    std::vector<pair_row> kept;
    auto reaches = [&](int from, int to) {   // a directed path from -> ... -> to
        uint32_t seen = uint32_t(1) << from, frontier = seen;
        while (frontier != 0) {
            uint32_t next = 0;
            for (int v = 0; v < n; ++v)
                if (!(seen >> v & 1) && (parents[size_t(v)] & frontier) != 0)
                    next |= uint32_t(1) << v;
            seen |= next;
            frontier = next;
        }
        return (seen >> to & 1) != 0;
    };
    for (size_t k = 0; k < rows.size(); ++k) {
        const pair_row &r = rows[k];
        if (k > 0 && std::min(r.from, r.to) == std::min(rows[k - 1].from, rows[k - 1].to) &&
            std::max(r.from, r.to) == std::max(rows[k - 1].from, rows[k - 1].to))
            continue;   // the minority direction of the pair before
        if (double(r.together) / b < threshold)
            continue;
        if (reaches(r.to, r.from))
            continue;   // it would close a cycle of stronger arcs
        parents[size_t(r.to)] |= uint32_t(1) << r.from;
        kept.push_back(r);
    }

    std::string out_text = "from,to,strength,direction\n";
    for (const pair_row &r : rows)
        out_text += csv_field(names[size_t(r.from)]) + "," + csv_field(names[size_t(r.to)]) +
                          "," + number(double(r.together) / b, "%.10g") + "," +
                          number(double(r.along) / r.together, "%.10g") + "\n";
    write_text(bootcsv.c_str(), out_text);

    std::string net_text;
    for (uint32_t p : parents)
        net_text += std::to_string(p) + "\n";
    write_text(avgnet.c_str(), net_text);

    std::string labels_text = "from,to,label\n";
    for (const pair_row &r : kept)
        labels_text += csv_field(names[size_t(r.from)]) + "," + csv_field(names[size_t(r.to)]) +
                             "," + number(double(r.together) / b, "%.2f") + "\n";
    write_text(labelcsv.c_str(), labels_text);
}

int main(int argc, char **argv)
{
    CLI::App app = tool_command_line("average_networks", description);
    std::string vdfile, bootcsv, avgnet, labelcsv;
    std::vector<std::string> netfiles;
    double threshold = 0.5;
    app.add_option("VDFILE", vdfile, "variable-description file (names)")->required();
    app.add_option("BOOTCSV", bootcsv, "arc strength table to write")->required();
    app.add_option("AVGNET", avgnet, "averaged network file to write")->required();
    app.add_option("LABELCSV", labelcsv, "label table to write")->required();
    app.add_option("NETFILE", netfiles, "networks of the resamples")->required();
    app.add_option("--threshold", threshold,
                   "least strength of an arc of the averaged network, in (0, 1] (default 0.5)");
    parse_command_line(app, argc, argv, usage_line);
    if (!(threshold > 0.0 && threshold <= 1.0))
        fail("--threshold", "expected a number in (0, 1]");
    average_networks(vdfile, bootcsv, avgnet, labelcsv, netfiles, threshold);
    return 0;
}
