// learn_optimal_network: from a data file to the optimal network in one
// command.  Runs the scorer, the search, the scoring and the conversion
// programs of the suite one after another, each as its own process started
// from the folder of this executable, in OUTDIR/work; the results are moved
// into OUTDIR only when every stage has succeeded.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const char *const program = "learn_optimal_network";
const char *const usage_line = "Usage: learn_optimal_network [options] DATA OUTDIR\n";
const int nof_stages = 11;
const int max_vars = 32;

// The files of a finished run, in the order they are moved into OUTDIR: the
// network file last, so that it only appears once everything else is there.
const char *const result_names[] = {"network.png", "network.svg", "network.dot",
                                    "arcs.txt",    "parents.txt", "network.txt"};

struct options {
    std::vector<std::string> scorer_args; // passed through to the scorer
    bool direct = false;
    bool keep = false;
    bool quiet = false;
    char delimiter = 0; // 0: detected from the header
    std::string data;
    std::string outdir;
};

// ---- run state, also seen by the clean-up on every way out ---------------

std::string work_dir;
std::string out_dir;
bool created_out_dir = false;
bool progress_on_tty = false;
const char *current_stage = nullptr; // the stage running now, if any
bool line_open = false; // a progress line waits for its end
volatile sig_atomic_t got_signal = 0;
volatile sig_atomic_t child_pid = 0;

void on_signal(int sig)
{
    if (got_signal == 0)
        got_signal = sig;
    if (child_pid > 0)
        kill(pid_t(child_pid), sig);
}

std::string numbered(const std::string &dir, int i, const char *ext)
{
    return dir + "/" + std::to_string(i) + ext;
}

// Removes every file a run can leave in the work folder (for any number of
// variables), then the folder itself when it is empty.
void remove_work_files()
{
    if (work_dir.empty())
        return;
    // The scorer's temporary names too: a scorer killed outright (SIGKILL)
    // leaves them, and the folder would not go.
    static const char *const exts[] = {"", ".slt", ".bps", ".bss", ".tmp"};
    for (int i = 0; i < max_vars; ++i)
        for (const char *ext : exts)
            unlink(numbered(work_dir, i, ext).c_str());
    static const char *const names[] = {"res",         "res.tmp",   "vd",       "vd.tmp",
                                        "sink",        "order",
                                        "score",       "network.txt", "parents.txt",
                                        "arcs.txt",    "network.dot", "network.svg",
                                        "network.png"};
    for (const char *name : names)
        unlink((work_dir + "/" + name).c_str());
    rmdir(work_dir.c_str());
}

// Leaves nothing that looks like a finished result: the work folder goes
// and OUTDIR too when this run created it and it is empty.
void clean_up_failed_run()
{
    remove_work_files();
    if (!out_dir.empty()) {
        for (const char *name : result_names)
            unlink((out_dir + "/" + name).c_str());
        if (created_out_dir)
            rmdir(out_dir.c_str());
    }
}

[[noreturn]] void stop(int status, const std::string &file, const std::string &reason)
{
    if (line_open)
        fputc('\n', stderr);
    fprintf(stderr, "%s: %s: %s\n", program, file.c_str(), reason.c_str());
    clean_up_failed_run();
    exit(status);
}

[[noreturn]] void stop_on_signal()
{
    int sig = got_signal;
    if (line_open)
        fputc('\n', stderr);
    // Said even with --quiet: it is the only word on why the run stopped.
    fprintf(stderr, "%s: interrupted (%s)%s%s; no result kept\n", program,
            sig == SIGINT ? "SIGINT" : "SIGTERM", current_stage ? " during " : "",
            current_stage ? current_stage : "");
    clean_up_failed_run();
    exit(128 + sig);
}

double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
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

// ---- sizes and resource checks -------------------------------------------

// Bytes of all records of one kind over the n variables: n * 2^(n-1) records.
uint64_t per_family(int n, uint64_t record)
{
    return uint64_t(n) * (uint64_t(1) << (n - 1)) * record;
}

// Disk the run needs at its peak.  Every per-variable file kind takes
// 8 n 2^(n-1) bytes (score table, split files, local files, best-score files),
// the best-parent files half of that, the sink file 2^n.  With deletions the
// peak is reached while solve_leaf_table writes the sink: the local score
// files (kept for rate_graph), the best-parent and best-score files and the
// sink are all alive; the table and the split files are gone by then.
uint64_t peak_disk(int n, bool direct, bool keep)
{
    uint64_t table = per_family(n, 8), bps = per_family(n, 4), sink = uint64_t(1) << n;
    if (keep)
        return (direct ? 1 : 3) * table + table + bps + sink;
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

// Checks that OUTDIR's file system holds what the rest of the run needs
// (already_on_disk bytes of it are written) and that memory suffices.
void check_resources(int n, const options &opt, uint64_t already_on_disk)
{
    uint64_t need = peak_disk(n, opt.direct, opt.keep);
    need = need > already_on_disk ? need - already_on_disk : 0;
    // Some room for the small files and the file system's own blocks.
    uint64_t margin = need / 256 + (uint64_t(1) << 20);
    struct statvfs fs;
    if (statvfs(work_dir.c_str(), &fs) != 0)
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

// ---- the data header -----------------------------------------------------

// Number of columns of the header row of DATA, or -1 when it cannot be read.
// Fields may be quoted (a quoted field may hold the delimiter, doubled quotes
// and line breaks).  Without a forced delimiter, the most frequent of comma,
// tab and semicolon outside quotes is taken.
int header_nof_vars(const std::string &path, char forced)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        stop(2, path, strerror(errno));
    int commas = 0, tabs = 0, semis = 0, forced_count = 0;
    bool quoted = false, any = false;
    int c;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '"') {
            quoted = !quoted; // a doubled quote toggles twice
            continue;
        }
        if (quoted)
            continue;
        if (c == '\n')
            break;
        if (forced && c == forced)
            ++forced_count;
        if (c == ',')
            ++commas;
        else if (c == '\t')
            ++tabs;
        else if (c == ';')
            ++semis;
    }
    bool bad = ferror(f);
    fclose(f);
    if (bad || !any)
        return -1; // the scorer reports it with the line and column
    if (forced)
        return forced_count + 1;
    int best = commas;
    if (tabs > best)
        best = tabs;
    if (semis > best)
        best = semis;
    return best + 1;
}

// ---- running one stage ---------------------------------------------------

struct stage_output {
    std::vector<std::string> files; // files whose growth shows progress
    uint64_t final_bytes = 0;       // their total size at the end
};

uint64_t current_bytes(const stage_output &out)
{
    uint64_t total = 0;
    struct stat st;
    for (const auto &f : out.files)
        if (stat(f.c_str(), &st) == 0)
            total += uint64_t(st.st_size);
    return total;
}

void progress_line(int k, const char *name, const char *tail)
{
    fprintf(stderr, "\r[%d/%d] %s ... %s", k, nof_stages, name, tail);
    line_open = tail[0] == '\0' || tail[strlen(tail) - 1] != '\n';
    fflush(stderr);
}

std::string bin_dir;

// Starts path with argv0 and args, its standard output on stdout_path when
// given, else on standard error.  SIGINT and SIGTERM are blocked from the
// start of the child until the handler knows whom to forward them to.
// Returns 0 and the child's pid, or the error of posix_spawn.
int start_child(const std::string &path, const char *argv0, const std::vector<std::string> &args,
                const std::string &stdout_path, const char *stage, pid_t *pid)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(argv0));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_path.empty())
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, forwarded, defaults, old;
    sigemptyset(&none);
    sigemptyset(&forwarded);
    sigaddset(&forwarded, SIGINT);
    sigaddset(&forwarded, SIGTERM);
    // SIGXFSZ, ignored here, is back at its default in the child: a program
    // of the suite ignores it itself, and one that does not (Graphviz) is
    // then stopped by it rather than leaving a cut file behind a status 0.
    defaults = forwarded;
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    sigprocmask(SIG_BLOCK, &forwarded, &old);
    int rc = posix_spawn(pid, path.c_str(), &actions, &attr, argv.data(), environ);
    if (rc == 0) {
        child_pid = *pid;
        current_stage = stage;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc;
}

// Runs stage k, the program name with args, from this executable's folder.
// Its standard error passes through; its standard output goes to stdout_path
// when given, else to standard error (this program's standard output carries
// the result only).  A failure of the stage ends the run with its status.
void run_stage(int k, const char *name, const std::vector<std::string> &args,
               const options &opt, const std::string &stdout_path = "",
               const stage_output &out = stage_output())
{
    if (got_signal)
        stop_on_signal();
    std::string path = bin_dir + "/" + name;

    bool show = !opt.quiet;
    bool percent = show && progress_on_tty && out.final_bytes > 0;
    if (show && progress_on_tty)
        progress_line(k, name, "");
    double start = now_seconds();

    pid_t pid;
    int rc = start_child(path, name, args, stdout_path, name, &pid);
    if (rc != 0)
        stop(2, path, strerror(rc));

    // Poll often at first, so that short stages cost no waiting, then ten
    // times a second.
    int status = 0;
    long pause_ns = 1000 * 1000;
    std::string shown;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        if (w < 0 && errno != EINTR)
            stop(2, name, strerror(errno));
        timespec pause = {0, pause_ns};
        nanosleep(&pause, nullptr); // a signal cuts it short, which is fine
        if (pause_ns < 100 * 1000 * 1000)
            pause_ns *= 2;
        if (percent) {
            uint64_t done = current_bytes(out);
            if (done > out.final_bytes)
                done = out.final_bytes;
            char tail[64];
            snprintf(tail, sizeof tail, "%3.0f%%  %.1f s", 100.0 * double(done) /
                     double(out.final_bytes), now_seconds() - start);
            if (shown != tail) {
                progress_line(k, name, tail);
                shown = tail;
            }
        }
    }
    child_pid = 0;
    if (got_signal)
        stop_on_signal();
    current_stage = nullptr;

    double elapsed = now_seconds() - start;
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (show) {
        char tail[96];
        if (ok)
            snprintf(tail, sizeof tail, progress_on_tty ? "%.1f s          \n" : "%.1f s\n",
                     elapsed);
        else if (WIFEXITED(status))
            snprintf(tail, sizeof tail, "failed (status %d)\n", WEXITSTATUS(status));
        else
            snprintf(tail, sizeof tail, "failed (signal %d)\n", WTERMSIG(status));
        if (!progress_on_tty)
            fprintf(stderr, "[%d/%d] %s ... %s", k, nof_stages, name, tail);
        else
            progress_line(k, name, tail);
    }
    if (ok)
        return;
    if (WIFEXITED(status)) {
        // The stage has said what went wrong; its status is the run's.
        clean_up_failed_run();
        exit(WEXITSTATUS(status));
    }
    stop(2, path, "terminated by signal " + std::to_string(WTERMSIG(status)));
}

void skip_stage(int k, const char *name, const options &opt)
{
    if (!opt.quiet)
        fprintf(stderr, "[%d/%d] %s ... skipped (--direct)\n", k, nof_stages, name);
}

// ---- small file helpers --------------------------------------------------

void remove_file(const std::string &path)
{
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        stop(2, path, strerror(errno));
}

void remove_numbered(int n, const char *ext)
{
    for (int i = 0; i < n; ++i)
        remove_file(numbered(work_dir, i, ext));
}

std::string read_text(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        stop(2, path, strerror(errno));
    std::string s;
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, got);
    bool bad = ferror(f);
    fclose(f);
    if (bad)
        stop(2, path, "read error");
    return s;
}

// Column names from the variable-description file: the first field (up to a
// tab) of each line; the number of lines is the number of variables.
std::vector<std::string> read_names(const std::string &path)
{
    std::string text = read_text(path);
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t cut = line.find_first_of("\t\r");
        names.push_back(line.substr(0, cut));
        pos = end + 1;
    }
    return names;
}

uint64_t file_size(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        stop(2, path, strerror(errno));
    return uint64_t(st.st_size);
}

// The scorer's output must match the number of variables it described.
uint64_t check_scorer_output(int n, bool direct)
{
    uint64_t total = 0;
    if (direct) {
        uint64_t each = 8 * (uint64_t(1) << (n - 1));
        for (int i = 0; i < n; ++i) {
            std::string f = numbered(work_dir, i, "");
            uint64_t size = file_size(f);
            if (size != each)
                stop(2, f, "holds " + std::to_string(size) + " bytes, not the " +
                               std::to_string(each) + " of " + std::to_string(n) +
                               " variables");
            total += size;
        }
    } else {
        std::string f = work_dir + "/res";
        total = file_size(f);
        if (total != per_family(n, 8))
            stop(2, f, "holds " + std::to_string(total) + " bytes, not the " +
                           std::to_string(per_family(n, 8)) + " of " + std::to_string(n) +
                           " variables");
    }
    return total;
}

// Full path of an executable found on PATH, or "" when there is none.
std::string find_on_path(const char *name)
{
    const char *path = getenv("PATH");
    if (!path)
        return "";
    std::string all = path;
    size_t pos = 0;
    for (;;) {
        size_t end = all.find(':', pos);
        std::string dir = all.substr(pos, end == std::string::npos ? std::string::npos
                                                                   : end - pos);
        // An empty entry means the current folder.
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            return "";
        pos = end + 1;
    }
}

// Runs a helper program (Graphviz) to completion; true when it succeeded.
// A signal while it runs ends the run like a stage.
bool run_helper(const std::string &path, const std::vector<std::string> &args)
{
    if (got_signal)
        stop_on_signal();
    pid_t pid;
    int rc = start_child(path, path.c_str(), args, "", "dot", &pid);
    if (rc != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    child_pid = 0;
    if (got_signal)
        stop_on_signal();
    current_stage = nullptr;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether a picture dot wrote ends as a whole file of its kind does: dot
// exits with status 0 even when the disk filled up under it.
bool picture_complete(const std::string &path, const char *kind)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char tail[16] = {};
    size_t got = 0;
    if (fseek(f, -long(sizeof tail), SEEK_END) == 0 || fseek(f, 0, SEEK_SET) == 0)
        got = fread(tail, 1, sizeof tail, f);
    bool bad = ferror(f);
    fclose(f);
    std::string end(tail, got);
    if (bad)
        return false;
    if (strcmp(kind, "png") == 0) // the IEND chunk closes every PNG file
        return got >= 8 && end.compare(got - 8, 8, "IEND\xae\x42\x60\x82") == 0;
    size_t last = end.find_last_not_of(" \t\r\n");
    return last != std::string::npos && last >= 5 && end.compare(last - 5, 6, "</svg>") == 0;
}

// Draws network.svg and network.png from network.dot when Graphviz is there.
void draw_pictures(const options &opt)
{
    std::string dot = find_on_path("dot");
    if (dot.empty()) {
        if (!opt.quiet)
            fprintf(stderr, "%s: note: Graphviz dot is not on the PATH; network.svg and "
                            "network.png skipped\n", program);
        return;
    }
    double start = now_seconds();
    std::string src = work_dir + "/network.dot";
    for (const char *kind : {"svg", "png"}) {
        std::string target = work_dir + "/network." + kind;
        if (!run_helper(dot, {std::string("-T") + kind, src, "-o", target}) ||
            !picture_complete(target, kind)) {
            unlink(target.c_str());
            fprintf(stderr, "%s: %s: dot could not draw it; network.%s skipped\n", program,
                    target.c_str(), kind);
        }
    }
    if (!opt.quiet)
        fprintf(stderr, "[dot] network.svg, network.png ... %.1f s\n", now_seconds() - start);
}

// Creates dir and its missing parents; true when this call created dir.
bool make_dirs(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            stop(2, dir, "not a directory");
        return false;
    }
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        make_dirs(dir.substr(0, slash));
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        stop(2, dir, strerror(errno));
    return true;
}

// ---- the run -------------------------------------------------------------

int learn_optimal_network(const options &opt)
{
    out_dir = opt.outdir;
    while (out_dir.size() > 1 && out_dir.back() == '/')
        out_dir.pop_back();
    if (out_dir[0] == '-')
        out_dir = "./" + out_dir; // never taken for an option by a stage
    created_out_dir = make_dirs(out_dir);
    work_dir = out_dir + "/work";
    // Results of an earlier run must not outlive a failure of this one.
    for (const char *name : result_names)
        remove_file(out_dir + "/" + name);
    remove_work_files();
    if (mkdir(work_dir.c_str(), 0777) != 0)
        stop(2, work_dir, strerror(errno));

    int guess = header_nof_vars(opt.data, opt.delimiter);
    if (guess >= 1 && guess <= max_vars)
        check_resources(guess, opt, 0);

    std::string n_text;
    int n = 0;
    {
        std::vector<std::string> args = opt.scorer_args;
        if (opt.direct)
            args.push_back("--local-files");
        // A name that starts with a minus sign must not read as an option.
        args.push_back(opt.data[0] == '-' ? "./" + opt.data : opt.data);
        args.push_back(work_dir);
        stage_output out;
        if (guess >= 1 && guess <= max_vars) {
            out.final_bytes = per_family(guess, 8);
            // The scorer writes under temporary names and renames at the
            // end: the growth shows in the temporary files.
            if (opt.direct)
                for (int i = 0; i < guess; ++i)
                    out.files.push_back(numbered(work_dir, i, ".tmp"));
            else
                out.files.push_back(work_dir + "/res.tmp");
        }
        run_stage(1, "compute_family_scores", args, opt, "", out);
        std::vector<std::string> names = read_names(work_dir + "/vd");
        n = int(names.size());
        if (n < 1 || n > max_vars)
            stop(2, work_dir + "/vd", "describes " + std::to_string(n) +
                                          " variables; 1 to 32 are supported");
        n_text = std::to_string(n);
        uint64_t written = check_scorer_output(n, opt.direct);
        check_resources(n, opt, written);
    }
    const uint64_t table = per_family(n, 8);
    const std::string &dir = work_dir;

    auto files_of = [&](const char *ext) {
        stage_output out;
        for (int i = 0; i < n; ++i)
            out.files.push_back(numbered(dir, i, ext));
        return out;
    };

    if (opt.direct) {
        skip_stage(2, "scatter_family_values", opt);
        skip_stage(3, "flip_family_files", opt);
    } else {
        stage_output slt = files_of(".slt");
        slt.final_bytes = table;
        run_stage(2, "scatter_family_values", {n_text, dir}, opt, "", slt);
        if (!opt.keep)
            remove_file(dir + "/res");
        stage_output local = files_of("");
        local.final_bytes = table;
        run_stage(3, "flip_family_files", {n_text, dir}, opt, "", local);
        if (!opt.keep)
            remove_numbered(n, ".slt");
    }

    stage_output best = files_of(".bps");
    for (int i = 0; i < n; ++i)
        best.files.push_back(numbered(dir, i, ".bss"));
    best.final_bytes = per_family(n, 12);
    run_stage(4, "find_top_families", {n_text, dir}, opt, "", best);

    std::string sink = dir + "/sink", order = dir + "/order";
    stage_output sink_out;
    sink_out.files.push_back(sink);
    sink_out.final_bytes = uint64_t(1) << n;
    run_stage(5, "solve_leaf_table", {n_text, dir, sink}, opt, "", sink_out);
    if (!opt.keep)
        remove_numbered(n, ".bss");

    run_stage(6, "trace_leaf_sequence", {n_text, sink, order}, opt);
    if (!opt.keep)
        remove_file(sink);

    std::string network = dir + "/network.txt";
    run_stage(7, "assemble_optimal_graph", {n_text, dir, order, network}, opt);
    if (!opt.keep)
        remove_numbered(n, ".bps");

    std::string score_file = dir + "/score";
    run_stage(8, "rate_graph", {network, dir}, opt, score_file);
    if (!opt.keep)
        remove_numbered(n, "");
    std::string score = read_text(score_file);
    {
        char *end = nullptr;
        double value = strtod(score.c_str(), &end);
        if (end == score.c_str() || score.empty() || score.back() != '\n')
            stop(2, score_file, "rate_graph printed no score");
        if (std::isinf(value) && value < 0)
            stop(2, opt.data, "the constraints admit no network: the best score is -inf "
                              "(check --forbid, --require and --max-parents)");
        if (std::isnan(value))
            stop(2, opt.data, "the best score is not a number");
    }

    std::string parents = dir + "/parents.txt", arcs = dir + "/arcs.txt";
    run_stage(9, "graph_to_family_lists", {network, parents}, opt);
    run_stage(10, "family_lists_to_edges", {parents, arcs}, opt);
    run_stage(11, "edges_to_gv", {dir + "/vd", arcs, dir + "/network.dot"}, opt);
    draw_pictures(opt);

    // What goes to standard output: the score, then the arcs by name.
    std::vector<std::string> names = read_names(dir + "/vd");
    std::string report = score;
    {
        std::string text = read_text(arcs);
        const char *p = text.c_str();
        int parent, child, used;
        while (sscanf(p, "%d %d%n", &parent, &child, &used) == 2) {
            if (parent < 0 || parent >= n || child < 0 || child >= n)
                stop(2, arcs, "names a variable outside 0 to " + std::to_string(n - 1));
            report += names[size_t(parent)] + " -> " + names[size_t(child)] + "\n";
            p += used;
        }
    }

    // Move the results into place; a signal now waits until they all are.
    sigset_t sigs, old;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigprocmask(SIG_BLOCK, &sigs, &old);
    if (got_signal)
        stop_on_signal();
    for (const char *name : result_names) {
        std::string from = dir + "/" + name, to = out_dir + "/" + name;
        if (access(from.c_str(), F_OK) != 0)
            continue; // the pictures when there is no dot
        if (rename(from.c_str(), to.c_str()) != 0)
            stop(2, to, strerror(errno));
    }
    if (!opt.keep) {
        remove_file(dir + "/vd");
        remove_file(order);
        remove_file(score_file);
        rmdir(dir.c_str());
    }
    if (!opt.quiet)
        fprintf(stderr, "%s: results in %s/ (network.txt, parents.txt, arcs.txt, "
                        "network.dot%s)\n", program, out_dir.c_str(),
                access((out_dir + "/network.svg").c_str(), F_OK) == 0
                    ? ", network.svg, network.png" : "");
    if (fputs(report.c_str(), stdout) == EOF || fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: standard output: %s\n", program, strerror(errno));
        return 2;
    }
    return 0;
}

void print_help()
{
    fputs(usage_line, stdout);
    fputs("\n"
          "Learns the optimal Bayesian network structure of the data set DATA (CSV or\n"
          "TSV, a header row of column names, one sample per row) and writes it into\n"
          "OUTDIR. Every stage of the suite runs as its own process, in OUTDIR/work:\n"
          "compute_family_scores, scatter_family_values, flip_family_files,\n"
          "find_top_families, solve_leaf_table, trace_leaf_sequence,\n"
          "assemble_optimal_graph, rate_graph, graph_to_family_lists,\n"
          "family_lists_to_edges, edges_to_gv.\n"
          "\n"
          "Results in OUTDIR: network.txt (parent varset per variable), parents.txt,\n"
          "arcs.txt, network.dot, and network.svg and network.png when Graphviz dot\n"
          "is on the PATH. Standard output: the total score, then one\n"
          "'parent -> child' line per arc, by column name.\n"
          "\n"
          "Scoring options (passed to compute_family_scores):\n"
          "  --delimiter C       field delimiter (default: detected from the header)\n"
          "  --missing=drop      drop rows with missing values instead of failing\n"
          "  --score S           bdeu (default), bic or aic\n"
          "  --ess X             equivalent sample size of bdeu (default 1.0)\n"
          "  --max-parents K     no family with more than K parents\n"
          "  --forbid FILE       arcs never allowed, one 'parent,child' a line\n"
          "  --require FILE      arcs always present, one 'parent,child' a line\n"
          "  --threads N         threads of the scorer (default: all cores)\n"
          "Run options:\n"
          "  --direct            score straight into local score files and start the\n"
          "                      search at find_top_families (less disk, two stages less)\n"
          "  --keep              keep the intermediate files in OUTDIR/work\n"
          "  --quiet             no progress lines on standard error\n"
          "  --help              this text\n"
          "\n"
          "Before the search the disk space of the run's peak and the memory of its\n"
          "largest stage are checked. Exit status: 0 done, 1 wrong usage, 2 a failure\n"
          "(the failing stage's status and message), 130/143 interrupted; a run that\n"
          "does not finish leaves no result files.\n",
          stdout);
}

[[noreturn]] void usage_error(const std::string &why)
{
    if (!why.empty())
        fprintf(stderr, "%s: %s\n", program, why.c_str());
    fputs(usage_line, stderr);
    exit(1);
}

// Parses the command line; "--name value" and "--name=value" are both taken.
options parse_options(int argc, char **argv)
{
    options opt;
    std::vector<std::string> positional;
    static const char *const valued[] = {"--delimiter",   "--score",  "--ess",
                                         "--max-parents", "--forbid", "--require",
                                         "--threads"};
    bool options_done = false;
    for (int a = 1; a < argc; ++a) {
        std::string arg = argv[a];
        if (options_done || arg.size() < 2 || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            print_help();
            if (fflush(stdout) != 0 || ferror(stdout))
                exit(2);
            exit(0);
        }
        if (arg == "--direct") {
            opt.direct = true;
            continue;
        }
        if (arg == "--keep") {
            opt.keep = true;
            continue;
        }
        if (arg == "--quiet") {
            opt.quiet = true;
            continue;
        }
        if (arg == "--missing=drop" || (arg == "--missing" && a + 1 < argc &&
                                        std::string(argv[a + 1]) == "drop")) {
            if (arg == "--missing")
                ++a;
            opt.scorer_args.push_back("--missing=drop");
            continue;
        }
        std::string name = arg, value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        bool known = false;
        for (const char *v : valued)
            known = known || name == v;
        if (!known)
            usage_error("unknown option " + arg);
        if (!has_value) {
            if (a + 1 >= argc)
                usage_error("option " + name + " needs a value");
            value = argv[++a];
        }
        if (name == "--delimiter") {
            if (value == "\\t" || value == "tab")
                opt.delimiter = '\t';
            else if (value.size() == 1)
                opt.delimiter = value[0];
            else
                usage_error("--delimiter takes one character");
        }
        opt.scorer_args.push_back(name);
        opt.scorer_args.push_back(name == "--delimiter" ? std::string(1, opt.delimiter) : value);
    }
    if (positional.size() != 2)
        usage_error("");
    opt.data = positional[0];
    opt.outdir = positional[1];
    return opt;
}

// Folder of this executable: the other programs of the suite live there.
std::string own_folder()
{
    std::vector<char> buf(4096);
    ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (len <= 0)
        stop(2, "/proc/self/exe", strerror(errno));
    std::string path(buf.data(), size_t(len));
    size_t slash = path.find_last_of('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

int main(int argc, char **argv)
{
    // A write beyond the file-size limit fails with EFBIG and is reported
    // instead of SIGXFSZ killing the driver; the stages inherit the setting.
    signal(SIGXFSZ, SIG_IGN);
    options opt = parse_options(argc, argv);
    bin_dir = own_folder();
    progress_on_tty = !opt.quiet && isatty(2);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    return learn_optimal_network(opt);
}
