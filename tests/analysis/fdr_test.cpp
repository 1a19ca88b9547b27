// False-discovery control: q-values worked out by hand, monotone and in
// [0, 1]; null data that keep each group's length and lose its shift;
// and through the analysis, scores without ties and q-values that are the
// same bits at every thread count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/analyse.h"
#include "analysis/shifted_rows.h"
#include "analysis/fdr.h"
#include "hyper/blocks.h"
#include "random/stream.h"

namespace {

using namespace kestrum;
using namespace kestrum::analysis;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Fdr, QValuesByHand) {
    struct Case {
        std::vector<double> score, null, q;
    };
    const double third = 2.0 / 3.0;
    for (const Case& c : std::vector<Case>{
             // p = 0.2, 0.2, 0.6, 0.8; pi0 = 1; raw 0.8, 0.4, 0.8, 0.8; the
             // running minimum from below lifts nothing and lowers row 1.
             {{10.0, kNaN, 9.0, 2.0, 1.0}, {0.5, 1.5, 2.5, 3.5}, {0.4, kNaN, 0.4, 0.8, 0.8}},
             // Tied scores share the larger rank: p = 1/2, 1/2, 1; pi0 = 2/3.
             {{3.0, 3.0, 1.0}, {2.0}, {0.5, 0.5, third}},
             // No null score: no q-values.
             {{3.0, 1.0}, {kNaN}, {kNaN, kNaN}},
         }) {
        std::vector<double> q(c.score.size());
        permutation_q_values(c.score.data(), c.score.size(), c.null, q.data());
        for (std::size_t g = 0; g < q.size(); ++g) {
            if (std::isnan(c.q[g])) {
                EXPECT_TRUE(std::isnan(q[g])) << g;
            } else {
                EXPECT_NEAR(q[g], c.q[g], 1e-15) << g;
            }
        }
    }
}

TEST(Fdr, QValuesFallWithTheScoreAndLieInTheUnitInterval) {
    std::uint64_t state = 12345;
    auto uniform = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    std::vector<double> score(500), null(2000), q(500);
    for (double& x : null) x = -std::log(uniform());
    for (std::size_t g = 0; g < score.size(); ++g) score[g] = -std::log(uniform()) + (g < 50 ? 6.0 : 0.0);
    double pi0 = 0.0;
    permutation_q_values(score.data(), score.size(), null, q.data(), &pi0);
    EXPECT_GT(pi0, 0.7);
    EXPECT_LE(pi0, 1.0);
    std::vector<std::size_t> order(score.size());
    for (std::size_t g = 0; g < order.size(); ++g) order[g] = g;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return score[a] > score[b]; });
    for (std::size_t k = 0; k < order.size(); ++k) {
        EXPECT_GE(q[order[k]], 0.0);
        EXPECT_LE(q[order[k]], 1.0);
        if (k > 0) {
            EXPECT_LE(q[order[k - 1]], q[order[k]]);
        }
    }
}

TEST(Fdr, NullDataKeepTheLengthsAndLoseTheDifferences) {
    // Rows of two groups (3 + 5 values): the second group shifted by 50 and
    // with 16 times the first's variance in row 0, equal in row 1.
    const std::size_t L = 2;
    const std::int32_t nobs[2] = {3, 5};
    const std::vector<double> y = {1.0, 2.0,  2.0, 4.0,  3.0, 6.0,                              // group 1
                                   46.0, 1.0,  54.0, 7.0,  46.0, 3.0,  54.0, 5.0,  50.0, 4.0};  // group 2
    NullBasis basis;
    null_basis(y.data(), L, 2, nobs, basis);
    // Each group's log-distance from the row's pooled level is shrunk by
    // w_j = sqrt(trigamma(n_j / 2) / trigamma((n_j - 1) / 2)) with two
    // groups, the pooled variance kept.  Row 0: means 2 and 50, variances
    // 1 and 16.
    const double w3 = std::sqrt(0.93480220054467931 / 1.6449340668482264);  // trigamma(3/2) / trigamma(1)
    const double w5 = std::sqrt(0.49035775610023486 / 0.64493406684822644);  // trigamma(5/2) / trigamma(2)
    const double level = (2.0 * std::log(1.0) + 4.0 * std::log(16.0)) / 6.0;
    double v1 = std::exp(level + w3 * (0.0 - level)), v2 = std::exp(level + w5 * (std::log(16.0) - level));
    const double keep = (2.0 * 1.0 + 4.0 * 16.0) / (2.0 * v1 + 4.0 * v2);
    EXPECT_NEAR(basis.mean_length[0], std::sqrt(3.0 * v1 * keep), 1e-12);
    EXPECT_NEAR(basis.mean_length[0 + L], std::sqrt(5.0 * v2 * keep), 1e-12);
    {
        // With three groups or more, by w_j = sqrt(1 - (T_j - T'_j) /
        // max(H, T_j)), T_j = trigamma((n_j - 1) / 2), T'_j = trigamma(n_j / 2),
        // H the row's scatter of bias-corrected log variances: a row whose
        // variances scatter no more than sampling makes takes the two-group
        // w_j, one with a 16-fold variance keeps more of it.
        const std::int32_t three[3] = {3, 3, 3};
        // Row 0: variances 1, 1, 16; row 1: 1, 1, 1.21 (values 0, 1, 2 and
        // 0, 1.1, 2.2 about means 0).
        const std::vector<double> y3 = {-1.0, -1.0, 0.0, 0.0, 1.0, 1.0,    // group 1
                                        -1.0, -1.0, 0.0, 0.0, 1.0, 1.0,    // group 2
                                        -4.0, -1.1, 0.0, 0.0, 4.0, 1.1};   // group 3
        NullBasis b3;
        null_basis(y3.data(), 2, 3, three, b3);
        const double T = 1.6449340668482264, Tn = 0.93480220054467931;
        for (std::size_t g = 0; g < 2; ++g) {
            const double s2[3] = {1.0, 1.0, g == 0 ? 16.0 : 1.21};
            double f[3], fm = 0.0, H = 0.0;
            for (int j = 0; j < 3; ++j) fm += (f[j] = std::log(s2[j])) / 3.0;  // equal biases cancel
            for (int j = 0; j < 3; ++j) H += (f[j] - fm) * (f[j] - fm) / 2.0;
            const double w = std::sqrt(1.0 - (T - Tn) / std::max(H, T));
            EXPECT_EQ(g == 0, w > w3) << g;
            double v[3], pooled = 0.0, shrunk = 0.0;
            for (int j = 0; j < 3; ++j) {
                v[j] = std::exp(fm + w * (f[j] - fm));
                pooled += s2[j];
                shrunk += v[j];
            }
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(b3.mean_length[g + 2 * static_cast<std::size_t>(j)], std::sqrt(3.0 * v[j] * pooled / shrunk),
                            1e-12) << g << ' ' << j;
        }
    }
    EXPECT_NEAR(basis.centre[0], (3.0 * 2.0 + 5.0 * 50.0) / 8.0, 1e-12);
    EXPECT_NEAR(basis.joint_length[0], std::sqrt(8.0 / 6.0 * (2.0 + 64.0)), 1e-12);
    std::vector<double> z, a(L * 8), b(L * 8);
    for (const bool joint : {false, true}) {
        double spread[2] = {0.0, 0.0}, shift = 0.0;
        const int draws = 400;
        for (std::int32_t p = 0; p < draws; ++p) {
            null_data(basis, L, 2, nobs, 9, p, joint, a.data(), z);
            null_data(basis, L, 2, nobs, 9, p, joint, b.data(), z);
            ASSERT_EQ(a, b);
            for (std::size_t g = 0; g < L; ++g) {
                // The lengths about the row's mean are the basis's.
                double ss[2] = {0.0, 0.0}, m[2] = {0.0, 0.0};
                for (std::size_t c = 0; c < 8; ++c) {
                    const double e = a[g + c * L] - basis.centre[g];
                    ss[c < 3 ? 0 : 1] += e * e;
                    m[c < 3 ? 0 : 1] += a[g + c * L] / nobs[c < 3 ? 0 : 1];
                }
                if (joint) {
                    EXPECT_NEAR(std::sqrt(ss[0] + ss[1]), basis.joint_length[g], 1e-9);
                } else {
                    EXPECT_NEAR(std::sqrt(ss[0]), basis.mean_length[g], 1e-9);
                    EXPECT_NEAR(std::sqrt(ss[1]), basis.mean_length[g + L], 1e-9);
                }
                if (g == 0) {
                    spread[0] += ss[0] / 3.0;
                    spread[1] += ss[1] / 5.0;
                    shift += (m[1] - m[0]) / draws;
                }
            }
        }
        // No shift survives; the mean test's null keeps most of row 0's
        // variance ratio, the joint test's none of it.
        EXPECT_LT(std::fabs(shift), 1.0) << joint;
        if (joint) {
            EXPECT_LT(spread[1] / spread[0], 2.0);
        } else {
            EXPECT_GT(spread[1] / spread[0], 8.0);
        }
    }
    EXPECT_FALSE(null_for_joint(0, 4));
    EXPECT_TRUE(null_for_joint(1, 4));
    EXPECT_FALSE(null_for_joint(0, 1));
}

// Two groups of four, the first rows shifted.
struct Data : kestrum::testing::ShiftedRows {
    Data() : ShiftedRows(99, 0.0, 1.0) {}
};

AnalysisResult run(const Data& d, std::int32_t threads, std::int32_t permutations) {
    AnalysisSettings s;
    s.burn = 100;
    s.keep = 100;
    s.seed = 3;
    s.threads = threads;
    s.permutations = permutations;
    AnalysisData data;
    data.nrow = d.L;
    data.ngrp = d.J;
    data.ntot = d.N;
    data.nobs = d.nobs;
    data.ydata = d.y.data();
    random::Record rec = random::load_time_record();
    random::Stream stream{&rec};
    hyper::BlockStore blocks;
    AnalysisResult r;
    EXPECT_EQ(analyse(stream, blocks.blocks(), s, data, r), AnalysisStatus::ok) << r.error;
    return r;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Fdr, ScoresWithoutTiesAndQValuesTheSameAtEveryThreadCount) {
    const Data d;
    const AnalysisResult one = run(d, 1, 5), three = run(d, 3, 5), none = run(d, 2, 0);
    EXPECT_TRUE(same_bits(one.q_mean, three.q_mean) && same_bits(one.q_joint, three.q_joint));
    EXPECT_TRUE(same_bits(one.score_mean, none.score_mean) && same_bits(one.score_joint, none.score_joint));
    for (double q : none.q_mean) EXPECT_TRUE(std::isnan(q));
    for (const std::vector<double>* v : {&one.score_mean, &one.score_joint}) {
        std::vector<double> sorted = *v;
        for (double x : sorted) ASSERT_TRUE(std::isfinite(x) && x >= 0.0);
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    }
    // The shifted rows are the strongest and are called at 10% (80 rows and
    // three null analyses of the mean test: 240 null scores).
    std::size_t called = 0;
    for (std::int32_t g = 0; g < d.L; ++g) {
        EXPECT_GE(one.q_mean[static_cast<std::size_t>(g)], 0.0);
        EXPECT_LE(one.q_mean[static_cast<std::size_t>(g)], 1.0);
        called += one.q_mean[static_cast<std::size_t>(g)] <= 0.10 ? (g < 10 ? 1 : 100) : 0;
    }
    EXPECT_GE(called, 5u);
    EXPECT_LT(called, 100u);
}

// The default count: the least even one giving each test 20 000 null
// scores, from 4 to 16; a run with it is the run with that count given.
TEST(Fdr, TheAutomaticCountGivesEachTestTwentyThousandNullScores) {
    const std::pair<std::size_t, std::int32_t> table[] = {
        {0, 4},    {1, 16},    {80, 16},   {2857, 16},  {2858, 14},   {4000, 10},
        {5000, 8}, {6667, 6},  {9999, 6},  {10000, 4},  {12625, 4},   {1000000, 4}};
    for (const auto& [rows, count] : table) EXPECT_EQ(auto_permutations(rows), count) << rows;
    const Data d;
    const AnalysisResult automatic = run(d, 2, kPermutationsAuto), given = run(d, 2, 16);
    EXPECT_EQ(automatic.permutations, 16);
    EXPECT_EQ(given.permutations, 16);
    EXPECT_TRUE(same_bits(automatic.q_mean, given.q_mean) && same_bits(automatic.q_joint, given.q_joint));
}

}  // namespace
