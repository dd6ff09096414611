// edges_to_gv vdfile arcfile dotfile
//
// Writes a network as a DOT digraph: one node per line of the variable
// description file (labelled with the line's first tab-separated field),
// one edge per pair of the arc file, and fixed marker comments where a later
// step may insert drawing attributes.  "-" is standard input as arcfile and
// standard output as dotfile; the vdfile is always a file.
#include <cstdio>

#include "checked_io.h"
#include "description_file.h"
#include "outputs.h"

// Node lines, one per line piece of at most 1023 characters.  A line with
// no label field keeps its index and gets the empty label.
static void write_nodes(FILE *vd, const char *vd_name, FILE *dot, const char *dot_name)
{
    char line[description_piece];
    unsigned k = 0;   // printed as int; wraps instead of overflowing
    const char *label;
    while ((label = read_description_label(vd, line, vd_name)) != nullptr) {
        fprintf(dot, "  V%d [label=\"%s\" /*@@@NODE_ATTS@@@*/];\n", static_cast<int>(k), label);
        check_output(dot, dot_name);
        ++k;
    }
}

// Edge lines, one per pair of ints; an unpaired last number is ignored.
static void write_edges(FILE *arcs, FILE *dot, const char *dot_name)
{
    int parent, child;
    while (fscanf(arcs, "%d %d", &parent, &child) == 2) {
        fprintf(dot, "  V%d -> V%d /*@@@EDGE_ATTS@@@*/;\n", parent, child);
        check_output(dot, dot_name);
    }
}

static void edges_to_gv(const char *vdfile, const char *arcfile, const char *dotfile)
{
    const char *dot_name = output_name(dotfile);
    const char *arcs_name = input_name(arcfile);

    // No output over an input: both are looked at before the DOT file is
    // opened (the inputs themselves are opened after it).
    note_input(vdfile);
    if (is_dash(arcfile))
        note_input_stream(stdin, arcs_name);
    else
        note_input(arcfile);
    if (!is_dash(dotfile))
        refuse_input_as_output(dotfile);

    FILE *dot = is_dash(dotfile) ? stdout : open_output(dotfile, "w");
    fputs("digraph Zelk {\n", dot);
    fputs("  /*@@@BEFORE_ALL@@@*/\n", dot);

    FILE *vd = fopen_checked(vdfile, "r");
    fputs("  /*@@@BEFORE_NODES@@@*/\n", dot);
    write_nodes(vd, vdfile, dot, dot_name);
    fputs("  /*@@@AFTER_NODES@@@*/\n", dot);
    close_input(vd, vdfile);

    FILE *arcs = open_input_or_stdin(arcfile, "r");
    fputs("  /*@@@BEFORE_EDGES@@@*/\n", dot);
    write_edges(arcs, dot, dot_name);
    fputs("  /*@@@AFTER_EDGES@@@*/\n", dot);
    check_input(arcs, arcs_name);
    close_input(arcs, arcs_name);

    fputs("  /*@@@AFTER_ALL@@@*/\n", dot);
    fputs("}\n", dot);
    close_output(dot, dot_name);
    commit_outputs();
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 4) {
        fputs("Usage: edges_to_gv vdfile arcfile dotfile\n", stderr);
        return 1;
    }
    program_name = "edges_to_gv";
    edges_to_gv(argv[1], argv[2], argv[3]);
    return 0;
}
