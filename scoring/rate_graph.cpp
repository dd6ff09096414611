// rate_graph netfile dirname
//
// Prints, with three decimals, the score of the network in netfile ("-" for
// standard input): the sum over its variables k of the local score of k with
// its parent varset, record varset2parset(k, v) of <dirname>/<k>.  The
// network is read by the network file reader (network_file.h): the k-th
// value is the parent varset of variable k, and reading stops at the end of
// input or at the first token that is not a number.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "checked_io.h"
#include "files.h"
#include "network_file.h"
#include "varpar.h"

double rate_graph(const char *netfile, const char *dirname)
{
    const char *net_name = input_name(netfile);
    FILE *in = open_input_or_stdin(netfile, "rt");

    // The network is read whole first (at most 32 values): the size every
    // local score file must have follows from its length.
    network net;
    read_network(in, net_name, &net, 32);
    refuse_self_parents(&net, net_name);
    const int n = int(net.parents.size());

    // Every local score file is opened (the first missing one named) and its
    // size checked before any record is read; each record is then one
    // positioned read of its 8 bytes.
    FILE *local[32];
    char *names[32];
    for (int k = 0; k < n; ++k) {
        names[k] = create_fn(dirname, k, "");
        if (names[k] == nullptr)
            fail(dirname, "out of memory");
        local[k] = fopen_checked(names[k], "rb");
    }
    double score = 0.0;
    for (int k = 0; k < n; ++k)
        check_input_size(local[k], uint64_t(8) << (n - 1), names[k]);
    for (int k = 0; k < n; ++k) {
        double record;
        pread_exact(local[k], &record, sizeof record,
                    uint64_t(varset2parset(k, net.parents[size_t(k)])) * 8, names[k]);
        close_input(local[k], names[k]);
        free(names[k]);
        score += record;
    }
    close_input(in, net_name);
    return score;
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    program_name = "rate_graph";
    if (argc != 3) {
        fputs("Usage: rate_graph netfile dirname\n", stderr);
        return 1;
    }
    printf("%.3f\n", rate_graph(argv[1], argv[2]));
    close_output(stdout, "standard output");
    return 0;
}
