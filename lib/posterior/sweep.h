// One Gibbs sweep of one data row: new group variances, pooled variance,
// group means and pooled mean, each from its full conditional.
//
// Model of a row with n groups (j = 1..n): group j holds n_j normal values
// with mean mu_j and variance sigma_j^2, summarised by its sample mean ybar_j
// and sample variance s2_j (divisor n_j - 1).  sigma_j^2 has an inverse-gamma
// prior (shape a_j, rate b_j).  The means are reparametrised as
//     theta_1 = (mu_1 + ... + mu_n) / n,   theta_j = n (mu_j - theta_1), j >= 2,
// with independent normal priors of mean 0 on theta (variance mvar(1) for
// theta_1, effvar(j-1) for theta_j).  The pooled model, on when ipool is
// exactly 1, treats all N values of the row as one normal sample (mean mu_0,
// variance sigma_0^2) with an inverse-gamma prior on sigma_0^2 and a normal
// prior of variance mvar(2) on mu_0.
//
// The sweep is a template over the variate source, so tests can script the
// variates and count the draws; the driver hands it the generator stream and
// one scratch block that it obtains once for all its rows and iterations.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "posterior/inverse.h"

namespace kestrum::posterior {

// Doubles of scratch row_sweep() needs for ngrp groups (0 for ngrp < 1),
// including the scratch of its inversions: 5n + 2n^2 + (n-1) + 2(n-1)^2 plus
// inverse_scratch_size(n).  Saturates at SIZE_MAX when the count does not
// fit in size_t.
std::size_t sweep_scratch_size(std::int32_t ngrp);

// The working arrays of one sweep, carved out of the caller's scratch.
// Matrices are column by column with their order as leading dimension.
struct SweepWork {
    double* w;      // n: data precisions n_j / sigma_j^2
    double* theta;  // n: the reparametrised means
    double* rmat;   // n x n: precision matrix R of theta (destroyed by its inversion)
    double* smat;   // n x n: S = R^-1, the conditional covariance of theta
    double* b;      // n: data term
    double* m;      // n: conditional mean of theta, S b
    double* v;      // n: products w_j ybar_j
    double* c;      // n - 1: regression coefficients of one coordinate on the others
    double* tmat;   // (n-1) x (n-1): S without one row and column (destroyed)
    double* pmat;   // (n-1) x (n-1): its inverse
    double* inv;    // inverse_scratch_size(n): scratch of every inversion
};

// Splits scratch (sweep_scratch_size(ngrp) doubles, ngrp >= 1) into the
// working arrays.
SweepWork carve_sweep_scratch(std::int32_t ngrp, double* scratch);

// Rate of the inverse-gamma conditional of one variance:
//     (n - 1) s2 / 2 + rate + (ybar - mu)^2 n / 2,
// evaluated left to right as ((nm1*s2)*0.5 + rate) + ((d*d)*dn)*0.5.  The
// caller supplies nm1 = n - 1 already converted (rounded to single precision
// for a group, exact for the pooled sample).
inline double variance_rate(double nm1, double s2, double rate, double ybar, double mu,
                            double dn) {
    const double d = ybar - mu;
    return ((nm1 * s2) * 0.5 + rate) + ((d * d) * dn) * 0.5;
}

// n_j - 1 rounded to single precision, as the group rates use it (formed in
// 64 bits, so the most negative count cannot overflow).
inline double group_count_less_one(std::int32_t nj) {
    return static_cast<double>(static_cast<float>(static_cast<std::int64_t>(nj) - 1));
}

// theta from the group means (n >= 1): theta_1 is their sum (from 0.0, in
// index order) over n; theta_j = (mu_j - theta_1) * n.
void current_theta(std::int32_t n, const double* gmean, double* theta);

// The precision matrix R of theta given the variances gvar (n >= 1), and
// the precisions w_j = n_j / sigma_j^2 on the way.  With W = w_1 + ... + w_n
// and nn = n*n formed as an integer product (64-bit) and converted:
//     R(1,1) = 1/mvar1 + W,   R(j,j) = 1/effvar(j-1) + (w_1 + w_j)/nn,
//     R(1,j) = R(j,1) = (w_j - w_1)/n,   R(i,j) = w_1/nn  (2 <= i < j).
void precision_matrix(std::int32_t n, const std::int32_t* nobs, const double* effvar,
                      double mvar1, const double* gvar, double* w, double* rmat);

// Conditional moments of theta (n >= 1): R as above, S = R^-1 (R is
// destroyed), v_j = w_j ybar_j, b_1 = v_1 + ... + v_n, b_j = (v_j - v_1)/n,
// m = S b with each element summed from 0.0 in column order.
void theta_moments(std::int32_t n, const std::int32_t* nobs, const double* effvar, double mvar1,
                   const double* ybar, const double* gvar, const SweepWork& wk);

// Conditional variance and mean of coordinate k (0-based) of theta given
// the others, from S, m and the current theta.  With primes mapping the
// n - 1 remaining coordinates in order (skipping k), T = S without row and
// column k, P = T^-1, c_j = sum_l S(k,l') P(l,j), and
//     var  = S(k,k) - sum_j c_j S(j',k),
//     mean = m_k + sum_j c_j (theta_j' - m_j'),
// each sum in its own accumulator from 0.0, both filled in one pass over j.
// For n = 1 no sub-matrix is formed: var = S(1,1), mean = m_1.
// conditional_moments_reference is this computation written out over the
// scratch arrays with the reference inversion; conditional_moments gives
// the same bits with fixed-order kernels for n = 2..7 (T and P kept in
// local arrays; the scratch's tmat and pmat are then left alone).
void conditional_moments(std::int32_t n, std::int32_t k, const SweepWork& wk, double* var,
                         double* mean);
void conditional_moments_reference(std::int32_t n, std::int32_t k, const SweepWork& wk,
                                   double* var, double* mean);

// Group means from theta (n >= 1): mu_1 = theta_1 - (theta_2 + ... +
// theta_n)/n, mu_j = theta_1 + theta_j/n.
void means_from_theta(std::int32_t n, const double* theta, double* gmean);

// One conditional sweep of one row: the exported rpostcal_ without its two
// unused arguments, with ngrp and ipool by value, drawing from src (the
// generator stream or a test source) and working in scratch
// (sweep_scratch_size(ngrp) doubles; may be null when that is 0).
// Allocates nothing.
//
// Steps (n = ngrp; steps 1, 2, 4-6 only when n >= 1; 3 and 7 only when
// ipool == 1, and only then are ntot, pshape, prate, mvar[1], ybar0, s20,
// pmean and pvar touched):
//  1. theta from the incoming means.
//  2. For j = 1..n: shape_j = 0.5 n_j + a_j, rate_j from variance_rate with
//     n_j - 1 rounded to single precision and mu_j the incoming mean; one
//     gamma variate G_j = src.gamma(shape_j, 1.0) (checked: a non-positive
//     shape prints the gamma message and gives 0, so the variance becomes
//     infinite); gvar_j = rate_j * (1 / G_j).
//  3. Pooled: shape_0 = 0.5 N + a_0, rate_0 with N - 1 exact and mu_0 the
//     incoming pmean; one gamma variate G_0; pvar = rate_0 * (1 / G_0).
//  4. R, S, b and m from the new variances (theta_moments).
//  5. For k = 1..n in order, theta_k = mean + z sqrt(var) with one standard
//     normal z (src.normal(0.0, 1.0)) and the conditional moments given the
//     coordinates already redrawn.
//  6. New group means from theta.
//  7. Pooled: q = sigma_0^2 / N, V = 1 / (1/q + 1/mvar(2)),
//     M = (ybar0 / q) * V; one standard normal z; pmean = sqrt(V) z + M.
// Draws, in order: n gammas, the pooled gamma, n normals, the pooled normal.
template <class Source>
void row_sweep(Source& src, std::int32_t ngrp, std::int32_t ipool, const std::int32_t* ntot,
               const std::int32_t* nobs, const double* vshape, const double* vrate,
               const double* pshape, const double* prate, const double* effvar, const double* mvar,
               const double* ybar, const double* s2, const double* ybar0, const double* s20,
               double* gmean, double* gvar, double* pmean, double* pvar, double* scratch) {
    const std::int32_t n = ngrp;
    const bool pooled = (ipool == 1);
    SweepWork wk{};
    if (n >= 1) {
        wk = carve_sweep_scratch(n, scratch);
        // 1. theta from the incoming means.
        current_theta(n, gmean, wk.theta);
        // 2. Group variances.
        for (std::int32_t j = 0; j < n; ++j) {
            const double dn = static_cast<double>(nobs[j]);
            const double shape = 0.5 * dn + vshape[j];
            const double rate =
                variance_rate(group_count_less_one(nobs[j]), s2[j], vrate[j], ybar[j], gmean[j], dn);
            const double g = src.gamma(shape, 1.0);
            gvar[j] = rate * (1.0 / g);
        }
    }
    // 3. Pooled variance.
    double sigma0 = 0.0;
    double dN = 0.0;
    if (pooled) {
        dN = static_cast<double>(*ntot);
        const double nm1 = static_cast<double>(static_cast<std::int64_t>(*ntot) - 1);
        const double shape0 = 0.5 * dN + *pshape;
        const double rate0 = variance_rate(nm1, *s20, *prate, *ybar0, *pmean, dN);
        const double g0 = src.gamma(shape0, 1.0);
        sigma0 = rate0 * (1.0 / g0);
        *pvar = sigma0;
    }
    if (n >= 1) {
        // 4. Conditional moments of theta.
        theta_moments(n, nobs, effvar, mvar[0], ybar, gvar, wk);
        // 5. Coordinate by coordinate, theta updated in place.
        for (std::int32_t k = 0; k < n; ++k) {
            double var = 0.0;
            double mean = 0.0;
            conditional_moments(n, k, wk, &var, &mean);
            const double z = src.normal(0.0, 1.0);
            wk.theta[k] = mean + z * std::sqrt(var);
        }
        // 6. New group means.
        means_from_theta(n, wk.theta, gmean);
    }
    // 7. Pooled mean.
    if (pooled) {
        const double q = sigma0 / dN;
        const double vpost = 1.0 / (1.0 / q + 1.0 / mvar[1]);
        const double mpost = (*ybar0 / q) * vpost;
        const double z = src.normal(0.0, 1.0);
        *pmean = std::sqrt(vpost) * z + mpost;
    }
}

}  // namespace kestrum::posterior
