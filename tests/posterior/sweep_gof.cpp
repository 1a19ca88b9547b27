// Statistical checks of the row sweep: with the variances held fixed, the
// group means it draws follow the normal full conditional of the model,
// worked out here directly in terms of the means (prior precision of theta
// carried over to the means, plus the data precisions), independently of
// the reparametrised formulas inside the sweep.  Fixed seeds throughout;
// tolerances of several standard errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "posterior/sweep.h"
#include "random/stream.h"

namespace {

using namespace kestrum::posterior;
using kestrum::random::Record;
using kestrum::random::Stream;

// A private generator with a table filled from a fixed seed.
struct SeededStream {
    Record rec{};
    Stream stream{&rec};
    explicit SeededStream(std::uint64_t seed) {
        rec.base = 4294967291.0;
        rec.carry = 0.0;
        std::uint64_t x = seed;
        for (double& v : rec.xtab) {
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            v = static_cast<double>((x >> 32) % 4294967291ULL);
        }
    }
};

// Hands the sweep real normal variates, but gamma variates chosen so that
// every variance comes out (to rounding) at a fixed target: G = rate /
// target, with the rate formed from the state the sweep is about to read.
struct FixedVariances {
    Stream& s;
    int32_t n;
    const int32_t* nobs;
    const double* s2;
    const double* vrate;
    const double* ybar;
    const double* gmean;  // the incoming means, read when the gammas are drawn
    const double* target;
    // pooled sample, drawn as group n when pooled
    int32_t ntot = 0;
    double s20 = 0.0, prate = 0.0, ybar0 = 0.0, ptarget = 1.0;
    const double* pmean = nullptr;
    bool pooled = false;
    int count = 0;

    double gamma(double, double h) {
        const int per = n + (pooled ? 1 : 0);
        const int j = count++ % per;
        if (j == n) {
            const double rate0 = variance_rate(static_cast<double>(ntot - 1), s20, prate, ybar0,
                                               *pmean, static_cast<double>(ntot));
            return rate0 / ptarget / h;
        }
        const double rate = variance_rate(group_count_less_one(nobs[j]), s2[j], vrate[j], ybar[j],
                                          gmean[j], static_cast<double>(nobs[j]));
        return rate / target[j] / h;
    }
    double gamma_core(double g, double h) { return gamma(g, h); }
    double normal(double mu, double sigma) { return s.normal(mu, sigma); }
    double uniform() { return s.uniform(); }
};

// Inverse of a small symmetric positive-definite matrix by Gauss-Jordan
// elimination in long double (row-major here, n x n).
std::vector<long double> gauss_jordan_inverse(std::vector<long double> a, int n) {
    std::vector<long double> inv(n * n, 0.0L);
    for (int i = 0; i < n; ++i) inv[i * n + i] = 1.0L;
    for (int k = 0; k < n; ++k) {
        const long double p = a[k * n + k];
        for (int j = 0; j < n; ++j) {
            a[k * n + j] /= p;
            inv[k * n + j] /= p;
        }
        for (int i = 0; i < n; ++i) {
            if (i == k) continue;
            const long double f = a[i * n + k];
            for (int j = 0; j < n; ++j) {
                a[i * n + j] -= f * a[k * n + j];
                inv[i * n + j] -= f * inv[k * n + j];
            }
        }
    }
    return inv;
}

// Posterior of the group means mu given fixed variances: theta = B mu with
// theta_1 = mean of mu, theta_j = n (mu_j - theta_1); the prior precision
// of mu is B' D B (D the diagonal prior precision of theta), the data add
// diag(w); the mean is the covariance times w .* ybar.
void exact_posterior(int n, const int32_t* nobs, const double* sigma2, const double* ybar,
                     double mvar1, const double* effvar, std::vector<long double>& mean,
                     std::vector<long double>& cov) {
    std::vector<long double> bmat(n * n, 0.0L), d(n);
    for (int l = 0; l < n; ++l) bmat[0 * n + l] = 1.0L / n;
    for (int j = 1; j < n; ++j) {
        for (int l = 0; l < n; ++l) bmat[j * n + l] = (l == j ? n : 0) - 1.0L;
    }
    d[0] = 1.0L / mvar1;
    for (int j = 1; j < n; ++j) d[j] = 1.0L / effvar[j - 1];
    std::vector<long double> q(n * n, 0.0L), wy(n);
    for (int a = 0; a < n; ++a) {
        for (int c = 0; c < n; ++c) {
            long double s = 0.0L;
            for (int j = 0; j < n; ++j) s += bmat[j * n + a] * d[j] * bmat[j * n + c];
            q[a * n + c] = s;
        }
        const long double w = static_cast<long double>(nobs[a]) / sigma2[a];
        q[a * n + a] += w;
        wy[a] = w * ybar[a];
    }
    cov = gauss_jordan_inverse(q, n);
    mean.assign(n, 0.0L);
    for (int a = 0; a < n; ++a) {
        for (int c = 0; c < n; ++c) mean[a] += cov[a * n + c] * wy[c];
    }
}

// Sample mean and covariance of the draws against the exact ones: each mean
// within 6 standard errors, each covariance element within 6 standard errors
// of a sample covariance, both inflated by `inflate` for the dependence
// between successive states of a chain.
void expect_matches(const std::vector<std::vector<double>>& draws, int n,
                    const std::vector<long double>& mean, const std::vector<long double>& cov,
                    double inflate) {
    const double k = static_cast<double>(draws.size());
    std::vector<double> xbar(n, 0.0), c(n * n, 0.0);
    for (const auto& x : draws) {
        for (int a = 0; a < n; ++a) xbar[a] += x[a] / k;
    }
    for (const auto& x : draws) {
        for (int a = 0; a < n; ++a) {
            for (int b = 0; b < n; ++b) c[a * n + b] += (x[a] - xbar[a]) * (x[b] - xbar[b]) / (k - 1);
        }
    }
    for (int a = 0; a < n; ++a) {
        const double se = std::sqrt(static_cast<double>(cov[a * n + a]) / k * inflate);
        EXPECT_NEAR(xbar[a], static_cast<double>(mean[a]), 6.0 * se) << "mean " << a;
        for (int b = 0; b < n; ++b) {
            const double sab = static_cast<double>(cov[a * n + b]);
            const double saa = static_cast<double>(cov[a * n + a]);
            const double sbb = static_cast<double>(cov[b * n + b]);
            const double sec = std::sqrt((saa * sbb + sab * sab) / k * inflate);
            EXPECT_NEAR(c[a * n + b], sab, 6.0 * sec) << "cov " << a << "," << b;
        }
    }
}

TEST(SweepFit, ChainOfThreeGroupsSamplesTheConditionalOfTheMeans) {
    const int32_t n = 3;
    const int32_t nobs[3] = {4, 6, 3};
    const double vshape[3] = {2.0, 2.0, 2.0}, vrate[3] = {1.0, 1.5, 0.5};
    const double s2[3] = {1.2, 0.8, 2.0}, ybar[3] = {1.0, -0.5, 2.0};
    const double effvar[2] = {2.0, 0.5}, mvar[1] = {4.0};
    const double sigma2[3] = {1.5, 0.7, 3.0};
    std::vector<long double> mean, cov;
    exact_posterior(n, nobs, sigma2, ybar, mvar[0], effvar, mean, cov);

    SeededStream gen(20261208);
    double gmean[3] = {0.0, 0.0, 0.0}, gvar[3];
    FixedVariances src{gen.stream, n, nobs, s2, vrate, ybar, gmean, sigma2};
    std::vector<double> scratch(sweep_scratch_size(n));
    auto sweep = [&] {
        row_sweep(src, n, 0, nullptr, nobs, vshape, vrate, nullptr, nullptr, effvar, mvar, ybar,
                  s2, nullptr, nullptr, gmean, gvar, nullptr, nullptr, scratch.data());
    };
    for (int it = 0; it < 200; ++it) sweep();
    for (int j = 0; j < n; ++j) EXPECT_NEAR(gvar[j], sigma2[j], 1e-12 * sigma2[j]);
    // Successive states are dependent: keep every fifth and allow for what
    // correlation remains.
    std::vector<std::vector<double>> draws;
    for (int kept = 0; kept < 20000; ++kept) {
        for (int t = 0; t < 5; ++t) sweep();
        draws.push_back({gmean[0], gmean[1], gmean[2]});
    }
    expect_matches(draws, n, mean, cov, 3.0);
}

TEST(SweepFit, OneGroupAndPooledMeanFromTheSameStateEachTime) {
    const int32_t n = 1, nobs[1] = {5}, ntot = 9;
    const double vshape[1] = {2.0}, vrate[1] = {1.0}, s2[1] = {1.3}, ybar[1] = {0.7};
    const double mvar[2] = {3.0, 2.0}, sigma2[1] = {0.8};
    const double pshape = 2.0, prate = 1.0, ybar0 = 0.4, s20 = 1.6, psigma2 = 1.1;
    std::vector<long double> mean, cov;
    exact_posterior(n, nobs, sigma2, ybar, mvar[0], nullptr, mean, cov);
    // Pooled mean: normal with variance V = 1/(N/sigma0^2 + 1/mvar(2)) and
    // mean V N ybar0 / sigma0^2.
    const long double vpool = 1.0L / (ntot / static_cast<long double>(psigma2) + 1.0L / mvar[1]);
    const long double mpool = vpool * ntot * ybar0 / psigma2;

    SeededStream gen(77);
    double gmean[1], gvar[1], pmean, pvar;
    FixedVariances src{gen.stream, n, nobs, s2, vrate, ybar, gmean, sigma2};
    src.pooled = true;
    src.ntot = ntot;
    src.s20 = s20;
    src.prate = prate;
    src.ybar0 = ybar0;
    src.ptarget = psigma2;
    src.pmean = &pmean;
    std::vector<double> scratch(sweep_scratch_size(n));
    std::vector<std::vector<double>> draws;
    for (int rep = 0; rep < 40000; ++rep) {
        gmean[0] = -1.0;  // the same state every time
        pmean = 0.5;
        row_sweep(src, n, 1, &ntot, nobs, vshape, vrate, &pshape, &prate, nullptr, mvar, ybar, s2,
                  &ybar0, &s20, gmean, gvar, &pmean, &pvar, scratch.data());
        draws.push_back({gmean[0], pmean});
    }
    EXPECT_NEAR(pvar, psigma2, 1e-12);
    const std::vector<long double> mean2 = {mean[0], mpool};
    const std::vector<long double> cov2 = {cov[0], 0.0L, 0.0L, vpool};
    expect_matches(draws, 2, mean2, cov2, 1.0);
}

}  // namespace
