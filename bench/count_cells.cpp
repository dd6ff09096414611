// The scorer's own work, counted: for every subset of the variables of a
// data set, the number of cells (distinct value combinations of the subset
// among the rows) that hold two rows or more, summed over all 2^n subsets,
// the empty set included (one cell of every row).
//
//   count_cells data.csv
//
// Prints "<cells> <rows in those cells>\n".  The data file is the
// benchmark's (bench/make_bench_data): a header line, then one line per row
// of comma-separated values; no quoting.  Every distinct text of a column
// is one value.
//
// The subsets are walked depth first, each one from its parent by one more
// variable, as the scorer does: the groups of two rows or more are split by
// the new column and those left with a single row dropped, since a row
// alone stays alone in every superset; a subset without any group ends its
// whole branch.  The branches below the first two variables are shared out
// to one thread per core.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

namespace {

struct data_set {
    int nof_vars = 0;
    size_t nof_rows = 0;
    std::vector<std::vector<uint32_t>> column;   // column[v][row]: value code
    std::vector<uint32_t> nof_values;
};

data_set read_data(const char *path)
{
    FILE *f = fopen_checked(path, "rb");
    std::string text;
    char buf[1 << 16];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, got);
    if (ferror(f))
        fail_errno(path);
    close_input(f, path);

    data_set d;
    std::vector<std::map<std::string, uint32_t>> codes;
    size_t pos = 0, line = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string row = text.substr(pos, end - pos);
        if (!row.empty() && row.back() == '\r')
            row.pop_back();
        pos = end + 1;
        ++line;
        std::vector<std::string> fields;
        size_t at = 0;
        for (;;) {
            size_t comma = row.find(',', at);
            fields.push_back(row.substr(at, comma == std::string::npos ? comma : comma - at));
            if (comma == std::string::npos)
                break;
            at = comma + 1;
        }
        if (line == 1) {
            d.nof_vars = int(fields.size());
            if (d.nof_vars > 32)
                fail(path, "more than 32 variables");
            d.column.resize(fields.size());
            codes.resize(fields.size());
            continue;
        }
        if (row.empty())
            continue;
        if (fields.size() != size_t(d.nof_vars))
            failf(path, "line %zu: %zu fields, the header has %d", line, fields.size(),
                  d.nof_vars);
        for (size_t v = 0; v < fields.size(); ++v) {
            auto it = codes[v].emplace(fields[v], uint32_t(codes[v].size())).first;
            d.column[v].push_back(it->second);
        }
        ++d.nof_rows;
    }
    if (line == 0)
        fail(path, "no header line");
    for (auto &c : codes)
        d.nof_values.push_back(uint32_t(c.size()));
    return d;
}

// The groups of one subset: rows[ends[g-1], ends[g]) is group g.
struct groups {
    std::vector<uint32_t> rows, ends;
};

struct counter {
    const data_set *d;
    std::vector<groups> level;      // one per depth
    std::vector<uint32_t> tally;    // per value code
    uint64_t cells = 0, rows_in_cells = 0;
};

// Splits the groups of `from` by column v into `to`, keeping those of two
// rows or more.
void split(counter &c, const groups &from, int v, groups &to)
{
    const std::vector<uint32_t> &col = c.d->column[size_t(v)];
    const uint32_t k = c.d->nof_values[size_t(v)];
    to.rows.clear();
    to.ends.clear();
    uint32_t begin = 0;
    std::vector<uint32_t> &tally = c.tally;
    for (uint32_t end : from.ends) {
        for (uint32_t r = begin; r < end; ++r)
            ++tally[col[from.rows[r]]];
        // Offsets of the kept values in `to`; a single row is dropped.
        uint32_t at = uint32_t(to.rows.size());
        for (uint32_t x = 0; x < k; ++x) {
            const uint32_t m = tally[x];
            if (m >= 2) {
                tally[x] = at;
                at += m;
                to.ends.push_back(at);
            } else {
                tally[x] = UINT32_MAX;
            }
        }
        to.rows.resize(at);
        for (uint32_t r = begin; r < end; ++r) {
            const uint32_t row = from.rows[r];
            uint32_t &slot = tally[col[row]];
            if (slot != UINT32_MAX)
                to.rows[slot++] = row;
        }
        std::fill(tally.begin(), tally.begin() + k, 0u);
        begin = end;
    }
}

// Counts the subsets that extend the one of level[depth] by variables from
// `first` on.
void walk(counter &c, int depth, int first)
{
    for (int v = first; v < c.d->nof_vars; ++v) {
        groups &to = c.level[size_t(depth) + 1];
        split(c, c.level[size_t(depth)], v, to);
        if (to.ends.empty())
            continue;
        c.cells += to.ends.size();
        c.rows_in_cells += to.rows.size();
        walk(c, depth + 1, v + 1);
    }
}

void count_cells(const char *path)
{
    const data_set d = read_data(path);
    const int n = d.nof_vars;
    uint32_t max_values = 1;
    for (uint32_t k : d.nof_values)
        max_values = std::max(max_values, k);

    groups all;
    if (d.nof_rows >= 2) {
        for (uint32_t r = 0; r < d.nof_rows; ++r)
            all.rows.push_back(r);
        all.ends.push_back(uint32_t(d.nof_rows));
    }
    // Tasks: the empty set's children by one variable a, and their children
    // by a second variable b > a, each task walking its branch below.
    struct task {
        int a, b;   // b = -1: the subset {a} alone
    };
    std::vector<task> tasks;
    for (int a = 0; a < n; ++a) {
        tasks.push_back({a, -1});
        for (int b = a + 1; b < n; ++b)
            tasks.push_back({a, b});
    }
    // Largest branches (lowest b) first.
    std::stable_sort(tasks.begin(), tasks.end(), [](const task &x, const task &y) {
        const int bx = x.b < 0 ? 99 : x.b, by = y.b < 0 ? 99 : y.b;
        return bx < by;
    });
    std::atomic<size_t> next{0};
    const unsigned nof_threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 64u));
    std::vector<counter> counters(nof_threads);
    auto work = [&](counter &c) {
        c.d = &d;
        c.level.resize(size_t(n) + 2);
        c.tally.assign(max_values, 0);
        for (size_t t; (t = next.fetch_add(1)) < tasks.size();) {
            const task k = tasks[t];
            split(c, all, k.a, c.level[1]);
            if (k.b < 0) {
                c.cells += c.level[1].ends.size();
                c.rows_in_cells += c.level[1].rows.size();
                continue;
            }
            if (c.level[1].ends.empty())
                continue;
            split(c, c.level[1], k.b, c.level[2]);
            if (c.level[2].ends.empty())
                continue;
            c.cells += c.level[2].ends.size();
            c.rows_in_cells += c.level[2].rows.size();
            walk(c, 2, k.b + 1);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < nof_threads; ++t)
        threads.emplace_back(work, std::ref(counters[t]));
    work(counters[0]);
    for (std::thread &t : threads)
        t.join();
    uint64_t cells = all.ends.size(), rows = all.rows.size();
    for (const counter &c : counters) {
        cells += c.cells;
        rows += c.rows_in_cells;
    }
    if (printf("%llu %llu\n", (unsigned long long)cells, (unsigned long long)rows) < 0 ||
        fflush(stdout) != 0)
        fail_errno("standard output");
}

} // namespace

int main(int argc, char **argv)
{
    program_name = "count_cells";
    if (argc != 2) {
        fputs("Usage: count_cells data.csv\n", stderr);
        return 1;
    }
    count_cells(argv[1]);
    return 0;
}
