// Rows the sampler cannot serve: found before a run (a group whose values
// are all equal) and after it (results that are not finite numbers).
//
// Why a group whose values are all equal breaks a run.  Its within-group
// sum of squares (n_j - 1) s_j^2 is 0, so its variance draw is
//     sigma^2 = (b + n_j (ybar_j - mu_j)^2 / 2) / G,   G ~ gamma(n_j/2 + a),
// and nothing from the data keeps it away from 0.  The mean mu_j is drawn
// about ybar_j with a variance of about sigma^2 / n_j, so the second term is
// of the order of sigma^2 itself.  The rate b of the group's variance prior,
// shared by all rows, is drawn given sum over rows of 1/sigma^2, which this
// row dominates once its sigma^2 is small: b comes out of the order of that
// sigma^2 too (when few rows are there, or many rows have such a group).
// Every iteration then multiplies sigma^2 and b by a random factor whose
// logarithm has a negative mean (about -0.15 for one row with groups of 2
// and 4): both shrink geometrically, following a posterior that is improper
// in that direction (the likelihood of n_j equal values grows like
// sigma^-(n_j - 1) as sigma goes to 0).  After some hundred iterations the
// variance is below 1e-16 of the row's other variances.  The row sweep's
// precision matrix of the reparametrised means has the determinant
// w_1 w_j (w = n / sigma^2), formed as the difference of two terms of the
// order of w_j^2: it has lost every digit and comes out 0 or negative, and
// the inverse, the conditional variances and the new means come out
// infinite or NaN (with one row, groups of 2 and 4, at about iteration
// 230).  The NaN stays in the row (it enters the next
// variance draw through (ybar_j - mu_j)^2) and in the sums of reciprocal
// variances over all rows that the rate updates read: from then on every
// rate update rejects all its trials, so the rates of every group stop for
// all rows.  The summaries' quadratic forms of that row are NaN, which
// counts as no hit: both frequencies come out 0.
//
// kestrum_ keeps that arithmetic.  The analysis (the session's runs and the
// command-line front end) leaves such rows out of the run instead, so the
// other rows get exactly the results of a run without them, and gives the
// rows whose results come out non-finite all the same (a spread far below
// the row's other groups can do it) a status and NaN frequencies, never 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrum::analysis {

// Row statuses: the values of the session's KESTRUMR_ROW_ codes.
inline constexpr std::int32_t kRowOk = 0;
inline constexpr std::int32_t kRowNoSpread = 1;   // a group's values all equal: left out
inline constexpr std::int32_t kRowNotFinite = 2;  // its results were not finite numbers

// The first group (0-based) of one row whose values are all equal, or -1
// when every group has some spread.  The row's values are x[c * stride] for
// c = 0 .. nobs[0] + ... + nobs[ngrp - 1] - 1, group after group; a group of
// fewer than 2 values has no spread to judge and is passed over.
std::int32_t group_without_spread(const double* x, std::size_t stride, std::int32_t ngrp,
                                  const std::int32_t* nobs);

// Whether row g of a run's results (laid out as kestrum_'s, L rows, J
// groups) holds a posterior mean of a group mean or variance -- or, with
// pooled, of the pooled mean or variance -- that is not a finite number.
// The means are sums over the kept draws, so this is true when any kept
// draw of the row was not finite (or the sum overflowed).
bool results_not_finite(const double* gmeanbar, const double* gvarbar, const double* pmeanbar,
                        const double* pvarbar, std::size_t L, std::size_t J, bool pooled,
                        std::size_t g);

// "1, 7, 12": the numbers given (at most ten of them, then ", ...").
std::string number_list(const std::vector<std::size_t>& numbers);

}  // namespace kestrum::analysis
