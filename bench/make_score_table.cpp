// Writes a deterministic score table <res> of nof_vars variables for the
// pipeline benchmark, and the hidden network it was drawn from as a network
// file.
//
//   make_score_table nof_vars seed resfile netfile
//
// The hidden network gives every variable up to three true parents among the
// variables before it in a random order.  The score of child i with parent set
// P is
//   -(base_i + sum of gain_ij over the true parents j missing from P
//     + penalty_i * |P| + noise(i, P))
// with integer base, gains (larger than the penalty) and penalty, so a family
// scores better the more true parents it holds and worse for every extra
// parent.  The noise is a hash of (i, P): for three families in four a value
// in [0, 8), for the fourth a multiple of 0.5, which gives exact ties among
// families of the same child.  The table is written in 256 KiB blocks.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "files.h"
#include "splitmix.h"

namespace {

uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 33)) * 0xff51afd7ed558ccdULL;
    z = (z ^ (z >> 33)) * 0xc4ceb9fe1a85ec53ULL;
    return z ^ (z >> 33);
}

struct family_model {
    uint32_t true_parents[32];   // varset of the hidden parents of each child
    int parent_of[32][3];        // those parents, at most three
    int nof_parents[32];
    double missing_cost[32][8];  // summed gains of the hidden parents absent, by presence pattern
    double penalty[32];
    uint64_t salt;
};

void draw_model(int n, family_model *m)
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
    m->salt = next_random();
    for (int k = 0; k < n; ++k) {
        int v = order[k];
        double base = double(1000 + next_random() % 500);
        m->penalty[v] = double(2 + next_random() % 4);
        int want = k < 3 ? k : 3;
        int count = want == 0 ? 0 : int(next_random() % uint64_t(want + 1));
        m->true_parents[v] = 0;
        m->nof_parents[v] = 0;
        double gain[3] = {0, 0, 0};
        for (int tries = 0; m->nof_parents[v] < count && tries < 64; ++tries) {
            int p = order[next_random() % uint64_t(k)];
            if (m->true_parents[v] & (uint32_t(1) << p))
                continue;
            m->true_parents[v] |= uint32_t(1) << p;
            gain[m->nof_parents[v]] = double(20 + next_random() % 60);
            m->parent_of[v][m->nof_parents[v]++] = p;
        }
        for (int pattern = 0; pattern < 8; ++pattern) {
            double cost = base;
            for (int t = 0; t < m->nof_parents[v]; ++t)
                if (!(pattern & (1 << t)))
                    cost += gain[t];
            m->missing_cost[v][pattern] = cost;
        }
    }
}

inline double family_score(const family_model &m, int child, uint32_t parents)
{
    int pattern = 0;
    for (int t = 0; t < m.nof_parents[child]; ++t)
        pattern |= int((parents >> m.parent_of[child][t]) & 1) << t;
    uint64_t h = mix((uint64_t(parents) << 6 | uint64_t(child)) ^ m.salt);
    double noise = (h & 3) == 0 ? double((h >> 8) & 15) * 0.5
                                : double(h >> 11) * 0x1.0p-53 * 8.0;
    return -(m.missing_cost[child][pattern] + m.penalty[child] * std::popcount(parents) + noise);
}

void write_all(int fd, const void *data, size_t bytes, const char *name)
{
    const char *p = static_cast<const char *>(data);
    while (bytes > 0) {
        ssize_t put = write(fd, p, bytes);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            fail_errno(name);
        }
        p += put;
        bytes -= size_t(put);
    }
}

void make_score_table(int n, const char *resfile, const char *netfile)
{
    family_model m;
    draw_model(n, &m);

    int fd = open(resfile, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        fail_errno(resfile);
    register_output(resfile, fd);
    std::vector<double> block(256 * 1024 / sizeof(double));
    size_t used = 0;
    for (uint64_t s = (uint64_t(1) << n) - 1; s > 0; --s) {
        uint32_t set = uint32_t(s);
        for (uint32_t rest = set; rest != 0; rest &= rest - 1) {
            int child = std::countr_zero(rest);
            block[used++] = family_score(m, child, set & ~(uint32_t(1) << child));
            if (used == block.size()) {
                write_all(fd, block.data(), used * sizeof(double), resfile);
                used = 0;
            }
        }
    }
    write_all(fd, block.data(), used * sizeof(double), resfile);
    if (close(fd) != 0)
        fail_errno(resfile);
    commit_output(resfile);

    FILE *net = fopen_checked(netfile, "w");
    for (int v = 0; v < n; ++v)
        if (fprintf(net, "%u\n", m.true_parents[v]) < 0)
            fail_errno(netfile);
    close_output(net, netfile);
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "make_score_table";
    if (argc != 5) {
        fputs("Usage: make_score_table nof_vars seed resfile netfile\n", stderr);
        return 1;
    }
    int n = parse_nof_vars(argv[1]);
    if (n < 1 || n > 30)
        fail(argv[1], "nof_vars must be 1 to 30");
    random_state = strtoull(argv[2], nullptr, 10);
    make_score_table(n, argv[3], argv[4]);
    return 0;
}
