// compute_family_scores: every score type against a per-family computation
// done here by counting rows, the byte layout of its outputs, bad input, and
// the search run on its local score files with constraints.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <sstream>

#include <CLI/CLI.hpp>

#include "bruteforce.h"
#include "family_scores.h"
#include "scoring_options.h"
#include "testutil.h"
#include "varpar.h"

using namespace testutil;

namespace {

const double inf = std::numeric_limits<double>::infinity();

// Data given as codes; the CSV text and the arities are derived from it.
struct table {
    std::vector<int> arity;
    std::vector<std::vector<int>> rows;
};

table random_table(std::vector<int> arity, int nof_rows, unsigned seed)
{
    std::mt19937 rng(seed);
    table t{arity, {}};
    for (int r = 0; r < nof_rows; ++r) {
        std::vector<int> row;
        for (size_t v = 0; v < arity.size(); ++v) {
            // Skewed draws, so that some cells are large and some empty.
            int a = arity[v], x = int(rng() % unsigned(a));
            if (v > 0 && rng() % 3 != 0)
                x = row[v - 1] % a;
            row.push_back(x);
        }
        t.rows.push_back(row);
    }
    // Every label appears at least once, so the arity seen is the arity given.
    for (size_t v = 0; v < arity.size(); ++v)
        for (int x = 0; x < arity[v] && x < nof_rows; ++x)
            t.rows[size_t(x)][v] = x;
    return t;
}

std::string csv_of(const table &t)
{
    std::string s;
    for (size_t v = 0; v < t.arity.size(); ++v)
        s.append(v ? ",V" : "V").append(std::to_string(v));
    s += "\n";
    for (const auto &row : t.rows) {
        for (size_t v = 0; v < row.size(); ++v)
            s.append(v ? ",L" : "L").append(std::to_string(row[v]));
        s += "\n";
    }
    return s;
}

enum kind { bdeu, bic, aic };

// The textbook score of child i with parent varset pa, from counts made by
// scanning the rows.
double reference_score(const table &t, int i, uint32_t pa, kind k, double ess)
{
    std::map<std::vector<int>, std::map<int, double>> counts;
    for (const auto &row : t.rows) {
        std::vector<int> config;
        for (size_t v = 0; v < t.arity.size(); ++v)
            if (pa >> v & 1)
                config.push_back(row[v]);
        counts[config][row[size_t(i)]] += 1;
    }
    double q = 1, r = t.arity[size_t(i)], n = double(t.rows.size());
    for (size_t v = 0; v < t.arity.size(); ++v)
        if (pa >> v & 1)
            q *= t.arity[v];
    double score = 0, ll = 0;
    for (const auto &[config, by_value] : counts) {
        double nj = 0;
        for (const auto &[value, nijk] : by_value) {
            nj += nijk;
            score += std::lgamma(ess / (q * r) + nijk) - std::lgamma(ess / (q * r));
        }
        score += std::lgamma(ess / q) - std::lgamma(ess / q + nj);
        for (const auto &[value, nijk] : by_value)
            ll += nijk * std::log(nijk / nj);
    }
    if (k == bdeu)
        return score;
    return ll - (r - 1) * q * (k == bic ? std::log(n) / 2 : 1.0);
}

// Expected score table: varsets descending, children ascending.
std::vector<double> reference_table(const table &t, kind k, double ess)
{
    int n = int(t.arity.size());
    std::vector<double> out;
    for (uint32_t s = (1u << n) - 1; s != 0; --s)
        for (int i = 0; i < n; ++i)
            if (s >> i & 1)
                out.push_back(reference_score(t, i, s & ~(1u << i), k, ess));
    return out;
}

void expect_close(const std::vector<double> &got, const std::vector<double> &want,
                  const std::string &what)
{
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t k = 0; k < got.size(); ++k) {
        if (std::isinf(want[k])) {
            EXPECT_EQ(got[k], want[k]) << what << " record " << k;
            continue;
        }
        EXPECT_NEAR(got[k], want[k], 1e-9 * (1 + std::fabs(want[k]))) << what << " record " << k;
    }
}

result score(const std::vector<std::string> &args)
{
    return run("compute_family_scores", args);
}

bool exists(const std::string &p)
{
    return fs::exists(fs::symlink_status(p));
}

// The first columns of a CSV text, and a column of one label appended.
std::string first_columns(const std::string &csv, int columns, bool constant)
{
    std::istringstream in(csv);
    std::string line, out;
    for (bool header = true; std::getline(in, line); header = false) {
        size_t cut = 0;
        for (int c = 0; c < columns && cut != std::string::npos; ++c) {
            cut = line.find(',', cut);
            cut = cut == std::string::npos ? cut : cut + 1;
        }
        out += line.substr(0, cut == std::string::npos ? cut : cut - 1) +
               (constant ? header ? ",country" : ",NL" : "") + "\n";
    }
    return out;
}

} // namespace

TEST(LearnScorer, EveryScoreMatchesPerFamilyCounting)
{
    std::string dir = scratch_dir();
    // Arities 2, 3, 1 and 4: binary, wider and constant columns together.
    table t = random_table({2, 3, 1, 4, 2}, 60, 7);
    write_file(dir + "/d.csv", csv_of(t));
    struct variant {
        std::vector<std::string> options;
        kind k;
        double ess;
    } variants[] = {{{}, bdeu, 1.0},
                    {{"--ess", "0.5"}, bdeu, 0.5},
                    {{"--score=bdeu", "--ess=10"}, bdeu, 10.0},
                    {{"--score", "bic"}, bic, 0},
                    {{"--score", "aic"}, aic, 0}};
    for (const auto &v : variants) {
        std::vector<std::string> args = v.options;
        args.push_back(dir + "/d.csv");
        args.push_back(dir + "/out");
        result r = score(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::string label = v.options.empty() ? "default" : v.options.back();
        expect_close(read_doubles(dir + "/out/res"), reference_table(t, v.k, v.ess), label);
    }
    // The same scores as local score files, record p = parents parset2varset(i, p).
    ASSERT_EQ(score({"--local-files", "--score", "bic", dir + "/d.csv", dir + "/loc"}).status, 0);
    EXPECT_FALSE(exists(dir + "/loc/res"));
    for (int i = 0; i < 5; ++i) {
        std::vector<double> want;
        for (uint32_t p = 0; p < 16; ++p)
            want.push_back(reference_score(t, i, parset2varset(i, p), bic, 0));
        expect_close(read_doubles(dir + "/loc/" + std::to_string(i)), want,
                     "local file " + std::to_string(i));
    }
    // One row only: every cell holds at most one row.
    table one{{1, 1, 1}, {{0, 0, 0}}};
    write_file(dir + "/one.csv", csv_of(one));
    ASSERT_EQ(score({"--ess", "3", dir + "/one.csv", dir + "/one"}).status, 0);
    expect_close(read_doubles(dir + "/one/res"), reference_table(one, bdeu, 3), "one row");
}

// Terms of the library against counting, for every family of t.
void check_terms(const table &t, const data_set &d, const std::string &what)
{
    const int n = int(t.arity.size());
    std::vector<double> arity(t.arity.begin(), t.arity.end());
    for (kind k : {bdeu, bic}) {
        score_options opt;
        opt.kind = k == bdeu ? score_kind::bdeu : score_kind::bic;
        opt.ess = 2.5;
        std::vector<double> g = subset_terms(d, opt);
        double unit = penalty_unit(d, opt);
        for (uint32_t s = 1; s < 1u << n; ++s)
            for (int i = 0; i < n; ++i)
                if (s >> i & 1) {
                    double want = reference_score(t, i, s & ~(1u << i), k, 2.5);
                    ASSERT_NEAR(family_score(g, opt, arity.data(), unit, s, i), want,
                                1e-9 * (1 + std::fabs(want)))
                        << what << ": set " << s << " child " << i;
                }
    }
}

TEST(LearnScorer, EnumerationPathsAgreeWithCounting)
{
    // Binary and ternary columns with too many code bits for one histogram
    // of the joint codes: refinement and histograms both take part.
    table many = random_table({2, 3, 2, 3, 2, 3, 2, 2}, 150, 11);
    check_terms(many, parse_data(csv_of(many), "mem", {}), "eight columns");
    // Few rows over many columns: small groups, refined down to single rows.
    table sparse = random_table(std::vector<int>(11, 2), 30, 5);
    check_terms(sparse, parse_data(csv_of(sparse), "mem", {}), "eleven columns");
    // Two-label columns and one of one label, many equal rows: weighted
    // items, frozen cells and groups of at most 64 rows held as bit masks.
    table masked = random_table({2, 2, 1, 2, 2, 2, 2, 2, 2}, 400, 7);
    check_terms(masked, parse_data(csv_of(masked), "mem", {}), "two-label columns");

    // Codes that need more than 32 and more than 64 bits take the other two
    // row representations.
    const int cases[2][2] = {{40, 1 << 10}, {300000, 1 << 16}};
    for (const auto &c : cases) {
        table t = random_table({3, 2, 5, 2}, 40, unsigned(c[0]));
        data_set d = parse_data(csv_of(t), "mem", {});
        // Pretend the columns have more labels (never seen): that widens the
        // codes without touching the counts.
        for (size_t v = 0; v < 4; ++v) {
            t.arity[v] = v == 0 ? c[0] : c[1];
            while (d.labels[v].size() < size_t(t.arity[v]))
                d.labels[v].push_back(std::to_string(d.labels[v].size()).append("u"));
        }
        check_terms(t, d, "wide " + std::to_string(c[0]));
    }
    // Codes over 64 bits whose last three columns have two labels: those
    // columns are counted at once from row indexes too.
    table t = random_table({3, 3, 3, 3, 2, 2, 2}, 80, 31);
    data_set d = parse_data(csv_of(t), "mem", {});
    for (size_t v = 0; v < 4; ++v) {
        t.arity[v] = 1 << 16;
        while (d.labels[v].size() < size_t(t.arity[v]))
            d.labels[v].push_back(std::to_string(d.labels[v].size()).append("u"));
    }
    check_terms(t, d, "wide, two-label tail");
}

TEST(LearnScorer, ThreadCountNeverChangesTheResult)
{
    std::string dir = scratch_dir();
    // Shapes for every way through the enumeration: large groups whose
    // last columns go to histograms below the split, few rows that end as
    // single-row cells inside the pieces, one row (no cell at all), no
    // split at all (few columns), and codes over 32 and over 64 bits.
    struct shape {
        const char *name;
        table t;
    } shapes[] = {
        {"grouped", random_table({2, 3, 1, 2, 2, 3, 2, 2, 4, 2, 2, 2, 2}, 2000, 21)},
        {"sparse", random_table(std::vector<int>(14, 2), 40, 22)},
        {"one row", table{{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {std::vector<int>(12, 0)}}},
        {"few columns", random_table({2, 3, 2, 2, 2}, 300, 23)},
        {"64-bit codes", random_table(std::vector<int>(9, 20), 400, 24)},
        {"unpacked codes", random_table(std::vector<int>(14, 20), 300, 25)},
    };
    for (const auto &sh : shapes) {
        write_file(dir + "/d.csv", csv_of(sh.t));
        data_set d = parse_data(csv_of(sh.t), "mem", {});
        for (const char *kind : {"bdeu", "bic", "aic"}) {
            std::string what = std::string(sh.name) + " " + kind;
            score_options opt;
            opt.kind = kind[1] == 'd' ? score_kind::bdeu : kind[1] == 'i' ? score_kind::bic
                                                                          : score_kind::aic;
            opt.ess = 3.5;
            const std::string one = bytes_of(subset_terms(d, opt, 1));
            for (unsigned threads : {2u, 3u, 5u, 64u})
                EXPECT_TRUE(bytes_of(subset_terms(d, opt, threads)) == one)
                    << what << ", " << threads << " threads";
            std::string table1, local1[14];
            for (const char *threads : {"1", "2", "3"}) {
                std::string out = dir + "/o" + threads, loc = dir + "/l" + threads;
                result r = score({"--score", kind, "--ess", "3.5", "--threads", threads,
                                  dir + "/d.csv", out});
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                r = score({"--local-files", "--score", kind, "--ess=3.5",
                           std::string("--threads=") + threads, dir + "/d.csv", loc});
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                std::string res = read_file(out + "/res");
                if (*threads == '1') {
                    table1 = res;
                    EXPECT_EQ(res.size(), sh.t.arity.size() << (sh.t.arity.size() - 1) << 3)
                        << what;
                }
                EXPECT_TRUE(res == table1) << what << ", " << threads << " threads";
                for (size_t i = 0; i < sh.t.arity.size(); ++i) {
                    std::string file = read_file(loc + "/" + std::to_string(i));
                    if (*threads == '1')
                        local1[i] = file;
                    EXPECT_TRUE(file == local1[i])
                        << what << ", local file " << i << ", " << threads << " threads";
                }
            }
        }
    }
    // More distinct products of arities times rows than the term tables may
    // hold: once they are spent, whichever thread made a table first decides
    // which sets get one, and the split counted with tables must add up as
    // the one without.
    {
        table t = random_table({2, 2, 3, 2, 5, 7, 2, 11, 13, 2, 17, 2}, 30000, 26);
        data_set d = parse_data(csv_of(t), "mem", {});
        score_options opt;
        const std::string one = bytes_of(subset_terms(d, opt, 1));
        for (unsigned threads : {2u, 3u})
            EXPECT_TRUE(bytes_of(subset_terms(d, opt, threads)) == one)
                << "tables spent, " << threads << " threads";
    }
    // Wider codes than the data hold, as in the enumeration check above.
    for (int wide : {40, 300000}) {
        table t = random_table({3, 2, 5, 2, 2}, 60, unsigned(wide));
        data_set d = parse_data(csv_of(t), "mem", {});
        for (size_t v = 0; v < 5; ++v)
            while (d.labels[v].size() < size_t(v == 0 ? wide : 1 << 16))
                d.labels[v].push_back(std::to_string(d.labels[v].size()).append("u"));
        score_options opt;
        const std::string one = bytes_of(subset_terms(d, opt, 1));
        for (unsigned threads : {2u, 3u, 64u})
            EXPECT_TRUE(bytes_of(subset_terms(d, opt, threads)) == one)
                << "wide " << wide << ", " << threads << " threads";
    }
}

TEST(LearnScorer, ReadsQuotedCrlfAndTabSeparatedText)
{
    std::string dir = scratch_dir();
    // BOM, CRLF, a quoted label with a comma, an escaped quote and a line
    // break, and no final line end.
    write_file(dir + "/q.csv", "\xEF\xBB\xBF" "a,\"b c\"\r\nx,\"1,\"\"2\"\"\nz\"\r\ny,plain\r\n"
                                "x,plain");
    result r = score({dir + "/q.csv", dir + "/q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/q/vd"), "a\t2\tx\ty\nb c\t2\t1,\"2\"\\nz\tplain\n");
    EXPECT_EQ(read_doubles(dir + "/q/res").size(), 4u);
    // --describe reads as a scoring run does and writes the description alone.
    r = score({"--describe", dir + "/q.csv", dir + "/d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir + "/d/vd"), read_file(dir + "/q/vd"));
    EXPECT_FALSE(exists(dir + "/d/res"));

    // Tabs in the header choose the tab; commas then belong to labels.
    write_file(dir + "/t.tsv", "p\tq\nyes,1\tno\nno\tno\n");
    ASSERT_EQ(score({dir + "/t.tsv", dir + "/t"}).status, 0);
    EXPECT_EQ(read_file(dir + "/t/vd"), "p\t2\tyes,1\tno\nq\t1\tno\n");
    // A forced delimiter, and empty lines between rows.
    write_file(dir + "/s.txt", "p;q\n\n1;2\n\n2;2\n\n");
    ASSERT_EQ(score({"--delimiter", ";", dir + "/s.txt", dir + "/s"}).status, 0);
    EXPECT_EQ(read_file(dir + "/s/vd"), "p\t2\t1\t2\nq\t1\t2\n");
}

TEST(LearnScorer, BadInputNamesLineAndColumn)
{
    std::string dir = scratch_dir();
    std::string many;
    for (int c = 0; c < 33; ++c)
        many += (c ? ",c" : "c") + std::to_string(c);
    struct bad {
        std::string text, message;
    } cases[] = {
        {"", "the file is empty"},
        {"\n\n", "the file is empty"},
        {"a,b\n", "no data rows"},
        {"a,b\n1,2\n3\n", "line 3, column 2 (b): the row ends after 1 fields"},
        {"a,b\n1,2\n3,4,5\n", "line 3, column 3: the row has 3 fields"},
        {"a,b\n1,\n", "line 2, column 2 (b): missing value (empty field)"},
        {"a,b\n1,2\n?,2\n", "line 3, column 1 (a): missing value '?'"},
        {"a,b\n1,2\n\"x\ny\",NA\n", "line 4, column 2 (b): missing value 'NA'"},
        {"a,a\n1,2\n", "line 1, column 2 (a): duplicate column name (also column 1)"},
        {"a,,b\n1,2,3\n", "line 1, column 2: empty column name"},
        {std::string("a,b\0c\n1,2\n", 10), "line 1, column 2: the column name holds a NUL"},
        {many + "\n", "line 1, column 33 (c32): 33 columns, at most 32"},
        {"a,b\n1,\"2\n", "line 2, column 2: quoted field is not closed"},
        {"a,b\n\"1\"x,2\n", "line 2, column 1: unexpected character after a closing quote"},
    };
    int k = 0;
    for (const auto &c : cases) {
        std::string data = dir + "/bad" + std::to_string(k++) + ".csv";
        write_file(data, c.text);
        // An earlier result must not survive a failed run.
        fs::create_directories(dir + "/out");
        write_file(dir + "/out/res", "old");
        result r = score({data, dir + "/out"});
        EXPECT_EQ(r.status, 2) << c.text;
        EXPECT_EQ(r.err.rfind("compute_family_scores: " + data + ": " + c.message, 0), 0u)
            << c.text << " gave " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_TRUE(exists(dir + "/out/res"));  // parsing fails before outputs are touched

    // --missing=drop: the rows with a missing value go, the rest score as if
    // they were alone.
    write_file(dir + "/m.csv", "a,b\n1,2\n1,NA\n2,2\n?,1\n2,1\n,\n");
    write_file(dir + "/clean.csv", "a,b\n1,2\n2,2\n2,1\n");
    result r = score({"--missing=drop", dir + "/m.csv", dir + "/m"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("dropped 3 of 6 rows"), std::string::npos) << r.err;
    ASSERT_EQ(score({dir + "/clean.csv", dir + "/c"}).status, 0);
    EXPECT_EQ(read_file(dir + "/m/res"), read_file(dir + "/c/res"));
    write_file(dir + "/allna.csv", "a\nNA\n?\n");
    r = score({"--missing=drop", "--delimiter", "comma", dir + "/allna.csv", dir + "/m"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no data rows"), std::string::npos);
}

TEST(LearnScorer, UsageAndOptionErrors)
{
    std::string dir = scratch_dir();
    write_file(dir + "/d.csv", "a,b\n1,2\n");
    result r = score({dir + "/d.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: compute_family_scores [options] DATA DIRNAME\n");
    r = score({"--frobnicate", dir + "/d.csv", dir + "/o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--frobnicate"), std::string::npos);
    EXPECT_EQ(score({dir + "/d.csv", dir + "/o", "--score"}).status, 1);
    r = score({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("lgamma"), std::string::npos);
    EXPECT_NE(r.out.find("--threads N"), std::string::npos);
    // A bad value is a usage error naming the option.
    r = score({"--threads", "-3", dir + "/d.csv", dir + "/o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "compute_family_scores: --threads: expected a positive integer\n"
                     "Usage: compute_family_scores [options] DATA DIRNAME\n");
    for (auto bad : {std::vector<std::string>{"--ess", "0"}, {"--ess", "x"}, {"--score", "k2"},
                     {"--max-parents", "-1"}, {"--missing", "skip"}, {"--threads", "0"},
                     {"--threads", "2x"}, {"--delimiter", "ab"}, {"--max-parents", "two"},
                     {"--discretize", "median"}, {"--discretize", "age=quantile:1"},
                     {"--max-levels", "0"}}) {
        bad.push_back(dir + "/d.csv");
        bad.push_back(dir + "/o");
        r = score(bad);
        EXPECT_EQ(r.status, 1) << bad[0] << " " << bad[1];
        EXPECT_EQ(r.err.rfind("compute_family_scores: " + bad[0] + ": expected", 0), 0u) << r.err;
    }
    EXPECT_FALSE(exists(dir + "/o"));
}

TEST(LearnScorer, ConstraintsGiveMinusInfinity)
{
    std::string dir = scratch_dir();
    table t = random_table({2, 2, 3, 2}, 50, 3);
    write_file(dir + "/d.csv", csv_of(t));
    ASSERT_EQ(score({dir + "/d.csv", dir + "/free"}).status, 0);
    std::vector<double> free = read_doubles(dir + "/free/res");

    write_file(dir + "/forbid", "# no arc from V0 into V1\n\n  V0 , V1  \r\nV3,V2\n");
    write_file(dir + "/require", "V2,V0\n");
    result r = score({"--max-parents", "2", "--forbid", dir + "/forbid", "--require",
                      dir + "/require", dir + "/d.csv", dir + "/c"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<double> got = read_doubles(dir + "/c/res");
    ASSERT_EQ(got.size(), free.size());
    size_t k = 0;
    for (uint32_t s = 15; s != 0; --s)
        for (int i = 0; i < 4; ++i)
            if (s >> i & 1) {
                uint32_t pa = s & ~(1u << i);
                bool banned = __builtin_popcount(pa) > 2 || (i == 1 && (pa & 1)) ||
                              (i == 2 && (pa & 8)) || (i == 0 && !(pa & 4));
                EXPECT_EQ(got[k], banned ? -inf : free[k]) << "set " << s << " child " << i;
                ++k;
            }

    write_file(dir + "/unknown", "V0,V1\nV0,W\n");
    r = score({"--forbid", dir + "/unknown", dir + "/d.csv", dir + "/u"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "compute_family_scores: " + dir + "/unknown: line 2: unknown variable 'W'\n");
    write_file(dir + "/self", "V1,V1\n");
    EXPECT_EQ(score({"--require", dir + "/self", dir + "/d.csv", dir + "/u"}).status, 2);
    EXPECT_EQ(score({"--forbid", dir + "/forbid", "--require", dir + "/forbid", dir + "/d.csv",
                     dir + "/u"}).status, 2);
    EXPECT_EQ(score({"--forbid", dir + "/none", dir + "/d.csv", dir + "/u"}).status, 2);
}

// A write that fails in the first output (vd) or the last (res), under a
// file-size limit: the folder is left empty, staged files included.
TEST(LearnScorer, FailedWriteLeavesNoResult)
{
    std::string dir = scratch_dir();
    table t = random_table({2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}, 30, 5);
    write_file(dir + "/d.csv", csv_of(t));
    for (const auto &[target, limit] : {std::pair<const char *, long long>{"res", 4096},
                                        std::pair<const char *, long long>{"vd", 16}}) {
        fs::remove_all(dir + "/o");
        fs::create_directories(dir + "/o");
        run_options limited;
        limited.fsize_limit = limit;
        result r = run_with("compute_family_scores", {dir + "/d.csv", dir + "/o"}, limited);
        EXPECT_EQ(r.status, 2) << target;
        EXPECT_NE(r.err.find("/o/" + std::string(target) + ": File too large"), std::string::npos)
            << r.err;
        EXPECT_TRUE(fs::is_empty(dir + "/o")) << target;
    }
}

TEST(LearnScorer, SearchHonoursConstraintsOnLocalFiles)
{
    std::string dir = scratch_dir();
    // Six columns of the example data: asia, tub, smoke, lung, bronc, either.
    write_file(dir + "/six.csv",
               first_columns(read_file(std::string(SOURCE_DIR) + "/examples/asia.csv"), 6, false));
    // smoke and lung are linked in the source network, asia and bronc are
    // not: forbid the true link both ways and require a false arc.
    write_file(dir + "/forbid", "smoke,lung\nlung,smoke\n");
    write_file(dir + "/require", "asia,bronc\n");
    const int n = 6;
    for (bool constrained : {false, true}) {
        std::string sd = dir + (constrained ? "/c" : "/f");
        std::vector<std::string> args = {"--local-files", "--max-parents", "3"};
        if (constrained)
            args.insert(args.end(), {"--forbid", dir + "/forbid", "--require", dir + "/require"});
        args.insert(args.end(), {dir + "/six.csv", sd});
        result r = score(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<uint32_t> parents = run_search(n, sd);
        ASSERT_EQ(parents.size(), size_t(n));
        bruteforce::local_scores local(n);
        for (int i = 0; i < n; ++i)
            local[size_t(i)] = read_doubles(sd + "/" + std::to_string(i));
        double best = bruteforce::best_total(n, local), got = 0;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(parents[size_t(i)] >> i & 1, 0u);
            got += local[size_t(i)][varset2parset(i, parents[size_t(i)])];
        }
        EXPECT_TRUE(std::isfinite(best));
        // The network reaches the optimum (which, over DAGs only, also means
        // it cannot hold a cycle worth more).
        EXPECT_NEAR(got, best, 1e-9 * std::fabs(best));
        // 0 asia, 2 smoke, 3 lung, 4 bronc
        if (constrained) {
            EXPECT_EQ(parents[3] & (1u << 2), 0u);
            EXPECT_EQ(parents[2] & (1u << 3), 0u);
            EXPECT_NE(parents[4] & 1u, 0u);
        } else {
            EXPECT_TRUE((parents[3] >> 2 & 1) || (parents[2] >> 3 & 1)) << "smoke-lung link";
        }
        for (uint32_t p : parents)
            EXPECT_LE(__builtin_popcount(p), 3);
    }

    // The score table, split and reversed by the preparation programs, gives
    // the local score files byte for byte.
    std::string td = dir + "/table";
    ASSERT_EQ(score({"--max-parents", "3", "--forbid", dir + "/forbid", "--require",
                     dir + "/require", dir + "/six.csv", td}).status, 0);
    ASSERT_EQ(run("scatter_family_values", {"6", td}).status, 0);
    ASSERT_EQ(run("flip_family_files", {"6", td}).status, 0);
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(read_file(td + "/" + std::to_string(i)),
                  read_file(dir + "/c/" + std::to_string(i)))
            << "variable " << i;
}

// A column of one label changes no family's score, so with exact sums it
// ties to the last bit: it gets no parents, is no one's parent, and the rest
// of the network and its printed score stay as they were.
TEST(LearnScorer, ConstantColumnTiesExactly)
{
    // Every subset with the column added has the terms of the subset without.
    table t = random_table({2, 3, 2, 2, 4, 2, 2}, 400, 11);
    t.arity.push_back(1);
    for (auto &row : t.rows)
        row.push_back(0);
    const data_set d = parse_data(csv_of(t), "mem", {});
    const uint32_t c = 1u << 7;
    for (score_kind k : {score_kind::bdeu, score_kind::bic, score_kind::aic})
        for (unsigned threads : {1u, 3u}) {
            score_options opt;
            opt.kind = k;
            const std::vector<double> g = subset_terms(d, opt, threads);
            for (uint32_t s = 0; s < c; ++s)
                ASSERT_EQ(bytes_of(std::vector<double>{g[s | c]}),
                          bytes_of(std::vector<double>{g[s]}))
                    << "set " << s << ", " << threads << " threads";
        }

    std::string dir = scratch_dir();
    const std::string asia = read_file(std::string(SOURCE_DIR) + "/examples/asia.csv");
    struct data {
        std::string csv;
        int n;
    } sets[] = {{asia, 8},
                {csv_of(random_table(std::vector<int>(11, 2), 300, 4)), 11},
                {csv_of(random_table({3, 2, 4, 2, 2, 3}, 120, 9)), 6}};
    int k = 0;
    for (const auto &set : sets)
        for (const char *kind : {"bdeu", "bic", "aic"}) {
            std::vector<uint32_t> nets[2];
            std::string printed[2];
            for (int with : {0, 1}) {
                const std::string sd = dir + "/" + std::to_string(k++);
                write_file(sd + ".csv", first_columns(set.csv, set.n, with));
                ASSERT_EQ(score({"--local-files", "--score", kind, sd + ".csv", sd}).status, 0);
                nets[with] = run_search(set.n + with, sd);
                ASSERT_EQ(nets[with].size(), size_t(set.n + with)) << kind;
                result r = run("rate_graph", {sd + "/net", sd});
                ASSERT_EQ(r.status, 0) << r.err;
                printed[with] = r.out;
            }
            const std::string what = std::string(kind) + ", " + std::to_string(set.n) + " columns";
            EXPECT_EQ(nets[1].back(), 0u) << what;
            nets[1].pop_back();
            EXPECT_EQ(nets[1], nets[0]) << what;
            EXPECT_EQ(printed[1], printed[0]) << what;
        }
}

// Numbers over --max-levels are refused or binned; the ranges are the
// states of the description file, and stderr says what was binned.
TEST(LearnScorer, NumericColumnsBinnedOrRefused)
{
    std::string dir = scratch_dir();
    // age 18..90, 73 values twice over; the row number as id.
    std::string csv = "id,age,sex\n";
    for (int r = 0; r < 146; ++r)
        csv += std::to_string(r + 1) + "," + std::to_string(18 + r % 73) + "," + "mf"[r % 2] +
               "\n";
    write_file(dir + "/d.csv", csv);
    const std::string d = dir + "/d.csv", o = dir + "/o";
    auto describe = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "--describe");
        args.insert(args.end(), {d, o});
        return score(args);
    };
    result r = describe({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "compute_family_scores: " + d + ": column 'id' has a different label on "
                     "each of its 146 rows, as an identifier has: leave it out, or keep it with "
                     "--categorical id\n");
    r = describe({"--categorical", "id"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("column 'age' holds 73 distinct numbers, more than --max-levels 16: "
                         "bin it with --discretize"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(describe({"--categorical", "id", "--max-levels", "73"}).status, 0);

    // Equal frequency: cuts at the values of ranks 24 and 48; equal width:
    // 18 + 24 k.  The last range is closed.
    r = describe({"--categorical", "id", "--discretize", "quantile"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("column 'age' (73 distinct numbers) binned into 3 equal-frequency bins: "
                         "[18,42) [42,66) [66,90]"),
              std::string::npos)
        << r.err;
    std::string vd = read_file(o + "/vd");
    EXPECT_NE(vd.find("\nage\t3\t[18,42)\t[42,66)\t[66,90]\nsex\t2\tm\tf\n"), std::string::npos)
        << vd;
    r = describe({"--categorical", "id", "--discretize", "age=interval:4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(o + "/vd").find("\nage\t4\t[18,36)\t[36,54)\t[54,72)\t[72,90]\n"),
              std::string::npos);
    // The binned column scores as the same data written with the ranges.
    std::string ranged = "age,sex\n";
    for (int r = 0; r < 146; ++r) {
        const int a = r % 73;
        ranged += std::string(a < 18 ? "\"[18,36)\"" : a < 36 ? "\"[36,54)\""
                                    : a < 54 ? "\"[54,72)\"" : "\"[72,90]\"") +
                  "," + "mf"[r % 2] + "\n";
    }
    write_file(dir + "/ranged.csv", ranged);
    std::string no_id;
    for (size_t p = csv.find('\n') + 1, q; p < csv.size(); p = q + 1) {
        q = csv.find('\n', p);
        no_id += csv.substr(csv.find(',', p) + 1, q - csv.find(',', p));
    }
    write_file(dir + "/age.csv", "age,sex\n" + no_id);
    ASSERT_EQ(score({"--discretize", "age=interval:4", dir + "/age.csv", dir + "/b"}).status, 0);
    ASSERT_EQ(score({dir + "/ranged.csv", dir + "/c"}).status, 0);
    EXPECT_EQ(read_file(dir + "/b/res"), read_file(dir + "/c/res"));

    r = describe({"--categorical", "id", "--discretize", "sex=quantile"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("column 'sex' cannot be binned: its label 'm' is not a number"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(describe({"--categorical", "height"}).status, 2);
}

// Comma, tab and semicolon are told from the first lines, quotes
// respected; one column needs --delimiter; missing-value markers.
TEST(LearnScorer, DelimitersAndMissingValues)
{
    std::string dir = scratch_dir();
    struct read_case {
        std::string text, vd;
    } cases[] = {
        // A European file: decimal commas, one in the header's quotes.
        {"a;\"b,c\"\n1,5;x\n2,5;y\n", "a\t2\t1,5\t2,5\nb,c\t2\tx\ty\n"},
        // A tab file with a comma in one label only.
        {"p\tq\nx\ty\nx,z\ty\n", "p\t2\tx\tx,z\nq\t1\ty\n"},
        // Semicolons inside quotes do not split.
        {"a,b\n\"1;2;3\",x\n4,x\n", "a\t2\t1;2;3\t4\nb\t1\tx\n"},
    };
    int k = 0;
    for (const auto &c : cases) {
        const std::string data = dir + "/d" + std::to_string(k++);
        write_file(data, c.text);
        result r = score({"--describe", data, dir + "/o"});
        ASSERT_EQ(r.status, 0) << c.text << r.err;
        EXPECT_EQ(read_file(dir + "/o/vd"), c.vd) << c.text;
    }
    write_file(dir + "/one", "a\nx\ny\n");
    result r = score({dir + "/one", dir + "/o1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("one column only"), std::string::npos);
    EXPECT_NE(r.err.find("--delimiter"), std::string::npos);
    EXPECT_EQ(score({"--delimiter", "semicolon", dir + "/one", dir + "/o1"}).status, 0);

    // Default markers are missing, None is a label; --na-values replaces them.
    write_file(dir + "/na", "a,b\nNaN,x\nNone,y\nn/a,z\nc,#N/A\nd,null\nc,N/A\nc,NULL\ne,nan\n"
                            "c,w\n");
    r = score({"--describe", "--missing=drop", dir + "/na", dir + "/o"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("dropped 7 of 9 rows"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir + "/o/vd"), "a\t2\tNone\tc\nb\t2\ty\tw\n");
    r = score({"--describe", "--missing=drop", "--na-values", "x,None", dir + "/na", dir + "/o"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("dropped 2 of 9 rows"), std::string::npos) << r.err;
}

// Arc files read as data files are (quotes, a from/to header, R's row
// names); constraints that admit no network are named.
TEST(LearnScorer, ConstraintFilesAndConflicts)
{
    std::string dir = scratch_dir();
    write_file(dir + "/d.csv", "a,b c,d\n1,2,3\n2,2,1\n1,3,3\n");
    const std::string d = dir + "/d.csv";
    write_file(dir + "/plain", "# a comment, \"unclosed\nd,a\n");
    write_file(dir + "/header", "from,to\nd,a\n");
    write_file(dir + "/quoted", "\"from\",\"to\"\n\"d\",\"a\"\n");
    write_file(dir + "/r", "\"\",\"from\",\"to\"\n\"1\",\"d\",\"a\"\n");
    ASSERT_EQ(score({"--local-files", "--require", dir + "/plain", d, dir + "/p"}).status, 0);
    for (const char *f : {"header", "quoted", "r"}) {
        result r = score({"--local-files", "--require", dir + "/" + f, d, dir + "/" + f + ".o"});
        ASSERT_EQ(r.status, 0) << f << ": " << r.err;
        EXPECT_EQ(read_file(dir + "/" + f + ".o/0"), read_file(dir + "/p/0")) << f;
    }
    write_file(dir + "/arc", "a,\"b c\"\n");
    write_file(dir + "/cycle", "a,d\nd,\"b c\"\n\"b c\",a\n");
    write_file(dir + "/two", "a,d\n\"b c\",d\n");
    struct conflict {
        std::vector<std::string> args;
        std::string file, message;
    } cases[] = {
        {{"--forbid", dir + "/arc", "--require", dir + "/arc"}, "arc",
         "the arc 'a' -> 'b c' is both forbidden and required"},
        {{"--require", dir + "/cycle"}, "cycle",
         "the required arcs 'a' -> 'd', 'd' -> 'b c', 'b c' -> 'a' form a cycle"},
        {{"--max-parents", "1", "--require", dir + "/two"}, "two",
         "the child 'd' has 2 required parents, more than --max-parents 1"},
        {{"--require", dir + "/header", "--forbid", dir + "/unknown"}, "unknown",
         "No such file"},
    };
    write_file(dir + "/unknown_names", "from,to\nd,e\n");
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {d, dir + "/x"});
        result r = score(args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.err.rfind("compute_family_scores: " + dir + "/" + c.file + ": " + c.message, 0),
                  0u)
            << r.err;
    }
    result r = score({"--require", dir + "/unknown_names", d, dir + "/x"});
    EXPECT_EQ(r.err, "compute_family_scores: " + dir + "/unknown_names: line 2: unknown "
                     "variable 'e'\n");
}

// The settings given back as arguments (what the driver passes on) parse to
// the same settings.
TEST(LearnScorer, ScoringArgumentsRoundTrip)
{
    auto parse = [](std::vector<std::string> args) {
        scoring_settings s;
        CLI::App app;
        add_scoring_options(app, s);
        std::reverse(args.begin(), args.end());  // CLI11 takes a vector back to front
        app.parse(args);
        return s;
    };
    const scoring_settings s =
        parse({"--delimiter", ";", "--missing=drop", "--na-values", ",NA,-", "--max-levels", "5",
               "--categorical", "a b", "--categorical", "c", "--discretize", "quantile",
               "--discretize", "x=y=interval:7", "--score", "aic", "--ess", "2.5",
               "--max-parents", "3", "--forbid", "f", "--require", "r", "--threads", "3"});
    EXPECT_EQ(s.read.delimiter, ';');
    EXPECT_EQ(s.read.na_values, (std::vector<std::string>{"", "NA", "-"}));
    ASSERT_EQ(s.read.discretize.size(), 2u);
    EXPECT_EQ(s.read.discretize[1].column, "x=y");
    EXPECT_EQ(s.read.discretize[1].bins, 7);
    const std::vector<std::string> args = scoring_arguments(s);
    const scoring_settings t = parse(args);
    EXPECT_EQ(scoring_arguments(t), args);
    EXPECT_EQ(t.read.categorical, s.read.categorical);
    EXPECT_EQ(t.score.ess, 2.5);
    EXPECT_EQ(t.threads, 3u);
    EXPECT_TRUE(scoring_arguments(scoring_settings{}).empty());
}
