// Writes count random acyclic networks of nof_vars variables as network
// files DIR/g<k> and the list of their paths, one a line, to DIR/list.
//
//   make_networks nof_vars count seed dir
//
// Each network follows its own random order of the variables; a variable
// takes up to four parents among the variables before it.  Network 0 has no
// arcs at all.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files.h"
#include "splitmix.h"

namespace {

void random_network(int n, bool empty, uint32_t *parents)
{
    int order[32];
    for (int k = 0; k < n; ++k)
        order[k] = k;
    for (int k = n - 1; k > 0; --k) {
        int j = int(next_random() % uint64_t(k + 1));
        int t = order[k];
        order[k] = order[j];
        order[j] = t;
    }
    for (int k = 0; k < n; ++k) {
        uint32_t set = 0;
        int want = empty || k == 0 ? 0 : int(next_random() % 5);
        for (int t = 0; t < want; ++t)
            set |= uint32_t(1) << order[next_random() % uint64_t(k)];
        parents[order[k]] = set;
    }
}

void make_networks(int n, long count, const char *dir)
{
    std::string list_path = std::string(dir) + "/list";
    FILE *list = fopen_checked(list_path.c_str(), "w");
    uint32_t parents[32];
    for (long k = 0; k < count; ++k) {
        random_network(n, k == 0, parents);
        std::string path = std::string(dir) + "/g" + std::to_string(k);
        FILE *net = fopen_checked(path.c_str(), "w");
        for (int v = 0; v < n; ++v)
            if (fprintf(net, "%u\n", parents[v]) < 0)
                fail_errno(path.c_str());
        close_output(net, path.c_str());
        if (fprintf(list, "%s\n", path.c_str()) < 0)
            fail_errno(list_path.c_str());
    }
    close_output(list, list_path.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "make_networks";
    if (argc != 5) {
        fputs("Usage: make_networks nof_vars count seed dir\n", stderr);
        return 1;
    }
    int n = parse_nof_vars(argv[1]);
    if (n < 1 || n > 32)
        fail(argv[1], "nof_vars must be 1 to 32");
    char *end;
    long count = strtol(argv[2], &end, 10);
    if (*end != '\0' || count < 0)
        fail(argv[2], "count must be a whole number");
    random_state = strtoull(argv[3], nullptr, 10);
    make_networks(n, count, argv[4]);
    return 0;
}
