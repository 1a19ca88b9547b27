// The Box-Muller transform of one pair of uniforms, shared by the normal
// routine and by the row sweeps of a multi-threaded run (which draw the
// uniforms in stream order on one thread and transform them where the rows
// are swept).  One definition, so both give the same bits.
#pragma once

#include <cmath>

#include "common/pmath.h"

namespace kestrum::random {

// theta = 2 pi u1, r = sqrt(-2 ln u2): the cosine deviate r cos(theta) is
// the one returned first, the sine deviate r sin(theta) the one saved.
inline void box_muller(double u1, double u2, double* cos_dev, double* sin_dev) {
    constexpr double kPi = 3.141592653589793;
    const double theta = 2.0 * kPi * u1;
    const double r = std::sqrt(-2.0 * pmath::log(u2));
    double s, c;
    pmath::sincos(theta, &s, &c);
    *cos_dev = r * c;
    *sin_dev = r * s;
}

}  // namespace kestrum::random
