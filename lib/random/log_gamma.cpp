// zbqllg_: ln Gamma(x) by the Lanczos series with six terms, and
// the reflection formula below 1.
//
// Guards (this library's choice): NaN gives NaN; x <= 0 (also -0.0) gives
// NaN, since only positive arguments have a defined result here (the
// reflection step would meet sin(pi*w) <= 0 or a pole); x = +inf gives +inf.
// Huge finite x overflow to +inf through the series as written.
#include <cmath>
#include <limits>

#include "common/pmath.h"
#include "random/variates.h"

namespace kestrum::random {

double log_gamma(double x) {
    constexpr double kPi = 3.141592653589793;
    if (!(x > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    if (x == std::numeric_limits<double>::infinity()) return x;
    // 1.
    double z;
    double w = 0.0;
    if (x >= 1.0) {
        z = x;
    } else {
        z = 2.0 - x;
        w = 1.0 - x;
    }
    // 2. ln Gamma(1) = 0 exactly, and for arguments rounding to it.
    if (std::fabs(z - 1.0) < 1e-12) return 0.0;
    // 3.
    const double t = z + 4.5;
    const double a = (z - 0.5) * pmath::log(t) - t;
    // 4. The series, in this order.
    double s = 76.18009172947146 / z + 1.000000000190015;
    s = s - 86.50532032941678 / (z + 1.0);
    s = s + 24.01409824083091 / (z + 2.0);
    s = s - 1.231739572450155 / (z + 3.0);
    s = s + 0.001208650973866179 / (z + 4.0);
    s = s - 5.395239384953e-6 / (z + 5.0);
    // 5. The constant is ln sqrt(2 pi).
    const double r = (a + 0.9189385332046727) + pmath::log(s);
    // 6.
    if (x >= 1.0) return r;
    return pmath::log((kPi * w) / pmath::sin(kPi * w)) - r;
}

}  // namespace kestrum::random

extern "C" double zbqllg_(const double* x) { return kestrum::random::log_gamma(*x); }
