// Normal quantiles, quantiles of pooled draws and the rank-normalised split
// R-hat on draws whose answer is known.
#include <cmath>
#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/rhat.h"
#include "kestrumr.h"
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
