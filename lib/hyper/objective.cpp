// The log-rate objective f(a) and its curvature at the mode.
#include "hyper/objective.h"

#include <cmath>

#include "common/pmath.h"
#include "kestrumr.h"

namespace kestrum::hyper {

// Evaluation order (load-bearing for bit-exact results):
//     c = exp(a)
//     g = ln((c + rsum) + hrate)
//     f = -( (a*(nrow*gshape + wunit) - c*sinv) - g*(ngrp*wunit + hshape) )
// with both counts converted to double before they multiply.  Outside the
// domain of the logarithm the IEEE result (-inf or NaN) is passed on.
double log_rate_objective(const Blocks& b, double a) {
    const kestrumr_uupar& u = *b.uupar;
    const double nrow = static_cast<double>(b.ngusev->nrow);
    const double ngrp = static_cast<double>(b.ngusev->ngrp);
    const double c = pmath::exp(a);
    const double g = pmath::log((c + u.rsum) + u.hrate);
    return -((a * (nrow * u.gshape + u.wunit) - c * u.sinv) - g * (ngrp * u.wunit + u.hshape));
}

// f''(a) = sinv*c + c*B*(rsum + hrate)/S^2 with c = e^a, S = c + rsum + hrate
// and B = ngrp*wunit + hshape; the variance is its reciprocal, evaluated as
//     -( 1 / ( (0 - sinv*c) - ((c*B)*(rsum + hrate))/(S*S) ) )
// where S = (c + rsum) + hrate and the sum rsum + hrate of the numerator is
// formed on its own.  gshape and nrow do not enter.
double proposal_variance(const Blocks& blk) {
    const kestrumr_uupar& u = *blk.uupar;
    const double c = pmath::exp(*blk.optvar);
    const double s = (c + u.rsum) + u.hrate;
    const double b = static_cast<double>(blk.ngusev->ngrp) * u.wunit + u.hshape;
    return -(1.0 / ((0.0 - u.sinv * c) - ((c * b) * (u.rsum + u.hrate)) / (s * s)));
}

}  // namespace kestrum::hyper

// Exported objective, in the one-pointer form the minimiser calls.
extern "C" KESTRUMR_API double alikebb1_(const double* a) {
    return kestrum::hyper::log_rate_objective(kestrum::hyper::process_blocks(), *a);
}

// Exported curvature step: stores the proposal variance in tvarvar_.
extern "C" KESTRUMR_API void varbb1_(void) {
    tvarvar_ = kestrum::hyper::proposal_variance(kestrum::hyper::process_blocks());
}
