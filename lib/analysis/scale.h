// One global, robust scale of a data matrix, and the change of units that
// lets the sampler work on standardised data.
//
// The sampler's defaults (the hyper-prior of the group variance rates, the
// prior variances of the row mean and of the group deviations) suit data
// whose within-group spread is of order 1; on data of other units its rate
// update can stick.  Dividing every observation by one scale s (the same for
// all rows, so the rows stay comparable) and multiplying the results back
// makes an analysis independent of the data's units:
//   - observations        y  -> y / s
//   - prior variances     mvar, effvar, hrate -> x / s^2 (hrate is added to
//                         the rates of the variance priors, so it is a
//                         variance too; hshape has no units)
//   - posterior means of the group and pooled means      -> x * s
//   - posterior means of the group and pooled variances  -> x * s^2
// The tail frequencies have no units and stay as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/summaries.h"

namespace kestrum::analysis {

// robust_scale -- the median over rows of the pooled within-group standard
// deviation
//     sd(g) = sqrt( sum_j sum_i (y(g,j,i) - ybar(g,j))^2 / (N - J) ),
// ydata laid out as kestrum_'s (L x N, column by column, groups one after
// the other with nobs(j) columns each).  Rows whose sd is not a finite
// positive number (a constant row, a NaN or infinite value, N <= J) take no
// part; with no such row left the scale is 1.0 (nothing to standardise
// against).  An even count takes the mean of the two middle values.  The
// median is indifferent to a minority of rows with large differences
// between groups or with outliers, unlike a pooled sd over all rows.
double robust_scale(const double* ydata, std::int32_t nrow, std::int32_t ngrp,
                    const std::int32_t* nobs);

// Whether a run can be standardised by scale: the scale, its square and
// the reciprocal of its square are finite and > 0, so that the data, the
// priors and the results can be converted (about 7.5e-155 < scale <
// 1.3e154).  The converted data and priors are still to be checked as
// given ones are: a value far from the scale can leave a double's range.
bool usable_scale(double scale);

// The priors of a run in the units of the standardised data.
struct Priors {
    double hshape = 1.0;
    double hrate = 1.0;
    double mvar[2] = {10000.0, 10000.0};
    std::vector<double> effvar;  // J - 1 (at least 1)
};

// Which priors are in the data's units, and so are converted; the others
// are meant for standardised data and are used as they are.  The session's
// runs take all of them one way or the other (its scaling mode); the
// analysis converts the priors its caller gave and keeps its defaults,
// which are meant for standardised data.
struct DataUnitPriors {
    bool hrate = true;
    bool mvar = true;
    bool effvar = true;
};

// The data divided by the scale, in place (n values).
void data_to_standard(double* y, std::size_t n, double scale);

// The priors converted to the standardised data: those that which marks as
// in the data's units are divided by scale^2 (they are variances), the
// others and hshape (no units) are kept.
Priors priors_to_standard(const Priors& p, double scale, DataUnitPriors which = {});

// A variance of the standardised data (a rate of the variance prior) in the
// data's units: times scale^2.
inline double variance_to_data_units(double v, double scale) { return v * (scale * scale); }

// Results of a run on standardised data, converted back to the data's units
// in place (L rows, J groups; prob is left as it is).
void results_to_data_units(const driver::Outputs& out, std::int32_t nrow, std::int32_t ngrp,
                           double scale);

// Values in the units of the standardised data's means (differences of
// means, their bounds) in the data's units, in place: times scale.
void means_to_data_units(double* x, std::size_t n, double scale);

}  // namespace kestrum::analysis
