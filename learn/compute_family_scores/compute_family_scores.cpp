// compute_family_scores: from a discrete data set to the score table
// <dirname>/res (or the local score files <dirname>/<i>) and the
// variable-description file <dirname>/vd.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "family_scores.h"
#include "resample.h"
#include "files.h"
#include "varpar.h"

namespace {

const char usage_line[] = "Usage: compute_family_scores [options] DATA DIRNAME\n";

const char help_text[] =
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
    "one sample per row; any text is a category label (quoted fields with \"\"\n"
    "escapes and line breaks are read as RFC 4180 describes).  The arity of a\n"
    "column is the number of its distinct labels, numbered in order of first\n"
    "appearance.  Empty fields, ? and NA are missing values.  Empty lines are\n"
    "skipped when there are two columns or more.\n"
    "\n"
    "Options:\n"
    "  --score bdeu|bic|aic  score (default bdeu); all are natural-log values,\n"
    "                      larger is better.  With N rows, N_ijk the count of\n"
    "                      child value k under parent configuration j, N_ij its\n"
    "                      sum, r the child's arity, q the number of parent\n"
    "                      configurations (product of the parents' arities):\n"
    "        bdeu:  sum_j [lgamma(a_j) - lgamma(a_j + N_ij)]\n"
    "               + sum_jk [lgamma(a_jk + N_ijk) - lgamma(a_jk)],\n"
    "               a_j = ess/q, a_jk = ess/(q r)\n"
    "        bic:   LL - (r - 1) q ln(N) / 2\n"
    "        aic:   LL - (r - 1) q\n"
    "               LL = sum_jk N_ijk ln(N_ijk / N_ij)\n"
    "  --ess X             equivalent sample size of bdeu, X > 0 (default 1)\n"
    "  --max-parents K     families with more than K parents score -inf\n"
    "  --forbid FILE       arcs that must not appear\n"
    "  --require FILE      arcs that must appear; a family with a forbidden\n"
    "                      parent or without a required one scores -inf.\n"
    "                      Arc files hold one 'parent,child' pair of column\n"
    "                      names a line (a tab may replace the comma); blank\n"
    "                      lines and lines starting with # are skipped.\n"
    "  --local-files       write the local score files DIRNAME/0 .. DIRNAME/<n-1>\n"
    "                      (2^(n-1) doubles each, indexed by parent-set index)\n"
    "                      instead of DIRNAME/res\n"
    "  --delimiter C       field separator: one character, or 'tab' or 'comma'\n"
    "                      (default: tab if the header holds more tabs than\n"
    "                      commas, else comma)\n"
    "  --missing=error|drop  fail on a missing value (default) or drop the rows\n"
    "                      that hold one, reporting their number on stderr\n"
    "  --threads N         threads of the per-subset terms, N >= 1 (default: one\n"
    "                      per core); the outputs do not depend on N\n"
    "  --describe          read and check DATA (and the arc files) as a scoring\n"
    "                      run would, write only DIRNAME/vd and compute no score\n"
    "  --resample SEED:K   score a bootstrap resample instead of the rows read:\n"
    "                      as many rows drawn with replacement (after dropping\n"
    "                      rows for missing values), the same for the same SEED\n"
    "                      and resample number K whatever --threads\n"
    "  --help              this text\n"
    "\n"
    "In DIRNAME/vd, a tab, line feed, carriage return or backslash inside a name\n"
    "or label is written as \\t, \\n, \\r or \\\\.\n"
    "\n"
    "Exit status: 0 done, 1 wrong usage, 2 bad input or a file that cannot be\n"
    "read or written (one line on stderr naming the file, line and column).\n";

struct options {
    score_options score;
    read_options read;
    bool local_files = false;
    bool describe = false;
    const char *forbid = nullptr;
    const char *require = nullptr;
    unsigned threads = 1;
    const char *resample = nullptr;   // "SEED:K"
};

[[noreturn]] void usage_error(const std::string &what)
{
    fprintf(stderr, "%s: %s\n%s", program_name, what.c_str(), usage_line);
    exit(1);
}

// ---- outputs under temporary names -----------------------------------------

// Each output is written to its temporary name and renamed when all are
// complete; until then a failure, an exit or a fatal signal removes them.
std::vector<std::string> temp_names, final_names;
volatile sig_atomic_t outputs_done = 0;
volatile sig_atomic_t nof_renamed = 0;

void remove_outputs()
{
    if (outputs_done)
        return;
    for (const auto &t : temp_names)
        unlink(t.c_str());
    for (sig_atomic_t k = 0; k < nof_renamed; ++k)
        unlink(final_names[size_t(k)].c_str());
}

void on_signal(int sig)
{
    remove_outputs();
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string escape_field(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        default: out += c;
        }
    }
    return out;
}

void write_vd(const data_set &data, const char *path)
{
    FILE *f = fopen_checked(path, "w");
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
    record_block b{fopen_checked(path, "wb"), path, queue_start(4, block_records * sizeof(double)),
                   nullptr, 0};
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
    for (varset s = full; s != 0; --s)
        for (varset rest = s; rest != 0; rest &= rest - 1)
            put(b, family_score(g, opt, arity, unit, s, __builtin_ctz(rest)));
    finish(b);
}

void write_local_file(const std::vector<double> &g, const score_options &opt,
                      const double *arity, double unit, int n, int i, const char *path)
{
    record_block b = start_block(path);
    const uint64_t count = uint64_t(1) << (n - 1);
    const varset self = varset(1) << i;
    for (uint64_t p = 0; p < count; ++p)
        put(b, family_score(g, opt, arity, unit, parset2varset(i, parset(p)) | self, i));
    finish(b);
}

void rename_outputs()
{
    for (size_t k = 0; k < temp_names.size(); ++k) {
        errno = 0;
        if (rename(temp_names[k].c_str(), final_names[k].c_str()) != 0)
            fail_errno(final_names[k].c_str());
        nof_renamed = sig_atomic_t(k + 1);
    }
    outputs_done = 1;
}

void compute_family_scores(const options &opt_in, const char *data_path, const char *dirname)
{
    options opt = opt_in;
    data_set data = read_data(data_path, opt.read);
    if (data.nof_dropped != 0)
        fprintf(stderr, "%s: %s: dropped %zu of %zu rows for missing values\n", program_name,
                data_path, data.nof_dropped, data.nof_dropped + data.nof_rows);
    if (opt.resample != nullptr) {
        uint64_t seed = 0, index = 0;
        parse_resample(opt.resample, &seed, &index);
        resample_rows(data, seed, index);
    }
    if (opt.forbid != nullptr)
        read_arc_list(opt.forbid, data, opt.score.forbidden);
    if (opt.require != nullptr)
        read_arc_list(opt.require, data, opt.score.required);
    const int n = int(data.names.size());
    for (int i = 0; i < n; ++i) {
        varset both = opt.score.forbidden[i] & opt.score.required[i];
        if (both != 0) {
            std::string reason = "the arc " + data.names[size_t(__builtin_ctz(both))] + "," +
                                 data.names[size_t(i)] + " is both forbidden and required";
            fail(opt.require, reason.c_str());
        }
    }

    std::error_code ec;
    std::filesystem::create_directories(dirname, ec);
    if (ec)
        fail(dirname, ec.message().c_str());
    std::string dir = dirname;
    final_names.push_back(dir + "/vd");
    if (opt.describe)
        ;
    else if (opt.local_files)
        for (int i = 0; i < n; ++i)
            final_names.push_back(dir + "/" + std::to_string(i));
    else
        final_names.push_back(dir + "/res");
    for (const auto &f : final_names)
        temp_names.push_back(f + ".tmp");
    // An earlier result must not survive a failed run looking current.
    for (const auto &f : final_names)
        if (unlink(f.c_str()) != 0 && errno != ENOENT)
            fail_errno(f.c_str());
    atexit(remove_outputs);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        signal(sig, on_signal);

    if (opt.describe) {
        write_vd(data, temp_names[0].c_str());
        rename_outputs();
        return;
    }

    std::vector<double> g;
    try {
        g = subset_terms(data, opt.score, opt.threads);
    } catch (const std::bad_alloc &) {
        fail(data_path, "cannot allocate the subset table (2^n doubles)");
    }
    std::vector<double> arity;
    for (const auto &l : data.labels)
        arity.push_back(double(l.size()));
    const double unit = penalty_unit(data, opt.score);

    write_vd(data, temp_names[0].c_str());
    if (opt.local_files)
        for (int i = 0; i < n; ++i)
            write_local_file(g, opt.score, arity.data(), unit, n, i,
                             temp_names[size_t(i) + 1].c_str());
    else
        write_table(g, opt.score, arity.data(), unit, n, temp_names[1].c_str());

    rename_outputs();
}

// Value of an option given as "--name value" or "--name=value".
const char *option_value(int argc, char **argv, int &k, const char *name, bool &matched)
{
    size_t len = strlen(name);
    const char *a = argv[k];
    matched = false;
    if (strncmp(a, name, len) != 0)
        return nullptr;
    if (a[len] == '=') {
        matched = true;
        return a + len + 1;
    }
    if (a[len] != '\0')
        return nullptr;
    matched = true;
    if (k + 1 >= argc)
        usage_error(std::string("option ") + name + " needs a value");
    return argv[++k];
}

} // namespace

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    program_name = "compute_family_scores";
    options opt;
    opt.threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<const char *> positional;
    bool options_end = false;
    for (int k = 1; k < argc; ++k) {
        const char *a = argv[k];
        if (options_end || a[0] != '-' || a[1] == '\0') {
            positional.push_back(a);
            continue;
        }
        if (strcmp(a, "--") == 0) {
            options_end = true;
            continue;
        }
        if (strcmp(a, "--help") == 0) {
            fputs(help_text, stdout);
            return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 2;
        }
        if (strcmp(a, "--local-files") == 0) {
            opt.local_files = true;
            continue;
        }
        if (strcmp(a, "--describe") == 0) {
            opt.describe = true;
            continue;
        }
        bool m = false;
        const char *v;
        if ((v = option_value(argc, argv, k, "--score", m)), m) {
            if (strcmp(v, "bdeu") == 0)
                opt.score.kind = score_kind::bdeu;
            else if (strcmp(v, "bic") == 0)
                opt.score.kind = score_kind::bic;
            else if (strcmp(v, "aic") == 0)
                opt.score.kind = score_kind::aic;
            else
                fail("--score", "expected bdeu, bic or aic");
        } else if ((v = option_value(argc, argv, k, "--ess", m)), m) {
            char *end;
            errno = 0;
            double x = strtod(v, &end);
            if (end == v || *end != '\0' || errno != 0 || !(x > 0) || !std::isfinite(x))
                fail("--ess", "expected a positive number");
            opt.score.ess = x;
        } else if ((v = option_value(argc, argv, k, "--max-parents", m)), m) {
            char *end;
            errno = 0;
            long x = strtol(v, &end, 10);
            if (end == v || *end != '\0' || errno != 0 || x < 0)
                fail("--max-parents", "expected a non-negative integer");
            opt.score.max_parents = x > 32 ? 32 : int(x);
        } else if ((v = option_value(argc, argv, k, "--threads", m)), m) {
            char *end;
            errno = 0;
            long x = strtol(v, &end, 10);
            if (end == v || *end != '\0' || errno != 0 || x < 1)
                fail("--threads", "expected a positive integer");
            opt.threads = x > 1024 ? 1024u : unsigned(x);
        } else if ((v = option_value(argc, argv, k, "--resample", m)), m) {
            uint64_t seed, index;
            if (!parse_resample(v, &seed, &index))
                fail("--resample", "expected SEED:K, two unsigned integers");
            opt.resample = v;
        } else if ((v = option_value(argc, argv, k, "--forbid", m)), m) {
            opt.forbid = v;
        } else if ((v = option_value(argc, argv, k, "--require", m)), m) {
            opt.require = v;
        } else if ((v = option_value(argc, argv, k, "--delimiter", m)), m) {
            if (strcmp(v, "tab") == 0 || strcmp(v, "\\t") == 0)
                opt.read.delimiter = '\t';
            else if (strcmp(v, "comma") == 0)
                opt.read.delimiter = ',';
            else if (strlen(v) == 1 && v[0] != '"' && v[0] != '\n' && v[0] != '\r')
                opt.read.delimiter = v[0];
            else
                fail("--delimiter", "expected one character, 'tab' or 'comma'");
        } else if ((v = option_value(argc, argv, k, "--missing", m)), m) {
            if (strcmp(v, "drop") == 0)
                opt.read.drop_missing = true;
            else if (strcmp(v, "error") == 0)
                opt.read.drop_missing = false;
            else
                fail("--missing", "expected error or drop");
        } else {
            usage_error(std::string("unknown option ") + a);
        }
    }
    if (positional.size() != 2) {
        fputs(usage_line, stderr);
        return 1;
    }
    compute_family_scores(opt, positional[0], positional[1]);
    return 0;
}
