// assemble_optimal_graph: gives every variable, in the optimal order, the
// best parent set among the variables before it, and writes the network.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "varpar.h"

// Reads the next variable of the order file; the first nof_vars integers
// must be a permutation of 0 .. nof_vars - 1.
static int next_variable(FILE *ord, const char *ordfile, int nof_vars, int position,
                         uint32_t placed)
{
    int v;
    int got = fscanf(ord, "%d", &v);
    if (got != 1) {
        if (ferror(ord))
            fail_errno(ordfile);
        failf(ordfile, "holds %d variables where an order of %d is needed", position,
              nof_vars);
    }
    if (v < 0 || v >= nof_vars) {
        failf(ordfile, "variable %d at position %d is not in 0..%d", v, position,
              nof_vars - 1);
    }
    if (placed & (uint32_t(1) << v)) {
        failf(ordfile, "variable %d appears twice", v);
    }
    return v;
}

void assemble_optimal_graph(int nof_vars, const char *ordfile, FILE **bps_files,
                            uint32_t *parents, const char *dirname)
{
    FILE *ord = fopen_checked(ordfile, "r");
    uint32_t placed = 0;
    for (int k = 0; k < nof_vars; ++k) {
        int v = next_variable(ord, ordfile, nof_vars, k, placed);
        parset p = varset2parset(v, placed);
        uint32_t b;
        char *name = create_fn(dirname, v, ".bps");
        pread_exact(bps_files[v], &b, sizeof b, uint64_t(4) * p, name);
        if ((b & ~p) != 0) {
            failf(name, "record %u holds %u, which is not a subset of it", p, b);
        }
        free(name);
        parents[v] = parset2varset(v, b);
        placed |= uint32_t(1) << v;
    }
    close_input(ord, ordfile);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 5) {
        fputs("Usage: assemble_optimal_graph nof_vars dirname ordfile netfile\n", stderr);
        return 1;
    }
    program_name = "assemble_optimal_graph";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, below_one::zero_only);
    const char *dirname = argv[2];
    const char *netfile = argv[4];
    note_numbered_inputs(nof_vars, dirname, ".bps");   // no network file over an input
    note_input(argv[3]);
    refuse_input_as_output(netfile);

    FILE **bps_files = open_files_checked(nof_vars, dirname, ".bps", "rb");
    for (int i = 0; i < nof_vars; ++i) {
        char *name = create_fn(dirname, i, ".bps");
        check_input_size(bps_files[i], uint64_t(4) << (nof_vars - 1), name);
        free(name);
    }
    uint32_t parents[32];
    assemble_optimal_graph(nof_vars, argv[3], bps_files, parents, dirname);
    free_files(nof_vars, bps_files);

    FILE *out = open_output(netfile, "w");
    for (int i = 0; i < nof_vars; ++i)
        if (fprintf(out, "%u\n", parents[i]) < 0)
            fail_errno(netfile);
    close_output(out, netfile);
    commit_outputs();
    return 0;
}
