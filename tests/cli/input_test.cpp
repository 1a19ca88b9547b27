// Reading the input honestly: header and row-name detection (asking when
// unsure), missing values, rows whose statistics overflow, labels files and
// group names from the header.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_support.h"

namespace {

using namespace cli_test;
using kestrum::cli::ReadOptions;
using kestrum::cli::Table;

struct ReadCase {
    const char* what;
    const char* text;
    int header;              // ReadOptions::header
    const char* error;       // expected message part, or nullptr
    std::size_t header_size, rows, cols, missing;
    bool row_names;
};

TEST(CliInput, HeaderRowNamesAndMissingValues) {
    const ReadCase cases[] = {
        {"text header", "id\ta\tb\nr1\t1\t2\n", -1, nullptr, 2, 1, 2, 0, true},
        {"write.csv corner", "\"\",\"01005\",\"01006\"\n\"1\",7.1,7.2\n\"2\",7,8\n", -1, nullptr, 2, 2, 2, 0, true},
        {"write.table quoted names", "\"01005\"\t\"01006\"\n\"g1\"\t7.1\t7.2\n", -1, nullptr, 2, 1, 2, 0, true},
        {"numeric names, one fewer", "01005\t01006\ng1\t7.1\t7.2\n", -1, "1:1: cannot tell whether the first line is a header: it has 2 cells and the next line 3; give --header or --no-header", 0, 0, 0, 0, false},
        {"the same, told", "01005\t01006\ng1\t7.1\t7.2\n", 1, nullptr, 2, 1, 2, 0, true},
        {"leading zeros", "01005\t01006\n7.1\t7.2\n", -1, "whole numbers with leading zeros", 0, 0, 0, 0, false},
        {"whole then fractional", "1\t2\t3\n1.5\t2.5\t3.5\n", -1, "the next line's are not", 0, 0, 0, 0, false},
        {"the same, told no header", "1\t2\t3\n1.5\t2.5\t3.5\n", 0, nullptr, 0, 2, 3, 0, false},
        {"whole-number data", "1\t2\n3\t4\n", -1, nullptr, 0, 2, 2, 0, false},
        {"NA in a headerless first row", "NA\t1\t2\n1\t2\t3\n", -1, nullptr, 0, 2, 3, 1, false},
        {"missing values in named rows", "g1\tNA\t2\ng2\t\t2\ng3\t1\tNaN\ng4\t1\t2\n", -1, nullptr, 0, 4, 2, 3, true},
        {"numeric row ids under a short header", "a\tb\n1\t7.1\t7.2\n2\t7\t8\n", -1, nullptr, 2, 2, 2, 0, true},
        {"an empty corner names the row names", "\tx\ty\n5\t1\t2\n", -1, nullptr, 2, 1, 2, 0, true},
        {"a byte-order mark before numbers", "\xEF\xBB\xBF" "1.5\t2\n3\t4\n", -1, nullptr, 0, 2, 2, 0, false},
    };
    for (const auto& c : cases) {
        ReadOptions opt;
        opt.header = c.header;
        Table t;
        std::string error;
        std::istringstream in(c.text);
        const bool ok = kestrum::cli::read_table(in, "in.tsv", opt, t, error);
        if (c.error != nullptr) {
            EXPECT_FALSE(ok) << c.what;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
            continue;
        }
        ASSERT_TRUE(ok) << c.what << ": " << error;
        EXPECT_EQ(t.header.size(), c.header_size) << c.what;
        EXPECT_EQ(t.rows, c.rows) << c.what;
        EXPECT_EQ(t.cols, c.cols) << c.what;
        EXPECT_EQ(t.missing_rows, c.missing) << c.what;
        EXPECT_EQ(t.has_row_names, c.row_names) << c.what;
    }
    // The write.csv case keeps the sample names as they are written.
    ReadOptions opt;
    Table t;
    std::string error;
    std::istringstream in("\"\",\"01005\",\"01006\"\n\"1\",7.1,7.2\n");
    ASSERT_TRUE(kestrum::cli::read_table(in, "x", opt, t, error)) << error;
    EXPECT_EQ(t.header, (std::vector<std::string>{"01005", "01006"}));
    EXPECT_EQ(t.values, (std::vector<double>{7.1, 7.2}));
}

const char* const kRows =
    "id\ta1\ta2\ta3\tb1\tb2\tb3\n"
    "r1\t1\t2\t1.5\t3\t5\t4\n"
    "r2\t2\t2.5\t2.2\t4\t4.1\t4.4\n"
    "r3\t0\t1\t0.7\t1\t3\t2\n"
    "r4\t5\t6\t5.5\t5\t6\t5.2\n";

// The rows of kRows with one more row inserted before r3.
std::string with_row(const std::string& row) {
    std::string s = kRows;
    const std::size_t at = s.find("r3\t");
    return s.substr(0, at) + row + "\n" + s.substr(at);
}

// Runs the file with one bad row and the file without it from the same
// generator state: the good rows must agree and the bad one be empty.
void expect_left_out(const std::string& bad_row, const std::string& message) {
    const std::string bad = temp_path("with_bad.tsv"), good = temp_path("without_bad.tsv");
    write_file(bad, with_row(bad_row));
    write_file(good, kRows);
    GeneratorGuard guard;
    const Result r = run_cli({"--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "-g", "3,3", "-b", "5", "-k", "10", bad});
    guard.restore();
    const Result ref = run_cli({"--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "-g", "3,3", "-b", "5", "-k", "10", good});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(ref.status, 0) << ref.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    const auto a = parse_tsv(r.out), b = parse_tsv(ref.out);
    ASSERT_EQ(a.size(), 6u);
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[1], b[1]);
    EXPECT_EQ(a[2], b[2]);
    EXPECT_EQ(a[3], (std::vector<std::string>{"bad", "", "", "", "", ""}));
    EXPECT_EQ(a[4], b[3]);
    EXPECT_EQ(a[5], b[4]);
    // Rejected instead with --na fail, naming the line.
    const Result f = run_cli({"-g", "3,3", "-b", "5", "-k", "10", "--na", "fail", bad});
    EXPECT_EQ(f.status, 1);
    EXPECT_NE(f.err.find(bad + ":4:"), std::string::npos) << f.err;
}

TEST(CliInput, RowsWithMissingValuesAreLeftOutAndCounted) {
    expect_left_out("bad\t1\tNA\t2\t3\t4\t5", "1 row with missing values left out (written with empty results); lines 4");
    expect_left_out("bad\t1\t2\t3\t\t4\t5", "lines 4");
}

TEST(CliInput, RowsWhoseStatisticsOverflowAreLeftOutWithAWarning) {
    const std::string file = temp_path("with_bad.tsv");
    expect_left_out("bad\t1\t2\t3\t4\t1e300\t5",
                    "warning: " + file + ":4: row 'bad' left out: the mean or variance of group b overflows");
    expect_left_out("bad\t1e300\t2\t3\t4\t1\t5", "group a overflows");
}

TEST(CliInput, RowsWithAGroupOfEqualValuesAreLeftOutWithAWarning) {
    const std::string file = temp_path("with_bad.tsv");
    expect_left_out("bad\t1\t2\t3\t0\t0\t0",
                    "warning: " + file + ":4: row 'bad' left out: the values of group b are all equal");
    expect_left_out("bad\t2.5\t2.5\t2.5\t1\t5\t3", "the values of group a are all equal");
}

TEST(CliInput, NothingLeftToRunIsAnError) {
    const std::string p = temp_path("all_na.tsv");
    write_file(p, "r1\tNA\t1\t2\t3\nr2\t1\t2\t\t3\n");
    const Result r = run_cli({"-g", "2,2", p});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no row left to analyse (2 rows read, all left out)"), std::string::npos) << r.err;
}

TEST(CliInput, WarnsWhenTheDataAreFarBeyondThePrior) {
    const std::string p = temp_path("large.tsv");
    write_file(p, "r1\t1e8\t1.1e8\t3\t5\nr2\t2\t2.5\t4\t4.1\n");
    GeneratorGuard guard;
    const Result r = run_cli({"--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "-g", "2,2", "-b", "1", "-k", "2", p});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: group means reach 1.05e+08, far beyond the prior variance --mvar 10000"),
              std::string::npos) << r.err;
    guard.restore();
    const Result scaled = run_cli({"--chains", "1", "--scale", "none", "--sort", "none", "--columns", "basic", "-g", "2,2", "-b", "1", "-k", "2", "--mvar", "1e17", p});
    EXPECT_EQ(scaled.err, "");
}

TEST(CliInput, GroupNamesFromTheHeader) {
    struct Case {
        const char* header;
        const char* sizes;
        std::vector<std::string> names;
    } cases[] = {
        {"id\tctrl_01\tctrl_02\ttreat_01\ttreat_02\n", "2,2", {"mean_ctrl", "mean_treat"}},
        {"id\ta1\ta2\tb1\tb2\n", "2,2", {"mean_a", "mean_b"}},
        {"id\tx1\ty1\tx2\ty2\n", "2,2", {"mean_1", "mean_2"}},  // no shared prefix
        {"id\ts1\ts2\ts3\ts4\n", "2,2", {"mean_1", "mean_2"}},  // the same prefix twice
    };
    for (const auto& c : cases) {
        const std::string p = temp_path("names.tsv");
        write_file(p, std::string(c.header) + "r1\t1\t2\t3\t5\nr2\t2\t3\t3\t4\n");
        GeneratorGuard guard;
        const Result r = run_cli({"-g", c.sizes, "-b", "1", "-k", "2", p});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto t = parse_tsv(r.out);
        EXPECT_EQ(std::vector<std::string>(t[0].begin() + 1, t[0].begin() + 3), c.names) << c.header;
    }
}

TEST(CliInput, LabelsFileOneLabelPerColumnOrASampleSheet) {
    const std::string data = temp_path("labelled.tsv");
    write_file(data, "id\ts1\ts2\ts3\ts4\ts5\nr1\t1\t3\t2\t5\t4\nr2\t2\t4\t2\t6\t5\nr3\t0\t3\t1\t4\t4\n");
    const std::string per_line = temp_path("labels.txt"), sheet = temp_path("sheet.tsv"),
                      short_sheet = temp_path("short_sheet.csv");
    write_file(per_line, "c\nt\nc\nt\nt\n");
    write_file(sheet, "sample\tgroup\ns5\tt\ns1\tc\ns2\tt\nother\tx\ns3\tc\ns4\tt\n");
    write_file(short_sheet, "s1,c\ns2,t\ns3,c\n");
    GeneratorGuard guard;
    const Result ref = run_cli({"-l", "c,t,c,t,t", "-b", "3", "-k", "5", data});
    ASSERT_EQ(ref.status, 0) << ref.err;
    for (const std::string& f : {per_line, sheet}) {
        guard.restore();
        const Result r = run_cli({"--labels-file", f, "-b", "3", "-k", "5", data});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, ref.out) << f;
    }
    const Result missing = run_cli({"--labels-file", short_sheet, data});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no label for column 's4'"), std::string::npos) << missing.err;
    write_file(per_line, "c\nt\nc\n");
    const Result few = run_cli({"--labels-file", per_line, data});
    EXPECT_EQ(few.status, 1);
    EXPECT_NE(few.err.find("3 labels but the rows have 5 data columns"), std::string::npos) << few.err;
}

// Labels name the output's columns: one holding a tab, a line break or
// another control character is refused, with where it came from; a header
// prefix holding one names no group (the groups are numbered instead).
TEST(CliInput, LabelsWithControlCharactersAreRefused) {
    const std::string data = temp_path("control.tsv"), quoted = temp_path("control_header.tsv"),
                      per_line = temp_path("control_labels.txt"), sheet = temp_path("control_sheet.tsv");
    write_file(data, "id\ta1\ta2\tb1\tb2\nr1\t1\t2\t3\t5\nr2\t2\t2.5\t4\t4.1\n");
    write_file(quoted, "id\t\"a\tx\"\t\"a\tx\"\tb\tb\nr1\t1\t2\t3\t5\nr2\t2\t2.5\t4\t4.1\n");
    write_file(per_line, "c\n\"c\tx\"\nt\nt\n");
    write_file(sheet, "a1\tc\na2\tc\nb1\t\"t\rx\"\nb2\tt\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"-l", "c,c\tx,t,t", data}, 2, "--labels: data column 2: label 'c\\tx' holds a tab"},
        {{"-l", "c,c,t\nx,t", data}, 2, "--labels: data column 3: label 't\\nx' holds a line break"},
        {{"-l", "c,c,t,t\x1b", data}, 2, "--labels: data column 4: label 't\\x1B' holds the control character 0x1B"},
        {{"--labels-file", per_line, data}, 1, per_line + ":2:1: label 'c\\tx' holds a tab"},
        {{"--labels-file", sheet, data}, 1, sheet + ":3:2: label 't\\rx' holds a carriage return"},
        {{"--header-labels", quoted}, 1, quoted + ":1:2: label 'a\\tx' holds a tab"},
    };
    for (const Case& c : cases) {
        const Result r = run_cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    GeneratorGuard guard;
    const Result sized = run_cli({"-g", "2,2", "-b", "1", "-k", "2", quoted});
    ASSERT_EQ(sized.status, 0) << sized.err;
    const auto t = parse_tsv(sized.out);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0][1], "mean_1");
    EXPECT_EQ(t[0][2], "mean_2");
    EXPECT_EQ(t[0].size(), t[1].size());
}

}  // namespace
