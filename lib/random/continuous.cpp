// Continuous variates: exponential, beta, Weibull, Pareto, and the
// exports of all of them with the normal and gamma routines (whose cores are
// Stream members, normal.cpp and gamma.cpp).
//
// U is one uniform from the stream; uniforms are drawn in the order written.
// A parameter check that fails writes the routine's message, draws nothing
// and returns 0.0; NaN counts as an illegal value everywhere (each check is
// coded as "not > 0" / "not >= 0").  The exports also return 0.0 when the
// call met a degenerate generator record (Stream::faults moved); the
// cores then give NaN where a rejection loop gave up (variates.h).
#include <cmath>
#include <limits>

#include "common/pmath.h"
#include "random/messages.h"
#include "random/stream.h"
#include "random/variates.h"

namespace kestrum::random {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}

double exponential(Stream& s, double mu) {
    // 1. mu < 0 (or NaN): message, 0.0.
    if (!(mu >= 0.0)) {
        write_exponential_parameter_message();
        return 0.0;
    }
    // 2. -mu*ln U: one uniform, so mu = 0 gives 0 after one draw and
    //    mu = +inf gives +inf.
    return -mu * pmath::log(s.uniform());
}

double beta(Stream& s, double a, double b) {
    // 1. a <= 0 or b <= 0 (or NaN): message, 0.0.
    if (!(a > 0.0) || !(b > 0.0)) {
        write_beta_parameter_message();
        return 0.0;
    }
    // Infinite degrees of freedom: the limits, nothing drawn.
    if (a == kInf || b == kInf) {
        if (a == b) return std::numeric_limits<double>::quiet_NaN();
        return a == kInf ? 1.0 : 0.0;
    }
    // 2. Johnk's method when both are below 0.9 (strictly).
    if (a < 0.9 && b < 0.9) {
        for (int32_t rejected = 0;; ++rejected) {
            if (rejected == kMaxRejectionsJohnk) {
                s.degenerate();
                return std::numeric_limits<double>::quiet_NaN();
            }
            const double u1 = s.uniform();  // 2.1 u1 first, then u2
            const double u2 = s.uniform();
            const double x = pmath::pow(u1, 1.0 / a);  // 2.2
            const double y = pmath::pow(u2, 1.0 / b);
            if (x + y > 1.0) continue;
            // 2.3 x/(x + y) formed from logarithms.
            const double d = pmath::log(u2) / b - pmath::log(u1) / a;
            if (std::isnan(d)) {
                // Both quotients overflowed (a and b subnormal): d is
                // infinite with the sign of ln(u2)*a - ln(u1)*b.
                const double sign = pmath::log(u2) * a - pmath::log(u1) * b;
                return sign > 0.0 ? 0.0 : (sign < 0.0 ? 1.0 : 0.5);
            }
            return 1.0 / (1.0 + pmath::exp(d));
        }
    }
    // 3. Two gamma variates, a's first.
    const double g1 = s.gamma_core(a, 1.0);
    const double g2 = s.gamma_core(b, 1.0);
    const double sum = g1 + g2;
    if (sum == kInf) {
        // Only for degrees of freedom near the largest double: halving is
        // exact, so this is g1/(g1 + g2) without the overflow.
        return (g1 * 0.5) / ((g1 * 0.5) + (g2 * 0.5));
    }
    return g1 / sum;
}

double weibull(Stream& s, double a, double b) {
    // 1. a <= 0 or b <= 0 (or NaN): message, 0.0.
    if (!(a > 0.0) || !(b > 0.0)) {
        write_weibull_parameter_message();
        return 0.0;
    }
    // 2. b*(-ln U)^(1/a): one uniform.
    const double e = -pmath::log(s.uniform());
    if (b == kInf) return kInf;  // also when the power underflows to 0
    return b * pmath::pow(e, 1.0 / a);
}

double pareto(Stream& s, double a, double b) {
    // 1. a <= 0 or b <= 0 (or NaN): message, 0.0.
    if (!(a > 0.0) || !(b > 0.0)) {
        write_pareto_parameter_message();
        return 0.0;
    }
    // 2. b*(U^(-1/a) - 1): one uniform.
    const double u = s.uniform();
    if (a == kInf || b == kInf) {
        if (a == b) return std::numeric_limits<double>::quiet_NaN();
        return a == kInf ? 0.0 : kInf;
    }
    return b * (pmath::pow(u, -1.0 / a) - 1.0);
}

}  // namespace kestrum::random

using kestrum::random::process_stream;
using kestrum::random::Stream;

namespace {

// f(stream) through the process-wide stream, 0.0 when the call met a
// degenerate record.
template <class F>
double checked(F f) {
    Stream& s = process_stream();
    const uint32_t before = s.faults;
    const double x = f(s);
    s.flush_report();
    return s.faults == before ? x : 0.0;
}

}  // namespace

extern "C" {

double zbqlnor_(const double* mu, const double* sigma) {
    return process_stream().normal(*mu, *sigma);
}

double zbqlexp_(const double* mu) {
    return checked([&](Stream& s) { return kestrum::random::exponential(s, *mu); });
}

double zbqlgam_(const double* g, const double* h) { return process_stream().gamma(*g, *h); }

double zbqlbet1_(const double* a, const double* b) {
    return checked([&](Stream& s) { return kestrum::random::beta(s, *a, *b); });
}

double zbqlwei_(const double* a, const double* b) {
    return checked([&](Stream& s) { return kestrum::random::weibull(s, *a, *b); });
}

double zbqlpar_(const double* a, const double* b) {
    return checked([&](Stream& s) { return kestrum::random::pareto(s, *a, *b); });
}

}  // extern "C"
