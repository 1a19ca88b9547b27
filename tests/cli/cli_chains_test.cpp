// The front end's analysis options: several chains, standardisation, sorted
// full output, diagnostics and warnings.
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_support.h"

namespace {

// Every file lives in the process's own scratch folder, removed at exit.
using cli_test::GeneratorGuard;
using cli_test::parse_tsv;
using cli_test::read_file;
using cli_test::Result;
using cli_test::run_cli;
using cli_test::temp_path;

// The first `rows` data rows of the bundled example, values times `times`.
std::string example(std::size_t rows, double times) {
    std::ifstream in(std::string(KESTRUM_SOURCE_DIR) + "/examples/example.tsv");
    std::string line, text;
    std::getline(in, line);
    text = line + "\n";
    for (std::size_t r = 0; r < rows && std::getline(in, line); ++r) {
        std::istringstream l(line);
        std::string cell;
        std::getline(l, cell, '\t');
        text += cell;
        while (std::getline(l, cell, '\t')) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "\t%.17g", std::stod(cell) * times);
            text += buf;
        }
        text += "\n";
    }
    return text;
}

std::string write_example(const std::string& name, std::size_t rows, double times) {
    const std::string p = temp_path(name);
    std::ofstream(p, std::ios::binary) << example(rows, times);
    return p;
}

TEST(CliChains, FullOutputIsSortedAndTheThreadCountChangesNothing) {
    const std::string in = write_example("full.tsv", 60, 1.0);
    const std::vector<std::string> common{"-g", "4,4,4", "-b", "20", "-k", "40", in};
    std::vector<std::string> one = common, two = common;
    one.insert(one.begin(), {"--threads", "1"});
    two.insert(two.begin(), {"--threads", "2"});
    GeneratorGuard guard;
    const Result a = run_cli(one);
    guard.restore();
    const Result b = run_cli(two);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_NE(a.err.find("data divided by the scale"), std::string::npos) << a.err;
    const auto t = parse_tsv(a.out);
    ASSERT_EQ(t.size(), 61u);
    EXPECT_EQ(t[0], (std::vector<std::string>{"row", "mean_a", "mean_b", "mean_c", "var_a", "var_b",
                                              "var_c", "diff_b", "diff_c", "lo_b", "lo_c", "hi_b",
                                              "hi_c", "p_mean", "p_mean_mcse", "p_joint",
                                              "p_joint_mcse", "rhat", "ess", "rhat_flag", "score_mean",
                                              "score_joint", "q_mean", "q_joint"}));
    for (std::size_t r = 1; r < t.size(); ++r) {
        ASSERT_EQ(t[r].size(), 24u);
        const double diff = std::stod(t[r][7]), lo = std::stod(t[r][9]), hi = std::stod(t[r][11]);
        EXPECT_LE(lo, diff);
        EXPECT_LE(diff, hi);
        EXPECT_GE(std::stod(t[r][14]), 0.0);  // an mcse
        if (r > 1) {
            EXPECT_GE(std::stod(t[r - 1][20]), std::stod(t[r][20]));  // score_mean descending
        }
    }
    // By p_joint instead; two groups have a joint frequency too.
    std::vector<std::string> joint = common;
    joint.insert(joint.begin(), {"--sort", "p_joint"});
    const auto j = parse_tsv(run_cli(joint).out);
    for (std::size_t r = 2; r < j.size(); ++r) EXPECT_GE(std::stod(j[r - 1][15]), std::stod(j[r][15]));
    const auto two_groups = parse_tsv(run_cli({"-g", "4,8", "-b", "10", "-k", "20", in}).out);
    EXPECT_EQ(two_groups[0][10], "p_joint");
}

// Data times 2 with --scale 2 and priors given times 4 are the plain run's
// data and priors exactly: the results are the plain run's in the new units.
TEST(CliChains, GivenPriorsAreConvertedWithTheData) {
    const std::string one = write_example("one.tsv", 30, 1.0), two = write_example("two.tsv", 30, 2.0);
    const std::vector<std::string> opts{"-g", "4,4,4", "-b", "10", "-k", "20", "--sort", "none",
                                        "--digits", "17", "--chains", "2"};
    std::vector<std::string> plain = opts, scaled = opts;
    plain.insert(plain.end(), {"--scale", "none", one});
    scaled.insert(scaled.end(), {"--scale", "2", "--hrate", "4", "--mvar", "40000", "--effvar",
                                 "40000", two});
    GeneratorGuard guard;
    const Result a = run_cli(plain);
    guard.restore();
    const Result b = run_cli(scaled);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    const auto ta = parse_tsv(a.out), tb = parse_tsv(b.out);
    ASSERT_EQ(ta.size(), tb.size());
    for (std::size_t r = 1; r < ta.size(); ++r) {
        for (std::size_t c = 1; c <= 3; ++c) EXPECT_EQ(2.0 * std::stod(ta[r][c]), std::stod(tb[r][c]));
        for (std::size_t c = 4; c <= 6; ++c) EXPECT_EQ(4.0 * std::stod(ta[r][c]), std::stod(tb[r][c]));
        for (std::size_t c = 13; c < 18; ++c) EXPECT_EQ(ta[r][c], tb[r][c]);
    }
}

TEST(CliChains, WarnsOfAStuckRateAndWritesTheTrace) {
    const std::string in = write_example("big.tsv", 40, 30.0), trace = temp_path("trace.tsv");
    const Result raw = run_cli({"-g", "4,4,4", "-b", "40", "-k", "10", "--chains", "2", "--scale",
                                "none", "--start", "fixed", "--diagnostics", trace, in});
    ASSERT_EQ(raw.status, 0) << raw.err;
    EXPECT_NE(raw.err.find("warning: chain 1, group a: the rate of the variance prior"),
              std::string::npos) << raw.err;
    EXPECT_NE(raw.err.find("--scale auto"), std::string::npos);
    const auto t = parse_tsv(read_file(trace));
    ASSERT_EQ(t.size(), 1u + 2 * 50 * 3);
    EXPECT_EQ(t[0], (std::vector<std::string>{"chain", "iteration", "phase", "group", "rate", "accepted"}));
    EXPECT_EQ(t[1], (std::vector<std::string>{"1", "1", "burn", "a", t[1][4], t[1][5]}));
    EXPECT_EQ(t.back()[2], "keep");
    std::remove(trace.c_str());
    // Standardised, or started from the data, the same data raise no rate
    // warning.
    for (const char* scale : {"auto", "none"}) {
        const Result fine = run_cli({"-g", "4,4,4", "-b", "40", "-k", "10", "--chains", "2", "--scale", scale, in});
        EXPECT_EQ(fine.err.find("the rate of the variance prior"), std::string::npos) << scale << fine.err;
    }
    // A trace that cannot be written is an error.
    EXPECT_EQ(run_cli({"-g", "4,4,4", "-b", "2", "-k", "2", "--diagnostics",
                       temp_path("nodir") + "/x.tsv", in}).status, 1);
    std::remove(in.c_str());
}

TEST(CliChains, RejectsBadValuesAndHelpNamesTheOptions) {
    const std::string help = run_cli({"--help"}).out;
    for (const char* opt : {"--chains", "--threads", "--scale", "--start", "--sort", "--columns",
                            "--diagnostics", "p_mean_mcse", "rhat", "ess", "rhat_flag",
                            "not a p-value"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--chains", "0"}, {"--threads", "0"}, {"--scale", "-1"}, {"--scale", "some"},
             {"--start", "zero"}, {"--sort", "p"}, {"--columns", "all"}, {"--diagnostics", ""}}) {
        std::vector<std::string> args{"-g", "2,2", "x.tsv"};
        args.insert(args.begin(), bad.begin(), bad.end());
        EXPECT_EQ(run_cli(args).status, 2) << bad[0] << ' ' << bad[1];
    }
}

}  // namespace
