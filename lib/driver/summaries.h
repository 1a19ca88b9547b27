// The outputs of one estimation run: per row, the posterior means of the
// kept draws and the two tail frequencies of the difference tests.
#pragma once

#include "driver/run.h"

namespace kestrum::driver {

// The caller's output arrays (layouts as in kestrum_).
struct Outputs {
    double* prob = nullptr;      // L x (J - 1)
    double* pmeanbar = nullptr;  // L
    double* pvarbar = nullptr;   // L
    double* gmeanbar = nullptr;  // L x J
    double* gvarbar = nullptr;   // L x J
    // Optional (nullptr: not written), L: the joint frequency of the means
    // and cube-root variances for every J >= 2 -- prob's second column for
    // J >= 3, and the same statistic for J = 2, which prob has no column
    // for; NaN for J < 2.
    double* pjoint = nullptr;
};

// Fills every output of every row with NaN (nothing computed).
void fill_outputs_with_nan(const Dims& d, const Outputs& out);

}  // namespace kestrum::driver
