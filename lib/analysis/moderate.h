// Group variances moderated across rows and within each row, for the
// evidence score of a difference of means.
//
// With 3 or 4 values a group, a group's sample variance is known to within
// a factor of several, and a score that divides by it is dominated by the
// rows where one group's variance came out small by chance.  Two levels of
// borrowing fix that, each with its strength estimated from the table
// itself (empirical Bayes, by the moments of log variances):
//
//   1. across rows: the row's pooled within-group variance s_p^2 (df =
//      N - J degrees of freedom) is combined with a prior fitted to every
//      row's s_p^2, a scaled inverse chi^2 with d0 degrees of freedom and
//      scale s0^2:
//          v_row = (d0 s0^2 + df s_p^2) / (d0 + df);
//   2. within the row: each group's variance s_j^2 (w_j = n_j - 1 degrees
//      of freedom) is combined with v_row, as if the group variances of a
//      row scattered about the row's with dw degrees of freedom:
//          v_j = (dw v_row + w_j s_j^2) / (dw + w_j).
//
// d0 comes from how much more the log s_p^2 scatter over rows than their
// sampling error alone would make them (trigamma(df / 2)), dw from how much
// more the log s_j^2 of one row scatter about their row mean than theirs
// would (the mean of trigamma(w_j / 2)).  No excess scatter gives an
// infinite strength: every row at s0^2, or every group at v_row (variances
// equal within rows, the pooled model of a moderated F).  Rows of
// unequal variances are not lost: dw is large only when the table shows
// little of that.  The q-values are calibrated by null analyses scored
// with the same fitted moderation, so the list keeps its level whatever
// the estimates turn out to be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum::analysis {

// The trigamma function psi'(x), x > 0, by its recurrence up to x >= 10
// and its asymptotic series there (relative error below 1e-12).
double trigamma(double x);

// The digamma function psi(x), x > 0, in the same way.
double digamma(double x);

// The y > 0 with trigamma(y) = x, for x > 0 (by bisection on log y, to a
// relative 1e-12); infinity for x <= 0 or NaN.
double trigamma_inverse(double x);

// The strengths of the two levels (degrees of freedom; +infinity for
// complete pooling, 0 for none) and the prior scale of the row variances.
struct VariancePrior {
    double d0 = 0.0;
    double s0 = 1.0;
    double dw = 0.0;
};

// The prior fitted to the group sample variances s2 (L x J, row by row:
// row g's at s2[g * J]) of groups of nobs values.  Rows whose variances are
// not all finite and > 0 take no part; with fewer than 3 rows left (or no
// group of 2 values or more) the strengths are 0 (no borrowing).
VariancePrior fit_variance_prior(const double* s2, std::size_t L, std::int32_t J,
                                 const std::int32_t* nobs);

// The moderated variances v (L x J, laid out as s2).  A group of fewer than
// 2 values takes v_row; a row whose variances are not all finite and > 0 is
// NaN throughout.
void moderate_variances(const double* s2, std::size_t L, std::int32_t J, const std::int32_t* nobs,
                        const VariancePrior& prior, double* v);

// The group sample variances (divisor n_j - 1; NaN for a group of fewer
// than 2 values) of a data matrix laid out as kestrum_'s input (L x N,
// column by column, the groups one after the other), into s2 (L x J, row by
// row).
void group_variances(const double* ydata, std::size_t L, std::int32_t J, const std::int32_t* nobs,
                     std::vector<double>& s2);

// group_variances, and then their moderated variances under the prior
// fitted to them into v (the same layout); returns that prior.
VariancePrior moderated_group_variances(const double* ydata, std::size_t L, std::int32_t J,
                               const std::int32_t* nobs, std::vector<double>& s2,
                               std::vector<double>& v);

}  // namespace kestrum::analysis
