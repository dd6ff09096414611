// graph_to_family_lists, family_lists_to_edges and edges_to_gv: byte-exact
// outputs, the "-" names and the failure statuses.
#include "testutil.h"

using namespace testutil;

namespace {

std::string convert(const std::string &program, const std::string &in, const std::string &arcs = "")
{
    std::string dir = scratch_dir();
    write_file(dir + "/in", in);
    write_file(dir + "/arcs", arcs);
    std::vector<std::string> args = {dir + "/in", dir + "/out"};
    if (program == "edges_to_gv")
        args.insert(args.begin() + 1, dir + "/arcs");
    result r = run(program, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    return read_file(dir + "/out");
}

std::string node(int k, const std::string &label)
{
    return "  V" + std::to_string(k) + " [label=\"" + label + "\" /*@@@NODE_ATTS@@@*/];\n";
}

std::string edge(int p, int c)
{
    return "  V" + std::to_string(p) + " -> V" + std::to_string(c) + " /*@@@EDGE_ATTS@@@*/;\n";
}

std::string dot(const std::string &nodes, const std::string &edges)
{
    return "digraph Zelk {\n  /*@@@BEFORE_ALL@@@*/\n  /*@@@BEFORE_NODES@@@*/\n" + nodes +
           "  /*@@@AFTER_NODES@@@*/\n  /*@@@BEFORE_EDGES@@@*/\n" + edges +
           "  /*@@@AFTER_EDGES@@@*/\n  /*@@@AFTER_ALL@@@*/\n}\n";
}

} // namespace

TEST(GraphToFamilyLists, Outputs)
{
    std::string all = "0";
    for (int i = 1; i < 32; ++i) {
        all += ' ';
        all += std::to_string(i);
    }
    // Bit 31 needs a network of 32 variables.
    const std::string rest(27, '\n');
    std::string zeros;
    for (int i = 0; i < 27; ++i)
        zeros += " 0";
    const std::string expected = "\n0\n0 1\n31\n" + all + "\n" + rest;
    EXPECT_EQ(convert("graph_to_family_lists", "0\n1\n3\n2147483648\n4294967295\n" + rest +
                                                   zeros + "\n"),
              expected);
    EXPECT_EQ(convert("graph_to_family_lists", "  0 1\t3\r\n\n2147483648 4294967295" + zeros),
              expected);
    EXPECT_EQ(convert("graph_to_family_lists", ""), "");
    EXPECT_EQ(convert("graph_to_family_lists", "2\n0\nx\n7\n"), "1\n\n");
    EXPECT_EQ(convert("graph_to_family_lists", "2 1x 5\n"), "1\n0\n");
}

TEST(FamilyListsToEdges, Outputs)
{
    EXPECT_EQ(convert("family_lists_to_edges", "\n0\n0 1\n"), "0 1\n0 2\n1 2\n");
    EXPECT_EQ(convert("family_lists_to_edges", " 0\t 2\r\n\n\n"), "0 0\n2 0\n");
    EXPECT_EQ(convert("family_lists_to_edges", "\n  \n\t\r\n0"), "0 3\n");   // blank lines count
    EXPECT_EQ(convert("family_lists_to_edges", ""), "");
    // Pieces of 1023 characters: "12" is cut after "1"; a newline right
    // after 1023 characters is a piece (an empty line) of its own.
    EXPECT_EQ(convert("family_lists_to_edges", std::string(1022, ' ') + "12\n0\n"),
              "1 0\n2 1\n0 2\n");
    EXPECT_EQ(convert("family_lists_to_edges", std::string(1022, '\t') + "1\n2\n"), "1 0\n2 2\n");
}

TEST(EdgesToGv, Outputs)
{
    const std::string abc = node(0, "A") + node(1, "B") + node(2, "C");
    const std::string arcs = edge(0, 1) + edge(0, 2) + edge(1, 2);
    EXPECT_EQ(convert("edges_to_gv", "A\nB\nC\n", "0 1\n0 2\n1 2\n"), dot(abc, arcs));
    EXPECT_EQ(convert("edges_to_gv", "A\nB\nC\n", ""), dot(abc, ""));
    EXPECT_EQ(convert("edges_to_gv", "", "0\n1\n0 2 1\n\n2"), dot("", arcs));
    EXPECT_EQ(convert("edges_to_gv", "", "-1 +07 1 1 3x 4"), dot("", edge(-1, 7) + edge(1, 1)));
    const std::string vd = "name\tmore\n\tafter tab\n\r\ttwo words\r\nq\"uo\\te\n\n\t\r\n \n" +
                           std::string(1500, 'a') + "\nlast";
    EXPECT_EQ(convert("edges_to_gv", vd, ""),
              dot(node(0, "name") + node(1, "after tab") + node(2, "two words") +
                      node(3, "q\"uo\\te") + node(4, "") + node(5, "") + node(6, " ") +
                      node(7, std::string(1023, 'a')) + node(8, std::string(477, 'a')) +
                      node(9, "last"), ""));
}

TEST(ConvertPrograms, DashNames)
{
    fs::current_path(scratch_dir());
    write_file("net", "6 0 0\n");
    result r = run("graph_to_family_lists", {"-", "-"}, "net");
    EXPECT_EQ(r.out, "1 2\n\n\n");
    write_file("par", r.out);
    EXPECT_EQ(run("family_lists_to_edges", {"-", "-"}, "par").out, "1 0\n2 0\n");
    write_file("-", "X\n");   // the vdfile "-" is a file of that name
    write_file("arcs", "0 0\n");
    EXPECT_EQ(run("edges_to_gv", {"-", "-", "-"}, "arcs").out, dot(node(0, "X"), edge(0, 0)));
    // Longer names that begin with a minus sign are files.
    fs::rename("net", "--");
    EXPECT_EQ(run("graph_to_family_lists", {"--", "-p"}).status, 0);
    EXPECT_EQ(run("family_lists_to_edges", {"-p", "-a"}).status, 0);
    EXPECT_EQ(run("edges_to_gv", {"-", "-a", "-d"}).status, 0);
    EXPECT_EQ(read_file("-d"), dot(node(0, "X"), edge(1, 0) + edge(2, 0)));
}

TEST(ConvertPrograms, Failures)
{
    std::string d = scratch_dir();
    write_file(d + "/in", "0\n");
    write_file(d + "/keep", "old");
    const std::vector<std::string> programs = {"graph_to_family_lists", "family_lists_to_edges",
                                               "edges_to_gv"};
    const std::vector<std::string> usage = {"netfile parentfile", "parentfile arcfile",
                                            "vdfile arcfile dotfile"};
    for (size_t p = 0; p < programs.size(); ++p) {
        const std::string &prog = programs[p];
        std::vector<std::string> args(p == 2 ? 3 : 2, d + "/in");
        args.back() = d + "/keep";
        for (size_t n : {args.size() - 1, args.size() + 1}) {
            std::vector<std::string> wrong(n, d + "/keep");
            result r = run(prog, wrong);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "Usage: " + prog + " " + usage[p] + "\n");
        }
        EXPECT_EQ(read_file(d + "/keep"), "old");
        // Missing and unreadable inputs, outputs that cannot be created or
        // written: status 2, one line, and no half-written output left.
        for (const auto &[bad, reason] : std::vector<std::pair<std::string, std::string>>{
                 {d + "/none", "No such file or directory"}, {d, "Is a directory"}}) {
            for (size_t i = 0; i + 1 < args.size(); ++i) {
                std::vector<std::string> a = args;
                a[i] = bad;
                a.back() = d + "/out";
                result r = run(prog, a);
                EXPECT_EQ(r.status, 2) << prog;
                EXPECT_EQ(r.err, prog + ": " + bad + ": " + reason + "\n");
                EXPECT_FALSE(fs::exists(d + "/out")) << prog;
            }
        }
        args.back() = d + "/no/out";
        EXPECT_EQ(run(prog, args).err, prog + ": " + d + "/no/out: No such file or directory\n");
        args.back() = "/dev/full";
        result r = run(prog, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, prog + ": /dev/full: No space left on device\n");
    }
}
