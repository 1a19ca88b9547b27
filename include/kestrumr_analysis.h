/* kestrumr_analysis.h -- the whole analysis of a data matrix over a session.
 *
 * kestrumr_run (kestrumr_session.h) runs the sampler once, exactly as
 * kestrum_ does.  kestrumr_analyse runs the analysis a user should trust,
 * the one the command-line front end kestrum runs:
 *   1. rows that cannot be analysed are left out, with a status: a missing
 *      value (NaN), group statistics that overflow a double (an infinite
 *      value among them), a group variance that rounding makes negative,
 *      a group whose values are all equal -- or, with the row policy
 *      KESTRUMR_ROWS_FAIL, the analysis stops at the first of them;
 *   2. the rows that run are divided by one scale (by default a robust
 *      one: the median over rows of the pooled within-group standard
 *      deviation), so that the sampler's defaults suit the data whatever
 *      their units.  A prior the caller sets is in the data's units and is
 *      converted (hrate, mvar and effvar divided by the scale squared); a
 *      prior left at its default is meant for the standardised data and is
 *      used as it is.  The results come back in the data's units;
 *   3. several chains (4 by default), each with its own stream, run side by
 *      side; chain 1 draws from the session's generator (and leaves it
 *      where it ended), chain c >= 2 from a stream of its own made from the
 *      options' seed and c; each chain starts from a state fitted to the
 *      scaled rows (kestrumr_analysis_set_start).  Results are the same
 *      bits at every thread count;
 *   4. the chains are pooled: posterior means, the two tail frequencies
 *      with their Monte-Carlo standard errors, the differences of means
 *      with 95% credible bounds, the rank-normalised split R-hat, each
 *      row's effective sample size and a flag for rows whose chains do not
 *      mix;
 *   5. each row gets a continuous evidence score for the mean test and for
 *      the joint test, and q-values calibrated on analyses of null data
 *      made from the data with the group differences removed (the list at
 *      a chosen false-discovery rate);
 *   6. what should make a user doubt the results comes back as warning
 *      records (kestrumr_analysis_warning_*), for the host to raise in its
 *      own way: they are not written anywhere.
 * With the same data, options and seed the numbers are, bit for bit, those
 * the front end writes (kestrum --seed S with --digits 17).
 *
 * Options and results are opaque objects read and written through the
 * routines below only: a new option or result is a new routine, never a
 * change to a structure the caller fills.  Every routine that can fail
 * returns a status of kestrumr_session.h (KESTRUMR_OK, KESTRUMR_ERR_...).
 *
 * The header compiles as C (C89 and later with <stdint.h>) and as C++.
 */
#ifndef KESTRUMR_ANALYSIS_H
#define KESTRUMR_ANALYSIS_H

#include <stddef.h>
#include <stdint.h>

#include "kestrumr_session.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kestrumr_analysis_options kestrumr_analysis_options;
typedef struct kestrumr_analysis_results kestrumr_analysis_results;

/* ---- Options ----------------------------------------------------------
 *
 * A new options object holds the defaults: 4 chains, scale automatic,
 * burn-in 1000, kept 1000, no pooled model, the default priors (hshape 1,
 * hrate 1, mvar 10000 and 10000, effvar 10000 for every group after the
 * first, all meant for standardised data), rows omitted, a memory budget of
 * 1 GiB, threads 0 (the machine's cores, at most 256), seed 0, draws stored,
 * rate traces kept when they fit, chains started from the data.
 * kestrumr_analysis_options_new returns NULL when memory is short;
 * kestrumr_analysis_options_free accepts NULL.
 *
 * Every setter returns KESTRUMR_OK, or KESTRUMR_ERR_ARGUMENT for a NULL
 * options object or a value out of range; then the option keeps its value
 * and kestrumr_analysis_options_errmsg says what was wrong. */
KESTRUMR_API kestrumr_analysis_options* kestrumr_analysis_options_new(void);
KESTRUMR_API void kestrumr_analysis_options_free(kestrumr_analysis_options* options);

/* What the last failing setter went wrong with ("" when none failed yet;
 * "no options" for NULL).  Valid until the next call on the options. */
KESTRUMR_API const char* kestrumr_analysis_options_errmsg(const kestrumr_analysis_options* options);

/* chains  [in] int32, 1 .. 1024: independent chains, pooled. */
KESTRUMR_API int kestrumr_analysis_set_chains(kestrumr_analysis_options* options, int32_t chains);

/* Standardisation.
 * mode    [in] int32: KESTRUMR_SCALE_AUTO (the default: the median over
 *              the rows that run of their pooled within-group standard
 *              deviation; 1.0 when no row has a finite positive one),
 *              KESTRUMR_SCALE_NONE (the data as they are: the default
 *              priors then suit only data of spread about 1) or
 *              KESTRUMR_SCALE_VALUE (divide by value);
 * value   [in] double: the scale for KESTRUMR_SCALE_VALUE, a finite
 *              number > 0 whose square and its reciprocal are finite and
 *              > 0 (about 7.5e-155 .. 1.3e154); ignored otherwise. */
#define KESTRUMR_SCALE_NONE 0
#define KESTRUMR_SCALE_AUTO 1
#define KESTRUMR_SCALE_VALUE 2
KESTRUMR_API int kestrumr_analysis_set_scale(kestrumr_analysis_options* options, int32_t mode,
                                             double value);

/* burn    [in] int32 >= 0: burn-in iterations of every chain;
 * keep    [in] int32 >= 2: kept iterations of every chain (the difference
 *              tests need the spread of the kept draws). */
KESTRUMR_API int kestrumr_analysis_set_iterations(kestrumr_analysis_options* options,
                                                  int32_t burn, int32_t keep);

/* pooled  [in] int32: 1 also estimates a pooled mean and variance per row
 *              (the whole row as one group), 0 does not (the default). */
KESTRUMR_API int kestrumr_analysis_set_pooled(kestrumr_analysis_options* options, int32_t pooled);

/* Priors.  A prior set here counts as given: it is in the data's units and
 * is converted to the standardised data's (a rate or variance divided by
 * the scale squared; hshape has no units).
 * hshape  [in] double, finite >= 0: shape of the hyper-prior of the group
 *              variance rates (default 1);
 * hrate   [in] double, finite >= 0: its rate (default 1);
 * mvar1, mvar2 [in] double, finite > 0: the prior variances of the row
 *              mean and of the group deviations (default 10000 each);
 * effvar  [in] double[count], finite > 0 each: the prior variances of the
 *              group effects; count 1 gives every group after the first the
 *              same value, otherwise count must equal ngrp - 1 at
 *              kestrumr_analyse (default one value, 10000);
 * count   [in] size_t, 1 .. 1023. */
KESTRUMR_API int kestrumr_analysis_set_hshape(kestrumr_analysis_options* options, double hshape);
KESTRUMR_API int kestrumr_analysis_set_hrate(kestrumr_analysis_options* options, double hrate);
KESTRUMR_API int kestrumr_analysis_set_mvar(kestrumr_analysis_options* options, double mvar1,
                                            double mvar2);
KESTRUMR_API int kestrumr_analysis_set_effvar(kestrumr_analysis_options* options,
                                              const double* effvar, size_t count);

/* policy  [in] int32: KESTRUMR_ROWS_OMIT (the default) leaves a row that
 *              cannot be analysed out (its results NaN, its status set, a
 *              warning record); KESTRUMR_ROWS_FAIL makes kestrumr_analyse
 *              stop with KESTRUMR_ERR_ARGUMENT at the first such row.
 *              Rows whose draws become non-finite during the run are
 *              marked either way (KESTRUMR_ROW_NOT_FINITE). */
#define KESTRUMR_ROWS_OMIT 0
#define KESTRUMR_ROWS_FAIL 1
KESTRUMR_API int kestrumr_analysis_set_row_policy(kestrumr_analysis_options* options,
                                                  int32_t policy);

/* bytes   [in] uint64, >= 1048576: the memory the rate traces, the stored
 *              draws of the contrasts and the sampler's contrast stores of
 *              all chains may take together (default 1 GiB).  The stored
 *              draws are thinned to fit; an analysis whose stored draws do
 *              not fit even with 100 draws a chain fails with
 *              KESTRUMR_ERR_MEMORY; traces that take more than an eighth
 *              are not kept (a warning record). */
KESTRUMR_API int kestrumr_analysis_set_memory_budget(kestrumr_analysis_options* options,
                                                     uint64_t bytes);

/* threads [in] int32, 0 .. 1024: threads in all (0, the default: the
 *              machine's cores, at most 256).  The session's own
 *              kestrumr_set_threads applies to kestrumr_run only. */
KESTRUMR_API int kestrumr_analysis_set_threads(kestrumr_analysis_options* options, int32_t threads);

/* seed    [in] int64, 0 .. 2147483647.  A seed S >= 1 seeds the session
 *              once kestrumr_analyse has checked its arguments and options
 *              (a call refused for them leaves the generator as it was),
 *              as kestrumr_seed(session, S) does (the state a newly
 *              loaded library has after zbqlini_ with S), and chains c >= 2
 *              start from streams made from (S, c): the front end's
 *              --seed S.  Seed 0 (the default) runs chain 1 on the
 *              session's generator as it stands (a new session: the
 *              built-in table, as the front end without --seed) and
 *              chains c >= 2 from (0, c), the same for every session: give
 *              a seed for chains independent of another analysis'. */
KESTRUMR_API int kestrumr_analysis_set_seed(kestrumr_analysis_options* options, int64_t seed);

/* draws   [in] int32: 1 (the default) stores thinned draws of the mean
 *              contrasts, for the credible bounds, R-hat and the joint
 *              frequency of two groups; 0 does not (those are NaN, less
 *              memory; the front end's --columns basic). */
KESTRUMR_API int kestrumr_analysis_set_draws(kestrumr_analysis_options* options, int32_t draws);

/* traces  [in] int32: 0 (the default) keeps the rate traces of every chain
 *              when they take at most an eighth of the memory budget and
 *              warns (KESTRUMR_WARNING_NOT_TRACED) when they do not; 1
 *              requires them: an analysis whose traces do not fit fails
 *              (KESTRUMR_ERR_MEMORY, KESTRUMR_FAILURE_TRACES) before any
 *              draw (the front end's --diagnostics). */
KESTRUMR_API int kestrumr_analysis_set_traces(kestrumr_analysis_options* options, int32_t traces);

/* False-discovery control: the q-values of the evidence scores
 * (KESTRUMR_COLUMN_Q_MEAN, KESTRUMR_COLUMN_Q_JOINT) are calibrated on
 * analyses of null data made from the data with the group differences
 * removed (half of them for each test).
 * level   [in] double, 0 < level < 1: the false-discovery rate the rows
 *              called are counted at (kestrumr_analysis_fdr_calls; default
 *              0.05); the q-values do not depend on it;
 * count   [in] int32, 0 .. 1024 or KESTRUMR_PERMUTATIONS_AUTO (the
 *              default): the null analyses, each one chain of the observed
 *              run's length on a stream of its own made from the seed and
 *              the analysis, started as the observed chains are
 *              (kestrumr_analysis_set_start; the data start fitted to the
 *              null data), so the q-values are the same bits at every
 *              thread count; 0 gives no q-values (NaN) and no extra run
 *              time.  AUTO takes as many as the size of the table asks
 *              for: with R rows that run, the least even count giving each
 *              test 20 000 null scores (count / 2 * R >= 20 000), at least
 *              4 and at most 16 -- 4 from 10 000 rows up, 8 for 5000, 16
 *              below 2858.  A row's q-value resolves its null tail only
 *              down to about 1 / (the null scores + 1), and with few null
 *              scores that floor, not the evidence, is what keeps the
 *              strongest rows of a short list from being called.
 *              kestrumr_analysis_permutations gives the count a run took. */
#define KESTRUMR_PERMUTATIONS_AUTO (-1)
KESTRUMR_API int kestrumr_analysis_set_fdr(kestrumr_analysis_options* options, double level);
KESTRUMR_API int kestrumr_analysis_set_permutations(kestrumr_analysis_options* options,
                                                    int32_t count);
/* mode    [in] int32: where every chain starts.  KESTRUMR_START_DATA (the
 *              default): from a state fitted to the rows that run, after
 *              scaling -- each group mean and variance drawn from the row's
 *              posterior given the variance rates, the rates at their
 *              fixed point with the rows' variances and then at their
 *              conditional modes given the chain's draws; each chain draws
 *              its own from the seed and its number, so chains differ as
 *              the posterior spreads, the same at every thread count.
 *              KESTRUMR_START_FIXED: every group mean 0, every variance 1,
 *              every rate 2, as kestrum_ starts (one chain, no scale and
 *              seed S then give kestrum_'s numbers after zbqlini_ with S).
 *              The fixed start lies far in the tail for data whose groups
 *              differ several-fold in variance or lie far from 0, where the
 *              rate update can stick (KESTRUMR_WARNING_STUCK_RATE). */
#define KESTRUMR_START_FIXED 0
#define KESTRUMR_START_DATA 1
KESTRUMR_API int kestrumr_analysis_set_start(kestrumr_analysis_options* options, int32_t mode);

/* ---- One row ------------------------------------------------------------
 *
 * The screen kestrumr_analyse applies to every row before its run, for a
 * host that reports the rows left out in its own words before the run:
 * x       [in] double[ntot]: the row's values, group after group (the
 *              nobs[0] values of group 1 first, ...);
 * pooled  [in] int32 0 or 1: whether the pooled statistics are checked too
 *              (as kestrumr_analysis_set_pooled);
 * ngrp, ntot, nobs as for kestrumr_analyse;
 * status  [out] int32: KESTRUMR_ROW_OK, KESTRUMR_ROW_MISSING (a NaN
 *              value), KESTRUMR_ROW_OVERFLOW, KESTRUMR_ROW_ROUNDING or
 *              KESTRUMR_ROW_NO_SPREAD (kestrumr_analysis_row_status);
 * group   [out] int32, or NULL: the group concerned (0-based), -1 for the
 *              pooled statistics or when none is;
 * ybar, s2 [out] double[ngrp], or NULL: the group means and variances as
 *              the sampler computes them (not written for a missing
 *              value).
 * Returns KESTRUMR_OK, or KESTRUMR_ERR_ARGUMENT for a NULL x, nobs or
 * status, ngrp < 1, pooled not 0 or 1, a group of fewer than 2
 * observations or sizes that do not add up to ntot (status untouched);
 * KESTRUMR_ERR_MEMORY when ybar or s2 is NULL and memory is short. */
KESTRUMR_API int kestrumr_analysis_screen_row(const double* x, int32_t pooled, int32_t ngrp,
                                              int32_t ntot, const int32_t* nobs, int32_t* status,
                                              int32_t* group, double* ybar, double* s2);

/* ---- The analysis -----------------------------------------------------
 *
 * session [in,out] the session: its generator feeds chain 1 and is left
 *              where chain 1 ended (also when cancelled); its message
 *              callback receives the library's fixed-text messages; its
 *              progress callback is called on the calling thread after
 *              each iteration of the chains that thread runs, with the
 *              iterations done in all chains and their total (the
 *              null analyses of the q-values counted in), and a
 *              nonzero return abandons the analysis (KESTRUMR_ERR_CANCELLED).
 *              Its kestrumr_errmsg tells why an analysis failed;
 * options [in] the options, or NULL for the defaults;
 * nrow    [in] int32 >= 0: L, rows;
 * ngrp    [in] int32 >= 1: J, groups;
 * nobs    [in] int32[J]: observations per group, each >= 2;
 * ntot    [in] int32: N, observations per row, the sum of nobs;
 * ydata   [in] double[L x N], column by column (leading dimension L), the
 *              nobs[0] columns of group 1 first, then group 2's, ...; a
 *              NaN is a missing value;
 * out     [out] receives a new results object on KESTRUMR_OK, NULL on
 *              any failure.  Release it with kestrumr_analysis_results_free.
 * Returns KESTRUMR_OK; KESTRUMR_ERR_ARGUMENT for a NULL pointer, an option
 * that does not fit the data (effvar's count), a group of fewer than 2
 * observations, sizes that do not add up to ntot, no row left to analyse,
 * a row that cannot be analysed under KESTRUMR_ROWS_FAIL, standardised
 * data or priors out of a double's range; KESTRUMR_ERR_MEMORY when memory
 * (or the memory budget) is short; KESTRUMR_ERR_CANCELLED. */
KESTRUMR_API int kestrumr_analyse(kestrumr_session* session, const kestrumr_analysis_options* options,
                                  int32_t nrow, int32_t ngrp, const int32_t* nobs, int32_t ntot,
                                  const double* ydata, kestrumr_analysis_results** out);

KESTRUMR_API void kestrumr_analysis_results_free(kestrumr_analysis_results* results);

/* ---- Results ----------------------------------------------------------
 *
 * The extents of the analysis: rows L, groups J, chains C (0 for NULL). */
KESTRUMR_API int32_t kestrumr_analysis_nrow(const kestrumr_analysis_results* results);
KESTRUMR_API int32_t kestrumr_analysis_ngrp(const kestrumr_analysis_results* results);
KESTRUMR_API int32_t kestrumr_analysis_nchains(const kestrumr_analysis_results* results);

/* The scale the data were divided by (1.0 with KESTRUMR_SCALE_NONE; NaN
 * for NULL and when the analysis failed before it was known). */
KESTRUMR_API double kestrumr_analysis_scale(const kestrumr_analysis_results* results);

/* One column of results, one value per row in the input's order, NaN for a
 * row without a result (status not KESTRUMR_ROW_OK).
 * column  [in] int32, one of
 *   KESTRUMR_COLUMN_MEAN, KESTRUMR_COLUMN_VAR: posterior mean of the group
 *     mean, of the group variance, of group `group` (0 .. J-1);
 *   KESTRUMR_COLUMN_POOLED_MEAN, KESTRUMR_COLUMN_POOLED_VAR: of the pooled
 *     mean and variance (NaN without the pooled model);
 *   KESTRUMR_COLUMN_DIFF: posterior mean of mean(group) - mean(group 0);
 *   KESTRUMR_COLUMN_LO, KESTRUMR_COLUMN_HI: its 2.5% and 97.5% quantiles
 *     over the stored draws of all chains (group 1 .. J-1 for these three);
 *   KESTRUMR_COLUMN_P_MEAN, KESTRUMR_COLUMN_P_JOINT: the two tail
 *     frequencies (NaN for J = 1), pooled over the chains;
 *   KESTRUMR_COLUMN_P_MEAN_MCSE, KESTRUMR_COLUMN_P_JOINT_MCSE: their
 *     Monte-Carlo standard errors.  A frequency f is the mean of a test's
 *     indicator over the C*K kept draws, so its error is
 *     sqrt(phi * f * (1 - f) / E): E the effective sample size of the mean
 *     test's indicator, recomputed on the stored draws of every chain
 *     (each chain's stored contrasts judged against their own covariance,
 *     as the run judges its kept draws; the chains split in halves, their
 *     autocorrelations pooled as for ESS below); phi one factor per run
 *     and frequency, the sum over the rows that are not flagged of the
 *     spread of the chains' own frequencies (their variance / C) over the
 *     sum of f * (1 - f) / E (at least 1 / the thinning step): the stored
 *     draws are every step-th kept draw, and phi puts back what the draws
 *     in between add, measured on thousands of rows at once.  With one
 *     chain phi is 1; without stored draws the error is the sd over
 *     chains / sqrt(C) (NaN with one chain);
 *   KESTRUMR_COLUMN_RHAT: the largest rank-normalised split R-hat of the
 *     row's mean contrasts (NaN for J = 1 or without stored draws);
 *   KESTRUMR_COLUMN_SCORE_MEAN, KESTRUMR_COLUMN_SCORE_JOINT: the evidence
 *     scores, continuous (no ties where the data do not tie).  score_mean:
 *     the squared length of the posterior mean of the mean contrasts
 *     (every kept draw of every chain) in the metric of their covariance
 *     under group variances moderated across rows and within the row --
 *     each row's pooled variance drawn towards a prior fitted to all rows,
 *     each group's towards its row's, both strengths estimated from the
 *     table -- so it is a moderated t^2 for two groups and J - 1 times a
 *     moderated F for more.  score_joint: the squared length of the
 *     posterior mean of the mean and cube-root variance contrasts jointly
 *     in the metric of their posterior covariance.  NaN for J = 1 or
 *     J > 16;
 *   KESTRUMR_COLUMN_Q_MEAN, KESTRUMR_COLUMN_Q_JOINT: their q-values, the
 *     smallest false-discovery rate at which the row is called, from the
 *     permuted analyses (kestrumr_analysis_set_permutations; NaN with 0 of
 *     them); the rows with q <= A are the list at level A;
 *   KESTRUMR_COLUMN_ESS: the smallest bulk effective sample size of the
 *     row's mean contrasts over the stored draws of all chains (rank-
 *     normalised, each chain split in halves; autocorrelations within the
 *     halves pooled with the spread between them, so halves that disagree
 *     give a small ESS), at most about C times the draws a chain stores
 *     (NaN where R-hat is);
 *   KESTRUMR_COLUMN_RHAT_FLAG: 1 when the row's chains do not mix, 0 when
 *     they do, NaN where R-hat is.  For each of the row's mean contrasts,
 *     bulk (rank-normalised draws) and tail (the same of their distance to
 *     the median), with M = 2C half-chains of n draws, W their mean
 *     variance, B/n the variance of their means and tau their integrated
 *     autocorrelation time about their own means, X = (M - 1) (B/n) /
 *     (W tau / n) -- the R-hat's excess R-hat^2 - (n - 1)/n = (B/n)/W in
 *     units of its own sampling spread -- is about chi-square with M - 1
 *     degrees of freedom when the chains mix.  A row is flagged when its
 *     largest X exceeds the upper 0.05 / (2 (J - 1) R) quantile of that
 *     distribution, R the rows judged: by Bonferroni's bound a table whose
 *     chains all mix has a flagged row with probability at most 5%
 *     whatever its size, while chains that sample different distributions
 *     give an X that grows with their length.  A fixed R-hat threshold
 *     (1.01) is passed by some rows of nearly every large table;
 * group   [in] int32: the group, for the columns that have one (ignored by
 *              the others);
 * values  [out] double[count]: receives L values;
 * count   [in] size_t >= L.
 * KESTRUMR_ERR_ARGUMENT for a NULL pointer, an unknown column, a group out
 * of range or count < L. */
#define KESTRUMR_COLUMN_MEAN 1
#define KESTRUMR_COLUMN_VAR 2
#define KESTRUMR_COLUMN_POOLED_MEAN 3
#define KESTRUMR_COLUMN_POOLED_VAR 4
#define KESTRUMR_COLUMN_DIFF 5
#define KESTRUMR_COLUMN_LO 6
#define KESTRUMR_COLUMN_HI 7
#define KESTRUMR_COLUMN_P_MEAN 8
#define KESTRUMR_COLUMN_P_MEAN_MCSE 9
#define KESTRUMR_COLUMN_P_JOINT 10
#define KESTRUMR_COLUMN_P_JOINT_MCSE 11
#define KESTRUMR_COLUMN_RHAT 12
#define KESTRUMR_COLUMN_SCORE_MEAN 13
#define KESTRUMR_COLUMN_SCORE_JOINT 14
#define KESTRUMR_COLUMN_Q_MEAN 15
#define KESTRUMR_COLUMN_Q_JOINT 16
#define KESTRUMR_COLUMN_ESS 17
#define KESTRUMR_COLUMN_RHAT_FLAG 18
KESTRUMR_API int kestrumr_analysis_column(const kestrumr_analysis_results* results, int32_t column,
                                          int32_t group, double* values, size_t count);

/* The list at the level of kestrumr_analysis_set_fdr: the number of rows
 * whose q-value (column KESTRUMR_COLUMN_Q_MEAN or KESTRUMR_COLUMN_Q_JOINT)
 * is at most the level; -1 for NULL results or another column.  The level
 * itself (NaN for NULL). */
KESTRUMR_API int64_t kestrumr_analysis_fdr_calls(const kestrumr_analysis_results* results,
                                                 int32_t column);
KESTRUMR_API double kestrumr_analysis_fdr_level(const kestrumr_analysis_results* results);
/* The null analyses the q-values were calibrated on (the count AUTO chose,
 * or the one given); 0 when there are no q-values, -1 for NULL. */
KESTRUMR_API int32_t kestrumr_analysis_permutations(const kestrumr_analysis_results* results);

/* Each row's status, in the input's order:
 *   KESTRUMR_ROW_OK (0)         analysed, its results finite;
 *   KESTRUMR_ROW_NO_SPREAD (1)  left out: a group's values are all equal;
 *   KESTRUMR_ROW_NOT_FINITE (2) its draws became non-finite in the run;
 *   KESTRUMR_ROW_MISSING (3)    left out: a value is missing (NaN);
 *   KESTRUMR_ROW_OVERFLOW (4)   left out: its group (or pooled) mean or
 *                               variance overflows a double;
 *   KESTRUMR_ROW_ROUNDING (5)   left out: a group variance comes out
 *                               negative from rounding.
 * status  [out] int32[count]: receives L statuses;
 * count   [in] size_t >= L.  KESTRUMR_ERR_ARGUMENT otherwise. */
#define KESTRUMR_ROW_MISSING 3
#define KESTRUMR_ROW_OVERFLOW 4
#define KESTRUMR_ROW_ROUNDING 5
KESTRUMR_API int kestrumr_analysis_row_status(const kestrumr_analysis_results* results,
                                              int32_t* status, size_t count);

/* The rate update of chain `chain` (0 .. C-1), group `group` (0 .. J-1):
 * what  [in] int32, one of
 *   KESTRUMR_RATE_BURN_ACCEPTANCE, KESTRUMR_RATE_LATE_BURN_ACCEPTANCE,
 *   KESTRUMR_RATE_KEEP_ACCEPTANCE: the share of its trials accepted during
 *     the burn-in, the burn-in's second half, the kept iterations (NaN for
 *     an empty phase);
 *   KESTRUMR_RATE_LAST: the rate after the last iteration, in the data's
 *     units;
 *   KESTRUMR_RATE_STUCK: 1 when fewer than 1% of the trials of the second
 *     half of the burn-in (of the kept iterations when burn < 2) were
 *     accepted or the rate never left its start, else 0 (0 when fewer than
 *     10 iterations are there to judge);
 * value [out] double.
 * KESTRUMR_ERR_ARGUMENT for a NULL pointer or an index or `what` out of
 * range; KESTRUMR_ERR_STATE when the traces were not kept (memory budget,
 * or the analysis failed). */
#define KESTRUMR_RATE_BURN_ACCEPTANCE 1
#define KESTRUMR_RATE_LATE_BURN_ACCEPTANCE 2
#define KESTRUMR_RATE_KEEP_ACCEPTANCE 3
#define KESTRUMR_RATE_LAST 4
#define KESTRUMR_RATE_STUCK 5
KESTRUMR_API int kestrumr_analysis_rate(const kestrumr_analysis_results* results, int32_t chain,
                                        int32_t group, int32_t what, double* value);

/* The whole rate trace of chain `chain`: for iteration t (0-based, burn-in
 * first) and group j, rates[t*J + j] the rate after its update (data
 * units), accepted[t*J + j] the trials accepted (0 .. 10).  count, the
 * elements each array holds, must be at least
 * kestrumr_analysis_rate_trace_size() = (burn + keep) * J (0 when the
 * traces were not kept).  Either array may be NULL. */
KESTRUMR_API size_t kestrumr_analysis_rate_trace_size(const kestrumr_analysis_results* results);
KESTRUMR_API int kestrumr_analysis_rate_trace(const kestrumr_analysis_results* results,
                                              int32_t chain, double* rates, int32_t* accepted,
                                              size_t count);

/* Warnings, in the order the analysis met them, index 0 .. count-1:
 *   kind:  KESTRUMR_WARNING_ROWS_LEFT_OUT (rows screened out before the
 *          run: one record for missing values, one for the others),
 *          KESTRUMR_WARNING_NOT_FINITE (rows whose draws became non-finite:
 *          the shared rates may have stopped, the other rows are doubtful),
 *          KESTRUMR_WARNING_SCALE (the data were divided by a scale: a
 *          note rather than a fault), KESTRUMR_WARNING_MEAN_PRIOR (group
 *          means far beyond the prior of the means: results pulled
 *          towards 0), KESTRUMR_WARNING_NOT_TRACED (the rate traces did
 *          not fit the memory budget: the rate update is not checked),
 *          KESTRUMR_WARNING_STUCK_RATE (a chain's rate update stuck: the
 *          results are not to be trusted), KESTRUMR_WARNING_RHAT (rows on
 *          which the chains disagree: those with rhat_flag 1, named in
 *          the text); 0 for an index out of range;
 *   chain, group: 0-based, -1 when the warning is not about one;
 *   rows:  the number of rows concerned (0 when none in particular);
 *   text:  one line in English saying what happened and what to do
 *          (valid as long as the results; "" for an index out of range).
 * Every getter takes NULL results as having no warnings. */
#define KESTRUMR_WARNING_ROWS_LEFT_OUT 1
#define KESTRUMR_WARNING_NOT_FINITE 2
#define KESTRUMR_WARNING_SCALE 3
#define KESTRUMR_WARNING_MEAN_PRIOR 4
#define KESTRUMR_WARNING_NOT_TRACED 5
#define KESTRUMR_WARNING_STUCK_RATE 6
#define KESTRUMR_WARNING_RHAT 7
KESTRUMR_API size_t kestrumr_analysis_warning_count(const kestrumr_analysis_results* results);
KESTRUMR_API int32_t kestrumr_analysis_warning_kind(const kestrumr_analysis_results* results,
                                                    size_t index);
KESTRUMR_API int32_t kestrumr_analysis_warning_chain(const kestrumr_analysis_results* results,
                                                     size_t index);
KESTRUMR_API int32_t kestrumr_analysis_warning_group(const kestrumr_analysis_results* results,
                                                     size_t index);
KESTRUMR_API int64_t kestrumr_analysis_warning_rows(const kestrumr_analysis_results* results,
                                                    size_t index);
KESTRUMR_API const char* kestrumr_analysis_warning_text(const kestrumr_analysis_results* results,
                                                        size_t index);

/* The numbers behind a warning's text, for a host that words it its own
 * way; which 0 or 1 (the first, the second), NaN where the kind has none
 * (and for an index or which out of range):
 *   KESTRUMR_WARNING_SCALE:       0 the scale;
 *   KESTRUMR_WARNING_MEAN_PRIOR:  0 the largest absolute group mean, 1 the
 *                                 smaller prior variance of the means (in
 *                                 the data's units);
 *   KESTRUMR_WARNING_NOT_TRACED:  0 the MiB the rate traces would take;
 *   KESTRUMR_WARNING_STUCK_RATE:  0 the share of trials accepted, 1 the
 *                                 rate (data units), both at the end of
 *                                 the iterations judged;
 *   KESTRUMR_WARNING_RHAT:        0 the number of rows that ran. */
KESTRUMR_API double kestrumr_analysis_warning_value(const kestrumr_analysis_results* results,
                                                    size_t index, int32_t which);

/* ---- Why an analysis failed -------------------------------------------
 *
 * After kestrumr_analyse returned anything but KESTRUMR_OK, the session
 * holds, beside kestrumr_errmsg's sentence, the details a host needs to
 * word the failure its own way (a new call of kestrumr_analyse replaces
 * them; KESTRUMR_FAILURE_NONE after a call that succeeded):
 *   KESTRUMR_FAILURE_ARGUMENTS      the options do not fit the data, or a
 *                                   NULL pointer;
 *   KESTRUMR_FAILURE_ROW_POLICY     KESTRUMR_ROWS_FAIL and row `row` cannot
 *                                   be analysed (reason, group);
 *   KESTRUMR_FAILURE_NO_ROWS        every row was left out;
 *   KESTRUMR_FAILURE_SCALED_ROW     row `row` divided by the scale cannot be
 *                                   analysed (reason, group);
 *   KESTRUMR_FAILURE_SCALED_PRIOR   the prior `prior` ("hrate", "mvar" or
 *                                   "effvar") divided by the scale squared
 *                                   comes out as value 0, out of its range;
 *   KESTRUMR_FAILURE_UNUSABLE_SCALE the scale (value 0) squared under- or
 *                                   overflows a double;
 *   KESTRUMR_FAILURE_OVER_BUDGET    the stored draws do not fit the memory
 *                                   budget (value 0, MiB), not even the
 *                                   fewest a chain stores (value 1);
 *   KESTRUMR_FAILURE_TRACES         the rate traces (value 0, MiB) do not
 *                                   fit the budget (value 1, MiB): only
 *                                   when the traces are required;
 *   KESTRUMR_FAILURE_MEMORY         memory ran short;
 *   KESTRUMR_FAILURE_CANCELLED      the progress callback asked to stop.
 * row: 0-based, -1 when the failure is not about a row; reason: the row's
 * KESTRUMR_ROW_ status; group: 0-based, -1 for the pooled statistics or
 * when not about a group; prior: "" when not about a prior; value: which
 * 0 or 1, NaN where the kind has none.  A NULL session reads as
 * KESTRUMR_FAILURE_NONE, -1, "" and NaN.
 *
 * kestrumr_analysis_failed_results gives what the failed analysis met
 * before it stopped -- its scale (kestrumr_analysis_scale: NaN when it
 * stopped before the scale was known) and its warnings so far (the scale
 * note, for one) -- for the results getters to read; its columns are NaN.
 * It belongs to the session: valid until the next kestrumr_analyse or
 * kestrumr_session_free, never to be freed by the caller.  NULL after a
 * call that succeeded or was refused before it began (a NULL pointer for
 * out, memory). */
#define KESTRUMR_FAILURE_NONE 0
#define KESTRUMR_FAILURE_ARGUMENTS 1
#define KESTRUMR_FAILURE_ROW_POLICY 2
#define KESTRUMR_FAILURE_NO_ROWS 3
#define KESTRUMR_FAILURE_SCALED_ROW 4
#define KESTRUMR_FAILURE_SCALED_PRIOR 5
#define KESTRUMR_FAILURE_UNUSABLE_SCALE 6
#define KESTRUMR_FAILURE_OVER_BUDGET 7
#define KESTRUMR_FAILURE_TRACES 8
#define KESTRUMR_FAILURE_MEMORY 9
#define KESTRUMR_FAILURE_CANCELLED 10
KESTRUMR_API const kestrumr_analysis_results* kestrumr_analysis_failed_results(
    const kestrumr_session* session);
KESTRUMR_API int32_t kestrumr_analysis_failure(const kestrumr_session* session);
KESTRUMR_API int64_t kestrumr_analysis_failure_row(const kestrumr_session* session);
KESTRUMR_API int32_t kestrumr_analysis_failure_reason(const kestrumr_session* session);
KESTRUMR_API int32_t kestrumr_analysis_failure_group(const kestrumr_session* session);
KESTRUMR_API const char* kestrumr_analysis_failure_prior(const kestrumr_session* session);
KESTRUMR_API double kestrumr_analysis_failure_value(const kestrumr_session* session, int32_t which);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUMR_ANALYSIS_H */
