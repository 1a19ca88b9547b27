// The sampling phase of one estimation run: T = B + K iterations of a Gibbs
// sampler over all rows at once, with the state of every iteration after the
// burn-in copied into the kept-draw stores.
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

// Step C: one conditional sweep of every row, g = 1..L in order.  The running
// sums of reciprocal variances are adjusted per row - the old reciprocal
// subtracted while the row is loaded, the new one added after the sweep -
// and never recomputed.  keep_slice >= 0 stores the row's new state in that
// slice of the kept-draw stores.
template <class Source, class Callees>
void sweep_rows(Source& src, Run& r, Callees& callees, std::int64_t keep_slice) {
    const std::int64_t L = r.d.L, J = r.d.J;
    for (std::int64_t g = 0; g < L; ++g) {
        for (std::int64_t j = 0; j < J; ++j) {
            const std::int64_t at = g + j * L;
            r.row_ybar[j] = r.ybar[at];
            r.row_s2[j] = r.s2[at];
            r.row_gmean[j] = r.gmean[at];
            r.row_gvar[j] = r.gvar[at];
            r.precsum[j] = r.precsum[j] - 1.0 / r.gvar[at];
        }
        double ybar0 = r.ybar0[g];
        double s20 = r.s20[g];
        double pmean = r.pmean[g];
        double pvar = r.pvar[g];
        const double rest = r.pprecsum - 1.0 / pvar;

        callees.row_sweep(src, r.ngrp, r.ipool, &r.ntot, r.nobs, r.vshape, r.vrate, &r.pshape,
                          &r.prate, r.effvar, r.mvar, r.row_ybar, r.row_s2, &ybar0, &s20,
                          r.row_gmean, r.row_gvar, &pmean, &pvar, r.sweep_scratch);

        for (std::int64_t j = 0; j < J; ++j) {
            const std::int64_t at = g + j * L;
            r.gmean[at] = r.row_gmean[j];
            r.gvar[at] = r.row_gvar[j];
            r.precsum[j] = r.precsum[j] + 1.0 / r.row_gvar[j];
        }
        r.pmean[g] = pmean;
        r.pvar[g] = pvar;
        r.pprecsum = rest + 1.0 / pvar;

        if (keep_slice >= 0) {
            const std::int64_t base = keep_slice * L * J;
            for (std::int64_t j = 0; j < J; ++j) {
                r.gmeandraw[base + g + j * L] = r.gmean[g + j * L];
                r.gvardraw[base + g + j * L] = r.gvar[g + j * L];
            }
            r.pmeandraw[g + keep_slice * L] = pmean;
            r.pvardraw[g + keep_slice * L] = pvar;
        }
    }
}

// The whole sampling phase: for it = 1..B+K, steps A, B and C; iteration
// it > B fills kept slice it - B.  Random draws per iteration, in order: the
// rate updates (group 1 first), the pooled-rate gamma variate, the row
// sweeps (row 1 first).  Nothing is allocated here: every array comes from
// the run's workspace.  B and K are the clamped counts of the run (never
// negative), so every kept slice is written exactly once.  Returns false
// when progress.stop asked for the run to be abandoned.
template <class Source, class Callees>
bool sample(Source& src, Run& r, Callees& callees, const Progress& progress = {}) {
    const std::int64_t B = r.d.B, T = r.d.B + r.d.K;
    for (std::int64_t it = 1; it <= T; ++it) {
        update_group_rates(src, r, callees);
        update_pooled_rate(src, r);
        sweep_rows(src, r, callees, it > B ? it - B - 1 : -1);
        if (progress.report != nullptr) progress.report(progress.context, it, T);
        if (progress.stop != nullptr && progress.stop(progress.context)) return false;
    }
    return true;
}

}  // namespace kestrum::driver
