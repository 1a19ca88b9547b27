// Matrix inversion: exact small cases, the untouched order <= 0, the zero
// leading pivot, the scratch contract and scale-free residuals on random
// symmetric positive-definite matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kestrumr.h"
#include "posterior/inverse.h"

namespace {

using kestrum::posterior::invert;
using kestrum::posterior::inverse_scratch_size;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Inverse, OrderOneIsTheReciprocalAndLeavesTheMatrix) {
    double amat[1] = {3.0};
    double ainv[1] = {kNaN};
    const int32_t n = 1;
    inverse_(amat, ainv, &n);
    EXPECT_EQ(ainv[0], 1.0 / 3.0);
    EXPECT_EQ(amat[0], 3.0);
}

TEST(Inverse, OrderZeroOrNegativeTouchesNothing) {
    for (const int32_t n : {0, -1, -7, std::numeric_limits<int32_t>::min()}) {
        // Null pointers: any access would crash.
        inverse_(nullptr, nullptr, &n);
        invert(nullptr, nullptr, n, nullptr);
        double amat[4] = {1.0, 2.0, 3.0, 4.0};
        double ainv[4] = {-1.0, -2.0, -3.0, -4.0};
        inverse_(amat, ainv, &n);
        EXPECT_EQ(amat[0], 1.0);
        EXPECT_EQ(amat[3], 4.0);
        EXPECT_EQ(ainv[0], -1.0);
        EXPECT_EQ(ainv[3], -4.0);
        EXPECT_EQ(inverse_scratch_size(n), 0u);
    }
}

TEST(Inverse, TwoByTwoExampleExactly) {
    // ((4, 2), (2, 3)) column by column: f = 0.5, U = ((4, 2), (0, 2)).
    double amat[4] = {4.0, 2.0, 2.0, 3.0};
    double ainv[4] = {kNaN, kNaN, kNaN, kNaN};
    const int32_t n = 2;
    inverse_(amat, ainv, &n);
    EXPECT_EQ(ainv[0], 0.375);
    EXPECT_EQ(ainv[1], -0.25);
    EXPECT_EQ(ainv[2], -0.25);
    EXPECT_EQ(ainv[3], 0.5);
    // U above and on the diagonal, the untouched A(2,1) below.
    EXPECT_EQ(amat[0], 4.0);
    EXPECT_EQ(amat[1], 2.0);
    EXPECT_EQ(amat[2], 2.0);
    EXPECT_EQ(amat[3], 2.0);
}

TEST(Inverse, ZeroLeadingPivotGivesNaNEverywhere) {
    double amat[4] = {0.0, 1.0, 1.0, 0.0};
    double ainv[4] = {1.0, 1.0, 1.0, 1.0};
    const int32_t n = 2;
    inverse_(amat, ainv, &n);  // returns normally
    for (double v : ainv) EXPECT_TRUE(std::isnan(v));
}

TEST(Inverse, ScratchSizeAndUninitialisedScratch) {
    EXPECT_EQ(inverse_scratch_size(1), 5u);
    EXPECT_EQ(inverse_scratch_size(3), 27u);
    const std::uint64_t big = std::numeric_limits<int32_t>::max();
    const std::uint64_t want = 2 * big * big + 3 * big;  // < 2^64
    if (sizeof(std::size_t) >= 8) {
        EXPECT_EQ(static_cast<std::uint64_t>(inverse_scratch_size(std::numeric_limits<int32_t>::max())), want);
    } else {
        EXPECT_EQ(inverse_scratch_size(std::numeric_limits<int32_t>::max()),
                  std::numeric_limits<std::size_t>::max());
    }
    // Scratch of exactly the stated size, filled with garbage, gives the
    // same bits as the exported routine.
    const int32_t n = 3;
    const double a0[9] = {4.0, 1.0, 0.5, 1.0, 3.0, 0.25, 0.5, 0.25, 2.0};
    std::vector<double> a1(a0, a0 + 9), a2(a0, a0 + 9), i1(9), i2(9);
    std::vector<double> scratch(inverse_scratch_size(n), kNaN);
    invert(a1.data(), i1.data(), n, scratch.data());
    inverse_(a2.data(), i2.data(), &n);
    for (int t = 0; t < 9; ++t) {
        EXPECT_EQ(i1[t], i2[t]) << t;
        EXPECT_EQ(a1[t], a2[t]) << t;
        EXPECT_FALSE(std::isnan(i1[t])) << t;
    }
}

double norm1(const std::vector<double>& a, int n) {
    double best = 0.0;
    for (int j = 0; j < n; ++j) {
        double s = 0.0;
        for (int i = 0; i < n; ++i) s += std::fabs(a[i + j * n]);
        if (s > best) best = s;
    }
    return best;
}

TEST(Inverse, ScaleFreeResidualOnRandomSpdMatrices) {
    std::mt19937_64 gen(20261208);
    std::uniform_real_distribution<double> unif(-1.0, 1.0);
    const double eps = std::numeric_limits<double>::epsilon();
    for (int n = 1; n <= 10; ++n) {
        for (int rep = 0; rep < 20; ++rep) {
            // A = B B^T + delta I, with delta varying the conditioning.
            std::vector<double> b(n * n), a(n * n, 0.0);
            for (double& v : b) v = unif(gen);
            const double delta = std::pow(10.0, -(rep % 5));
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < n; ++j) {
                    double s = 0.0;
                    for (int l = 0; l < n; ++l) s += b[i + l * n] * b[j + l * n];
                    a[i + j * n] = s + (i == j ? delta : 0.0);
                }
            }
            std::vector<double> work(a), ainv(n * n);
            const int32_t order = n;
            inverse_(work.data(), ainv.data(), &order);
            // R = I - A^{-1} A
            std::vector<double> r(n * n);
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < n; ++j) {
                    double s = 0.0;
                    for (int l = 0; l < n; ++l) s += ainv[i + l * n] * a[l + j * n];
                    r[i + j * n] = (i == j ? 1.0 : 0.0) - s;
                }
            }
            const double ratio = norm1(r, n) / (n * norm1(a, n) * norm1(ainv, n) * eps);
            EXPECT_LT(ratio, 10.0) << "n=" << n << " rep=" << rep;
        }
    }
}

}  // namespace
