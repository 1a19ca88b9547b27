// The rate update: one independence Metropolis-Hastings step for a positive
// rate, run on its logarithm a = ln(rate).
#pragma once

#include <cmath>
#include <cstdint>

#include "common/pmath.h"
#include "hyper/objective.h"
#include "kestrumr.h"

namespace kestrum::hyper {

// Settings of the mode search.
inline constexpr double kModeTol = 0.0000000001;
inline constexpr double kModeStep = 0.5;
inline constexpr std::int32_t kModeCheck = 5;
inline constexpr std::int32_t kModeBudget = 1000;

// find_mode -- minimise the log-rate objective from a0 with the simplex
// minimiser (one variable, tolerance 1e-10, step 0.5, a check every 5
// iterations, budget 1000; first simplex a0 + 0.5 and a0).  Whatever the
// minimiser's error code, its result point is returned.  Reads the blocks
// through the objective, writes none.
double find_mode(const Blocks& b, double a0);

// update_rate -- the rate update of one group.
//
// All five blocks are those of b; src gives the variates.
//  1. uupar = (sinv, hshape, gshape, wunit, rsum, hrate),
//     ngusev = (nrow, ngrp);
//  2. tparvar = ln(rate);
//  3. optvar = the mode found from tparvar (find_mode);
//  4. tvarvar = 1/f''(optvar), s = sqrt(tvarvar);
//  5. ten trials of an independence sampler with proposal N(optvar_, s^2):
//       z = src.normal(0, 1)              -- one standard normal
//       prop = s*z + optvar_
//       r = (f(cur) - f(prop)) + 0.5*(z^2 - zcur^2)
//       u = src.uniform()                 -- one uniform
//       accept when ln(u) <= r: tparvar_ = prop, rate = e^prop, f(cur) is
//       evaluated again at prop and zcur = (prop - optvar_)/s.
//     r is the log of pi(prop) q(cur) / (pi(cur) q(prop)) with pi ~ e^-f and
//     q the proposal density; a NaN r is never accepted.
// Every call draws exactly ten normals and ten uniforms, alternating.
// *rate is written only on acceptance; otherwise it keeps its bits.
// accepted, when given, receives the number of the ten trials accepted
// (0..10); it is written, never read, and changes nothing else.
template <class Source>
void update_rate(Source& src, const Blocks& b, double sinv, double hshape, double gshape,
                 double wunit, double rsum, std::int32_t nrow, std::int32_t ngrp, double hrate,
                 double* rate, std::int32_t* accepted = nullptr) {
    b.uupar->sinv = sinv;
    b.uupar->hshape = hshape;
    b.uupar->gshape = gshape;
    b.uupar->wunit = wunit;
    b.uupar->rsum = rsum;
    b.uupar->hrate = hrate;
    b.ngusev->nrow = nrow;
    b.ngusev->ngrp = ngrp;

    *b.tparvar = pmath::log(*rate);
    *b.optvar = find_mode(b, *b.tparvar);
    *b.tvarvar = proposal_variance(b);
    const double s = std::sqrt(*b.tvarvar);

    const double mode = *b.optvar;
    double fcur = log_rate_objective(b, *b.tparvar);
    double zcur = (*b.tparvar - mode) / s;
    std::int32_t taken = 0;
    for (int trial = 0; trial < 10; ++trial) {
        const double z = src.normal(0.0, 1.0);
        const double prop = s * z + mode;
        const double fprop = log_rate_objective(b, prop);
        const double r = (fcur - fprop) + 0.5 * (z * z - zcur * zcur);
        const double u = src.uniform();
        if (pmath::log(u) <= r) {
            *b.tparvar = prop;
            *rate = pmath::exp(prop);
            fcur = log_rate_objective(b, prop);
            zcur = (prop - mode) / s;
            ++taken;
        }
    }
    if (accepted != nullptr) *accepted = taken;
}

}  // namespace kestrum::hyper
