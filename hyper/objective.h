// The log-rate objective and the proposal variance of the rate update.
//
// For a = ln(rate) the conditional density of a is proportional to e^(-f(a))
// with
//     f(a) = -[ a*(wunit + nrow*gshape) - sinv*e^a
//               - (hshape + ngrp*wunit)*ln(e^a + rsum + hrate) ],
// all coefficients read from the shared blocks uupar_ and ngusev_.
#pragma once

namespace kestrum::hyper {

// f(a).  Reads uupar_ and ngusev_, writes nothing.
double log_rate_objective(double a);

// 1/f''(optvar_), the variance of the normal proposal around the mode.
// Reads optvar_, uupar_ (all but gshape) and ngusev_ (ngrp only).
double proposal_variance();

}  // namespace kestrum::hyper
