// compute_family_scores: from a discrete data set to the score table
// <dirname>/res (or the local score files <dirname>/<i>) and the
// variable-description file <dirname>/vd.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>
#include <stdexcept>

#include "family_scores.h"
#include "model_files.h" // escape_field: the description file's one escaping
#include "resample.h"
#include "scoring_options.h"
#include "files.h"
#include "varpar.h"

namespace {

const char usage_line[] = "Usage: compute_family_scores [options] DATA DIRNAME\n";

const char help_head[] =
    "Usage: compute_family_scores [options] DATA DIRNAME\n"
    "\n"
    "Reads a discrete data set and writes the score of every family (a child and\n"
    "a parent set) for the exact structure search:\n"
    "  DIRNAME/res  the score table: for every non-empty variable set S from\n"
    "               2^n-1 down to 1, for every child i in S ascending, one\n"
    "               little-endian double, the score of i with parents S - {i};\n"
    "  DIRNAME/vd   one line per variable: name, arity, labels, tab-separated.\n"
    "DIRNAME is created when missing.  Outputs are written under temporary names\n"
    "and renamed at the end: after a failure none of them exists.\n"
    "\n"
    "DATA is CSV or TSV: a header row of at most 32 distinct column names, then\n"
    "one sample per row (quoted fields with \"\" escapes and line breaks are read\n"
    "as RFC 4180 describes).  A column is a set of categories: its arity is the\n"
    "number of its distinct labels, numbered in order of first appearance.  A\n"
    "column whose labels are all numbers is refused when it has more than\n"
    "--max-levels distinct values, unless it is binned (--discretize; the ranges\n"
    "are its labels, ascending) or named by --categorical; so is a column with a\n"
    "different label on every row (more than 20 rows).  Empty lines are skipped\n"
    "when there are two columns or more.\n"
    "\n"
    "Options:\n";

const char help_tail[] =
    "  --local-files       write the local score files DIRNAME/0 .. DIRNAME/<n-1>\n"
    "                      (2^(n-1) doubles each, indexed by parent-set index)\n"
    "                      instead of DIRNAME/res\n"
    "  --describe          read and check DATA (and the arc files) as a scoring\n"
    "                      run would, write only DIRNAME/vd and compute no score\n"
    "  --resample SEED:K   score a bootstrap resample instead of the rows read:\n"
    "                      as many rows drawn with replacement (after dropping\n"
    "                      rows for missing values), the same for the same SEED\n"
    "                      and resample number K whatever --threads\n"
    "  --help              this text\n"
    "\n"
    "In DIRNAME/vd, a tab, line feed, carriage return or backslash inside a name\n"
    "or label is written as \\t, \\n, \\r or \\\\.  Notes (rows dropped, columns\n"
    "binned and how) go to stderr.\n"
    "\n"
    "Exit status: 0 done, 1 wrong usage or a bad option value, 2 bad input or a\n"
    "file that cannot be read or written (one line on stderr naming the file,\n"
    "line and column).\n";

struct options {
    scoring_settings s;
    bool local_files = false;
    bool quiet = false;
    bool describe = false;
    std::string resample; // "SEED:K", empty for the rows as read
};

void write_vd(const data_set &data, const char *path)
{
    FILE *f = open_output_staged(path, "w");
    for (size_t c = 0; c < data.names.size(); ++c) {
        std::string line = escape_field(data.names[c]) + "\t" +
                           std::to_string(data.labels[c].size());
        for (const auto &l : data.labels[c]) {
            line += '\t';
            line += escape_field(l);
        }
        line += '\n';
        errno = 0;
        if (fwrite(line.data(), 1, line.size(), f) != line.size())
            fail_errno(path);
    }
    close_output(f, path);
}

// Records go out in 256 KiB blocks, written by a second thread while the
// next block is computed.
constexpr size_t block_records = 256 * 1024 / sizeof(double);

struct record_block {
    FILE *file;
    const char *name;
    write_queue *queue;
    double *buf;
    size_t used;
};

record_block start_block(const char *path)
{
    record_block b{open_output_staged(path, "wb"), path,
                   queue_start(4, block_records * sizeof(double)), nullptr, 0};
    setvbuf(b.file, nullptr, _IONBF, 0);
    b.buf = reinterpret_cast<double *>(queue_buffer(b.queue));
    return b;
}

inline void put(record_block &b, double v)
{
    if (b.used == block_records) {
        queue_write(b.queue, b.file, b.name, reinterpret_cast<unsigned char *>(b.buf),
                    b.used * sizeof(double));
        b.buf = reinterpret_cast<double *>(queue_buffer(b.queue));
        b.used = 0;
    }
    b.buf[b.used++] = v;
}

void finish(record_block &b)
{
    queue_write(b.queue, b.file, b.name, reinterpret_cast<unsigned char *>(b.buf),
                b.used * sizeof(double));
    queue_finish(b.queue);
    close_output(b.file, b.name);
}

void write_table(const std::vector<double> &g, const score_options &opt, const double *arity,
                 double unit, int n, const char *path)
{
    record_block b = start_block(path);
    const varset full = n == 32 ? ~varset(0) : (varset(1) << n) - 1;
    // Without a penalty or a constraint a score is a difference of two
    // terms (what family_score() computes then).
    bool plain = unit == 0 && opt.max_parents < 0;
    for (int i = 0; i < n; ++i)
        plain = plain && opt.forbidden[i] == 0 && opt.required[i] == 0;
    for (varset s = full; s != 0; --s) {
        if (plain) {
            const double whole = g[s];
            for (varset rest = s; rest != 0; rest &= rest - 1)
                put(b, whole - g[s & ~(rest & (0 - rest))]);
        } else {
            for (varset rest = s; rest != 0; rest &= rest - 1)
                put(b, family_score(g, opt, arity, unit, s, __builtin_ctz(rest)));
        }
    }
    finish(b);
}

// The local score files, two at a time: each has its own writer thread, so
// that the kernel's copy into the page cache, most of this phase's time once
// the files are large, runs on two cores.
void write_local_files(const std::vector<double> &g, const score_options &opt,
                       const double *arity, double unit, int n,
                       const std::vector<std::string> &paths)
{
    const uint64_t count = uint64_t(1) << (n - 1);
    for (int i = 0; i < n; i += 2) {
        const int together = std::min(2, n - i);
        record_block b[2];
        for (int k = 0; k < together; ++k)
            b[k] = start_block(paths[size_t(i + k)].c_str());
        for (uint64_t p = 0; p < count; ++p)
            for (int k = 0; k < together; ++k) {
                const int child = i + k;
                const varset s = parset2varset(child, parset(p)) | varset(1) << child;
                put(b[k], family_score(g, opt, arity, unit, s, child));
            }
        for (int k = 0; k < together; ++k)
            finish(b[k]);
    }
}

void compute_family_scores(const options &opt_in, const char *data_path, const char *dirname)
{
    scoring_settings opt = opt_in.s;
    data_set data = read_data(data_path, opt.read);
    if (data.nof_dropped != 0 && !opt_in.quiet)
        fprintf(stderr, "%s: %s: dropped %zu of %zu rows for missing values\n", program_name,
                data_path, data.nof_dropped, data.nof_dropped + data.nof_rows);
    for (const auto &note : opt_in.quiet ? std::vector<std::string>() : data.binned)
        fprintf(stderr, "%s: %s: %s\n", program_name, data_path, note.c_str());
    if (!opt_in.resample.empty()) {
        uint64_t seed = 0, index = 0;
        parse_resample(opt_in.resample.c_str(), &seed, &index);
        resample_rows(data, seed, index);
    }
    if (!opt.forbid.empty())
        read_arc_list(opt.forbid.c_str(), data, opt.score.forbidden);
    if (!opt.require.empty())
        read_arc_list(opt.require.c_str(), data, opt.score.required);
    const int n = int(data.names.size());
    check_constraints(data, opt.score.forbidden, opt.score.required, opt.score.max_parents,
                      !opt.require.empty() ? opt.require.c_str() : "--max-parents");

    std::error_code ec;
    std::filesystem::create_directories(dirname, ec);
    if (ec)
        fail(dirname, ec.message().c_str());
    // The outputs are staged (outputs.h) and committed together at the end.
    const std::string dir = dirname;
    std::vector<std::string> outputs = {dir + "/vd"};
    if (opt_in.local_files && !opt_in.describe)
        for (int i = 0; i < n; ++i)
            outputs.push_back(dir + "/" + std::to_string(i));
    else if (!opt_in.describe)
        outputs.push_back(dir + "/res");
    // An earlier result must not survive a failed run looking current.
    for (const auto &f : outputs)
        if (unlink(f.c_str()) != 0 && errno != ENOENT)
            fail_errno(f.c_str());

    if (opt_in.describe) {
        write_vd(data, outputs[0].c_str());
        commit_outputs();
        return;
    }

    std::vector<double> g;
    try {
        g = subset_terms(data, opt.score, opt.threads);
    } catch (const std::bad_alloc &) {
        fail(data_path, "cannot allocate the subset table (2^n doubles)");
    } catch (const std::range_error &e) {
        fail(data_path, e.what());
    }
    std::vector<double> arity;
    for (const auto &l : data.labels)
        arity.push_back(double(l.size()));
    const double unit = penalty_unit(data, opt.score);

    write_vd(data, outputs[0].c_str());
    if (opt_in.local_files)
        write_local_files(g, opt.score, arity.data(), unit, n,
                          std::vector<std::string>(outputs.begin() + 1, outputs.end()));
    else
        write_table(g, opt.score, arity.data(), unit, n, outputs[1].c_str());

    commit_outputs();
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app = tool_command_line("compute_family_scores");
    remove_outputs_on_signals();
    options opt;
    add_scoring_options(app, opt.s);
    app.add_flag("--local-files", opt.local_files);
    app.add_flag("--describe", opt.describe);
    app.add_flag("--quiet", opt.quiet);
    app.add_option("--resample", opt.resample)->check([](const std::string &v) {
        uint64_t seed, index;
        return parse_resample(v.c_str(), &seed, &index)
                   ? std::string()
                   : std::string("expected SEED:K, two unsigned integers");
    });
    const std::vector<std::string> positional = parse_with_arguments(
        app, argc, argv, usage_line, std::string(help_head) + scoring_options_help + help_tail, 2);
    if (opt.s.threads == 0)
        opt.s.threads = std::max(1u, std::thread::hardware_concurrency());
    compute_family_scores(opt, positional[0].c_str(), positional[1].c_str());
    return 0;
}
