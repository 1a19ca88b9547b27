// Standardised session runs and the rate update's diagnostics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kestrumr_session.h"

namespace {

using Session = std::unique_ptr<kestrumr_session, void (*)(kestrumr_session*)>;
Session make_session() { return Session(kestrumr_session_new(), kestrumr_session_free); }

// L rows of two groups of four, values times `times`; priors times times^2.
struct ScaledRun {
    static constexpr std::int32_t L = 20, J = 2, N = 8;
    std::int32_t nobs[2] = {4, 4};
    std::vector<double> y, prob, pm, pv, gm, gv;
    double mvar[2], effvar[1], hrate;
    ScaledRun(double times, std::int32_t mode, std::int32_t burn, std::int32_t keep, std::int32_t seed,
        kestrumr_session* s)
        : y(L * N), prob(L), pm(L), pv(L), gm(L * J), gv(L * J) {
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t t = 0; t < N; ++t)
                y[g + t * L] = times * (0.3 * ((g * 5 + t * 3) % 7) + (t >= 4 ? 0.2 * (g % 4) : 0.0));
        const double t2 = mode == KESTRUMR_SCALE_DATA_PRIORS ? times * times : 1.0;
        mvar[0] = mvar[1] = 10000.0 * t2;
        effvar[0] = 10000.0 * t2;
        hrate = 1.0 * t2;
        EXPECT_EQ(kestrumr_set_scaling(s, mode), KESTRUMR_OK);
        EXPECT_EQ(kestrumr_seed(s, static_cast<std::uint64_t>(seed)), KESTRUMR_OK);
        const kestrumr_problem p{0, L, J, nobs, N, y.data(), keep, burn, 1.0, hrate, mvar, effvar};
        const kestrumr_results r{prob.data(), pm.data(), pv.data(), gm.data(), gv.data(), nullptr};
        EXPECT_EQ(kestrumr_run(s, &p, &r), KESTRUMR_OK) << kestrumr_errmsg(s);
    }
};

// The scale of ScaledRun's data at times = 1: the median over rows of the
// pooled within-group sd, worked out by hand.  Row g holds 0.3 r with
// r = (5g + 3t) mod 7, plus 0.2 (g mod 4) over the whole second group,
// which drops out of its deviations.  With a = 5g mod 7 the residues are
// {a, a+3, a+6, a+2} and {a+5, a+1, a+4, a} (mod 7); their sums of squared
// deviations from the group means, first group + second group:
//   a = 3 (rows 2, 9, 16)                 10    + 10    = 20
//   a = 1, 5 (six rows)                   10    + 17    = 27
//   a = 2, 4 (rows 5, 6, 12, 13, 19)      10    + 18.75 = 28.75
//   a = 0, 6 (six rows)                   18.75 + 17    = 35.75
// (a = 0: {0, 3, 6, 2} has mean 2.75 and 49 - 4 * 2.75^2 = 18.75;
// {5, 1, 4, 0} has mean 2.5 and 42 - 4 * 2.5^2 = 17.)  Of the 20 rows sorted
// by sd, the 10th and 11th both have 28.75, so the scale is
// 0.3 sqrt(28.75 / (N - J)) with N - J = 6.
const double kScaleOfOne = 0.3 * std::sqrt(28.75 / 6.0);

TEST(SessionScaling, ResultsFollowTheDataUnits) {
    // Times 4 is exact in binary: the standardised data, and so every draw,
    // are the same bits, and the results are exactly 4 (16) times as large.
    for (std::int32_t mode : {KESTRUMR_SCALE_DATA_PRIORS, KESTRUMR_SCALE_STANDARD_PRIORS}) {
        Session a = make_session(), b = make_session();
        const ScaledRun one(1.0, mode, 20, 30, 9, a.get()), four(4.0, mode, 20, 30, 9, b.get());
        EXPECT_EQ(kestrumr_last_scale(b.get()), 4.0 * kestrumr_last_scale(a.get()));
        EXPECT_NEAR(kestrumr_last_scale(a.get()), kScaleOfOne, 1e-12 * kScaleOfOne);
        EXPECT_EQ(one.prob, four.prob);
        for (std::size_t i = 0; i < one.gm.size(); ++i) {
            EXPECT_EQ(4.0 * one.gm[i], four.gm[i]);
            EXPECT_EQ(16.0 * one.gv[i], four.gv[i]);
        }
    }
    Session s = make_session();
    EXPECT_EQ(kestrumr_set_scaling(s.get(), 3), KESTRUMR_ERR_ARGUMENT);
    EXPECT_TRUE(std::isnan(kestrumr_last_scale(s.get())));
}

TEST(SessionScaling, OffByDefaultAndRecordsTheRateUpdate) {
    Session s = make_session();
    kestrumr_rate_diagnostics d;
    EXPECT_EQ(kestrumr_get_rate_diagnostics(s.get(), 0, &d), KESTRUMR_ERR_STATE);
    EXPECT_EQ(kestrumr_rate_trace_size(s.get()), 0u);
    // Unstandardised data with variances far above the priors' scale: the
    // rate update sticks, and says so.
    const ScaledRun raw(30.0, KESTRUMR_SCALE_OFF, 40, 10, 3, s.get());
    EXPECT_EQ(kestrumr_last_scale(s.get()), 1.0);
    ASSERT_EQ(kestrumr_rate_trace_size(s.get()), 50u * 2);
    for (std::int32_t j = 0; j < 2; ++j) {
        ASSERT_EQ(kestrumr_get_rate_diagnostics(s.get(), j, &d), KESTRUMR_OK);
        EXPECT_EQ(d.stuck, 1);
        EXPECT_LT(d.late_burn_acceptance, 0.01);
    }
    EXPECT_EQ(kestrumr_get_rate_diagnostics(s.get(), 2, &d), KESTRUMR_ERR_ARGUMENT);
    // Standardised, it moves; the trace is in the data's units.
    const ScaledRun scaled(30.0, KESTRUMR_SCALE_DATA_PRIORS, 40, 10, 3, s.get());
    std::vector<double> rates(100);
    std::vector<std::int32_t> accepted(100);
    EXPECT_EQ(kestrumr_rate_trace(s.get(), rates.data(), accepted.data(), 99), KESTRUMR_ERR_ARGUMENT);
    ASSERT_EQ(kestrumr_rate_trace(s.get(), rates.data(), accepted.data(), 100), KESTRUMR_OK);
    for (std::int32_t j = 0; j < 2; ++j) {
        ASSERT_EQ(kestrumr_get_rate_diagnostics(s.get(), j, &d), KESTRUMR_OK);
        EXPECT_EQ(d.stuck, 0);
        EXPECT_GT(d.late_burn_acceptance, 0.1);
        EXPECT_EQ(d.last_rate, rates[static_cast<std::size_t>(49 * 2 + j)]);
    }
    for (std::int32_t a : accepted) EXPECT_TRUE(a >= 0 && a <= 10);
}

// The standardised data and converted priors are checked as given ones:
// data whose spread is 1e-160 with a row holding 1e150 (which the division
// makes infinite), the same data without that row (a scale whose square
// leaves a double's range), and data of order 1e100 with a prior variance
// that the conversion takes to 0.  Each is an argument error naming what
// went wrong, with NaN outputs, where the run used to report success.
TEST(SessionScaling, ScaledDataAndPriorsAreCheckedAsGivenOnes) {
    struct Case {
        double times, big, mvar;
        std::int32_t mode;
        const char* named;
    };
    const Case cases[] = {
        {1e-160, 1e150, 1.0, KESTRUMR_SCALE_STANDARD_PRIORS, "(row 2, column 1)"},
        {1e-160, 0.0, 1.0, KESTRUMR_SCALE_STANDARD_PRIORS, "scale is too small or too large"},
        {1e100, 0.0, 1e-300, KESTRUMR_SCALE_DATA_PRIORS, "mvar: prior variances must be finite"},
    };
    for (const Case& c : cases) {
        constexpr std::int32_t L = 3, J = 2, N = 4;
        std::int32_t nobs[2] = {2, 2};
        std::vector<double> y(L * N), prob(L, 0.0), pm(L, 0.0), pv(L, 0.0), gm(L * J, 0.0), gv(L * J, 0.0);
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t t = 0; t < N; ++t) y[g + t * L] = c.times * ((g + 3 * t) % 4 + 1);
        if (c.big != 0.0) y[1] = c.big;
        const double mvar[2] = {c.mvar, c.mvar}, effvar[1] = {1.0};
        Session s = make_session();
        ASSERT_EQ(kestrumr_set_scaling(s.get(), c.mode), KESTRUMR_OK);
        const kestrumr_problem p{0, L, J, nobs, N, y.data(), 10, 5, 1.0, 1.0, mvar, effvar};
        const kestrumr_results r{prob.data(), pm.data(), pv.data(), gm.data(), gv.data(), nullptr};
        EXPECT_EQ(kestrumr_run(s.get(), &p, &r), KESTRUMR_ERR_ARGUMENT) << c.named;
        const std::string msg = kestrumr_errmsg(s.get());
        EXPECT_NE(msg.find("after dividing the data by their scale"), std::string::npos) << msg;
        EXPECT_NE(msg.find(c.named), std::string::npos) << msg;
        for (double x : gm) EXPECT_TRUE(std::isnan(x));
        for (double x : prob) EXPECT_TRUE(std::isnan(x));
        EXPECT_TRUE(std::isnan(kestrumr_last_scale(s.get())));  // no run got past its checks
        // Unscaled, the same problem is accepted as before.
        ASSERT_EQ(kestrumr_set_scaling(s.get(), KESTRUMR_SCALE_OFF), KESTRUMR_OK);
        EXPECT_EQ(kestrumr_run(s.get(), &p, &r), KESTRUMR_OK) << kestrumr_errmsg(s.get());
    }
}

}  // namespace
