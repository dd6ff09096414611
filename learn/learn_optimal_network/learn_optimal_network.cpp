// learn_optimal_network: from a data file to the optimal network in one
// command.  Runs the stages of stages.cpp (the scorer, the search, the
// scoring of the network and the conversions), each program of the suite
// as its own process started from the folder of this executable, in a
// folder of the run's own inside OUTDIR; the results move into OUTDIR only
// when every stage has succeeded.
#include "driver.h"
#include "processes.h"
#include "run_folder.h"
#include "stages.h"

#include <CLI/CLI.hpp>

#include "model_files.h" // the command line of a program of learn/
#include "scoring_options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

const char *const program = "learn_optimal_network";
const char *const usage_line = "Usage: learn_optimal_network [options] DATA OUTDIR\n";
extern std::string bin_dir;

namespace {

// ---- the command line ----------------------------------------------------

const char *const description =
    "Learns the optimal Bayesian network structure of the data set DATA (CSV or\n"
    "TSV, a header row of column names, one sample per row; '-' reads standard\n"
    "input) and writes it into OUTDIR. Every stage of the suite runs as its own\n"
    "process, in a folder of the run's own inside OUTDIR (.run-XXXXXX).\n"
    "Results in OUTDIR: network.txt (parent varset per variable), parents.txt,\n"
    "arcs.txt, arcs.csv (each arc compelled or reversible), network.bif and\n"
    "network.xml (the network with its probability tables), network.dot, and\n"
    "network.svg and network.png when Graphviz dot is on the PATH; with\n"
    "--posterior posterior.csv, with --bootstrap bootstrap.csv, averaged.txt,\n"
    "averaged.dot and averaged.svg. Standard\n"
    "output: the total score, then one 'parent -> child' line per arc, by column\n"
    "name, ' (reversible)' appended where the data leave the direction open.";

const char *const footer =
    "Scoring options go to compute_family_scores. Before the search the disk\n"
    "space of the run's peak and the memory of its largest stage are checked.\n"
    "One run at a time per OUTDIR: a second is refused at the start. Exit\n"
    "status: 0 done, 1 wrong usage, 2 a failure (the failing stage's status and\n"
    "message), 130/143 interrupted. A run that does not finish leaves OUTDIR as\n"
    "it was.";

[[noreturn]] void usage_error(const std::string &why)
{
    if (!why.empty())
        fprintf(stderr, "%s: %s\n", program, why.c_str());
    fputs(usage_line, stderr);
    exit(1);
}

options parse_options(int argc, char **argv)
{
    options opt;
    CLI::App app = tool_command_line(program, description);
    app.footer(std::string("Scoring and reading options (passed to every stage that reads DATA):\n") +
               scoring_options_help + "\n" + footer);
    app.get_formatter()->column_width(26);
    // The scorer's own table of options: the same spellings, checks and
    // statuses as compute_family_scores; they are passed on to every stage
    // that reads the data.
    scoring_settings settings;
    add_scoring_options(app, settings);
    for (CLI::Option *op : app.get_options())
        if (op->get_group() == "Options" && op->get_name() != "--help")
            op->group(""); // listed with their meanings in the footer
    bool direct = false;
    app.add_flag("--full-chain", opt.full_chain,
                 "the whole chain: one score table, then scatter_family_values and "
                 "flip_family_files")->group("Run options");
    app.add_flag("--direct", direct,
                 "local score files straight from the scorer: the default, accepted for old "
                 "scripts")->group("Run options");
    app.add_flag("--keep", opt.keep,
                 "keep the intermediate files (in OUTDIR/work when that name is free)")
        ->group("Run options");
    app.add_flag("--quiet", opt.quiet, "no progress lines on standard error")
        ->group("Run options");
    app.add_option("--params", opt.params,
                   "bayes (default): posterior means under the BDeu prior of --ess; mle: "
                   "relative frequencies")
        ->check(CLI::IsMember({"bayes", "mle"}))->type_name("bayes|mle")->group("Model options");
    app.add_flag("--posterior", opt.posterior,
                 "exact posterior probability of every arc (posterior.csv; the picture's "
                 "arcs labelled with them), under the order-modular structure prior")
        ->group("Model options");
    std::string bootstrap, seed, threshold;
    CLI::Option *bootstrap_option =
        app.add_option("--bootstrap", bootstrap,
                       "B resamples of the rows (1 to 10000; 0: none), each searched exactly: "
                       "arc strengths in bootstrap.csv, the averaged network in averaged.txt "
                       "and averaged.svg")
            ->type_name("B")->group("Model options");
    CLI::Option *seed_option =
        app.add_option("--seed", seed,
                       "with --bootstrap: of the resamples, a whole number (default 1); the "
                       "same seed, the same resamples")
            ->type_name("S")->group("Model options");
    CLI::Option *threshold_option =
        app.add_option("--threshold", threshold,
                       "with --bootstrap: least strength of an arc of the averaged network, in "
                       "(0, 1] (default 0.5)")
            ->type_name("T")->group("Model options");
    app.add_option("DATA", opt.data, "the data file")->required()->type_name("");
    app.add_option("OUTDIR", opt.outdir, "the folder of the results (made when missing)")
        ->required()->type_name("");
    parse_command_line(app, argc, argv, usage_line);
    if (opt.data.empty())
        usage_error("DATA: the argument is empty");
    if (opt.outdir.empty())
        usage_error("OUTDIR: the argument is empty");
    if (direct && opt.full_chain)
        usage_error("--direct and --full-chain: only one route at a time");
    if (bootstrap_option->count() > 0) {
        char *end;
        errno = 0;
        long b = strtol(bootstrap.c_str(), &end, 10);
        if (*end != '\0' || errno != 0 || b < 0 || b > max_resamples ||
            !isdigit((unsigned char)bootstrap[0]))
            usage_error("--bootstrap: expected a whole number from 0 to " +
                        std::to_string(max_resamples));
        opt.bootstrap = int(b);
    }
    if (seed_option->count() > 0) {
        char *end;
        errno = 0;
        unsigned long long x = strtoull(seed.c_str(), &end, 10);
        if (*end != '\0' || errno != 0 || !isdigit((unsigned char)seed[0]))
            usage_error("--seed: expected a whole number from 0 to 18446744073709551615");
        opt.seed = std::to_string(x);
    }
    if (threshold_option->count() > 0) {
        char *end;
        double t = strtod(threshold.c_str(), &end);
        if (*end != '\0' || !(isdigit((unsigned char)threshold[0]) || threshold[0] == '.') ||
            !(t > 0.0 && t <= 1.0))
            usage_error("--threshold: expected a number in (0, 1]");
        // As few digits as give the same number back (for the drawing's title).
        char buf[40];
        for (int digits = 1; digits <= 17; ++digits) {
            snprintf(buf, sizeof buf, "%.*g", digits, t);
            if (strtod(buf, nullptr) == t)
                break;
        }
        opt.threshold = buf;
    }
    if (opt.bootstrap == 0 && (seed_option->count() > 0 || threshold_option->count() > 0))
        usage_error(std::string(seed_option->count() == 0 ? "--threshold" : "--seed") +
                    ": only with --bootstrap B, B >= 1");
    opt.scorer_args = scoring_arguments(settings);
    opt.forbid = settings.forbid;
    opt.require = settings.require;
    return opt;
}

// ---- the pictures ----------------------------------------------------------

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

// Draws network.svg and network.png from network.dot when Graphviz is there;
// a picture dot cannot draw is left out with a note.
void draw_pictures(const options &opt)
{
    std::string dot = find_on_path("dot");
    if (dot.empty()) {
        if (!opt.quiet)
            fprintf(stderr, "%s: note: Graphviz dot is not on the PATH; network.svg%s and "
                            "network.png skipped\n", program,
                    opt.bootstrap > 0 ? ", averaged.svg" : "");
        return;
    }
    double start = now_seconds();
    // The network in both kinds; the bootstrap's average as SVG.
    const std::pair<const char *, const char *> pictures[] = {
        {"network", "svg"}, {"network", "png"}, {"averaged", "svg"}};
    std::string drawn;
    for (const auto &[base, kind] : pictures) {
        std::string src = run.work_dir + "/" + base + ".dot";
        if (strcmp(base, "averaged") == 0 && opt.bootstrap == 0)
            continue;
        std::string name = std::string(base) + "." + kind, target = run.work_dir + "/" + name;
        int status = run_process(dot, dot.c_str(), {std::string("-T") + kind, src, "-o", target},
                                 "", "dot", nullptr);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !picture_complete(target, kind)) {
            remove_work_file(name);
            fprintf(stderr, "%s: %s: dot could not draw it; %s skipped\n", program,
                    target.c_str(), name.c_str());
        }
        drawn += (drawn.empty() ? "" : ", ") + name;
    }
    if (!opt.quiet)
        fprintf(stderr, "[dot] %s ... %.1f s\n", drawn.c_str(), now_seconds() - start);
}

// ---- the run -------------------------------------------------------------

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

int learn_optimal_network(const options &opt)
{
    open_run_folder(opt);
    run_context ctx{opt, readable_copy(opt.data, "data"), opt.scorer_args, 0, {}, 0, 0, ""};
    // Rule files that are not regular files are read once, like DATA.
    for (size_t k = 0; k + 1 < ctx.scoring.size(); ++k) {
        if (ctx.scoring[k] == "--forbid")
            ctx.scoring[k + 1] = readable_copy(ctx.scoring[k + 1], "forbid");
        else if (ctx.scoring[k] == "--require")
            ctx.scoring[k + 1] = readable_copy(ctx.scoring[k + 1], "require");
    }
    run_stages(ctx);
    draw_pictures(opt);

    // What goes to standard output: the score, then the arcs by name, each
    // marked when its direction is not decided by the data.
    std::string report = ctx.score + read_text(run.work_dir + "/arc_lines");

    std::string kept = publish_results(opt.keep);
    if (!opt.quiet) {
        // The results this run made, network.txt first.
        std::string made;
        for (int k = nof_result_names - 1; k >= 0; --k)
            if (access((run.out_dir + "/" + result_names[k]).c_str(), F_OK) == 0 &&
                (opt.posterior || strcmp(result_names[k], "posterior.csv") != 0) &&
                (opt.bootstrap > 0 || strncmp(result_names[k], "averaged.", 9) != 0) &&
                (opt.bootstrap > 0 || strcmp(result_names[k], "bootstrap.csv") != 0))
                made += std::string(made.empty() ? "" : ", ") + result_names[k];
        fprintf(stderr, "%s: results in %s/ (%s)\n", program, run.out_dir.c_str(), made.c_str());
        if (!kept.empty())
            fprintf(stderr, "%s: intermediate files in %s/\n", program, kept.c_str());
    }
    if (fputs(report.c_str(), stdout) == EOF || fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: standard output: %s\n", program, strerror(errno));
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    install_signal_handlers();
    options opt = parse_options(argc, argv);
    bin_dir = own_folder();
    return learn_optimal_network(opt);
}
