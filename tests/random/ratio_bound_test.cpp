// The bounds of the ratio-of-uniforms acceptance test against the whole
// expression: the decision must be the same on every argument, the
// trials of the sampler's own shapes and arguments placed right at the
// boundary (uu equal to the computed value and its neighbours), where only
// the fallback can decide.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "common/pmath.h"
#include "random/ratio_bound.h"
#include "random_support.h"

namespace kestrum::test {
namespace {

using random::ratio_accept;
using random::ratio_bound;
using random::ratio_exact;

// The short exp's table against the library's pow.
TEST(RatioBound, TableIsWithinItsBound) {
    for (int j = 0; j < 64; ++j) {
        const double want = pmath::pow(2.0, j / 64.0);
        const double have = random::ratio_detail::kExp2Frac[static_cast<std::size_t>(j)];
        EXPECT_LE(std::fabs(have / want - 1.0), 0x1p-50) << j;
    }
}

// The short log and exp over their ranges against the library's functions,
// within the stated bounds (log: absolute 2^-40; exp: relative 2^-42).
TEST(RatioBound, ShortFunctionsAreWithinTheirBounds) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> lz(-60.0 * 0.6931471805599453, std::log(600.0));
    std::uniform_real_distribution<double> es(-700.0, 700.0);
    for (int i = 0; i < 1000000; ++i) {
        const double z = std::exp(lz(gen));
        ASSERT_LE(std::fabs(random::ratio_detail::log_short(z) - pmath::log(z)), 0x1p-40) << z;
        const double s = es(gen);
        const double want = pmath::exp(s);
        ASSERT_LE(std::fabs(random::ratio_detail::exp_short(s) / want - 1.0), 0x1p-42) << s;
    }
}

// Every decision, ratio_accept against the whole expression.  The cases of
// each table row: z over its range (and beyond the bounds' domain), expo
// from the row, uu either drawn as the method draws it or placed at the
// computed value C and the doubles next to it.
TEST(RatioBound, DecidesAsTheWholeExpression) {
    Watchdog dog(300);
    // The exponents of shapes 1..10, (g - 1)/1.5: the sampler's (shape 4:
    // 2, shapes 6 and 8: pooled rows of 8 and 12), the ends and arbitrary.
    const double shapes[] = {1.0, 1.0000001, 1.5, 2.0, 3.0, 4.0, 4.5, 6.0, 7.3, 8.0, 9.999999, 10.0};
    std::mt19937_64 gen(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    long decided = 0, total = 0;
#if defined(KESTRUM_EMULATED)
    const int trials = 40000;  // an emulated run is about a hundred times slower
#else
    const int trials = 400000;
#endif
    for (double g : shapes) {
        const double expo = (g - 1.0) / 1.5;
        PrivateStream ps;
        const Stream::RatioSetup su = ps.s.ratio_setup(g);
        for (int i = 0; i < trials; ++i) {
            // As the method draws: uu = hmax u1, z = y - a.
            const double uu = su.hmax * unit(gen);
            const double y = (su.vlo + unit(gen) * su.span) / std::sqrt(uu);
            double z = y - su.a;
            if (y > su.a) {
                decided += ratio_bound(z, expo, uu) != 0;
                ++total;
            } else {  // a trial the method rejects before the test: tiny z
                z = std::ldexp(unit(gen), -static_cast<int>(unit(gen) * 70.0));
            }
            ASSERT_EQ(ratio_accept(z, expo, uu), ratio_exact(z, expo, uu))
                << "g " << g << " z " << z << " uu " << uu;
            // At the boundary: uu = C and its neighbours on both sides.
            const double c = pmath::exp(-z / 1.5) * pmath::pow(z, expo);
            if (!(c > 0.0) || !std::isfinite(c)) continue;
            double at = c;
            for (int k = 0; k < 3; ++k) at = std::nextafter(at, 0.0);
            for (int k = 0; k < 7; ++k, at = std::nextafter(at, 2.0 * c)) {
                ASSERT_EQ(ratio_accept(z, expo, at), ratio_exact(z, expo, at))
                    << "g " << g << " z " << z << " uu " << at;
            }
            // Just outside the margin, where the bounds decide.
            for (double f : {1.0 + 0x1p-29, 1.0 - 0x1p-29}) {
                ASSERT_EQ(ratio_accept(z, expo, c * f), ratio_exact(z, expo, c * f));
            }
        }
    }
    // The bounds decide nearly every trial of the method (otherwise the
    // shortcut saves nothing).
    EXPECT_GT(decided, total - total / 1000);
}

// The cells' bounds: wherever they decide, the decision is the whole
// expression's; on the method's own trials they decide nearly all.  The
// cases: trials as the method draws them, and z at every cell's ends and
// at the mode with uu at the cell's bounds, at C and next to them.
TEST(RatioBound, CellsDecideAsTheWholeExpression) {
    Watchdog dog(300);
    const double shapes[] = {1.0, 1.0000001, 1.2, 2.0, 3.0, 4.0, 6.0, 7.3, 8.0, 10.0};
    std::mt19937_64 gen(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
#if defined(KESTRUM_EMULATED)
    const int trials = 20000;
#else
    const int trials = 200000;
#endif
    const auto agree = [](const random::RatioCells& cells, double z, double expo, double uu) {
        const int d = cells.decide(z, uu);
        return d == 0 || (d > 0) == ratio_exact(z, expo, uu);
    };
    for (double g : shapes) {
        const double expo = (g - 1.0) / 1.5;
        PrivateStream ps;
        const Stream::RatioSetup su = ps.s.ratio_setup(g);
        random::RatioCells cells;
        cells.build(expo);
        long decided = 0, inside = 0;
        for (int i = 0; i < trials; ++i) {
            const double uu = su.hmax * unit(gen);
            const double y = (su.vlo + unit(gen) * su.span) / std::sqrt(uu);
            if (!(y > su.a)) continue;
            const double z = y - su.a;
            ASSERT_TRUE(agree(cells, z, expo, uu)) << "g " << g << " z " << z << " uu " << uu;
            if (z < 32.0) {
                ++inside;
                decided += cells.decide(z, uu) != 0;
            }
        }
        // (the steepest f, near shape 1, leaves about a tenth undecided)
        EXPECT_GT(decided, inside - inside / 7) << "g " << g;
        std::vector<double> zs;
        for (int c = 0; c <= random::RatioCells::kCells; ++c) {
            const double e = c / random::RatioCells::kPerUnit;
            zs.insert(zs.end(), {std::nextafter(e, 0.0), e, std::nextafter(e, 64.0)});
        }
        const double mode = 1.5 * expo;
        zs.insert(zs.end(), {std::nextafter(mode, 0.0), mode, std::nextafter(mode, 64.0)});
        for (double z : zs) {
            if (!(z > 0.0)) continue;
            const int c = static_cast<int>(z * random::RatioCells::kPerUnit);
            const double c_value = pmath::exp(-z / 1.5) * pmath::pow(z, expo);
            std::vector<double> uus{c_value};
            if (c < random::RatioCells::kCells) {
                uus.push_back(cells.bound[c][0]);
                uus.push_back(cells.bound[c][1]);
            }
            for (double u0 : uus) {
                double uu = u0;
                for (int k = 0; k < 2; ++k) uu = std::nextafter(uu, 0.0);
                for (int k = 0; k < 5; ++k, uu = std::nextafter(uu, HUGE_VAL)) {
                    ASSERT_TRUE(agree(cells, z, expo, uu)) << "g " << g << " z " << z << " uu " << uu;
                }
            }
        }
    }
}

// Arguments at and beyond the ends of the domain, and special values:
// the bounds stay out, and the decision is the whole expression's.
TEST(RatioBound, EdgesAndSpecialValues) {
    const double inf = HUGE_VAL, nan = std::nan("");
    const double zs[] = {0.0, 0x1p-1074, 0x1p-61, 0x1p-60, std::nextafter(0x1p-60, 0.0), 1e-10, 1.0,
                         599.999, 600.0, std::nextafter(600.0, 700.0), 1000.0, 1e300, inf, nan};
    const double uus[] = {0x1p-1074, 0x1p-1001, 0x1p-1000, 1e-300, 1e-200, 1e-10, 0.5, 1.0, 1320.0,
                          inf, nan};
    for (double expo : {0.0, 1e-16, 0.6666666666666666, 2.0, 2.0000000000000004, 5.9999, 6.0}) {
        for (double z : zs) {
            for (double uu : uus) {
                EXPECT_EQ(ratio_accept(z, expo, uu), ratio_exact(z, expo, uu))
                    << "z " << z << " expo " << expo << " uu " << uu;
            }
        }
    }
}

}  // namespace
}  // namespace kestrum::test
