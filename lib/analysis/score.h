// A continuous evidence score per row: the squared length of the posterior
// mean of the row's contrasts in the metric of their posterior covariance
// (or, for the mean contrasts, of their covariance under moderated group
// variances; see contrast_scores).
//
// For each kept draw the contrast vector of a row with J groups is
//   u = (d_1 .. d_(J-1), c_1 .. c_(J-1)),
//   d_i = mean_(i+1) - mean_1,  c_i = cbrt(var_(i+1)) - cbrt(var_1),
// the same contrasts the tail frequencies look at.  With m the posterior
// mean of u and S its posterior covariance (over every kept draw of every
// chain),
//   score_mean  = m_d' S_dd^-1 m_d   (the J - 1 mean contrasts),
//   score_joint = m' S^-1 m          (all 2(J - 1) contrasts).
// For two groups score_mean is the posterior z^2 of the difference of
// means, (E[d] / sd[d])^2.  Unlike the tail frequencies, which count draws
// beyond a threshold and so saturate at 0 and 1 (many rows of a large
// table share the value 1), the score is a smooth function of the data:
// rows tie only where their data tie.  Its scale does not depend on the
// data's units (both parts of the form change with the units alike).
//
// The moments come from running sums collected while the chain runs, so
// they use every kept draw, not only the thinned stored ones.  The sums are
// taken about the row's first kept draw, which keeps the subtraction that
// forms the covariance accurate when a contrast is far from zero relative
// to its spread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum::analysis {

// The most groups a row is scored for: the sums grow with the square of
// the contrasts (525 doubles a row and chain at 16 groups); beyond, the
// scores are NaN.
inline constexpr std::int32_t kMaxScoreGroups = 16;

// Doubles per row of a chain's running sums for J groups (0 for J < 2 or
// J > kMaxScoreGroups):
// the shift (D), the sums of u - shift (D) and the sums of the products of
// u - shift, the upper triangle with the diagonal row by row (D(D+1)/2),
// D = 2(J - 1).
std::size_t contrast_moment_stride(std::int32_t J);

// Adds one kept draw of one row (gmean, gvar: its J group means and
// variances) to the row's sums at `sums` (stride doubles); `first` for the
// row's first kept draw, which also sets the shift.
void add_contrast_moments(double* sums, const double* gmean, const double* gvar, std::int32_t J,
                          bool first);

// The same from the draw's contrast vector u (2(J - 1) doubles: the mean
// contrasts d_i, then the cube-root contrasts c_i, with the cube roots taken
// as add_contrast_moments takes them), as the sampler has formed it already.
void add_contrast_draw(double* sums, const double* u, std::int32_t J, bool first);

// The two scores of every row from the running sums of C chains, each of
// K kept draws: moments[c] holds chain c's sums, row g at g * stride.
// score_mean and score_joint (L each) receive the scores, NaN for J < 2,
// K * C < 2, or a row whose covariance is not positive definite or whose
// sums are not finite.  scratch is reused between calls.
//
// Given moderated group variances v (L x J, row g's at v[g * J]; see
// analysis/moderate.h) and the group sizes nobs, score_mean is instead the
// posterior mean of the mean contrasts in the metric of their sampling
// covariance under those variances,
//   score_mean = m_d' V^-1 m_d,  V_ik = v_1 / n_1 + [i = k] v_(i+1) / n_(i+1),
// an F-like statistic (J - 1 times it) that borrows the variances' strength
// from the other groups and rows; score_joint stays as above.
struct ScoreScratch {
    std::vector<double> mean, scatter, chol, solve, metric;
};
void contrast_scores(const std::vector<const double*>& moments, std::size_t L, std::int32_t J,
                     std::int64_t K, double* score_mean, double* score_joint, ScoreScratch& scratch,
                     const double* v = nullptr, const std::int32_t* nobs = nullptr);

// The quadratic form m' S^-1 m of the leading n x n block of the n0 x n0
// symmetric matrix S (row-major), by a Cholesky factorisation; NaN when the
// block is not positive definite.  chol and y hold n*n and n doubles.
double inverse_form(const double* S, std::size_t n0, const double* m, std::size_t n, double* chol,
                    double* y);

}  // namespace kestrum::analysis
