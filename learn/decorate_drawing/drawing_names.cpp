// drawing_names: a copy of the variable-description file whose names are
// safe for edges_to_gv, which writes them unchanged inside double quotes:
// escaped as DOT requires, and shortened with an ellipsis when longer than
// a limit, so that every name fits the line that edges_to_gv reads.
#include <CLI/CLI.hpp>
#include <string>

#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] = "Usage: drawing_names [options] VDFILE OUTFILE\n";
const char description[] =
    "Writes OUTFILE, one name per line for edges_to_gv: the names of VDFILE\n"
    "escaped for a double-quoted DOT string, names longer than the limit\n"
    "cut with an ellipsis.";

struct options {
    std::string vdfile, outfile;
    int max_length = 60;
};

// The first max characters of s (UTF-8 characters, not bytes), "…" after a
// cut.
std::string shortened(const std::string &s, int max)
{
    int chars = 0;
    for (size_t k = 0; k < s.size(); ++k) {
        if ((static_cast<unsigned char>(s[k]) & 0xC0) == 0x80)
            continue;
        if (chars++ == max)
            return s.substr(0, k) + "\xE2\x80\xA6";
    }
    return s;
}

int drawing_names(const options &opt)
{
    std::string out;
    for (const variable &v : read_vd(opt.vdfile.c_str())) {
        std::string name = dot_escape(shortened(v.name, opt.max_length));
        // edges_to_gv takes the label up to the first tab, so a name must
        // not be empty either: it would leave the line without a label.
        out += (name.empty() ? " " : name) + "\n";
    }
    write_text(opt.outfile.c_str(), out);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    CLI::App app = tool_command_line("drawing_names", description);
    app.add_option("VDFILE", opt.vdfile, "variable-description file")->required();
    app.add_option("OUTFILE", opt.outfile, "names for the drawing ('-': standard output)")
        ->required();
    app.add_option("--max-length", opt.max_length, "characters kept of a name (default 60)")
        ->check(CLI::Range(1, 200));
    parse_command_line(app, argc, argv, usage_line);
    return drawing_names(opt);
}
