// find_equivalence_class: which arcs of a network the data decides.  Every
// network of one Markov equivalence class scores the same under BDeu, BIC
// and AIC; the class is given by its completed partially directed graph:
// the arcs of v-structures, and those that Meek's rules 1 to 3 then force,
// are compelled; the other arcs are reversible.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] = "Usage: find_equivalence_class [options] NETFILE VDFILE\n";
const char description[] =
    "Marks each arc of a network compelled (every network of its Markov\n"
    "equivalence class has it so) or reversible.  NETFILE: one parent varset\n"
    "per variable; VDFILE: the variable-description file (names).  Standard\n"
    "output: one 'parent -> child' line per arc, ' (reversible)' appended to\n"
    "reversible ones.";

struct options {
    std::string netfile, vdfile;
    std::string types_file, csv_file;
    bool quiet = false;
};

// compelled[c]: the parents of c whose arcs are compelled.
std::vector<uint64_t> compelled_arcs(const std::vector<uint32_t> &parents)
{
    const int n = int(parents.size());
    std::vector<uint64_t> dir(size_t(n), 0), und(size_t(n), 0); // dir[a]: a -> b
    auto bit = [](int k) { return uint64_t(1) << k; };
    for (int c = 0; c < n; ++c)
        for (int p = 0; p < n; ++p)
            if ((parents[size_t(c)] >> p) & 1) {
                und[size_t(c)] |= bit(p);
                und[size_t(p)] |= bit(c);
            }
    auto adjacent = [&](int a, int b) {
        return ((und[size_t(a)] | dir[size_t(a)]) >> b & 1) || (dir[size_t(b)] >> a & 1);
    };
    auto orient = [&](int a, int b) {
        if (!((parents[size_t(b)] >> a) & 1))
            fail("find_equivalence_class", "internal error: a rule reverses an arc");
        und[size_t(a)] &= ~bit(b);
        und[size_t(b)] &= ~bit(a);
        dir[size_t(a)] |= bit(b);
    };
    // v-structures a -> c <- b with a and b not adjacent
    for (int c = 0; c < n; ++c)
        for (int a = 0; a < n; ++a)
            for (int b = a + 1; b < n; ++b)
                if ((parents[size_t(c)] >> a & 1) && (parents[size_t(c)] >> b & 1) &&
                    !(parents[size_t(a)] >> b & 1) && !(parents[size_t(b)] >> a & 1)) {
                    if (und[size_t(a)] >> c & 1)
                        orient(a, c);
                    if (und[size_t(b)] >> c & 1)
                        orient(b, c);
                }
    for (bool changed = true; changed;) {
        changed = false;
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) {
                if (!(und[size_t(a)] >> b & 1))
                    continue;
                bool force = false;
                for (int x = 0; x < n && !force; ++x) {
                    // rule 1: x -> a - b, x and b not adjacent
                    if ((dir[size_t(x)] >> a & 1) && x != b && !adjacent(x, b))
                        force = true;
                    // rule 2: a -> x -> b
                    if ((dir[size_t(a)] >> x & 1) && (dir[size_t(x)] >> b & 1))
                        force = true;
                    // rule 3: a - x -> b, a - y -> b, x and y not adjacent
                    if ((und[size_t(a)] >> x & 1) && (dir[size_t(x)] >> b & 1))
                        for (int y = x + 1; y < n && !force; ++y)
                            if ((und[size_t(a)] >> y & 1) && (dir[size_t(y)] >> b & 1) &&
                                !adjacent(x, y))
                                force = true;
                }
                if (force) {
                    orient(a, b);
                    changed = true;
                }
            }
    }
    std::vector<uint64_t> out(size_t(n), 0);
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b)
            if (dir[size_t(a)] >> b & 1)
                out[size_t(b)] |= bit(a);
    return out;
}

int find_equivalence_class(const options &opt)
{
    std::vector<variable> vars = read_vd(opt.vdfile.c_str());
    if (vars.size() > 32)
        fail(opt.vdfile.c_str(), "more than 32 variables");
    std::vector<uint32_t> parents = read_network(opt.netfile.c_str(), int(vars.size()));
    std::vector<uint64_t> compelled = compelled_arcs(parents);
    std::string types, csv = "from,to,type\n", lines;
    for (const arc &a : arcs_of(parents)) {
        bool rev = !(compelled[size_t(a.to)] >> a.from & 1);
        const char *type = rev ? "reversible" : "compelled";
        types += std::to_string(a.from) + " " + std::to_string(a.to) + " " + type + "\n";
        csv += csv_field(vars[size_t(a.from)].name) + "," + csv_field(vars[size_t(a.to)].name) +
               "," + type + "\n";
        lines += vars[size_t(a.from)].name + " -> " + vars[size_t(a.to)].name +
                 (rev ? " (reversible)\n" : "\n");
    }
    if (!opt.types_file.empty())
        write_text(opt.types_file.c_str(), types);
    if (!opt.csv_file.empty())
        write_text(opt.csv_file.c_str(), csv);
    if (!opt.quiet)
        write_text("-", lines);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    CLI::App app = tool_command_line("find_equivalence_class", description);
    app.add_option("NETFILE", opt.netfile, "network file")->required();
    app.add_option("VDFILE", opt.vdfile, "variable-description file")->required();
    app.add_option("--types", opt.types_file,
                   "write '<parent> <child> compelled|reversible' per arc to FILE");
    app.add_option("--csv", opt.csv_file, "write arcs by name (from,to,type) to FILE");
    app.add_flag("--quiet", opt.quiet, "no arc lines on standard output");
    parse_command_line(app, argc, argv, usage_line);
    return find_equivalence_class(opt);
}
