// The command-line front end: reading, grouping, bad input, output files,
// and a round trip on the example data against the library routine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "kestrumr.h"
#include "random/stream.h"
#include "cli/cli.h"
#include "cli/cli_support.h"

namespace {

using namespace cli_test;

Result run_cli(std::initializer_list<std::string> args) { return cli_test::run_cli(std::vector<std::string>(args)); }

TEST(Cli, RoundTripOnTheExampleMatchesTheLibrary) {
    GeneratorGuard guard;
    const std::string out = temp_path("roundtrip.tsv");
    std::remove(out.c_str());
    const Result r = run_cli({"--groups", "4,4,4", "--burn", "20", "--keep", "30", "--pooled",
                              "--digits", "17", "--chains", "1", "--scale", "none", "--start", "fixed", "--sort", "none",
                              "--columns", "basic", "-o", out, kExample});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const auto table = parse_tsv(read_file(out));
    const auto input = parse_tsv(read_file(kExample));
    ASSERT_EQ(table.size(), 301u);
    // The groups are named after the header's column names (a1..a4, ...).
    EXPECT_EQ(table[0], (std::vector<std::string>{"row", "mean_a", "mean_b", "mean_c", "var_a",
                                                  "var_b", "var_c", "pooled_mean", "pooled_var",
                                                  "p_mean", "p_joint"}));

    // The same run through the exported routine, from the same generator state.
    guard.restore();
    const std::int32_t L = 300, J = 3, N = 12, K = 30, B = 20, ipool = 1, reserved = 0;
    const std::int32_t nobs[3] = {4, 4, 4};
    std::vector<double> y(L * N);
    for (int g = 0; g < L; ++g)
        for (int t = 0; t < N; ++t) y[g + t * L] = std::stod(input[g + 1][t + 1]);
    const double hshape = 1.0, hrate = 1.0, mvar[2] = {10000.0, 10000.0},
                 effvar[2] = {10000.0, 10000.0};
    double prshape = 0.0, prscale = 0.0;
    std::vector<double> prob(L * 2), pm(L), pv(L), gm(L * J), gv(L * J);
    kestrum_(&reserved, &ipool, &L, &J, nobs, &N, y.data(), &K, &B, &hshape, &hrate, &prshape,
             &prscale, mvar, effvar, prob.data(), pm.data(), pv.data(), gm.data(), gv.data());
    for (int g = 0; g < L; ++g) {
        const auto& row = table[g + 1];
        ASSERT_EQ(row.size(), 11u);
        EXPECT_EQ(row[0], input[g + 1][0]);
        for (int j = 0; j < J; ++j) {
            EXPECT_EQ(std::stod(row[1 + j]), gm[g + j * L]);
            EXPECT_EQ(std::stod(row[4 + j]), gv[g + j * L]);
        }
        EXPECT_EQ(std::stod(row[7]), pm[g]);
        EXPECT_EQ(std::stod(row[8]), pv[g]);
        EXPECT_EQ(std::stod(row[9]), prob[g]);
        EXPECT_EQ(std::stod(row[10]), prob[g + L]);
    }
}

TEST(Cli, LabelsAndSizesGiveTheSameResult) {
    GeneratorGuard guard;
    // The same data twice: grouped by position, and with the columns
    // interleaved and named by labels (and, a third time, by the header).
    const double v[4][6] = {{1.0, 1.2, 0.9, 3.1, 2.9, 3.3},
                            {5.0, 5.5, 4.5, 5.2, 4.8, 5.1},
                            {0.1, 0.3, 0.2, 0.0, -0.2, 0.4},
                            {2.0, 2.4, 1.8, 6.0, 6.5, 5.7}};
    std::ostringstream grouped, interleaved, headed;
    headed << "name,c,t,c,c,t,t\n";
    for (int g = 0; g < 4; ++g) {
        grouped << "r" << g;
        for (int t = 0; t < 6; ++t) grouped << '\t' << v[g][t];
        grouped << '\n';
        // interleaved order: c0 t0 c1 t1 c2 t2
        const int order[6] = {0, 3, 1, 4, 2, 5};
        interleaved << "r" << g;
        for (int t = 0; t < 6; ++t) interleaved << '\t' << v[g][order[t]];
        interleaved << '\n';
        // header order c t c c t t: columns c0 t0 c1 c2 t1 t2
        const int horder[6] = {0, 3, 1, 2, 4, 5};
        headed << "r" << g;
        for (int t = 0; t < 6; ++t) headed << ',' << v[g][horder[t]];
        headed << '\n';
    }
    const std::string a = temp_path("grouped.tsv"), b = temp_path("interleaved.tsv"),
                      c = temp_path("headed.csv");
    write_file(a, grouped.str());
    write_file(b, interleaved.str());
    write_file(c, headed.str());
    const Result by_size = run_cli({"-g", "3,3", "-b", "10", "-k", "40", "--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "--digits", "10", a});
    guard.restore();
    const Result by_label = run_cli({"-l", "c,t,c,t,c,t", "-b", "10", "-k", "40", "--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "--digits", "10", b});
    guard.restore();
    const Result by_header = run_cli({"--header-labels", "-b", "10", "-k", "40", "--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "--digits", "10", c});
    ASSERT_EQ(by_size.status, 0) << by_size.err;
    ASSERT_EQ(by_label.status, 0) << by_label.err;
    ASSERT_EQ(by_header.status, 0) << by_header.err;
    const auto s = parse_tsv(by_size.out), l = parse_tsv(by_label.out), h = parse_tsv(by_header.out);
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(l[0], (std::vector<std::string>{"row", "mean_c", "mean_t", "var_c", "var_t", "p_mean"}));
    EXPECT_EQ(h[0], l[0]);
    for (int g = 1; g <= 4; ++g) {
        EXPECT_EQ(s[g], l[g]);
        EXPECT_EQ(s[g], h[g]);
    }
}

TEST(Cli, PlainCommaMatrixWithoutNamesOrHeader) {
    GeneratorGuard guard;
    const std::string p = temp_path("plain.csv");
    write_file(p, "1,2,3,4\n2,3,4,5\r\n3,4,5,7\n\n");
    const Result r = run_cli({"-g", "2,2", "-k", "5", "-b", "0", "--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "--digits", "10", p});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto t = parse_tsv(r.out);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[1][0], "1");
    EXPECT_EQ(t[3][0], "3");
    EXPECT_EQ(t[0].size(), 6u);  // row, 2 means, 2 variances, p_mean
}

// Bad input: a non-zero status and a message naming file, line and column.
void expect_rejected(const std::string& text, std::initializer_list<std::string> opts,
                     const std::string& where, const std::string& what) {
    const std::string p = temp_path("bad.tsv");
    const std::string out = temp_path("bad_out.tsv");
    write_file(p, text);
    std::remove(out.c_str());
    std::vector<std::string> args(opts);
    std::vector<const char*> argv{"kestrum"};
    for (const auto& s : args) argv.push_back(s.c_str());
    argv.push_back("-o");
    argv.push_back(out.c_str());
    argv.push_back(p.c_str());
    std::ostringstream o, e;
    const int status = kestrum::cli::run(static_cast<int>(argv.size()), argv.data(), o, e);
    EXPECT_NE(status, 0) << text;
    EXPECT_NE(e.str().find(where.empty() ? p : p + ":" + where), std::string::npos) << e.str();
    EXPECT_NE(e.str().find(what), std::string::npos) << e.str();
    EXPECT_FALSE(exists(out)) << "an output file was left behind";
}

TEST(Cli, RejectsBadInput) {
    const std::string head = "id\ta\ta\tb\tb\n";
    expect_rejected(head + "r1\t1\t2\t3\t4\nr2\t1\t2\t3\n", {"-g", "2,2"}, "3:5:", "expected 5 columns, found 4");
    expect_rejected(head + "r1\t1\t2\t3\t4\nr2\t1\t2\t3\t4\t5\n", {"-g", "2,2"}, "3:6:", "found 6");
    expect_rejected(head + "r1\t1\tx2\t3\t4\n", {"-g", "2,2"}, "2:3:", "not a number: 'x2'");
    expect_rejected(head + "r1\t1\t2\t3\t4\nr2\t1\t2\tinf\t4\n", {"-g", "2,2"}, "3:4:", "not a finite number");
    expect_rejected(head + "r1\t1\t2\tnan\t4\n", {"-g", "2,2", "--na", "fail"}, "2:4:", "missing value 'nan'");
    expect_rejected(head + "r1\t1\t\t3\t4\n", {"-g", "2,2", "--na", "fail"}, "2:3:", "empty cell");
    expect_rejected(head + "r1\t1\t2\t1e400\t4\n", {"-g", "2,2"}, "2:4:", "not a finite number");
    expect_rejected(head + "r1\t1\t2\t3\t4\n", {"-g", "2,3"}, "2:2:", "add up to 5 columns but the rows have 4");
    expect_rejected(head + "r1\t1\t2\t3\t4\n", {"-g", "3,1"}, "2:2:", "group 2 has 1 columns");
    expect_rejected(head + "r1\t1\t2\t3\t4\n", {"-l", "a,a,a,b"}, "2:2:", "group 'b' has 1 column");
    expect_rejected("id\ta\ta\ta\tb\nr1\t1\t2\t3\t4\n", {"--header-labels"}, "1:2:", "group 'b' has 1 column");
    // The header is named by its own line, also with comment lines after it.
    expect_rejected("id\ta\ta\ta\tb\n# note\nr1\t1\t2\t3\t4\n", {"--header-labels"}, "1:2:",
                    "group 'b' has 1 column");
    expect_rejected(head + "r1\t1\t2\t3\t4\n", {"-l", "a,a,b"}, "2:2:", "3 labels");
    expect_rejected(head + "r1\t1\t2\t3\t4\n\nr3\t1\t2\t3\t4\n", {"-g", "2,2"}, "3:1:", "empty line");
    expect_rejected(head, {"-g", "2,2"}, "2:1:", "no data rows");
    expect_rejected("id\ta\tb\nr1\t1\t2\t3\t4\n", {"-g", "2,2"}, "1:1:", "header has 3 columns");
    // Too few kept iterations and other bad usage: no file position.
    const Result k1 = run_cli({"-g", "2,2", "-k", "1", "x"});
    EXPECT_EQ(k1.status, 2);
    EXPECT_NE(k1.err.find("--keep must be at least 2"), std::string::npos);
    EXPECT_EQ(run_cli({"-g", "2,2"}).status, 2);
    EXPECT_EQ(run_cli({"-g", "2,2", "--frobnicate", "x"}).status, 2);
    EXPECT_EQ(run_cli({"x"}).status, 2);  // no groups
    EXPECT_EQ(run_cli({"-g", "2,2", "-l", "a,a,b,b", "x"}).status, 2);
    EXPECT_EQ(run_cli({"-g", "2,2", "--seed", "0", "x"}).status, 2);
    EXPECT_EQ(run_cli({"-g", "2,2", "--mvar", "0", "x"}).status, 2);
    const Result missing = run_cli({"-g", "2,2", temp_path("no_such_file.tsv")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

TEST(Cli, KeepsAnOldOutputFileWhenARunFails) {
    const std::string p = temp_path("bad2.tsv"), out = temp_path("kept_out.tsv");
    write_file(p, "r1\t1\t2\t3\nr2\t1\t2\n");
    write_file(out, "previous results\n");
    const Result r = run_cli({"-g", "2,1", "-o", out, p});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(read_file(out), "previous results\n");
    // An output in a folder that does not exist fails cleanly.
    write_file(p, "r1\t1\t2\t3\t4\n");
    GeneratorGuard guard;
    const Result d = run_cli({"-g", "2,2", "-k", "3", "-b", "0", "-o", temp_path("nodir/x.tsv"), p});
    EXPECT_EQ(d.status, 1);
    EXPECT_NE(d.err.find("nodir/x.tsv"), std::string::npos);
}

TEST(Cli, HelpDescribesEveryOption) {
    const Result r = run_cli({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--groups", "--labels", "--burn", "--keep", "--seed", "--pooled", "--threads",
                            "--hshape", "--hrate", "--mvar", "--effvar", "--output"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
}

#if !defined(_WIN32)
// The installed program: seeding makes runs reproducible and distinct.
TEST(CliProgram, SeedGivesReproducibleRuns) {
    const std::string exe = KESTRUM_EXE;
    const std::string a = temp_path("seed_a.tsv"), b = temp_path("seed_b.tsv"),
                      c = temp_path("seed_c.tsv"), d = temp_path("noseed.tsv");
    const std::string common = " -g 4,4,4 -b 10 -k 20 " + kExample + " 2>>" + temp_path("seed_err.txt");
    ASSERT_EQ(std::system((exe + " --seed 7 -o " + a + common).c_str()), 0);
    ASSERT_EQ(std::system((exe + " --seed 7 -o " + b + common).c_str()), 0);
    ASSERT_EQ(std::system((exe + " --seed 8 -o " + c + common).c_str()), 0);
    ASSERT_EQ(std::system((exe + " -o " + d + common).c_str()), 0);
    EXPECT_EQ(read_file(a), read_file(b));
    EXPECT_TRUE(read_file(a) != read_file(c)) << "seeds 7 and 8 gave the same results";
    EXPECT_EQ(parse_tsv(read_file(a)).size(), 301u);
    // Results go to standard output without -o, and nothing else does.
    const std::string e = temp_path("stdout.tsv");
    ASSERT_EQ(std::system((exe + common + " > " + e).c_str()), 0);
    EXPECT_TRUE(read_file(e) == read_file(d));
}

TEST(CliProgram, ExampleGeneratorReproducesTheShippedFile) {
    const std::string out = temp_path("example.tsv");
    ASSERT_EQ(std::system((std::string(KESTRUM_EXAMPLE_EXE) + " " + out).c_str()), 0);
    EXPECT_TRUE(read_file(out) == read_file(kExample));
}

// Progress appears on standard error only when it is a terminal: run the
// program under a pseudo-terminal (util-linux script), then with standard
// error redirected to a file.
TEST(CliProgram, ProgressOnlyOnATerminal) {
    const std::string where = temp_path("which_script.txt");
    if (std::system(("command -v script >" + where + " 2>&1").c_str()) != 0) GTEST_SKIP() << "no script(1)";
    const std::string exe = KESTRUM_EXE;
    const std::string out = temp_path("progress_out.tsv"), tty = temp_path("progress_tty.txt"),
                      err = temp_path("progress_err.txt");
    const std::string cmd = exe + " -g 4,4,4 -b 5 -k 5 --chains 1 --scale none --sort none --columns basic -o " + out + " " + kExample;
    const std::string script_out = temp_path("script_out.txt");
    ASSERT_EQ(std::system(("script -qec '" + cmd + "' " + tty + " </dev/null >" + script_out + " 2>&1").c_str()), 0);
    EXPECT_NE(read_file(tty).find("sampling 100%"), std::string::npos);
    EXPECT_NE(read_file(tty).find("burn-in 1/5"), std::string::npos);
    EXPECT_NE(read_file(tty).find("kestrum: 300 rows written to " + out + " in "), std::string::npos);
    ASSERT_EQ(std::system((cmd + " 2>" + err).c_str()), 0);
    EXPECT_EQ(read_file(err), "");
}

#endif

}  // namespace

TEST(Cli, ThreadCountDoesNotChangeTheResults) {
    GeneratorGuard guard;
    const std::string& example = kExample;
    const Result one = run_cli({"--threads", "1", "-g", "4,4,4", "-b", "5", "-k", "20", example});
    guard.restore();
    const Result three = run_cli({"-t", "3", "-g", "4,4,4", "-b", "5", "-k", "20", example});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, three.out);
    EXPECT_EQ(parse_tsv(one.out).size(), 301u);
    EXPECT_EQ(run_cli({"--threads", "0", example}).status, 2);
}
