// Rank-normalised split R-hat and quantiles of pooled draws.
#include "analysis/rhat.h"

#include "common/pmath.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrum::analysis {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The polynomial a[0] + a[1] x + ... + a[7] x^7 (Horner).
double poly8(const double* a, double x) {
    double r = a[7];
    for (int i = 6; i >= 0; --i) r = r * x + a[i];
    return r;
}

// Classic R-hat of M sequences of n values each, stored one after the
// other in x.
double classic_rhat(const double* x, std::size_t M, std::size_t n) {
    double mean_of_means = 0.0, w = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += x[m * n + i];
        mean_of_means += s / static_cast<double>(n);
    }
    mean_of_means /= static_cast<double>(M);
    double between = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += x[m * n + i];
        const double mean = s / static_cast<double>(n);
        double ss = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double d = x[m * n + i] - mean;
            ss += d * d;
        }
        w += ss / static_cast<double>(n - 1);
        between += (mean - mean_of_means) * (mean - mean_of_means);
    }
    w /= static_cast<double>(M);
    const double b_over_n = between / static_cast<double>(M - 1);
    if (!(w > 0.0)) return kNaN;
    const double nn = static_cast<double>(n);
    return std::sqrt(((nn - 1.0) / nn * w + b_over_n) / w);
}

// Replaces the S values of x (in place) by their normal scores
// Phi^-1((r - 3/8)/(S + 1/4)), r the rank with ties averaged.
void normal_scores(std::vector<double>& x, std::size_t S, RhatScratch& s) {
    s.order.resize(S);
    for (std::size_t i = 0; i < S; ++i) s.order[i] = {x[i], i};
    std::sort(s.order.begin(), s.order.begin() + static_cast<std::ptrdiff_t>(S));
    const double denom = static_cast<double>(S) + 0.25;
    for (std::size_t i = 0; i < S;) {
        std::size_t j = i + 1;
        while (j < S && s.order[j].first == s.order[i].first) ++j;
        // Ranks i+1 .. j share their mean.
        const double rank = 0.5 * (static_cast<double>(i + 1) + static_cast<double>(j));
        const double z = normal_quantile((rank - 0.375) / denom);
        for (std::size_t k = i; k < j; ++k) x[s.order[k].second] = z;
        i = j;
    }
}

}  // namespace

double normal_quantile(double p) {
    if (std::isnan(p) || p < 0.0 || p > 1.0) return kNaN;
    if (p == 0.0) return -std::numeric_limits<double>::infinity();
    if (p == 1.0) return std::numeric_limits<double>::infinity();
    static const double a[8] = {3.3871328727963666080e0, 1.3314166789178437745e2,
                                1.9715909503065514427e3, 1.3731693765509461125e4,
                                4.5921953931549871457e4, 6.7265770927008700853e4,
                                3.3430575583588128105e4, 2.5090809287301226727e3};
    static const double b[8] = {1.0,
                                4.2313330701600911252e1, 6.8718700749205790830e2,
                                5.3941960214247511077e3, 2.1213794301586595867e4,
                                3.9307895800092710610e4, 2.8729085735721942674e4,
                                5.2264952788528545610e3};
    static const double c[8] = {1.42343711074968357734e0, 4.63033784615654529590e0,
                                5.76949722146069140550e0, 3.64784832476320460504e0,
                                1.27045825245236838258e0, 2.41780725177450611770e-1,
                                2.27238449892691845833e-2, 7.74545014278341407640e-4};
    static const double d[8] = {1.0,
                                2.05319162663775882187e0, 1.67638483018380384940e0,
                                6.89767334985100004550e-1, 1.48103976427480074590e-1,
                                1.51986665636164571966e-2, 5.47593808499534494600e-4,
                                1.05075007164441684324e-9};
    static const double e[8] = {6.65790464350110377720e0, 5.46378491116411436990e0,
                                1.78482653991729133580e0, 2.96560571828504891230e-1,
                                2.65321895265761230930e-2, 1.24266094738807843860e-3,
                                2.71155556874348757815e-5, 2.01033439929228813265e-7};
    static const double f[8] = {1.0,
                                5.99832206555887937690e-1, 1.36929880922735805310e-1,
                                1.48753612908506148525e-2, 7.86869131145613259100e-4,
                                1.84631831751005468180e-5, 1.42151175831644588870e-7,
                                2.04426310338993978564e-15};
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q * poly8(a, r) / poly8(b, r);
    }
    double r = q < 0.0 ? p : 1.0 - p;
    r = std::sqrt(-pmath::log(r));  // the portable log: the same bits on every build
    double x;
    if (r <= 5.0) {
        r -= 1.6;
        x = poly8(c, r) / poly8(d, r);
    } else {
        r -= 5.0;
        x = poly8(e, r) / poly8(f, r);
    }
    return q < 0.0 ? -x : x;
}

double rank_normalised_split_rhat(const float* draws, std::size_t per_chain, std::size_t chains,
                                  RhatScratch& s) {
    const std::size_t n = per_chain / 2;
    if (n < 2 || chains == 0) return kNaN;
    const std::size_t M = 2 * chains, S = M * n;
    s.z.resize(S);
    // Sequence 2c is chain c's first n draws, 2c+1 its last n.
    for (std::size_t c = 0; c < chains; ++c) {
        const float* x = draws + c * per_chain;
        for (std::size_t i = 0; i < n; ++i) {
            s.z[(2 * c) * n + i] = x[i];
            s.z[(2 * c + 1) * n + i] = x[per_chain - n + i];
        }
    }
    for (std::size_t i = 0; i < S; ++i)
        if (std::isnan(s.z[i])) return kNaN;

    // The median of all draws, for the folded draws.
    s.folded.assign(s.z.begin(), s.z.begin() + static_cast<std::ptrdiff_t>(S));
    const std::size_t mid = S / 2;
    std::nth_element(s.folded.begin(), s.folded.begin() + static_cast<std::ptrdiff_t>(mid),
                     s.folded.end());
    double median = s.folded[mid];
    if (S % 2 == 0)
        median = 0.5 * (median + *std::max_element(s.folded.begin(),
                                                   s.folded.begin() + static_cast<std::ptrdiff_t>(mid)));
    for (std::size_t i = 0; i < S; ++i) s.folded[i] = std::fabs(s.z[i] - median);

    normal_scores(s.z, S, s);
    normal_scores(s.folded, S, s);
    const double bulk = classic_rhat(s.z.data(), M, n);
    const double tail = classic_rhat(s.folded.data(), M, n);
    if (std::isnan(bulk) || std::isnan(tail)) return kNaN;
    return std::max(bulk, tail);
}

double quantile(float* v, std::size_t n, double q) {
    if (n == 0) return kNaN;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(v[i])) return kNaN;
    const double pos = q * static_cast<double>(n - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const std::size_t hi = lo + 1 < n ? lo + 1 : lo;
    std::nth_element(v, v + lo, v + n);
    const double a = v[lo];
    if (hi == lo) return a;
    const double b = *std::min_element(v + lo + 1, v + n);
    return a + (pos - static_cast<double>(lo)) * (b - a);
}

}  // namespace kestrum::analysis
