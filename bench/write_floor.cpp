// The floor of the scorer benchmark: writes a score table of nof_vars
// variables (nof_vars * 2^(nof_vars - 1) doubles) through the same kind of
// 256 KiB block writer the scorer uses, with trivially computed values.
//
//   write_floor nof_vars file
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "files.h"

int main(int argc, char **argv)
{
    program_name = "write_floor";
    if (argc != 3) {
        fputs("Usage: write_floor nof_vars file\n", stderr);
        return 1;
    }
    int n = parse_nof_vars(argv[1]);
    if (n < 1 || n > 32)
        fail(argv[1], "nof_vars must be 1 to 32");
    FILE *f = fopen_checked(argv[2], "wb");
    std::vector<double> buf(256 * 1024 / sizeof(double));
    size_t used = 0;
    const uint64_t total = uint64_t(n) << (n - 1);
    for (uint64_t k = 0; k < total; ++k) {
        if (used == buf.size()) {
            write_records(f, buf.data(), sizeof(double), used, argv[2]);
            used = 0;
        }
        buf[used++] = -double(k & 0xffff);
    }
    write_records(f, buf.data(), sizeof(double), used, argv[2]);
    close_output(f, argv[2]);
    return 0;
}
