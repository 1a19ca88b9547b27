// State of one estimation run, shared by its phases: the arguments as read
// at entry, the workspace arrays and the scalar state of the sampler.
#pragma once

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

    // Kept draws: (g, j, k) at g + j*L + k*L*J; (g, k) at g + k*L.
    double* gmeandraw = nullptr;
    double* gvardraw = nullptr;
    double* pmeandraw = nullptr;
    double* pvardraw = nullptr;
};

// Takes every workspace array of the run from the arena, in a fixed order.
void carve_workspace(Arena& arena, Run& run);

// Starting values and per-row sample statistics.
void prepare(Run& run);

}  // namespace kestrum::driver
