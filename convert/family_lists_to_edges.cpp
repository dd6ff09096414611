// family_lists_to_edges parentfile arcfile
//
// Turns a parent file into an arc file: one "parent child" line per parent
// index, the child being the line number.  Lines are read in pieces of at
// most 1023 characters; every piece counts as a line.  "-" is standard
// input or standard output.
//
// Every index must be a decimal integer naming a variable of the file (0 up
// to its number of lines, exclusive); the whole file is read and checked
// before the arc file is opened.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "checked_io.h"
#include "outputs.h"

namespace {

struct arc {
    long parent;
    long child;   // also the line of the parent file, from 0
};

[[noreturn]] void fail_at(const char *name, long child, const std::string &reason)
{
    std::string text = "line " + std::to_string(child + 1) + ": " + reason;
    fail(name, text.c_str());
}

std::vector<arc> read_parent_file(FILE *parents, const char *name)
{
    static const char separators[] = " \t\r\n";
    std::vector<arc> arcs;
    char line[1024];
    long child = 0;
    while (fgets(line, sizeof line, parents) != nullptr) {
        char *rest = nullptr;
        for (char *token = strtok_r(line, separators, &rest); token != nullptr;
             token = strtok_r(nullptr, separators, &rest)) {
            errno = 0;
            char *end = nullptr;
            long parent = strtol(token, &end, 10);
            if (end == token || *end != '\0')
                fail_at(name, child, std::string("parent \"") + token +
                                         "\" is not a decimal integer");
            if (errno == ERANGE || parent < INT_MIN || parent > INT_MAX)
                fail_at(name, child, std::string("parent ") + token + " does not fit 32 bits");
            arcs.push_back(arc{parent, child});
        }
        ++child;
    }
    check_input(parents, name);
    for (const arc &a : arcs)
        if (a.parent < 0 || a.parent >= child)
            fail_at(name, a.child, "parent " + std::to_string(a.parent) +
                                       " is not a variable of the file (it has " +
                                       std::to_string(child) + " lines)");
    return arcs;
}

} // namespace

static void family_lists_to_edges(const std::vector<arc> &arcs, FILE *out, const char *out_name)
{
    for (const arc &a : arcs) {
        fprintf(out, "%d %d\n", int(a.parent), int(a.child));
        check_output(out, out_name);
    }
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 3) {
        fputs("Usage: family_lists_to_edges parentfile arcfile\n", stderr);
        return 1;
    }
    program_name = "family_lists_to_edges";
    const char *in_name = input_name(argv[1]);
    const char *out_name = output_name(argv[2]);
    FILE *parents = open_input_or_stdin(argv[1], "r");
    note_input_stream(parents, in_name);
    if (!is_dash(argv[2]))
        refuse_input_as_output(argv[2]);
    std::vector<arc> arcs = read_parent_file(parents, in_name);
    FILE *out = is_dash(argv[2]) ? stdout : open_output(argv[2], "w");
    family_lists_to_edges(arcs, out, out_name);
    close_output(out, out_name);
    commit_outputs();
    close_input(parents, in_name);
    return 0;
}
