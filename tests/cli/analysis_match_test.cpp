// The library's analysis entry point gives, bit for bit, what the front end
// writes at its defaults for the same data and seed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli_support.h"
#include "kestrumr.h"
#include "kestrumr_analysis.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace {

using namespace cli_test;

// The process generator as a freshly loaded library has it after
// zbqlini_(seed), whatever this process drew before (the front end's
// --seed then draws from exactly that state, seeded or not again).
void seed_process_afresh(std::int32_t seed) {
    kestrum::random::Record rec = kestrum::random::load_time_record();
    kestrum::random::fill_table(rec, kestrum::random::seed_value(seed, rec.base));
    kestrum::random::Stream& st = kestrum::random::process_stream();
    *st.rec = rec;
    st.ilag22 = 22;
    st.ilag43 = 43;
    st.icount = 1;
    st.nstat = -1;
    st.nspare = 0.0;
}

std::vector<double> column(const kestrumr_analysis_results* r, int32_t which, int32_t group) {
    std::vector<double> v(static_cast<std::size_t>(kestrumr_analysis_nrow(r)));
    EXPECT_EQ(kestrumr_analysis_column(r, which, group, v.data(), v.size()), KESTRUMR_OK);
    return v;
}

struct Case {
    const char* name;
    std::vector<std::string> extra;  // front-end options besides the defaults
    void (*set)(kestrumr_analysis_options*);
};

class AnalysisMatchesFrontEnd : public ::testing::TestWithParam<Case> {};

TEST_P(AnalysisMatchesFrontEnd, EveryColumnBitForBit) {
    const Case& c = GetParam();
    const std::int32_t seed = 4711;
    GeneratorGuard guard;
    seed_process_afresh(seed);
    const std::string out = temp_path(std::string("analysis_match_") + c.name + ".tsv");
    std::vector<std::string> args{"-g", "4,4,4", "--seed", std::to_string(seed), "--digits", "17",
                                  "--sort", "none", "-o", out};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    args.push_back(kExample);
    const Result cli = run_cli(args);
    ASSERT_EQ(cli.status, 0) << cli.err;
    const auto table = parse_tsv(read_file(out));
    ASSERT_EQ(table.size(), 301u);

    // The same data, read from the example, through the entry point.
    const auto input = parse_tsv(read_file(kExample));
    const std::int32_t L = 300, J = 3, N = 12, nobs[3] = {4, 4, 4};
    std::vector<double> y(static_cast<std::size_t>(L * N));
    for (int g = 0; g < L; ++g)
        for (int t = 0; t < N; ++t) y[static_cast<std::size_t>(g + t * L)] = std::stod(input[g + 1][t + 1]);
    kestrumr_session* s = kestrumr_session_new();
    kestrumr_analysis_options* o = kestrumr_analysis_options_new();
    ASSERT_EQ(kestrumr_analysis_set_seed(o, seed), KESTRUMR_OK);
    if (c.set != nullptr) c.set(o);
    kestrumr_analysis_results* r = nullptr;
    ASSERT_EQ(kestrumr_analyse(s, o, L, J, nobs, N, y.data(), &r), KESTRUMR_OK) << kestrumr_errmsg(s);

    // The front end's columns, by name, and where the entry point has them.
    struct Col {
        std::string name;
        int32_t which, group;
    };
    std::vector<Col> cols;
    const char* names[3] = {"a", "b", "c"};
    for (int j = 0; j < J; ++j) cols.push_back({std::string("mean_") + names[j], KESTRUMR_COLUMN_MEAN, j});
    for (int j = 0; j < J; ++j) cols.push_back({std::string("var_") + names[j], KESTRUMR_COLUMN_VAR, j});
    cols.push_back({"pooled_mean", KESTRUMR_COLUMN_POOLED_MEAN, 0});
    cols.push_back({"pooled_var", KESTRUMR_COLUMN_POOLED_VAR, 0});
    for (int j = 1; j < J; ++j) cols.push_back({std::string("diff_") + names[j], KESTRUMR_COLUMN_DIFF, j});
    for (int j = 1; j < J; ++j) cols.push_back({std::string("lo_") + names[j], KESTRUMR_COLUMN_LO, j});
    for (int j = 1; j < J; ++j) cols.push_back({std::string("hi_") + names[j], KESTRUMR_COLUMN_HI, j});
    cols.push_back({"p_mean", KESTRUMR_COLUMN_P_MEAN, 0});
    cols.push_back({"p_mean_mcse", KESTRUMR_COLUMN_P_MEAN_MCSE, 0});
    cols.push_back({"p_joint", KESTRUMR_COLUMN_P_JOINT, 0});
    cols.push_back({"p_joint_mcse", KESTRUMR_COLUMN_P_JOINT_MCSE, 0});
    cols.push_back({"rhat", KESTRUMR_COLUMN_RHAT, 0});
    cols.push_back({"ess", KESTRUMR_COLUMN_ESS, 0});
    cols.push_back({"rhat_flag", KESTRUMR_COLUMN_RHAT_FLAG, 0});
    cols.push_back({"score_mean", KESTRUMR_COLUMN_SCORE_MEAN, 0});
    cols.push_back({"score_joint", KESTRUMR_COLUMN_SCORE_JOINT, 0});
    cols.push_back({"q_mean", KESTRUMR_COLUMN_Q_MEAN, 0});
    cols.push_back({"q_joint", KESTRUMR_COLUMN_Q_JOINT, 0});
    std::size_t compared = 0;
    for (const Col& col : cols) {
        std::size_t at = 0;
        for (std::size_t k = 1; k < table[0].size(); ++k)
            if (table[0][k] == col.name) at = k;
        if (at == 0) continue;  // a column this run does not write
        const std::vector<double> v = column(r, col.which, col.group);
        for (int g = 0; g < L; ++g) {
            const std::string& cell = table[static_cast<std::size_t>(g + 1)][at];
            const double x = v[static_cast<std::size_t>(g)];
            if (cell.empty() || cell == "nan") {
                EXPECT_TRUE(std::isnan(x)) << col.name << " row " << g + 1;
            } else {
                ASSERT_EQ(std::stod(cell), x) << col.name << " row " << g + 1;
            }
        }
        ++compared;
    }
    EXPECT_EQ(compared, table[0].size() - 1);

    // The scale the front end reports, and as many R-hat and stuck-rate
    // warnings as it gives.
    const double scale = kestrumr_analysis_scale(r);
    char text[64];
    std::snprintf(text, sizeof text, "the scale %.6g", scale);
    EXPECT_NE(cli.err.find(text), std::string::npos) << cli.err;
    std::size_t stuck = 0, rhat = 0;
    for (std::size_t i = 0; i < kestrumr_analysis_warning_count(r); ++i) {
        stuck += kestrumr_analysis_warning_kind(r, i) == KESTRUMR_WARNING_STUCK_RATE;
        rhat += kestrumr_analysis_warning_kind(r, i) == KESTRUMR_WARNING_RHAT;
    }
    std::size_t cli_stuck = 0;
    for (std::size_t at = cli.err.find("the rate of the variance prior"); at != std::string::npos;
         at = cli.err.find("the rate of the variance prior", at + 1))
        ++cli_stuck;
    EXPECT_EQ(stuck, cli_stuck);
    EXPECT_EQ(rhat, cli.err.find("have R-hat beyond what mixing chains give") != std::string::npos ? 1u : 0u);

    kestrumr_analysis_results_free(r);
    kestrumr_analysis_options_free(o);
    kestrumr_session_free(s);
}

// The front end runs over a session of its own: the process's generator
// and the exported blocks are where they were, with --seed or without.
TEST(FrontEndGenerator, TheProcessGeneratorIsNeverTouched) {
    GeneratorGuard guard;
    seed_process_afresh(17);
    const kestrum::random::Record rec = *kestrum::random::process_stream().rec;
    const kestrum::random::Stream pos = kestrum::random::process_stream();
    const double optvar = optvar_, tparvar = tparvar_;
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--seed", "5"}, std::vector<std::string>{"--chains", "1", "--scale", "none"}}) {
        std::vector<std::string> args{"-g", "4,4,4", "--keep", "20", "--burn", "10", "-o",
                                      temp_path("untouched.tsv")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(kExample);
        const Result cli = run_cli(args);
        ASSERT_EQ(cli.status, 0) << cli.err;
        const kestrum::random::Stream& now = kestrum::random::process_stream();
        EXPECT_EQ(std::memcmp(now.rec, &rec, sizeof rec), 0) << extra[0];
        EXPECT_EQ(now.ilag22, pos.ilag22) << extra[0];
        EXPECT_EQ(now.ilag43, pos.ilag43) << extra[0];
        EXPECT_EQ(now.icount, pos.icount) << extra[0];
        EXPECT_EQ(optvar_, optvar) << extra[0];
        EXPECT_EQ(tparvar_, tparvar) << extra[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnalysisMatchesFrontEnd,
    ::testing::Values(
        Case{"defaults", {}, nullptr},
        // Given priors are in the data's units, the pooled model, two chains.
        Case{"given_priors_pooled",
             {"--pooled", "--chains", "2", "--hrate", "0.5", "--mvar", "50,60", "--effvar", "30,40",
              "--burn", "300", "--keep", "200"},
             [](kestrumr_analysis_options* o) {
                 const double effvar[2] = {30.0, 40.0};
                 kestrumr_analysis_set_pooled(o, 1);
                 kestrumr_analysis_set_chains(o, 2);
                 kestrumr_analysis_set_hrate(o, 0.5);
                 kestrumr_analysis_set_mvar(o, 50.0, 60.0);
                 kestrumr_analysis_set_effvar(o, effvar, 2);
                 kestrumr_analysis_set_iterations(o, 300, 200);
             }},
        // A scale given, and one chain without stored draws.
        Case{"scale_value_basic",
             {"--scale", "2.5", "--chains", "1", "--columns", "basic", "--burn", "200", "--keep", "100"},
             [](kestrumr_analysis_options* o) {
                 kestrumr_analysis_set_scale(o, KESTRUMR_SCALE_VALUE, 2.5);
                 kestrumr_analysis_set_chains(o, 1);
                 kestrumr_analysis_set_draws(o, 0);
                 kestrumr_analysis_set_iterations(o, 200, 100);
             }}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
