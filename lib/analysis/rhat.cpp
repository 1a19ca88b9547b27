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
    return split_diagnostics(draws, per_chain, chains, s).rhat;
}

SplitDiagnostics split_diagnostics(const float* draws, std::size_t per_chain, std::size_t chains,
                                   RhatScratch& s) {
    SplitDiagnostics out{kNaN, kNaN, kNaN};
    const std::size_t n = per_chain / 2;
    if (n < 2 || chains == 0) return out;
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
        if (std::isnan(s.z[i])) return out;

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
    if (std::isnan(bulk) || std::isnan(tail)) return out;
    out.rhat = std::max(bulk, tail);
    out.ess = effective_sample_size(s.z.data(), n, M, s.means);
    // The bulk and the tail tests: the smaller tail probability.
    double nu_b = kNaN, nu_t = kNaN;
    const double xb = mixing_statistic(s.z.data(), n, M, s.means, &nu_b);
    const double xt = mixing_statistic(s.folded.data(), n, M, s.means, &nu_t);
    const double k = static_cast<double>(M - 1);
    const double pb = f_upper(xb / k, k, nu_b), pt = f_upper(xt / k, k, nu_t);
    out.mixing = std::isnan(pb) || std::isnan(pt) ? kNaN : std::min(pb, pt);
    return out;
}

namespace {

// Sequence means of M sequences of n values into means; false when a
// value is not finite.
bool sequence_means(const double* x, std::size_t n, std::size_t M, std::vector<double>& means) {
    means.resize(M);
    for (std::size_t m = 0; m < M; ++m) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) sum += x[m * n + i];
        means[m] = sum / static_cast<double>(n);
        if (!std::isfinite(means[m])) return false;
    }
    return true;
}

// The mean over sequences of their autocovariance at lag t about their own
// means (divisor n).
double mean_autocovariance(const double* x, std::size_t n, std::size_t M, const std::vector<double>& means,
                           std::size_t t) {
    double total = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        const double* v = x + m * n;
        const double mu = means[m];
        double sum = 0.0;
        for (std::size_t i = 0; i + t < n; ++i) sum += (v[i] - mu) * (v[i + t] - mu);
        total += sum / static_cast<double>(n);
    }
    return total / static_cast<double>(M);
}

// Geyer's initial monotone sequence estimate of the integrated
// autocorrelation time -1 + 2 sum_k P_k, P_k = rho(2k) + rho(2k+1), the
// sums added while positive and never larger than the one before; rho(t)
// is asked for t = 1, 2, ... only as far as needed (rho(0) = 1).  The lags
// stop 3 short of n, where too few pairs are left to estimate them.
template <class Rho>
double initial_monotone_tau(Rho rho, std::size_t n, std::size_t* last_lag = nullptr) {
    double sum = 0.0, previous = std::numeric_limits<double>::infinity();
    std::size_t last = 0;
    for (std::size_t t = 0; t + 1 + 3 < n; t += 2) {
        double pair = (t == 0 ? 1.0 : rho(t)) + rho(t + 1);
        if (!(pair > 0.0)) break;
        pair = std::min(pair, previous);
        previous = pair;
        sum += pair;
        last = t + 1;
    }
    if (last_lag != nullptr) *last_lag = last;
    return -1.0 + 2.0 * sum;
}

}  // namespace

double effective_sample_size(const double* x, std::size_t n, std::size_t M, std::vector<double>& means) {
    if (n < 4 || M == 0 || !sequence_means(x, n, M, means)) return kNaN;
    const double nn = static_cast<double>(n), total = nn * static_cast<double>(M);
    const double acov0 = mean_autocovariance(x, n, M, means, 0);
    const double w = acov0 * nn / (nn - 1.0);
    double b_over_n = 0.0;
    if (M > 1) {
        double grand = 0.0;
        for (double m : means) grand += m;
        grand /= static_cast<double>(M);
        for (double m : means) b_over_n += (m - grand) * (m - grand);
        b_over_n /= static_cast<double>(M - 1);
    }
    const double var_plus = (nn - 1.0) / nn * w + b_over_n;
    if (!(w > 0.0) || !(var_plus > 0.0)) return kNaN;
    const double tau = initial_monotone_tau(
        [&](std::size_t t) { return 1.0 - (w - mean_autocovariance(x, n, M, means, t)) / var_plus; }, n);
    const double floor_tau = 1.0 / std::log10(total);
    return total / std::max(tau, floor_tau);
}

double mixing_statistic(const double* x, std::size_t n, std::size_t M, std::vector<double>& means,
                        double* df) {
    if (df != nullptr) *df = kNaN;
    if (n < 4 || M < 2 || !sequence_means(x, n, M, means)) return kNaN;
    const double nn = static_cast<double>(n), total = nn * static_cast<double>(M);
    const double acov0 = mean_autocovariance(x, n, M, means, 0);
    if (!(acov0 > 0.0)) return kNaN;
    const double w = acov0 * nn / (nn - 1.0);
    double grand = 0.0, b_over_n = 0.0;
    for (double m : means) grand += m;
    grand /= static_cast<double>(M);
    for (double m : means) b_over_n += (m - grand) * (m - grand);
    b_over_n /= static_cast<double>(M - 1);
    std::size_t last = 0;
    const double tau = std::max(
        1.0 / std::log10(total),
        initial_monotone_tau([&](std::size_t t) { return mean_autocovariance(x, n, M, means, t) / acov0; }, n,
                             &last));
    if (df != nullptr) *df = std::max(1.0, std::floor(total / static_cast<double>(2 * last + 1)));
    return static_cast<double>(M - 1) * b_over_n / (w * tau / nn);
}

namespace {

// log Gamma(k/2) for a whole k >= 1, from Gamma(1) = 1, Gamma(1/2) =
// sqrt(pi) and Gamma(a + 1) = a Gamma(a).
double log_gamma_half(double k) {
    double a = std::fmod(k, 2.0) == 0.0 ? 1.0 : 0.5;
    double r = a == 1.0 ? 0.0 : 0.5 * pmath::log(3.141592653589793);
    for (; a < 0.5 * k; a += 1.0) r += pmath::log(a);
    return r;
}

// The continued fraction of the incomplete beta function (modified Lentz).
double beta_fraction(double a, double b, double x) {
    const double tiny = 1e-300;
    double c = 1.0, d = 1.0 - (a + b) * x / (a + 1.0);
    if (std::fabs(d) < tiny) d = tiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m < 10000; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((a - 1.0 + m2) * (a + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (a + b + m) * x / ((a + m2) * (a + 1.0 + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < 1e-15) break;
    }
    return h;
}

// The regularised incomplete beta function I_x(k1/2, k2/2), whole k1, k2.
double incomplete_beta_half(double x, double k1, double k2) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    const double a = 0.5 * k1, b = 0.5 * k2;
    const double front = pmath::exp(log_gamma_half(k1 + k2) - log_gamma_half(k1) - log_gamma_half(k2) +
                                    a * pmath::log(x) + b * pmath::log(1.0 - x));
    if (x < (a + 1.0) / (a + b + 2.0)) return front * beta_fraction(a, b, x) / a;
    return 1.0 - front * beta_fraction(b, a, 1.0 - x) / b;
}

}  // namespace

double f_upper(double f, double d1, double d2) {
    if (std::isnan(f) || !(d1 >= 1.0) || !(d2 >= 1.0)) return kNaN;
    if (f <= 0.0) return 1.0;
    if (f == std::numeric_limits<double>::infinity()) return 0.0;
    d1 = std::round(d1);
    d2 = std::round(d2);
    return incomplete_beta_half(d2 / (d2 + d1 * f), d2, d1);
}

double rhat_flag_level(std::size_t rows, std::size_t contrasts) {
    if (rows == 0 || contrasts == 0) return kNaN;
    return kRhatFlagLevel / (2.0 * static_cast<double>(contrasts) * static_cast<double>(rows));
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
