// Faults under the scorer and the one-command driver: full disks, a
// file-size limit, read-only and impossible output folders, deleted and cut
// inputs, and the driver stopped by SIGINT or SIGTERM, or by a disk that
// fills up, in each of its stages.
//
// The driver starts the other programs from its own folder, so a test can
// lay out a folder of the suite in which one stage is a small shell script
// around the real program: it marks that the stage is running and then
// waits, or fills the disk first.  The driver itself is not changed.
#pragma GCC diagnostic ignored "-Wrestrict"   // g++ 12 false positive in testutil.h
#include <chrono>
#include <map>
#include <csignal>
#include <random>
#include <thread>

#include "faults.h"

using namespace faults;

namespace {

const char *const stage_names[] = {
    "compute_family_scores", "scatter_family_values", "flip_family_files",
    "find_top_families",     "solve_leaf_table",      "trace_leaf_sequence",
    "assemble_optimal_graph", "rate_graph",           "graph_to_family_lists",
    "family_lists_to_edges", "find_equivalence_class", "fit_parameters",
    "write_model_files",     "drawing_names",         "edges_to_gv", "decorate_drawing"};

const char *const result_names[] = {"network.txt", "parents.txt", "arcs.txt",
                                    "arcs.csv",    "network.bif", "network.xml",
                                    "network.dot", "network.svg", "network.png"};

// Samples of n yes/no columns, each column mostly a copy of its neighbour.
std::string yes_no_csv(int n, int rows, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string csv;
    for (int i = 0; i < n; ++i)
        csv += (i ? ",v" : "v") + std::to_string(i);
    csv += "\n";
    for (int r = 0; r < rows; ++r) {
        bool prev = rng() % 2;
        for (int i = 0; i < n; ++i) {
            bool x = i > 0 && rng() % 4 != 0 ? prev : rng() % 2;
            csv += (i ? "," : "") + std::string(x ? "yes" : "no");
            prev = x;
        }
        csv += "\n";
    }
    return csv;
}

std::string shell_script(const std::string &body)
{
    return "#!/bin/sh\n" + body;
}

void write_script(const std::string &path, const std::string &body)
{
    write_file(path, shell_script(body));
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

// A folder of the suite (hard links to the built programs, copies where a
// link cannot be made) in which program `wrapped` is the shell script body
// around the real one, whose path is in $REAL.
std::string suite_folder(const std::string &dir, const std::string &wrapped,
                         const std::string &body)
{
    std::string folder = dir + "/suite";
    fs::create_directories(folder);
    std::vector<std::string> programs(std::begin(stage_names), std::end(stage_names));
    programs.push_back("learn_optimal_network");
    for (const auto &p : programs) {
        std::string to = folder + "/" + p;
        if (p == wrapped) {
            write_script(to, "REAL=" + shell_quote(bin(p)) + "\n" + body);
            continue;
        }
        std::error_code ec;
        fs::create_hard_link(bin(p), to, ec);
        if (ec)
            fs::copy_file(bin(p), to);
    }
    return folder;
}

// Graphviz is found on the PATH: the environment entry that puts first a
// folder in d with a script dot of the two parts, the real PATH set
// between them for the real dot.
std::pair<std::string, std::string> dot_on_path(const std::string &d, const std::string &before,
                                                const std::string &after)
{
    fs::create_directories(d + "/path");
    std::string real = std::string(getenv("PATH") ? getenv("PATH") : "");
    write_script(d + "/path/dot", before + "PATH=" + shell_quote(real) + after);
    return {"PATH", d + "/path:" + real};
}

struct driver_run {
    int status = -1;
    std::string err;
};

// Runs the driver of folder with args, in a process group of its own and
// with the extra environment.  When ready is given, waits for that file,
// then sends sig to the driver (or, with group set, to the whole group, as
// a Ctrl-C on a terminal does).  Whatever is left of the group afterwards is
// killed.
driver_run drive(const std::string &folder, const std::vector<std::string> &args,
                 const std::vector<std::pair<std::string, std::string>> &env,
                 const std::string &ready = "", int sig = 0, bool group = false,
                 long long fsize_limit = -1)
{
    run_options opt;
    opt.env = env;
    opt.own_group = true;
    opt.fsize_limit = fsize_limit;
    opt.stderr_file = std::string(TEST_TMP) + "/drive." + std::to_string(getpid()) + ".err";
    pid_t pid = start_path(folder + "/learn_optimal_network", args, opt);
    driver_run r;
    int raw = 0;
    waited w = waited::timed_out;
    if (!ready.empty()) {
        w = wait_until(pid, [&] { return fs::exists(ready); }, 50, &raw);
        if (w == waited::ended)
            ADD_FAILURE() << "the run ended before " << ready << " appeared";
        if (w == waited::timed_out)
            ADD_FAILURE() << ready << " never appeared";
        if (w != waited::ended)
            kill(group ? -pid : pid, sig);
    }
    if (w != waited::ended) {
        // The driver must end soon after the signal; SIGKILL otherwise.
        if (wait_until(pid, [] { return false; }, 55, &raw) == waited::timed_out) {
            ADD_FAILURE() << "the driver did not end";
            kill(-pid, SIGKILL);
            waitpid(pid, &raw, 0);
        }
    }
    kill(-pid, SIGKILL);   // a stage left behind would be a fault of its own
    r.status = exit_code(raw);
    r.err = read_file(opt.stderr_file);
    fs::remove(opt.stderr_file);
    return r;
}

// What a user could take for a finished result: any result file, or a
// work folder with the stages' files (OUTDIR/work or the run's own).
void expect_nothing_finished(const std::string &out, const std::string &what)
{
    for (const char *name : result_names)
        EXPECT_FALSE(fs::exists(out + "/" + name)) << what << ": " << name << " left behind";
    EXPECT_FALSE(fs::exists(out + "/work")) << what << ": work folder left behind";
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(out, ec))
        EXPECT_NE(e.path().filename().string().rfind(".run-", 0), 0u)
            << what << ": " << e.path() << " left behind";
}

// The run as the record takes it; last_line: only the last line of its
// standard error, after the progress lines.
result as_result(const driver_run &d, bool last_line = false)
{
    std::string err = d.err;
    if (last_line && err.size() > 1)
        err = err.substr(err.rfind('\n', err.size() - 2) + 1);
    return {d.status, "", err};
}

} // namespace

// Every stage, and the Graphviz drawing after them, stopped while it runs:
// the stage has written its outputs and waits.  SIGINT goes to the whole
// process group (a Ctrl-C), SIGTERM to the driver alone, which passes it
// on.  The run ends with 130 or 143, says so, and leaves no result.
TEST(FaultsLearnDriver, InterruptedInEveryStage)
{
    std::string dir = scratch_dir();
    std::string data = dir + "/data.csv";
    write_file(data, yes_no_csv(4, 60, 1));
    std::vector<std::string> stages(std::begin(stage_names), std::end(stage_names));
    const bool have_dot = std::system("command -v dot >/dev/null 2>&1") == 0;
    if (have_dot)
        stages.push_back("dot");
    for (const auto &stage : stages) {
        for (int sig : {SIGINT, SIGTERM}) {
            const std::string signame = sig == SIGINT ? "SIGINT" : "SIGTERM";
            SCOPED_TRACE(stage + ", " + signame);
            std::string d = dir + "/" + stage + "." + signame;
            fs::create_directories(d);
            std::string ready = d + "/running";
            const std::string body = "\"$REAL\" \"$@\" || exit $?\n: > " + shell_quote(ready) +
                                     "\nexec sleep 50\n";
            std::vector<std::pair<std::string, std::string>> env;
            std::string folder;
            if (stage == "dot") {
                // A dot that draws, then waits.
                folder = suite_folder(d, "", "");
                env.push_back(dot_on_path(d, "", " dot \"$@\" || exit $?\n: > " +
                                                     shell_quote(ready) + "\nexec sleep 50\n"));
            } else {
                folder = suite_folder(d, stage, body);
            }
            // A result of an earlier run in OUTDIR stays as it was; --keep
            // keeps nothing of a run that did not finish.  The whole chain,
            // so that every stage runs.
            std::string out = d + "/out";
            fs::create_directories(out);
            write_file(out + "/network.txt", "0\n0\n0\n0\n");
            std::vector<std::string> args = {"--full-chain", "--threads", "1", data, out};
            if (sig == SIGTERM)
                args.insert(args.begin(), {"--keep", "--quiet"});
            driver_run r = drive(folder, args, env, ready, sig, sig == SIGINT);
            record("learn_optimal_network", "stage " + stage,
                   signame + (sig == SIGINT ? " to the process group" : " to the driver"),
                   as_result(r, true));
            EXPECT_EQ(r.status, 128 + sig) << r.err;
            EXPECT_NE(r.err.find("learn_optimal_network: interrupted (" + signame + ") during " +
                                 stage + "; no result kept\n"),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(read_file(out + "/network.txt"), "0\n0\n0\n0\n") << stage;
            fs::remove(out + "/network.txt");
            expect_nothing_finished(out, stage);
            EXPECT_TRUE(fs::is_empty(out)) << stage;
        }
    }
    // tests/needs.sh installs Graphviz: without it the drawing went untested.
    EXPECT_TRUE(have_dot) << "Graphviz dot is not on the PATH: the drawing was not interrupted";
}

// The disk fills up just as a stage starts (a wrapper fills it, then runs
// the real program): the run fails with that stage's message and status,
// and leaves no result.  Past the last stage only the pictures are left
// out, with a note, and the run succeeds.
TEST(FaultsLearnDriver, DiskFillsInEveryStage)
{
    std::string dir = scratch_dir();
    std::string data = dir + "/data.csv";
    write_file(data, yes_no_csv(4, 60, 2));
    std::vector<std::string> stages(std::begin(stage_names), std::end(stage_names));
    const bool have_dot = std::system("command -v dot >/dev/null 2>&1") == 0;
    EXPECT_TRUE(have_dot) << "Graphviz dot is not on the PATH: the drawing goes untested";
    if (have_dot)
        stages.push_back("dot");
    for (const auto &stage : stages) {
        SCOPED_TRACE(stage);
        std::string d = dir + "/" + stage;
        fs::create_directories(d);
        std::string disk_dir = d + "/disk";
        scratch_fs disk(disk_dir, 4 << 20);   // above the driver's 1 MiB margin
        if (!disk.mounted)
            GTEST_SKIP() << "no small file system to fill: " << disk.why;
        const std::string fill = "cat /dev/zero > " + shell_quote(disk_dir + "/.filler") +
                                 " 2>/dev/null\n";
        std::vector<std::pair<std::string, std::string>> env;
        std::string folder;
        if (stage == "dot") {
            folder = suite_folder(d, "", "");
            env.push_back(dot_on_path(d, fill, " exec dot \"$@\"\n"));
        } else {
            folder = suite_folder(d, stage, fill + "exec \"$REAL\" \"$@\"\n");
        }
        std::string out = disk_dir + "/out";
        driver_run r = drive(folder, {"--quiet", "--full-chain", "--threads", "1", data, out}, env);
        if (stage == "dot") {
            record("learn_optimal_network", "stage dot", "disk fills", as_result(r),
                   "the pictures are optional: left out with a note");
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.err.find("network.svg skipped"), std::string::npos) << r.err;
            EXPECT_FALSE(fs::exists(out + "/network.svg"));
            EXPECT_FALSE(fs::exists(out + "/network.png"));
            EXPECT_TRUE(fs::exists(out + "/network.txt"));
            continue;
        }
        record("learn_optimal_network", "stage " + stage, "disk fills", as_result(r));
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.rfind(stage + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        expect_nothing_finished(out, stage);
        EXPECT_FALSE(fs::exists(out)) << "the folder the run made";
    }
}

// Output folders the driver cannot use, a disk too small for the run, a
// file-size limit, a full standard output, and the data file deleted.
TEST(FaultsLearnDriver, OutputsThatCannotBeWritten)
{
    std::string dir = scratch_dir();
    std::string data = dir + "/data.csv";
    write_file(data, yes_no_csv(4, 60, 3));
    const std::string driver = "learn_optimal_network";
    const std::vector<std::string> quiet = {"--quiet", "--threads", "1"};
    auto args = [&](const std::string &d, const std::string &out) {
        std::vector<std::string> a = quiet;
        a.push_back(d);
        a.push_back(out);
        return a;
    };

    // A missing OUTDIR is made, with its parents: by design.
    result r = run_with(driver, args(data, dir + "/new/deep/out"), {});
    record(driver, "OUTDIR", "output folder missing", r, "made, with its parents");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir + "/new/deep/out/network.txt"));

    // OUTDIR under a regular file, or a regular file itself.
    write_file(dir + "/plain", "x");
    r = run_with(driver, args(data, dir + "/plain/out"), {});
    expect_failure(r, driver, "OUTDIR", "output folder under a regular file", "not a directory");
    r = run_with(driver, args(data, dir + "/plain"), {});
    expect_failure(r, driver, "OUTDIR", "output folder is a regular file", "not a directory");
    EXPECT_EQ(read_file(dir + "/plain"), "x");

    // Every result file and the scorer's output are far above the limit of
    // 64 bytes, and the score table is written first (the whole chain: the
    // local score files are 64 bytes each).
    run_options limited;
    limited.fsize_limit = 64;
    std::vector<std::string> chain = args(data, dir + "/limited");
    chain.insert(chain.begin(), "--full-chain");
    r = run_with(driver, chain, limited);
    expect_failure(r, driver, "OUTDIR", "file-size limit (RLIMIT_FSIZE)", "File too large",
                   "compute_family_scores");
    expect_nothing_finished(dir + "/limited", "file-size limit");

    if (fs::is_character_file("/dev/full")) {
        r = run_with(driver, args(data, dir + "/stdout_full"), stdout_to("/dev/full"));
        expect_failure(r, driver, "standard output", "full device (/dev/full)",
                       "No space left on device");
    }

    r = run_with(driver, args(dir + "/deleted.csv", dir + "/gone"), {});
    expect_failure(r, driver, "DATA", "deleted", "No such file or directory");
    expect_nothing_finished(dir + "/gone", "deleted data");

    scratch_fs small(dir + "/small", 64 << 10);
    if (!small.mounted)
        GTEST_SKIP() << "no small or read-only file system: " << small.why;
    r = run_with(driver, args(data, dir + "/small/out"), {});
    expect_failure(r, driver, "OUTDIR", "disk too small (64 KiB)", "not enough disk space");
    EXPECT_EQ(r.err.find("[1/11]"), std::string::npos) << "refused before the first stage";
    expect_nothing_finished(dir + "/small/out", "small disk");

    scratch_fs ro(dir + "/ro", 1 << 20);
    ASSERT_TRUE(ro.mounted) << ro.why;
    fs::create_directories(dir + "/ro/out");
    ASSERT_TRUE(ro.remount_read_only()) << ro.why;
    r = run_with(driver, args(data, dir + "/ro/out"), {});
    expect_failure(r, driver, "OUTDIR", "output folder read-only", "Read-only file system");
}

namespace {

// Everything under root (links not followed): path, then the contents, the
// link's target or "dir"; the run's own folders (".run-") left out.
std::map<std::string, std::string> tree_of(const std::string &root)
{
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), root).string();
        if (rel.rfind(".run-", 0) == 0) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink())
            tree[rel] = "link:" + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[rel] = "dir";
        else
            tree[rel] = read_file(it->path().string());
    }
    return tree;
}

} // namespace

// OUTDIR and the inputs: a run changes in OUTDIR only the result names, and
// only when it succeeds; it writes in a folder of its own, follows no link
// there, refuses a result name that is a folder or one of its inputs
// before doing anything, and holds OUTDIR against a second run.  DATA that
// is a pipe or standard input is read once.
TEST(FaultsLearnDriver, FileSafety)
{
    std::string dir = scratch_dir();
    std::string data = dir + "/data.csv";
    write_file(data, yes_no_csv(4, 60, 7));
    const std::string driver = "learn_optimal_network";
    auto quiet = [](std::vector<std::string> a) {
        a.insert(a.begin(), {"--quiet", "--threads", "1"});
        return a;
    };
    result r = run_with(driver, quiet({data, dir + "/ref"}), {});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string net = read_file(dir + "/ref/network.txt");

    // User files under the names a run writes in its work folder, in OUTDIR
    // and in OUTDIR/work, and OUTDIR/work as a link to a folder elsewhere.
    std::string own = dir + "/own", linked = dir + "/linked", elsewhere = dir + "/elsewhere";
    for (const std::string &d : {own, own + "/work", elsewhere, linked})
        for (const char *name : {"0", "vd", "res", "0.bps", "sink", "score", "user.txt"})
            fs::create_directories(d), write_file(d + "/" + name, std::string("mine: ") + name);
    fs::create_directory_symlink(elsewhere, linked + "/work");
    const auto there = tree_of(elsewhere);
    for (const std::string &out : {own, linked}) {
        SCOPED_TRACE(out);
        const auto before = tree_of(out);
        for (const std::vector<std::string> &args :
             {quiet({dir + "/missing.csv", out}), quiet({data, out}), quiet({"--keep", data, out})}) {
            r = run_with(driver, args, {});
            auto after = tree_of(out);
            for (const char *name : result_names)
                after.erase(name);
            EXPECT_EQ(after, before);
            EXPECT_EQ(tree_of(elsewhere), there);
        }
        EXPECT_EQ(read_file(out + "/network.txt"), net);
    }

    // Refused before anything is made: an input under a result name, a
    // result name that is a folder, a missing DATA, an OUTDIR another run
    // holds.
    std::string out = dir + "/out";
    fs::create_directories(out);
    write_file(out + "/network.txt", read_file(data));
    write_file(out + "/arcs.txt", "v0,v1\n");
    const auto before = tree_of(out);
    auto refused = [&](const std::vector<std::string> &args, const std::string &fault,
                       const std::string &reason) {
        result got = run_with(driver, quiet(args), {});
        expect_failure(got, driver, "OUTDIR", fault, reason);
        EXPECT_EQ(tree_of(out), before) << fault;
    };
    refused({out + "/network.txt", out}, "DATA is a result name", "is DATA of this run");
    refused({"--forbid", out + "/arcs.txt", data, out}, "--forbid file is a result name",
            "is the --forbid file");
    fs::remove(out + "/network.txt");
    fs::remove(out + "/arcs.txt");
    fs::create_directories(out + "/network.svg");
    const auto with_folder = tree_of(out);
    r = run_with(driver, quiet({data, out}), {});
    expect_failure(r, driver, "OUTDIR", "a result name is a folder", "not a regular file");
    EXPECT_EQ(tree_of(out), with_folder);
    fs::remove(out + "/network.svg");
    r = run_with(driver, quiet({dir + "/missing.csv", dir + "/new/out"}), {});
    expect_failure(r, driver, "DATA", "missing", "No such file or directory");
    EXPECT_FALSE(fs::exists(dir + "/new"));

    // Two runs at once: the first waits inside its search until told to go
    // on; the second is refused at the start and changes nothing.
    std::string ready = dir + "/ready", go = dir + "/go";
    std::string folder = suite_folder(dir, "find_top_families",
                                      "\"$REAL\" \"$@\" || exit $?\n: > " + shell_quote(ready) +
                                          "\nwhile [ ! -e " + shell_quote(go) +
                                          " ]; do sleep 0.01; done\n");
    pid_t pid = start_path(folder + "/learn_optimal_network", {"--quiet", data, out});
    EXPECT_EQ(wait_until(pid, [&] { return fs::exists(ready); }, 50), waited::ready)
        << "the first run never reached its search";
    const auto during = tree_of(out);
    r = run_with(driver, quiet({data, out}), {});
    expect_failure(r, driver, "OUTDIR", "a second run at once", "another learn_optimal_network run");
    EXPECT_EQ(tree_of(out), during);
    write_file(go, "");
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(out + "/network.txt"), net);

    // DATA through a named pipe and through standard input ("-").
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { write_file(fifo, read_file(data)); });
    r = run_with(driver, quiet({fifo, dir + "/piped"}), {});
    writer.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/piped/network.txt"), net);
    run_options from_stdin;
    from_stdin.stdin_file = data;
    r = run_with(driver, quiet({"-", dir + "/stdin"}), from_stdin);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/stdin/network.txt"), net);
}

// ---- the scorer ----------------------------------------------------------

namespace {

const std::string scorer = "compute_family_scores";

std::vector<std::string> scorer_args(const std::vector<std::string> &extra,
                                     const std::string &data, const std::string &out)
{
    std::vector<std::string> a = {"--threads", "1"};
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(data);
    a.push_back(out);
    return a;
}

// The outputs of a failed scorer run: none of them, under their names or
// staged ("<name>.<pid>.part").
void expect_no_scores(const std::string &out, int n, const std::string &what)
{
    for (const std::string base : {"res", "vd"})
        EXPECT_FALSE(fs::exists(out + "/" + base)) << what << ": " << base;
    for (int i = 0; i < n; ++i)
        EXPECT_FALSE(fs::exists(out + "/" + std::to_string(i))) << what << ": " << i;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(out, ec))
        EXPECT_NE(e.path().extension(), ".part") << what << ": " << e.path() << " left behind";
}

} // namespace

TEST(FaultsScorer, FullDiskFileSizeLimitAndFolders)
{
    std::string dir = scratch_dir();
    const int n = 10;   // a score table of 40 KiB, local score files of 4 KiB
    std::string data = dir + "/data.csv";
    write_file(data, yes_no_csv(n, 40, 4));
    auto mode_of = [](bool local) {
        return local ? std::vector<std::string>{"--local-files"} : std::vector<std::string>{};
    };
    auto target_of = [](bool local) { return local ? "local score files" : "score table"; };
    for (bool local : {false, true}) {
        run_options limited;
        limited.fsize_limit = 2048;   // above the vd file, below every score file
        result r = run_with(scorer, scorer_args(mode_of(local), data, dir + "/limited"), limited);
        expect_failure(r, scorer, target_of(local), "file-size limit (RLIMIT_FSIZE)",
                       "File too large");
        expect_no_scores(dir + "/limited", n, "file-size limit");
    }
    // A missing DIRNAME is made: by design.
    result r = run_with(scorer, scorer_args({}, data, dir + "/made/here"), {});
    record(scorer, "DIRNAME", "output folder missing", r, "made, with its parents");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::file_size(dir + "/made/here/res"), uint64_t(n) * 512 * 8);
    write_file(dir + "/plain", "x");
    r = run_with(scorer, scorer_args({}, data, dir + "/plain/out"), {});
    expect_failure(r, scorer, "DIRNAME", "output folder under a regular file", "Not a directory");

    for (bool local : {false, true}) {
        for (uint64_t room : {uint64_t(0), uint64_t(4096)}) {
            std::string d = dir + "/disk" + std::to_string(local) + "." + std::to_string(room);
            scratch_fs disk(d, 1 << 20);
            if (!disk.mounted)
                GTEST_SKIP() << "no small file system for a full disk: " << disk.why;
            fs::create_directories(d + "/out");
            disk.fill(room);
            result r = run_with(scorer, scorer_args(mode_of(local), data, d + "/out"), {});
            expect_failure(r, scorer, room ? target_of(local) : "variable-description file",
                           room ? "disk fills mid-write" : "disk full",
                           "No space left on device");
            expect_no_scores(d + "/out", n, "full disk");
        }
    }
    scratch_fs ro(dir + "/ro", 1 << 20);
    if (!ro.mounted)
        GTEST_SKIP() << "no read-only file system: " << ro.why;
    fs::create_directories(dir + "/ro/out");
    ASSERT_TRUE(ro.remount_read_only()) << ro.why;
    r = run_with(scorer, scorer_args({}, data, dir + "/ro/out"), {});
    expect_failure(r, scorer, "DIRNAME", "output folder read-only", "Read-only file system");
    r = run_with(scorer, scorer_args({}, data, dir + "/ro/new"), {});
    expect_failure(r, scorer, "DIRNAME", "output folder missing on a read-only disk",
                   "Read-only file system");
}

namespace {

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    for (;;) {
        size_t end = s.find(sep, pos);
        parts.push_back(s.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos)
            return parts;
        pos = end + 1;
    }
}

// The variable-description file of a cut CSV of plain fields, worked out
// here, or "" when the cut text is not a valid data set: a row short of
// fields, an empty last field, or no row at all.
std::string vd_of(const std::string &text)
{
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.size() < 2 || text.find('\n') == std::string::npos)
        return "";
    std::vector<std::string> names = split(lines[0], ',');
    std::vector<std::vector<std::string>> labels(names.size());
    for (size_t l = 1; l < lines.size(); ++l) {
        std::vector<std::string> fields = split(lines[l], ',');
        if (fields.size() != names.size())
            return "";
        for (size_t c = 0; c < fields.size(); ++c) {
            if (fields[c].empty())
                return "";
            if (std::find(labels[c].begin(), labels[c].end(), fields[c]) == labels[c].end())
                labels[c].push_back(fields[c]);
        }
    }
    std::string vd;
    for (size_t c = 0; c < names.size(); ++c) {
        vd += names[c] + "\t" + std::to_string(labels[c].size());
        for (const auto &l : labels[c])
            vd += "\t" + l;
        vd += "\n";
    }
    return vd;
}

} // namespace

// SIGINT or SIGTERM while the local score files are written: the scorer
// ends by that signal and removes what it had staged.
TEST(FaultsScorer, SignalRemovesStagedOutputs)
{
    std::string dir = scratch_dir();
    const int n = 20;   // 20 local score files of 4 MiB, staged until the last is written
    std::string data = dir + "/data.csv";
    write_file(data, yes_no_csv(n, 200, 6));
    for (int sig : {SIGINT, SIGTERM}) {
        const std::string out = dir + "/out" + std::to_string(sig);
        int raw = 0;
        // On a busy machine the scorer may finish all its writes before the
        // signal reaches it; then it is simply run again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            fs::remove_all(out);
            pid_t pid = start_path(bin(scorer), scorer_args({"--local-files"}, data, out));
            const std::string staged = out + "/0." + std::to_string(pid) + ".part";
            ASSERT_EQ(wait_until(pid, [&] { return fs::exists(staged); }, 50, &raw),
                      waited::ready)
                << staged << " never appeared; status " << exit_code(raw);
            kill(pid, sig);
            waitpid(pid, &raw, 0);
            if (exit_code(raw) != 0)
                break;
        }
        EXPECT_EQ(exit_code(raw), 128 + sig);
        expect_no_scores(out, n, "signal " + std::to_string(sig));
        EXPECT_TRUE(fs::is_empty(out));
    }
}

// The data file cut at every byte: a cut at the end of a row, or inside the
// last field of a row, is a shorter data set and scores as one; any other
// cut names the file, its line and column, with status 2.
TEST(FaultsScorer, DataCutAtEveryByte)
{
    std::string dir = scratch_dir();
    const std::string full = yes_no_csv(3, 6, 5);
    for (size_t cut = 0; cut < full.size(); ++cut) {
        std::string text = full.substr(0, cut);
        std::string d = dir + "/" + std::to_string(cut);
        fs::create_directories(d);
        write_file(d + "/data.csv", text);
        result r = run_with(scorer, scorer_args({}, d + "/data.csv", d + "/out"), {});
        std::string vd = vd_of(text);
        if (vd.empty()) {
            expect_failure(r, scorer, "DATA", "cut short", d + "/data.csv: ");
            expect_no_scores(d + "/out", 3, "cut data");
            continue;
        }
        record(scorer, "DATA", "cut short", r,
               "a shorter data set: scored like the same rows written whole");
        ASSERT_EQ(r.status, 0) << "cut at " << cut << ": " << r.err;
        EXPECT_EQ(read_file(d + "/out/vd"), vd) << "cut at " << cut;
        // The same rows, ended properly, score the same bit for bit.
        write_file(d + "/whole.csv", text.back() == '\n' ? text : text + "\n");
        ASSERT_EQ(run_with(scorer, scorer_args({}, d + "/whole.csv", d + "/whole"), {}).status, 0);
        EXPECT_EQ(read_file(d + "/out/res"), read_file(d + "/whole/res")) << "cut at " << cut;
        fs::remove_all(d);
    }
    result r = run_with(scorer, scorer_args({}, dir + "/deleted.csv", dir + "/o"), {});
    expect_failure(r, scorer, "DATA", "deleted", "No such file or directory");
}

// An arc list cut at every byte: whole lines are a shorter list; a cut
// name is an unknown variable, a cut pair is no pair.
TEST(FaultsScorer, ArcListCutAtEveryByte)
{
    std::string dir = scratch_dir();
    write_file(dir + "/data.csv", yes_no_csv(3, 20, 6));
    const std::string full = "v0,v1\nv2,v1\n";
    for (const std::string option : {"--forbid", "--require"}) {
        for (size_t cut = 0; cut < full.size(); ++cut) {
            std::string text = full.substr(0, cut);
            std::string d = dir + "/" + option.substr(2) + std::to_string(cut);
            fs::create_directories(d);
            write_file(d + "/arcs", text);
            result r = run_with(scorer, scorer_args({option, d + "/arcs"}, dir + "/data.csv",
                                                    d + "/out"), {});
            // Valid: every line, the last one too, a whole pair.
            bool valid = true;
            std::vector<std::string> lines = split(text, '\n');
            for (const auto &line : lines)
                valid = valid && (line.empty() || line == "v0,v1" || line == "v2,v1");
            if (!valid) {
                expect_failure(r, scorer, "arc list " + option, "cut short", d + "/arcs: line ");
                expect_no_scores(d + "/out", 3, "cut arc list");
                continue;
            }
            record(scorer, "arc list " + option, "cut short", r,
                   "whole lines: scored like the same arcs written whole");
            ASSERT_EQ(r.status, 0) << option << " cut at " << cut << ": " << r.err;
            std::string whole;
            for (const auto &line : lines)
                if (!line.empty())
                    whole += line + "\n";
            write_file(d + "/whole", whole);
            ASSERT_EQ(run_with(scorer, scorer_args({option, d + "/whole"}, dir + "/data.csv",
                                                   d + "/w"), {}).status, 0);
            EXPECT_EQ(read_file(d + "/out/res"), read_file(d + "/w/res")) << option << " " << cut;
            fs::remove_all(d);
        }
    }
}
