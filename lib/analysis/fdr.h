// False-discovery control of the evidence scores by permutation.
//
// Under the null hypothesis of a row (its groups do not differ) the sample
// labels are exchangeable, so the score the analysis gives the row with
// its labels shuffled is a draw from that row's null distribution.  The
// data are analysed P times more, each time with one random permutation of
// the samples over the groups (the same permutation for every row, which
// keeps the correlation between rows; a permutation that only relabels
// whole groups is drawn again), by one chain on a stream of its own; the
// permuted scores of all rows are pooled into one null distribution of
// P * L scores.  For the observed score s of a row
//   p(s)  = (#{null scores >= s} + 1) / (P*L + 1)
// estimates its null tail probability;
//   pi0   = min(1, #{p > 1/2} / (L/2))
// the share of null rows (Storey's estimate with lambda = 1/2: the rows
// whose p lies above 1/2 are nearly all null ones, and null p-values are
// uniform); and the q-value of the row,
//   q     = min over the rows h with s_h <= s of  min(1, pi0 * L * p(s_h) / R(s_h)),
// R(s) the number of rows whose observed score is >= s, is the smallest
// false-discovery rate at which the row is called: the rows with q <= A
// are the list at level A.  q never decreases as the score falls.
//
// A permutation mixes the samples of groups whose variances differ, so a
// row whose variance differs between its groups (a null row for the mean
// test) would get the null of a row with equal variances, and its own null
// has the heavier tail (a difference of means over unequal spreads, with
// few samples); with groups of 3 or 4 such rows are most of the false
// calls.  So each permuted group keeps half of the spread ratio of the
// row's group in its place: its values' deviations from their mean are
// multiplied by
//   f_j = sqrt(1/2 + 1/2 * v_j / sum_i (n_i / N) v_i),
// v_j the posterior mean of the row's group-j variance.  The whole ratio
// would also give the rows whose sample variances differ by chance a null
// with their ratio, which makes the null of every row too wide (measured:
// groups of 4 then find about three quarters of what a moderated t finds);
// half of it keeps the level and the power there.  A row with equal
// variances keeps f near 1.  The joint test's null is the same data: it is
// conservative for rows whose variances differ.
//
// Random permutations are used rather than balanced ones: with small
// groups (3 or 4 samples) there are few distinct splits, and balanced
// splits of such groups leave the null too narrow (too many calls).
// Every permutation and its stream come from (seed, p) alone, and each
// permuted analysis writes its own slot, so the q-values are the same bits
// at every thread count and in every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/chains.h"
#include "driver/estimate.h"

namespace kestrum::analysis {

// Permuted analyses by default: measured cost and stability, see the
// README (each is one chain, about a quarter of the observed 4-chain run).
inline constexpr std::int32_t kDefaultPermutations = 4;
inline constexpr std::int32_t kMaxPermutations = 1024;

// Permutation p (0-based) of the N = sum(nobs) samples for the seed:
// column c of the permuted data is column perm[c] of the data (groups keep
// their sizes and places).  Never a mere relabelling of whole groups when
// another split exists.
void label_permutation(std::int32_t seed, std::int32_t p, std::int32_t ngrp, const std::int32_t* nobs,
                       std::vector<std::int32_t>& perm);

// The scores of the P permuted analyses of the run a (the standardised
// data of the rows that run, with the run's priors and iterations):
// null_mean and null_joint receive P * L scores, permutation p's at
// [p*L, (p+1)*L), NaN for a row whose draws became non-finite.  Chain
// settings: each permuted analysis is one chain with observed.seed's
// permutation stream, the contrast sums on, no draws stored, the memory
// budget shared by the analyses that run at once (threads of them).
// progress: iterations done are reported after `offset` others, of `total`
// in all; its stop abandons the analyses (cancelled).
// start: where each permuted analysis's chain starts, as the observed
// chains do (a data start fitted to the permuted data, on a start stream
// of the permutation's own).
// spread: the factors f (L x J, leading dimension L) described above, or
// nullptr for the permuted data as they are.
ChainsStatus permuted_scores(const driver::Arguments& a, const double* spread, std::int32_t seed,
                             std::int32_t permutations, StartMode start,
                             std::int32_t threads, std::size_t memory_budget,
                             std::vector<double>& null_mean, std::vector<double>& null_joint,
                             const ChainProgress& progress, std::int64_t offset, std::int64_t total);

// The factors f of every row from the posterior means of its group
// variances (gvarbar, L x J, leading dimension L); 1 for a row whose
// variances are not finite and positive.
void spread_factors(const double* gvarbar, std::size_t L, std::int32_t ngrp, const std::int32_t* nobs,
                    std::vector<double>& f);

// q-values of the L observed scores against the pooled null scores (NaN
// ones skipped) as described above: q[g] NaN where score[g] is NaN, or all
// NaN when there is no finite null score.  pi0 (when not null) receives the
// estimate used.
void permutation_q_values(const double* score, std::size_t L, const std::vector<double>& null,
                          double* q, double* pi0 = nullptr);

}  // namespace kestrum::analysis
