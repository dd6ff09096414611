// Bootstrap support: compute_family_scores --resample and average_networks,
// run with the search chain on resampled data.
#include <random>
#include <sstream>

#include "testutil.h"

using namespace testutil;

namespace {

// Four columns: a, its exact copy "a,copy" (a name that needs quoting), and
// two noisy ones.
std::string forced_data(unsigned seed, int rows = 300)
{
    std::mt19937 rng(seed);
    std::string s = "a,\"a,copy\",b,c\n";
    for (int r = 0; r < rows; ++r) {
        int a = int(rng() % 3), b = int(rng() % 2), c = (rng() % 4 == 0) ? b : int(rng() % 2);
        char row[64];
        snprintf(row, sizeof row, "x%d,x%d,%d,%d\n", a, a, b, c);
        s += row;
    }
    return s;
}

// Scores resample k of the data and searches it: the network file.
std::string learn_resample(const std::string &dir, const std::string &data, const std::string &seed,
                           int k)
{
    std::string sd = dir + "/r" + seed + "_" + std::to_string(k);
    result r = run("compute_family_scores",
                   {"--local-files", "--resample", seed + ":" + std::to_string(k), data, sd});
    EXPECT_EQ(r.status, 0) << r.err;
    run_search(4, sd);
    return sd;
}

} // namespace

TEST(Bootstrap, ResamplesAreSeededAndForcedArcsAreCertain)
{
    std::string dir = scratch_dir();
    write_file(dir + "/d.csv", forced_data(3));
    const std::string data = dir + "/d.csv";
    std::vector<std::string> nets[2];
    for (int k = 1; k <= 6; ++k) {
        std::string s1 = learn_resample(dir, data, "11", k);
        // The same seed and index: the same rows, whatever the threads.
        std::string again = dir + "/again";
        fs::remove_all(again);
        ASSERT_EQ(run("compute_family_scores", {"--local-files", "--threads", "1", "--resample",
                                                "11:" + std::to_string(k), data, again})
                      .status,
                  0);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(read_file(again + "/" + std::to_string(i)),
                      read_file(s1 + "/" + std::to_string(i)));
        std::string s2 = learn_resample(dir, data, "12", k);
        // Another seed, another resample (and another index likewise).
        EXPECT_NE(read_file(s1 + "/2"), read_file(s2 + "/2"));
        if (k > 1) {
            EXPECT_NE(read_file(s1 + "/2"), read_file(dir + "/r11_1/2"));
        }
        nets[0].push_back(s1 + "/net");
        nets[1].push_back(s2 + "/net");
    }
    std::string outs[2];
    for (int t = 0; t < 2; ++t) {
        std::vector<std::string> args = {dir + "/r11_1/vd", dir + "/boot.csv", dir + "/avg",
                                         dir + "/labels.csv"};
        args.insert(args.end(), nets[0].begin(), nets[0].end());
        result r = run("average_networks", args);
        ASSERT_EQ(r.status, 0) << r.err;
        outs[t] = read_file(dir + "/boot.csv") + read_file(dir + "/avg") +
                  read_file(dir + "/labels.csv");
    }
    EXPECT_EQ(outs[0], outs[1]);
    std::string boot = read_file(dir + "/boot.csv");
    // a and its copy are adjacent in every resample: the strongest pair.
    EXPECT_EQ(boot.rfind("from,to,strength,direction\n", 0), 0u) << boot;
    std::istringstream lines(boot);
    std::string header, first, second;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_TRUE(first.rfind("a,\"a,copy\",1,", 0) == 0 || first.rfind("\"a,copy\",a,1,", 0) == 0)
        << boot;
    EXPECT_NE(second.find(",1,"), std::string::npos) << boot;
    // The averaged network holds the arc, labelled 1.00, and is a network
    // file of four lines.
    std::string avg = read_file(dir + "/avg");
    std::istringstream in(avg);
    uint32_t p[4];
    for (uint32_t &x : p)
        in >> x;
    ASSERT_TRUE(in) << avg;
    EXPECT_TRUE((p[1] & 1u) || (p[0] & 2u)) << avg;
    const std::string labels = read_file(dir + "/labels.csv");
    EXPECT_TRUE(labels.find("\na,\"a,copy\",1.00\n") != std::string::npos ||
                labels.find("\n\"a,copy\",a,1.00\n") != std::string::npos)
        << labels;

    // A network of another size and a cyclic one are refused.
    write_file(dir + "/bad", "0\n0\n0\n");
    result r = run("average_networks", {dir + "/r11_1/vd", dir + "/b2", dir + "/a2", dir + "/l2",
                                        dir + "/bad"});
    EXPECT_EQ(r.status, 2);
    write_file(dir + "/cyc", "2\n1\n0\n0\n");
    r = run("average_networks", {dir + "/r11_1/vd", dir + "/b2", dir + "/a2", dir + "/l2",
                                 dir + "/cyc"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cycle"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/b2"));
    EXPECT_EQ(run("average_networks", {dir + "/r11_1/vd"}).status, 1);
    // A bad option value is a usage error.
    EXPECT_EQ(run("compute_family_scores", {"--resample", "11", data, dir + "/x"}).status, 1);
}

// The driver's rounds are the chain above on resamples 1..B of its seed:
// the same bootstrap.csv whatever --threads, another with another seed, and
// the forced pair in every resample.
TEST(Bootstrap, DriverRoundsAreTheSeededResamples)
{
    std::string dir = scratch_dir();
    write_file(dir + "/d.csv", forced_data(5, 40)); // few rows: the weak pair comes and goes
    const std::string data = dir + "/d.csv";
    std::vector<std::string> args = {dir + "/r21_1/vd", dir + "/boot.csv", dir + "/avg",
                                     dir + "/labels.csv"};
    for (int k = 1; k <= 4; ++k)
        args.push_back(learn_resample(dir, data, "21", k) + "/net");
    ASSERT_EQ(run("average_networks", args).status, 0);

    std::string boot[3];
    const char *seeds[3] = {"21", "21", "22"};
    for (int t = 0; t < 3; ++t) {
        const std::string out = dir + "/out" + std::to_string(t);
        result r = run("learn_optimal_network", {"--bootstrap", "4", "--seed", seeds[t],
                                                 "--threads", t == 0 ? "1" : "2", data, out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("compute_family_scores resample 4/4"), std::string::npos) << r.err;
        boot[t] = read_file(out + "/bootstrap.csv");
        EXPECT_TRUE(fs::exists(out + "/averaged.svg"));
        EXPECT_NE(read_file(out + "/averaged.dot").find("[label=\"1.00\"]"), std::string::npos);
    }
    EXPECT_EQ(boot[0], read_file(dir + "/boot.csv"));
    EXPECT_EQ(read_file(dir + "/out0/averaged.txt"), read_file(dir + "/avg"));
    EXPECT_EQ(boot[0], boot[1]);
    EXPECT_NE(boot[0], boot[2]);
    for (const std::string &b : boot)
        EXPECT_TRUE(b.rfind("from,to,strength,direction\na,\"a,copy\",1,", 0) == 0 ||
                    b.rfind("from,to,strength,direction\n\"a,copy\",a,1,", 0) == 0)
            << b;
    // --seed or --threshold without --bootstrap is a usage error.
    EXPECT_EQ(run("learn_optimal_network", {"--seed", "3", data, dir + "/x"}).status, 1);
    EXPECT_EQ(run("learn_optimal_network", {"--bootstrap", "2", "--threshold", "0", data,
                                            dir + "/x"}).status, 1);
    EXPECT_FALSE(fs::exists(dir + "/x"));
}
