// rate_graphs netfiles dirname
//
// Scores every network file named in the list netfiles ("-" for standard
// input) against the local score files <dirname>/<k> and prints one line
// "%.3f\n" per listed path, in list order.  The local score files are opened
// once, as many as the first network file (with a non-zero count) has
// variables, and every lookup is one positioned read of 8 bytes.
//
// "-" stands for standard input once per run: as the list, or as one
// network of a list read from a file.  Every network is read once, by the
// network file reader (network_file.h), so a network may be a pipe.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "checked_io.h"
#include "files.h"
#include "network_file.h"
#include "varpar.h"

namespace {

const char *stdin_user = nullptr;   // what standard input was used for

// Takes standard input for one use, or fails naming the earlier one.
void claim_stdin(const char *use)
{
    if (stdin_user != nullptr) {
        std::string reason = std::string("standard input serves only once and was already read as ") +
                             stdin_user + "; it cannot also be " + use;
        fail("-", reason.c_str());
    }
    stdin_user = use;
}

} // namespace

// Score of one network through the open local score files of the first
// nof_vars variables.
double score_listed_network(const network &net, const char *net_name, int nof_vars, FILE **local,
                            const char *dirname)
{
    const size_t n = net.parents.size();
    if (n > size_t(nof_vars)) {
        std::string reason = "line " + std::to_string(net.lines[size_t(nof_vars)]) +
                             ": network has more than the " + std::to_string(nof_vars) +
                             " variables of the first network file";
        fail(net_name, reason.c_str());
    }
    refuse_self_parents(&net, net_name);
    double score = 0.0;
    for (size_t k = 0; k < n; ++k) {
        char *name = create_fn(dirname, int(k), "");
        if (name == nullptr)
            fail(dirname, "out of memory");
        double record;
        pread_exact(local[k], &record, sizeof record,
                    uint64_t(varset2parset(int(k), net.parents[k])) * 8, name);
        free(name);
        score += record;
    }
    return score;
}

void rate_graphs(const char *netfiles, const char *dirname)
{
    const bool list_from_stdin = strcmp(netfiles, "-") == 0;
    const char *list_name = list_from_stdin ? "standard input" : netfiles;
    if (list_from_stdin)
        claim_stdin("the network list");
    FILE *list = list_from_stdin ? stdin : fopen_checked(netfiles, "r");

    int nof_vars = 0;
    FILE **local = nullptr;
    char path[1024];
    while (fscanf(list, "%1023s", path) == 1) {
        const int after = getc(list);
        if (after != EOF && !isspace(after))
            fail(list_name, "network path longer than 1023 characters");

        const bool net_from_stdin = strcmp(path, "-") == 0;
        const char *net_name = net_from_stdin ? "standard input" : path;

        // Each network is read once, to its end: its values, and its lines
        // for the count of the first one.
        if (net_from_stdin)
            claim_stdin("a network file");
        FILE *in = open_input_or_stdin(path, "r");
        network net;
        read_network(in, net_name, &net, 32);
        close_input(in, net_name);

        if (nof_vars == 0) {
            nof_vars = net.nof_lines;
            if (nof_vars > 32)
                fail(net_name, "more than 32 variables");
            if (nof_vars > 0) {
                local = open_files_checked(nof_vars, dirname, "", "r");
                for (int k = 0; k < nof_vars; ++k) {
                    char *name = create_fn(dirname, k, "");
                    check_input_size(local[k], uint64_t(8) << (nof_vars - 1), name);
                    free(name);
                }
            }
        }
        const double score = score_listed_network(net, net_name, nof_vars, local, dirname);
        printf("%.3f\n", score);
    }
    if (ferror(list))
        fail(list_name, "read error");
    free_files(nof_vars, local);
    close_input(list, list_name);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    program_name = "rate_graphs";
    if (argc != 3) {
        fputs("Usage: rate_graphs netfiles dirname\n", stderr);
        return 1;
    }
    rate_graphs(argv[1], argv[2]);
    close_output(stdout, "standard output");
    return 0;
}
