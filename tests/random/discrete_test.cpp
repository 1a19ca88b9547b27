// Geometric, binomial, Poisson, negative binomial and log-gamma --
// exact values and uniform counts on every branch
// (against reference versions written here from the published steps, built on the
// beta, gamma and log-gamma routines checked elsewhere), the messages, and
// the documented results for out-of-range values.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "common/pmath.h"
#include "random/variates.h"
#include "random_support.h"
#include "support/capture.h"

namespace kestrum::test {
namespace {

constexpr double kPi = 3.141592653589793;
const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

// --- geometric -----------------------------------------------------------

TEST(Geometric, OneGivesOneAfterOneUniform) {
    ProcessStateGuard guard;
    const PrivateStream before = ProcessStateGuard::snapshot();
    const double p = 1.0;
    EXPECT_EQ(zbqlgeo_(&p), 1);
    EXPECT_EQ(steps_between(before, ProcessStateGuard::snapshot()), 1);
}

TEST(Geometric, AbovePointNineCountsTrialsAtPointNineUsesTheLogarithm) {
    PrivateStream p, copy;
    for (int i = 0; i < 200; ++i) {
        int c = 0;
        double u;
        do {
            ++c;
            u = copy.s.uniform();
        } while (!(u <= 0.95));
        const PrivateStream before(p);
        ASSERT_EQ(random::geometric(p.s, 0.95), c);
        ASSERT_EQ(steps_between(before, p), c);
    }
    bool some_above_one = false;
    for (int i = 0; i < 200; ++i) {
        const double u = copy.s.uniform();
        const int want = static_cast<int>(std::trunc(kestrum::pmath::log(u) / kestrum::pmath::log(1.0 - 0.9))) + 1;
        const PrivateStream before(p);
        ASSERT_EQ(random::geometric(p.s, 0.9), want);
        ASSERT_EQ(steps_between(before, p), 1);
        if (want > 1) some_above_one = true;
    }
    EXPECT_TRUE(some_above_one);
}

TEST(Geometric, SmallProbabilitiesUseMinusPBelowTheTolerance) {
    PrivateStream p, copy;
    const double u1 = copy.s.uniform();
    EXPECT_EQ(random::geometric(p.s, 1e-5),
              static_cast<int>(std::trunc(kestrum::pmath::log(u1) / kestrum::pmath::log(1.0 - 1e-5))) + 1);
    const double u2 = copy.s.uniform();
    const double q = -kestrum::pmath::log(u2) / 1e-13;
    const int32_t want = q < 2147483647.0 ? static_cast<int32_t>(std::trunc(q)) + 1 : INT32_MAX;
    EXPECT_EQ(random::geometric(p.s, 1e-13), want);
}

TEST(Geometric, CountsBeyondInt32SaturateAfterOneUniform) {
    for (const double prob : {0.0, -0.0, 1e-300, 4.9e-324, 1e-12}) {
        PrivateStream p;
        const PrivateStream before(p);
        int32_t r = 0;
        const std::string out = capture_stdout([&] { r = random::geometric(p.s, prob); });
        EXPECT_EQ(out, "");
        if (prob != 1e-12) {
            EXPECT_EQ(r, INT32_MAX) << prob;
        }
        EXPECT_GE(r, 1);
        EXPECT_EQ(steps_between(before, p), 1);
    }
    // p = 1e-12 takes the logarithm branch; some draws exceed int32 there.
    PrivateStream p;
    int saturated = 0;
    for (int i = 0; i < 100; ++i) saturated += random::geometric(p.s, 1e-12) == INT32_MAX;
    EXPECT_GT(saturated, 90);
}

// --- binomial ------------------------------------------------------------

// The binomial's text, step by step, on a stream.
int64_t ref_binomial(PrivateStream& ps, int64_t n, double p, bool* beta_first = nullptr) {
    int64_t acc = 0, nn = n;
    double pp = p;
    bool first = true;
    if (beta_first) *beta_first = false;
    for (;;) {
        const int64_t k = static_cast<int64_t>(std::trunc(static_cast<double>(nn) * pp));
        if (k + 1 <= 10 || k + 1 >= nn - 10) break;
        const double v = random::beta(ps.s, static_cast<double>(k + 1), static_cast<double>(nn - k));
        if (first && beta_first) *beta_first = true;
        first = false;
        if (pp > v) {
            acc += k + 1;
            nn -= k + 1;
            pp = (pp - v) / (1.0 - v);
        } else {
            nn = k;
            pp = pp / v;
        }
    }
    const bool flip = pp > 0.5;
    const double q = flip ? 1.0 - pp : pp;
    int64_t x = 0;
    if (q > 1e-8) {
        int64_t s = 0;
        for (;;) {
            const double u = ps.s.uniform();
            double quot = kestrum::pmath::log(u) / kestrum::pmath::log(1.0 - q);
            s += quot < 2147483647.0 ? static_cast<int64_t>(std::trunc(quot)) + 1 : INT32_MAX;
            if (s <= nn) {
                ++x;
            } else {
                break;
            }
        }
    }
    return acc + (flip ? nn - x : x);
}

TEST(Binomial, ProbabilityZeroAndOneDrawNothing) {
    for (const int32_t n : {1, 5, 100, 1000000, INT32_MAX}) {
        PrivateStream p;
        const PrivateStream before(p);
        EXPECT_EQ(random::binomial(p.s, n, 0.0), 0) << n;
        EXPECT_EQ(random::binomial(p.s, n, -0.0), 0) << n;
        EXPECT_EQ(random::binomial(p.s, n, 1.0), n) << n;
        EXPECT_TRUE(p.same_state(before)) << n;
    }
}

TEST(Binomial, HundredAtOneHalfDrawsTheBetaFirst) {
    PrivateStream p, copy, beta_only;
    // k + 1 = 51 lies strictly between 10 and 90: zbqlbet1_(51, 50) first.
    const double v = random::beta(beta_only.s, 51.0, 50.0);
    (void)v;
    bool beta_first = false;
    const int64_t want = ref_binomial(copy, 100, 0.5, &beta_first);
    EXPECT_TRUE(beta_first);
    EXPECT_EQ(random::binomial(p.s, 100, 0.5), want);
    EXPECT_TRUE(p.same_state(copy));
    // The draws of the beta variate come first: the stream passes through
    // the state the beta alone leaves.
    EXPECT_GE(steps_between(PrivateStream(), beta_only), 2);
    EXPECT_GE(steps_between(beta_only, p), 0);
}

TEST(Binomial, ManyCasesAgreeWithTheText) {
    const std::pair<int32_t, double> cases[] = {
        {1, 0.5},     {10, 0.3},    {20, 0.5},     {21, 0.5},   {100, 0.05},  {100, 0.95},
        {100, 0.999}, {1000, 0.02}, {1000, 0.5},   {1000, 0.99}, {54321, 0.3}, {1000000, 0.7},
        {7, 1e-9},    {1000, 1e-8}, {2000000000, 0.25}};
    PrivateStream p, copy;
    for (const auto& c : cases) {
        for (int i = 0; i < 20; ++i) {
            const int32_t r = random::binomial(p.s, c.first, c.second);
            ASSERT_EQ(r, ref_binomial(copy, c.first, c.second)) << c.first << " " << c.second;
            ASSERT_TRUE(p.same_state(copy));
            ASSERT_GE(r, 0);
            ASSERT_LE(r, c.first);
        }
    }
}

TEST(Binomial, LargestCountEndsPromptlyInRange) {
    Watchdog dog(60);
    PrivateStream p;
    for (const double prob : {0.5, 1e-8 * 1.5, 0.999999999, 1.0 - 1e-15}) {
        for (int i = 0; i < 20; ++i) {
            const int32_t r = random::binomial(p.s, INT32_MAX, prob);
            const double mean = 2147483647.0 * prob;
            const double sd = std::sqrt(mean * (1.0 - prob));
            ASSERT_GE(r, 0);
            ASSERT_LE(std::fabs(r - mean), 10.0 * sd + 12.0) << prob;
        }
    }
}

// --- Poisson -------------------------------------------------------------

int64_t ref_poisson_small(PrivateStream& ps, double mu, std::vector<double>* shapes = nullptr) {
    int64_t acc = 0;
    double m = mu;
    while (m > 10.0) {
        const int64_t k = static_cast<int64_t>(std::trunc(m - std::sqrt(m)));
        if (shapes) shapes->push_back(static_cast<double>(k));
        const double y = ps.s.gamma_core(static_cast<double>(k), m);
        if (y > 1.0) return acc + ref_binomial(ps, k - 1, 1.0 / y);
        acc += k;
        m = m * (1.0 - y);
    }
    const double t = kestrum::pmath::exp(-m);
    double prod = 1.0;
    int64_t j = -1;
    do {
        ++j;
        prod *= ps.s.uniform();
    } while (!(prod <= t));
    return acc + j;
}

int64_t ref_poisson_large(PrivateStream& ps, double mu) {
    const double sq = std::sqrt(2.0 * mu);
    const double lg0 = random::log_gamma(mu + 1.0) - mu * kestrum::pmath::log(mu);
    for (;;) {
        const double y = kestrum::pmath::tan(kPi * ps.s.uniform());
        const double v = sq * y + mu;
        if (v <= -1.0 || v >= 2147483648.0) continue;
        const double em = std::trunc(v);
        const double t = (em * kestrum::pmath::log(mu) - random::log_gamma(em + 1.0)) + lg0;
        bool acc;
        if (std::fabs(t) < 100.0) {
            acc = ps.s.uniform() <= 0.9 * (1.0 + y * y) * kestrum::pmath::exp(t);
        } else {
            acc = kestrum::pmath::log(ps.s.uniform()) <= t + kestrum::pmath::log(0.9 * (1.0 + y * y));
        }
        if (acc) return static_cast<int64_t>(em);
    }
}

TEST(Poisson, ZeroMeanGivesZeroAfterOneUniform) {
    ProcessStateGuard guard;
    const PrivateStream before = ProcessStateGuard::snapshot();
    const double mu = 0.0;
    EXPECT_EQ(zbqlpoi_(&mu), 0);
    EXPECT_EQ(steps_between(before, ProcessStateGuard::snapshot()), 1);
}

TEST(Poisson, TenGoesStraightToTheProductOfUniforms) {
    PrivateStream p, copy;
    for (int i = 0; i < 100; ++i) {
        std::vector<double> shapes;
        const PrivateStream before(p);
        const int32_t r = random::poisson(p.s, 10.0);
        ASSERT_EQ(r, ref_poisson_small(copy, 10.0, &shapes));
        ASSERT_TRUE(shapes.empty());
        ASSERT_EQ(steps_between(before, p), r + 1);  // one uniform per factor
    }
}

TEST(Poisson, TenAndAHalfDrawsAGammaOfShapeSevenAndRateTenAndAHalfFirst) {
    PrivateStream p, copy;
    for (int i = 0; i < 100; ++i) {
        std::vector<double> shapes;
        PrivateStream gamma_only(p);
        const double y = gamma_only.s.gamma_core(7.0, 10.5);
        (void)y;
        ASSERT_EQ(random::poisson(p.s, 10.5), ref_poisson_small(copy, 10.5, &shapes));
        ASSERT_TRUE(p.same_state(copy));
        ASSERT_FALSE(shapes.empty());
        ASSERT_EQ(shapes[0], 7.0);
    }
}

TEST(Poisson, ThousandUsesGammaSplittingJustAboveUsesRejection) {
    PrivateStream p, copy;
    for (int i = 0; i < 50; ++i) {
        std::vector<double> shapes;
        ASSERT_EQ(random::poisson(p.s, 1000.0), ref_poisson_small(copy, 1000.0, &shapes));
        ASSERT_TRUE(p.same_state(copy));
        ASSERT_EQ(shapes[0], std::trunc(1000.0 - std::sqrt(1000.0)));
    }
    const double above = std::nextafter(1000.0, 2000.0);
    bool differs = false;
    for (int i = 0; i < 50; ++i) {
        PrivateStream small(p);
        const int32_t r = random::poisson(p.s, above);
        ASSERT_EQ(r, ref_poisson_large(copy, above));
        ASSERT_TRUE(p.same_state(copy));
        if (ref_poisson_small(small, above) != r || !small.same_state(p)) differs = true;
    }
    EXPECT_TRUE(differs);
    for (const double mu : {1500.0, 123456.7, 1e9, 2147483647.0}) {
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(random::poisson(p.s, mu), ref_poisson_large(copy, mu)) << mu;
            ASSERT_TRUE(p.same_state(copy));
        }
    }
}

TEST(Poisson, MeansOfTwoToTheThirtyOneAndMoreSaturateWithoutDrawing) {
    Watchdog dog(30);
    PrivateStream p;
    const PrivateStream before(p);
    for (const double mu : {2147483648.0, 2147483648.0 + 1e6, 1e12, 1e300, kInf}) {
        EXPECT_EQ(random::poisson(p.s, mu), INT32_MAX) << mu;
    }
    EXPECT_TRUE(p.same_state(before));
    // Just below: the rejection method, ending promptly, in range.
    const double below = std::nextafter(2147483648.0, 0.0);
    for (int i = 0; i < 200; ++i) {
        const int32_t r = random::poisson(p.s, below);
        ASSERT_GT(r, 2147483648.0 - 10.0 * 65536.0);
    }
}

// --- negative binomial -----------------------------------------------------

TEST(NegativeBinomial, GammaMixedPoisson) {
    PrivateStream p, copy;
    for (int i = 0; i < 100; ++i) {
        const double g = copy.s.gamma_core(2.5, 1.0);
        const double mu = g * 0.3 / (1.0 - 0.3);
        const int64_t want = mu > 1000.0 ? ref_poisson_large(copy, mu) : ref_poisson_small(copy, mu);
        ASSERT_EQ(random::negative_binomial(p.s, 2.5, 0.3), want);
        ASSERT_TRUE(p.same_state(copy));
    }
}

TEST(NegativeBinomial, HugeMeansSaturate) {
    Watchdog dog(30);
    PrivateStream p;
    const PrivateStream before(p);
    EXPECT_EQ(random::negative_binomial(p.s, kInf, 0.5), INT32_MAX);
    EXPECT_TRUE(p.same_state(before));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(random::negative_binomial(p.s, 1e300, 0.5), INT32_MAX);
        EXPECT_EQ(random::negative_binomial(p.s, 5.0, std::nextafter(1.0, 0.0)), INT32_MAX);
    }
}

// --- log-gamma -------------------------------------------------------------

TEST(LogGamma, ValuesTheSpecificationNames) {
    const double one = 1.0, near = 1.0 + 1e-13, five = 5.0, half = 0.5, below = 1.0 - 1e-13;
    EXPECT_EQ(zbqllg_(&one), 0.0);
    EXPECT_FALSE(std::signbit(zbqllg_(&one)));
    EXPECT_EQ(zbqllg_(&near), 0.0);
    EXPECT_EQ(zbqllg_(&below), 0.0);
    EXPECT_NEAR(zbqllg_(&five), kestrum::pmath::log(24.0), 1e-10);
    EXPECT_NEAR(zbqllg_(&half), kestrum::pmath::log(std::sqrt(kPi)), 1e-10);
}

TEST(LogGamma, AgreesWithTheLibraryFunctionOverTheRange) {
    for (double x = 1e-3; x < 1e7; x *= 1.07) {
        const double want = std::lgamma(x);
        ASSERT_NEAR(random::log_gamma(x), want, 1e-9 * std::max(1.0, std::fabs(want))) << x;
    }
}

TEST(LogGamma, DocumentedResultsOutsideTheDomain) {
    EXPECT_TRUE(std::isnan(random::log_gamma(0.0)));
    EXPECT_TRUE(std::isnan(random::log_gamma(-0.0)));
    EXPECT_TRUE(std::isnan(random::log_gamma(-0.5)));
    EXPECT_TRUE(std::isnan(random::log_gamma(-3.0)));
    EXPECT_TRUE(std::isnan(random::log_gamma(-kInf)));
    EXPECT_TRUE(std::isnan(random::log_gamma(kNan)));
    EXPECT_EQ(random::log_gamma(kInf), kInf);
    EXPECT_EQ(random::log_gamma(1e308), kInf);
    EXPECT_TRUE(std::isfinite(random::log_gamma(1e300)));
    EXPECT_TRUE(std::isfinite(random::log_gamma(1e-300)));
}

// --- messages ----------------------------------------------------------------

TEST(DiscreteMessages, EveryParameterErrorWritesItsLinesReturnsZeroAndDrawsNothing) {
    ProcessStateGuard guard;
    const std::string geo = "\n     ****ERROR**** Illegal parameter value in  ZBQLGEO\n\n";
    const std::string bin = "\n     ****ERROR**** Illegal parameter value in  ZBQLBIN\n\n";
    const std::string poi = "\n     ****ERROR**** Illegal parameter value in  ZBQLPOI\n\n";
    const std::string nb = "\n     ****ERROR**** Illegal parameter value in  ZBQLNB\n";
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        const std::string* text;
    };
    static const double m1 = -1.0, two = 2.0, nan = kNan, zero = 0.0, one = 1.0, half = 0.5,
                        ninf = -kInf, pinf = kInf, tiny_neg = -1e-300;
    static const int32_t n0 = 0, nneg = -5, n10 = 10;
    const Case cases[] = {
        {"geo -1", [] { return zbqlgeo_(&m1); }, &geo},
        {"geo 2", [] { return zbqlgeo_(&two); }, &geo},
        {"geo nan", [] { return zbqlgeo_(&nan); }, &geo},
        {"geo inf", [] { return zbqlgeo_(&pinf); }, &geo},
        {"geo -tiny", [] { return zbqlgeo_(&tiny_neg); }, &geo},
        {"bin n=0", [] { return zbqlbin_(&n0, &half); }, &bin},
        {"bin n<0", [] { return zbqlbin_(&nneg, &half); }, &bin},
        {"bin p<0", [] { return zbqlbin_(&n10, &m1); }, &bin},
        {"bin p>1", [] { return zbqlbin_(&n10, &two); }, &bin},
        {"bin nan", [] { return zbqlbin_(&n10, &nan); }, &bin},
        {"poi -1", [] { return zbqlpoi_(&m1); }, &poi},
        {"poi -inf", [] { return zbqlpoi_(&ninf); }, &poi},
        {"poi nan", [] { return zbqlpoi_(&nan); }, &poi},
        {"nb p=0", [] { return zbqlnb_(&two, &zero); }, &nb},
        {"nb p=1", [] { return zbqlnb_(&two, &one); }, &nb},
        {"nb r=0", [] { return zbqlnb_(&zero, &half); }, &nb},
        {"nb r<0", [] { return zbqlnb_(&m1, &half); }, &nb},
        {"nb r nan", [] { return zbqlnb_(&nan, &half); }, &nb},
        {"nb p nan", [] { return zbqlnb_(&two, &nan); }, &nb},
    };
    for (const Case& c : cases) {
        const PrivateStream before = ProcessStateGuard::snapshot();
        int32_t r = 1;
        const std::string out = capture_stdout([&] { r = c.call(); });
        EXPECT_EQ(out, *c.text) << c.name;
        EXPECT_EQ(r, 0) << c.name;
        EXPECT_TRUE(ProcessStateGuard::snapshot().same_state(before)) << c.name;
    }
}

}  // namespace
}  // namespace kestrum::test
