/*
 * kestrumr.h -- the complete exported interface of the kestrumr library.
 *
 * kestrumr is a numerical library for hierarchical normal models of many
 * data rows split into groups.  Its main routine, kestrum_, runs a Gibbs /
 * Metropolis-Hastings sampler over all rows at once and returns per-row
 * posterior means and two tail frequencies that measure the evidence that
 * the groups differ.  Beside it the library exports its building blocks and
 * a family of random-variate routines driven by one reproducible generator.
 *
 * Conventions shared by every routine:
 *   - every argument is passed by address; a routine returns nothing, one
 *     double or one int32;
 *   - arrays are stored column by column and indexed from 1 in the comments
 *     below: element (g, j) of an array with L rows lies at offset
 *     (g-1) + (j-1)*L, L = max(0, number of rows);
 *   - int32 is a 32-bit signed integer, double an IEEE 754 double;
 *   - the library keeps process-wide state (the generator record and its
 *     positions, the normal routine's saved deviate, the five shared blocks of
 *     the rate update), so calls must not overlap: use it from one thread at
 *     a time.  parametercal_, inverse_ and nelmin_ are re-entrant;
 *   - messages go to standard output as whole lines, flushed after each
 *     message.
 *
 * The header compiles as C (C89 and later with <stdint.h>) and as C++.
 */
#ifndef KESTRUMR_H
#define KESTRUMR_H

#include <stdint.h>

#if defined(KESTRUMR_BUILD)
#  if defined(_WIN32)
     /* the DLL's exports come from kestrumr.def */
#    define KESTRUMR_API
#  else
#    define KESTRUMR_API __attribute__((visibility("default")))
#  endif
#elif defined(_WIN32) && !defined(KESTRUMR_STATIC)
#  define KESTRUMR_API __declspec(dllimport)
#else
#  define KESTRUMR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================
 * Estimation driver
 * ====================================================================== */

/*
 * kestrum_ -- run one complete estimation over nrow data rows.
 *
 * Gibbs sampler over all rows at once.  Per iteration: (A) each group's
 * prior rate of the variances is redrawn by the rate update, groups in order
 * (Gauss-Seidel); (B) the prior rate of the pooled variances is drawn from a
 * gamma distribution with shape 2L + 1 and rate 1 + sum_g 1/pvar(g); (C) each
 * row's group variances, pooled variance, group means and pooled mean are
 * redrawn from their full conditionals.  After B burn-in iterations the K
 * kept states of every row are summarised; per row the posterior means and
 * two tail frequencies are formed: the share of kept draws whose mean
 * contrasts d_i = m_{i+1} - m_1 give d' C^-1 d > 6 (C the sample covariance
 * of d over the kept draws), and the same for d and the cube-root variance
 * contrasts jointly with threshold 9.
 *
 * Symbols: L = *nrow, J = *ngrp, N = *ntot, K = *nkeep, B = *nburn.
 *
 * [in]     reserved  int32. Not read; passed on to the rate update and the
 *                    row sweep, which do not read it either.
 * [in]     ipool     int32. Exactly 1 switches the pooled mean and variance
 *                    on; any other value leaves them at 0.0 and 1.0.
 * [in]     nrow      int32. L, the number of data rows.  L <= 0 writes no
 *                    output, but the hyper-parameter steps still run (and
 *                    draw) for B + K iterations, in O(J) memory whatever
 *                    N, nobs or K say; with L <= -1 the pooled
 *                    rate's shape 2L + 1 is not positive, so each iteration
 *                    writes the ZBQLGAM parameter message and draws no
 *                    gamma variate.
 * [in]     ngrp      int32. J, the number of groups.
 * [in]     nobs      int32[J]. Observations in each group (each >= 2 for
 *                    finite variances).
 * [in]     ntot      int32. N, observations per row (= sum of nobs).  Should
 *                    nobs add up to more than N, the groups read NaN for the
 *                    missing values, never memory beyond the row (and no
 *                    buffer of the groups' length is made).
 * [in]     ydata     double[L x N], column by column, leading dimension L.
 *                    Row g holds group 1's values first, then group 2's...
 * [in]     nkeep     int32. K, the number of kept iterations.  K >= 2 is
 *                    needed for the frequencies; K < 0 counts as 0.
 * [in]     nburn     int32. B, the number of burn-in iterations; B < 0
 *                    counts as 0.  Every one of the K kept slices is written
 *                    before it is read.
 * [in]     hshape    double. Shape of the hyper-prior of the group rates.
 * [in]     hrate     double. Rate of that hyper-prior.
 * [in,out] prshape   double. Overwritten with 1.0 on entry (shape of the
 *                    gamma prior of the pooled-variance rate).
 * [in,out] prscale   double. Overwritten with 1.0 on entry (scale of the
 *                    gamma prior of the pooled-variance rate).
 * [in]     mvar      double[2]. Prior variances of the overall mean and of
 *                    the pooled mean.
 * [in]     effvar    double[J-1]. Prior variances of the group deviation
 *                    coordinates.
 * [out]    prob      double[L x (J-1)]. Column 1: share of kept draws whose
 *                    mean contrasts exceed the threshold (J >= 2); column 2:
 *                    the same for means and cube-root variances jointly
 *                    (J >= 3).  Columns 3..J-1 (J >= 4) hold no statistic
 *                    and are set to NaN.  With K = 1 both frequencies are
 *                    NaN (the covariance divisor K - 1 is 0).  A draw whose
 *                    quadratic form is NaN counts as no hit.
 * [out]    pmeanbar  double[L]. Posterior mean of the pooled mean.
 * [out]    pvarbar   double[L]. Posterior mean of the pooled variance.
 * [out]    gmeanbar  double[L x J]. Posterior means of the group means.
 * [out]    gvarbar   double[L x J]. Posterior means of the group variances.
 *
 * Random draws, per iteration: the J rate updates (group 1 first), one gamma
 * variate, the L row sweeps (row 1 first).  The sampler draws from the
 * process-wide generator as it stands and never seeds it; a run repeats bit
 * for bit from the same generator state.  With K = 0 every output is 0/0
 * (NaN).
 *
 * A group whose values are all equal (a row such as 1 0 | 0 0 0 0, groups
 * of 2 and 4) gives its variance no spread to be estimated from: its draw
 * is (vrate_j + n_j (ybar_j - mu_j)^2 / 2) / G with a mean mu_j drawn
 * close to ybar_j, and the group's rate vrate_j, which every row shares, is
 * drawn given the sum of 1/gvar over all rows, which that row dominates
 * once its variance is small.  The variance and the rate then shrink
 * together by a random factor per iteration (the posterior is improper in
 * that direction) until, some hundred iterations later, the row sweep's
 * precision matrix cannot resolve the row's precisions and the row's
 * draws become NaN; they stay NaN for the rest of the run.  kestrum_ keeps
 * that arithmetic, so such a row -- as any row whose draws become
 * non-finite -- gives NaN posterior means of its group means and variances
 * and frequencies of 0, not NaN (a quadratic form that is NaN counts as no
 * hit, and a NaN draw makes the row's covariance NaN).  From
 * the iteration on which the NaN appears, the sums of reciprocal variances
 * that every rate update reads are NaN too: every rate update rejects all
 * its trials, and the rates of every group stay where they were for all
 * rows.  (When enough rows have a spread in that group, their reciprocal
 * variances hold the rate up and the row comes through.)  The session's runs
 * (kestrumr_session.h) leave such rows out and mark them instead.
 *
 * Memory and time.  The posterior means and the covariances of the
 * contrasts are sums over the kept draws, accumulated row by row while
 * sampling.  The two difference tests need each kept draw's contrast vector
 * a second time; kestrum_ keeps those vectors (2(J-1)LK doubles, that is
 * 16 L K (J-1) bytes) when they take at most 256 MiB and that block can be
 * obtained, and otherwise runs the kept iterations a second time from a
 * checkpoint taken at the end of the burn-in (the generator
 * record and positions, the normal routine's saved deviate, the rates and
 * every row's state), drawing the very same variates, and evaluates the
 * tests as the draws come again.  The replay takes (B + 2K)/(B + K) of the
 * time and O(L J^2) memory whatever K (per row: the state, the sums and
 * the two inverted covariances); both ways give the same bits, and the
 * generator ends where one pass leaves it.  Everything runs on the
 * caller's thread.
 *
 * All workspace is obtained in one block at entry and released before
 * return.  If not even the replay's workspace can be obtained (the extents
 * overflow or the allocation fails), no draw is made, the message
 *
 *      ****ERROR**** Not enough memory for the workspace in  KESTRUM
 *      (no draws were made; every output holds NaN)
 *
 * (framed by empty lines) goes to standard output, and every element of
 * prob, pmeanbar, pvarbar, gmeanbar and gvarbar is set to NaN.
 */
KESTRUMR_API void kestrum_(const int32_t *reserved, const int32_t *ipool,
                           const int32_t *nrow, const int32_t *ngrp,
                           const int32_t *nobs, const int32_t *ntot,
                           const double *ydata, const int32_t *nkeep,
                           const int32_t *nburn, const double *hshape,
                           const double *hrate, double *prshape,
                           double *prscale, const double *mvar,
                           const double *effvar, double *prob,
                           double *pmeanbar, double *pvarbar,
                           double *gmeanbar, double *gvarbar);

/* ======================================================================
 * Posterior draws and linear algebra
 * ====================================================================== */

/*
 * rpostcal_ -- one Gibbs sweep for one row: new group variances, pooled
 * variance (ipool = 1), group means and pooled mean (ipool = 1), drawn from
 * their full conditionals with the process-wide generator.
 *
 * Symbols: n = *ngrp, N = *ntot.
 *
 * [in]     reserved  int32. Never read (may point anywhere).
 * [in]     ngrp      int32. n, the number of groups.
 * [in]     ipool     int32. Exactly 1 = pooled model on.
 * [in]     ntot      int32. N (read only when ipool = 1).
 * [in]     nobs      int32[n]. Observations of each group.
 * [in]     vshape    double[n]. Prior shapes of the group variances.
 * [in]     vrate     double[n]. Prior rates of the group variances.
 * [in]     pshape    double. Prior shape of the pooled variance.
 * [in]     prate     double. Prior rate of the pooled variance.
 * [in]     effvar    double[n-1]. Prior variances of the deviation
 *                    coordinates theta_2..theta_n.
 * [in]     mvar      double[2]. Prior variance of theta_1; of the pooled
 *                    mean.
 * [in]     spare     double[n-1]. Never read or written.
 * [in]     ybar      double[n]. Group sample means.
 * [in]     s2        double[n]. Group sample variances (divisor n_j - 1).
 * [in]     ybar0     double. Pooled sample mean.
 * [in]     s20       double. Pooled sample variance.
 * [in,out] gmean     double[n]. Current group means in, new ones out.
 * [out]    gvar      double[n]. New group variances.
 * [in,out] pmean     double. Pooled mean (only when ipool = 1).
 * [out]    pvar      double. Pooled variance (only when ipool = 1).
 *
 * Model: group j's n_j values are normal(mu_j, sigma_j^2); sigma_j^2 has an
 * inverse-gamma(vshape_j, vrate_j) prior.  The means are reparametrised as
 * theta_1 = (mu_1 + ... + mu_n)/n and theta_j = n (mu_j - theta_1), j >= 2,
 * with independent normal(0, mvar(1)) and normal(0, effvar(j-1)) priors.
 * With ipool = 1 all N values are also one normal(mu_0, sigma_0^2) sample,
 * sigma_0^2 ~ inverse-gamma(pshape, prate), mu_0 ~ normal(0, mvar(2)).
 *
 * Steps: (1) theta from the incoming gmean; (2) for each group,
 * gvar_j = rate_j / G_j with G_j a gamma(0.5 n_j + vshape_j, 1) variate and
 * rate_j = (n_j - 1) s2_j / 2 + vrate_j + (ybar_j - gmean_j)^2 n_j / 2, the
 * factor n_j - 1 rounded to single precision; (3) ipool = 1: the same for
 * pvar with N, exact N - 1 and the incoming pmean; (4) the precision matrix
 * R of theta, S = R^-1 (by inverse_'s algorithm), the data term b and the
 * conditional mean m = S b; (5) for k = 1..n, theta_k = mean + z sqrt(var)
 * with one standard normal z and the conditional moments of theta_k given
 * the other coordinates (the earlier ones already redrawn), formed through
 * the inverse of S without row and column k; (6) gmean from theta, so that
 * the new means average to theta_1; (7) ipool = 1: with q = pvar/N,
 * V = 1/(1/q + 1/mvar(2)), pmean = sqrt(V) z + (ybar0/q) V.
 *
 * Draws, in order: n gamma variates, the pooled gamma (ipool = 1), n
 * standard normals, the pooled normal (ipool = 1).  n < 1 reads and writes
 * no group argument (only the pooled draws are made when ipool = 1); with
 * ipool != 1, ntot, pshape, prate, mvar(2), ybar0, s20, pmean and pvar are
 * neither read nor written.  Nothing is checked: a non-positive gamma shape
 * makes the gamma routine print its message and give 0, so that variance
 * becomes infinite and the sweep goes on; a zero pivot or a negative
 * conditional variance gives NaN.
 *
 * Working storage: about 6n^2 doubles, obtained and released per call.  If
 * it cannot be obtained, the routine writes the message
 *      ****ERROR**** Not enough memory for the workspace in  RPOSTCAL
 *      (no draws were made; the outputs hold NaN)
 * (between empty lines) to standard output, draws nothing and sets gmean,
 * gvar and, when ipool = 1, pmean and pvar to NaN.
 */
KESTRUMR_API void rpostcal_(const int32_t *reserved, const int32_t *ngrp,
                            const int32_t *ipool, const int32_t *ntot,
                            const int32_t *nobs, const double *vshape,
                            const double *vrate, const double *pshape,
                            const double *prate, const double *effvar,
                            const double *mvar, const double *spare,
                            const double *ybar, const double *s2,
                            const double *ybar0, const double *s20,
                            double *gmean, double *gvar, double *pmean,
                            double *pvar);

/*
 * parametercal_ -- group and pooled sample statistics of one row.
 *
 * Symbols: n = *ngrp, N = *ntot.
 *
 * [in]  x      double[sum of nobs]. The row: group 1's values first, then
 *              group 2's, no gaps.  Values past the groups are never read.
 * [in]  ipool  int32. Exactly 1 = also compute the pooled statistics.
 * [in]  ngrp   int32. n, the number of groups.  n < 1 touches no group
 *              argument.
 * [in]  ntot   int32. N, the pooled divisor (read only when ipool = 1).
 * [in]  nobs   int32[n]. Observations of each group; a group with n_j <= 0
 *              consumes no values.
 * [out] ybar   double[n]. Group sample means (0/0 for an empty group).
 * [out] s2     double[n]. Group sample variances, divisor n_j - 1 (NaN for
 *              n_j = 1).
 * [out] ybar0  double. Pooled mean; written only when ipool = 1.
 * [out] s20    double. Pooled variance, divisor N - 1; written only when
 *              ipool = 1.
 */
KESTRUMR_API void parametercal_(const double *x, const int32_t *ipool,
                                const int32_t *ngrp, const int32_t *ntot,
                                const int32_t *nobs, double *ybar, double *s2,
                                double *ybar0, double *s20);

/*
 * inverse_ -- invert a square matrix by LU elimination without pivoting
 * (unit lower-triangular L, upper-triangular U), one forward and one back
 * substitution per column of the identity.
 *
 * [in,out] amat  double[n x n], column by column, leading dimension n.
 *                Destroyed: afterwards its upper triangle (with the
 *                diagonal) holds U and each element below the diagonal keeps
 *                the value that was divided by its column's pivot.
 * [out]    ainv  double[n x n], leading dimension n. Every element written.
 * [in]     n     int32. The order; n <= 0 reads and writes nothing.
 *
 * Algorithm: for k = 1..n-1 and i = k+1..n, f = A(i,k)/A(k,k) becomes
 * L(i,k) and A(i,k+1..n) -= f*A(k,k+1..n); then, for each column k of the
 * identity, L d = e_k is solved forward (terms subtracted in increasing
 * column order) and U y = d backward (terms subtracted from column n down,
 * then one division by U(i,i)); y is column k of ainv.  These orders fix the
 * rounding.  The inverse of a symmetric matrix is symmetric only up to
 * rounding; it is not symmetrised.  n = 1 gives 1/amat(1,1) and leaves amat
 * unchanged.
 *
 * There is no pivoting and no singularity test: a zero pivot spreads
 * infinities and NaN through ainv and the routine returns normally (a
 * matrix with amat(1,1) = 0 is not inverted even when it is invertible).
 *
 * Working storage: 2n^2 + 3n doubles, obtained and released per call.  If
 * it cannot be obtained, the routine writes the message
 *      ****ERROR**** Not enough memory for the workspace in  INVERSE
 *      (the matrix was not inverted; every element of AINV is NaN)
 * (between empty lines) to standard output, leaves amat untouched and sets
 * every element of ainv to NaN.
 */
KESTRUMR_API void inverse_(double *amat, double *ainv, const int32_t *n);

/* ======================================================================
 * Hyper-parameter update
 * ====================================================================== */

/* Shared blocks of the rate update: fixed-layout records, one exported
 * symbol each, members packed in the order given (a double is 8 bytes, an
 * int32 4).  Zero at load; they keep their values for the life of the loaded
 * library.  updatebb1_ fills uupar_ and ngusev_ from its arguments at the
 * start of every call; alikebb1_ and varbb1_ read them. */
struct kestrumr_ngusev {
    int32_t nrow; /* number of rows */
    int32_t ngrp; /* number of groups */
};
struct kestrumr_uupar {
    double sinv;   /* coefficient of e^a */
    double hshape; /* added to ngrp*wunit in the log term's weight */
    double gshape; /* multiplied by nrow in the linear term */
    double wunit;  /* weight of a; multiplier of ngrp */
    double rsum;   /* added to e^a inside the logarithm */
    double hrate;  /* added to e^a inside the logarithm */
};

KESTRUMR_API extern double tparvar_;               /* current log-rate a */
KESTRUMR_API extern struct kestrumr_ngusev ngusev_; /* counts */
KESTRUMR_API extern double tvarvar_;               /* proposal variance */
KESTRUMR_API extern struct kestrumr_uupar uupar_;  /* objective coefficients */
KESTRUMR_API extern double optvar_;                /* mode of the log-rate */

/*
 * alikebb1_ -- the log-rate objective f(a), the negative log conditional
 * density of a = ln(rate) up to a constant, from uupar_ and ngusev_:
 *
 *   f(a) = -[ a*(wunit + nrow*gshape) - sinv*e^a
 *             - (hshape + ngrp*wunit)*ln(e^a + rsum + hrate) ]
 *
 * evaluated as c = exp(a), g = ln((c + rsum) + hrate),
 * -((a*(nrow*gshape + wunit) - c*sinv) - g*(ngrp*wunit + hshape)).
 *
 * [in] a  double. The point.
 * Returns f(a).  Writes nothing.  Nothing is validated: where
 * c + rsum + hrate is not positive the IEEE logarithm (-inf or NaN) is
 * passed on.  Meaningful once updatebb1_ has filled the blocks.
 */
KESTRUMR_API double alikebb1_(const double *a);

/*
 * varbb1_ -- set tvarvar_ to 1/f''(optvar_), the proposal variance:
 * with c = e^optvar_, S = (c + rsum) + hrate, B = ngrp*wunit + hshape,
 *   tvarvar_ = -(1/((0 - sinv*c) - c*B*(rsum + hrate)/S^2)).
 * Reads optvar_, uupar_ (all but gshape) and ngusev_ (ngrp only); gshape
 * and nrow do not affect it.  A negative or NaN result is stored as is.
 */
KESTRUMR_API void varbb1_(void);

/*
 * updatebb1_ -- redraw a positive rate on the log scale by an independence
 * Metropolis-Hastings step:
 *   1. copy sinv..hrate into uupar_ and nrow, ngrp into ngusev_;
 *   2. tparvar_ = ln(rate);
 *   3. optvar_ = the minimum of alikebb1_ found by nelmin_ from tparvar_
 *      (tol 1e-10, step 0.5, ncheck 5, maxeval 1000; the error code is
 *      ignored, the best point found is used);
 *   4. varbb1_; s = sqrt(tvarvar_);
 *   5. ten trials: z = a standard normal variate, prop = s*z + optvar_,
 *      r = (f(cur) - f(prop)) + 0.5*(z^2 - zcur^2), u = a uniform variate;
 *      accept when ln(u) <= r (tparvar_ = prop, rate = e^prop).
 * Draws exactly ten normal and ten uniform variates, alternating, from the
 * process-wide generator, whatever is accepted.  A NaN r is never accepted
 * (so a negative or NaN tvarvar_ leaves rate as it was); u = 0 accepts any
 * r that is a number.
 *
 * [in]     reserved  any. Never read (may be a null pointer).
 * [in]     sinv      double. Copied to uupar_.sinv.
 * [in]     hshape    double. Copied to uupar_.hshape.
 * [in]     gshape    double. Copied to uupar_.gshape.
 * [in]     wunit     double. Copied to uupar_.wunit.
 * [in]     rsum      double. Copied to uupar_.rsum.
 * [in]     nrow      int32. Copied to ngusev_.nrow.
 * [in]     ngrp      int32. Copied to ngusev_.ngrp.
 * [in]     hrate     double. Copied to uupar_.hrate.
 * [in,out] rate      double. Positive rate in (not checked); e^(last
 *                    accepted proposal) out, or bit for bit unchanged when
 *                    none is accepted.
 * Leaves: uupar_, ngusev_ = the arguments; optvar_ = the mode;
 * tvarvar_ = the proposal variance; tparvar_ = the last accepted proposal,
 * or ln(rate on entry).
 */
KESTRUMR_API void updatebb1_(const int32_t *reserved, const double *sinv,
                             const double *hshape, const double *gshape,
                             const double *wunit, const double *rsum,
                             const int32_t *nrow, const int32_t *ngrp,
                             const double *hrate, double *rate);

/*
 * optbb1_ -- the mode search alone: minimise alikebb1_ with nelmin_ from
 * tparvar_ with the settings of updatebb1_ and store the result point in
 * optvar_ (the same value updatebb1_ would find from that start).  Leaves
 * tparvar_, tvarvar_, uupar_ and ngusev_ as they were; draws nothing.
 */
KESTRUMR_API void optbb1_(void);

/* The objective form that nelmin_ calls: one pointer to ndim doubles. */
typedef double (*kestrumr_objective)(const double *x);

/*
 * nelmin_ -- Nelder-Mead simplex minimisation of up to 20 variables, with a
 * convergence test on the spread of the vertex values every ncheck
 * iterations, a local-minimum test along each axis and restarts.
 * Allocates nothing; re-entrant when func is.  Writes no message.
 *
 * The first simplex is start and start + step(j) along each axis j; the
 * iterations reflect, expand, contract and shrink.  Every ncheck iterations
 * (shrinks not counted) the budget is checked and the spread
 * sum (Y(i) - mean Y)^2 over the vertices compared with tol*ndim; a spread
 * not above it (or NaN) counts as converged.  The best vertex is then moved
 * by +0.001*step(i) and -0.001*step(i) along each axis in turn; a strictly
 * lower value restarts the search there from a simplex of 0.001*step.
 *
 * [in]     func      objective, called with a pointer to ndim doubles (start,
 *                    xbest or an internal point); must not keep it.  Must
 *                    not be a null pointer.
 * [in]     ndim      int32. Number of variables, 1..20.
 * [in,out] start     double[ndim]. Start point; on return the last restart
 *                    point, or bit for bit unchanged when there was no
 *                    restart.
 * [out]    xbest     double[ndim]. The lowest point found (with ierr = 0 the
 *                    lowest vertex after each coordinate was moved by +d,
 *                    -2d, +d, so it may differ from it in the last bits).
 *                    Also used as scratch during the search.
 * [out]    ybest     double. func at the lowest vertex.
 * [in]     tol       double. Convergence tolerance, > 0.  (A NaN passes the
 *                    check and makes the first spread test converge.)
 * [in]     step      double[ndim]. Initial simplex size along each axis.
 * [in]     ncheck    int32. Iterations between convergence checks, >= 1.
 * [in]     maxeval   int32. Evaluation budget; not validated (a negative
 *                    budget acts like 0).  Compared with neval only at the
 *                    convergence checks (every ncheck iterations, shrinks
 *                    not counted) and after a shrink, so neval exceeds it
 *                    by up to two evaluations for each iteration until the
 *                    next check (at most 2*ncheck), plus ndim + 1 for a
 *                    shrink, plus the evaluations of a local test and
 *                    restart under way (at most 3*ndim + 1).  A large
 *                    ncheck therefore allows a large overshoot:
 *                    ncheck = 2^31 - 1 with maxeval = 100 runs about 4.3e9
 *                    evaluations before the first check.
 * [out]    neval     int32. Number of evaluations of func.  Counted in 64
 *                    bits and reported saturated at INT32_MAX, so that the
 *                    comparison holds even for a budget of INT32_MAX: the
 *                    routine always ends, after at most about
 *                    maxeval + 2*ncheck + 4*ndim + 2 evaluations.
 * [out]    nrestart  int32. Number of restarts (saturated like neval).
 * [out]    ierr      int32. 0 converged and no point at +-0.001*step(i)
 *                    along any axis is lower; 1 invalid input (tol <= 0,
 *                    ndim < 1, ndim > 20 or ncheck < 1): nothing else is
 *                    written and func is not called; 2 evaluation budget
 *                    exceeded: xbest, ybest hold the lowest vertex known.
 */
KESTRUMR_API void nelmin_(kestrumr_objective func, const int32_t *ndim,
                          double *start, double *xbest, double *ybest,
                          const double *tol, const double *step,
                          const int32_t *ncheck, const int32_t *maxeval,
                          int32_t *neval, int32_t *nrestart, int32_t *ierr);

/* ======================================================================
 * Random variates
 * ======================================================================
 *
 * One process-wide generator: a subtract-with-borrow recurrence with lags 22
 * and 43 on the base B = 2^32 - 5,
 *     word(n) = word(n-22) - word(n-43) - borrow(n-1)  (mod B),
 * whose lag table, base and borrow are the exported record zbql0001_.  The
 * record is filled at load time, so an unseeded process always sees the same
 * stream.  Three positions walk the table (outside the record); the normal
 * routine keeps a saved deviate; zbqlini_ keeps a call counter.  All of this
 * is process-wide and unprotected: one thread at a time.  Every routine
 * draws its uniforms from the one stream in a fixed order, so a run
 * reproduces its stream exactly from the same state.
 *
 * Parameter checks write a fixed message of whole lines to standard output
 * and return 0.0 (0 for the int32 routines) without drawing anything.
 *
 * Results for values outside the usual domains (this library's
 * choices; none of them hangs, none converts a NaN or out-of-range double to
 * an integer):
 *   - NaN parameters.  Every routine with a parameter check counts NaN as an
 *     illegal value: message and 0.0 / 0 (zbqlexp_, zbqlgam_, zbqlbet1_,
 *     zbqlwei_, zbqlpar_, zbqlgeo_, zbqlbin_, zbqlpoi_, zbqlnb_).  The
 *     unchecked ones work in IEEE arithmetic: zbqlnor_ and zbqluab_ draw as
 *     usual and return NaN; zbqllg_ returns NaN.
 *   - Infinite parameters map to the limits of the formulas:
 *       zbqlexp_(+inf) = +inf (one uniform drawn);
 *       zbqlgam_(+inf, h) = +inf / h: +inf, or NaN for h = +inf (nothing
 *         drawn); zbqlgam_(g, +inf) = 0 after the usual draws;
 *       zbqlbet1_: a = +inf gives 1.0, b = +inf gives 0.0, both NaN
 *         (nothing drawn);
 *       zbqlwei_: b = +inf gives +inf, a = +inf gives b (one uniform drawn);
 *       zbqlpar_: a = +inf gives 0.0, b = +inf gives +inf, both NaN (one
 *         uniform drawn);
 *       zbqlpoi_(+inf) and zbqlnb_(+inf, p) = INT32_MAX (nothing drawn);
 *       zbqllg_(+inf) = +inf;
 *       zbqlnor_ and zbqluab_: IEEE arithmetic (lower = -inf, upper = +inf
 *         gives NaN; equal infinite limits are equal limits).
 *   - Counts beyond int32 saturate: an int32 result that would be 2^31 - 1
 *     or more is INT32_MAX (2147483647).  zbqlgeo_ with p = 0, with p = -0.0
 *     (which passes the range check and counts as 0) or with a tiny p gives
 *     INT32_MAX after its one uniform.  zbqlpoi_ with mu >= 2^31 gives
 *     INT32_MAX without drawing (see zbqlpoi_).
 *   - Negative seeds: zbqlini_ moves the truncated remainder into [0, B) by
 *     adding B, so a seed s < 0 fills the table from s + B.
 *   - zbqllg_ for x <= 0 (also -0.0): NaN.
 *   - Huge finite parameters end promptly and give the formula's value;
 *     products that overflow give +inf (zbqlbet1_ avoids the overflow of
 *     g1 + g2 by halving both).
 *
 * Degenerate generator records.  A host may write any doubles into
 * zbql0001_.  Some records give no usable uniforms: the two fixed points of
 * the recurrence (43 zero words with borrow 0: every word 0; 43 words B - 1
 * with borrow 1: every uniform (B - 1)/B, which no rejection loop accepts),
 * NaN or infinite words, and a base that is 0, 1, NaN or infinite.  Every
 * loop that consumes uniforms still ends, by this rule:
 *   - zbqlu01_ skips at most 31 zero words in a row (the divisor B^32 is
 *     the last power of B below the largest double).  A step whose word
 *     gives no value in (0, 1) -- a word that is NaN, infinite, negative or
 *     not below the base, or any word under a bad base -- counts as a zero
 *     word.  After a longer run the table is degenerate: the call returns
 *     0.5.  So zbqlu01_ returns a value in (0, 1) whatever the record holds.
 *   - Every rejection or counting loop stops after a bound on consecutive
 *     rejections (iterations) that a stream of independent uniforms
 *     reaches with probability below 2^-128 per variate, from the smallest
 *     acceptance rate of the method over its parameter range: gamma GS
 *     (g < 1, rate >= 0.71) 72,
 *     ratio of uniforms (1 <= g <= 10, >= 0.60) 97, GKM3 (g > 10, >= 0.64)
 *     87; beta by Johnk's method (>= 0.55) 112; Poisson above a mean of
 *     1000 (>= 0.50) 128; geometric trials for p > 0.9 39; the Poisson
 *     product of uniforms 75 factors; the binomial's count of successes 80;
 *     the Poisson's gamma splitting 300 and the binomial's splitting 1000
 *     iterations.
 * The rule changes no result of a stream that behaves as independent
 * uniforms: the load-time record, every table zbqlini_ fills (any seed,
 * whatever the borrow and positions), every table kestrumr_seed
 * (kestrumr_session.h) fills, and the states their streams pass through.
 * A record written by hand need not behave so, even with whole words in
 * [0, B), base 4294967291 and borrow 0 or 1: the recurrence spreads a table
 * of small words (near 0 or near B) or of few distinct values only slowly,
 * its uniforms crowd at 0 and 1 for up to a few hundred steps, and a routine
 * drawing there can reach a bound.  43 zeros with borrow 1, 43 words 12345
 * with borrow 0, and zeros but xtab(1) = 1 and xtab(6) = 7 with borrow 0
 * each make zbqlgam_ with shape 3 give 0.0 and the message below at its
 * first call from the load-time positions.  The session interface refuses
 * such records (kestrumr_set_record in kestrumr_session.h).
 * Either event writes, once per exported call however often it happens in
 * that call,
 *     ""
 *     "     ****ERROR**** The generator table is degenerate: the record"
 *     "     ZBQL0001 gives no usable uniform variates. Seed it or restore it."
 *     ""
 * and the routine returns its illegal-parameter value: 0.0 for zbqlexp_,
 * zbqlgam_, zbqlbet1_, zbqlwei_, zbqlpar_, 0 for zbqlgeo_, zbqlbin_,
 * zbqlpoi_, zbqlnb_.  zbqlu01_ returns 0.5 and zbqluab_ and zbqlnor_
 * compute with it.  kestrum_, rpostcal_ and updatebb1_ run to the end (a
 * refused gamma draw makes a row's variance infinite, the pooled rate of
 * kestrum_ NaN), so the results of such a call are not meaningful.  The
 * message is written when the routine that met the record (a variate
 * routine, or the normal or gamma draw inside the larger routines) returns.
 * The record is left as the steps made it; the process stays usable (write
 * a sane record or seed, and the next call is normal).
 */

/* The generator record, members in this order. */
struct kestrumr_zbql0001 {
    double xtab[43]; /* lag table, integers in [0, base) */
    double base;     /* 4294967291.0 */
    double carry;    /* borrow of the last step, 0.0 or 1.0 */
};
KESTRUMR_API extern struct kestrumr_zbql0001 zbql0001_;
/* Marks the unit that supplies the record's load-time values; holds no data
 * any routine reads. */
KESTRUMR_API extern const int32_t zbqlbd01_;

/*
 * zbqlu01_ -- the next uniform variate on the open interval (0, 1).
 * [in] dummy  double. Never read (may point anywhere valid).
 * Returns x/B for the next word x in 1..B-1.  A zero word is never returned:
 * the generator steps again and divides that word by B^2 (and so on, up to
 * 31 zero words in a row).  The result lies in (0, 1) for any record; see
 * "Degenerate generator records" above (0.5 and a message for a table
 * that gives no value).
 */
KESTRUMR_API double zbqlu01_(const double *dummy);

/*
 * zbqluab_ -- a uniform variate between two limits, in either order:
 * lower + u*(upper - lower), u = zbqlu01_.
 * [in] lower, upper  double.
 * Equal limits: writes the warning
 *     ""
 *     "     ****WARNING**** (function ZBQLUAB) Upper and lower limits on uniform"
 *     "     distribution are identical"
 *     ""
 * and returns lower without drawing.  NaN limits are not equal: one draw,
 * NaN result.
 */
KESTRUMR_API double zbqluab_(const double *lower, const double *upper);

/*
 * zbqlini_ -- seed the generator's table, once per process.  Replaces the
 * 43 table words only: the borrow, the positions and the normal routine's
 * saved deviate are kept.
 * [in] seed  int32. Nonzero: s = fmod(seed, B), plus B when negative;
 *            0: s from the wall clock.
 * The table becomes xtab(1) = s, xtab(i) = fmod(xtab(i-1)*30269, B).
 * Call counter: the first call seeds (or tries to) and moves the counter
 * 0 -> 1; the second call changes nothing and writes
 *     "", "",
 *     "     ****WARNING**** You have called routine ZBQLINI more than"
 *     "     once. I'm ignoring any subsequent calls."
 *     "", ""
 * (counter 2); later calls return silently.
 * Clock path (seed 0): runs " date +%S%M%H%j > zbql1234.tmp", opens
 * "zbql1234.tmp" in the current directory under the file numbers 80..999
 * (one fopen(name, "a+") attempt each; an attempt fails when fopen returns
 * NULL), reads the record (3(I2),I3) = SS MM HH DDD, closes the file and
 * runs "rm zbql1234.tmp"; then s = fmod(T1 + T2 + T3 + T4, B) with
 * T1 = trunc(SS/60*B), T2 = trunc(MM/60*B), T3 = trunc(HH/24*B),
 * T4 = trunc(DDD/365*B).  On Linux both commands run through the shell
 * (std::system; statuses not examined).  In the Windows DLL no command is
 * run (cmd.exe's date would prompt): the library writes the nine-digit
 * local-time record SSMMHHDDD and a newline to the file itself, and removes
 * the file itself, in the same order of steps.
 * When all 920 opens fail (table unchanged, file not removed):
 *     "", "",
 *     "     **** ERROR **** In routine ZBQLINI, I couldn't find an"
 *     "     available file number. To rectify the problem, decrease the value of"
 *     "     the parameter LFLNO at the start of this routine (in file randgen)"
 *     "     and recompile. Any number less than 100 should work."
 * When the file's first line is not exactly nine digits (then only the line
 * end) with SS 00-60, MM 00-59, HH 00-23, DDD 001-366 -- for example when
 * the system has no date command -- the file is still closed and removed,
 * the table is left unchanged and this library writes:
 *     "", "",
 *     "     ****ERROR**** In routine ZBQLINI, the clock file zbql1234.tmp did"
 *     "     not hold the expected nine digits (seconds, minutes, hours, day of"
 *     "     the year). The generator's table is left unchanged."
 * In both failure cases the counter stays 1.  The one clock reading whose s
 * is 0 (00:00:00 on day 365) would fill the table with zeros, on which
 * zbqlu01_ could never return; s = 1 is used in its place.
 */
KESTRUMR_API void zbqlini_(const int32_t *seed);

/*
 * zbqlnor_ -- normal variate mu + sigma*z (Box-Muller).  Calls alternate:
 * one draws two uniforms, returns the cosine deviate and saves the sine
 * deviate unscaled; the next draws nothing and returns the saved deviate
 * scaled by its own mu and sigma.  No check: sigma = 0 gives mu, a negative
 * sigma mirrors the draw, NaN and infinities follow IEEE arithmetic.
 * [in] mu, sigma  double.
 */
KESTRUMR_API double zbqlnor_(const double *mu, const double *sigma);

/*
 * zbqlexp_ -- exponential variate with mean mu: -mu*ln U (one uniform;
 * mu = 0 gives 0, mu = +inf gives +inf).
 * [in] mu  double, >= 0.
 * mu < 0 or NaN: returns 0.0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLEXP", ""
 */
KESTRUMR_API double zbqlexp_(const double *mu);

/*
 * zbqlgam_ -- gamma variate, density proportional to x^(g-1) exp(-h x):
 * X/h for X ~ gamma(g, 1) by Ahrens-Dieter GS (g < 1), a ratio of uniforms
 * (1 <= g <= 10) or Cheng-Feast GKM3 (g > 10); two uniforms per attempt.
 * [in] g  double, shape > 0.   [in] h  double, rate > 0.
 * g or h <= 0 or NaN: returns 0.0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLGAM",
 *     "     (both parameters must be positive)", ""
 * g = +inf: +inf/h without drawing (NaN for h = +inf).
 */
KESTRUMR_API double zbqlgam_(const double *g, const double *h);

/*
 * zbqlbet1_ -- beta(a, b) variate: Johnk's method when a < 0.9 and b < 0.9,
 * otherwise g1/(g1 + g2) from gamma(a) then gamma(b).
 * [in] a, b  double, > 0.
 * a or b <= 0 or NaN: returns 0.0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLBET1",
 *     "     (both degrees of freedom must be positive)", ""
 * a = +inf: 1.0; b = +inf: 0.0; both: NaN (nothing drawn).  With subnormal
 * a and b, where both of Johnk's logarithm quotients overflow, the result is
 * 0.0, 1.0 or 0.5 by the sign of ln(u2)*a - ln(u1)*b.
 */
KESTRUMR_API double zbqlbet1_(const double *a, const double *b);

/*
 * zbqlwei_ -- Weibull variate b*(-ln U)^(1/a) (one uniform).
 * [in] a  double, shape > 0.   [in] b  double, scale > 0.
 * a or b <= 0 or NaN: returns 0.0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLWEI",
 *     "     (both parameters must be positive)", ""
 * b = +inf: +inf; a = +inf: b (after the draw).
 */
KESTRUMR_API double zbqlwei_(const double *a, const double *b);

/*
 * zbqlpar_ -- Pareto variate of the second kind, b*(U^(-1/a) - 1) (one
 * uniform), support x > 0.
 * [in] a  double, shape > 0.   [in] b  double, scale > 0.
 * a or b <= 0 or NaN: returns 0.0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLPAR",
 *     "     (both parameters must be positive)", ""
 * a = +inf: 0.0; b = +inf: +inf; both: NaN (after the draw).
 */
KESTRUMR_API double zbqlpar_(const double *a, const double *b);

/*
 * zbqlbin_ -- binomial variate: successes in n trials of probability p.
 * Splits by beta order statistics while 10 < trunc(N*P) + 1 < N - 10, then
 * counts geometric waiting times on the rarer side (nothing is drawn when
 * that side's probability is <= 1e-8).
 * [in] n  int32, > 0.   [in] p  double, 0 <= p <= 1.
 * Returns 0..n.  n <= 0, or p < 0, p > 1 or NaN: returns 0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLBIN", ""
 */
KESTRUMR_API int32_t zbqlbin_(const int32_t *n, const double *p);

/*
 * zbqlgeo_ -- geometric variate: trials up to and including the first
 * success.  p > 0.9: one uniform per trial; otherwise one uniform and
 * trunc(ln u / ln(1-p)) + 1 (with -p for ln(1-p) when p <= 1e-12).
 * [in] p  double, 0 <= p <= 1.
 * Returns >= 1, saturating at INT32_MAX (p = 0, p = -0.0, tiny p).
 * p < 0, p > 1 or NaN: returns 0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLGEO", ""
 */
KESTRUMR_API int32_t zbqlgeo_(const double *p);

/*
 * zbqlpoi_ -- Poisson variate with mean mu.  mu <= 1000: gamma splitting
 * down to a remaining mean <= 10, then a product of uniforms; mu > 1000:
 * rejection with a Lorentzian envelope, candidates of 2^31 or more redrawn.
 * [in] mu  double, >= 0.
 * Returns >= 0.  mu >= 2^31 (2147483648.0, also +inf): INT32_MAX without
 * drawing -- at such means most of the distribution lies beyond int32 and
 * the rejection method would (all but) never accept.
 * mu < 0 or NaN: returns 0 and writes
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLPOI", ""
 */
KESTRUMR_API int32_t zbqlpoi_(const double *mu);

/*
 * zbqlnb_ -- negative binomial variate: zbqlpoi_ of g*p/(1-p), g ~ gamma(r),
 * so mean r*p/(1-p).  A gamma-mixed mean of 2^31 or more gives INT32_MAX.
 * [in] r  double, shape > 0.   [in] p  double, 0 < p < 1.
 * r = +inf: INT32_MAX (nothing drawn).
 * r <= 0, p <= 0, p >= 1 or NaN: returns 0 and writes (no empty line after)
 *     "", "     ****ERROR**** Illegal parameter value in  ZBQLNB"
 */
KESTRUMR_API int32_t zbqlnb_(const double *r, const double *p);

/*
 * zbqllg_ -- ln Gamma(x), Lanczos series with six terms (reflection below
 * 1); exactly 0.0 when |x - 1| < 1e-12.
 * [in] x  double, > 0.
 * x <= 0 or NaN: NaN; x = +inf: +inf.  Below about 1e-16 the reflection's
 * w = 1 - x rounds to 1 and the result stays near 37.4 (the formula's own
 * arithmetic, kept).  Draws nothing.
 */
KESTRUMR_API double zbqllg_(const double *x);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUMR_H */
