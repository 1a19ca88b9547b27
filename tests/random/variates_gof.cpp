// Goodness of fit of every variate routine against reference distribution
// functions from Boost.Math, over parameters that cross each method
// boundary.  Every stream is a private one seeded with a fixed seed, so the
// samples -- and the verdicts -- are the same on every run: nothing here can
// flake.  Continuous variates: the Kolmogorov-Smirnov statistic; discrete
// ones: Pearson's chi-square over cells of at least 20 expected counts.  A
// test fails when the p-value falls below 1e-5.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/math/distributions/beta.hpp>
#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/exponential.hpp>
#include <boost/math/distributions/gamma.hpp>
#include <boost/math/distributions/geometric.hpp>
#include <boost/math/distributions/negative_binomial.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/pareto.hpp>
#include <boost/math/distributions/poisson.hpp>
#include <boost/math/distributions/uniform.hpp>
#include <boost/math/distributions/weibull.hpp>
#include <cmath>
#include <functional>
#include <vector>

#include "random/seeding.h"
#include "random/variates.h"
#include "random_support.h"

namespace kestrum::test {
namespace {

namespace bm = boost::math;

constexpr int kSamples = 20000;
constexpr double kMinPValue = 1e-5;

PrivateStream seeded(int32_t seed) {
    PrivateStream p;
    random::seed_table(p.rec, seed);
    return p;
}

// P(sqrt(n) D > t) for the Kolmogorov distribution (asymptotic).
double kolmogorov_survival(double t) {
    if (t < 0.2) return 1.0;
    double sum = 0.0;
    for (int k = 1; k <= 100; ++k) {
        const double term = std::exp(-2.0 * k * k * t * t);
        sum += (k % 2 == 1 ? 2.0 : -2.0) * term;
        if (term < 1e-300) break;
    }
    return std::min(1.0, std::max(0.0, sum));
}

double ks_pvalue(std::vector<double> xs, const std::function<double(double)>& cdf) {
    std::sort(xs.begin(), xs.end());
    const double n = static_cast<double>(xs.size());
    double d = 0.0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const double f = cdf(xs[i]);
        d = std::max(d, std::max(f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f));
    }
    const double sn = std::sqrt(n);
    return kolmogorov_survival((sn + 0.12 + 0.11 / sn) * d);
}

template <class Dist>
double chi2_pvalue(std::vector<int64_t> xs, const Dist& dist) {
    std::sort(xs.begin(), xs.end());
    const double n = static_cast<double>(xs.size());
    const auto lo = static_cast<int64_t>(std::floor(bm::quantile(dist, 1e-12)));
    const auto hi = static_cast<int64_t>(std::ceil(bm::quantile(bm::complement(dist, 1e-12))));
    std::vector<int64_t> bounds;  // cells (-inf, b0], (b0, b1], ..., (b_last, inf)
    double prev = 0.0;
    // Wide supports are walked in strides (some 2000 distribution-function
    // evaluations at most); a cell then spans whole strides.
    const int64_t stride = std::max<int64_t>(1, (hi - lo) / 2000);
    for (int64_t k = std::max<int64_t>(lo, 0); k <= hi; k += stride) {
        const double c = bm::cdf(dist, static_cast<double>(k));
        if (n * (c - prev) >= 20.0 && n * (1.0 - c) >= 20.0) {
            bounds.push_back(k);
            prev = c;
        }
    }
    double stat = 0.0;
    double prev_cdf = 0.0;
    auto prev_it = xs.begin();
    for (std::size_t j = 0; j <= bounds.size(); ++j) {
        double c;
        std::vector<int64_t>::iterator it;
        if (j < bounds.size()) {
            c = bm::cdf(dist, static_cast<double>(bounds[j]));
            it = std::upper_bound(xs.begin(), xs.end(), bounds[j]);
        } else {
            c = 1.0;
            it = xs.end();
        }
        const double expected = n * (c - prev_cdf);
        const double observed = static_cast<double>(it - prev_it);
        stat += (observed - expected) * (observed - expected) / expected;
        prev_cdf = c;
        prev_it = it;
    }
    if (bounds.empty()) return 1.0;  // one cell: nothing to test
    return bm::cdf(bm::complement(bm::chi_squared(static_cast<double>(bounds.size())), stat));
}

std::vector<double> draw(int32_t seed, const std::function<double(Stream&)>& f) {
    PrivateStream p = seeded(seed);
    std::vector<double> xs(kSamples);
    for (double& x : xs) x = f(p.s);
    return xs;
}

std::vector<int64_t> draw_int(int32_t seed, const std::function<int64_t(Stream&)>& f) {
    PrivateStream p = seeded(seed);
    std::vector<int64_t> xs(kSamples);
    for (int64_t& x : xs) x = f(p.s);
    return xs;
}

TEST(GoodnessOfFit, Uniform) {
    EXPECT_GT(ks_pvalue(draw(101, [](Stream& s) { return s.uniform(); }),
                        [](double x) { return bm::cdf(bm::uniform_distribution<>(0.0, 1.0), x); }),
              kMinPValue);
    EXPECT_GT(ks_pvalue(draw(102, [](Stream& s) { return random::uniform_between(s, 5.0, -3.0); }),
                        [](double x) { return bm::cdf(bm::uniform_distribution<>(-3.0, 5.0), x); }),
              kMinPValue);
}

TEST(GoodnessOfFit, Normal) {
    // Cosine and sine deviates alike (every call is kept).
    const bm::normal_distribution<> nd(3.0, 0.5);
    EXPECT_GT(ks_pvalue(draw(201, [](Stream& s) { return s.normal(3.0, 0.5); }),
                        [&](double x) { return bm::cdf(nd, x); }),
              kMinPValue);
}

TEST(GoodnessOfFit, Exponential) {
    for (const double mu : {1.0, 0.25, 40.0}) {
        const bm::exponential_distribution<> ed(1.0 / mu);
        EXPECT_GT(ks_pvalue(draw(301, [&](Stream& s) { return random::exponential(s, mu); }),
                            [&](double x) { return bm::cdf(ed, x); }),
                  kMinPValue)
            << mu;
    }
}

TEST(GoodnessOfFit, GammaAcrossItsThreeMethods) {
    const double shapes[] = {0.05, 0.5, std::nextafter(1.0, 0.0), 1.0, 1.5, std::nextafter(2.0, 0.0),
                             2.0, 3.0, 7.5, 10.0, std::nextafter(10.0, 20.0), 10.5, 25.0, 1000.0, 1e6};
    int32_t seed = 400;
    for (const double g : shapes) {
        const double h = 2.0;
        const bm::gamma_distribution<> gd(g, 1.0 / h);
        EXPECT_GT(ks_pvalue(draw(++seed, [&](Stream& s) { return s.gamma_core(g, h); }),
                            [&](double x) { return bm::cdf(gd, x); }),
                  kMinPValue)
            << g;
    }
}

TEST(GoodnessOfFit, BetaOnBothSidesOfTheJohnkLimit) {
    const std::pair<double, double> cases[] = {{0.5, 0.5}, {0.2, 0.85}, {0.899, 0.899}, {0.5, 0.9},
                                               {0.9, 0.5}, {0.9, 0.9},  {2.0, 3.0},     {50.0, 0.3},
                                               {1000.0, 1000.0}};
    int32_t seed = 500;
    for (const auto& c : cases) {
        const bm::beta_distribution<> bd(c.first, c.second);
        EXPECT_GT(ks_pvalue(draw(++seed, [&](Stream& s) { return random::beta(s, c.first, c.second); }),
                            [&](double x) { return bm::cdf(bd, x); }),
                  kMinPValue)
            << c.first << " " << c.second;
    }
}

TEST(GoodnessOfFit, Weibull) {
    const std::pair<double, double> cases[] = {{0.5, 2.0}, {1.0, 1.0}, {3.5, 0.7}};
    int32_t seed = 600;
    for (const auto& c : cases) {
        const bm::weibull_distribution<> wd(c.first, c.second);
        EXPECT_GT(ks_pvalue(draw(++seed, [&](Stream& s) { return random::weibull(s, c.first, c.second); }),
                            [&](double x) { return bm::cdf(wd, x); }),
                  kMinPValue)
            << c.first << " " << c.second;
    }
}

TEST(GoodnessOfFit, ParetoOfTheSecondKind) {
    // X + b is Pareto of the first kind with scale b and shape a.
    const std::pair<double, double> cases[] = {{0.5, 1.0}, {2.5, 3.0}, {10.0, 0.1}};
    int32_t seed = 700;
    for (const auto& c : cases) {
        const bm::pareto_distribution<> pd(c.second, c.first);
        EXPECT_GT(ks_pvalue(draw(++seed, [&](Stream& s) { return random::pareto(s, c.first, c.second); }),
                            [&](double x) { return bm::cdf(pd, x + c.second); }),
                  kMinPValue)
            << c.first << " " << c.second;
    }
}

TEST(GoodnessOfFit, GeometricOnBothSidesOfPointNine) {
    // Boost counts failures before the first success: our trials minus 1.
    const double ps[] = {0.99, 0.95, std::nextafter(0.9, 1.0), 0.9, 0.5, 0.1, 1e-3, 1e-6};
    int32_t seed = 800;
    for (const double p : ps) {
        const auto xs = draw_int(++seed, [&](Stream& s) { return random::geometric(s, p) - int64_t{1}; });
        EXPECT_GT(chi2_pvalue(xs, bm::geometric_distribution<>(p)), kMinPValue) << p;
    }
}

TEST(GoodnessOfFit, BinomialAcrossSplittingAndFlipping) {
    const std::pair<int32_t, double> cases[] = {
        {1, 0.5},      {10, 0.3},     {20, 0.5},     {21, 0.5},      {22, 0.5},
        {50, 0.7},     {100, 0.5},    {100, 0.05},   {100, 0.95},    {1000, 0.999},
        {1000, 0.02},  {100000, 0.3}, {2000000000, 0.25}, {1000000, 1e-6}};
    int32_t seed = 900;
    for (const auto& c : cases) {
        const auto xs = draw_int(++seed, [&](Stream& s) { return random::binomial(s, c.first, c.second); });
        EXPECT_GT(chi2_pvalue(xs, bm::binomial_distribution<>(c.first, c.second)), kMinPValue)
            << c.first << " " << c.second;
    }
}

TEST(GoodnessOfFit, PoissonAcrossSplittingAndRejection) {
    const double mus[] = {0.3,    5.0,    10.0,   10.5,  11.0, 50.0, 999.9, 1000.0,
                          std::nextafter(1000.0, 2000.0), 1500.0, 1e5, 1e9};
    int32_t seed = 1000;
    for (const double mu : mus) {
        const auto xs = draw_int(++seed, [&](Stream& s) { return random::poisson(s, mu); });
        EXPECT_GT(chi2_pvalue(xs, bm::poisson_distribution<>(mu)), kMinPValue) << mu;
    }
}

TEST(GoodnessOfFit, NegativeBinomial) {
    // Poisson with a gamma(r) mean scaled by p/(1-p): Boost's negative
    // binomial with r successes of probability 1 - p.
    const std::pair<double, double> cases[] = {{0.5, 0.3}, {3.0, 0.5}, {10.0, 0.99}, {100.0, 0.95}};
    int32_t seed = 1100;
    for (const auto& c : cases) {
        const auto xs =
            draw_int(++seed, [&](Stream& s) { return random::negative_binomial(s, c.first, c.second); });
        EXPECT_GT(chi2_pvalue(xs, bm::negative_binomial_distribution<>(c.first, 1.0 - c.second)),
                  kMinPValue)
            << c.first << " " << c.second;
    }
}

}  // namespace
}  // namespace kestrum::test

namespace kestrum::test {
namespace {

// The two measures do tell distributions apart at these sample sizes: a
// slightly wrong reference is rejected.
TEST(GoodnessOfFit, TheMeasuresRejectAWrongReference) {
    const bm::gamma_distribution<> wrong_gamma(2.1, 1.0);
    EXPECT_LT(ks_pvalue(draw(1201, [](Stream& s) { return s.gamma_core(2.0, 1.0); }),
                        [&](double x) { return bm::cdf(wrong_gamma, x); }),
              kMinPValue);
    const auto xs = draw_int(1202, [](Stream& s) { return random::poisson(s, 1000.0); });
    EXPECT_LT(chi2_pvalue(xs, bm::poisson_distribution<>(1010.0)), kMinPValue);
    const auto ys = draw_int(1203, [](Stream& s) { return random::binomial(s, 100, 0.5); });
    EXPECT_LT(chi2_pvalue(ys, bm::binomial_distribution<>(100, 0.52)), kMinPValue);
}

}  // namespace
}  // namespace kestrum::test
