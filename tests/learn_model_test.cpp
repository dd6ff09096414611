// From a structure to a model: equivalence classes against a brute force
// over all orientations, tables against counting by hand, the exchange files
// against Weka's reader, score_network against rate_graph, and the decorated
// drawing against Graphviz.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "bruteforce.h"
#include "family_scores.h"
#include "testutil.h"

using namespace testutil;

namespace {

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

std::vector<std::string> lines(const std::string &s)
{
    std::vector<std::string> out = split(s, '\n');
    if (!out.empty() && out.back().empty())
        out.pop_back();
    return out;
}

std::string network_text(const std::vector<uint32_t> &parents)
{
    std::string t;
    for (uint32_t p : parents)
        t += std::to_string(p) + "\n";
    return t;
}

std::string vd_text(int n)
{
    std::string t;
    for (int i = 0; i < n; ++i)
        t += 'X' + std::to_string(i) + "\t2\ta\tb\n";
    return t;
}

// Random data of n binary columns named X0.., each column mostly a copy of
// the one before it.
std::string chain_data(int n, int rows, std::mt19937 &rng)
{
    std::string t;
    for (int i = 0; i < n; ++i) {
        t += i ? ",X" : "X";
        t += std::to_string(i);
    }
    t += "\n";
    for (int r = 0; r < rows; ++r) {
        int prev = 0;
        for (int i = 0; i < n; ++i) {
            int v = (rng() % 4 == 0) ? int(rng() % 2) : prev; // neighbours correlated
            t += i ? "," : "";
            t += v ? "b" : "a";
            prev = v;
        }
        t += "\n";
    }
    return t;
}

// v-structures a -> c <- b, a and b not adjacent, as (min(a,b), max, c).
std::set<std::vector<int>> v_structures(const std::vector<uint32_t> &p)
{
    std::set<std::vector<int>> out;
    const int n = int(p.size());
    for (int c = 0; c < n; ++c)
        for (int a = 0; a < n; ++a)
            for (int b = a + 1; b < n; ++b)
                if ((p[c] >> a & 1) && (p[c] >> b & 1) && !(p[a] >> b & 1) && !(p[b] >> a & 1))
                    out.insert({a, b, c});
    return out;
}

double scorer_total(const data_set &data, const std::vector<double> &g, const score_options &opt,
                    const std::vector<uint32_t> &parents)
{
    std::vector<double> arity;
    for (const auto &l : data.labels)
        arity.push_back(double(l.size()));
    double unit = penalty_unit(data, opt), total = 0;
    for (size_t i = 0; i < parents.size(); ++i)
        total += family_score(g, opt, arity.data(), unit, parents[i] | (1u << i), int(i));
    return total;
}

} // namespace

// Members of the class: every orientation of the skeleton without a cycle
// and with the same v-structures.  Compelled arcs point the same way in all
// of them, each reversible arc the other way in at least one, and every
// member scores the same under BDeu and BIC.
TEST(EquivalenceClass, MatchesAllOrientationsOfTheSkeleton)
{
    std::string dir = scratch_dir();
    std::mt19937 rng(16);
    const int n = 5;
    write_file(dir + "/vd", vd_text(n));
    write_file(dir + "/data.csv", chain_data(n, 300, rng));
    data_set data = read_data((dir + "/data.csv").c_str(), read_options());
    score_options bdeu, bic;
    bic.kind = score_kind::bic;
    std::vector<double> g_bdeu = subset_terms(data, bdeu), g_bic = subset_terms(data, bic);
    int reversible_seen = 0, compelled_seen = 0;
    for (int trial = 0; trial < 60; ++trial) {
        // A random DAG: arcs from lower to higher positions of a random order.
        std::vector<int> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<uint32_t> dag(n, 0);
        int density = 2 + trial % 4;
        for (int a = 0; a < n; ++a)
            for (int b = a + 1; b < n; ++b)
                if (int(rng() % 6) < density)
                    dag[order[b]] |= 1u << order[a];
        write_file(dir + "/net", network_text(dag));
        result r = run("find_equivalence_class", {"--types", dir + "/types", dir + "/net", dir + "/vd"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::pair<int, int>> arcs;
        std::vector<bool> rev;
        for (const auto &l : lines(read_file(dir + "/types"))) {
            std::istringstream in(l);
            int a, b;
            std::string type;
            in >> a >> b >> type;
            arcs.push_back({a, b});
            rev.push_back(type == "reversible");
        }
        std::vector<bool> flipped_somewhere(arcs.size(), false);
        const auto vs = v_structures(dag);
        const double s_bdeu = scorer_total(data, g_bdeu, bdeu, dag);
        const double s_bic = scorer_total(data, g_bic, bic, dag);
        for (uint32_t mask = 0; mask < (1u << arcs.size()); ++mask) {
            std::vector<uint32_t> member(n, 0);
            for (size_t k = 0; k < arcs.size(); ++k) {
                auto [a, b] = arcs[k];
                if (mask >> k & 1)
                    member[a] |= 1u << b;
                else
                    member[b] |= 1u << a;
            }
            if (!bruteforce::is_acyclic(member) || v_structures(member) != vs)
                continue;
            EXPECT_NEAR(scorer_total(data, g_bdeu, bdeu, member), s_bdeu, 1e-8);
            EXPECT_NEAR(scorer_total(data, g_bic, bic, member), s_bic, 1e-8);
            for (size_t k = 0; k < arcs.size(); ++k)
                if (mask >> k & 1)
                    flipped_somewhere[k] = true;
        }
        for (size_t k = 0; k < arcs.size(); ++k) {
            EXPECT_EQ(flipped_somewhere[k], bool(rev[k]))
                << "trial " << trial << " arc " << arcs[k].first << " " << arcs[k].second;
            (rev[k] ? reversible_seen : compelled_seen)++;
        }
    }
    EXPECT_GT(reversible_seen, 20);
    EXPECT_GT(compelled_seen, 20);
}

// Asia: the printed lines, arcs.csv by name (quoted where RFC 4180 wants it).
TEST(EquivalenceClass, PrintsArcsAndCsvByName)
{
    std::string dir = scratch_dir();
    write_file(dir + "/vd", "a,1\t2\tx\ty\nb \"q\"\t2\tx\ty\nc\t2\tx\ty\n");
    write_file(dir + "/net", "0\n1\n3\n"); // a -> b, a -> c, b -> c: one class, all reversible
    result r = run("find_equivalence_class", {"--csv", dir + "/arcs.csv", dir + "/net", dir + "/vd"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a,1 -> b \"q\" (reversible)\na,1 -> c (reversible)\n"
                     "b \"q\" -> c (reversible)\n");
    EXPECT_EQ(read_file(dir + "/arcs.csv"), "from,to,type\n\"a,1\",\"b \"\"q\"\"\",reversible\n"
                                            "\"a,1\",c,reversible\n\"b \"\"q\"\"\",c,reversible\n");
    write_file(dir + "/net", "0\n0\n3\n"); // a -> c <- b
    r = run("find_equivalence_class", {dir + "/net", dir + "/vd"});
    EXPECT_EQ(r.out, "a,1 -> c\nb \"q\" -> c\n");
    write_file(dir + "/net", "2\n1\n0\n");
    r = run("find_equivalence_class", {dir + "/net", dir + "/vd"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
}

// Tables of a small data set against the counts by hand: c given a and b
// with a configuration (a=2, b=y) that never occurs; a missing row dropped.
TEST(Parameters, MatchCountingByHand)
{
    std::string dir = scratch_dir();
    write_file(dir + "/d.csv", "a,b,c\n1,x,u\n1,x,v\n1,y,u\n2,x,w\n1,x,u\n2,x,NA\n2,x,u\n");
    write_file(dir + "/net", "0\n0\n3\n");
    result r = run("fit_parameters", {dir + "/d.csv", dir + "/net", dir + "/p"});
    EXPECT_EQ(r.status, 2); // the missing value without --missing=drop
    for (const char *method : {"mle", "bayes"}) {
        r = run("fit_parameters", {"--missing=drop", "--params", method, "--ess", "3",
                                   dir + "/d.csv", dir + "/net", dir + "/p"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> l = lines(read_file(dir + "/p"));
        ASSERT_EQ(l.size(), 1u + 3 + 2 + 2 + 5u);
        EXPECT_EQ(l[0], std::string("parameters\t") + method + "\t3\t6\t3");
        EXPECT_EQ(l[3], "variable\tc\t3\tu\tv\tw");
        EXPECT_EQ(l[8], "table\t2\t2\t0\t1");
        // counts of c (u, v, w) for (a, b) = (1,x) (1,y) (2,x) (2,y)
        const double counts[4][3] = {{2, 1, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 0}};
        for (int j = 0; j < 4; ++j) {
            std::vector<std::string> f = split(l[9 + size_t(j)], '\t');
            ASSERT_EQ(f.size(), 3u);
            double nj = counts[j][0] + counts[j][1] + counts[j][2], sum = 0;
            for (int k = 0; k < 3; ++k) {
                double want = std::string(method) == "mle"
                                  ? (nj == 0 ? 1.0 / 3 : counts[j][k] / nj)
                                  : (counts[j][k] + 3.0 / 12) / (nj + 3.0 / 4);
                double got = std::stod(f[size_t(k)]);
                EXPECT_EQ(got, want) << method << " row " << j << " state " << k;
                sum += got;
            }
            EXPECT_NEAR(sum, 1.0, 1e-12);
        }
        // a has no parents: 4 of 6 rows say 1
        EXPECT_EQ(std::stod(split(l[5], '\t')[0]),
                  std::string(method) == "mle" ? 4.0 / 6 : (4 + 1.5) / (6 + 3.0));
    }
}

namespace {

struct table_of {
    std::vector<std::string> states, parents;
    std::vector<double> probs;
};

// The parameter file as name -> table (states, parent names, probabilities).
std::map<std::string, table_of> read_params(const std::string &path)
{
    std::vector<std::string> l = lines(read_file(path));
    size_t n = std::stoul(split(l[0], '\t')[4]);
    std::vector<std::string> names;
    std::map<std::string, table_of> out;
    for (size_t i = 0; i < n; ++i) {
        std::vector<std::string> f = split(l[1 + i], '\t');
        for (auto &field : f) // the one escape the test data needs
            for (size_t at; (at = field.find("\\n")) != std::string::npos;)
                field = field.substr(0, at) + '\n' + field.substr(at + 2);
        names.push_back(f[1]);
        out[f[1]].states.assign(f.begin() + 3, f.end());
    }
    size_t k = 1 + n;
    for (size_t i = 0; i < n; ++i) {
        std::vector<std::string> f = split(l[k++], '\t');
        table_of &t = out[names[i]];
        size_t q = 1;
        for (size_t p = 3; p < f.size(); ++p) {
            t.parents.push_back(names[std::stoul(f[p])]);
            q *= out[t.parents.back()].states.size();
        }
        for (size_t j = 0; j < q; ++j)
            for (const auto &v : split(l[k++], '\t'))
                t.probs.push_back(std::stod(v));
    }
    return out;
}

void fit(const std::string &dir, const std::string &data, const std::string &net)
{
    write_file(dir + "/d.csv", data);
    write_file(dir + "/net", net);
    result r = run("fit_parameters", {dir + "/d.csv", dir + "/net", dir + "/p"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run("write_model_files", {"--bif", dir + "/network.bif", "--xml", dir + "/network.xml",
                                  dir + "/p"});
    ASSERT_EQ(r.status, 0) << r.err;
}

// Data whose names and states need escaping or mapping in both formats.
const char odd_data[] = "\"height \"\"cm\"\"\",a&b<c>,1st,table,x;y\n"
                        "1,\xC3\xA9,\"line\ntwo\",q,{z}\n2,\xC3\xBC,b,q,{z}\n1,\xC3\xA9,b,r,w\n"
                        "2,\xC3\xA9,b,r,w\n";
const char odd_net[] = "0\n1\n1\n0\n8\n";

} // namespace

// Weka loads network.xml and holds the names, states, parents and tables of
// the parameter file; a small Java program compiled here prints them.
TEST(ModelFiles, WekaReadsTheXmlFile)
{
    const std::string jar = "/usr/share/java/weka.jar";
    ASSERT_TRUE(fs::exists(jar)) << jar << " is missing: install the Debian package weka "
                                           "(bash tests/needs.sh does)";
    ASSERT_EQ(std::system("command -v javac >/dev/null 2>&1 && command -v java >/dev/null 2>&1"),
              0)
        << "javac or java is missing: install a JDK, e.g. the Debian package "
           "default-jdk-headless (bash tests/needs.sh does)";
    std::string dir = scratch_dir();
    result c = run_path("/usr/bin/env", {"javac", "-cp", jar, "-d", dir,
                                         std::string(SOURCE_DIR) + "/tests/java/ReadXmlBif.java"});
    ASSERT_EQ(c.status, 0) << c.err;
    for (int k = 0; k < 2; ++k) {
        if (k == 0)
            fit(dir, read_file(std::string(SOURCE_DIR) + "/examples/asia.csv"),
                "2\n0\n8\n0\n4\n10\n32\n48\n");
        else
            fit(dir, odd_data, odd_net);
        result r = run_path("/usr/bin/env", {"java", "-cp", jar + ":" + dir, "ReadXmlBif",
                                             dir + "/network.xml"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        auto want = read_params(dir + "/p");
        // A state of the odd data holds a line feed: join it back before splitting.
        size_t at = 0, nodes = 0;
        std::string joined = r.out;
        size_t lf = joined.find("line\ntwo");
        if (lf != std::string::npos)
            joined.replace(lf, 8, "line\x01two");
        std::vector<std::string> l = lines(joined);
        while (at < l.size()) {
            std::vector<std::string> node = split(l[at++], '\t');
            ASSERT_EQ(node[0], "node");
            for (auto &s : node)
                std::replace(s.begin(), s.end(), '\x01', '\n');
            ASSERT_TRUE(want.count(node[1])) << node[1];
            const table_of &t = want[node[1]];
            EXPECT_EQ(std::vector<std::string>(node.begin() + 3, node.end()), t.states);
            std::vector<std::string> par = split(l[at++], '\t');
            EXPECT_EQ(std::vector<std::string>(par.begin() + 2, par.end()), t.parents);
            size_t r_ = t.states.size(), q = t.probs.size() / r_;
            for (size_t j = 0; j < q; ++j) {
                std::vector<std::string> row = split(l[at++], '\t');
                ASSERT_EQ(row.size(), r_);
                for (size_t s = 0; s < r_; ++s)
                    EXPECT_NEAR(std::stod(row[s]), t.probs[j * r_ + s], 1e-15);
            }
            ++nodes;
        }
        EXPECT_EQ(nodes, want.size());
    }
}

// network.bif holds the same tables under valid, unique words, each mapped
// name or state kept as a property.
TEST(ModelFiles, BifHoldsTheSameTables)
{
    std::string dir = scratch_dir();
    fit(dir, odd_data, odd_net);
    auto want = read_params(dir + "/p");
    std::string bif = read_file(dir + "/network.bif");
    auto valid = [](const std::string &w) {
        if (w.empty() || isdigit(static_cast<unsigned char>(w[0])))
            return false;
        for (char c : w)
            if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
                return false;
        return true;
    };
    // variable blocks: word, states, original name
    std::map<std::string, std::string> original;              // word -> name
    std::map<std::string, std::vector<std::string>> states;   // word -> state words
    std::istringstream in(bif);
    std::string line, current;
    std::vector<std::vector<double>> rows;
    std::map<std::string, std::vector<double>> probs;
    std::map<std::string, std::vector<std::string>> given;
    while (std::getline(in, line)) {
        if (line.rfind("variable ", 0) == 0) {
            current = line.substr(9, line.find(' ', 9) - 9);
            EXPECT_TRUE(valid(current)) << current;
            original[current] = current;
        } else if (line.rfind("  type discrete", 0) == 0) {
            std::string list = line.substr(line.find("{ ") + 2);
            list = list.substr(0, list.find(" }"));
            for (auto s : split(list, ',')) {
                s.erase(0, s.find_first_not_of(' '));
                EXPECT_TRUE(valid(s)) << s;
                states[current].push_back(s);
            }
            EXPECT_EQ(std::set<std::string>(states[current].begin(), states[current].end()).size(),
                      states[current].size());
        } else if (line.rfind("  property original = \"", 0) == 0) {
            std::string v = line.substr(23, line.size() - 25), o;
            for (size_t k = 0; k < v.size(); ++k) {
                if (v[k] == '\\' && v[k + 1] == 'x') {
                    o += char(std::stoi(v.substr(k + 2, 2), nullptr, 16));
                    k += 3;
                } else if (v[k] == '\\') {
                    o += v[++k] == 'n' ? '\n' : v[k];
                } else {
                    o += v[k];
                }
            }
            original[current] = o;
        } else if (line.rfind("probability ( ", 0) == 0) {
            std::string inner = line.substr(14, line.find(" )") - 14);
            size_t bar = inner.find(" | ");
            current = inner.substr(0, bar);
            if (bar != std::string::npos)
                for (auto p : split(inner.substr(bar + 3), ',')) {
                    p.erase(0, p.find_first_not_of(' '));
                    given[current].push_back(original[p]);
                }
        } else if (line.rfind("  (", 0) == 0 || line.rfind("  table ", 0) == 0) {
            std::string nums = line.substr(line.rfind("  table ", 0) == 0 ? 8 : line.find(") ") + 2);
            nums.pop_back(); // ;
            for (const auto &v : split(nums, ','))
                probs[current].push_back(std::stod(v));
        }
    }
    ASSERT_EQ(original.size(), want.size());
    for (const auto &[word, name] : original) {
        ASSERT_TRUE(want.count(name)) << name;
        EXPECT_EQ(probs[word], want[name].probs) << name;
        EXPECT_EQ(given[word], want[name].parents) << name;
        EXPECT_EQ(states[word].size(), want[name].states.size());
    }
    EXPECT_NE(bif.find("  property original_state_1 = \"line\\ntwo\";\n"), std::string::npos);
    EXPECT_NE(bif.find("variable table_ {"), std::string::npos);
}

// score_network's total equals rate_graph's on the scorer's local score
// files, for every score, on Asia and on random data; over 32 columns; its
// failures.
TEST(ScoreNetwork, EqualsRateGraph)
{
    std::string dir = scratch_dir();
    std::mt19937 rng(7);
    write_file(dir + "/rand.csv", chain_data(6, 500, rng));
    struct data_case {
        std::string path;
        std::vector<uint32_t> net;
    } cases[] = {{std::string(SOURCE_DIR) + "/examples/asia.csv", {2, 0, 8, 0, 4, 10, 32, 48}},
                 {dir + "/rand.csv", {0, 1, 3, 0, 9, 20}}};
    for (const auto &c : cases) {
        data_set data = read_data(c.path.c_str(), read_options());
        std::string arcs = "# by name\n";
        for (size_t i = 0; i < c.net.size(); ++i)
            for (size_t p = 0; p < c.net.size(); ++p)
                if (c.net[i] >> p & 1)
                    arcs += data.names[p] + "," + data.names[i] + "\n";
        write_file(dir + "/arcs", arcs);
        write_file(dir + "/net", network_text(c.net));
        for (const char *score : {"bdeu", "bic", "aic"}) {
            std::vector<std::string> opts = {"--score", score, "--ess", "2.5", "--max-parents", "2"};
            std::vector<std::string> args = opts;
            args.insert(args.end(), {"--local-files", c.path, dir + "/s"});
            ASSERT_EQ(run("compute_family_scores", args).status, 0);
            result want = run("rate_graph", {dir + "/net", dir + "/s"});
            args = opts;
            args.insert(args.end(), {c.path, "-"});
            result got = run("score_network", args, dir + "/arcs");
            ASSERT_EQ(got.status, 0) << got.err;
            EXPECT_EQ(lines(got.out)[0] + "\n", want.out) << c.path << " " << score;
            EXPECT_EQ(lines(got.out).size(), c.net.size() + 1);
        }
    }
    // More columns than the score tables allow: the families of the first
    // columns score as in a file of those columns alone.
    std::string wide, narrow;
    for (const auto &l : lines(chain_data(40, 200, rng))) {
        std::vector<std::string> f = split(l, ',');
        wide += l + "\n";
        narrow += f[0] + "," + f[1] + "," + f[2] + "," + f[3] + "\n";
    }
    write_file(dir + "/wide.csv", wide);
    write_file(dir + "/narrow.csv", narrow);
    write_file(dir + "/arcs", "X0,X1\nX1,X2\nX0,X2\n");
    result small = run("score_network", {dir + "/narrow.csv", dir + "/arcs"});
    write_file(dir + "/arcs", "X0,X1\nX1,X2\nX0,X2\nX38,X39\nX39,X3\n");
    result large = run("score_network", {dir + "/wide.csv", dir + "/arcs"});
    ASSERT_EQ(large.status, 0) << large.err;
    ASSERT_EQ(lines(large.out).size(), 41u);
    for (size_t k = 1; k <= 3; ++k)
        EXPECT_EQ(lines(large.out)[k], lines(small.out)[k]);
    EXPECT_EQ(split(lines(large.out)[4], '\t').back(), "X39");

    std::string asia = std::string(SOURCE_DIR) + "/examples/asia.csv";
    write_file(dir + "/arcs", "");
    result r = run("score_network", {asia, dir + "/arcs"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split(lines(r.out)[1], '\t').size(), 2u); // a variable without parents: name, score
    for (const char *bad : {"asia,tub\ntub,either\neither,asia\n", "asia,asia\n", "asia,nobody\n"}) {
        write_file(dir + "/arcs", bad);
        r = run("score_network", {asia, dir + "/arcs"});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// Names Graphviz must still draw (quotes, backslashes, line breaks, 2,000
// characters): made safe, drawn by edges_to_gv, decorated, and accepted by
// dot with one node per column; reversible arcs lose their arrowheads.
TEST(Drawing, DecoratedDotIsDrawn)
{
    std::string dir = scratch_dir();
    std::string long_name(2000, 'n');
    write_file(dir + "/vd", "a \"q\"\t2\tx\ty\nback\\\\slash\t2\tx\ty\nline\\nbreak\t2\tx\ty\n" +
                                long_name + "\t2\tx\ty\n");
    write_file(dir + "/net", "0\n1\n0\n5\n"); // 0 -> 1, 0 -> 3, 2 -> 3
    write_file(dir + "/labels.csv", "from,to,label\n\"a \"\"q\"\"\",\"back\\slash\",0.75\n");
    ASSERT_EQ(run("find_equivalence_class", {"--quiet", "--types", dir + "/types", dir + "/net",
                                             dir + "/vd"}).status, 0);
    EXPECT_EQ(read_file(dir + "/types"), "0 1 reversible\n0 3 compelled\n2 3 compelled\n");
    ASSERT_EQ(run("graph_to_family_lists", {dir + "/net", dir + "/parents"}).status, 0);
    ASSERT_EQ(run("family_lists_to_edges", {dir + "/parents", dir + "/arcs"}).status, 0);
    result r = run("drawing_names", {dir + "/vd", dir + "/names"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(run("edges_to_gv", {dir + "/names", dir + "/arcs", dir + "/plain.dot"}).status, 0);
    r = run("decorate_drawing", {"--types", dir + "/types", "--vd", dir + "/vd", "--labels",
                                 dir + "/labels.csv", "--data", "/x/my \"data\".csv", "--score",
                                 "-12.5", dir + "/plain.dot", dir + "/n.dot"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string dot = read_file(dir + "/n.dot");
    EXPECT_NE(dot.find("  label=\"my \\\"data\\\".csv, score -12.5\"; labelloc=t;\n"), std::string::npos);
    EXPECT_NE(dot.find("  V0 -> V1 [dir=none, label=\"0.75\"];\n"), std::string::npos) << dot;
    EXPECT_NE(dot.find("  V0 -> V3;\n"), std::string::npos);
    EXPECT_NE(dot.find("[label=\"line\\nbreak\""), std::string::npos);
    EXPECT_NE(dot.find(std::string(60, 'n') + "\xE2\x80\xA6\""), std::string::npos);
    ASSERT_EQ(std::system("command -v dot >/dev/null 2>&1"), 0)
        << "Graphviz dot is missing: install the Debian package graphviz (bash tests/needs.sh "
           "does)";
    r = run_path("/usr/bin/env", {"dot", "-Tsvg", dir + "/n.dot", "-o", dir + "/n.svg"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string svg = read_file(dir + "/n.svg");
    size_t nodes = 0;
    for (size_t at = 0; (at = svg.find("class=\"node\"", at)) != std::string::npos; ++at)
        ++nodes;
    EXPECT_EQ(nodes, 4u);
}
