// False-discovery control: q-values worked out by hand, monotone and in
// [0, 1]; permutations that are permutations and never mere relabellings;
// and through the analysis, scores without ties and q-values that are the
// same bits at every thread count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/analyse.h"
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

TEST(Fdr, PermutationsMoveSamplesBetweenGroups) {
    for (const std::vector<std::int32_t>& sizes :
         std::vector<std::vector<std::int32_t>>{{2, 2}, {3, 3}, {4, 4, 4}, {10, 3}}) {
        const auto J = static_cast<std::int32_t>(sizes.size());
        std::vector<std::int32_t> origin;
        for (std::int32_t j = 0; j < J; ++j) origin.insert(origin.end(), static_cast<std::size_t>(sizes[j]), j);
        std::vector<std::int32_t> perm, again;
        std::vector<std::vector<std::int32_t>> seen;
        for (std::int32_t p = 0; p < 60; ++p) {
            label_permutation(7, p, J, sizes.data(), perm);
            label_permutation(7, p, J, sizes.data(), again);
            EXPECT_EQ(perm, again);
            std::vector<std::int32_t> sorted = perm;
            std::sort(sorted.begin(), sorted.end());
            for (std::size_t c = 0; c < sorted.size(); ++c) ASSERT_EQ(sorted[c], static_cast<std::int32_t>(c));
            // Some new group mixes samples of two groups.
            bool mixed = false;
            std::size_t c = 0;
            for (std::int32_t j = 0; j < J; ++j)
                for (std::int32_t k = 0; k < sizes[static_cast<std::size_t>(j)]; ++k, ++c)
                    mixed = mixed || origin[static_cast<std::size_t>(perm[c])] !=
                                         origin[static_cast<std::size_t>(perm[c - static_cast<std::size_t>(k)])];
            EXPECT_TRUE(mixed) << sizes.size() << " groups, permutation " << p;
            seen.push_back(perm);
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_GT(std::unique(seen.begin(), seen.end()) - seen.begin(), 1);
    }
}

// Two groups of four, the first rows shifted.
struct Data {
    std::int32_t L = 80, J = 2, N = 8;
    std::int32_t nobs[2] = {4, 4};
    std::vector<double> y;
    Data() : y(static_cast<std::size_t>(L * N)) {
        std::uint64_t state = 99;
        auto normal = [&] {
            double s = -6.0;
            for (int i = 0; i < 12; ++i) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                s += static_cast<double>(state >> 11) * 0x1.0p-53;
            }
            return s;
        };
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t c = 0; c < N; ++c)
                y[static_cast<std::size_t>(g + c * L)] = normal() + (g < 10 && c >= 4 ? 3.0 : 0.0);
    }
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
    const AnalysisResult one = run(d, 1, 3), three = run(d, 3, 3), none = run(d, 2, 0);
    EXPECT_TRUE(same_bits(one.q_mean, three.q_mean) && same_bits(one.q_joint, three.q_joint));
    EXPECT_TRUE(same_bits(one.score_mean, none.score_mean) && same_bits(one.score_joint, none.score_joint));
    for (double q : none.q_mean) EXPECT_TRUE(std::isnan(q));
    for (const std::vector<double>* v : {&one.score_mean, &one.score_joint}) {
        std::vector<double> sorted = *v;
        for (double x : sorted) ASSERT_TRUE(std::isfinite(x) && x >= 0.0);
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    }
    // The shifted rows are the strongest and are called at 5%.
    std::size_t called = 0;
    for (std::int32_t g = 0; g < d.L; ++g) {
        EXPECT_GE(one.q_mean[static_cast<std::size_t>(g)], 0.0);
        EXPECT_LE(one.q_mean[static_cast<std::size_t>(g)], 1.0);
        called += one.q_mean[static_cast<std::size_t>(g)] <= 0.05 ? (g < 10 ? 1 : 100) : 0;
    }
    EXPECT_GE(called, 5u);
    EXPECT_LT(called, 100u);
}

}  // namespace
