// The stream keeps the last few set-ups of the gamma ratio-of-uniforms
// method (shapes 1..10) and of the method for shapes above 10.  A kept
// set-up must give exactly what working it out again gives: the same
// variates, the same uniforms consumed, whatever the order of shapes and
// however often entries are replaced.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "random_support.h"

namespace {

using kestrum::test::PrivateStream;

uint64_t bits(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

TEST(GammaSetupCache, CachedSetupsGiveTheSameDrawsAsFreshOnes) {
    // Shapes of methods A, B and C mixed, with more distinct shapes of
    // methods B and C than their caches hold, in an irregular order, so
    // entries are found, missed and replaced.
    const double shapes[] = {4.0,  8.0,  34.0, 4.0, 1.0,  2.0,  10.0, 66.0, 3.5, 4.0,   0.5,
                             9.99, 8.0,  1.5,  12.0, 2.0, 6.25, 34.0, 4.0, 7.0, 1e5,   1.0,
                             5.5,  20.0, 3.5,  8.0, 10.5, 15.25, 40.0, 500.0, 66.0, 10.0, 11.0};
    PrivateStream cached;
    PrivateStream fresh;
    // 1000 rounds: the frequent shapes go on to the cells' bounds (after
    // Stream::kCellsAfter trials), which the fresh stream never does.
    for (int round = 0; round < 1000; ++round) {
        for (double g : shapes) {
            // Clearing the fresh stream's cache makes it work every set-up
            // out again.
            for (auto& e : fresh.s.ratio_cache) e = {};
            for (auto& e : fresh.s.large_cache) e = {};
            const double a = cached.s.gamma_core(g, 1.0);
            const double b = fresh.s.gamma_core(g, 1.0);
            ASSERT_EQ(bits(a), bits(b)) << "shape " << g << ", round " << round;
        }
    }
    EXPECT_TRUE(cached.same_state(fresh));
}

TEST(GammaSetupCache, KeepsOnlyRatioMethodShapes) {
    PrivateStream p;
    p.s.gamma_core(0.5, 1.0);   // method A: no set-up
    p.s.gamma_core(12.0, 1.0);  // method C: a cache of its own
    for (const auto& e : p.s.ratio_cache) EXPECT_EQ(e.g, 0.0);
    p.s.gamma_core(4.0, 2.0);
    int found = 0;
    for (const auto& e : p.s.ratio_cache) found += (e.g == 4.0);
    EXPECT_EQ(found, 1);
    p.s.gamma_core(4.0, 3.0);  // the rate does not enter the set-up
    found = 0;
    for (const auto& e : p.s.ratio_cache) found += (e.g == 4.0);
    EXPECT_EQ(found, 1);
}

}  // namespace
