// learn_optimal_network: the disk and memory a run on n variables needs, and
// the check that the machine has them before the scores are computed.
#include "resources.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/statvfs.h>

uint64_t per_family(int n, uint64_t record)
{
    return uint64_t(n) * (uint64_t(1) << (n - 1)) * record;
}

namespace {

// Disk the run needs at its peak.  Every per-variable file kind takes
// 8 n 2^(n-1) bytes (score table, split files, local files, best-score files),
// the best-parent files half of that, the sink file 2^n.  With deletions the
// peak is reached while solve_leaf_table writes the sink: the local score
// files (kept for rate_graph), the best-parent and best-score files and the
// sink are all alive; the table and the split files are gone by then.
uint64_t peak_disk(int n, bool full_chain, bool keep)
{
    uint64_t table = per_family(n, 8), bps = per_family(n, 4), sink = uint64_t(1) << n;
    if (keep)
        return (full_chain ? 3 : 1) * table + table + bps + sink;
    // Scatter and flip hold two tables' worth, less than this.
    return 2 * table + bps + sink;
}

// Memory of the largest stage: solve_leaf_table holds 2^n doubles, more than
// find_top_families (12 * 2^(n-1)) or flip_family_files (8 * 2^(n-1)).
uint64_t peak_memory(int n, const char **stage)
{
    uint64_t flip = 8 * (uint64_t(1) << (n - 1));
    uint64_t top = 12 * (uint64_t(1) << (n - 1));
    uint64_t sinks = 8 * (uint64_t(1) << n);
    *stage = "solve_leaf_table";
    uint64_t m = sinks;
    if (top > m) {
        m = top;
        *stage = "find_top_families";
    }
    if (flip > m) {
        m = flip;
        *stage = "flip_family_files";
    }
    return m;
}

// MemAvailable in bytes; false when /proc/meminfo does not tell.
bool mem_available(uint64_t *bytes)
{
    FILE *f = fopen("/proc/meminfo", "r");
    if (!f)
        return false;
    char line[256];
    bool found = false;
    while (fgets(line, sizeof line, f)) {
        unsigned long long kib;
        if (sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
            *bytes = uint64_t(kib) * 1024;
            found = true;
            break;
        }
    }
    fclose(f);
    return found;
}

} // namespace

void check_resources(int n, const options &opt, uint64_t already_on_disk)
{
    uint64_t need = peak_disk(n, opt.full_chain, opt.keep);
    need = need > already_on_disk ? need - already_on_disk : 0;
    // Some room for the small files and the file system's own blocks.
    uint64_t margin = need / 256 + (uint64_t(1) << 20);
    struct statvfs fs;
    if (fstatvfs(run.work_fd, &fs) != 0)
        stop(2, opt.outdir, strerror(errno));
    uint64_t avail = uint64_t(fs.f_bavail) * uint64_t(fs.f_frsize);
    if (need + margin > avail)
        stop(2, opt.outdir,
             "not enough disk space: a run on " + std::to_string(n) + " variables needs " +
                 human_bytes(need + margin) + " more at its peak, " + human_bytes(avail) +
                 " available");
    const char *stage;
    uint64_t mem = peak_memory(n, &stage);
    uint64_t have;
    if (mem_available(&have) && mem > have)
        stop(2, "/proc/meminfo",
             std::string("not enough memory: ") + stage + " needs " + human_bytes(mem) +
                 " on " + std::to_string(n) + " variables, " + human_bytes(have) +
                 " available");
}

std::string human_bytes(uint64_t bytes)
{
    char buf[64];
    const char *units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double v = double(bytes);
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    if (u == 0)
        snprintf(buf, sizeof buf, "%llu bytes", (unsigned long long)bytes);
    else
        snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}
