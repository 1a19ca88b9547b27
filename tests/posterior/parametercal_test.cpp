// Group and pooled sample statistics of one row.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "kestrumr.h"

namespace {

constexpr double kPoison = -12345.0;

TEST(GroupStatistics, ThreeGroupsWithPooledStatistics) {
    const double x[6] = {1, 3, 2, 4, 6, 5};
    const int32_t ipool = 1, ngrp = 3, ntot = 6;
    const int32_t nobs[3] = {2, 3, 1};
    double ybar[3], s2[3], ybar0 = kPoison, s20 = kPoison;
    parametercal_(x, &ipool, &ngrp, &ntot, nobs, ybar, s2, &ybar0, &s20);
    EXPECT_EQ(ybar[0], 2.0);
    EXPECT_EQ(ybar[1], 4.0);
    EXPECT_EQ(ybar[2], 5.0);
    EXPECT_EQ(s2[0], 2.0);
    EXPECT_EQ(s2[1], 4.0);
    EXPECT_TRUE(std::isnan(s2[2]));  // one value: 0/0
    EXPECT_EQ(ybar0, 3.5);
    EXPECT_EQ(s20, 3.5);
}

TEST(GroupStatistics, UnpooledLeavesPooledOutputsAndNtotAlone) {
    const double x[6] = {1, 3, 2, 4, 6, 5};
    const int32_t ngrp = 3;
    const int32_t nobs[3] = {2, 3, 1};
    for (int32_t ipool : {0, 2, -1}) {
        double ybar[3], s2[3], ybar0 = kPoison, s20 = kPoison;
        // ntot is not read: a null pointer must be harmless.
        parametercal_(x, &ipool, &ngrp, nullptr, nobs, ybar, s2, &ybar0, &s20);
        EXPECT_EQ(ybar0, kPoison);
        EXPECT_EQ(s20, kPoison);
        EXPECT_EQ(ybar[1], 4.0);
        EXPECT_EQ(s2[1], 4.0);
    }
}

TEST(GroupStatistics, NoGroupsWritesOnlyThePooledZeros) {
    const int32_t ipool = 1, ntot = 6;
    double ybar[1] = {kPoison}, s2[1] = {kPoison}, ybar0 = kPoison, s20 = kPoison;
    for (int32_t ngrp : {0, -3}) {
        // Neither x nor nobs is read.
        parametercal_(nullptr, &ipool, &ngrp, &ntot, nullptr, ybar, s2, &ybar0, &s20);
        EXPECT_EQ(ybar0, 0.0);
        EXPECT_EQ(s20, 0.0);
        EXPECT_EQ(ybar[0], kPoison);
        EXPECT_EQ(s2[0], kPoison);
    }
    const int32_t off = 0, ngrp = 0;
    ybar0 = kPoison;
    parametercal_(nullptr, &off, &ngrp, &ntot, nullptr, ybar, s2, &ybar0, &s20);
    EXPECT_EQ(ybar0, kPoison);
}

TEST(GroupStatistics, ValuesPastTheGroupsAreNeverRead) {
    // The last two values are NaN: if any were read, the pooled results
    // would be NaN.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double x[6] = {1, 3, 2, 4, nan, nan};
    const int32_t ipool = 1, ngrp = 2, ntot = 4;
    const int32_t nobs[2] = {2, 2};
    double ybar[2], s2[2], ybar0, s20;
    parametercal_(x, &ipool, &ngrp, &ntot, nobs, ybar, s2, &ybar0, &s20);
    EXPECT_EQ(ybar[0], 2.0);
    EXPECT_EQ(ybar[1], 3.0);
    EXPECT_EQ(ybar0, 2.5);
    // (30 - 4*6.25)/3
    EXPECT_EQ(s20, 5.0 / 3.0);
}

TEST(GroupStatistics, EmptyGroupsConsumeNothing) {
    // Group 2 is empty (and group 3 negative): both consume no values, so
    // group 4 starts right after group 1.
    const double x[4] = {1, 3, 10, 14};
    const int32_t ipool = 1, ngrp = 4, ntot = 4;
    const int32_t nobs[4] = {2, 0, -1, 2};
    double ybar[4], s2[4], ybar0, s20;
    parametercal_(x, &ipool, &ngrp, &ntot, nobs, ybar, s2, &ybar0, &s20);
    EXPECT_EQ(ybar[0], 2.0);
    EXPECT_TRUE(std::isnan(ybar[1]));  // 0/0
    EXPECT_TRUE(std::isnan(s2[1]));
    EXPECT_EQ(ybar[3], 12.0);
    EXPECT_EQ(s2[3], 8.0);
    EXPECT_EQ(ybar0, 7.0);
}

TEST(GroupStatistics, PooledDivisorComesFromNtotAlone) {
    // ntot disagrees with the group sizes: the sums cover the consumed
    // values, the divisors use ntot.
    const double x[3] = {2, 4, 6};
    const int32_t ipool = 1, ngrp = 1, ntot = 2;
    const int32_t nobs[1] = {3};
    double ybar[1], s2[1], ybar0, s20;
    parametercal_(x, &ipool, &ngrp, &ntot, nobs, ybar, s2, &ybar0, &s20);
    EXPECT_EQ(ybar0, 6.0);                      // 12 / 2
    EXPECT_EQ(s20, (56.0 - 2.0 * 36.0) / 1.0);  // (Q - N*mean^2)/(N - 1)
    const int32_t one = 1;
    parametercal_(x, &ipool, &ngrp, &one, nobs, ybar, s2, &ybar0, &s20);
    EXPECT_TRUE(std::isinf(s20) || std::isnan(s20));  // divides by N - 1 = 0
}

}  // namespace
