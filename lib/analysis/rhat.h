// Convergence and spread of Monte-Carlo draws: the rank-normalised split
// R-hat of several chains, and quantiles of pooled draws.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kestrum::analysis {

// The standard normal quantile Phi^-1(p) for 0 < p < 1 (Wichura's
// algorithm AS 241, PPND16: rational approximations in three ranges of p,
// relative error about 1e-16); -inf at 0, +inf at 1, NaN outside [0, 1].
double normal_quantile(double p);

// Scratch of rhat(), sized on first use and reused (no allocation once it
// has seen the largest problem).
struct RhatScratch {
    std::vector<std::pair<double, std::size_t>> order;
    std::vector<double> z;
    std::vector<double> folded;
    std::vector<double> means;  // one per sequence
};

// rank_normalised_split_rhat -- the convergence diagnostic of Vehtari,
// Gelman, Simpson, Carpenter and Buerkner (2021) for one quantity:
//  1. every chain is split into its first and second half (a middle draw
//     of an odd count is left out), giving M = 2*chains sequences of
//     n = floor(draws/2) draws;
//  2. bulk: all M*n draws are replaced by their ranks r (ties share their
//     mean rank) and then by z = Phi^-1((r - 3/8) / (M*n + 1/4)); the
//     classic R-hat of z is sqrt(((n-1)/n * W + B/n) / W), W the mean of
//     the sequences' variances, B/n the variance of their means (divisors
//     n - 1 and M - 1);
//  3. tail: the same for the folded draws |x - median of all draws|;
//  4. the result is the larger of the two.
// draws holds chain c's draws at draws[c*per_chain .. (c+1)*per_chain).
// Returns NaN when per_chain < 4 (halves of fewer than 2 draws) or when the
// draws do not vary (W = 0) or hold a NaN.
double rank_normalised_split_rhat(const float* draws, std::size_t per_chain, std::size_t chains,
                                  RhatScratch& scratch);

// What split_diagnostics finds on one quantity's draws of several chains.
//   rhat: as rank_normalised_split_rhat (the same bits);
//   ess: the bulk effective sample size of all draws (effective_sample_size
//     of the rank-normalised split sequences);
//   mixing: the smaller tail probability of the bulk and the tail mixing
//     tests (mixing_statistic on the rank-normalised split sequences and on
//     their distances to the median): P(F(M-1, nu) > X / (M-1)).
// Every field NaN where R-hat is.
struct SplitDiagnostics {
    double rhat, ess, mixing;
};
SplitDiagnostics split_diagnostics(const float* draws, std::size_t per_chain, std::size_t chains,
                                   RhatScratch& scratch);

// effective_sample_size -- the multi-chain effective sample size of M
// sequences of n values each, stored one after the other in x (sequence m
// at x[m*n .. (m+1)*n)), after Vehtari et al. (2021):
//   acov_m(t) = 1/n sum_i (x_i - mean_m)(x_(i+t) - mean_m), W the mean of
//   acov_m(0) * n/(n-1), var+ = (n-1)/n W + B/n (B/n the variance of the
//   sequence means), rho(t) = 1 - (W - mean_m acov_m(t)) / var+;
//   the sums P_k = rho(2k) + rho(2k+1) are added while positive and made
//   non-increasing (Geyer's initial monotone sequence), tau = -1 + 2 sum P_k
//   (at least 1 / log10(M n)), and ESS = M n / tau.
// The between-sequence spread enters var+, so sequences that disagree get a
// small ESS.  NaN when n < 4, M == 0 or the values do not vary; means
// (M values) is scratch.
double effective_sample_size(const double* x, std::size_t n, std::size_t M, std::vector<double>& means);

// mixing_statistic -- a test of M sequences of n values (laid out as for
// effective_sample_size) having one mean.  With W the mean within-sequence
// variance, B/n the variance of the sequence means and tau_w the
// integrated autocorrelation time of the sequences about their own means
// (Geyer's initial monotone sequence on the within-sequence
// autocorrelations alone, summed up to lag m), the sequence means of chains
// that sample one distribution have variance about W tau_w / n, so
//   X = (M - 1) (B/n) / (W tau_w / n)
// is the split R-hat's excess (R-hat^2 - (n-1)/n = (B/n)/W) in units of
// its own sampling spread.  Its denominator is an estimate: a sum of m + 1
// autocorrelations over N = M n draws has relative variance about
// 2 (2m + 1) / N (Bartlett), as a chi-square of nu = N / (2m + 1) degrees
// of freedom over nu; so X / (M - 1) is about F(M - 1, nu) when the chains
// mix, and *df receives nu.  NaN where effective_sample_size is.
double mixing_statistic(const double* x, std::size_t n, std::size_t M, std::vector<double>& means,
                        double* df);

// The upper tail P(F > f) of the F distribution with d1 and d2 degrees of
// freedom (rounded to whole numbers): the regularised incomplete beta
// function I_(d2 / (d2 + d1 f))(d2/2, d1/2), by its continued fraction.
double f_upper(double f, double d1, double d2);

// The rule that flags a row whose chains do not mix.  Each row has 2D
// mixing tests (bulk and tail of each of its D mean contrasts); a row is
// flagged when the smallest tail probability among them is below
// rhat_flag_level = kRhatFlagLevel / (2 D rows), rows the number of rows
// judged.  By Bonferroni's bound a table whose chains all mix then has a
// flagged row with probability at most kRhatFlagLevel, however many rows
// it has, while a row whose chains sample different distributions has a
// statistic that grows with the number of draws.  NaN for no rows or no
// contrasts.
inline constexpr double kRhatFlagLevel = 0.05;
double rhat_flag_level(std::size_t rows, std::size_t contrasts);

// The q-quantile (0 <= q <= 1) of the n values v, by linear interpolation
// between order statistics (position q*(n-1), "type 7"); v is reordered.
// NaN when n == 0 or a value is NaN.
double quantile(float* v, std::size_t n, double q);

}  // namespace kestrum::analysis
