// Chains that start from the data.
//
// The fixed start of the sampler (every group mean 0, every variance 1,
// every rate 2) lies far out in the posterior of data whose groups are far
// from 0 or whose variances differ several-fold.  The rate update draws
// from an independence proposal centred on the mode of the rate's
// conditional: a rate that starts many proposal widths from that mode is
// almost never left, and the rows' variances, drawn given that rate, keep
// it there.  A start fitted to the data avoids the tail altogether:
//
//   1. rates.  With q = (n_j - 1) s_j^2 / 2 the row's sum of squares and a
//      the prior shape of the group variances, the row's variance given
//      the rate b (its mean integrated out under the flat prior) is
//      inverse gamma with shape a + (n_j - 1)/2 and rate b + q, so
//      E[1/sigma^2] = (a + (n_j - 1)/2) / (b + q).  The rate's conditional
//      on the log scale (hyper/objective.h) has its mode where
//          sinv c^2 + (sinv R + B - w) c - w R = 0,
//      w = L a + 1, B = hshape + J, R = the other rates + hrate, sinv the
//      sum of the rows' 1/sigma^2 (rate_mode).  Putting the expected
//      reciprocals in for sinv and iterating the two (group after group,
//      as the sampler updates them) to their fixed point gives rates that
//      agree with the rows' variances (fit_start, once per run).
//   2. rows.  Every chain then draws each row's variances from that
//      inverse gamma at the fitted rates and its means from
//      normal(ybar_j, sigma_j^2 / n_j): a draw from the row's posterior
//      given the rates, so the chains start as far from each other as the
//      posterior spreads (what R-hat compares) and no farther than the
//      kernel forgets in a few sweeps.  The pooled mean and variance the
//      same way, with the pooled rate at the mean of its gamma conditional.
//   3. the rates once more: each set to its conditional mode given the
//      chain's drawn variances, so that the first rate update starts at the
//      centre of its proposal.
// The draws come from a stream of the chain's own made from (seed, chain),
// apart from the chain's sampling stream, so a start depends on the data,
// the seed and the chain only: the same at every thread count.  Rows whose
// statistics are not finite start as the fixed start would (mean 0,
// variance 1).
#pragma once

#include <cstdint>
#include <vector>

#include "driver/engine.h"
#include "driver/estimate.h"

namespace kestrum::analysis {

enum class StartMode { fixed = 0, data = 1 };

// The shape of the group and pooled variance priors (prepare_engine).
inline constexpr double kStartVarianceShape = 2.0;

// The mode of the log-rate's conditional density (wunit 1): the positive
// root of the quadratic above, c = exp of the minimum of the objective.
double rate_mode(double sinv, double hshape, double gshape, double rsum, std::int32_t nrow,
                 std::int32_t ngrp, double hrate);

// What the data say about the start, the same for every chain: the group
// (and pooled) statistics of every row and the fitted rates.
struct StartFit {
    std::int64_t L = 0, J = 0;
    bool pooled = false;
    std::vector<double> ybar, s2;    // L x J, column by column
    std::vector<double> ybar0, s20;  // L, pooled only
    std::vector<double> rate;        // J
    double prate = 1.0;              // the pooled rate
};
void fit_start(const driver::Arguments& a, StartFit& fit);

// One chain's start, laid out as driver::StartState reads it.
struct ChainStart {
    std::vector<double> gmean, gvar, pmean, pvar, vrate;
    driver::StartState state() const {
        return {gmean.data(), gvar.data(), pmean.data(), pvar.data(), vrate.data()};
    }
};
void draw_start(const StartFit& fit, const driver::Arguments& a, std::int32_t seed,
                std::int32_t chain, ChainStart& out);

}  // namespace kestrum::analysis
