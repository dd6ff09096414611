// solve_leaf_table: the best network score of every variable subset and its
// best sink (the variable placed last), written as one byte per subset.
//
// net[S] = max over v in S of net[S - v] + bss_v[parset of S - v], net[0] = 0.
// The best-score files are consumed strictly sequentially: the k-th record
// of <v>.bss is needed at the k-th subset that contains v.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files.h"

namespace {
constexpr size_t records_per_refill = 32 * 1024; // 256 KiB per best-score file
constexpr unsigned char no_sink = 255;
}

void solve_leaf_table(int nof_vars, FILE **bss_files, const char *sinkfile,
                      const char *dirname)
{
    const int n = nof_vars > 0 ? nof_vars : 0;
    const uint64_t count = uint64_t(1) << n;

    FILE *sink = fopen_checked(sinkfile, "wb");
    set_partial_output(sinkfile);
    setvbuf(sink, nullptr, _IONBF, 0);

    std::vector<char *> names(static_cast<size_t>(n));
    std::vector<record_reader> readers(static_cast<size_t>(n));
    for (int v = 0; v < n; ++v) {
        names[size_t(v)] = create_fn(dirname, v, ".bss");
        setvbuf(bss_files[v], nullptr, _IONBF, 0);
        reader_init(&readers[size_t(v)], bss_files[v], names[size_t(v)], sizeof(double),
                    records_per_refill);
    }

    double *net = static_cast<double *>(alloc_or_fail(sizeof(double) * count, "best score table"));
    block_writer out;
    writer_init(&out, sink, sinkfile);

    double kept = 0.0;
    for (uint64_t s = 0; s < count; ++s) {
        const uint32_t set = uint32_t(s);
        unsigned char best = no_sink;
        for (uint32_t rest = set; rest != 0; rest &= rest - 1) {
            const int v = __builtin_ctz(rest);
            double f;
            memcpy(&f, reader_next(&readers[size_t(v)]), sizeof f);
            const double c = net[set ^ (uint32_t(1) << v)] + f;
            if (best == no_sink || c > kept) {
                best = static_cast<unsigned char>(v);
                kept = c;
            }
        }
        net[s] = kept;
        writer_put(&out, best);
    }
    writer_flush(&out);

    free(net);
    writer_free(&out);
    close_output(sink, sinkfile);
    set_partial_output(nullptr);
    for (int v = 0; v < n; ++v) {
        reader_free(&readers[size_t(v)]);
        free(names[size_t(v)]);
    }
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 4) {
        fputs("Usage: solve_leaf_table nof_vars dirname sinkfile\n", stderr);
        return 1;
    }
    program_name = "solve_leaf_table";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, argv[1], false);
    FILE **bss_files = open_files_checked(nof_vars, argv[2], ".bss", "rb");
    solve_leaf_table(nof_vars, bss_files, argv[3], argv[2]);
    free_files(nof_vars, bss_files);
    return 0;
}
