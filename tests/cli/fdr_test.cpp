// The list at a chosen false-discovery rate: --fdr writes exactly the rows
// whose q-value is at most the level, ordered by their score, and says how
// many; the options refuse values out of range.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_support.h"

namespace {

using namespace cli_test;

std::size_t column_of(const std::vector<std::string>& header, const std::string& name) {
    const auto at = std::find(header.begin(), header.end(), name);
    return at == header.end() ? 0 : static_cast<std::size_t>(at - header.begin());
}

TEST(CliFdr, TheListHoldsTheRowsWhoseQValueIsAtMostTheLevel) {
    struct Case {
        const char* sort;
        const char* q;
        const char* score;
        double level;
    };
    for (const Case& c : {Case{"score_mean", "q_mean", "score_mean", 0.2},
                          Case{"score_joint", "q_joint", "score_joint", 0.2}}) {
        const std::vector<std::string> common{"-g", "4,4,4", "-b", "100", "-k", "100", "--seed", "17",
                                              "--digits", "17", "--sort", c.sort, kExample};
        std::vector<std::string> all_args = common;  // auto given is the default
        all_args.insert(all_args.begin(), {"--permutations", "auto"});
        const Result all = run_cli(all_args);
        ASSERT_EQ(all.status, 0) << all.err;
        std::vector<std::string> listed_args = common;
        listed_args.insert(listed_args.begin(), {"--fdr", std::to_string(c.level)});
        const Result listed = run_cli(listed_args);
        ASSERT_EQ(listed.status, 0) << listed.err;

        const auto t = parse_tsv(all.out), l = parse_tsv(listed.out);
        ASSERT_EQ(t.size(), 301u);
        const std::size_t q = column_of(t[0], c.q), score = column_of(t[0], c.score);
        ASSERT_GT(q, 0u);
        ASSERT_EQ(l[0], t[0]);
        // The whole table's rows with q <= level, in its (score) order.
        std::vector<std::vector<std::string>> want;
        for (std::size_t r = 1; r < t.size(); ++r)
            if (!t[r][q].empty() && std::stod(t[r][q]) <= c.level) want.push_back(t[r]);
        EXPECT_GT(want.size(), 10u) << c.q;
        EXPECT_EQ(std::vector<std::vector<std::string>>(l.begin() + 1, l.end()), want) << c.q;
        for (std::size_t r = 2; r < l.size(); ++r) EXPECT_GE(std::stod(l[r - 1][score]), std::stod(l[r][score]));
        // 300 rows: the automatic count is 16 null analyses.
        const std::string said = std::to_string(want.size()) + " rows of 300 called at false-discovery rate 0.2 (" + c.q +
                                 " <= 0.2, 16 null analyses)";
        EXPECT_NE(listed.err.find(said), std::string::npos) << listed.err;
    }
}

TEST(CliFdr, RejectsBadValuesAndHelpNamesTheOptions) {
    const std::string help = run_cli({"--help"}).out;
    for (const char* word : {"--fdr", "--permutations", "score_mean", "q_mean", "q_joint"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--fdr", "0"}, {"--fdr", "1"}, {"--fdr", "x"}, {"--permutations", "-1"},
             {"--permutations", "1025"}, {"--permutations", "Auto"}, {"--fdr", "0.1", "--permutations", "0"}, {"--sort", "score"}}) {
        std::vector<std::string> args{"-g", "2,2", "x.tsv"};
        args.insert(args.begin(), bad.begin(), bad.end());
        EXPECT_EQ(run_cli(args).status, 2) << bad[0] << ' ' << bad[1];
    }
}

}  // namespace
