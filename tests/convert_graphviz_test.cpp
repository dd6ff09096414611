// The DOT files of edges_to_gv, fed to Graphviz: every one must render.
// Graphviz is required here (CI installs it); without it the test fails.
#include "testutil.h"
#include <algorithm>
#include <random>
#include <set>

using namespace testutil;

namespace {

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// One node group per label, titled V<k> with the label as text, and one
// edge group per arc.
void check_drawing(const std::string &dir, const std::vector<std::string> &labels,
                   const std::string &arc_file, const std::vector<std::pair<int, int>> &arcs)
{
    std::string vd;
    for (const auto &l : labels)
        vd += l + "\n";
    write_file(dir + "/vd", vd);
    write_file(dir + "/arcs", arc_file);
    ASSERT_EQ(run("edges_to_gv", {dir + "/vd", dir + "/arcs", dir + "/g.dot"}).status, 0);
    std::string cmd = "dot -Tsvg " + shell_quote(dir + "/g.dot") + " >" + shell_quote(dir + "/g.svg");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string svg = read_file(dir + "/g.svg");
    EXPECT_EQ(count(svg, "class=\"node\""), labels.size());
    EXPECT_EQ(count(svg, "class=\"edge\""), arcs.size());
    for (size_t k = 0; k < labels.size(); ++k) {
        EXPECT_EQ(count(svg, "<title>V" + std::to_string(k) + "</title>"), 1u);
        EXPECT_NE(svg.find(">" + labels[k] + "</text>"), std::string::npos) << labels[k];
    }
    for (auto [p, c] : arcs)
        EXPECT_EQ(count(svg, "<title>V" + std::to_string(p) + "&#45;&gt;V" + std::to_string(c) + "</title>"), 1u);
}

} // namespace

TEST(Graphviz, RendersTheDotFiles)
{
    ASSERT_EQ(std::system("command -v dot >/dev/null"), 0) << "Graphviz (dot) is not installed";
    std::string dir = scratch_dir();
    check_drawing(dir, {"A", "B", "C"}, "0 1\n0 2\n1 2\n", {{0, 1}, {0, 2}, {1, 2}});
    check_drawing(dir, {"A", "B", "C"}, "", {});
    check_drawing(dir, {}, "", {});

    // A random 32-variable DAG (parents earlier in a shuffled order) through
    // the whole chain: network file, parent file, arc file, DOT file.
    std::mt19937 rng(20240611);
    std::vector<int> order(32);
    for (int i = 0; i < 32; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<uint32_t> net(32, 0);
    std::set<std::pair<int, int>> by_child;
    for (int a = 0; a < 32; ++a)
        for (int b = a + 1; b < 32; ++b)
            if (rng() % 4 == 0) {
                net[order[b]] |= uint32_t(1) << order[a];
                by_child.insert({order[b], order[a]});
            }
    std::string net_text, arc_text;
    std::vector<std::pair<int, int>> arcs;
    std::vector<std::string> labels;
    for (int k = 0; k < 32; ++k) {
        net_text += std::to_string(net[k]) + "\n";
        labels.push_back("var " + std::to_string(k));
    }
    for (auto [c, p] : by_child) {
        arcs.push_back({p, c});
        arc_text += std::to_string(p) + " " + std::to_string(c) + "\n";
    }
    write_file(dir + "/net", net_text);
    ASSERT_EQ(run("graph_to_family_lists", {dir + "/net", dir + "/par"}).status, 0);
    ASSERT_EQ(run("family_lists_to_edges", {dir + "/par", dir + "/arcs"}).status, 0);
    ASSERT_EQ(read_file(dir + "/arcs"), arc_text);
    ASSERT_GT(arcs.size(), 60u);
    check_drawing(dir, labels, arc_text, arcs);
}
