// learn_optimal_network: the table of stages, the checks between them, and
// the runner that goes through the table.
#include "stages.h"

#include "processes.h"
#include "resources.h"
#include "run_folder.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::string bin_dir; // the driver's folder, set by main

namespace {

bool is_full_chain(const options &opt) { return opt.full_chain; }
bool is_direct(const options &opt) { return !opt.full_chain; }
bool wants_posterior(const options &opt) { return opt.posterior; }
bool plain_drawing(const options &opt) { return !opt.posterior; }
bool wants_bootstrap(const options &opt) { return opt.bootstrap > 0; }
int bootstrap_rounds(const options &opt) { return opt.bootstrap; }

// Under BIC and AIC the scores are no marginal likelihoods: say so.
void after_posterior(run_context &ctx)
{
    for (size_t k = 0; k + 1 < ctx.scoring.size(); ++k)
        if (ctx.scoring[k] == "--score" && ctx.scoring[k + 1] != "bdeu" && !ctx.opt.quiet)
            fprintf(stderr, "\n%s: note: the arc probabilities treat the %s scores as log "
                            "marginal likelihoods, an approximation (exact under bdeu)\n",
                    program, ctx.scoring[k + 1].c_str());
}

uint64_t table_bytes(int n) { return per_family(n, 8); }
uint64_t best_bytes(int n) { return per_family(n, 12); }
uint64_t sink_bytes(int n) { return uint64_t(1) << n; }

uint64_t file_size(const std::string &path)
{
    struct stat st;
    if (fstatat(run.work_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        stop(2, run.work_dir + "/" + path, strerror(errno));
    return uint64_t(st.st_size);
}

// The number of variables and their names, from the description file; then
// the disk and memory the rest of the run needs.
void after_description(run_context &ctx)
{
    ctx.names = read_names(run.work_dir + "/vd");
    ctx.n = int(ctx.names.size());
    if (ctx.n < 1 || ctx.n > max_vars)
        stop(2, run.work_dir + "/vd", "describes " + std::to_string(ctx.n) +
                                           " variables; 1 to 32 are supported");
    check_resources(ctx.n, ctx.opt, 0);
}

// The scorer's output must match the number of variables it described.
void expect_size(const run_context &ctx, const std::string &f, uint64_t want)
{
    uint64_t size = file_size(f);
    if (size != want)
        stop(2, run.work_dir + "/" + f,
             "holds " + std::to_string(size) + " bytes, not the " + std::to_string(want) +
                 " of " + std::to_string(ctx.n) + " variables");
}

void after_table(run_context &ctx) { expect_size(ctx, "res", per_family(ctx.n, 8)); }

void after_local_files(run_context &ctx)
{
    for (int i = 0; i < ctx.n; ++i)
        expect_size(ctx, std::to_string(i), 8 * (uint64_t(1) << (ctx.n - 1)));
}

void after_rating(run_context &ctx)
{
    const std::string score_file = run.work_dir + "/score";
    ctx.score = read_text(score_file);
    char *end = nullptr;
    double value = strtod(ctx.score.c_str(), &end);
    if (end == ctx.score.c_str() || ctx.score.empty() || ctx.score.back() != '\n')
        stop(2, score_file, "rate_graph printed no score");
    if (std::isinf(value) && value < 0)
        stop(2, ctx.opt.data, "the constraints admit no network: the best score is -inf "
                              "(check --forbid, --require and --max-parents)");
    if (std::isnan(value))
        stop(2, ctx.opt.data, "the best score is not a number");
}

// The run, stage by stage.  Inputs deleted after a stage are gone before
// the next one writes, which keeps the disk peak where resources.cpp says.
const std::vector<stage> stage_table = {
    {"compute_family_scores", "--describe", {"{scoring}", "--describe", "{data}", "{dir}"}, "",
     {}, {"vd"}, {}, nullptr, {}, nullptr, after_description, ""},
    // The bootstrap: each round scores a resample of the rows and searches
    // it, leaving only its network; the run's own scores and search follow,
    // so that --keep keeps theirs.
    {"compute_family_scores", "resample {round}/{rounds}",
     {"{scoring}", "--quiet", "--local-files", "--resample", "{seed}:{round}", "{data}",
      "{dir}"},
     "", {},
     {"{i}", "vd"}, {}, table_bytes, {}, wants_bootstrap, after_local_files,
     "bootstrap"},
    {"find_top_families", "resample {round}/{rounds}", {"{n}", "{dir}"}, "", {"{i}"},
     {"{i}.bps", "{i}.bss"}, {}, best_bytes, {"{i}"}, wants_bootstrap, nullptr, "bootstrap"},
    {"solve_leaf_table", "resample {round}/{rounds}", {"{n}", "{dir}", "{dir}/sink"}, "",
     {"{i}.bss"}, {"sink"}, {}, sink_bytes, {"{i}.bss"}, wants_bootstrap, nullptr, "bootstrap"},
    {"trace_leaf_sequence", "resample {round}/{rounds}", {"{n}", "{dir}/sink", "{dir}/order"},
     "", {"sink"}, {"order"}, {}, nullptr, {"sink"}, wants_bootstrap, nullptr, "bootstrap"},
    {"assemble_optimal_graph", "resample {round}/{rounds}",
     {"{n}", "{dir}", "{dir}/order", "{dir}/boot-{round}.net"}, "", {"{i}.bps", "order"},
     {"boot-{round}.net"}, {}, nullptr, {"{i}.bps", "order"}, wants_bootstrap, nullptr,
     "bootstrap"},
    {"average_networks", "",
     {"--threshold", "{threshold}", "{dir}/vd", "{dir}/bootstrap.csv", "{dir}/averaged.txt",
      "{dir}/averaged-labels.csv", "{dir}/boot-{round:bootstrap}.net"},
     "", {"vd", "boot-{round:bootstrap}.net"},
     {"bootstrap.csv", "averaged.txt", "averaged-labels.csv"}, {}, nullptr,
     {"boot-{round:bootstrap}.net"}, wants_bootstrap, nullptr, ""},
    {"compute_family_scores", "", {"{scoring}", "--quiet", "--local-files", "{data}", "{dir}"}, "",
     {}, {"{i}", "vd"}, {}, table_bytes, {}, is_direct, after_local_files, ""},
    {"compute_family_scores", "", {"{scoring}", "--quiet", "{data}", "{dir}"}, "",
     {}, {"res", "vd"}, {}, table_bytes, {}, is_full_chain, after_table, ""},
    {"scatter_family_values", "", {"{n}", "{dir}"}, "",
     {"res"}, {"{i}.slt"}, {}, table_bytes, {"res"}, is_full_chain, nullptr, ""},
    {"flip_family_files", "", {"{n}", "{dir}"}, "",
     {"{i}.slt"}, {"{i}"}, {}, table_bytes, {"{i}.slt"}, is_full_chain, nullptr, ""},
    {"find_top_families", "", {"{n}", "{dir}"}, "",
     {"{i}"}, {"{i}.bps", "{i}.bss"}, {}, best_bytes, {}, nullptr, nullptr, ""},
    {"solve_leaf_table", "", {"{n}", "{dir}", "{dir}/sink"}, "",
     {"{i}.bss"}, {"sink"}, {}, sink_bytes, {"{i}.bss"}, nullptr, nullptr, ""},
    {"trace_leaf_sequence", "", {"{n}", "{dir}/sink", "{dir}/order"}, "",
     {"sink"}, {"order"}, {}, nullptr, {"sink"}, nullptr, nullptr, ""},
    {"assemble_optimal_graph", "", {"{n}", "{dir}", "{dir}/order", "{dir}/network.txt"}, "",
     {"{i}.bps", "order"}, {"network.txt"}, {}, nullptr, {"{i}.bps"}, nullptr, nullptr, ""},
    // Exact posterior arc probabilities: the search's passes with sums for
    // maxima, over the same local score files.
    {"sum_family_subsets", "", {"{n}", "{dir}"}, "", {"{i}"}, {"{i}.lsum"}, {}, table_bytes, {},
     wants_posterior, nullptr, ""},
    {"sum_leaf_tables", "", {"{n}", "{dir}", "{dir}/fwd", "{dir}/bwd"}, "", {"{i}.lsum"},
     {"fwd", "bwd"}, {}, nullptr, {"{i}.lsum"}, wants_posterior, nullptr, ""},
    {"weigh_arcs", "", {"{n}", "{dir}", "{dir}/fwd", "{dir}/bwd", "{dir}/prob"}, "",
     {"{i}", "fwd", "bwd"}, {"prob"}, {}, nullptr, {"fwd", "bwd"}, wants_posterior,
     after_posterior, ""},
    {"write_posterior", "",
     {"--labels", "{dir}/posterior-labels.csv", "--network", "{dir}/network.txt", "{dir}/prob",
      "{dir}/vd", "{dir}/posterior.csv"},
     "", {"prob", "network.txt", "vd"}, {"posterior.csv", "posterior-labels.csv"}, {}, nullptr,
     {"prob"}, wants_posterior, nullptr, ""},
    {"rate_graph", "", {"{dir}/network.txt", "{dir}"}, "{dir}/score",
     {"network.txt", "{i}"}, {"score"}, {}, nullptr, {"{i}"}, nullptr, after_rating, ""},
    {"graph_to_family_lists", "", {"{dir}/network.txt", "{dir}/parents.txt"}, "",
     {"network.txt"}, {"parents.txt"}, {}, nullptr, {}, nullptr, nullptr, ""},
    {"family_lists_to_edges", "", {"{dir}/parents.txt", "{dir}/arcs.txt"}, "",
     {"parents.txt"}, {"arcs.txt"}, {}, nullptr, {}, nullptr, nullptr, ""},
    // The equivalence class: which directions the data decide.
    {"find_equivalence_class", "",
     {"--types", "{dir}/arc_types.txt", "--csv", "{dir}/arcs.csv", "{dir}/network.txt",
      "{dir}/vd"},
     "{dir}/arc_lines", {"network.txt", "vd"}, {"arc_types.txt", "arcs.csv", "arc_lines"}, {},
     nullptr, {}, nullptr, nullptr, ""},
    // The model: probability tables from the rows the scores came from.
    {"fit_parameters", "", {"{scoring}", "--params", "{params}", "{data}", "{dir}/network.txt",
      "{dir}/params.txt"},
     "", {"network.txt"}, {"params.txt"}, {}, nullptr, {}, nullptr, nullptr, ""},
    {"write_model_files", "",
     {"--bif", "{dir}/network.bif", "--xml", "{dir}/network.xml", "{dir}/params.txt"}, "",
     {"params.txt"}, {"network.bif", "network.xml"}, {}, nullptr, {"params.txt"}, nullptr,
     nullptr, ""},
    // The drawing: names made safe for DOT, the graph, then its markers
    // filled (title, undirected reversible arcs).
    {"drawing_names", "", {"{dir}/vd", "{dir}/names"}, "", {"vd"}, {"names"}, {}, nullptr, {},
     nullptr, nullptr, ""},
    // The averaged network of the bootstrap, each arc labelled with its
    // strength.
    {"graph_to_family_lists", "averaged", {"{dir}/averaged.txt", "{dir}/averaged-parents.txt"},
     "", {"averaged.txt"}, {"averaged-parents.txt"}, {}, nullptr, {}, wants_bootstrap, nullptr,
     ""},
    {"family_lists_to_edges", "averaged",
     {"{dir}/averaged-parents.txt", "{dir}/averaged-arcs.txt"}, "", {"averaged-parents.txt"},
     {"averaged-arcs.txt"}, {}, nullptr, {"averaged-parents.txt"}, wants_bootstrap, nullptr, ""},
    {"edges_to_gv", "averaged",
     {"{dir}/names", "{dir}/averaged-arcs.txt", "{dir}/averaged-raw.dot"}, "",
     {"names", "averaged-arcs.txt"}, {"averaged-raw.dot"}, {}, nullptr, {"averaged-arcs.txt"},
     wants_bootstrap, nullptr, ""},
    {"decorate_drawing", "averaged",
     {"--vd", "{dir}/vd", "--labels", "{dir}/averaged-labels.csv", "--data",
      "{dataname}, average of {bootstrap} resamples, arcs of strength >= {threshold}",
      "{dir}/averaged-raw.dot", "{dir}/averaged.dot"},
     "", {"averaged-raw.dot", "vd", "averaged-labels.csv"}, {"averaged.dot"}, {}, nullptr,
     {"averaged-raw.dot", "averaged-labels.csv"}, wants_bootstrap, nullptr, ""},
    {"edges_to_gv", "", {"{dir}/names", "{dir}/arcs.txt", "{dir}/raw.dot"}, "",
     {"names", "arcs.txt"}, {"raw.dot"}, {}, nullptr, {"names"}, nullptr, nullptr, ""},
    {"decorate_drawing", "",
     {"--types", "{dir}/arc_types.txt", "--vd", "{dir}/vd", "--data", "{dataname}", "--score",
      "{score}", "{dir}/raw.dot", "{dir}/network.dot"},
     "", {"raw.dot", "arc_types.txt", "vd"}, {"network.dot"}, {}, nullptr, {"raw.dot"},
     plain_drawing, nullptr, ""},
    // With --posterior every arc is labelled with its probability.
    {"decorate_drawing", "",
     {"--types", "{dir}/arc_types.txt", "--vd", "{dir}/vd", "--labels",
      "{dir}/posterior-labels.csv", "--data", "{dataname}", "--score", "{score}",
      "{dir}/raw.dot", "{dir}/network.dot"},
     "", {"raw.dot", "arc_types.txt", "vd", "posterior-labels.csv"}, {"network.dot"}, {},
     nullptr, {"raw.dot"}, wants_posterior, nullptr, ""},
};

// Groups of stages that repeat, with their number of rounds.
const std::vector<stage_group> stage_groups = {
    {"bootstrap", bootstrap_rounds},
};

bool enabled(const stage &s, const options &opt) { return !s.when || s.when(opt); }

int group_rounds(const std::string &group, const options &opt)
{
    for (const auto &g : stage_groups)
        if (group == g.name)
            return g.rounds(opt);
    stop(2, program, "the stage table names an unknown group " + group);
}

int rounds_of(const stage &s, const options &opt)
{
    return s.group[0] ? group_rounds(s.group, opt) : 1;
}

std::string replace_all(std::string s, const char *key, const std::string &value)
{
    size_t len = strlen(key);
    for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size()))
        s.replace(at, len, value);
    return s;
}

std::string expand(const std::string &pattern, const run_context &ctx, int i = -1)
{
    std::string s = replace_all(pattern, "{n}", std::to_string(ctx.n));
    s = replace_all(s, "{dir}", run.work_dir);
    s = replace_all(s, "{data}", ctx.data);
    s = replace_all(s, "{round}", std::to_string(ctx.round));
    s = replace_all(s, "{rounds}", std::to_string(ctx.rounds));
    s = replace_all(s, "{seed}", ctx.opt.seed);
    s = replace_all(s, "{threshold}", ctx.opt.threshold);
    s = replace_all(s, "{bootstrap}", std::to_string(ctx.opt.bootstrap));
    s = replace_all(s, "{params}", ctx.opt.params);
    s = replace_all(s, "{dataname}", ctx.opt.data == "-" ? "standard input" : ctx.opt.data);
    std::string score = ctx.score;
    while (!score.empty() && (score.back() == '\n' || score.back() == ' '))
        score.pop_back();
    s = replace_all(s, "{score}", score);
    if (i >= 0)
        s = replace_all(s, "{i}", std::to_string(i));
    return s;
}

// A pattern naming every round of a group: the group's name and the place
// of the marker, or false.
bool round_marker(const std::string &p, std::string *group, size_t *at, size_t *len)
{
    *at = p.find("{round:");
    if (*at == std::string::npos)
        return false;
    size_t close = p.find('}', *at);
    if (close == std::string::npos)
        stop(2, program, "the stage table has an unclosed {round: in " + p);
    *group = p.substr(*at + 7, close - *at - 7);
    *len = close + 1 - *at;
    return true;
}

// One pattern of an argument list (with_i false) or a file list: several
// items for {round:G}, and in a file list for {i}.
void expand_into(std::vector<std::string> &out, const std::string &p, const run_context &ctx,
                 bool with_i)
{
    std::string group;
    size_t at, len;
    if (round_marker(p, &group, &at, &len)) {
        const int rounds = group_rounds(group, ctx.opt);
        for (int r = 1; r <= rounds; ++r)
            expand_into(out, std::string(p).replace(at, len, std::to_string(r)), ctx, with_i);
    } else if (!with_i || p.find("{i}") == std::string::npos) {
        out.push_back(expand(p, ctx));
    } else {
        for (int i = 0; i < ctx.n; ++i)
            out.push_back(expand(p, ctx, i));
    }
}

std::vector<std::string> expand_files(const std::vector<std::string> &patterns,
                                      const run_context &ctx)
{
    std::vector<std::string> files;
    for (const auto &p : patterns)
        expand_into(files, p, ctx, true);
    return files;
}

// A fault of the table shows on every run, before any stage starts.
void check_table(const options &opt)
{
    std::vector<std::string> written;
    for (const auto &s : stage_table) {
        if (!enabled(s, opt))
            continue;
        for (const auto &r : s.reads) {
            bool found = false;
            for (const auto &w : written)
                found = found || w == r;
            if (!found)
                stop(2, s.program, "the stage table reads " + r + " before any stage writes it");
        }
        for (const auto &d : s.drop_after) {
            bool found = false;
            for (const auto &r : s.reads)
                found = found || d == r;
            if (!found)
                stop(2, s.program, "the stage table deletes " + d + ", which it does not read");
        }
        // What the rounds of a group leave is named by all its rounds
        // later on.
        for (const auto &w : s.writes) {
            written.push_back(w);
            if (s.group[0])
                written.push_back(
                    replace_all(w, "{round}", std::string("{round:") + s.group + "}"));
        }
    }
}

// The networks of every round are named on one command line: one that
// would not fit is refused before the first round rather than after the
// last.
void check_argument_lists(const run_context &ctx)
{
    const long arg_max = sysconf(_SC_ARG_MAX);
    for (const auto &s : stage_table) {
        if (!enabled(s, ctx.opt))
            continue;
        std::vector<std::string> args;
        for (const auto &a : s.args)
            if (a.find("{round:") != std::string::npos)
                expand_into(args, a, ctx, false);
        uint64_t bytes = 0;
        for (const auto &a : args)
            bytes += a.size() + 1 + sizeof(char *);
        if (arg_max > 0 && bytes > uint64_t(arg_max) / 2)
            stop(2, s.program, "the names of the " + std::to_string(args.size()) +
                                   " networks take " + human_bytes(bytes) +
                                   ", too long for one command line; use fewer resamples or a "
                                   "shorter OUTDIR path");
    }
}

// On a terminal: the line of stage k, over the open line before it (padded
// to cover that one).
void progress_line(int k, int total, const std::string &name, const char *tail)
{
    static size_t open_length = 0;
    std::string line = "[" + std::to_string(k) + "/" + std::to_string(total) + "] " + name +
                       " ... " + tail;
    const bool ends = !line.empty() && line.back() == '\n';
    if (ends)
        line.pop_back();
    if (run.line_open && line.size() < open_length)
        line.append(open_length - line.size(), ' ');
    fprintf(stderr, "\r%s%s", line.c_str(), ends ? "\n" : "");
    run.line_open = !ends;
    open_length = ends ? 0 : line.size();
    fflush(stderr);
}

// Runs one stage as the k-th of total.  Its standard error passes through;
// a failure of the stage ends the run with its status.  On a terminal the
// line of a finished stage of a repeated group, but the last, is written
// over by the next.
void run_one(const stage &s, int k, int total, run_context &ctx, bool line_stays)
{
    const options &opt = ctx.opt;
    const std::string name =
        s.label[0] ? std::string(s.program) + " " + expand(s.label, ctx) : s.program;
    const std::string path = bin_dir + "/" + s.program;
    std::vector<std::string> args;
    for (const auto &a : s.args)
        if (a == "{scoring}")
            args.insert(args.end(), ctx.scoring.begin(), ctx.scoring.end());
        else
            expand_into(args, a, ctx, false);

    const bool tty = !opt.quiet && isatty(2);
    std::vector<std::string> watched;
    for (const auto &f : expand_files(s.progress.empty() ? s.writes : s.progress, ctx))
        watched.push_back(run.work_dir + "/" + f);
    const uint64_t expected = s.expected_bytes && ctx.n > 0 ? s.expected_bytes(ctx.n) : 0;
    if (tty)
        progress_line(k, total, name, "");
    const double start = now_seconds();
    std::string shown;
    auto tick = [&](pid_t child) {
        if (!tty || expected == 0)
            return;
        // A file is counted under its name or, while a program stages it
        // (outputs.h), under its staged name.
        const std::string staged = "." + std::to_string(child) + ".part";
        uint64_t done = 0;
        struct stat st;
        for (const auto &f : watched)
            if (stat(f.c_str(), &st) == 0 || stat((f + staged).c_str(), &st) == 0)
                done += uint64_t(st.st_size);
        if (done > expected)
            done = expected;
        char tail[64];
        snprintf(tail, sizeof tail, "%3.0f%%  %.1f s", 100.0 * double(done) / double(expected),
                 now_seconds() - start);
        if (shown != tail) {
            progress_line(k, total, name, tail);
            shown = tail;
        }
    };
    int status = run_process(path, s.program, args,
                             s.stdout_file.empty() ? "" : expand(s.stdout_file, ctx), s.program,
                             tick);
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!opt.quiet) {
        char tail[96];
        if (ok)
            snprintf(tail, sizeof tail, tty && !line_stays ? "%.1f s" : "%.1f s\n",
                     now_seconds() - start);
        else if (WIFEXITED(status))
            snprintf(tail, sizeof tail, "failed (status %d)\n", WEXITSTATUS(status));
        else
            snprintf(tail, sizeof tail, "failed (signal %d)\n", WTERMSIG(status));
        if (tty)
            progress_line(k, total, name, tail);
        else
            fprintf(stderr, "[%d/%d] %s ... %s", k, total, name.c_str(), tail);
    }
    if (!ok) {
        if (WIFEXITED(status))
            stop_quietly(WEXITSTATUS(status)); // the stage has said what went wrong
        stop(2, path, "terminated by signal " + std::to_string(WTERMSIG(status)));
    }
    if (s.check)
        s.check(ctx);
    if (!opt.keep)
        for (const auto &f : expand_files(s.drop_after, ctx))
            remove_work_file(f);
}

} // namespace

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
        names.push_back(line.substr(0, line.find_first_of("\t\r")));
        pos = end + 1;
    }
    return names;
}

void run_stages(run_context &ctx)
{
    const options &opt = ctx.opt;
    check_table(opt);
    check_argument_lists(ctx);
    int total = 0;
    for (const auto &s : stage_table)
        if (enabled(s, opt))
            total += rounds_of(s, opt);
    int k = 0;
    for (size_t at = 0; at < stage_table.size();) {
        const stage &s = stage_table[at];
        if (!enabled(s, opt)) {
            ++at;
            continue;
        }
        // A group: the consecutive stages of one name, run round by round.
        size_t end = at + 1;
        if (s.group[0])
            while (end < stage_table.size() && strcmp(stage_table[end].group, s.group) == 0)
                ++end;
        const int rounds = rounds_of(s, opt);
        for (int r = 1; r <= rounds; ++r) {
            ctx.round = s.group[0] ? r : 0;
            ctx.rounds = s.group[0] ? rounds : 0;
            for (size_t j = at; j < end; ++j)
                if (enabled(stage_table[j], opt)) {
                    ++k;
                    run_one(stage_table[j], k, total, ctx,
                            !s.group[0] || (r == rounds && j + 1 == end));
                }
        }
        ctx.round = 0;
        ctx.rounds = 0;
        at = end;
    }
}
