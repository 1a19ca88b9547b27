// The ratio-of-uniforms gamma method (shapes 1 to 10) against the method
// written out with the whole acceptance expression and pow(uu, 0.5) on
// every trial: the same variates bit for bit and the same stream after
// every draw, so the shortcuts of gamma.cpp (sqrt for the square root,
// bounds on the pow deciding where they can) change nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "common/pmath.h"
#include "random/variates.h"
#include "random_support.h"

namespace kestrum::test {
namespace {

// One draw of the method with every operation spelled out.
double reference_ratio(Stream& s, double g) {
    const Stream::RatioSetup su = s.ratio_setup(g);
    const double expo = (g - 1.0) / 1.5;
    for (;;) {
        const double u1 = s.uniform();
        const double u2 = s.uniform();
        const double uu = su.hmax * u1;
        const double y = (su.vlo + u2 * su.span) / pmath::pow(uu, 0.5);
        if (y > su.a) {
            const double z = y - su.a;
            if (pmath::exp(-z / 1.5) * pmath::pow(z, expo) >= uu) return z;
        }
    }
}

// At and next to the value of the whole expression, where only an exact
// evaluation can decide, and at and next to the bounds the shortcuts use
// (exp(-z/1.5) times 1 or z), on both sides of z = 1 and expo = 1.
TEST(RatioAccept, DecidesLikeTheWholeExpressionNextToTies) {
    const double zs[] = {1e-300, 1e-9, 0.01, 0.37, 0.999999, 1.0, 1.000001, 1.7, 2.5,
                         6.0, 30.0, 400.0, 1049.0, 1060.0, 5000.0, 1e100};
    const double expos[] = {0.0, 1e-7, 1.0 / 6.0, 1.0 / 3.0, 2.0 / 3.0, 1.0, 4.0 / 3.0,
                            2.0, 3.8, 6.0};
    int cases = 0;
    for (double z : zs) {
        for (double expo : expos) {
            const double r = pmath::exp(-z / 1.5) * pmath::pow(z, expo);
            const double inf = std::numeric_limits<double>::infinity();
            const double uus[] = {r,
                                  std::nextafter(r, 0.0),
                                  std::nextafter(r, inf),
                                  std::nextafter(std::nextafter(r, inf), inf),
                                  r * (1.0 + 0x1p-40),
                                  r * (1.0 - 0x1p-40),
                                  r * (1.0 + 0x1p-30),
                                  r * (1.0 - 0x1p-30),
                                  r * 1.001,
                                  r * 0.999,
                                  pmath::exp(-z / 1.5),
                                  pmath::exp(-z / 1.5) * z,
                                  std::nextafter(pmath::exp(-z / 1.5) * z, 0.0),
                                  std::nextafter(pmath::exp(-z / 1.5) * z, inf),
                                  0x1p-1000,
                                  0x1p-1074,
                                  0.5,
                                  1.0};
            for (double uu : uus) {
                if (!(uu > 0.0)) continue;
                EXPECT_EQ(random::ratio_accepts(z, expo, uu), r >= uu)
                    << "z " << z << " expo " << expo << " uu " << uu << " value " << r;
                ++cases;
            }
        }
    }
    EXPECT_GT(cases, 2000);
}

TEST(RatioAccept, ShortcutsGiveTheVariatesOfTheWholeExpression) {
    Watchdog dog(120);
    const double shapes[] = {1.0, 1.0000001, 1.25, 1.5, 1.999999, 2.0, 2.0000001,
                             2.5, 3.0, 4.7, 7.0, 9.999999, 10.0};
    for (double g : shapes) {
        PrivateStream ref;
        PrivateStream got;
        for (int i = 0; i < 20000; ++i) {
            const double want = reference_ratio(ref.s, g);
            const double have = got.s.gamma_core(g, 1.0);
            ASSERT_EQ(std::memcmp(&want, &have, sizeof want), 0) << "shape " << g << " draw " << i;
            ASSERT_TRUE(ref.same_state(got)) << "shape " << g << " draw " << i;
        }
    }
}

}  // namespace
}  // namespace kestrum::test
