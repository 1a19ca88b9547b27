// The log-rate objective and the proposal variance of the rate update.
//
// For a = ln(rate) the conditional density of a is proportional to e^(-f(a))
// with
//     f(a) = -[ a*(wunit + nrow*gshape) - sinv*e^a
//               - (hshape + ngrp*wunit)*ln(e^a + rsum + hrate) ],
// all coefficients read from the blocks uupar and ngusev (hyper/blocks.h).
// Both work on the blocks they are given (the exported routines hand in
// the process's).
#pragma once

#include "hyper/blocks.h"

namespace kestrum::hyper {

// f(a).  Reads uupar and ngusev, writes nothing.
double log_rate_objective(const Blocks& b, double a);

// 1/f''(optvar), the variance of the normal proposal around the mode.
// Reads optvar, uupar (all but gshape) and ngusev (ngrp only).
double proposal_variance(const Blocks& b);

}  // namespace kestrum::hyper
