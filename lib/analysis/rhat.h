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

// The q-quantile (0 <= q <= 1) of the n values v, by linear interpolation
// between order statistics (position q*(n-1), "type 7"); v is reordered.
// NaN when n == 0 or a value is NaN.
double quantile(float* v, std::size_t n, double q);

}  // namespace kestrum::analysis
