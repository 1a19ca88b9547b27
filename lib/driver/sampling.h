// Steps A and B of every iteration of the sampling phase (the updates of the
// shared prior rates), which the engine (driver/engine.h) runs before its row
// sweeps; step C, the sweep of every row, is the engine's own.
//
// Written as templates over the variate Source (the generator stream, or a
// scripted source in tests) and over the Callees, the object through which
// the loop reaches the rate update and the row sweep (driver/callees.h holds
// the real ones; a test may record the arguments instead).  A Callees type
// has the members
//     update_rate(src, sinv, hshape, gshape, wunit, rsum, nrow, ngrp, hrate, &rate)
//     row_sweep(src, ngrp, ipool, &ntot, nobs, vshape, vrate, &pshape, &prate,
//               effvar, mvar, ybar, s2, &ybar0, &s20, gmean, gvar, &pmean,
//               &pvar, scratch)
// with the argument meanings of kestrum::hyper::update_rate and
// kestrum::posterior::row_sweep.
#pragma once

#include <cstdint>

#include "driver/run.h"
#include "random/messages.h"

namespace kestrum::driver {

// Step A: the prior rate of each group's variances, j = 1..J in order
// (Gauss-Seidel: group j sees the rates of groups 1..j-1 already redrawn in
// this iteration).  ratesum is kept as a running sum: the others' sum is
// ratesum - vrate(j), and after the update ratesum = others + new vrate(j).
template <class Source, class Callees>
void update_group_rates(Source& src, Run& r, Callees& callees) {
    const std::int64_t J = r.d.J;
    for (std::int64_t j = 0; j < J; ++j) {
        const double others = r.ratesum - r.vrate[j];
        double rate = r.vrate[j];
        callees.update_rate(src, r.precsum[j], r.hshape, r.vshape[j], 1.0, others, r.nrow,
                            r.ngrp, r.hrate, &rate);
        r.vrate[j] = rate;
        r.ratesum = others + rate;
    }
}

// Step B: the prior rate of the pooled variances, one gamma variate of shape
// L*pshape + prshape scaled by the rate 1/prscale + sum_g 1/pvar(g).  A shape
// that is not positive writes the gamma parameter message and takes the draw
// as 0.0 (no variate is drawn); a NaN shape passes the test and goes to the
// generator.
template <class Source>
void update_pooled_rate(Source& src, Run& r) {
    const double shape = static_cast<double>(r.nrow) * r.pshape + r.prshape;
    double draw;
    if (shape <= 0.0) {
        write_gamma_parameter_message();
        draw = 0.0;
    } else {
        draw = src.gamma_core(shape, 1.0);
    }
    r.prate = draw / (1.0 / r.prscale + r.pprecsum);
}

}  // namespace kestrum::driver
