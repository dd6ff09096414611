// graph_to_family_lists netfile parentfile
//
// Turns a network file (one parent varset per variable, unsigned decimal)
// into a parent file: line k lists the parent indices of variable k in
// increasing order, separated by single spaces.  "-" is standard input or
// standard output.
#include "stream_io.h"

using namespace stream_io;

// Converts numbers until the first read that does not deliver one.
static void graph_to_family_lists(FILE *net, FILE *parents, const char *parents_name)
{
    unsigned v;
    while (fscanf(net, "%u", &v) == 1) {
        for (int c = 0; v != 0; v >>= 1, ++c) {
            if (v & 1u) {
                fprintf(parents, "%d", c);
                if (v > 1u)
                    putc(' ', parents);
            }
        }
        putc('\n', parents);
        check_output(parents, parents_name);
    }
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 3) {
        fputs("Usage: graph_to_family_lists netfile parentfile\n", stderr);
        return 1;
    }
    program = "graph_to_family_lists";
    const char *in_name = input_name(argv[1], true);
    const char *out_name = output_name(argv[2]);
    FILE *net = open_input(argv[1], true);
    FILE *parents = open_output(argv[2]);
    graph_to_family_lists(net, parents, out_name);
    check_input(net, in_name);
    close_output(parents, out_name);
    close_input(net, in_name);
    return 0;
}
