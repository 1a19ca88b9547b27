// Gamma variates.
//
// gamma_core(g, h) draws X ~ Gamma(g, 1) by one of three rejection methods
// chosen by the shape and returns X / h:
//   g < 1        Ahrens-Dieter GS: mixed power / exponential envelope;
//   1 <= g <= 10 generalised ratio of uniforms (exponent 1/2) applied to the
//                variable shifted by a (a = 0 below 2, a = 2 - g from 2);
//   g > 10       Cheng-Feast ratio method with the narrowed first uniform
//                (GKM3).
// Every attempt draws exactly two uniforms, first u1 then u2, whether or not
// it is accepted.  Expressions are written in the order that fixes their
// rounding.
//
// Guards (this library's choice for NaN and infinite shapes): before any
// method, a shape that is NaN or not > 0 returns
// NaN and a shape of +inf returns +inf / h, neither drawing a uniform.  A NaN
// shape passes every comparison of the methods in a way that never accepts,
// and some negative shapes (g = -e, for instance) can never be accepted by
// method A either, so without the guard those loops would not end.  Every
// finite shape > 0 ends: method A for the tiniest shapes accepts at once
// (x underflows to 0), method C for the largest (w rounds to 1).
//
// Degenerate records: each method gives up after its bound on consecutive
// rejections (variates.h), which a sane record never meets in practice;
// it then reports the degenerate table and returns NaN (zbqlgam_ returns
// 0.0).  The bounds cost one count per rejected attempt.
#include <cmath>
#include <limits>

#include "common/pmath.h"
#include "random/large_bound.h"
#include "random/messages.h"
#include "random/ratio_bound.h"
#include "random/stream.h"
#include "random/variates.h"

namespace kestrum::random {

namespace {
constexpr double kE = 2.718281828459045;
}

double Stream::gamma(double g, double h) {
    // "g <= 0 or h <= 0", with NaN counted as illegal too.
    if (!(g > 0.0) || !(h > 0.0)) {
        write_gamma_parameter_message();
        return 0.0;
    }
    const uint32_t before = faults;
    const double x = gamma_core(g, h);
    return faults == before ? x : 0.0;
}

// Set-up of the ratio-of-uniforms method for shape g (1 <= g <= 10), from
// the cache or worked out and stored:
//   a = 0 for g < 2, 2 - g from 2; c = 3a;
//   hmax = ((g - 1)/e)^((g - 1)/1.5)  (0^0 = 1 at g = 1);
//   m = (g + a)/2 + 1, d = sqrt(m^2 - c), t1 = m - d, t2 = m + d;
//   w1 = t1 - a (a rounding just below 0 is taken as t1 = a, w1 = 0);
//   p = (g - 1)/2/1.5; vlo = t1 w1^p e^(-w1/2/1.5), vhi likewise from t2,
//   span = vhi - vlo.
Stream::RatioSetup& Stream::ratio_setup(double g) {
    for (RatioSetup& e : ratio_cache) {
        if (e.g == g) return e;
    }
    RatioSetup& su = ratio_cache[ratio_next];
    ratio_next = (ratio_next + 1) % kRatioCache;
    const double a = (g < 2.0) ? 0.0 : 2.0 - g;
    const double c = 3.0 * a;
    const double hmax = pmath::pow((g - 1.0) / kE, (g - 1.0) / 1.5);
    const double m = (g + a) * 0.5 + 1.0;
    const double d = std::sqrt(m * m - c);
    double t1 = m - d;
    const double t2 = m + d;
    double w1 = t1 - a;
    if (-1e-12 < w1 && w1 < 0.0) {  // rounding below the shift
        t1 = a;
        w1 = 0.0;
    }
    const double p = ((g - 1.0) * 0.5) / 1.5;
    const double vlo = (t1 * pmath::pow(w1, p)) * pmath::exp((-w1 * 0.5) / 1.5);
    const double w2 = t2 - a;
    const double vhi = (t2 * pmath::pow(w2, p)) * pmath::exp((-w2 * 0.5) / 1.5);
    su.g = g;
    su.a = a;
    su.hmax = hmax;
    su.vlo = vlo;
    su.span = vhi - vlo;
    su.trials = 0;
    su.cells_ready = false;
    return su;
}

// Set-up of GKM3 for shape g > 10, from the cache or worked out and stored:
//   a1 = g - 1, b1 = (g - 1/(6g)) / a1, m1 = 2 / a1, d1 = m1 + 2,
//   s = 1 / sqrt(g).
const Stream::LargeSetup& Stream::large_setup(double g) {
    for (const LargeSetup& e : large_cache) {
        if (e.g == g) return e;
    }
    LargeSetup& su = large_cache[large_next];
    large_next = (large_next + 1) % kLargeCache;
    su.g = g;
    su.a1 = g - 1.0;
    su.b1 = (g - 1.0 / (6.0 * g)) / su.a1;
    su.m1 = 2.0 / su.a1;
    su.d1 = su.m1 + 2.0;
    su.s = 1.0 / std::sqrt(g);
    return su;
}

double Stream::refused() {
    degenerate();
    return std::numeric_limits<double>::quiet_NaN();
}

double Stream::gamma_draw(double g, double h) {
    if (!(g > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    if (g == std::numeric_limits<double>::infinity()) return g / h;
    double x;
    int32_t rejected = 0;
    if (g < 1.0) {
        // A. GS: with b = g + e, the envelope is x^(g-1) on (0, 1] and
        // e^-x beyond; u1 picks the part and the point, u2 decides.
        for (;;) {
            const double u1 = uniform();
            const double u2 = uniform();
            const double b = g + kE;
            if (u1 > kE / b) {
                x = -pmath::log((b * (1.0 - u1)) / (g * kE));
                if (u2 <= pmath::pow(x, g - 1.0)) break;
            } else {
                x = pmath::pow((b * u1) / kE, 1.0 / g);
                if (u2 <= pmath::exp(-x)) break;
            }
            if (++rejected == kMaxRejectionsGS) return refused();
        }
    } else if (g <= 10.0) {
        // B. Ratio of uniforms: accept (uu, v) when
        // uu <= f(v / uu^0.5 - a)^(1/1.5), f(z) = z^(g-1) e^-z.
        RatioSetup& su = ratio_setup(g);
        const double a = su.a, hmax = su.hmax, vlo = su.vlo, span = su.span;
        const double expo = (g - 1.0) / 1.5;
        RatioCells& cells = ratio_cells[&su - ratio_cache];
        if (!su.cells_ready && su.trials >= kCellsAfter) {
            cells.build(expo);
            su.cells_ready = true;
        }
        const bool use_cells = su.cells_ready;
        for (;;) {
            const double u1 = uniform();
            const double u2 = uniform();
            const double uu = hmax * u1;
            // pow(uu, 0.5) is sqrt(uu) for uu > 0: both are the rounding
            // of the same real number (pmath::pow takes exactly this path).
            const double root = uu > 0.0 ? std::sqrt(uu) : pmath::pow(uu, 0.5);
            const double y = (vlo + u2 * span) / root;
            if (y > a) {
                const double z = y - a;
                // exp(-z/1.5) * pow(z, expo) >= uu: first the cells' bounds
                // once the shape has been drawn often, then a short
                // evaluation with proven error bounds, computed in full
                // only when neither can tell (random/ratio_bound.h).
                const int d = use_cells ? cells.decide(z, uu) : 0;
                if (d > 0 || (d == 0 && ratio_accept(z, expo, uu))) {
                    x = z;
                    break;
                }
            }
            if (++rejected == kMaxRejectionsRatio) return refused();
        }
        if (!use_cells) su.trials += rejected + 1;
    } else {
        // C. GKM3.
        const LargeSetup& su = large_setup(g);
        const double a1 = su.a1, b1 = su.b1, m1 = su.m1, d1 = su.d1, s = su.s;
        for (;;) {
            const double u1 = uniform();
            const double u2 = uniform();
            const double v = u2 + (1.0 - 1.86 * u1) * s;
            if (v > 0.0 && v < 1.0) {
                const double w = (b1 * u2) / v;
                const double inv = 1.0 / w;
                // Accepted when the quick test passes or else when
                // (m1 * log(v) - log(w)) + w < 1, decided by bounds of the
                // logarithms and computed in full only when those cannot
                // tell (random/large_bound.h).  Both tests are worked out
                // before one branch decides: whether the quick test passes
                // is a coin toss, and a branch on it was mispredicted in a
                // large share of trials.
                const bool quick = (m1 * v + w) + inv <= d1;
                const int bound = large_bound(m1, v, w, inv);
                if (quick | (bound > 0) || (bound == 0 && large_exact(m1, v, w))) {
                    x = a1 * w;
                    break;
                }
            }
            if (++rejected == kMaxRejectionsGKM3) return refused();
        }
    }
    return x / h;
}

}  // namespace kestrum::random
