// Group summary statistics of one row.
#pragma once

#include <cstdint>

namespace kestrum::posterior {

// Sample means and variances (divisor n_j - 1) of the ngrp groups of one
// row x, stored group after group; with ipool == 1 also the pooled mean and
// variance of all values the groups consume (divisor ntot - 1).  With any
// other ipool, ybar0 and s20 are left alone.  Degenerate group sizes give
// IEEE quotients (0/0 for an empty group, NaN variance for a single value).
void group_statistics(const double* x, int32_t ipool, int32_t ngrp, int32_t ntot,
                      const int32_t* nobs, double* ybar, double* s2, double* ybar0,
                      double* s20);

// The same for a row of which only the first navail values exist: a group
// that runs past them reads NaN for each missing value, so its sums (and the
// pooled sums from there on) are NaN, as if x went on with NaN.  The missing
// values are not visited one by one: one NaN term is added in their place,
// which gives the same result (NaN absorbs every later term), so a count far
// beyond navail costs nothing.
void group_statistics(const double* x, std::int64_t navail, int32_t ipool, int32_t ngrp,
                      int32_t ntot, const int32_t* nobs, double* ybar, double* s2,
                      double* ybar0, double* s20);

}  // namespace kestrum::posterior
