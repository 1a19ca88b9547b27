// The bounds of the second acceptance test of the gamma method for shapes
// above 10 against the whole expression: the decision must be the same on
// every argument, the method's own trials and arguments placed where the
// expression crosses 1, where only the fallback can decide.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/pmath.h"
#include "random/large_bound.h"

namespace kestrum::test {
namespace {

using random::large_accept;
using random::large_bound;
using random::large_exact;

TEST(LargeBound, TableIsWithinItsBound) {
    for (int i = 0; i <= 256; ++i) {
        const double want = pmath::log(1.0 + i / 256.0);
        const double have = random::large_detail::kLogCells[static_cast<std::size_t>(i)];
        EXPECT_LE(std::fabs(have - want), 0x1p-50) << i;
    }
}

// The method's trials that reach the second test, for its shapes: every
// decision as the whole expression's, nearly all by the bounds; then, for
// each such trial's v, the w where the expression crosses 1 (found by
// bisection on the doubles) and its neighbours.
TEST(LargeBound, DecidesAsTheWholeExpression) {
    std::mt19937_64 gen(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (double g : {10.0000001, 12.0, 20.0, 34.0, 66.0, 100.0, 1e4}) {
        const double a1 = g - 1.0, b1 = (g - 1.0 / (6.0 * g)) / a1, m1 = 2.0 / a1;
        const double d1 = m1 + 2.0, sc = 1.0 / std::sqrt(g);
        long tested = 0, decided = 0;
        for (int i = 0; i < 100000; ++i) {
            const double u1 = unit(gen), u2 = unit(gen);
            const double v = u2 + (1.0 - 1.86 * u1) * sc;
            if (!(v > 0.0 && v < 1.0)) continue;
            const double w = (b1 * u2) / v;
            const double inv = 1.0 / w;
            if ((m1 * v + w) + inv <= d1) continue;
            ++tested;
            decided += large_bound(m1, v, w, inv) != 0;
            ASSERT_EQ(large_accept(m1, v, w, inv), large_exact(m1, v, w))
                << "g " << g << " v " << v << " w " << w;
            if (i % 16 != 0) continue;
            // The crossing on the side of 1 that w is on (R falls towards 1
            // from below and rises beyond it).
            double lo = w < 1.0 ? w : 1.0, hi = w < 1.0 ? 1.0 : w;
            const bool lo_accepts = large_exact(m1, v, lo);
            for (int k = 0; k < 200 && std::nextafter(lo, hi) < hi; ++k) {
                const double mid = 0.5 * (lo + hi);
                (large_exact(m1, v, mid) == lo_accepts ? lo : hi) = mid;
            }
            double at = lo;
            for (int k = 0; k < 3; ++k) at = std::nextafter(at, 0.0);
            for (int k = 0; k < 7; ++k, at = std::nextafter(at, 300.0)) {
                ASSERT_EQ(large_accept(m1, v, at, 1.0 / at), large_exact(m1, v, at))
                    << "g " << g << " v " << v << " w " << at;
            }
        }
        if (g <= 100.0) {
            EXPECT_GT(decided, tested - tested / 20) << "g " << g;
        }
    }
}

// The ends of the domain and beyond: the bounds stay out or agree.
TEST(LargeBound, EdgesOfTheDomain) {
    const double vs[] = {0x1p-70, std::nextafter(0x1p-60, 0.0), 0x1p-60, 1e-10, 0.5,
                         std::nextafter(1.0, 0.0)};
    const double ws[] = {0x1p-9, 0x1p-8, 0.25, 0.5, std::nextafter(1.0, 0.0), 1.0, 1.5, 2.0,
                         std::nextafter(2.0, 3.0), 0x1p8, std::nextafter(0x1p8, 1e3), 1e3};
    for (double m1 : {1e-9, 0.01, 0.2222222222222222, 1.0, 2.0}) {
        for (double v : vs) {
            for (double w : ws) {
                EXPECT_EQ(large_accept(m1, v, w, 1.0 / w), large_exact(m1, v, w))
                    << "m1 " << m1 << " v " << v << " w " << w;
            }
        }
    }
}

}  // namespace
}  // namespace kestrum::test
