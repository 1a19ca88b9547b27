// The front end's checks of a standardised run: the scale, the scaled rows
// and the converted priors, made before anything is drawn.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_support.h"

namespace {

using namespace cli_test;

// Scales whose square leaves a double's range are refused with the
// options; a standardised row or prior that leaves it is refused naming
// the row or the prior (exit status 1, as other bad input, no output).
TEST(CliScale, ScaledDataAndPriorsAreCheckedAsGivenOnes) {
    // Within-group spread of about 1e-160, and one row holding 1e150.  The
    // pooled sds (divisor N - J = 2) are sqrt(1/2)e-160 for r1, sqrt(2)e-160
    // for r3 and about 5e149 for r2: the automatic scale is the median,
    // sqrt(2)e-160; without r2 it is the mean of the other two, whose
    // square leaves a double's range.
    const std::string tiny = temp_path("tiny.tsv"), tiny2 = temp_path("tiny2.tsv"),
                      small = temp_path("small.tsv");
    write_file(tiny, "r1\t1e-160\t2e-160\t3e-160\t4e-160\nr2\t1e150\t2e-160\t3e-160\t1e-160\n"
                     "r3\t3e-160\t1e-160\t4e-160\t2e-160\n");
    write_file(tiny2, "r1\t1e-160\t2e-160\t3e-160\t4e-160\nr3\t3e-160\t1e-160\t4e-160\t2e-160\n");
    write_file(small, "r1\t1\t2\t3\t4\nr2\t2\t1\t4\t3\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* named;
    };
    const Case cases[] = {
        {{"--scale", "1e-300", small}, 2, "--scale 1e-300: its square under- or overflows"},
        {{"--scale", "1e300", small}, 2, "--scale 1e300: its square under- or overflows"},
        {{"--scale", "1e-160", small}, 2, "--scale 1e-160: its square under- or overflows"},
        {{tiny}, 1, "tiny.tsv:2: row 'r2' divided by the scale 1.41421e-160: the mean or variance"},
        {{tiny2}, 1, "is too small or too large: its square under- or overflows"},
        {{"--scale", "1e100", "--mvar", "1e-300", small}, 1, "--mvar comes out as 0"},
    };
    const std::string out = temp_path("scaled_out.tsv");
    for (const Case& c : cases) {
        std::vector<std::string> args{"-g", "2,2", "-b", "5", "-k", "5", "-o", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        GeneratorGuard guard;
        const Result r = run_cli(args);
        EXPECT_EQ(r.status, c.status) << c.named << '\n' << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_FALSE(exists(out)) << c.named;
    }
    // Scales within range run.
    GeneratorGuard guard;
    const Result fine = run_cli({"-g", "2,2", "-b", "5", "-k", "5", "--scale", "1e-150", small});
    EXPECT_EQ(fine.status, 0) << fine.err;
}

}  // namespace
