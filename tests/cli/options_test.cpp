// The conventions of the command line: --version, --, short options with
// attached values, the manual page, and the progress and closing lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/progress.h"

namespace {

using namespace cli_test;

TEST(CliOptions, VersionPrintsTheProjectVersion) {
    for (const char* arg : {"--version", "-V"}) {
        const Result r = run_cli({arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("kestrum ") + KESTRUM_VERSION + "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CliOptions, SpellingsOfTheSameRunAgree) {
    const std::string p = temp_path("spellings.tsv");
    write_file(p, "id\ta1\ta2\tb1\tb2\nr1\t1\t2\t3\t5\nr2\t2\t2.5\t4\t4.1\n");
    const std::vector<std::vector<std::string>> spellings = {
        {"--groups", "2,2", "--burn", "3", "--keep", "4", "--pooled", p},
        {"--groups=2,2", "--burn=3", "--keep=4", "--pooled", p},
        {"-g2,2", "-b3", "-k4", "-p", p},
        {"-g", "2,2", "-pb3", "-k", "4", "--", p},
    };
    GeneratorGuard guard;
    const Result ref = run_cli(spellings[0]);
    ASSERT_EQ(ref.status, 0) << ref.err;
    EXPECT_NE(ref.out.find("pooled_mean"), std::string::npos);
    for (const auto& args : spellings) {
        guard.restore();
        const Result r = run_cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, ref.out) << args[0];
    }
    // After --, an argument starting with - is the input.
    const std::string dash = temp_path("-dash.tsv");
    write_file(dash, read_file(p));
    guard.restore();
    const Result d = run_cli({"-g", "2,2", "-b", "3", "-k", "4", "-p", "--", dash});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out, ref.out);
}

TEST(CliOptions, BadUsageIsStatusTwo) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"-g", "2,2", "--pooled=1", "x"}, "--pooled takes no value"},
        {{"-g", "2,2", "-x", "x"}, "unknown option -x"},
        {{"-g", "2,2", "--keep"}, "--keep needs a value"},
        {{"-g", "2,2", "-k"}, "-k needs a value"},
        {{"-g", "2,2", "--na", "drop", "x"}, "--na is omit or fail"},
        {{"-g", "2,2", "--", "a", "b"}, "more than one input file"},
        {{"-g", "2,2", "--labels-file", "f", "x"}, "give the groups one way"},
    };
    for (const auto& c : cases) {
        const Result r = run_cli(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST(CliOptions, HelpDescribesTheNewOptions) {
    const Result r = run_cli({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--na omit|fail", "--labels-file", "--version", "--header, --no-header", "-k200"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
}

#if defined(KESTRUM_MAN_PAGE)
TEST(CliOptions, ManualPageIsMadeFromTheHelp) {
    const std::string man = read_file(KESTRUM_MAN_PAGE);
    EXPECT_NE(man.find(".TH KESTRUM \"1\""), std::string::npos);
    EXPECT_NE(man.find(KESTRUM_VERSION), std::string::npos);
    EXPECT_NE(man.find("labels\\-file"), std::string::npos);
}
#endif

TEST(CliProgress, CountsAndDurations) {
    using kestrum::cli::format_count;
    using kestrum::cli::format_duration;
    EXPECT_EQ(format_count(0), "0");
    EXPECT_EQ(format_count(999), "999");
    EXPECT_EQ(format_count(12625), "12 625");
    EXPECT_EQ(format_count(1234567), "1 234 567");
    EXPECT_EQ(format_duration(0.4), "0 s");
    EXPECT_EQ(format_duration(31.2), "31 s");
    EXPECT_EQ(format_duration(120), "2 min");
    EXPECT_EQ(format_duration(125), "2 min 5 s");
    EXPECT_EQ(format_duration(3600 + 180 + 7), "1 h 3 min");
}

// Each call of a fresh progress line shows its phase.
TEST(CliProgress, ShowsThePhase) {
    struct Case {
        int kind;  // 0 sampling, 1 writing, 2 closing line
        long long done, total;
        const char* expected;
    } cases[] = {
        {0, 1, 10, "kestrum: sampling  10% (burn-in 1/4)"},
        {0, 7, 10, "kestrum: sampling  70% (kept 3/6)"},
        {0, 10, 10, "kestrum: sampling 100% in 0 s; summaries..."},
        {1, 6500, 12625, "kestrum: writing  51% (6 500/12 625 rows)"},
        {2, 0, 0, "kestrum: 12 625 rows written to out.tsv in 0 s\n"},
    };
    for (const auto& c : cases) {
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        kestrum::cli::ProgressLine line(true, f, 4);
        if (c.kind == 0) line.sampling(c.done, c.total);
        if (c.kind == 1) line.writing(static_cast<std::uint64_t>(c.done), static_cast<std::uint64_t>(c.total));
        if (c.kind == 2) line.finish("12 625 rows written to out.tsv in 0 s");
        std::rewind(f);
        std::string text;
        for (int ch; (ch = std::fgetc(f)) != EOF;) text += static_cast<char>(ch);
        std::fclose(f);
        EXPECT_EQ(text, std::string("\r") + c.expected);
    }
    // Disabled, it writes nothing.
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    kestrum::cli::ProgressLine off(false, f, 4);
    off.sampling(1, 10);
    off.finish("done");
    EXPECT_EQ(std::ftell(f), 0L);
    std::fclose(f);
}

TEST(CliProgress, TimeLeftScalesTheElapsedTime) {
    EXPECT_EQ(kestrum::cli::time_left(10.0, 25, 100), "about 30 s left");
    EXPECT_EQ(kestrum::cli::time_left(60.0, 50, 100), "about 1 min left");
    EXPECT_EQ(kestrum::cli::time_left(0.5, 1, 100), "");  // too early to tell
}

}  // namespace
