// Faults under the eleven programs that pass files down the search and
// drawing chain: outputs on a full disk (from the start and mid-write, a
// full device, a file-size limit), output folders that are missing or
// read-only, inputs that vanish, and every input cut at every record
// boundary and inside every record.  Whatever a program leaves behind after
// a failure is either absent or the complete file a good run writes.
#pragma GCC diagnostic ignored "-Wrestrict"   // g++ 12 false positive in testutil.h
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "bruteforce.h"
#include "faults.h"
#include "varpar.h"

using namespace faults;

namespace {

std::vector<std::string> numbered(int n, const std::string &ext)
{
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
        names.push_back(std::to_string(i) + ext);
    return names;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One program of the chain: what it reads and writes in its folder, and its
// command line there.
struct stage {
    std::string program;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;   // empty: it prints to standard output
    std::function<std::vector<std::string>(const std::string &dir)> args;
};

std::vector<stage> stages(int n)
{
    const std::string nv = std::to_string(n);
    return {
        {"scatter_family_values", {"res"}, numbered(n, ".slt"),
         [=](const std::string &d) { return std::vector<std::string>{nv, d}; }},
        {"flip_family_files", numbered(n, ".slt"), numbered(n, ""),
         [=](const std::string &d) { return std::vector<std::string>{nv, d}; }},
        {"find_top_families", numbered(n, ""), numbered(n, ".bps") + numbered(n, ".bss"),
         [=](const std::string &d) { return std::vector<std::string>{nv, d}; }},
        {"solve_leaf_table", numbered(n, ".bss"), {"sink"},
         [=](const std::string &d) { return std::vector<std::string>{nv, d, d + "/sink"}; }},
        {"trace_leaf_sequence", {"sink"}, {"order"},
         [=](const std::string &d) {
             return std::vector<std::string>{nv, d + "/sink", d + "/order"};
         }},
        {"assemble_optimal_graph", std::vector<std::string>{"order"} + numbered(n, ".bps"),
         {"network"},
         [=](const std::string &d) {
             return std::vector<std::string>{nv, d, d + "/order", d + "/network"};
         }},
        {"rate_graph", std::vector<std::string>{"network"} + numbered(n, ""), {},
         [](const std::string &d) { return std::vector<std::string>{d + "/network", d}; }},
        {"rate_graphs", std::vector<std::string>{"list", "network"} + numbered(n, ""), {},
         [](const std::string &d) { return std::vector<std::string>{d + "/list", d}; }},
        {"graph_to_family_lists", {"network"}, {"parents"},
         [](const std::string &d) {
             return std::vector<std::string>{d + "/network", d + "/parents"};
         }},
        {"family_lists_to_edges", {"parents"}, {"arcs"},
         [](const std::string &d) { return std::vector<std::string>{d + "/parents", d + "/arcs"}; }},
        {"edges_to_gv", {"vd", "arcs"}, {"network.dot"},
         [](const std::string &d) {
             return std::vector<std::string>{d + "/vd", d + "/arcs", d + "/network.dot"};
         }},
    };
}

// Every file of a good run of the whole chain on random scores, and what
// the two scorers print.
struct reference {
    int n;
    std::string dir;
    std::map<std::string, std::string> printed;
};

reference build_reference(const std::string &dir, int n, unsigned seed)
{
    reference ref{n, dir, {}};
    fs::create_directories(dir);
    std::mt19937 rng(seed);
    const auto scores = bruteforce::random_scores(n, rng);
    std::vector<double> table;
    for (uint32_t s = (1u << n) - 1; s >= 1; --s)
        for (int i = 0; i < n; ++i)
            if (s & (1u << i))
                table.push_back(scores[size_t(i)][varset2parset(i, s & ~(1u << i))]);
    write_doubles(dir + "/res", table);
    std::string vd;
    for (int i = 0; i < n; ++i)
        vd += "v" + std::to_string(i) + "\t2\ta\tb\n";
    write_file(dir + "/vd", vd);
    write_file(dir + "/list", dir + "/network\n");
    for (const stage &s : stages(n)) {
        result r = run(s.program, s.args(dir));
        EXPECT_EQ(r.status, 0) << s.program << ": " << r.err;
        if (s.outputs.empty())
            ref.printed[s.program] = r.out;
    }
    return ref;
}

uint64_t bytes_of_files(const std::string &dir, const std::vector<std::string> &names)
{
    uint64_t total = 0;
    for (const auto &name : names)
        total += fs::file_size(dir + "/" + name);
    return total;
}

// Puts the inputs of s into dir, the network list naming the copy.
void lay_inputs(const reference &ref, const stage &s, const std::string &dir)
{
    copy_files(ref.dir, dir, s.inputs);
    if (s.program == "rate_graphs")
        write_file(dir + "/list", dir + "/network\n");
}

// After a failure: an output that is there is the whole file of a good run.
void expect_no_partial_output(const reference &ref, const stage &s, const std::string &dir,
                              const std::string &fault)
{
    for (const auto &name : s.outputs) {
        std::string path = dir + "/" + name;
        if (fs::is_regular_file(fs::symlink_status(path))) {
            EXPECT_EQ(read_file(path), read_file(ref.dir + "/" + name))
                << s.program << ", " << fault << ": " << name << " left half-written";
        }
    }
}

} // namespace

namespace {

// The kind of a file in the record.
std::string input_kind(const std::string &name)
{
    if (isdigit(static_cast<unsigned char>(name[0]))) {
        size_t ext = name.find_first_not_of("0123456789");
        static const std::map<std::string, std::string> kinds = {
            {".slt", "split score file"}, {".bps", "best-parent file"},
            {".bss", "best-score file"},  {"", "local score file"}};
        return kinds.at(ext == std::string::npos ? "" : name.substr(ext));
    }
    static const std::map<std::string, std::string> named = {
        {"res", "score table"},      {"sink", "sink file"},     {"order", "order file"},
        {"network", "network file"}, {"list", "network list"},  {"parents", "parent file"},
        {"arcs", "arc file"},        {"vd", "variable-description file"},
        {"network.dot", "DOT file"}};
    return named.at(name);
}

size_t record_size(const std::string &name)
{
    if (name == "sink")
        return 1;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".bps")
        return 4;
    return 8;
}

bool is_binary(const std::string &name)
{
    return isdigit(static_cast<unsigned char>(name[0])) || name == "res" || name == "sink";
}

// The kinds of the outputs of s, for the record.
std::string output_kind(const stage &s)
{
    if (s.outputs.empty())
        return "standard output";
    std::string kinds;
    for (const auto &name : s.outputs) {
        std::string k = input_kind(name);
        if (kinds.find(k) == std::string::npos)
            kinds += (kinds.empty() ? "" : ", ") + k;
    }
    return kinds;
}

} // namespace

namespace {

// Thirteen variables: big enough that most outputs span many pages, so that
// a disk can fill in the middle of one.
const int big_n = 13;

} // namespace

TEST(FaultsPipeline, FullDiskFromTheStartAndMidWrite)
{
    std::string dir = scratch_dir();
    reference ref = build_reference(dir + "/ref", big_n, 11);
    for (const stage &s : stages(big_n)) {
        uint64_t biggest = 0;
        for (const auto &name : s.outputs)
            biggest = std::max<uint64_t>(biggest, fs::file_size(ref.dir + "/" + name));
        // Room for one page: the outputs above two pages run out mid-write.
        std::vector<uint64_t> rooms = {0};
        if (biggest > 8192)
            rooms.push_back(4096);
        for (uint64_t room : rooms) {
            std::string fault = room == 0 ? "disk full" : "disk fills mid-write";
            std::string d = dir + "/" + s.program + "." + std::to_string(room);
            scratch_fs disk(d, bytes_of_files(ref.dir, s.inputs) + (1 << 20));
            if (!disk.mounted)
                GTEST_SKIP() << "no small file system for a full disk: " << disk.why;
            lay_inputs(ref, s, d);
            disk.fill(room);
            run_options opt;
            if (s.outputs.empty())
                opt.stdout_file = d + "/printed";
            result r = run_with(s.program, s.args(d), opt);
            std::string target = output_kind(s);
            expect_failure(r, s.program, target, fault, "No space left on device");
            std::string named = named_file(r.err);
            if (s.outputs.empty())
                EXPECT_EQ(named, "standard output");
            else
                EXPECT_NE(std::find(s.outputs.begin(), s.outputs.end(),
                                    fs::path(named).filename().string()),
                          s.outputs.end())
                    << s.program << " names " << named;
            expect_no_partial_output(ref, s, d, fault);
        }
    }
}

TEST(FaultsPipeline, FullDeviceAsTheOutput)
{
    if (!fs::is_character_file("/dev/full"))
        GTEST_SKIP() << "/dev/full is missing (mknod -m 666 /dev/full c 1 7 makes it)";
    std::string dir = scratch_dir();
    reference ref = build_reference(dir + "/ref", 3, 12);
    for (const stage &s : stages(3)) {
        std::string d = dir + "/" + s.program;
        fs::create_directories(d);
        lay_inputs(ref, s, d);
        std::vector<std::string> args = s.args(d);
        run_options opt;
        if (s.outputs.empty()) {
            opt.stdout_file = "/dev/full";
        } else if (args.back() == d + "/" + s.outputs.back()) {
            args.back() = "/dev/full";   // the output is named on the command line
        } else {
            // Outputs in the score folder: the last one is the device.
            fs::create_symlink("/dev/full", d + "/" + s.outputs.back());
        }
        result r = run_with(s.program, args, opt);
        std::string target = output_kind(s);
        expect_failure(r, s.program, target, "full device (/dev/full)", "No space left on device");
        EXPECT_TRUE(fs::is_character_file("/dev/full")) << s.program << " removed the device";
        expect_no_partial_output(ref, s, d, "full device");
    }
}

TEST(FaultsPipeline, FileSizeLimit)
{
    std::string dir = scratch_dir();
    reference ref = build_reference(dir + "/ref", big_n, 13);
    for (const stage &s : stages(big_n)) {
        std::string d = dir + "/" + s.program;
        fs::create_directories(d);
        lay_inputs(ref, s, d);
        // Half of the smallest output: every output is cut, and the first
        // one written is cut in its middle.
        uint64_t smallest = s.outputs.empty() ? ref.printed[s.program].size() : UINT64_MAX;
        for (const auto &name : s.outputs)
            smallest = std::min<uint64_t>(smallest, fs::file_size(ref.dir + "/" + name));
        run_options opt;
        opt.fsize_limit = (long long)(smallest / 2);
        if (s.outputs.empty())
            opt.stdout_file = d + "/printed";
        result r = run_with(s.program, s.args(d), opt);
        std::string target = output_kind(s);
        expect_failure(r, s.program, target, "file-size limit (RLIMIT_FSIZE)", "File too large");
        expect_no_partial_output(ref, s, d, "file-size limit");
    }
}

TEST(FaultsPipeline, OutputFolderMissingOrReadOnly)
{
    std::string dir = scratch_dir();
    reference ref = build_reference(dir + "/ref", big_n, 14);
    std::string not_mounted;   // why the read-only variants did not run
    for (const stage &s : stages(big_n)) {
        if (s.outputs.empty())
            continue;   // standard output only
        std::string d = dir + "/" + s.program;
        fs::create_directories(d);
        lay_inputs(ref, s, d);
        std::vector<std::string> args = s.args(d);
        if (args.back() == d + "/" + s.outputs.back()) {
            args.back() = d + "/missing/" + s.outputs.back();
            result r = run_with(s.program, args, {});
            expect_failure(r, s.program, output_kind(s), "output folder missing",
                           "No such file or directory");
            EXPECT_EQ(named_file(r.err), args.back());
        } else {
            // The score folder holds inputs and outputs: without it the
            // first file the program touches is missing.
            result r = run_with(s.program, s.args(d + "/missing"), {});
            expect_failure(r, s.program, "score folder", "score folder missing",
                           "No such file or directory");
        }

        std::string ro = dir + "/" + s.program + ".ro";
        scratch_fs disk(ro, bytes_of_files(ref.dir, s.inputs) + (1 << 20));
        lay_inputs(ref, s, ro);
        if (!disk.mounted || !disk.remount_read_only()) {
            not_mounted = disk.why;
            continue;
        }
        result r = run_with(s.program, s.args(ro), {});
        expect_failure(r, s.program, output_kind(s), "output folder read-only",
                       "Read-only file system");
        for (const auto &name : s.outputs)
            EXPECT_FALSE(fs::exists(ro + "/" + name)) << s.program << ": " << name;
    }
    if (!not_mounted.empty())
        GTEST_SKIP() << "the read-only folders were not tried: " << not_mounted;
}

TEST(FaultsPipeline, VanishedInputs)
{
    std::string dir = scratch_dir();
    reference ref = build_reference(dir + "/ref", 3, 15);
    for (const stage &s : stages(3)) {
        for (const auto &gone : s.inputs) {
            std::string d = dir + "/" + s.program + "." + gone;
            fs::create_directories(d);
            lay_inputs(ref, s, d);
            fs::remove(d + "/" + gone);
            result r = run_with(s.program, s.args(d), {});
            expect_failure(r, s.program, input_kind(gone), "deleted",
                           "No such file or directory");
            EXPECT_EQ(named_file(r.err), d + "/" + gone) << s.program;
            expect_no_partial_output(ref, s, d, "deleted");
        }
    }
}

TEST(FaultsPipeline, BinaryInputsCutAtEveryRecord)
{
    std::string dir = scratch_dir();
    const int n = 3;
    reference ref = build_reference(dir + "/ref", n, 16);
    for (const stage &s : stages(n)) {
        for (const auto &name : s.inputs) {
            if (!is_binary(name))
                continue;
            const std::string full = read_file(ref.dir + "/" + name);
            for (size_t cut : cuts(full.size(), record_size(name))) {
                std::string d = dir + "/" + s.program + "." + name + "." + std::to_string(cut);
                fs::create_directories(d);
                lay_inputs(ref, s, d);
                write_file(d + "/" + name, full.substr(0, cut));
                result r = run_with(s.program, s.args(d), {});
                std::string fault = cut % record_size(name) == 0 ? "cut at a record boundary"
                                                                 : "cut inside a record";
                std::string what = input_kind(name);
                expect_failure(r, s.program, what, fault, "unexpected end of file");
                EXPECT_EQ(named_file(r.err), d + "/" + name);
                expect_no_partial_output(ref, s, d, fault);
                fs::remove_all(d);
            }
        }
    }
}

namespace {

std::vector<long long> integers_of(const std::string &text)
{
    std::vector<long long> v;
    std::istringstream in(text);
    long long x;
    while (in >> x)
        v.push_back(x);
    return v;
}

std::string fixed3(double x)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f\n", x);
    return buf;
}

// What a program makes of a cut text input, worked out independently: the
// bytes of its one output (or what it prints), or nothing when it must fail.
struct expectation {
    bool fails;
    std::string output;
};

// A network value with a parent bit at or above the number of values.
bool has_parent_beyond(const std::vector<long long> &values)
{
    for (long long v : values)
        if (values.size() < 32 && uint64_t(v) >> values.size() != 0)
            return true;
    return false;
}

// The score of a network given by its values against the local score files
// of dir, as the scorers define it; lines is the variable count rate_graphs
// takes (-1: no count, as for rate_graph).
expectation score_of(const std::vector<long long> &values, const std::string &dir, int n,
                     int lines)
{
    double total = 0.0;
    if (has_parent_beyond(values))
        return {true, ""};
    for (size_t k = 0; k < values.size(); ++k) {
        uint32_t v = uint32_t(values[k]);
        if ((lines >= 0 && int(k) >= lines) || int(k) >= n || (v >> k & 1))
            return {true, ""};
        uint32_t p = varset2parset(int(k), v);
        std::vector<double> local = read_doubles(dir + "/" + std::to_string(k));
        if (p >= local.size())
            return {true, ""};
        total += local[p];
    }
    return {false, fixed3(total)};
}

// Lines as rate_graphs counts them: newlines, plus a last line that starts
// with a digit.
int network_lines(const std::string &text)
{
    int lines = int(std::count(text.begin(), text.end(), '\n'));
    std::string last = text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    if (!last.empty() && isdigit(static_cast<unsigned char>(last[0])))
        ++lines;
    return lines;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

std::string dot_of(const std::string &vd, const std::string &arcs)
{
    std::string dot = "digraph Zelk {\n  /*@@@BEFORE_ALL@@@*/\n  /*@@@BEFORE_NODES@@@*/\n";
    int k = 0;
    for (const auto &line : lines_of(vd))
        dot += "  V" + std::to_string(k++) + " [label=\"" + line.substr(0, line.find('\t')) +
               "\" /*@@@NODE_ATTS@@@*/];\n";
    dot += "  /*@@@AFTER_NODES@@@*/\n  /*@@@BEFORE_EDGES@@@*/\n";
    auto v = integers_of(arcs);
    for (size_t a = 0; a + 1 < v.size(); a += 2)
        dot += "  V" + std::to_string(v[a]) + " -> V" + std::to_string(v[a + 1]) +
               " /*@@@EDGE_ATTS@@@*/;\n";
    return dot + "  /*@@@AFTER_EDGES@@@*/\n  /*@@@AFTER_ALL@@@*/\n}\n";
}

expectation expected_from_cut(const reference &ref, const stage &s, const std::string &name,
                              const std::string &cut, const std::string &d)
{
    const int n = ref.n;
    if (s.program == "assemble_optimal_graph") {
        auto full = integers_of(read_file(ref.dir + "/order"));
        auto got = integers_of(cut);
        if (got.size() >= size_t(n) && std::equal(full.begin(), full.end(), got.begin()))
            return {false, read_file(ref.dir + "/network")};
        return {true, ""};
    }
    if (s.program == "rate_graph")
        return score_of(integers_of(cut), d, n, -1);
    if (s.program == "rate_graphs") {
        if (name == "network")
            return score_of(integers_of(cut), d, n, network_lines(cut));
        std::istringstream in(cut);
        std::string path;
        if (!(in >> path))
            return {false, ""};   // an empty list: nothing to print
        if (path != d + "/network")
            return {true, ""};
        return score_of(integers_of(read_file(d + "/network")), d, n,
                        network_lines(read_file(d + "/network")));
    }
    if (s.program == "graph_to_family_lists") {
        if (has_parent_beyond(integers_of(cut)))
            return {true, ""};
        std::string out;
        for (long long v : integers_of(cut)) {
            std::string line;
            for (int c = 0; c < 32; ++c)
                if (uint64_t(v) >> c & 1)
                    line += (line.empty() ? "" : " ") + std::to_string(c);
            out += line + "\n";
        }
        return {false, out};
    }
    if (s.program == "family_lists_to_edges") {
        std::string out;
        int child = 0;
        const auto lines = lines_of(cut);
        for (const auto &line : lines) {
            for (long long p : integers_of(line)) {
                if (p < 0 || p >= (long long)lines.size())
                    return {true, ""};   // not a variable of the file
                out += std::to_string(p) + " " + std::to_string(child) + "\n";
            }
            ++child;
        }
        return {false, out};
    }
    // edges_to_gv
    return {false, name == "vd" ? dot_of(cut, read_file(d + "/arcs"))
                                : dot_of(read_file(d + "/vd"), cut)};
}

} // namespace

TEST(FaultsPipeline, TextInputsCutAtEveryByte)
{
    std::string dir = scratch_dir();
    const int n = 3;
    reference ref = build_reference(dir + "/ref", n, 17);
    for (const stage &s : stages(n)) {
        for (const auto &name : s.inputs) {
            if (is_binary(name))
                continue;
            // Folders of one name length, so that the network list, which
            // names its folder, has the same length in every case.
            auto folder = [&](size_t cut) {
                char tail[32];
                snprintf(tail, sizeof tail, ".%04zu", cut);
                return dir + "/" + s.program + "." + name + tail;
            };
            std::string full;
            {
                std::string d0 = folder(0);
                fs::create_directories(d0);
                lay_inputs(ref, s, d0);
                full = read_file(d0 + "/" + name);
                fs::remove_all(d0);
            }
            for (size_t cut = 0; cut < full.size(); ++cut) {
                std::string d = folder(cut);
                fs::create_directories(d);
                lay_inputs(ref, s, d);
                std::string text = read_file(d + "/" + name).substr(0, cut);
                write_file(d + "/" + name, text);
                expectation e = expected_from_cut(ref, s, name, text, d);
                result r = run_with(s.program, s.args(d), {});
                const std::string what = input_kind(name);
                if (e.fails) {
                    expect_failure(r, s.program, what, "cut short");
                    expect_no_partial_output(ref, s, d, "cut short");
                } else {
                    record(s.program, what, "cut short", r,
                           "a shorter valid input: the output is the cut text's");
                    EXPECT_EQ(r.status, 0) << s.program << ", " << name << " cut to " << cut
                                           << ": " << r.err;
                    std::string got = s.outputs.empty() ? r.out
                                                        : read_file(d + "/" + s.outputs[0]);
                    EXPECT_EQ(got, e.output) << s.program << ", " << name << " cut to " << cut;
                }
                fs::remove_all(d);
            }
        }
    }
}
