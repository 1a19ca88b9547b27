// Normal quantiles, quantiles of pooled draws and the rank-normalised split
// R-hat on draws whose answer is known.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/rhat.h"
#include "kestrumr.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace {

using kestrum::analysis::normal_quantile;

TEST(NormalQuantile, MatchesKnownValues) {
    struct Case {
        double p, z;
    };
    // Values of Phi^-1 to 16 digits.
    for (const Case c : {Case{0.5, 0.0}, Case{0.975, 1.959963984540054},
                         Case{0.025, -1.959963984540054}, Case{0.8, 0.8416212335729143},
                         Case{1e-10, -6.361340902404056}, Case{0.999, 3.090232306167814},
                         Case{1e-300, -37.0470962993612}}) {
        EXPECT_NEAR(normal_quantile(c.p), c.z, 1e-14 * (1.0 + std::fabs(c.z))) << c.p;
    }
    EXPECT_EQ(normal_quantile(0.0), -INFINITY);
    EXPECT_EQ(normal_quantile(1.0), INFINITY);
    EXPECT_TRUE(std::isnan(normal_quantile(1.5)));
    EXPECT_TRUE(std::isnan(normal_quantile(NAN)));
}

TEST(Quantile, InterpolatesBetweenOrderStatistics) {
    std::vector<float> v{5, 1, 4, 2, 3};  // sorted 1..5: position q*4
    EXPECT_DOUBLE_EQ(kestrum::analysis::quantile(v.data(), v.size(), 0.0), 1.0);
    EXPECT_DOUBLE_EQ(kestrum::analysis::quantile(v.data(), v.size(), 0.5), 3.0);
    EXPECT_DOUBLE_EQ(kestrum::analysis::quantile(v.data(), v.size(), 0.875), 4.5);
    EXPECT_DOUBLE_EQ(kestrum::analysis::quantile(v.data(), v.size(), 1.0), 5.0);
    EXPECT_TRUE(std::isnan(kestrum::analysis::quantile(v.data(), 0, 0.5)));
}

// Standard normal draws from a private stream, chain after chain; chain
// `odd` has `shift` added to its draws and `scale` times their spread.
std::vector<float> chains_of_normals(std::size_t per_chain, std::size_t chains, std::size_t odd,
                                     double shift, double scale) {
    kestrumr_zbql0001 rec = kestrum::random::load_time_record();
    kestrum::random::Stream st{&rec};
    std::vector<float> x(per_chain * chains);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double z = st.normal(0.0, 1.0);
        x[i] = static_cast<float>(i / per_chain == odd ? shift + scale * z : z);
    }
    return x;
}

TEST(SplitRhat, NearOneForAgreeingChainsAndLargeForAStrayOne) {
    struct Case {
        double shift, scale;
        double lo, hi;  // where R-hat must lie
    };
    kestrum::analysis::RhatScratch scratch;
    for (const Case c : {Case{0.0, 1.0, 0.99, 1.01},   // the same distribution
                         Case{3.0, 1.0, 1.2, 10.0},    // one chain shifted by 3 sd
                         Case{0.0, 4.0, 1.05, 10.0}}) {  // one chain 4 times as wide: tail
        const std::vector<float> x = chains_of_normals(1000, 4, 2, c.shift, c.scale);
        const double r = kestrum::analysis::rank_normalised_split_rhat(x.data(), 1000, 4, scratch);
        EXPECT_GT(r, c.lo) << c.shift << ' ' << c.scale;
        EXPECT_LT(r, c.hi) << c.shift << ' ' << c.scale;
    }
}

TEST(SplitRhat, SeesATrendWithinOneChain) {
    // One chain drifting from -2 to 2: its halves disagree.
    std::vector<float> x(400);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(-2.0 + 4.0 * i / 399.0);
    kestrum::analysis::RhatScratch scratch;
    EXPECT_GT(kestrum::analysis::rank_normalised_split_rhat(x.data(), 400, 1, scratch), 1.5);
}

TEST(SplitRhat, NaNWithoutSpreadOrDraws) {
    kestrum::analysis::RhatScratch scratch;
    const std::vector<float> flat(40, 1.0f);
    EXPECT_TRUE(std::isnan(kestrum::analysis::rank_normalised_split_rhat(flat.data(), 20, 2, scratch)));
    EXPECT_TRUE(std::isnan(kestrum::analysis::rank_normalised_split_rhat(flat.data(), 3, 2, scratch)));
    std::vector<float> nan_one = chains_of_normals(20, 2, 9, 0.0, 1.0);
    nan_one[5] = NAN;
    EXPECT_TRUE(std::isnan(kestrum::analysis::rank_normalised_split_rhat(nan_one.data(), 20, 2, scratch)));
}

}  // namespace

namespace {

// M sequences of n AR(1) draws x_t = rho x_(t-1) + sqrt(1 - rho^2) z_t
// (stationary, unit variance) from a private stream, one after the other.
std::vector<double> ar1_sequences(std::size_t n, std::size_t M, double rho, std::uint64_t seed) {
    kestrumr_zbql0001 rec = kestrum::random::load_time_record();
    kestrum::random::fill_table_mixed(rec, seed);
    kestrum::random::Stream st{&rec};
    std::vector<double> x(n * M);
    const double s = std::sqrt(1.0 - rho * rho);
    for (std::size_t m = 0; m < M; ++m) {
        double v = st.normal(0.0, 1.0);
        for (std::size_t i = 0; i < n; ++i) {
            v = rho * v + s * st.normal(0.0, 1.0);
            x[m * n + i] = v;
        }
    }
    return x;
}

TEST(EffectiveSampleSize, OfIndependentAndAutoregressiveDraws) {
    // n (1 - rho) / (1 + rho) of M n = 8000 draws.
    const std::size_t n = 1000, M = 8;
    std::vector<double> means;
    for (const double rho : {0.0, 0.5, 0.9}) {
        const std::vector<double> x = ar1_sequences(n, M, rho, 17);
        const double want = static_cast<double>(n * M) * (1.0 - rho) / (1.0 + rho);
        EXPECT_NEAR(kestrum::analysis::effective_sample_size(x.data(), n, M, means) / want, 1.0, 0.15)
            << rho;
    }
    // Sequences that disagree (one shifted by 2 sd) count as far fewer draws.
    std::vector<double> x = ar1_sequences(n, M, 0.0, 18);
    for (std::size_t i = 0; i < n; ++i) x[i] += 2.0;
    EXPECT_LT(kestrum::analysis::effective_sample_size(x.data(), n, M, means), 0.1 * n * M);
}

TEST(FDistribution, UpperTailAtKnownValues) {
    struct Case {
        double f, d1, d2, p;
    };
    // P(F(1, d2) > t^2) is the two-sided t tail; P(F(2, d2) > f) = (1 + 2f/d2)^(-d2/2).
    for (const Case c : {Case{1.0, 1.0, 1.0, 0.5}, Case{4.0, 2.0, 2.0, 0.2},
                         Case{2.0, 2.0, 10.0, std::pow(1.4, -5.0)}, Case{12.706204736174707 * 12.706204736174707, 1.0, 1.0, 0.05},
                         Case{0.0, 7.0, 100.0, 1.0}}) {
        EXPECT_NEAR(kestrum::analysis::f_upper(c.f, c.d1, c.d2), c.p, 1e-6 * c.p) << c.f << ' ' << c.d1;
    }
}

// Rows of four agreeing chains, independent or autocorrelated draws: the
// share of mixing tests below a level is about twice the level (bulk and
// tail), and the flag rule flags no row of the table.
TEST(RhatFlag, ChainsThatMixAreNotFlagged) {
    const std::size_t rows = 1000, per_chain = 250, chains = 4;
    kestrum::analysis::RhatScratch scratch;
    for (const double rho : {0.0, 0.6}) {
        std::size_t below = 0, flagged = 0;
        const double level = kestrum::analysis::rhat_flag_level(rows, 1);
        for (std::size_t g = 0; g < rows; ++g) {
            const std::vector<double> x = ar1_sequences(per_chain, chains, rho, 1000 + g);
            const std::vector<float> f(x.begin(), x.end());
            const double p =
                kestrum::analysis::split_diagnostics(f.data(), per_chain, chains, scratch).mixing;
            below += p < 0.01;
            flagged += p < level;
        }
        EXPECT_LE(below, 35u) << rho;  // about 2% of 1000
        EXPECT_EQ(flagged, 0u) << rho;
    }
}

TEST(RhatFlag, AStrayChainIsFlagged) {
    kestrum::analysis::RhatScratch scratch;
    const std::vector<float> x = chains_of_normals(250, 4, 2, 0.5, 1.0);  // one chain 0.5 sd off
    const double p = kestrum::analysis::split_diagnostics(x.data(), 250, 4, scratch).mixing;
    EXPECT_LT(p, kestrum::analysis::rhat_flag_level(5000, 1));
}

}  // namespace
