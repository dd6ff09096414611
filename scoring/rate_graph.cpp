// rate_graph netfile dirname
//
// Prints, with three decimals, the score of the network in netfile ("-" for
// standard input): the sum over its variables k of the local score of k with
// its parent varset, record varset2parset(k, v) of <dirname>/<k>.  The k-th
// unsigned value of the network file is the parent varset of variable k;
// reading stops at end of input or at the first token that does not convert.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files.h"
#include "varpar.h"

double rate_graph(const char *netfile, const char *dirname)
{
    const bool from_stdin = strcmp(netfile, "-") == 0;
    const char *net_name = from_stdin ? "standard input" : netfile;
    FILE *net = from_stdin ? stdin : fopen_checked(netfile, "rt");

    // The network is read whole first (at most 32 values): the size every
    // local score file must have follows from its length.
    unsigned parents[32];
    int n = 0;
    unsigned v;
    for (; fscanf(net, "%u", &v) == 1; ++n) {
        if (n >= 32)
            fail(net_name, "more than 32 variables");
        if (v & (uint32_t(1) << n)) {
            std::string reason = "variable " + std::to_string(n) + " has itself in its parent set " +
                                 std::to_string(v);
            fail(net_name, reason.c_str());
        }
        parents[n] = v;
    }

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
        pread_exact(local[k], &record, sizeof record, uint64_t(varset2parset(k, parents[k])) * 8,
                    names[k]);
        close_input(local[k], names[k]);
        free(names[k]);
        score += record;
    }
    close_input(net, net_name);
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
