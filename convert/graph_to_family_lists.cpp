// graph_to_family_lists netfile parentfile
//
// Turns a network file (one parent varset per variable, unsigned decimal)
// into a parent file: line k lists the parent indices of variable k in
// increasing order, separated by single spaces.  "-" is standard input or
// standard output.  The network is read whole (network_file.h) before the
// parent file is opened, so a network the reader refuses leaves the output
// as it was.
#include <cstdint>
#include <cstdio>

#include "checked_io.h"
#include "network_file.h"
#include "outputs.h"

static void graph_to_family_lists(const network &net, FILE *parents, const char *parents_name)
{
    for (uint32_t v : net.parents) {
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
    program_name = "graph_to_family_lists";
    const char *in_name = input_name(argv[1]);
    const char *out_name = output_name(argv[2]);
    FILE *in = open_input_or_stdin(argv[1], "r");
    note_input_stream(in, in_name);
    if (!is_dash(argv[2]))
        refuse_input_as_output(argv[2]);
    network net;
    read_network(in, in_name, &net, SIZE_MAX);
    FILE *parents = is_dash(argv[2]) ? stdout : open_output(argv[2], "w");
    graph_to_family_lists(net, parents, out_name);
    close_output(parents, out_name);
    commit_outputs();
    close_input(in, in_name);
    return 0;
}
