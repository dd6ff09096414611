// decorate_drawing: fills the marker comments of a DOT file written by
// edges_to_gv: a title, reversible arcs drawn without arrowheads, and
// optional labels on the arcs.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] = "Usage: decorate_drawing [options] DOTFILE OUTFILE\n";
const char description[] =
    "Fills the marker comments of DOTFILE (written by edges_to_gv) and writes\n"
    "OUTFILE ('-': standard output): the title from --data and --score,\n"
    "arcs marked reversible in --types drawn without arrowheads, and the\n"
    "labels of --labels on their arcs (a label given for the other direction\n"
    "of a reversible arc is used too).";

struct options {
    std::string dotfile, outfile, types, vdfile, labels, data, score;
};

const std::string before_all = "/*@@@BEFORE_ALL@@@*/", edge_atts = "/*@@@EDGE_ATTS@@@*/";

// Labels by arc (parent, child) from a CSV file from,to,label (a first line
// exactly "from,to,label" is a header).
std::map<std::pair<int, int>, std::string> read_labels(const options &opt)
{
    std::map<std::pair<int, int>, std::string> out;
    if (opt.labels.empty())
        return out;
    if (opt.vdfile.empty())
        fail(opt.labels.c_str(), "labels by name need --vd");
    std::vector<variable> vars = read_vd(opt.vdfile.c_str());
    std::map<std::string, int> index;
    for (size_t k = 0; k < vars.size(); ++k)
        index[vars[k].name] = int(k);
    auto records = parse_csv(read_text(opt.labels.c_str()), opt.labels.c_str());
    for (size_t k = 0; k < records.size(); ++k) {
        const auto &r = records[k];
        if (k == 0 && r == std::vector<std::string>{"from", "to", "label"})
            continue;
        if (r.size() != 3)
            failf(opt.labels.c_str(), "record %zu: expected from,to,label", k + 1);
        int ends[2];
        for (int e = 0; e < 2; ++e) {
            auto it = index.find(r[size_t(e)]);
            if (it == index.end())
                failf(opt.labels.c_str(), "record %zu: unknown variable '%s'", k + 1,
                      r[size_t(e)].c_str());
            ends[e] = it->second;
        }
        out[{ends[0], ends[1]}] = r[2];
    }
    return out;
}

int decorate_drawing(const options &opt)
{
    std::map<std::pair<int, int>, bool> reversible;
    if (!opt.types.empty())
        for (const typed_arc &a : read_arc_types(opt.types.c_str()))
            reversible[{a.from, a.to}] = a.reversible;
    std::map<std::pair<int, int>, std::string> labels = read_labels(opt);
    std::string title;
    if (!opt.data.empty()) {
        size_t slash = opt.data.find_last_of('/');
        title = slash == std::string::npos ? opt.data : opt.data.substr(slash + 1);
    }
    if (!opt.score.empty())
        title += (title.empty() ? "score " : ", score ") + opt.score;

    std::string text = read_text(opt.dotfile.c_str()), out;
    size_t pos = 0;
    bool seen_all = false;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos
                                                                     : eol - pos + 1);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        size_t m = line.find(before_all);
        if (m != std::string::npos && !seen_all) {
            seen_all = true;
            if (!title.empty())
                line.replace(m, before_all.size(),
                             "label=\"" + dot_escape(title) + "\"; labelloc=t;");
        }
        m = line.find(edge_atts);
        int from, to;
        if (m != std::string::npos && std::sscanf(line.c_str(), " V%d -> V%d", &from, &to) == 2) {
            std::vector<std::string> atts;
            auto rev = reversible.find({from, to});
            bool undirected = rev != reversible.end() && rev->second;
            if (undirected)
                atts.push_back("dir=none");
            auto lab = labels.find({from, to});
            if (lab == labels.end() && undirected)
                lab = labels.find({to, from});
            if (lab != labels.end())
                atts.push_back("label=\"" + dot_escape(lab->second) + "\"");
            std::string filled;
            for (size_t k = 0; k < atts.size(); ++k)
                filled += (k ? ", " : "[") + atts[k];
            if (atts.empty() && m > 0 && line[m - 1] == ' ')
                line.erase(m - 1, edge_atts.size() + 1);
            else
                line.replace(m, edge_atts.size(), atts.empty() ? "" : filled + "]");
        }
        out += line;
    }
    if (!seen_all)
        fail(opt.dotfile.c_str(), "no marker comments: not a drawing of edges_to_gv");
    write_text(opt.outfile.c_str(), out);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    CLI::App app = tool_command_line("decorate_drawing", description);
    app.add_option("DOTFILE", opt.dotfile, "DOT file of edges_to_gv ('-': standard input)")
        ->required();
    app.add_option("OUTFILE", opt.outfile, "decorated DOT file")->required();
    app.add_option("--types", opt.types,
                   "arc types, '<parent> <child> compelled|reversible' a line");
    app.add_option("--vd", opt.vdfile, "variable-description file (for --labels)");
    app.add_option("--labels", opt.labels,
                   "CSV from,to,label of arc labels by variable name");
    app.add_option("--data", opt.data, "data file name shown in the title");
    app.add_option("--score", opt.score, "score shown in the title");
    parse_command_line(app, argc, argv, usage_line);
    return decorate_drawing(opt);
}
