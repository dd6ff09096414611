// Checks the output of one pipeline stage against the definition of that
// stage, recomputed here independently of the suite's own code, so that a
// benchmark never times a program that is fast but wrong.
//
//   check_pipeline scatter_family_values  nof_vars dirname
//   check_pipeline flip_family_files      nof_vars dirname
//   check_pipeline find_top_families      nof_vars dirname
//   check_pipeline solve_leaf_table       nof_vars dirname sinkfile
//   check_pipeline trace_leaf_sequence    nof_vars sinkfile ordfile
//   check_pipeline assemble_optimal_graph nof_vars dirname ordfile netfile
//   check_pipeline rate_graph             nof_vars dirname ordfile netfile scorefile truenet
//   check_pipeline rate_graphs            nof_vars dirname netfiles scoresfile best
//   check_pipeline compute_family_scores  datafile resfile samples
//
// Every byte of the binary outputs is compared with the value the stage's
// recurrence gives from its inputs (ties settled as the stages settle them);
// text outputs are compared exactly.  rate_graph also checks that the network
// scores what the best-score files promise for the order, and no less than
// the hidden network truenet, and prints that best score (%.17g); rate_graphs
// checks every printed line and that no network beats best.  The scorer is
// checked on samples families: BDeu with ess 1, counted straight from the
// data (a plain comma-separated file without quotes).
//
// A mismatch prints "check_pipeline: <file>: <what>" and exits with 2.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files.h"

namespace {

// ---- variable sets, written out here rather than taken from the suite ----

uint32_t squeeze(int child, uint32_t set)
{
    uint32_t low = set & ((uint32_t(1) << child) - 1);
    uint32_t high = child == 31 ? 0 : set >> (child + 1);
    return low | (high << child);
}

uint32_t unsqueeze(int child, uint32_t parset)
{
    uint32_t low = parset & ((uint32_t(1) << child) - 1);
    uint64_t high = uint64_t(parset >> child) << (child + 1);
    return low | uint32_t(high);
}

// Sum of popcount(k) over k = 0 .. x.
uint64_t bits_up_to(uint64_t x)
{
    uint64_t m = x + 1, total = 0;
    for (int b = 0; b < 33; ++b) {
        uint64_t period = uint64_t(1) << (b + 1), half = uint64_t(1) << b;
        uint64_t rest = m % period;
        total += (m / period) * half + (rest > half ? rest - half : 0);
    }
    return total;
}

// Record index of family (set, child) in the score table of n variables.
uint64_t table_position(int n, uint32_t set, int child)
{
    uint64_t all = (uint64_t(1) << n) - 1;
    return bits_up_to(all) - bits_up_to(set) +
           uint64_t(std::popcount(set & ((uint32_t(1) << child) - 1)));
}

// ---- files ---------------------------------------------------------------

std::string numbered(const char *dir, int i, const char *ext)
{
    return std::string(dir) + "/" + std::to_string(i) + ext;
}

// The whole file mapped read-only; it must hold exactly bytes bytes.
const void *map_file(const std::string &path, uint64_t bytes)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        fail_errno(path.c_str());
    struct stat st;
    if (fstat(fd, &st) != 0)
        fail_errno(path.c_str());
    if (uint64_t(st.st_size) != bytes)
        failf(path.c_str(), "holds %" PRIu64 " bytes, expected %" PRIu64, uint64_t(st.st_size),
              bytes);
    void *p = mmap(nullptr, bytes ? bytes : 1, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        fail_errno(path.c_str());
    close(fd);
    return p;
}

template <typename T>
std::vector<const T *> map_set(int n, const char *dir, const char *ext, uint64_t count)
{
    std::vector<const T *> files(size_t(n), nullptr);
    for (int i = 0; i < n; ++i)
        files[size_t(i)] = static_cast<const T *>(map_file(numbered(dir, i, ext), count * sizeof(T)));
    return files;
}

std::string read_text(const char *path)
{
    FILE *f = fopen_checked(path, "rb");
    std::string text;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, got);
    close_input(f, path);
    return text;
}

bool same_bits(double a, double b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// Parent varsets of a network file: one unsigned decimal per variable.
std::vector<uint32_t> read_network(const char *path, int n)
{
    std::string text = read_text(path);
    std::vector<uint32_t> parents;
    const char *p = text.c_str();
    char *end;
    for (;;) {
        while (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')
            ++p;
        if (*p == '\0')
            break;
        errno = 0;
        unsigned long v = strtoul(p, &end, 10);
        if (end == p || errno != 0 || v > 0xffffffffUL || *p == '-')
            failf(path, "value %zu is not a parent varset", parents.size());
        parents.push_back(uint32_t(v));
        p = end;
    }
    if (int(parents.size()) != n)
        failf(path, "holds %zu values, expected %d", parents.size(), n);
    for (int v = 0; v < n; ++v)
        if ((parents[size_t(v)] >> v & 1) || (n < 32 && parents[size_t(v)] >> n))
            failf(path, "parents of variable %d are outside the other variables", v);
    return parents;
}

double network_score(const std::vector<uint32_t> &parents, const std::vector<const double *> &local)
{
    double sum = 0.0;
    for (size_t v = 0; v < parents.size(); ++v)
        sum += local[v][squeeze(int(v), parents[v])];
    return sum;
}

std::string three_decimals(double x)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f\n", x);
    return buf;
}

// ---- the stages ----------------------------------------------------------

// Each split file holds its child's records in table order.
void check_scatter(int n, const char *dir)
{
    const uint64_t count = uint64_t(1) << (n - 1);
    const double *table = static_cast<const double *>(
        map_file(std::string(dir) + "/res", uint64_t(n) * count * sizeof(double)));
    std::vector<const double *> split = map_set<double>(n, dir, ".slt", count);
    std::vector<uint64_t> next(size_t(n), 0);
    uint64_t pos = 0;
    for (uint64_t s = (uint64_t(1) << n) - 1; s > 0; --s)
        for (uint32_t rest = uint32_t(s); rest != 0; rest &= rest - 1) {
            int child = std::countr_zero(rest);
            uint64_t k = next[size_t(child)]++;
            if (!same_bits(split[size_t(child)][k], table[pos]))
                failf(numbered(dir, child, ".slt").c_str(),
                      "record %" PRIu64 " is %.17g, the score table holds %.17g", k,
                      split[size_t(child)][k], table[pos]);
            ++pos;
        }
}

// Record p of a local score file is the split file's record count-1-p.
void check_flip(int n, const char *dir)
{
    const uint64_t count = uint64_t(1) << (n - 1);
    std::vector<const double *> split = map_set<double>(n, dir, ".slt", count);
    std::vector<const double *> local = map_set<double>(n, dir, "", count);
    for (int i = 0; i < n; ++i)
        for (uint64_t p = 0; p < count; ++p)
            if (!same_bits(local[size_t(i)][p], split[size_t(i)][count - 1 - p]))
                failf(numbered(dir, i, "").c_str(),
                      "record %" PRIu64 " is %.17g, the split file gives %.17g", p,
                      local[size_t(i)][p], split[size_t(i)][count - 1 - p]);
}

// Record p: the set itself, replaced by every subset p - b (bits from low to
// high) whose best score is greater than or equal.
void check_top_families(int n, const char *dir)
{
    const uint64_t count = uint64_t(1) << (n - 1);
    std::vector<const double *> local = map_set<double>(n, dir, "", count);
    std::vector<const uint32_t *> bps = map_set<uint32_t>(n, dir, ".bps", count);
    std::vector<const double *> bss = map_set<double>(n, dir, ".bss", count);
    for (int i = 0; i < n; ++i) {
        const double *score = local[size_t(i)];
        const uint32_t *best_set = bps[size_t(i)];
        const double *best_score = bss[size_t(i)];
        for (uint64_t p = 0; p < count; ++p) {
            double kept = score[p];
            uint32_t set = uint32_t(p);
            for (uint64_t b = 1; b < count; b <<= 1)
                if (p & b) {
                    double x = best_score[p ^ b];
                    if (x >= kept) {
                        kept = x;
                        set = best_set[p ^ b];
                    }
                }
            if (best_set[p] != set)
                failf(numbered(dir, i, ".bps").c_str(),
                      "record %" PRIu64 " is %" PRIu32 ", expected %" PRIu32, p, best_set[p], set);
            if (!same_bits(best_score[p], kept))
                failf(numbered(dir, i, ".bss").c_str(), "record %" PRIu64 " is %.17g, expected %.17g",
                      p, best_score[p], kept);
        }
    }
}

// The best network of every set, sink byte by sink byte; the lowest variable
// wins a tie.
void check_leaf_table(int n, const char *dir, const char *sinkfile)
{
    const uint64_t count = uint64_t(1) << (n - 1), sets = uint64_t(1) << n;
    std::vector<const double *> bss = map_set<double>(n, dir, ".bss", count);
    const unsigned char *sink = static_cast<const unsigned char *>(map_file(sinkfile, sets));
    std::vector<double> net(sets, 0.0);
    if (sink[0] != 255)
        failf(sinkfile, "byte 0 is %d, expected 255", sink[0]);
    for (uint64_t s = 1; s < sets; ++s) {
        uint32_t set = uint32_t(s);
        int best = -1;
        double kept = 0.0;
        for (uint32_t rest = set; rest != 0; rest &= rest - 1) {
            int v = std::countr_zero(rest);
            uint32_t others = set & ~(uint32_t(1) << v);
            double c = net[others] + bss[size_t(v)][squeeze(v, others)];
            if (best < 0 || c > kept) {
                best = v;
                kept = c;
            }
        }
        net[s] = kept;
        if (sink[s] != best)
            failf(sinkfile, "byte %" PRIu64 " is %d, expected %d", s, sink[s], best);
    }
}

// The order file: the sink walk from the full set, "%d" separated by spaces.
void check_leaf_sequence(int n, const char *sinkfile, const char *ordfile)
{
    const unsigned char *sink =
        static_cast<const unsigned char *>(map_file(sinkfile, uint64_t(1) << n));
    std::vector<int> order(static_cast<size_t>(n));
    uint32_t set = n == 32 ? 0xffffffffu : (uint32_t(1) << n) - 1;
    for (int k = n - 1; k >= 0; --k) {
        int x = sink[set];
        if (x >= n || !(set >> x & 1))
            failf(sinkfile, "byte %" PRIu32 " is %d, not a member of its set", set, x);
        order[size_t(k)] = x;
        set ^= uint32_t(1) << x;
    }
    std::string expected;
    for (int k = 0; k < n; ++k)
        expected += std::to_string(order[size_t(k)]) + (k + 1 < n ? " " : "\n");
    if (read_text(ordfile) != expected)
        failf(ordfile, "differs from the walk of the sink file: %s", expected.c_str());
}

std::vector<int> read_order(const char *ordfile, int n)
{
    std::string text = read_text(ordfile);
    std::vector<int> order;
    const char *p = text.c_str();
    int v, used;
    while (int(order.size()) < n && sscanf(p, "%d%n", &v, &used) == 1) {
        order.push_back(v);
        p += used;
    }
    std::vector<bool> seen(size_t(n), false);
    for (int x : order) {
        if (x < 0 || x >= n || seen[size_t(x)])
            fail(ordfile, "is not an order of the variables");
        seen[size_t(x)] = true;
    }
    if (int(order.size()) != n)
        fail(ordfile, "is not an order of the variables");
    return order;
}

// Each variable takes the best parents among those before it in the order.
void check_optimal_graph(int n, const char *dir, const char *ordfile, const char *netfile)
{
    const uint64_t count = uint64_t(1) << (n - 1);
    std::vector<const uint32_t *> bps = map_set<uint32_t>(n, dir, ".bps", count);
    std::vector<int> order = read_order(ordfile, n);
    std::vector<uint32_t> parents(static_cast<size_t>(n));
    uint32_t placed = 0;
    for (int v : order) {
        parents[size_t(v)] = unsqueeze(v, bps[size_t(v)][squeeze(v, placed)]);
        placed |= uint32_t(1) << v;
    }
    std::string expected;
    for (uint32_t p : parents)
        expected += std::to_string(p) + "\n";
    if (read_text(netfile) != expected)
        fail(netfile, "differs from the best parents along the order");
}

void check_rate_graph(int n, const char *dir, const char *ordfile, const char *netfile,
                      const char *scorefile, const char *truenet)
{
    const uint64_t count = uint64_t(1) << (n - 1);
    std::vector<const double *> local = map_set<double>(n, dir, "", count);
    std::vector<const double *> bss = map_set<double>(n, dir, ".bss", count);
    std::vector<int> order = read_order(ordfile, n);
    double best = 0.0;
    uint32_t placed = 0;
    for (int v : order) {
        best += bss[size_t(v)][squeeze(v, placed)];
        placed |= uint32_t(1) << v;
    }
    double score = network_score(read_network(netfile, n), local);
    std::string printed = read_text(scorefile);
    if (printed != three_decimals(score))
        failf(scorefile, "holds %s, the network scores %.3f", printed.c_str(), score);
    if (std::fabs(score - best) > 1e-9 * std::fabs(best))
        failf(netfile, "scores %.17g, the best-score files give %.17g along the order", score,
              best);
    double hidden = network_score(read_network(truenet, n), local);
    if (hidden > best + 1e-9 * std::fabs(best))
        failf(truenet, "scores %.17g, better than the optimum found, %.17g", hidden, best);
    printf("%.17g\n", best);
}

void check_rate_graphs(int n, const char *dir, const char *netfiles, const char *scoresfile,
                       const char *best_text)
{
    const uint64_t count = uint64_t(1) << (n - 1);
    std::vector<const double *> local = map_set<double>(n, dir, "", count);
    double best = strtod(best_text, nullptr);
    std::string list = read_text(netfiles), printed = read_text(scoresfile);
    size_t at = 0, line_at = 0, k = 0;
    while ((at = list.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
        size_t end = list.find_first_of(" \t\r\n", at);
        std::string path = list.substr(at, end == std::string::npos ? end : end - at);
        at = end;
        double score = network_score(read_network(path.c_str(), n), local);
        if (score > best + 1e-9 * std::fabs(best))
            failf(path.c_str(), "scores %.17g, better than the optimum %.17g", score, best);
        std::string expected = three_decimals(score);
        if (printed.compare(line_at, expected.size(), expected) != 0)
            failf(scoresfile, "line %zu differs from the score of %s, %s", k + 1, path.c_str(),
                  expected.c_str());
        line_at += expected.size();
        ++k;
    }
    if (line_at != printed.size())
        failf(scoresfile, "holds more than the %zu lines of the list", k);
}

// ---- the scorer ----------------------------------------------------------

struct columns {
    std::vector<std::vector<uint8_t>> code; // per column, per row: label number
    std::vector<int> arity;
    size_t rows = 0;
};

columns read_csv(const char *path)
{
    std::string text = read_text(path);
    columns data;
    size_t line_end = text.find('\n');
    if (line_end == std::string::npos)
        fail(path, "has no header line");
    int n = 1 + int(std::count(text.begin(), text.begin() + long(line_end), ','));
    data.code.resize(size_t(n));
    std::vector<std::vector<std::string>> labels(static_cast<size_t>(n));
    size_t at = line_end + 1;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (end > at) {
            int col = 0;
            size_t field = at;
            while (field <= end) {
                size_t stop = text.find(',', field);
                if (stop == std::string::npos || stop > end)
                    stop = end;
                if (col >= n)
                    failf(path, "row %zu has more than %d fields", data.rows + 1, n);
                std::string label = text.substr(field, stop - field);
                auto &known = labels[size_t(col)];
                auto hit = std::find(known.begin(), known.end(), label);
                if (hit == known.end()) {
                    if (known.size() == 255)
                        failf(path, "column %d has more than 255 labels", col + 1);
                    known.push_back(label);
                    hit = known.end() - 1;
                }
                data.code[size_t(col)].push_back(uint8_t(hit - known.begin()));
                ++col;
                field = stop + 1;
            }
            if (col != n)
                failf(path, "row %zu has %d fields, expected %d", data.rows + 1, col, n);
            ++data.rows;
        }
        at = end + 1;
    }
    for (auto &known : labels)
        data.arity.push_back(int(known.size()));
    return data;
}

// BDeu (ess 1) of child with the parent varset, from the counts of the data.
double bdeu(const columns &data, int child, uint32_t parents)
{
    std::vector<uint64_t> key(data.rows);
    double q = 1.0;
    for (uint32_t rest = parents; rest != 0; rest &= rest - 1)
        q *= data.arity[size_t(std::countr_zero(rest))];
    const int r = data.arity[size_t(child)];
    for (size_t row = 0; row < data.rows; ++row) {
        uint64_t config = 0;
        for (uint32_t rest = parents; rest != 0; rest &= rest - 1) {
            int p = std::countr_zero(rest);
            config = config * uint64_t(data.arity[size_t(p)]) + data.code[size_t(p)][row];
        }
        key[row] = config * uint64_t(r) + data.code[size_t(child)][row];
    }
    std::sort(key.begin(), key.end());
    const double a_j = 1.0 / q, a_jk = 1.0 / (q * r);
    double score = 0.0;
    size_t row = 0;
    while (row < key.size()) {
        uint64_t config = key[row] / uint64_t(r);
        size_t in_config = 0;
        while (row < key.size() && key[row] / uint64_t(r) == config) {
            size_t run = 0;
            uint64_t cell = key[row];
            while (row < key.size() && key[row] == cell) {
                ++run;
                ++row;
            }
            score += std::lgamma(a_jk + double(run)) - std::lgamma(a_jk);
            in_config += run;
        }
        score += std::lgamma(a_j) - std::lgamma(a_j + double(in_config));
    }
    return score;
}

void check_family_scores(const char *datafile, const char *resfile, long samples)
{
    columns data = read_csv(datafile);
    const int n = int(data.arity.size());
    const uint64_t count = uint64_t(1) << (n - 1);
    const double *table =
        static_cast<const double *>(map_file(resfile, uint64_t(n) * count * sizeof(double)));
    uint64_t state = 2024;
    auto next = [&state]() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    };
    const uint32_t all = n == 32 ? 0xffffffffu : (uint32_t(1) << n) - 1;
    for (long k = 0; k < samples + 2 * n; ++k) {
        int child;
        uint32_t set;
        if (k < 2 * n) {
            child = int(k % n); // every child with all parents and with none
            set = k < n ? all : uint32_t(1) << child;
        } else {
            child = int(next() % uint64_t(n));
            set = (uint32_t(next()) & all) | uint32_t(1) << child;
        }
        uint32_t parents = set & ~(uint32_t(1) << child);
        double expected = bdeu(data, child, parents);
        double got = table[table_position(n, set, child)];
        if (!(std::fabs(got - expected) <= 1e-9 * std::fabs(expected) + 1e-9))
            failf(resfile, "family of child %d with parents %" PRIu32 " scores %.17g, expected %.17g",
                  child, parents, got, expected);
    }
}

int nof_vars_of(const char *arg)
{
    int n = parse_nof_vars(arg);
    if (n < 1 || n > 31)
        fail(arg, "nof_vars must be 1 to 31");
    return n;
}

int check_pipeline(int argc, char **argv)
{
    std::string stage = argv[1];
    struct form {
        const char *name;
        int args;
    };
    static const form forms[] = {
        {"scatter_family_values", 2},  {"flip_family_files", 2},  {"find_top_families", 2},
        {"solve_leaf_table", 3},       {"trace_leaf_sequence", 3}, {"assemble_optimal_graph", 4},
        {"rate_graph", 6},             {"rate_graphs", 5},        {"compute_family_scores", 3},
    };
    for (const form &f : forms) {
        if (stage != f.name)
            continue;
        if (argc - 2 != f.args)
            return -1;
        char **a = argv + 2;
        if (stage == "compute_family_scores") {
            check_family_scores(a[0], a[1], strtol(a[2], nullptr, 10));
            return 0;
        }
        int n = nof_vars_of(a[0]);
        if (stage == "scatter_family_values")
            check_scatter(n, a[1]);
        else if (stage == "flip_family_files")
            check_flip(n, a[1]);
        else if (stage == "find_top_families")
            check_top_families(n, a[1]);
        else if (stage == "solve_leaf_table")
            check_leaf_table(n, a[1], a[2]);
        else if (stage == "trace_leaf_sequence")
            check_leaf_sequence(n, a[1], a[2]);
        else if (stage == "assemble_optimal_graph")
            check_optimal_graph(n, a[1], a[2], a[3]);
        else if (stage == "rate_graph")
            check_rate_graph(n, a[1], a[2], a[3], a[4], a[5]);
        else
            check_rate_graphs(n, a[1], a[2], a[3], a[4]);
        return 0;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "check_pipeline";
    int status = argc >= 2 ? check_pipeline(argc, argv) : -1;
    if (status < 0) {
        fputs("Usage: check_pipeline stage arguments (see the source for each stage)\n", stderr);
        return 1;
    }
    if (fflush(stdout) != 0 || ferror(stdout))
        fail_errno("standard output");
    return 0;
}
