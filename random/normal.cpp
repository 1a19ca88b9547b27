// Normal variates by the Box-Muller transform.  Each pair of uniforms gives
// two independent deviates: the cosine one is returned, the sine one is kept
// unscaled and returned (scaled by that call's arguments) on the next call,
// which draws nothing.
#include <cmath>

#include "common/pmath.h"
#include "random/stream.h"

namespace kestrum::random {

double Stream::normal(double mu, double sigma) {
    constexpr double kPi = 3.141592653589793;
    if (nstat > 0) {
        nstat = 0;
        return nspare * sigma + mu;
    }
    const double u1 = uniform();
    const double theta = 2.0 * kPi * u1;
    const double u2 = uniform();
    const double r = std::sqrt(-2.0 * pmath::log(u2));
    double s, c;
    pmath::sincos(theta, &s, &c);
    nspare = r * s;
    nstat = 1;
    flush_report();
    return (r * c) * sigma + mu;
}

}  // namespace kestrum::random
