// Rows whose draws become non-finite in the run: a warning naming them,
// empty results, exit status 3.
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli_support.h"

namespace {

using namespace cli_test;

TEST(CliRows, RowsWhoseDrawsBecomeNonFiniteAreWrittenEmptyWithStatus3) {
    // Group b's spread is 1e-24 of group a's variance: the row sweep cannot
    // resolve the two precisions and the row's draws become NaN.
    const std::string p = temp_path("tiny_spread.tsv");
    write_file(p, "id\ta1\ta2\tb1\tb2\tb3\tb4\ntiny\t1\t0\t0\t0\t0\t1e-12\n");
    for (const char* chains : {"1", "2"}) {
        SCOPED_TRACE(chains);
        GeneratorGuard guard;
        const Result r = run_cli({"--chains", chains, "-g", "2,4", "-b", "1000", "-k", "50", p});
        EXPECT_EQ(r.status, 3) << r.err;
        const auto rows = parse_tsv(r.out);
        ASSERT_EQ(rows.size(), 2u) << r.out;
        ASSERT_GE(rows[1].size(), 2u);
        EXPECT_EQ(rows[1][0], "tiny");
        for (std::size_t c = 1; c < rows[1].size(); ++c) EXPECT_EQ(rows[1][c], "") << rows[0][c];
        EXPECT_NE(r.err.find("warning: " + p + ":2: row 'tiny': its draws became non-finite; "
                             "written with empty results"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("1 row with non-finite draws written with empty results; lines 2."),
                  std::string::npos)
            << r.err;
    }
}

}  // namespace
