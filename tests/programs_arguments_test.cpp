// Arguments and inputs every program must refuse or take whole: nof_vars
// that is not a count, an output that is one of the inputs, network values
// beyond the network, and inputs that are pipes (read once).
#pragma GCC diagnostic ignored "-Wrestrict"   // g++ 12 false positive in testutil.h
#include <map>
#include <sys/stat.h>

#include "testutil.h"

using namespace testutil;

namespace {

void expect_refused(const result &r, const std::string &program, const std::string &file,
                    const std::string &what)
{
    EXPECT_EQ(r.status, 2) << what << ": " << r.err;
    EXPECT_EQ(r.err.rfind(program + ": " + file + ": ", 0), 0u) << what << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
}

// Runs a shell script (FIFOs and pipes) in dir.
result shell(const std::string &dir, const std::string &script)
{
    return run_path("/bin/sh", {"-c", "cd " + shell_quote(dir) + " && " + script});
}

// The files of a one-variable score directory and the text inputs of the
// conversions and the rules.
void one_variable(const std::string &d)
{
    write_doubles(d + "/res", {-1.5});
    write_doubles(d + "/0.slt", {-1.5});
    write_doubles(d + "/0", {-1.5});
    write_doubles(d + "/0.bss", {-1.5});
    write_file(d + "/0.bps", std::string(4, '\0'));
    write_file(d + "/sink", std::string("\xff\x00", 2));
    write_file(d + "/ord", "0\n");
    write_file(d + "/net", "0\n");
    write_file(d + "/par", "\n");
    write_file(d + "/arcs", "0 0\n");
    write_file(d + "/vd", "A\n");
    write_file(d + "/listing", "h1\n1\nh3\n1\nh5\n0 A -1\n");
    write_file(d + "/rules", "0 entries\nheader\n");
}

} // namespace

TEST(ProgramArguments, NofVarsMustBeACount)
{
    std::string d = scratch_dir();
    // Program, the arguments after nof_vars.
    const std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
        {"scatter_family_values", {d}},
        {"flip_family_files", {d}},
        {"find_top_families", {d}},
        {"solve_leaf_table", {d, d + "/sink"}},
        {"trace_leaf_sequence", {d + "/sink", d + "/ord"}},
        {"assemble_optimal_graph", {d, d + "/ord", d + "/net"}},
    };
    for (const auto &[program, rest] : programs) {
        for (const char *bad : {"abc", "", "3x", "3 ", "- 3", "4294967299", "-4294967299", "33"}) {
            std::vector<std::string> args = {bad};
            args.insert(args.end(), rest.begin(), rest.end());
            expect_refused(run(program, args), program, "nof_vars", program + " '" + bad + "'");
        }
        EXPECT_TRUE(fs::is_empty(d)) << program;
    }
    // Leading white space and a sign stay allowed; 0 and below keep their
    // meaning (nothing to do) where the program gives them one.
    for (const char *none : {" +0", "\t-2"}) {
        result r = run("find_top_families", {none, d});
        EXPECT_EQ(r.status, 0) << none << ": " << r.err;
    }
    expect_refused(run("solve_leaf_table", {"-1", d, d + "/sink"}), "solve_leaf_table",
                   "nof_vars", "negative");
}

TEST(ProgramArguments, NoOutputOverAnInput)
{
    std::string d = scratch_dir();
    one_variable(d);
    struct output_case {
        std::string program;
        std::vector<std::string> args;
        std::string output;   // the output refused
        std::string link;     // made a link to `target` first, if not empty
        std::string target;
    };
    const std::vector<output_case> cases = {
        {"graph_to_family_lists", {d + "/net", d + "/net"}, d + "/net", "", ""},
        {"family_lists_to_edges", {d + "/par", d + "/par"}, d + "/par", "", ""},
        {"edges_to_gv", {d + "/vd", d + "/arcs", d + "/vd"}, d + "/vd", "", ""},
        {"edges_to_gv", {d + "/vd", d + "/arcs", d + "/dot"}, d + "/dot", d + "/dot", "arcs"},
        {"scatter_family_values", {"1", d}, d + "/0.slt", d + "/0.slt", "res"},
        {"flip_family_files", {"1", d}, d + "/0", d + "/0", "0.slt"},
        {"find_top_families", {"1", d}, d + "/0.bss", d + "/0.bss", "0"},
        {"solve_leaf_table", {"1", d, d + "/0.bss"}, d + "/0.bss", "", ""},
        {"trace_leaf_sequence", {"1", d + "/sink", d + "/sink"}, d + "/sink", "", ""},
        {"assemble_optimal_graph", {"1", d, d + "/ord", d + "/0.bps"}, d + "/0.bps", "", ""},
        {"apply_edge_rules", {d + "/listing", d + "/rules", d + "/rules", d + "/rules"},
         d + "/rules", "", ""},
    };
    for (const output_case &c : cases) {
        std::string moved;
        if (!c.link.empty()) {   // the output name is a link to an input
            if (fs::exists(c.link)) {
                moved = c.link + ".kept";
                fs::rename(c.link, moved);
            }
            fs::create_symlink(c.target, c.link);
        }
        const auto before = files_of(d);
        result r = run(c.program, c.args);
        expect_refused(r, c.program, c.output, c.program + " " + c.output);
        EXPECT_NE(r.err.find("is the same file as the input"), std::string::npos) << r.err;
        EXPECT_EQ(files_of(d), before) << c.program << ": an input was touched";
        if (!c.link.empty()) {
            fs::remove(c.link);
            if (!moved.empty())
                fs::rename(moved, c.link);
        }
    }
    // Standard input is an input too.
    result r = run("graph_to_family_lists", {"-", d + "/net"}, d + "/net");
    expect_refused(r, "graph_to_family_lists", d + "/net", "standard input");
    EXPECT_EQ(read_file(d + "/net"), "0\n");
}

TEST(ProgramArguments, NetworkValuesBeyondTheNetworkAreRefused)
{
    std::string d = scratch_dir();
    for (int i = 0; i < 2; ++i)
        write_doubles(d + "/" + std::to_string(i), {-1.0, -2.0});
    // The network (or parent file), the program that reads it, the line named.
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"0\n4\n", "rate_graph", 2},            // parent 2 of a two-variable network
        {"0\n4\n", "rate_graphs", 2},
        {"0\n4\n", "graph_to_family_lists", 2},
        {"0\n4294967300\n", "rate_graph", 2},   // does not fit 32 bits
        {"0\n4294967300\n", "graph_to_family_lists", 2},
        {"\n-1\n", "rate_graphs", 2},
        {"\n1x\n", "family_lists_to_edges", 2},
        {"99999999999\n\n", "family_lists_to_edges", 1},
        {"1\n2\n", "family_lists_to_edges", 2},   // variable 2 of two lines
        {"-1\n", "family_lists_to_edges", 1},
    };
    for (const auto &[text, program, line] : cases) {
        write_file(d + "/in", text);
        write_file(d + "/list", d + "/in\n");
        write_file(d + "/out", "kept");
        std::vector<std::string> args =
            program == "rate_graph"    ? std::vector<std::string>{d + "/in", d}
            : program == "rate_graphs" ? std::vector<std::string>{d + "/list", d}
                                       : std::vector<std::string>{d + "/in", d + "/out"};
        result r = run(program, args);
        expect_refused(r, program, d + "/in", program + " on " + text);
        EXPECT_EQ(r.err.rfind(program + ": " + d + "/in: line " + std::to_string(line) + ": ", 0),
                  0u)
            << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(d + "/out"), "kept");
    }
    // Text still ends a network quietly.
    write_file(d + "/in", "0\n1 end 9\n");
    EXPECT_EQ(run("rate_graph", {d + "/in", d}).out, "-3.000\n");
}

TEST(ProgramArguments, InputsThatArePipesAreReadOnce)
{
    std::string d = scratch_dir();
    one_variable(d);
    write_doubles(d + "/1", {-4.0, -8.0});
    write_doubles(d + "/0", {-1.0, -2.0});
    write_file(d + "/two", "2\n0\n");
    // The first network of a list through a FIFO and through /dev/fd.
    write_file(d + "/list", d + "/fifo\n" + d + "/two\n");
    result r = shell(d, "mkfifo fifo && (cat two >fifo &) && " +
                            shell_quote(bin("rate_graphs")) + " list .");
    EXPECT_EQ(r.out + r.err, "-6.000\n-6.000\n");
    write_file(d + "/list", "/dev/fd/3\n");
    r = shell(d, shell_quote(bin("rate_graphs")) + " list . 3<two");
    EXPECT_EQ(r.out + r.err, "-6.000\n");

    // Listings through a pipe: the same output as from the file.
    write_file(d + "/ban", "1 entry\nheader\n0 A\n");
    ASSERT_EQ(run("apply_edge_rules", {d + "/listing", d + "/ban", d + "/rules", d + "/from_file"})
                  .status,
              0);
    r = shell(d, "cat listing | " + shell_quote(bin("apply_edge_rules")) +
                     " /dev/stdin ban rules from_pipe");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(d + "/from_pipe"), read_file(d + "/from_file"));
    EXPECT_NE(read_file(d + "/from_file"), "");
}
