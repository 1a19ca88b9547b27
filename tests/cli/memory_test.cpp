// The front end's check of a run's memory plan, made before anything is
// drawn.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_support.h"

namespace {

using namespace cli_test;

// A run whose memory plan does not fit is refused before any draw, with
// what to change: 1024 chains of 2700 rows cannot store 100 draws each
// within the run's budget, and the rate traces of 1024 chains of 20002
// iterations asked for with --diagnostics exceed their share.
TEST(CliMemory, ARunBeyondItsMemoryBudgetIsRefusedBeforeSampling) {
    const std::string many = temp_path("many.tsv"), one = temp_path("one.tsv");
    std::string text;
    for (int g = 0; g < 2700; ++g) text += "r" + std::to_string(g) + "\t1\t2\t3\t" + std::to_string(g % 7) + ".5\n";
    write_file(many, text);
    write_file(one, "r1\t1\t2\t3\t4\n");
    const std::string trace = temp_path("trace.tsv");
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--chains", "1024", "-b", "0", "-k", "100", many},
         "the stored draws of 1024 chains for 2700 rows and 2 groups do not fit in the run's memory "
         "budget of 1024 MiB, not even 100 a chain"},
        {{"--chains", "1024", "-b", "20000", "-k", "2", "--diagnostics", trace, one},
         "the rate traces of 1024 chains of 20002 iterations would take 351.6 MiB"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"-g", "2,2"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        GeneratorGuard guard;
        const Result r = run_cli(args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
        EXPECT_FALSE(exists(trace));
    }
}

}  // namespace
