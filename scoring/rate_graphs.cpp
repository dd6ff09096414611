// rate_graphs netfiles dirname
//
// Scores every network file named in the list netfiles ("-" for standard
// input) against the local score files <dirname>/<k> and prints one line
// "%.3f\n" per listed path, in list order.  The local score files are opened
// once, as many as the first network file (with a non-zero count) has
// variables, and every lookup is one positioned read of 8 bytes.
//
// "-" stands for standard input once per run: as the list, or as one
// network of a list read from a file.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files.h"
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

// The variable count of a network file: its lines, a last line without a
// newline included when it starts with a value.
int nof_network_lines(FILE *f, const char *name)
{
    int lines = 0;
    int first = EOF, second = EOF;   // first two non-blank bytes of the current line
    int c;
    while ((c = getc(f)) != EOF) {
        if (c == '\n') {
            ++lines;
            first = second = EOF;
        } else if (first == EOF) {
            if (!isspace(c))
                first = c;
        } else if (second == EOF) {
            second = c;
        }
    }
    if (ferror(f))
        fail(name, "read error");
    const bool sign = first == '+' || first == '-';
    if (isdigit(first) || (sign && isdigit(second)))
        ++lines;
    return lines;
}

} // namespace

// Score of one network, read from net, through the open local score files
// of the first nof_vars variables.
double rate_graph(FILE *net, const char *net_name, int nof_vars, FILE **local,
                  const char *dirname)
{
    double score = 0.0;
    unsigned v;
    for (int k = 0; fscanf(net, "%u", &v) == 1; ++k) {
        if (k >= nof_vars) {
            std::string reason = "network has more than the " + std::to_string(nof_vars) +
                                 " variables of the first network file";
            fail(net_name, reason.c_str());
        }
        if (v & (uint32_t(1) << k)) {
            std::string reason = "variable " + std::to_string(k) + " has itself in its parent set " +
                                 std::to_string(v);
            fail(net_name, reason.c_str());
        }
        char *name = create_fn(dirname, k, "");
        if (name == nullptr)
            fail(dirname, "out of memory");
        double record;
        pread_exact(local[k], &record, sizeof record, uint64_t(varset2parset(k, v)) * 8, name);
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

        // A network read from standard input is held in memory, so that its
        // lines can be counted and its values read from the one stream.
        std::string held;
        FILE *net = nullptr;
        if (net_from_stdin) {
            claim_stdin("a network file");
            char chunk[65536];
            size_t got;
            while ((got = fread(chunk, 1, sizeof chunk, stdin)) > 0)
                held.append(chunk, got);
            close_input(stdin, net_name);
            if (!held.empty() && (net = fmemopen(held.data(), held.size(), "r")) == nullptr)
                fail_errno(net_name);
        }

        if (nof_vars == 0) {
            if (net_from_stdin) {
                if (net != nullptr) {
                    nof_vars = nof_network_lines(net, net_name);
                    rewind(net);
                }
            } else {
                FILE *count = fopen_checked(path, "r");
                nof_vars = nof_network_lines(count, path);
                close_input(count, path);
            }
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

        if (!net_from_stdin)
            net = fopen_checked(path, "r");
        double score = 0.0;
        if (net != nullptr) {
            score = rate_graph(net, net_name, nof_vars, local, dirname);
            close_input(net, net_name);
        }
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
