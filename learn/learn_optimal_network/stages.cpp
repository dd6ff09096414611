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
void after_scores(run_context &ctx)
{
    const int n = ctx.n;
    auto expect = [&](const std::string &f, uint64_t want) {
        uint64_t size = file_size(f);
        if (size != want)
            stop(2, run.work_dir + "/" + f,
                 "holds " + std::to_string(size) + " bytes, not the " + std::to_string(want) +
                     " of " + std::to_string(n) + " variables");
    };
    if (ctx.opt.full_chain)
        expect("res", per_family(n, 8));
    else
        for (int i = 0; i < n; ++i)
            expect(std::to_string(i), 8 * (uint64_t(1) << (n - 1)));
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
    {"compute_family_scores", "", {"{scoring}", "--local-files", "{data}", "{dir}"}, "",
     {}, {"{i}", "vd"}, {}, table_bytes, {}, is_direct, after_scores, ""},
    {"compute_family_scores", "", {"{scoring}", "{data}", "{dir}"}, "",
     {}, {"res", "vd"}, {}, table_bytes, {}, is_full_chain, after_scores, ""},
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

// Groups of stages that repeat; none yet.
const std::vector<stage_group> stage_groups = {};

bool enabled(const stage &s, const options &opt) { return !s.when || s.when(opt); }

int rounds_of(const stage &s, const options &opt)
{
    if (!s.group[0])
        return 1;
    for (const auto &g : stage_groups)
        if (strcmp(g.name, s.group) == 0)
            return g.rounds(opt);
    stop(2, s.program, std::string("the stage table names an unknown group ") + s.group);
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

std::vector<std::string> expand_files(const std::vector<std::string> &patterns,
                                      const run_context &ctx)
{
    std::vector<std::string> files;
    for (const auto &p : patterns)
        if (p.find("{i}") == std::string::npos)
            files.push_back(expand(p, ctx));
        else
            for (int i = 0; i < ctx.n; ++i)
                files.push_back(expand(p, ctx, i));
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
        written.insert(written.end(), s.writes.begin(), s.writes.end());
    }
}

void progress_line(int k, int total, const std::string &name, const char *tail)
{
    fprintf(stderr, "\r[%d/%d] %s ... %s", k, total, name.c_str(), tail);
    run.line_open = tail[0] == '\0' || tail[strlen(tail) - 1] != '\n';
    fflush(stderr);
}

// Runs one stage as the k-th of total.  Its standard error passes through;
// a failure of the stage ends the run with its status.
void run_one(const stage &s, int k, int total, run_context &ctx)
{
    const options &opt = ctx.opt;
    const std::string name = s.label[0] ? std::string(s.program) + " " + s.label : s.program;
    const std::string path = bin_dir + "/" + s.program;
    std::vector<std::string> args;
    for (const auto &a : s.args)
        if (a == "{scoring}")
            args.insert(args.end(), ctx.scoring.begin(), ctx.scoring.end());
        else
            args.push_back(expand(a, ctx));

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
            snprintf(tail, sizeof tail, tty ? "%.1f s          \n" : "%.1f s\n",
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
        for (int r = 0; r < rounds; ++r) {
            ctx.round = r;
            for (size_t j = at; j < end; ++j)
                if (enabled(stage_table[j], opt))
                    run_one(stage_table[j], ++k, total, ctx);
        }
        ctx.round = 0;
        at = end;
    }
}
