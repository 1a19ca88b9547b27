// Posterior summaries driven from kept draws that the test writes itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/pmath.h"
#include "driver/summaries.h"
#include "support/reference_sampler.h"
#include "run_fixture.h"

namespace {

using kestrum::reference::summarise;
using kestrum::test::OutputArrays;
using kestrum::test::RunFixture;

// Two groups, three kept draws whose mean contrasts are 1, 2 and 3: their
// variance is 1, the quadratic forms are 1, 4, 9, and only 9 exceeds 6.
void fill_worked_example(RunFixture& f, std::int64_t g, double shift) {
    for (int k = 0; k < 3; ++k) {
        f.gm(g, 0, k) = shift;
        f.gm(g, 1, k) = shift + (k + 1);
        f.gv(g, 0, k) = 1.0 + k;
        f.gv(g, 1, k) = 2.0;
        f.pm(g, k) = 10.0 * k;
        f.pv(g, k) = 4.0;
    }
}

TEST(Summaries, WorkedExampleGivesOneThird) {
    RunFixture f(1, 2, 4, 3, 0);
    fill_worked_example(f, 0, 0.0);
    OutputArrays o(1, 2);
    summarise(f.r, o.outputs());
    EXPECT_EQ(o.prob[0], 1.0 / 3.0);
    EXPECT_EQ(o.prob[1], -555.0);  // one column only for J = 2
    EXPECT_EQ(o.gmeanbar[0], 0.0);
    EXPECT_EQ(o.gmeanbar[1], 2.0);
    EXPECT_EQ(o.gvarbar[0], 2.0);
    EXPECT_EQ(o.gvarbar[1], 2.0);
    EXPECT_EQ(o.pmeanbar[0], 10.0);
    EXPECT_EQ(o.pvarbar[0], 4.0);
    // The covariance of the mean contrasts and its inverse.
    EXPECT_EQ(f.r.mcovinv[0], 1.0);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(f.r.mdiff[k], k + 1.0);
}

TEST(Summaries, RowsDoNotShareAccumulators) {
    // Row 2 repeats row 1 shifted; its frequencies and contrasts are the
    // same and its means move with the shift.
    RunFixture f(2, 2, 4, 3, 0);
    fill_worked_example(f, 0, 0.0);
    fill_worked_example(f, 1, 5.0);
    OutputArrays o(2, 2);
    summarise(f.r, o.outputs());
    EXPECT_EQ(o.prob[0], 1.0 / 3.0);
    EXPECT_EQ(o.prob[1], 1.0 / 3.0);
    EXPECT_EQ(o.gmeanbar[1], 5.0);      // row 2, group 1
    EXPECT_EQ(o.gmeanbar[3], 7.0);      // row 2, group 2
    EXPECT_EQ(o.pmeanbar[1], 10.0);
}

TEST(Summaries, NotANumberCountsAsNoHit) {
    RunFixture f(1, 2, 4, 3, 0);
    fill_worked_example(f, 0, 0.0);
    f.gm(0, 1, 1) = std::nan("");
    OutputArrays o(1, 2);
    summarise(f.r, o.outputs());
    EXPECT_EQ(o.prob[0], 0.0);
    EXPECT_TRUE(std::isnan(o.gmeanbar[1]));
}

TEST(Summaries, OneGroupInvertsNothingAndWritesNoFrequency) {
    RunFixture f(2, 1, 3, 2, 0);
    f.gm(0, 0, 0) = 1.0; f.gm(0, 0, 1) = 3.0;
    f.gv(0, 0, 0) = 2.0; f.gv(0, 0, 1) = 4.0;
    f.gm(1, 0, 0) = -1.0; f.gm(1, 0, 1) = -2.0;
    f.gv(1, 0, 0) = 1.0; f.gv(1, 0, 1) = 1.0;
    for (int k = 0; k < 2; ++k) { f.pm(0, k) = 0.0; f.pv(0, k) = 1.0; f.pm(1, k) = 0.0; f.pv(1, k) = 1.0; }
    OutputArrays o(2, 1);
    summarise(f.r, o.outputs());
    EXPECT_EQ(o.gmeanbar[0], 2.0);
    EXPECT_EQ(o.gvarbar[0], 3.0);
    EXPECT_EQ(o.gmeanbar[1], -1.5);
    EXPECT_EQ(o.gvarbar[1], 1.0);
    EXPECT_EQ(o.prob[0], -555.0);  // prob has no column
}

TEST(Summaries, NoKeptDrawsGiveNaNEverywhere) {
    RunFixture f(2, 3, 6, 0, 0);
    OutputArrays o(2, 3);
    summarise(f.r, o.outputs());
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(std::isnan(o.gmeanbar[i])) << i;
        EXPECT_TRUE(std::isnan(o.gvarbar[i])) << i;
    }
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isnan(o.prob[i])) << i;
    for (int g = 0; g < 2; ++g) {
        EXPECT_TRUE(std::isnan(o.pmeanbar[g]));
        EXPECT_TRUE(std::isnan(o.pvarbar[g]));
    }
}

TEST(Summaries, OneKeptDrawGivesTheDrawAndNaNFrequencies) {
    RunFixture f(1, 3, 6, 1, 0);
    const double m[3] = {0.25, -1.5, 3.0}, v[3] = {0.5, 2.0, 7.0};
    for (int j = 0; j < 3; ++j) { f.gm(0, j, 0) = m[j]; f.gv(0, j, 0) = v[j]; }
    f.pm(0, 0) = 0.125;
    f.pv(0, 0) = 9.5;
    OutputArrays o(1, 3);
    summarise(f.r, o.outputs());
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(o.gmeanbar[j], m[j]);
        EXPECT_EQ(o.gvarbar[j], v[j]);
    }
    EXPECT_EQ(o.pmeanbar[0], 0.125);
    EXPECT_EQ(o.pvarbar[0], 9.5);
    EXPECT_TRUE(std::isnan(o.prob[0]));
    EXPECT_TRUE(std::isnan(o.prob[1]));
}

// An independent evaluation of the two frequencies: centred two-pass
// covariance, Gauss-Jordan inversion with partial pivoting, in long double.
struct Reference {
    double p1, p2;
    double margin;  // smallest distance of any quadratic form from its threshold
};

std::vector<long double> invert_reference(std::vector<long double> a, int n) {
    std::vector<long double> inv(n * n, 0.0L);
    for (int i = 0; i < n; ++i) inv[i + i * n] = 1.0L;
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[r + c * n]) > std::fabs(a[p + c * n])) p = r;
        for (int l = 0; l < n; ++l) {
            std::swap(a[c + l * n], a[p + l * n]);
            std::swap(inv[c + l * n], inv[p + l * n]);
        }
        const long double piv = a[c + c * n];
        for (int l = 0; l < n; ++l) { a[c + l * n] /= piv; inv[c + l * n] /= piv; }
        for (int r = 0; r < n; ++r) {
            if (r == c) continue;
            const long double f = a[r + c * n];
            for (int l = 0; l < n; ++l) {
                a[r + l * n] -= f * a[c + l * n];
                inv[r + l * n] -= f * inv[c + l * n];
            }
        }
    }
    return inv;
}

Reference reference(const std::vector<std::vector<double>>& u, int M) {
    const int K = static_cast<int>(u.size()), D = 2 * M;
    std::vector<long double> mean(D, 0.0L), cov(D * D, 0.0L);
    for (const auto& x : u) for (int a = 0; a < D; ++a) mean[a] += x[a] / K;
    for (const auto& x : u)
        for (int a = 0; a < D; ++a)
            for (int b = 0; b < D; ++b) cov[a + b * D] += (x[a] - mean[a]) * (x[b] - mean[b]) / (K - 1);
    std::vector<long double> mcov(M * M);
    for (int i = 0; i < M; ++i) for (int l = 0; l < M; ++l) mcov[i + l * M] = cov[i + l * D];
    const auto dinv = invert_reference(cov, D), minv = invert_reference(mcov, M);
    Reference r{0.0, 0.0, 1e300};
    for (const auto& x : u) {
        long double q1 = 0.0L, q2 = 0.0L;
        for (int i = 0; i < M; ++i) for (int l = 0; l < M; ++l) q1 += minv[i + l * M] * x[i] * x[l];
        for (int a = 0; a < D; ++a) for (int b = 0; b < D; ++b) q2 += dinv[a + b * D] * x[a] * x[b];
        r.p1 += q1 > 6.0L ? 1.0 : 0.0;
        r.p2 += q2 > 9.0L ? 1.0 : 0.0;
        r.margin = std::fmin(r.margin, std::fmin(std::fabs(double(q1 - 6.0L)), std::fabs(double(q2 - 9.0L))));
    }
    r.p1 /= K;
    r.p2 /= K;
    return r;
}

// Deterministic, irregular draws: a small linear congruential sequence.
struct Lcg {
    std::uint64_t s;
    double next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(s >> 11) / 9007199254740992.0;
    }
};

TEST(Summaries, FrequenciesAgreeWithAnIndependentEvaluation) {
    for (int J : {3, 4}) {
        const int K = 40, M = J - 1;
        RunFixture f(1, J, 2 * J, K, 0);
        Lcg lcg{static_cast<std::uint64_t>(J)};
        std::vector<std::vector<double>> u(K, std::vector<double>(2 * M));
        for (int k = 0; k < K; ++k) {
            for (int j = 0; j < J; ++j) {
                f.gm(0, j, k) = 0.3 * j + 2.0 * lcg.next() + (j == 1 ? 0.8 * lcg.next() : 0.0);
                f.gv(0, j, k) = 0.5 + lcg.next() * (1.0 + j);
            }
            f.pm(0, k) = lcg.next();
            f.pv(0, k) = 1.0 + lcg.next();
            for (int i = 0; i < M; ++i) {
                u[k][i] = f.gm(0, i + 1, k) - f.gm(0, 0, k);
                u[k][M + i] = kestrum::pmath::pow(f.gv(0, i + 1, k), 0.3333333333333333) -
                              kestrum::pmath::pow(f.gv(0, 0, k), 0.3333333333333333);
            }
        }
        const Reference ref = reference(u, M);
        ASSERT_GT(ref.margin, 1e-6) << "a form lies too close to its threshold";
        ASSERT_GT(ref.p1, 0.0);
        ASSERT_LT(ref.p1, 1.0);
        OutputArrays o(1, J);
        summarise(f.r, o.outputs());
        EXPECT_EQ(o.prob[0], ref.p1) << "J = " << J;
        EXPECT_EQ(o.prob[1], ref.p2) << "J = " << J;
        // Columns with no statistic (J >= 4) are NaN.
        for (int j = 2; j < M; ++j) EXPECT_TRUE(std::isnan(o.prob[j])) << j;
        EXPECT_EQ(o.prob[M], -555.0);  // nothing past the last column
    }
}

TEST(Summaries, ThreeGroupColumnRule) {
    // Mean contrasts far from zero relative to their spread: P1 = 1; the
    // joint test sees them too.
    RunFixture f(1, 3, 6, 5, 0);
    const double jitter[5] = {0.01, -0.02, 0.015, 0.0, -0.005};
    const double vj[5] = {1.0, 1.1, 0.9, 1.05, 0.95};
    for (int k = 0; k < 5; ++k) {
        f.gm(0, 0, k) = 0.0;
        f.gm(0, 1, k) = 10.0 + jitter[k];
        f.gm(0, 2, k) = -10.0 + jitter[(k + 2) % 5];
        f.gv(0, 0, k) = vj[k];
        f.gv(0, 1, k) = vj[(k + 1) % 5];
        f.gv(0, 2, k) = vj[(k + 3) % 5];
        f.pm(0, k) = 0.0;
        f.pv(0, k) = 1.0;
    }
    OutputArrays o(1, 3);
    summarise(f.r, o.outputs());
    EXPECT_EQ(o.prob[0], 1.0);
    EXPECT_EQ(o.prob[1], 1.0);
    EXPECT_EQ(o.prob[2], -555.0);
}

}  // namespace
