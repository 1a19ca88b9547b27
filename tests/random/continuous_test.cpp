// Exponential, beta, Weibull and Pareto -- exact values and
// uniform counts, the Johnk / two-gamma boundary, the messages, and the
// documented results for infinite and extreme parameters.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "common/pmath.h"
#include "random/variates.h"
#include "random_support.h"
#include "support/capture.h"

namespace kestrum::test {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

TEST(Exponential, ZeroMeanGivesZeroAfterOneUniform) {
    ProcessStateGuard guard;
    const PrivateStream before = ProcessStateGuard::snapshot();
    const double mu = 0.0;
    EXPECT_EQ(zbqlexp_(&mu), 0.0);
    EXPECT_EQ(steps_between(before, ProcessStateGuard::snapshot()), 1);
}

TEST(Exponential, ExactValues) {
    PrivateStream p, copy;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(random::exponential(p.s, 2.5), -2.5 * kestrum::pmath::log(copy.s.uniform()));
    }
    EXPECT_EQ(random::exponential(p.s, kInf), kInf);
}

TEST(Beta, BothBelowPointNineUsesJohnk) {
    ProcessStateGuard guard;
    PrivateStream copy = ProcessStateGuard::snapshot();
    for (int i = 0; i < 200; ++i) {
        double u1, u2;
        do {
            u1 = copy.s.uniform();
            u2 = copy.s.uniform();
        } while (kestrum::pmath::pow(u1, 1.0 / 0.5) + kestrum::pmath::pow(u2, 1.0 / 0.5) > 1.0);
        const double want = 1.0 / (1.0 + kestrum::pmath::exp(kestrum::pmath::log(u2) / 0.5 - kestrum::pmath::log(u1) / 0.5));
        const double a = 0.5, b = 0.5;
        ASSERT_EQ(zbqlbet1_(&a, &b), want);
    }
    EXPECT_TRUE(ProcessStateGuard::snapshot().same_state(copy));
}

TEST(Beta, TheLimitIsStrictOnBothParameters) {
    for (const auto& ab : {std::pair<double, double>{0.5, 0.9}, {0.9, 0.5}, {0.9, 0.9}, {2.0, 3.0}}) {
        PrivateStream p, copy;
        for (int i = 0; i < 100; ++i) {
            const double g1 = copy.s.gamma_core(ab.first, 1.0);
            const double g2 = copy.s.gamma_core(ab.second, 1.0);
            ASSERT_EQ(random::beta(p.s, ab.first, ab.second), g1 / (g1 + g2));
        }
        EXPECT_TRUE(p.same_state(copy));
    }
    // Just below the limit on both: Johnk.
    PrivateStream p, copy;
    const double a = std::nextafter(0.9, 0.0);
    double u1, u2;
    do {
        u1 = copy.s.uniform();
        u2 = copy.s.uniform();
    } while (kestrum::pmath::pow(u1, 1.0 / a) + kestrum::pmath::pow(u2, 1.0 / a) > 1.0);
    EXPECT_EQ(random::beta(p.s, a, a),
              1.0 / (1.0 + kestrum::pmath::exp(kestrum::pmath::log(u2) / a - kestrum::pmath::log(u1) / a)));
}

TEST(Beta, InfiniteAndHugeDegreesOfFreedom) {
    PrivateStream p;
    const PrivateStream before(p);
    EXPECT_EQ(random::beta(p.s, kInf, 2.0), 1.0);
    EXPECT_EQ(random::beta(p.s, 0.3, kInf), 0.0);
    EXPECT_TRUE(std::isnan(random::beta(p.s, kInf, kInf)));
    EXPECT_TRUE(p.same_state(before));
    Watchdog dog(60);
    for (int i = 0; i < 50; ++i) {
        const double x = random::beta(p.s, DBL_MAX, DBL_MAX);
        ASSERT_GT(x, 0.4);
        ASSERT_LT(x, 0.6);
        const double y = random::beta(p.s, 1e-300, 1e-300);
        ASSERT_GE(y, 0.0);
        ASSERT_LE(y, 1.0);
        // Subnormal: both quotients overflow; the sign decides.
        const double z = random::beta(p.s, 4.9e-324, 1e-320);
        ASSERT_TRUE(z == 0.0 || z == 0.5 || z == 1.0) << z;
    }
}

TEST(Weibull, ExactValuesAndLimits) {
    PrivateStream p, copy;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(random::weibull(p.s, 1.7, 3.0),
                  3.0 * kestrum::pmath::pow(-kestrum::pmath::log(copy.s.uniform()), 1.0 / 1.7));
    }
    const PrivateStream before(p);
    EXPECT_EQ(random::weibull(p.s, 2.0, kInf), kInf);
    EXPECT_EQ(random::weibull(p.s, 1e-300, kInf), kInf);
    EXPECT_EQ(random::weibull(p.s, kInf, 4.0), 4.0);
    EXPECT_EQ(steps_between(before, p), 3);
}

TEST(Pareto, ExactValuesAndLimits) {
    PrivateStream p, copy;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(random::pareto(p.s, 2.5, 3.0),
                  3.0 * (kestrum::pmath::pow(copy.s.uniform(), -1.0 / 2.5) - 1.0));
    }
    const PrivateStream before(p);
    EXPECT_EQ(random::pareto(p.s, kInf, 4.0), 0.0);
    EXPECT_EQ(random::pareto(p.s, 2.0, kInf), kInf);
    EXPECT_TRUE(std::isnan(random::pareto(p.s, kInf, kInf)));
    EXPECT_EQ(steps_between(before, p), 3);
}

struct MessageCase {
    const char* name;
    double (*fn)(const double*, const double*);
    double a, b;
    const char* text;
};

double exp2(const double* a, const double*) { return zbqlexp_(a); }

TEST(ContinuousMessages, EveryParameterErrorWritesItsLinesAndDrawsNothing) {
    ProcessStateGuard guard;
    const char* exp_msg = "\n     ****ERROR**** Illegal parameter value in  ZBQLEXP\n\n";
    const char* bet_msg =
        "\n     ****ERROR**** Illegal parameter value in  ZBQLBET1\n"
        "     (both degrees of freedom must be positive)\n\n";
    const char* wei_msg =
        "\n     ****ERROR**** Illegal parameter value in  ZBQLWEI\n"
        "     (both parameters must be positive)\n\n";
    const char* par_msg =
        "\n     ****ERROR**** Illegal parameter value in  ZBQLPAR\n"
        "     (both parameters must be positive)\n\n";
    const MessageCase cases[] = {
        {"exp -1", exp2, -1.0, 0.0, exp_msg},      {"exp nan", exp2, kNan, 0.0, exp_msg},
        {"exp -inf", exp2, -kInf, 0.0, exp_msg},   {"bet 0 1", zbqlbet1_, 0.0, 1.0, bet_msg},
        {"bet 1 -1", zbqlbet1_, 1.0, -1.0, bet_msg}, {"bet nan", zbqlbet1_, kNan, 1.0, bet_msg},
        {"bet 1 nan", zbqlbet1_, 1.0, kNan, bet_msg}, {"wei 0 1", zbqlwei_, 0.0, 1.0, wei_msg},
        {"wei 1 0", zbqlwei_, 1.0, 0.0, wei_msg},  {"wei nan", zbqlwei_, kNan, 1.0, wei_msg},
        {"par 1 0", zbqlpar_, 1.0, 0.0, par_msg},  {"par -1 1", zbqlpar_, -1.0, 1.0, par_msg},
        {"par 1 nan", zbqlpar_, 1.0, kNan, par_msg},
    };
    for (const MessageCase& c : cases) {
        const PrivateStream before = ProcessStateGuard::snapshot();
        double r = 1.0;
        const std::string out = capture_stdout([&] { r = c.fn(&c.a, &c.b); });
        EXPECT_EQ(out, c.text) << c.name;
        EXPECT_EQ(r, 0.0) << c.name;
        EXPECT_TRUE(ProcessStateGuard::snapshot().same_state(before)) << c.name;
    }
}

}  // namespace
}  // namespace kestrum::test
