// The evidence scores: the running sums of every chain give the posterior
// mean and covariance of all pooled draws, for any number of groups and
// contrasts far from zero; degenerate rows score NaN.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/score.h"

namespace {

using namespace kestrum::analysis;

// m' S^-1 m of the leading n components in long double: elimination
// factors S = L P L' (P the pivots) and turns m into L^-1 m, so the form is
// the sum of (L^-1 m)_i^2 / P_i.
long double form(std::vector<long double> S, std::size_t D, std::vector<long double> m, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t r = i + 1; r < n; ++r) {
            const long double f = S[r * D + i] / S[i * D + i];
            for (std::size_t c = i; c < n; ++c) S[r * D + c] -= f * S[i * D + c];
            m[r] -= f * m[i];
        }
    long double q = 0.0L;
    for (std::size_t i = 0; i < n; ++i) q += m[i] * m[i] / S[i * D + i];
    return q;
}

TEST(Score, RunningSumsGiveTheFormOfAllPooledDraws) {
    struct Case {
        std::int32_t J, chains, K;
        double offset;  // added to every mean contrast: far from 0 relative to the spread
    };
    for (const Case& c : {Case{2, 1, 40, 0.0}, Case{2, 4, 25, 1e6}, Case{3, 3, 30, 0.5}, Case{5, 2, 60, 1e4}}) {
        const std::size_t J = static_cast<std::size_t>(c.J), D = 2 * (J - 1), L = 3;
        const std::size_t stride = contrast_moment_stride(c.J);
        std::vector<std::vector<double>> sums(static_cast<std::size_t>(c.chains), std::vector<double>(L * stride, 0.0));
        std::vector<std::vector<long double>> u(L);  // every draw's contrasts, row by row
        std::uint64_t state = 88172645463325252ull;
        auto uniform = [&] {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return static_cast<double>(state >> 11) * 0x1.0p-53;
        };
        std::vector<double> gm(J), gv(J);
        for (std::int32_t ch = 0; ch < c.chains; ++ch)
            for (std::int32_t k = 0; k < c.K; ++k)
                for (std::size_t g = 0; g < L; ++g) {
                    for (std::size_t j = 0; j < J; ++j) {
                        gm[j] = (j > 0 ? c.offset + static_cast<double>(g) : 0.0) + uniform() - 0.5 + 0.1 * ch;
                        gv[j] = 0.5 + uniform() * (1.0 + static_cast<double>(j));
                    }
                    add_contrast_moments(sums[static_cast<std::size_t>(ch)].data() + g * stride, gm.data(), gv.data(),
                                         c.J, k == 0);
                    for (std::size_t i = 0; i + 1 < J; ++i) u[g].push_back(static_cast<long double>(gm[i + 1] - gm[0]));
                    for (std::size_t i = 0; i + 1 < J; ++i)
                        u[g].push_back(std::cbrt(static_cast<long double>(gv[i + 1])) - std::cbrt(static_cast<long double>(gv[0])));
                }
        std::vector<const double*> moments;
        for (const auto& s : sums) moments.push_back(s.data());
        std::vector<double> sm(L), sj(L), smod(L), sjmod(L), v(L * J);
        std::vector<std::int32_t> nobs(J);
        for (std::size_t j = 0; j < J; ++j) nobs[j] = static_cast<std::int32_t>(2 + j);
        for (double& x : v) x = 0.25 + uniform();
        ScoreScratch scratch;
        contrast_scores(moments, L, c.J, c.K, sm.data(), sj.data(), scratch);
        contrast_scores(moments, L, c.J, c.K, smod.data(), sjmod.data(), scratch, v.data(), nobs.data());
        for (std::size_t g = 0; g < L; ++g) {
            const std::size_t n = u[g].size() / D;
            std::vector<long double> m(D, 0.0L), S(D * D, 0.0L);
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t a = 0; a < D; ++a) m[a] += u[g][k * D + a] / static_cast<long double>(n);
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t a = 0; a < D; ++a)
                    for (std::size_t b = 0; b < D; ++b)
                        S[a * D + b] += (u[g][k * D + a] - m[a]) * (u[g][k * D + b] - m[b]) / static_cast<long double>(n - 1);
            const long double want_mean = form(S, D, m, D / 2), want_joint = form(S, D, m, D);
            EXPECT_NEAR(sm[g], static_cast<double>(want_mean), 1e-9 * static_cast<double>(want_mean)) << c.J << ' ' << g;
            EXPECT_NEAR(sj[g], static_cast<double>(want_joint), 1e-9 * static_cast<double>(want_joint)) << c.J << ' ' << g;
            // Under moderated variances the mean contrasts' covariance is
            // v_1 / n_1 + [i = k] v_(i+1) / n_(i+1); the joint score is as before.
            std::vector<long double> V(D * D, 0.0L);
            const double* vg = v.data() + g * J;
            for (std::size_t a = 0; a < D / 2; ++a)
                for (std::size_t b = 0; b < D / 2; ++b)
                    V[a * D + b] = vg[0] / nobs[0] + (a == b ? vg[a + 1] / nobs[a + 1] : 0.0);
            const long double want_mod = form(V, D, m, D / 2);
            EXPECT_NEAR(smod[g], static_cast<double>(want_mod), 1e-9 * static_cast<double>(want_mod)) << c.J << ' ' << g;
            EXPECT_EQ(sjmod[g], sj[g]);
            if (c.J == 2) {  // (E[d] / sd[d])^2
                EXPECT_NEAR(sm[g], static_cast<double>(m[0] * m[0] / S[0]), 1e-9 * sm[g]);
            }
        }
    }
}

TEST(Score, DegenerateRowsScoreNaN) {
    // Draws that never vary: no covariance to measure the contrasts in.
    const std::size_t stride = contrast_moment_stride(2);
    std::vector<double> sums(stride, 0.0);
    const double gm[2] = {0.0, 1.0}, gv[2] = {1.0, 2.0};
    for (int k = 0; k < 10; ++k) add_contrast_moments(sums.data(), gm, gv, 2, k == 0);
    double sm = 0.0, sj = 0.0;
    ScoreScratch scratch;
    contrast_scores({sums.data()}, 1, 2, 10, &sm, &sj, scratch);
    EXPECT_TRUE(std::isnan(sm) && std::isnan(sj));
    // One kept draw, one group, or more groups than are scored.
    contrast_scores({sums.data()}, 1, 2, 1, &sm, &sj, scratch);
    EXPECT_TRUE(std::isnan(sm) && std::isnan(sj));
    EXPECT_EQ(contrast_moment_stride(1), 0u);
    EXPECT_EQ(contrast_moment_stride(kMaxScoreGroups + 1), 0u);
    const double S[4] = {1.0, 2.0, 2.0, 1.0}, m[2] = {1.0, 1.0};  // indefinite
    double chol[4], y[2];
    EXPECT_TRUE(std::isnan(inverse_form(S, 2, m, 2, chol, y)));
    EXPECT_EQ(inverse_form(S, 2, m, 1, chol, y), 1.0);
}

}  // namespace
