// family_lists_to_edges parentfile arcfile
//
// Turns a parent file into an arc file: one "parent child" line per parent
// index, the child being the line number.  Lines are read in pieces of at
// most 1023 characters; every piece counts as a line.  "-" is standard
// input or standard output.
#include "stream_io.h"

using namespace stream_io;

static void family_lists_to_edges(FILE *parents, FILE *arcs, const char *arcs_name)
{
    static const char separators[] = " \t\r\n";
    char line[1024];
    unsigned child = 0;   // printed as int; wraps instead of overflowing
    while (fgets(line, sizeof line, parents) != nullptr) {
        for (char *token = strtok(line, separators); token != nullptr;
             token = strtok(nullptr, separators)) {
            int parent = static_cast<int>(strtol(token, nullptr, 10));
            fprintf(arcs, "%d %d\n", parent, static_cast<int>(child));
            check_output(arcs, arcs_name);
        }
        ++child;
    }
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 3) {
        fputs("Usage: family_lists_to_edges parentfile arcfile\n", stderr);
        return 1;
    }
    program = "family_lists_to_edges";
    const char *in_name = input_name(argv[1], true);
    const char *out_name = output_name(argv[2]);
    FILE *parents = open_input(argv[1], true);
    FILE *arcs = open_output(argv[2]);
    family_lists_to_edges(parents, arcs, out_name);
    check_input(parents, in_name);
    close_output(arcs, out_name);
    close_input(parents, in_name);
    return 0;
}
