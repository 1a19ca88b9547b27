// Discrete variates: geometric, binomial, Poisson and negative
// binomial, and their exports.
//
// U is one uniform from the stream, trunc rounds toward zero.  A parameter
// check that fails writes the routine's message, draws nothing and returns
// 0; NaN counts as an illegal value everywhere.  No double is converted to
// an integer unless it is known to lie in range: counts of 2^31 - 1 or more
// saturate at INT32_MAX, and running sums are kept in 64 bits.
//
// Degenerate records: every loop that consumes uniforms stops at its bound
// (variates.h), reports the degenerate table through the stream and
// returns 0 (a routine that called another one compares Stream::faults
// before and after and gives up too); the exports then return 0.
#include <cmath>
#include <cstdint>

#include "common/pmath.h"
#include "random/messages.h"
#include "random/stream.h"
#include "random/variates.h"

namespace kestrum::random {

namespace {

constexpr double kPi = 3.141592653589793;

// trunc(q) + 1 for a quotient q that should be >= 0: INT32_MAX when that
// count has no int32 value (q >= 2^31 - 1, +inf) or when q is not >= 0
// (-inf: the quotient of p = -0.0).
int32_t saturated_count(double q) {
    if (!(q >= 0.0 && q < 2147483647.0)) return kCountLimit;
    return static_cast<int32_t>(std::trunc(q)) + 1;
}

// Geometric without the range check, 0 <= p <= 1 (p may be -0.0).
int32_t geometric_core(Stream& s, double p) {
    if (p > 0.9) {
        // 2. Count trials, one uniform each, until u <= p.
        int32_t c = 0;
        double u;
        do {
            if (c == kMaxGeometricTrials) {
                s.degenerate();
                return 0;
            }
            c = c + 1;
            u = s.uniform();
        } while (!(u <= p));
        return c;
    }
    // 3. One uniform and the logarithm formula.
    const double u = s.uniform();
    if (p > 1e-12) return saturated_count(pmath::log(u) / pmath::log(1.0 - p));
    return saturated_count(-pmath::log(u) / p);
}

}  // namespace

int32_t geometric(Stream& s, double p) {
    // 1. p < 0 or p > 1 (or NaN): message, 0.
    if (!(p >= 0.0 && p <= 1.0)) {
        write_geometric_parameter_message();
        return 0;
    }
    return geometric_core(s, p);
}

int32_t binomial(Stream& s, int32_t n, double p) {
    // 1. p < 0 or p > 1 (or NaN), or n <= 0: message, 0.
    if (!(p >= 0.0 && p <= 1.0) || n <= 0) {
        write_binomial_parameter_message();
        return 0;
    }
    // 2. Working copies; counts in 64 bits (k + 1 reaches 2^31 for n =
    //    INT32_MAX and p = 1).
    const uint32_t before = s.faults;
    int64_t acc = 0;
    int64_t nn = n;
    double pp = p;
    // 3. Splitting by order statistics: one beta variate settles the
    //    (k+1)-th smallest of N uniforms.
    for (int32_t splits = 0;; ++splits) {
        const int64_t k = static_cast<int64_t>(std::trunc(static_cast<double>(nn) * pp));
        if (k + 1 <= 10 || k + 1 >= nn - 10) break;
        if (splits == kMaxBinomialSplits) {
            s.degenerate();
            return 0;
        }
        const double v = beta(s, static_cast<double>(k + 1), static_cast<double>(nn - k));
        if (s.faults != before) return 0;
        if (pp > v) {
            acc = acc + (k + 1);
            nn = nn - (k + 1);
            pp = (pp - v) / (1.0 - v);
        } else {
            nn = k;
            pp = pp / v;
        }
    }
    // 4. Symmetry.
    const bool flip = pp > 0.5;
    const double q = flip ? 1.0 - pp : pp;
    // 5. Count the successes whose trial index lies within N by summing
    //    geometric waiting times (a 64-bit sum: a saturated time of
    //    INT32_MAX cannot wrap it).
    int64_t x = 0;
    if (q > 1e-8) {
        int64_t sum = 0;
        for (;;) {
            sum = sum + geometric_core(s, q);
            if (s.faults != before) return 0;
            if (sum <= nn) {
                if (x == kMaxBinomialCount) {
                    s.degenerate();
                    return 0;
                }
                x = x + 1;
            } else {
                break;
            }
        }
    }
    // 6. The result lies in 0..n.
    return static_cast<int32_t>(acc + (flip ? nn - x : x));
}

int32_t poisson(Stream& s, double mu) {
    // 1. mu < 0 (or NaN): message, 0.
    if (!(mu >= 0.0)) {
        write_poisson_parameter_message();
        return 0;
    }
    // Saturation (a mended fault): at a mean of 2^31 or more at least half
    // the distribution lies beyond int32, and the rejection method below,
    // which redraws every candidate v >= 2^31, accepts ever more rarely
    // (never, in practice, a few standard deviations further up; never at
    // all for +inf).  The answer is INT32_MAX, nothing drawn.
    if (mu >= kPoissonSaturation) return kCountLimit;
    if (mu > 1000.0) {
        // Rejection with a Lorentzian envelope.
        // 1.
        const double sq = std::sqrt(2.0 * mu);
        const double lnmu = pmath::log(mu);
        const double lg0 = log_gamma(mu + 1.0) - mu * lnmu;
        for (int32_t rejected = 0;; ++rejected) {
            if (rejected == kMaxRejectionsPoisson) {
                s.degenerate();
                return 0;
            }
            // 2. One uniform per candidate.
            const double y = pmath::tan(kPi * s.uniform());
            const double v = sq * y + mu;
            if (v <= -1.0 || v >= 2147483648.0) continue;
            const double em = std::trunc(v);  // -1 < v < 2^31: em in 0..2^31-1
            // 3. Grouping as written: (em ln mu - lg(em+1)) + lg0.
            const double t = (em * lnmu - log_gamma(em + 1.0)) + lg0;
            // 4. One uniform either way.
            bool accept;
            if (std::fabs(t) < 100.0) {
                accept = s.uniform() <= (0.9 * (1.0 + y * y)) * pmath::exp(t);
            } else {
                accept = pmath::log(s.uniform()) <= t + pmath::log(0.9 * (1.0 + y * y));
            }
            // 5.
            if (accept) return static_cast<int32_t>(em);
        }
    }
    // 3. Gamma splitting while the remaining mean exceeds 10.
    const uint32_t before = s.faults;
    int64_t acc = 0;
    double m = mu;
    for (int32_t splits = 0; m > 10.0; ++splits) {
        if (splits == kMaxPoissonSplits) {
            s.degenerate();
            return 0;
        }
        const int64_t k = static_cast<int64_t>(std::trunc(m - std::sqrt(m)));  // >= 6
        const double y = s.gamma_core(static_cast<double>(k), m);
        if (s.faults != before) return 0;
        if (y > 1.0) {
            const int32_t b = binomial(s, static_cast<int32_t>(k - 1), 1.0 / y);
            if (s.faults != before) return 0;
            return static_cast<int32_t>(acc + b);
        }
        acc = acc + k;
        m = m * (1.0 - y);
    }
    // 4. Product of uniforms for the remainder m <= 10.
    const double t = pmath::exp(-m);
    double prod = 1.0;
    int64_t j = -1;
    do {
        if (j + 1 == kMaxPoissonProduct) {
            s.degenerate();
            return 0;
        }
        j = j + 1;
        prod = prod * s.uniform();
    } while (!(prod <= t));
    return static_cast<int32_t>(acc + j);
}

int32_t negative_binomial(Stream& s, double r, double p) {
    // 1. r <= 0, p <= 0 or p >= 1 (or NaN): message, 0.
    if (!(r > 0.0) || !(p > 0.0 && p < 1.0)) {
        write_negative_binomial_parameter_message();
        return 0;
    }
    // 2.-3. A gamma(r) mean scaled by p/(1 - p), then Poisson; r = +inf
    //    gives an infinite mean and so INT32_MAX, with nothing drawn.
    const uint32_t before = s.faults;
    const double g = s.gamma_core(r, 1.0);
    if (s.faults != before) return 0;
    return poisson(s, (g * p) / (1.0 - p));
}

}  // namespace kestrum::random

using kestrum::random::process_stream;
using kestrum::random::Stream;

namespace {

// f(stream) through the process-wide stream, 0 when the call met a
// degenerate record.
template <class F>
int32_t checked(F f) {
    Stream& s = process_stream();
    const uint32_t before = s.faults;
    const int32_t x = f(s);
    s.flush_report();
    return s.faults == before ? x : 0;
}

}  // namespace

extern "C" {

int32_t zbqlgeo_(const double* p) {
    return checked([&](Stream& s) { return kestrum::random::geometric(s, *p); });
}

int32_t zbqlbin_(const int32_t* n, const double* p) {
    return checked([&](Stream& s) { return kestrum::random::binomial(s, *n, *p); });
}

int32_t zbqlpoi_(const double* mu) {
    return checked([&](Stream& s) { return kestrum::random::poisson(s, *mu); });
}

int32_t zbqlnb_(const double* r, const double* p) {
    return checked([&](Stream& s) { return kestrum::random::negative_binomial(s, *r, *p); });
}

}  // extern "C"
