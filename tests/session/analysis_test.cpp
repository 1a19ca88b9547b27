// The analysis entry point (kestrumr_analysis.h): rows left out with their
// statuses, warnings as records, options and arguments refused with a
// status and a message, chain 1 on the session's generator, cancellation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrumr_analysis.h"

namespace {

using Session = std::unique_ptr<kestrumr_session, void (*)(kestrumr_session*)>;
using Options = std::unique_ptr<kestrumr_analysis_options, void (*)(kestrumr_analysis_options*)>;
using Results = std::unique_ptr<kestrumr_analysis_results, void (*)(kestrumr_analysis_results*)>;
Session make_session() { return Session(kestrumr_session_new(), kestrumr_session_free); }
Options make_options() { return Options(kestrumr_analysis_options_new(), kestrumr_analysis_options_free); }

constexpr std::int32_t kJ = 2, kN = 8;
const std::int32_t kNobs[kJ] = {4, 4};

// Rows of two groups of four, column by column, times `unit`; every
// fifth row has a difference between the groups.
struct Data {
    std::int32_t L;
    std::vector<double> y;
    Data(std::int32_t rows, double unit) : L(rows), y(static_cast<std::size_t>(rows) * kN) {
        std::uint32_t state = 2463534242u;
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t t = 0; t < kN; ++t) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                const double u = static_cast<double>(state % 100000u) / 100000.0;
                y[g + t * L] = unit * (5.0 + 2.0 * u + (t >= 4 && g % 5 == 0 ? 1.5 : 0.0));
            }
    }
    Data without(const std::vector<std::int32_t>& rows) const {
        std::vector<std::int32_t> keep;
        for (std::int32_t g = 0; g < L; ++g)
            if (std::find(rows.begin(), rows.end(), g) == rows.end()) keep.push_back(g);
        Data d(static_cast<std::int32_t>(keep.size()), 1.0);
        for (std::size_t i = 0; i < keep.size(); ++i)
            for (std::int32_t t = 0; t < kN; ++t) d.y[i + t * d.L] = y[keep[i] + t * L];
        return d;
    }
};

Results analyse(kestrumr_session* s, const kestrumr_analysis_options* o, const Data& d, int* status = nullptr) {
    kestrumr_analysis_results* r = nullptr;
    const int st = kestrumr_analyse(s, o, d.L, kJ, kNobs, kN, d.y.data(), &r);
    if (status != nullptr) {
        *status = st;
    } else {
        EXPECT_EQ(st, KESTRUMR_OK) << kestrumr_errmsg(s);
    }
    return Results(r, kestrumr_analysis_results_free);
}

std::vector<double> column(const kestrumr_analysis_results* r, int32_t which, int32_t group = 0) {
    std::vector<double> v(static_cast<std::size_t>(kestrumr_analysis_nrow(r)));
    EXPECT_EQ(kestrumr_analysis_column(r, which, group, v.data(), v.size()), KESTRUMR_OK);
    return v;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const int32_t kColumns[][2] = {
    {KESTRUMR_COLUMN_MEAN, 0}, {KESTRUMR_COLUMN_MEAN, 1}, {KESTRUMR_COLUMN_VAR, 0},
    {KESTRUMR_COLUMN_VAR, 1},  {KESTRUMR_COLUMN_DIFF, 1}, {KESTRUMR_COLUMN_LO, 1},
    {KESTRUMR_COLUMN_HI, 1},   {KESTRUMR_COLUMN_P_MEAN, 0}, {KESTRUMR_COLUMN_P_MEAN_MCSE, 0},
    {KESTRUMR_COLUMN_P_JOINT, 0}, {KESTRUMR_COLUMN_P_JOINT_MCSE, 0}, {KESTRUMR_COLUMN_RHAT, 0},
    {KESTRUMR_COLUMN_SCORE_MEAN, 0}, {KESTRUMR_COLUMN_SCORE_JOINT, 0}, {KESTRUMR_COLUMN_Q_MEAN, 0},
    {KESTRUMR_COLUMN_Q_JOINT, 0}, {KESTRUMR_COLUMN_ESS, 0},  {KESTRUMR_COLUMN_RHAT_FLAG, 0}};

Options short_run(std::int64_t seed) {
    Options o = make_options();
    EXPECT_EQ(kestrumr_analysis_set_iterations(o.get(), 200, 120), KESTRUMR_OK);
    EXPECT_EQ(kestrumr_analysis_set_seed(o.get(), seed), KESTRUMR_OK);
    return o;
}

// Rows that cannot be analysed are left out with their reason; the others
// get exactly the results of the data without them.
TEST(Analysis, RowsLeftOutHaveTheirStatusAndTheOthersAreUntouched) {
    Data d(40, 1.0);
    d.y[3 + 5 * d.L] = std::nan("");                    // row 4: missing
    d.y[7 + 2 * d.L] = 1e300;                           // row 8: its variance overflows
    d.y[11 + 6 * d.L] = HUGE_VAL;                       // row 12: an infinite value
    for (int t = 4; t < 8; ++t) d.y[20 + t * d.L] = 3.0;  // row 21: group 2 without spread
    const std::vector<std::int32_t> out{3, 7, 11, 20};
    const Options o = short_run(99);
    Session s1 = make_session(), s2 = make_session();
    const Results all = analyse(s1.get(), o.get(), d);
    const Results rest = analyse(s2.get(), o.get(), d.without(out));
    ASSERT_TRUE(all && rest);

    std::vector<int32_t> status(static_cast<std::size_t>(d.L), -1);
    ASSERT_EQ(kestrumr_analysis_row_status(all.get(), status.data(), status.size()), KESTRUMR_OK);
    for (std::int32_t g = 0; g < d.L; ++g) {
        const int32_t want = g == 3 ? KESTRUMR_ROW_MISSING
                             : g == 7 || g == 11 ? KESTRUMR_ROW_OVERFLOW
                             : g == 20 ? KESTRUMR_ROW_NO_SPREAD
                                       : KESTRUMR_ROW_OK;
        EXPECT_EQ(status[static_cast<std::size_t>(g)], want) << "row " << g + 1;
    }
    EXPECT_TRUE(same_bits(kestrumr_analysis_scale(all.get()), kestrumr_analysis_scale(rest.get())));
    for (const auto& c : kColumns) {
        const std::vector<double> a = column(all.get(), c[0], c[1]), b = column(rest.get(), c[0], c[1]);
        std::size_t i = 0;
        for (std::int32_t g = 0; g < d.L; ++g) {
            if (std::find(out.begin(), out.end(), g) != out.end()) {
                EXPECT_TRUE(std::isnan(a[static_cast<std::size_t>(g)])) << "column " << c[0] << " row " << g + 1;
                continue;
            }
            EXPECT_TRUE(same_bits(a[static_cast<std::size_t>(g)], b[i++])) << "column " << c[0] << " row " << g + 1;
        }
    }
    // One record for the missing values, one for the rest, with the counts.
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < kestrumr_analysis_warning_count(all.get()); ++i)
        if (kestrumr_analysis_warning_kind(all.get(), i) == KESTRUMR_WARNING_ROWS_LEFT_OUT) {
            rows.push_back(kestrumr_analysis_warning_rows(all.get(), i));
            EXPECT_NE(std::string(kestrumr_analysis_warning_text(all.get(), i)).find(rows.size() == 1 ? "rows 4" : "rows 8, 12, 21"),
                      std::string::npos)
                << kestrumr_analysis_warning_text(all.get(), i);
        }
    EXPECT_EQ(rows, (std::vector<std::int64_t>{1, 3}));

    // With the policy fail the first such row stops the analysis.
    ASSERT_EQ(kestrumr_analysis_set_row_policy(o.get(), KESTRUMR_ROWS_FAIL), KESTRUMR_OK);
    int st = 0;
    EXPECT_FALSE(analyse(s1.get(), o.get(), d, &st));
    EXPECT_EQ(st, KESTRUMR_ERR_ARGUMENT);
    EXPECT_NE(std::string(kestrumr_errmsg(s1.get())).find("row 4: a value is missing"), std::string::npos)
        << kestrumr_errmsg(s1.get());
}

// A row whose draws become non-finite in the run (its second group's
// spread is 1e-24 of the first's variance) has NaN in every column, the
// status KESTRUMR_ROW_NOT_FINITE and a warning record of its own.
TEST(Analysis, RowsWhoseDrawsBecomeNonFiniteAreMarked) {
    const std::int32_t nobs[2] = {2, 4};
    const double y[6] = {1.0, 0.0, 0.0, 0.0, 0.0, 1e-12};
    Options o = make_options();
    ASSERT_EQ(kestrumr_analysis_set_iterations(o.get(), 1000, 50), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_chains(o.get(), 2), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_scale(o.get(), KESTRUMR_SCALE_NONE, 0.0), KESTRUMR_OK);
    Session s = make_session();
    kestrumr_analysis_results* raw = nullptr;
    ASSERT_EQ(kestrumr_analyse(s.get(), o.get(), 1, 2, nobs, 6, y, &raw), KESTRUMR_OK) << kestrumr_errmsg(s.get());
    const Results r(raw, kestrumr_analysis_results_free);
    int32_t status = -1;
    ASSERT_EQ(kestrumr_analysis_row_status(r.get(), &status, 1), KESTRUMR_OK);
    EXPECT_EQ(status, KESTRUMR_ROW_NOT_FINITE);
    for (const auto& c : kColumns) EXPECT_TRUE(std::isnan(column(r.get(), c[0], c[1])[0])) << "column " << c[0];
    std::size_t records = 0;
    for (std::size_t i = 0; i < kestrumr_analysis_warning_count(r.get()); ++i)
        if (kestrumr_analysis_warning_kind(r.get(), i) == KESTRUMR_WARNING_NOT_FINITE) {
            ++records;
            EXPECT_EQ(kestrumr_analysis_warning_rows(r.get(), i), 1);
        }
    EXPECT_EQ(records, 1u);
}

// Data of within-group variance about 100 without standardisation: from
// the fixed start the rate update of the variance priors sticks, and says
// so per chain and group; standardised, or started from the data, the
// same data give no such warning.
TEST(Analysis, StuckRateComesBackAsARecordPerChainAndGroup) {
    const Data d(60, 10.0);
    Options o = short_run(5);
    ASSERT_EQ(kestrumr_analysis_set_scale(o.get(), KESTRUMR_SCALE_NONE, 0.0), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_start(o.get(), KESTRUMR_START_FIXED), KESTRUMR_OK);
    Session s = make_session();
    const Results raw = analyse(s.get(), o.get(), d);
    ASSERT_TRUE(raw);
    std::size_t stuck = 0;
    for (std::size_t i = 0; i < kestrumr_analysis_warning_count(raw.get()); ++i) {
        if (kestrumr_analysis_warning_kind(raw.get(), i) != KESTRUMR_WARNING_STUCK_RATE) continue;
        ++stuck;
        const int32_t c = kestrumr_analysis_warning_chain(raw.get(), i),
                      j = kestrumr_analysis_warning_group(raw.get(), i);
        ASSERT_TRUE(c >= 0 && c < 4 && j >= 0 && j < kJ) << c << ' ' << j;
        double flag = -1.0;
        ASSERT_EQ(kestrumr_analysis_rate(raw.get(), c, j, KESTRUMR_RATE_STUCK, &flag), KESTRUMR_OK);
        EXPECT_EQ(flag, 1.0);
        const std::string text = kestrumr_analysis_warning_text(raw.get(), i);
        EXPECT_NE(text.find("chain " + std::to_string(c + 1) + ", group " + std::to_string(j + 1)),
                  std::string::npos)
            << text;
    }
    EXPECT_GT(stuck, 0u);
    EXPECT_TRUE(same_bits(kestrumr_analysis_scale(raw.get()), 1.0));

    for (const int32_t start : {KESTRUMR_START_FIXED, KESTRUMR_START_DATA}) {
        const bool scale = start == KESTRUMR_START_FIXED;
        ASSERT_EQ(kestrumr_analysis_set_scale(o.get(), scale ? KESTRUMR_SCALE_AUTO : KESTRUMR_SCALE_NONE, 0.0),
                  KESTRUMR_OK);
        ASSERT_EQ(kestrumr_analysis_set_start(o.get(), start), KESTRUMR_OK);
        const Results fine = analyse(s.get(), o.get(), d);
        ASSERT_TRUE(fine);
        for (std::size_t i = 0; i < kestrumr_analysis_warning_count(fine.get()); ++i)
            EXPECT_NE(kestrumr_analysis_warning_kind(fine.get(), i), KESTRUMR_WARNING_STUCK_RATE)
                << start << ": " << kestrumr_analysis_warning_text(fine.get(), i);
        for (int32_t c = 0; c < 4; ++c)
            for (int32_t j = 0; j < kJ; ++j) {
                double flag = -1.0;
                ASSERT_EQ(kestrumr_analysis_rate(fine.get(), c, j, KESTRUMR_RATE_STUCK, &flag), KESTRUMR_OK);
                EXPECT_EQ(flag, 0.0) << start;
            }
    }
}

// One chain on unstandardised data from the fixed start is the session's
// kestrumr_run: the same draws from the session's generator, which is left
// where they ended.
TEST(Analysis, OneChainUnscaledIsTheSessionsRun) {
    const Data d(30, 1.0);
    Options o = short_run(0);
    ASSERT_EQ(kestrumr_analysis_set_chains(o.get(), 1), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_start(o.get(), KESTRUMR_START_FIXED), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_scale(o.get(), KESTRUMR_SCALE_NONE, 0.0), KESTRUMR_OK);
    Session a = make_session(), b = make_session();
    ASSERT_EQ(kestrumr_seed(a.get(), 31337), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_seed(b.get(), 31337), KESTRUMR_OK);
    const Results r = analyse(a.get(), o.get(), d);
    ASSERT_TRUE(r);
    const double mvar[2] = {10000.0, 10000.0}, effvar[1] = {10000.0};
    const kestrumr_problem p{0, d.L, kJ, kNobs, kN, d.y.data(), 120, 200, 1.0, 1.0, mvar, effvar};
    std::vector<double> prob(d.L), pm(d.L), pv(d.L), gm(d.L * kJ), gv(d.L * kJ), pj(d.L);
    const kestrumr_results out{prob.data(), pm.data(), pv.data(), gm.data(), gv.data(), pj.data()};
    ASSERT_EQ(kestrumr_run(b.get(), &p, &out), KESTRUMR_OK);
    const std::vector<double> m0 = column(r.get(), KESTRUMR_COLUMN_MEAN, 0),
                              m1 = column(r.get(), KESTRUMR_COLUMN_MEAN, 1),
                              v1 = column(r.get(), KESTRUMR_COLUMN_VAR, 1),
                              p1 = column(r.get(), KESTRUMR_COLUMN_P_MEAN),
                              pjoint = column(r.get(), KESTRUMR_COLUMN_P_JOINT);
    for (std::int32_t g = 0; g < d.L; ++g) {
        const auto i = static_cast<std::size_t>(g);
        EXPECT_TRUE(same_bits(m0[i], gm[i]) && same_bits(m1[i], gm[i + d.L]) && same_bits(v1[i], gv[i + d.L]) &&
                    same_bits(p1[i], prob[i]) && same_bits(pjoint[i], pj[i]))
            << "row " << g + 1;
    }
    EXPECT_TRUE(same_bits(kestrumr_uniform(a.get()), kestrumr_uniform(b.get())));
}

// The null analyses a run took: the automatic count (16 for a table this
// small), the one given, none.
TEST(Analysis, TheNullAnalysesTakenAreReported) {
    const Data d(10, 1.0);
    for (const auto& [given, taken] : {std::pair<int32_t, int32_t>{KESTRUMR_PERMUTATIONS_AUTO, 16}, {3, 3}, {0, 0}}) {
        Options o = short_run(5);
        ASSERT_EQ(kestrumr_analysis_set_permutations(o.get(), given), KESTRUMR_OK);
        Session s = make_session();
        const Results r = analyse(s.get(), o.get(), d);
        ASSERT_TRUE(r);
        EXPECT_EQ(kestrumr_analysis_permutations(r.get()), taken) << given;
        EXPECT_EQ(std::isnan(column(r.get(), KESTRUMR_COLUMN_Q_MEAN)[0]), taken == 0) << given;
    }
    EXPECT_EQ(kestrumr_analysis_permutations(nullptr), -1);
}

// The progress callback runs on the calling thread only; a nonzero return
// cancels the analysis.
TEST(Analysis, ProgressOnTheCallingThreadAndCancellation) {
    struct Seen {
        std::thread::id caller = std::this_thread::get_id();
        int calls = 0;
        bool elsewhere = false;
        static int report(void* self, int64_t, int64_t) {
            auto* s = static_cast<Seen*>(self);
            s->elsewhere = s->elsewhere || std::this_thread::get_id() != s->caller;
            return ++s->calls >= 50 ? 1 : 0;
        }
    } seen;
    Session s = make_session();
    ASSERT_EQ(kestrumr_set_progress_callback(s.get(), Seen::report, &seen), KESTRUMR_OK);
    Options o = short_run(3);
    ASSERT_EQ(kestrumr_analysis_set_threads(o.get(), 4), KESTRUMR_OK);
    int st = 0;
    EXPECT_FALSE(analyse(s.get(), o.get(), Data(20, 1.0), &st));
    EXPECT_EQ(st, KESTRUMR_ERR_CANCELLED);
    EXPECT_EQ(seen.calls, 50);
    EXPECT_FALSE(seen.elsewhere);
}

// Every setter refuses a value out of its range with a status and a
// message, and keeps the option as it was.
TEST(Analysis, SettersRefuseValuesOutOfRange) {
    const double bad_effvar[2] = {1.0, -1.0};
    struct Case {
        const char* what;
        int (*set)(kestrumr_analysis_options*, const double*);
    };
    const Case cases[] = {
        {"chains", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_chains(o, 0); }},
        {"chains", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_chains(o, 1025); }},
        {"scale mode", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_scale(o, 7, 1.0); }},
        {"scale", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_scale(o, KESTRUMR_SCALE_VALUE, 0.0); }},
        {"scale", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_scale(o, KESTRUMR_SCALE_VALUE, 1e200); }},
        {"burn", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_iterations(o, -1, 10); }},
        {"keep", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_iterations(o, 10, 1); }},
        {"pooled", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_pooled(o, 2); }},
        {"hshape", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_hshape(o, -1.0); }},
        {"hrate", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_hrate(o, std::nan("")); }},
        {"mvar", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_mvar(o, 1.0, 0.0); }},
        {"effvar", [](kestrumr_analysis_options* o, const double* e) { return kestrumr_analysis_set_effvar(o, e, 2); }},
        {"effvar", [](kestrumr_analysis_options* o, const double* e) { return kestrumr_analysis_set_effvar(o, e, 0); }},
        {"effvar", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_effvar(o, nullptr, 1); }},
        {"row policy", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_row_policy(o, 2); }},
        {"memory budget", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_memory_budget(o, 1000); }},
        {"threads", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_threads(o, -1); }},
        {"seed", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_seed(o, -1); }},
        {"seed", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_seed(o, 2147483648LL); }},
        {"draws", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_draws(o, -1); }},
        {"fdr", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_fdr(o, 0.0); }},
        {"fdr", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_fdr(o, 1.0); }},
        {"fdr", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_fdr(o, std::nan("")); }},
        {"permutations", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_permutations(o, -2); }},
        {"permutations", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_permutations(o, 1025); }},
        {"start", [](kestrumr_analysis_options* o, const double*) { return kestrumr_analysis_set_start(o, 2); }},
    };
    for (const Case& c : cases) {
        Options o = make_options();
        EXPECT_EQ(c.set(o.get(), bad_effvar), KESTRUMR_ERR_ARGUMENT) << c.what;
        EXPECT_STRNE(kestrumr_analysis_options_errmsg(o.get()), "") << c.what;
        EXPECT_EQ(c.set(nullptr, bad_effvar), KESTRUMR_ERR_ARGUMENT) << c.what;
    }
    // A refused value leaves the option as it was: still 4 chains.
    Options o = short_run(1);
    ASSERT_EQ(kestrumr_analysis_set_chains(o.get(), 0), KESTRUMR_ERR_ARGUMENT);
    Session s = make_session();
    const Results r = analyse(s.get(), o.get(), Data(10, 1.0));
    ASSERT_TRUE(r);
    EXPECT_EQ(kestrumr_analysis_nchains(r.get()), 4);
}

// Arguments that do not fit are refused before anything is drawn: the
// session's generator is where it was.
TEST(Analysis, ArgumentsThatDoNotFitAreRefused) {
    const Data d(10, 1.0);
    Data flat(3, 1.0);
    for (double& y : flat.y) y = 2.0;
    const double effvar3[3] = {1.0, 1.0, 1.0};
    const std::int32_t one[2] = {1, 7}, short_sum[2] = {4, 3};
    Options three = make_options();
    ASSERT_EQ(kestrumr_analysis_set_effvar(three.get(), effvar3, 3), KESTRUMR_OK);
    struct Case {
        const char* why;  // in the message
        const kestrumr_analysis_options* o;
        std::int32_t nrow, ngrp;
        const std::int32_t* nobs;
        const double* y;
        bool out;
    };
    const Case cases[] = {
        {"out is a null pointer", nullptr, d.L, kJ, kNobs, d.y.data(), false},
        {"ngrp is 0", nullptr, d.L, 0, kNobs, d.y.data(), true},
        {"nrow is -1", nullptr, -1, kJ, kNobs, d.y.data(), true},
        {"nobs is a null pointer", nullptr, d.L, kJ, nullptr, d.y.data(), true},
        {"at least 2 observations", nullptr, d.L, kJ, one, d.y.data(), true},
        {"add up to 7, not to ntot 8", nullptr, d.L, kJ, short_sum, d.y.data(), true},
        {"ydata is a null pointer", nullptr, d.L, kJ, kNobs, nullptr, true},
        {"effvar gives 3 values", three.get(), d.L, kJ, kNobs, d.y.data(), true},
        {"no row left to analyse", nullptr, flat.L, kJ, kNobs, flat.y.data(), true},
    };
    for (const Case& c : cases) {
        Session s = make_session();
        kestrumr_analysis_results* r = reinterpret_cast<kestrumr_analysis_results*>(&s);
        EXPECT_EQ(kestrumr_analyse(s.get(), c.o, c.nrow, c.ngrp, c.nobs, kN, c.y, c.out ? &r : nullptr),
                  KESTRUMR_ERR_ARGUMENT)
            << c.why;
        if (c.out) {
            EXPECT_EQ(r, nullptr) << c.why;
        }
        EXPECT_NE(std::string(kestrumr_errmsg(s.get())).find(c.why), std::string::npos)
            << c.why << ": " << kestrumr_errmsg(s.get());
        Session fresh = make_session();
        EXPECT_TRUE(same_bits(kestrumr_uniform(s.get()), kestrumr_uniform(fresh.get()))) << c.why;
    }
    kestrumr_analysis_results* r = nullptr;
    EXPECT_EQ(kestrumr_analyse(nullptr, nullptr, d.L, kJ, kNobs, kN, d.y.data(), &r), KESTRUMR_ERR_ARGUMENT);
}

// A failure after the checks leaves its details and what it met on the
// session, for a host to word; a success clears them.  Warning records
// carry their numbers.
TEST(Analysis, FailuresKeepTheirDetailsAndWhatTheyMet) {
    Data d(10, 1.0);
    d.y[3 + 5 * d.L] = 1e140;  // row 4, group 2: its variance overflows once divided by 1e-150
    Options o = short_run(3);
    ASSERT_EQ(kestrumr_analysis_set_scale(o.get(), KESTRUMR_SCALE_VALUE, 1e-150), KESTRUMR_OK);
    Session s = make_session();
    int status = 0;
    EXPECT_EQ(analyse(s.get(), o.get(), d, &status), nullptr);
    EXPECT_EQ(status, KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_analysis_failure(s.get()), KESTRUMR_FAILURE_SCALED_ROW);
    EXPECT_EQ(kestrumr_analysis_failure_row(s.get()), 3);
    EXPECT_EQ(kestrumr_analysis_failure_reason(s.get()), KESTRUMR_ROW_OVERFLOW);
    EXPECT_EQ(kestrumr_analysis_failure_group(s.get()), 1);
    const kestrumr_analysis_results* met = kestrumr_analysis_failed_results(s.get());
    ASSERT_NE(met, nullptr);
    EXPECT_EQ(kestrumr_analysis_scale(met), 1e-150);
    ASSERT_GE(kestrumr_analysis_warning_count(met), 1u);
    EXPECT_EQ(kestrumr_analysis_warning_kind(met, 0), KESTRUMR_WARNING_SCALE);
    EXPECT_EQ(kestrumr_analysis_warning_value(met, 0, 0), 1e-150);
    EXPECT_TRUE(std::isnan(kestrumr_analysis_warning_value(met, 0, 1)));
    EXPECT_TRUE(std::isnan(kestrumr_analysis_warning_value(met, 0, 2)));

    // A prior that the scale puts out of range names itself and its value.
    Options prior = short_run(3);
    ASSERT_EQ(kestrumr_analysis_set_scale(prior.get(), KESTRUMR_SCALE_VALUE, 1e-100), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_hrate(prior.get(), 1e300), KESTRUMR_OK);
    EXPECT_EQ(analyse(s.get(), prior.get(), Data(10, 1.0), &status), nullptr);
    EXPECT_EQ(kestrumr_analysis_failure(s.get()), KESTRUMR_FAILURE_SCALED_PRIOR);
    EXPECT_STREQ(kestrumr_analysis_failure_prior(s.get()), "hrate");
    EXPECT_TRUE(std::isinf(kestrumr_analysis_failure_value(s.get(), 0)));

    // Required traces that do not fit fail before any draw.
    Options traced = short_run(3);
    ASSERT_EQ(kestrumr_analysis_set_traces(traced.get(), 1), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_iterations(traced.get(), 2000, 2000), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_analysis_set_memory_budget(traced.get(), 1048576), KESTRUMR_OK);
    EXPECT_EQ(analyse(s.get(), traced.get(), Data(10, 1.0), &status), nullptr);
    EXPECT_EQ(status, KESTRUMR_ERR_MEMORY);
    EXPECT_EQ(kestrumr_analysis_failure(s.get()), KESTRUMR_FAILURE_TRACES);
    EXPECT_EQ(kestrumr_analysis_set_traces(traced.get(), 2), KESTRUMR_ERR_ARGUMENT);

    Results ok = analyse(s.get(), short_run(3).get(), Data(10, 1.0));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(kestrumr_analysis_failure(s.get()), KESTRUMR_FAILURE_NONE);
    EXPECT_EQ(kestrumr_analysis_failure_row(s.get()), -1);
    EXPECT_EQ(kestrumr_analysis_failed_results(s.get()), nullptr);
    EXPECT_EQ(kestrumr_analysis_failure(nullptr), KESTRUMR_FAILURE_NONE);
}

// The screen of one row gives the status the analysis gives that row, and
// the group concerned.
TEST(Analysis, OneRowIsScreenedAsTheAnalysisScreensIt) {
    struct Case {
        double x[kN];
        std::int32_t pooled, status, group;
    };
    const double big = 1e200, nan = std::nan("");
    const Case cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 9}, 0, KESTRUMR_ROW_OK, -1},
        {{1, 2, nan, 4, 5, 6, 7, 9}, 0, KESTRUMR_ROW_MISSING, -1},
        {{1, 2, 3, 4, 5, 5, 5, 5}, 0, KESTRUMR_ROW_NO_SPREAD, 1},
        {{1, 2, 3, 4, big, -big, 7, 9}, 0, KESTRUMR_ROW_OVERFLOW, 1},
        {{1, 2, 3, 4, 5, 6, 7, 9}, 1, KESTRUMR_ROW_OK, -1},
    };
    for (const Case& c : cases) {
        std::int32_t status = -7, group = -7;
        double ybar[kJ], s2[kJ];
        ASSERT_EQ(kestrumr_analysis_screen_row(c.x, c.pooled, kJ, kN, kNobs, &status, &group, ybar, s2), KESTRUMR_OK);
        EXPECT_EQ(status, c.status) << c.x[2] << " " << c.x[4];
        EXPECT_EQ(group, c.group) << c.x[2] << " " << c.x[4];
        // The same row in an analysis gets the same status.
        Data two(2, 1.0);
        for (std::int32_t t = 0; t < kN; ++t) two.y[static_cast<std::size_t>(2 * t)] = c.x[t];
        Session s = make_session();
        Results r = analyse(s.get(), short_run(1).get(), two);
        std::int32_t in_run[2] = {-1, -1};
        ASSERT_EQ(kestrumr_analysis_row_status(r.get(), in_run, 2), KESTRUMR_OK);
        EXPECT_EQ(in_run[0], c.status) << c.x[2] << " " << c.x[4];
    }
    const double row[kN] = {1, 2, 3, 4, 5, 6, 7, 9};
    const std::int32_t one[2] = {1, 7};
    std::int32_t status = -7;
    EXPECT_EQ(kestrumr_analysis_screen_row(row, 0, kJ, kN, one, &status, nullptr, nullptr, nullptr),
              KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_analysis_screen_row(row, 2, kJ, kN, kNobs, &status, nullptr, nullptr, nullptr),
              KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(kestrumr_analysis_screen_row(row, 0, kJ, kN, kNobs, &status, nullptr, nullptr, nullptr), KESTRUMR_OK);
    EXPECT_EQ(status, KESTRUMR_ROW_OK);
}

}  // namespace
