// State of one estimation run, shared by its phases: the arguments as read
// at entry, the workspace arrays and the scalar state of the sampler.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/workspace.h"

namespace kestrum::driver {

struct Run {
    Dims d;

    // Arguments, read once at entry.
    const int32_t* reserved = nullptr;  // passed on, never read
    int32_t ipool = 0;
    int32_t nrow = 0;
    int32_t ngrp = 0;
    int32_t ntot = 0;
    const int32_t* nobs = nullptr;
    const double* ydata = nullptr;
    double hshape = 0.0;
    double hrate = 0.0;
    double prshape = 1.0;
    double prscale = 1.0;
    const double* mvar = nullptr;
    const double* effvar = nullptr;

    // Per-row statistics and current state, L x J (or L), column by column.
    double* ybar = nullptr;
    double* s2 = nullptr;
    double* ybar0 = nullptr;
    double* s20 = nullptr;
    double* gmean = nullptr;
    double* gvar = nullptr;
    double* pmean = nullptr;
    double* pvar = nullptr;

    // Shared priors and running sums, J each.
    double* vshape = nullptr;
    double* vrate = nullptr;
    double* precsum = nullptr;
    double* spare = nullptr;  // J - 1, handed to the row sweep, never read
    double pshape = 2.0;
    double prate = 2.0;
    double pprecsum = 0.0;
    double ratesum = 0.0;

    // Row buffers (J each) and the observation buffer (N).
    double* row_ybar = nullptr;
    double* row_s2 = nullptr;
    double* row_gmean = nullptr;
    double* row_gvar = nullptr;
    double* obs = nullptr;
    std::size_t obs_size = 0;  // N, or the sum of nobs when that is larger

    // Kept draws: (g, j, k) at g + j*L + k*L*J; (g, k) at g + k*L.  These
    // full stores, the row buffers and most of the summaries' scratch below
    // are carved only by the plain reference the tests run; the engine keeps
    // its own bounded workspace (driver/engine.h).
    double* gmeandraw = nullptr;
    double* gvardraw = nullptr;
    double* pmeandraw = nullptr;
    double* pvardraw = nullptr;

    // Per-row scratch of the summaries, reused for every row.
    double* sum_gmean = nullptr;  // J: sums of the kept group means
    double* sum_gvar = nullptr;   // J: sums of the kept group variances
    double* mdiff = nullptr;      // K x (J - 1): mean contrasts, leading dimension K
    double* vdiff = nullptr;      // K x (J - 1): cube-root variance contrasts
    double* sum_d = nullptr;      // J - 1 each: sums of d, d^2, c, c^2
    double* sum_d2 = nullptr;
    double* sum_c = nullptr;
    double* sum_c2 = nullptr;
    double* cross = nullptr;      // (J - 1)(2J - 3): packed strict upper triangle
    double* dcov = nullptr;       // D x D
    double* mcov = nullptr;       // (J - 1) x (J - 1)
    double* dcovinv = nullptr;
    double* mcovinv = nullptr;
    double* u = nullptr;          // D: the joint contrast vector of one draw

    // Scratch handed to the callees' core forms.
    double* inverse_scratch = nullptr;  // for inversions up to order D
    double* sweep_scratch = nullptr;    // for the row sweep of J groups
};

// Optional report of progress through the sampling iterations: called after
// every iteration with the number done and the total.  stop, when given, is
// asked after every iteration whether the caller wants the run abandoned:
// on true the run stops there, every output is set to NaN and estimate()
// returns false (the caller knows from its own state why).  Both are called
// on the thread that called estimate().  The exported routine passes none.
struct Progress {
    void (*report)(void* context, std::int64_t done, std::int64_t total) = nullptr;
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
};

}  // namespace kestrum::driver
