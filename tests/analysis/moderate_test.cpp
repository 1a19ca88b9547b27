// Variances moderated across rows and within rows: the special functions,
// the recovery of known prior strengths from simulated variances, and the
// limits of no and of complete borrowing.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/moderate.h"

namespace {

using namespace kestrum::analysis;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Moderate, SpecialFunctionsMatchKnownValues) {
    const double gamma = 0.57721566490153286, pi2 = 9.8696044010893586;
    struct Case { double x, digamma, trigamma; };
    for (const Case& c : {Case{1.0, -gamma, pi2 / 6.0}, Case{0.5, -gamma - 2.0 * std::log(2.0), pi2 / 2.0},
                          Case{25.0, 3.198742512851974, 0.0408106632572256}}) {
        EXPECT_NEAR(digamma(c.x), c.digamma, 1e-12 * (1.0 + std::fabs(c.digamma))) << c.x;
        EXPECT_NEAR(trigamma(c.x), c.trigamma, 1e-12 * c.trigamma) << c.x;
    }
    for (double y : {1e-4, 0.3, 2.0, 40.0, 1e5}) EXPECT_NEAR(trigamma_inverse(trigamma(y)), y, 1e-10 * y) << y;
    EXPECT_EQ(trigamma_inverse(0.0), kInf);
    EXPECT_EQ(trigamma_inverse(std::nan("")), kInf);
}

// L rows of J groups of n values: row variances sigma^2 = s0 d0 / chi2_d0
// (d0 infinite: all s0), each group's variance sigma^2 dw / chi2_dw about it
// (dw infinite: equal), and sample variances sigma_j^2 chi2_(n-1) / (n-1).
std::vector<double> simulate(std::size_t L, std::int32_t J, std::int32_t n, double d0, double s0, double dw,
                             unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> s2(L * static_cast<std::size_t>(J));
    std::chi_squared_distribution<double> row(std::isinf(d0) ? 1.0 : d0), group(std::isinf(dw) ? 1.0 : dw),
        sample(n - 1.0);
    for (std::size_t g = 0; g < L; ++g) {
        const double sigma2 = std::isinf(d0) ? s0 : s0 * d0 / row(rng);
        for (std::int32_t j = 0; j < J; ++j) {
            const double gj = std::isinf(dw) ? sigma2 : sigma2 * dw / group(rng);
            s2[g * J + j] = gj * sample(rng) / (n - 1.0);
        }
    }
    return s2;
}

TEST(Moderate, PriorStrengthsAreRecoveredFromTheTable) {
    struct Case { double d0, s0, dw; };
    const std::int32_t J = 3, n = 4;
    const std::vector<std::int32_t> nobs(J, n);
    for (const Case& c : {Case{4.0, 1.0, kInf}, Case{10.0, 0.02, 8.0}, Case{kInf, 3.0, kInf}}) {
        const std::size_t L = 40000;
        const std::vector<double> s2 = simulate(L, J, n, c.d0, c.s0, c.dw, 11);
        const VariancePrior p = fit_variance_prior(s2.data(), L, J, nobs.data());
        if (std::isinf(c.d0)) {
            EXPECT_GT(p.d0, 100.0);
        } else {
            // The group scatter adds to the rows' scatter of log variances.
            const double rows = std::isinf(c.dw) ? c.d0 : 1.0 / (1.0 / c.d0 + 1.0 / (J * c.dw));
            EXPECT_NEAR(p.d0, rows, 0.2 * rows) << c.d0;
        }
        // With unequal groups the rows' scale is no longer s0 itself.
        if (std::isinf(c.dw)) {
            EXPECT_NEAR(p.s0, c.s0, 0.06 * c.s0) << c.d0;
        }
        if (std::isinf(c.dw)) {
            EXPECT_GT(p.dw, 100.0) << c.d0;
        } else {
            EXPECT_NEAR(p.dw, c.dw, 0.25 * c.dw) << c.d0;
        }
    }
}

TEST(Moderate, StrengthsSetTheBorrowing) {
    const std::int32_t J = 2;
    const std::int32_t nobs[2] = {3, 5};
    const double s2[6] = {1.0, 4.0, 2.0, 2.0, 0.0, 1.0};  // the last row has a group without spread
    double v[6];
    // No borrowing: each group's own variance.
    moderate_variances(s2, 3, J, nobs, VariancePrior{0.0, 7.0, 0.0}, v);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[1], 4.0);
    EXPECT_TRUE(std::isnan(v[4]) && std::isnan(v[5]));
    // Complete pooling within rows: the row's pooled variance, (2*1 + 4*4)/6.
    moderate_variances(s2, 3, J, nobs, VariancePrior{0.0, 7.0, kInf}, v);
    EXPECT_EQ(v[0], 3.0);
    EXPECT_EQ(v[1], 3.0);
    // Complete pooling over rows: the prior scale everywhere.
    moderate_variances(s2, 3, J, nobs, VariancePrior{kInf, 7.0, kInf}, v);
    EXPECT_EQ(v[2], 7.0);
    // Both finite: v_row = (6*7 + 6*3)/12 = 5, then (2*5 + 2*1)/4 and (2*5 + 4*4)/6.
    moderate_variances(s2, 3, J, nobs, VariancePrior{6.0, 7.0, 2.0}, v);
    EXPECT_DOUBLE_EQ(v[0], 3.0);
    EXPECT_DOUBLE_EQ(v[1], 26.0 / 6.0);
    // Too few usable rows to estimate anything: no borrowing.
    const VariancePrior few = fit_variance_prior(s2, 3, J, nobs);
    EXPECT_EQ(few.d0, 0.0);
    EXPECT_EQ(few.dw, 0.0);
}

TEST(Moderate, GroupVariancesFromTheDataMatrix) {
    // Two rows, groups of 2 and 3 values, column by column.
    const std::int32_t nobs[2] = {2, 3};
    const double y[10] = {1.0, 0.0, 3.0, 0.0, 0.0, 1.0, 1.0, 2.0, 4.0, 3.0};
    std::vector<double> s2, v;
    moderated_group_variances(y, 2, 2, nobs, s2, v);
    ASSERT_EQ(s2.size(), 4u);
    EXPECT_EQ(s2[0], 2.0);                // 1, 3
    EXPECT_DOUBLE_EQ(s2[1], 13.0 / 3.0);  // 0, 1, 4
    EXPECT_EQ(s2[2], 0.0);                // 0, 0
    EXPECT_EQ(s2[3], 1.0);                // 1, 2, 3
    // Two rows: no borrowing; a group without spread leaves its row NaN.
    EXPECT_EQ(v[0], s2[0]);
    EXPECT_EQ(v[1], s2[1]);
    EXPECT_TRUE(std::isnan(v[2]) && std::isnan(v[3]));
}

}  // namespace
