// Group variances moderated across rows and within each row.
#include "analysis/moderate.h"

#include <cmath>
#include <limits>

#include "common/pmath.h"

namespace kestrum::analysis {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool usable(double x) { return std::isfinite(x) && x > 0.0; }

// An unbiased estimate of log sigma^2 from a variance s2 on w degrees of
// freedom: E[log s2] = log sigma^2 + digamma(w / 2) - log(w / 2).
double log_variance(double s2, double w) {
    return pmath::log(s2) - digamma(0.5 * w) + pmath::log(0.5 * w);
}

// The strength (degrees of freedom) whose log-variance scatter is the
// excess scatter `excess`: 2 trigamma^-1(excess), infinite for none.
double strength(double excess) { return excess > 0.0 ? 2.0 * trigamma_inverse(excess) : kInf; }

// The row's pooled variance and its degrees of freedom over its groups of
// 2 values or more; false when a variance is not finite and > 0.
bool pooled(const double* s2, std::int32_t J, const std::int32_t* nobs, double& sp, double& df) {
    double ss = 0.0;
    df = 0.0;
    for (std::int32_t j = 0; j < J; ++j) {
        if (nobs[j] < 2) continue;
        if (!usable(s2[j])) return false;
        const double w = static_cast<double>(nobs[j] - 1);
        ss += w * s2[j];
        df += w;
    }
    if (!(df > 0.0)) return false;
    sp = ss / df;
    return usable(sp);
}

// v_row of a row of pooled variance sp on df degrees of freedom.
double row_variance(double sp, double df, const VariancePrior& p) {
    if (std::isinf(p.d0)) return p.s0;
    return (p.d0 * p.s0 + df * sp) / (p.d0 + df);
}

}  // namespace

double trigamma(double x) {
    double r = 0.0;
    while (x < 10.0) {
        r += 1.0 / (x * x);
        x += 1.0;
    }
    const double x2 = 1.0 / (x * x);
    return r + 1.0 / x + x2 / 2.0 + x2 / x * (1.0 / 6.0 - x2 * (1.0 / 30.0 - x2 * (1.0 / 42.0 - x2 / 30.0)));
}

double digamma(double x) {
    double r = 0.0;
    while (x < 10.0) {
        r -= 1.0 / x;
        x += 1.0;
    }
    const double x2 = 1.0 / (x * x);
    return r + pmath::log(x) - 0.5 / x -
           x2 * (1.0 / 12.0 - x2 * (1.0 / 120.0 - x2 * (1.0 / 252.0 - x2 * (1.0 / 240.0 - x2 / 132.0))));
}

double trigamma_inverse(double x) {
    if (!(x > 0.0)) return kInf;
    if (std::isinf(x)) return 0.0;
    // trigamma falls from +inf to 0 on (0, inf), close to 1/y + 1/(2 y^2)
    // at large y and 1/y^2 at small: the root lies near the smaller of 1/x
    // and 1/sqrt(x); the bracket is widened until it holds the root.
    const double guess = std::fmin(1.0 / x, 1.0 / std::sqrt(x));
    double lo = guess / 4.0, hi = guess * 4.0;
    while (trigamma(lo) <= x) lo /= 4.0;
    while (trigamma(hi) > x) hi *= 4.0;
    for (int i = 0; i < 200 && hi > lo * (1.0 + 1e-12); ++i) {
        const double mid = std::sqrt(lo * hi);
        (trigamma(mid) > x ? lo : hi) = mid;
    }
    return std::sqrt(lo * hi);
}

VariancePrior fit_variance_prior(const double* s2, std::size_t L, std::int32_t J, const std::int32_t* nobs) {
    VariancePrior p;
    // Level 1: the rows' log pooled variances.  Level 2: each row's log
    // group variances about their row mean.  Sums by Welford's updates.
    double n1 = 0.0, mean1 = 0.0, m2 = 0.0, df = 0.0;
    double rows2 = 0.0, within = 0.0, sampling2 = 0.0;
    std::int32_t groups = 0;
    for (std::int32_t j = 0; j < J; ++j)
        if (nobs[j] >= 2) ++groups;
    for (std::int32_t j = 0; j < J; ++j)
        if (nobs[j] >= 2) sampling2 += trigamma(0.5 * (nobs[j] - 1)) / groups;
    for (std::size_t g = 0; g < L; ++g) {
        const double* row = s2 + g * static_cast<std::size_t>(J);
        double sp = 0.0;
        if (!pooled(row, J, nobs, sp, df)) continue;  // df: the same for every row
        const double e = log_variance(sp, df);
        n1 += 1.0;
        const double delta = e - mean1;
        mean1 += delta / n1;
        m2 += delta * (e - mean1);
        if (groups >= 2) {
            double sum = 0.0, sum2 = 0.0;
            for (std::int32_t j = 0; j < J; ++j) {
                if (nobs[j] < 2) continue;
                const double f = log_variance(row[j], static_cast<double>(nobs[j] - 1));
                sum += f;
                sum2 += f * f;
            }
            within += (sum2 - sum * sum / groups) / (groups - 1);
            rows2 += 1.0;
        }
    }
    if (n1 < 3.0) return p;
    p.d0 = strength(m2 / (n1 - 1.0) - trigamma(0.5 * df));
    p.s0 = std::isinf(p.d0) ? pmath::exp(mean1)
                            : pmath::exp(mean1 + digamma(0.5 * p.d0) - pmath::log(0.5 * p.d0));
    if (rows2 >= 3.0) p.dw = strength(within / rows2 - sampling2);
    return p;
}

void moderate_variances(const double* s2, std::size_t L, std::int32_t J, const std::int32_t* nobs,
                        const VariancePrior& prior, double* v) {
    for (std::size_t g = 0; g < L; ++g) {
        const double* row = s2 + g * static_cast<std::size_t>(J);
        double* out = v + g * static_cast<std::size_t>(J);
        double sp = 0.0, df = 0.0;
        if (!pooled(row, J, nobs, sp, df)) {
            for (std::int32_t j = 0; j < J; ++j) out[j] = kNaN;
            continue;
        }
        const double vr = row_variance(sp, df, prior);
        for (std::int32_t j = 0; j < J; ++j) {
            const double w = static_cast<double>(nobs[j] - 1);
            if (nobs[j] < 2 || std::isinf(prior.dw))
                out[j] = vr;
            else
                out[j] = (prior.dw * vr + w * row[j]) / (prior.dw + w);
        }
    }
}

void group_variances(const double* ydata, std::size_t L, std::int32_t J, const std::int32_t* nobs,
                     std::vector<double>& s2) {
    const std::size_t Jz = static_cast<std::size_t>(J);
    s2.assign(L * Jz, kNaN);
    std::size_t first = 0;  // the group's first column
    for (std::size_t j = 0; j < Jz; ++j) {
        const auto n = static_cast<std::size_t>(nobs[j] > 0 ? nobs[j] : 0);
        if (n >= 2)
            for (std::size_t g = 0; g < L; ++g) {
                double sum = 0.0;
                for (std::size_t i = 0; i < n; ++i) sum += ydata[g + (first + i) * L];
                const double mean = sum / static_cast<double>(n);
                double ss = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    const double d = ydata[g + (first + i) * L] - mean;
                    ss += d * d;
                }
                s2[g * Jz + j] = ss / static_cast<double>(n - 1);
            }
        first += n;
    }
}

VariancePrior moderated_group_variances(const double* ydata, std::size_t L, std::int32_t J, const std::int32_t* nobs,
                               std::vector<double>& s2, std::vector<double>& v) {
    group_variances(ydata, L, J, nobs, s2);
    v.assign(s2.size(), kNaN);
    const VariancePrior prior = fit_variance_prior(s2.data(), L, J, nobs);
    moderate_variances(s2.data(), L, J, nobs, prior, v.data());
    return prior;
}

}  // namespace kestrum::analysis
