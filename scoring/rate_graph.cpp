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

    double score = 0.0;
    unsigned v;
    for (int k = 0; fscanf(net, "%u", &v) == 1; ++k) {
        if (k >= 32)
            fail(net_name, "more than 32 variables");
        if (v & (uint32_t(1) << k)) {
            std::string reason = "variable " + std::to_string(k) + " has itself in its parent set " +
                                 std::to_string(v);
            fail(net_name, reason.c_str());
        }
        // One local score file open at a time; the record is read with one
        // positioned read of its 8 bytes.
        char *name = create_fn(dirname, k, "");
        if (name == nullptr)
            fail(dirname, "out of memory");
        FILE *local = fopen_checked(name, "rb");
        double record;
        pread_exact(local, &record, sizeof record, uint64_t(varset2parset(k, v)) * 8, name);
        close_input(local, name);
        free(name);
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
