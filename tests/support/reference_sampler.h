// The plain reference of one estimation run, kept beside the tests as the
// oracle the engine (driver/engine.h) is checked against bit for bit: full
// kept-draw stores, a direct transcription of the sampling loop and of the
// summaries, no bookkeeping of its own.  The shipped library runs the engine
// only; steps A and B of an iteration (driver/sampling.h) are shared.
//
// The sampling phase: T = B + K iterations of a Gibbs sampler over all rows
// at once, with the state of every iteration after the burn-in copied into
// the kept-draw stores.  Written as templates over the variate Source (the
// generator stream, or a scripted source in tests) and over the Callees, the
// object through which the loop reaches the rate update and the row sweep
// (driver/callees.h holds the real ones; a test may record the arguments
// instead); the members of a Callees type are listed in driver/sampling.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/estimate.h"
#include "driver/run.h"
#include "driver/sampling.h"
#include "driver/summaries.h"
#include "driver/workspace.h"

namespace kestrum::reference {

// Takes every workspace array of the run from the arena, in a fixed order:
// per-row statistics and state, priors and running sums, row buffers, the
// observation buffer, the full kept-draw stores and the summaries' scratch.
// sweep_doubles is the row sweep's scratch size for J groups.
void carve_workspace(driver::Arena& arena, driver::Run& run, std::size_t sweep_doubles);

// Plans the workspace and obtains it in one block through allocate.  Returns
// the block (to be released with driver::release_block), or nullptr when the
// extents overflow, exceed what one block may hold, or allocation fails.
double* obtain_workspace(driver::Run& r, std::size_t sweep_doubles, driver::Allocate allocate);

// Starting values and per-row sample statistics.
void prepare(driver::Run& run);

// Step C: one conditional sweep of every row, g = 1..L in order.  The running
// sums of reciprocal variances are adjusted per row - the old reciprocal
// subtracted while the row is loaded, the new one added after the sweep -
// and never recomputed.  keep_slice >= 0 stores the row's new state in that
// slice of the kept-draw stores.
template <class Source, class Callees>
void sweep_rows(Source& src, driver::Run& r, Callees& callees, std::int64_t keep_slice) {
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
bool sample(Source& src, driver::Run& r, Callees& callees, const driver::Progress& progress = {}) {
    const std::int64_t B = r.d.B, T = r.d.B + r.d.K;
    for (std::int64_t it = 1; it <= T; ++it) {
        driver::update_group_rates(src, r, callees);
        driver::update_pooled_rate(src, r);
        sweep_rows(src, r, callees, it > B ? it - B - 1 : -1);
        if (progress.report != nullptr) progress.report(progress.context, it, T);
        if (progress.stop != nullptr && progress.stop(progress.context)) return false;
    }
    return true;
}

// Reduces the K kept draws of every row g = 1..L to its outputs.  Reads only
// the draw stores and the summaries' scratch of the run; draws nothing.
void summarise(driver::Run& run, const driver::Outputs& out);

}  // namespace kestrum::reference
