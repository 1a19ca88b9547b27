// False-discovery control of the evidence scores by analyses of null data.
//
// The scores' null distribution is calibrated by analysing, P times more,
// data made from the observed ones with every difference between the groups
// removed, by one chain each on a stream of its own; the null scores of all
// rows are pooled into one null distribution.  For the observed score s of
// a row, with n0 finite null scores,
//   p(s)  = (#{null scores >= s} + 1) / (n0 + 1)
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
// The null data.  Within a group the model's values are normal about the
// group's mean, so under a row's null the vector of a group's values about
// the common mean points in a uniformly random direction, whatever the
// group's variance.  A null row is therefore made of the row's mean plus,
// for every group, a uniformly random direction (a normalised vector of
// independent normal draws) of the length the group's values have about
// their own mean.  Those lengths are measured about the group means, so no
// true difference of means survives in the null (permuting the samples
// between groups keeps part of a shifted group together in most splits and
// widens the null, worst with three groups or more), and each row keeps its
// own spread per group, so a row whose variances differ (a null row for the
// mean test, whose null is the heavier-tailed one of a difference of means
// over unequal spreads) gets its own null.
//   The null for the mean test keeps the groups' spreads: the squared
// length of group j is n_j v_j, v_j the group's sample variance with its
// log-distance from the row's pooled level shrunk by
//   w_j = sqrt(1 - (T_j - T'_j) / max(H, T_j)),
//   T_j = trigamma((n_j - 1) / 2),  T'_j = trigamma(n_j / 2),
// H the row's scatter of its (bias-corrected) log group variances, and all
// v_j of the row scaled so that their pooled variance is the data's.  The
// shrinkage undoes a doubling of noise: the sample variances of the
// observed data scatter about the row's true ones (T_j is the variance of
// a log sample variance), and a direction drawn about a length that
// already carries that scatter adds its own, T_j - T'_j (the part of the
// length that falls on the mean); with w_j the log-variances of the null
// row scatter as much as the data's, w_j^2 H + T_j - T'_j = H.  A row whose
// variances scatter no more than sampling makes takes
// w_j^2 = T'_j / T_j (unshrunk, the null's spread ratios scatter more than
// the data's and the null is too wide); a row whose variances truly differ
// keeps most of the difference, so a variance-shifted row, a null row for
// the mean test, meets a null as wide as its own.  Two groups always take
// w_j^2 = T'_j / T_j: their H has one degree of freedom and exceeds T_j by
// chance in a third of the rows with equal variances.
//   The null analyses' scores use the variance moderation fitted to the
// observed table (analysis/moderate.h), so the null is that of the very
// statistic the observed rows are scored by.
//   The null for the joint test removes the variance differences too: one
// direction over all N values of the row, of the length of all values
// about their group means (times sqrt(N / (N - J)), so that its expected
// square is N times the row's variance).
// Analyses 0, 2, 4, ... are null analyses of the mean test and 1, 3, ... of
// the joint test (with P = 1 the one analysis serves both; the joint test
// is then conservative for rows whose variances differ).
//
// Each row draws its directions from a stream of its own made from (seed,
// analysis, row), rather than one transformation for all rows: a rotation
// or permutation shared by all rows of residuals (values about their group
// means) moves, for every row alike, one fixed share of each group's
// length onto its mean, so each analysis's null is too narrow or too wide
// as a whole (measured: two such analyses of the same data gave 95%
// quantiles 2.3 and 5.4 where the null rows' observed scores had 3.9).
// Independent directions lose the correlation between rows in the null,
// which changes the spread of the false-discovery proportion from data set
// to data set but not its mean, the rate the q-values control.  Every
// analysis and its stream come from (seed, p) alone and each writes its own
// slot, so the q-values are the same bits at every thread count and in
// every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/chains.h"
#include "analysis/moderate.h"
#include "driver/estimate.h"

namespace kestrum::analysis {

// The count of null analyses that asks for as many as the table's size
// needs (auto_permutations), each one chain, about a quarter of the
// observed 4-chain run: the default.
inline constexpr std::int32_t kPermutationsAuto = -1;
inline constexpr std::int32_t kMaxPermutations = 1024;

// The null analyses for a table of `rows` rows: half of them make each
// test's null, one score a row each, and a row's q-value resolves its
// null tail only down to about 1 / (the null scores + 1), which at the top
// of a short list is what decides whether it is called.  So small tables
// get more: the least even P with P / 2 * rows >= 20 000 null scores for
// each test, from 4 (large tables, where 4 already give that) to 16.
std::int32_t auto_permutations(std::size_t rows);

// What the null data of every row are made from: the row's mean (centre,
// L), the lengths of its groups for the mean test's null (mean_length, L x
// J, leading dimension L) and its length for the joint test's
// (joint_length, L).
struct NullBasis {
    std::vector<double> centre, mean_length, joint_length;
};
void null_basis(const double* y, std::size_t L, std::int32_t ngrp, const std::int32_t* nobs, NullBasis& basis);

// Whether null analysis p of P serves the joint test (else the mean test).
bool null_for_joint(std::int32_t p, std::int32_t P);

// The null data of analysis p (L x N, leading dimension L) into y; z holds
// N doubles of scratch.
void null_data(const NullBasis& basis, std::size_t L, std::int32_t ngrp, const std::int32_t* nobs,
               std::int32_t seed, std::int32_t p, bool joint, double* y, std::vector<double>& z);

// The scores of the P null analyses of the run a (the standardised data of
// the rows that run, with the run's priors and iterations): null_mean and
// null_joint receive P * L scores, analysis p's at [p*L, (p+1)*L); the
// scores of the test an analysis does not serve, and of a row whose draws
// became non-finite, are NaN.  Chain settings: each is one chain with its
// own stream made from (seed, p), the contrast sums on, no draws stored,
// the memory budget shared by the analyses that run at once (threads of
// them).  progress: iterations done are reported after `offset` others, of
// `total` in all; its stop abandons the analyses (cancelled).  start:
// where each null analysis's chain starts, as the observed chains do (a
// data start fitted to the null data, on a start stream of the analysis's
// own).  prior: the variance moderation fitted to the observed rows
// (analysis/moderate.h), with which every null analysis scores its rows.
ChainsStatus null_scores(const driver::Arguments& a, const VariancePrior& prior, std::int32_t seed,
                         std::int32_t permutations, StartMode start, std::int32_t threads,
                         std::size_t memory_budget, std::vector<double>& null_mean,
                         std::vector<double>& null_joint, const ChainProgress& progress, std::int64_t offset,
                         std::int64_t total);

// q-values of the L observed scores against the pooled null scores (NaN
// ones skipped) as described above: q[g] NaN where score[g] is NaN, or all
// NaN when there is no finite null score.  pi0 (when not null) receives the
// estimate used.
void permutation_q_values(const double* score, std::size_t L, const std::vector<double>& null,
                          double* q, double* pi0 = nullptr);

}  // namespace kestrum::analysis
