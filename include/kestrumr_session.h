/* kestrumr_session.h -- the reentrant session interface of kestrumr.
 *
 * The routines of kestrumr.h keep process-wide state: one generator record
 * (zbql0001_), the normal routine's saved deviate and the rate update's
 * shared blocks, so their calls must not overlap.  A session owns its own
 * copy of all of that (generator record and positions, saved normal
 * deviate, the five blocks, workspace), so
 *   - two sessions never influence each other's results, and
 *   - different sessions may be used at the same time from different
 *     threads (one session must not be used by two threads at once).
 *
 * A new session starts from the generator's built-in table, exactly as a
 * freshly loaded library does: kestrumr_run on a new session gives, bit
 * for bit, what kestrum_ gives as the first call of a new process with the
 * same arguments.  More generally kestrumr_run equals kestrum_ bit for bit
 * whenever the session's generator state equals the process's, for every
 * problem in which every row runs and gives finite results (rows with a
 * group whose values are all equal are left out of the run, and rows whose
 * draws become non-finite get NaN results: see kestrumr_run).
 *
 * Every routine that can fail returns a status (KESTRUMR_OK or one of the
 * KESTRUMR_ERR_ codes) and never crashes on a bad argument; after a failure
 * kestrumr_errmsg tells what went wrong.  A run that fails leaves every
 * output element it was given set to NaN: no output is left unwritten.
 */
#ifndef KESTRUMR_SESSION_H
#define KESTRUMR_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include "kestrumr.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Library version: also kestrumr_version() at run time. */
#define KESTRUMR_VERSION_MAJOR 0
#define KESTRUMR_VERSION_MINOR 1
#define KESTRUMR_VERSION_PATCH 0
#define KESTRUMR_VERSION_STRING "0.1.0"

/* Status codes. */
#define KESTRUMR_OK 0
#define KESTRUMR_ERR_ARGUMENT 1  /* a null pointer, a bad count or size, ... */
#define KESTRUMR_ERR_MEMORY 2    /* the workspace could not be obtained */
#define KESTRUMR_ERR_CANCELLED 3 /* the progress callback asked to stop */
#define KESTRUMR_ERR_STATE 4     /* a saved generator state that does not fit */

typedef struct kestrumr_session kestrumr_session;

/* "MAJOR.MINOR.PATCH" of the library actually loaded. */
KESTRUMR_API const char* kestrumr_version(void);

/* A new session (NULL when memory is short); release with
 * kestrumr_session_free (NULL is accepted and ignored). */
KESTRUMR_API kestrumr_session* kestrumr_session_new(void);
KESTRUMR_API void kestrumr_session_free(kestrumr_session* session);

/* What the last failing call on this session went wrong with (an empty
 * string when nothing failed yet; "no session" for NULL).  A call that
 * succeeds leaves the text as it was.  The text stays valid until the next
 * call on the session.  A routine given a NULL session returns
 * KESTRUMR_ERR_ARGUMENT and has no session to record the text in. */
KESTRUMR_API const char* kestrumr_errmsg(const kestrumr_session* session);

/* Seeds the session's generator.  A seed from 1 to 2147483647 gives exactly
 * the generator state that a newly loaded library has after zbqlini_ with
 * that seed (so results equal those of the command-line front end's
 * --seed); any other value (0, or above 2147483647) fills the table from
 * all 64 bits by a fixed mixing function (43 words in 0..B-1, B the base,
 * never all zero).  Either way the borrow is 0, the positions restart and
 * the saved normal deviate is cleared, so the same seed always gives the
 * same stream.  May be repeated any number of times; the process-wide
 * generator and zbqlini_'s once-per-process rule are not touched. */
KESTRUMR_API int kestrumr_seed(kestrumr_session* session, uint64_t seed);

/* Takes the caller's generator record as the session's (the positions and
 * the saved normal deviate restart as after loading).  The record must be
 * one the generator can run on:
 *   - base 4294967291, every word a whole number from 0 to base - 1,
 *     borrow 0 or 1;
 *   - not 43 equal words: the recurrence's two fixed points (all 0 with
 *     borrow 0, all base - 1 with borrow 1) are such tables, and from any
 *     other one it starts with 22 words 0 or base - 1 in a row;
 *   - not degenerate from its first draws: none of the bounded loops of the
 *     variate routines of kestrumr.h meets the degenerate-table event (see
 *     "Degenerate generator records" there) within 1000 draws from the
 *     record (positions as after loading), each method drawing from a copy
 *     of its own: the uniform (its run of zero words), gamma with shapes
 *     0.5, 3 and 20, beta (0.5, 0.5), geometric (0.95), binomial (20, 0.5)
 *     and (1000, 0.3), Poisson 5, 500 and 5000.  This refuses, for
 *     example, 41 zeros with the words 1 and 7 in xtab(1) and xtab(6).
 * Otherwise KESTRUMR_ERR_STATE, kestrumr_errmsg tells which rule, and the
 * session is left unchanged.  The check takes a few milliseconds. */
KESTRUMR_API int kestrumr_set_record(kestrumr_session* session,
                                     const struct kestrumr_zbql0001* record);

/* The complete generator state (record, positions, saved normal deviate)
 * as an opaque byte string of kestrumr_state_size() bytes: restoring it
 * makes the session draw exactly what it would have drawn after the save.
 * The bytes hold the numbers in the machine's byte order, behind a tag;
 * they may be restored into any session of a library of this version on a
 * machine of the same byte order.  kestrumr_save_state needs size >=
 * kestrumr_state_size() (KESTRUMR_ERR_ARGUMENT otherwise) and writes that
 * many bytes.  kestrumr_restore_state needs exactly that size, the tag and
 * a state the generator can reach and run on: positions that move
 * together, a record kestrumr_set_record takes (the first-draws check made
 * from the saved positions), and a saved normal deviate a draw
 * can give -- a finite z with |z| <= sqrt(-2 ln(1/B^32)) = 37.677...,
 * the Box-Muller radius of the smallest uniform the generator returns (a
 * word 1 after 31 zero words; B the base).  Anything else gives
 * KESTRUMR_ERR_STATE and leaves the session unchanged. */
KESTRUMR_API size_t kestrumr_state_size(void);
KESTRUMR_API int kestrumr_save_state(const kestrumr_session* session, void* buffer,
                                     size_t size);
KESTRUMR_API int kestrumr_restore_state(kestrumr_session* session, const void* buffer,
                                        size_t size);

/* Threads for the session's runs (0: the number of cores; the default is
 * 1; negative: KESTRUMR_ERR_ARGUMENT).  The calling thread is one of them:
 * it draws every variate in stream order and the rows are shared among all,
 * so results are the same bits at every thread count. */
KESTRUMR_API int kestrumr_set_threads(kestrumr_session* session, int32_t threads);

/* Messages (the library's fixed-text messages, one call per line, without
 * the line end) go to the callback when one is set, otherwise to C stdout
 * as with the routines of kestrumr.h.  The callback is called on the thread
 * that called the session's routine. */
typedef void (*kestrumr_message_fn)(void* context, const char* line);
KESTRUMR_API int kestrumr_set_message_callback(kestrumr_session* session,
                                               kestrumr_message_fn fn, void* context);

/* Progress of a run: called on the calling thread after every sampling
 * iteration with the number done and the total; a nonzero return abandons
 * the run (status KESTRUMR_ERR_CANCELLED, every output NaN). */
typedef int (*kestrumr_progress_fn)(void* context, int64_t done, int64_t total);
KESTRUMR_API int kestrumr_set_progress_callback(kestrumr_session* session,
                                                kestrumr_progress_fn fn, void* context);

/* The next uniform variate on (0, 1) of the session's stream (as zbqlu01_
 * draws from the process's); NaN for a NULL session. */
KESTRUMR_API double kestrumr_uniform(kestrumr_session* session);

/* One estimation run: the arguments of kestrum_, by value where kestrum_
 * takes a scalar by address (kestrum_'s reserved argument and its fixed
 * prshape, prscale have no counterpart).
 *
 * A run checks what kestrum_ takes on trust; any of these gives
 * KESTRUMR_ERR_ARGUMENT, draws nothing and sets every output element to
 * NaN (as far as nrow and ngrp tell the extents and the arrays are given):
 *   nrow >= 0; ngrp >= 1; nkeep >= 2 (the difference tests need the spread
 *   of the kept draws); nburn >= 0; nobs given, every group >= 2
 *   observations, adding up to ntot; ydata given when nrow > 0; hshape and
 *   hrate finite and >= 0; mvar given with both variances finite and > 0;
 *   effvar given (ngrp >= 2) with every variance finite and > 0; every
 *   output array given whose extent is not 0; every data value a finite
 *   number (a NaN or infinity would not stay in its row: the rate updates
 *   read sums over all rows; the message names the first one).  A workspace that cannot be obtained gives
 * KESTRUMR_ERR_MEMORY (the library's message goes to the message
 * callback).  A run draws from the session's generator and leaves it where
 * the run ended, also when it was cancelled.
 *
 * Rows the sampler cannot serve.  The run returns KESTRUMR_OK, and every
 * number it gives is a result; a row without one has NaN in every output
 * (never a frequency of 0), a status (kestrumr_row_status) and a message
 * (to the message callback, or C stdout), framed by empty lines:
 *   - a row with a group whose values are all equal is left out of the run
 *     (KESTRUMR_ROW_NO_SPREAD).  Such a group gives its variance no spread
 *     to be estimated from: the variance and the rate of the group's prior,
 *     which all rows share, shrink towards 0 together from iteration to
 *     iteration until the row's draws become NaN, and from then on the
 *     rates of every group stop for all rows.  The other rows' results are
 *     then, bit for bit, those of the problem without the rows left out
 *     (with standardisation, its scale too), and the generator ends where
 *     that run leaves it.  The message is
 *         ****WARNING**** 2 rows left out of the run (their results are NaN):
 *         a group's values are all equal, so its variance has no spread to be
 *         estimated from; rows (counted from 1): 1, 7
 *     ("row" for one, at most ten row numbers, then ", ...").  When every
 *     row has such a group, nothing can run: KESTRUMR_ERR_ARGUMENT,
 *     nothing drawn, every output NaN (and every row's status
 *     KESTRUMR_ROW_NO_SPREAD).  Such rows (zero counts, values at a
 *     detection limit) are for an analysis of their own;
 *   - a row whose results come out non-finite all the same (a group whose
 *     spread is far below that of the row's other groups, values whose
 *     statistics overflow) gets KESTRUMR_ROW_NOT_FINITE and the message
 *         ****WARNING**** The draws of 1 row became non-finite (its results are NaN);
 *         row (counted from 1): 3.
 *         The variance rates shared by all rows may have stopped moving then:
 *         check the rate diagnostics before trusting the other rows.
 *     (each line behind five blanks, as the library's other messages). */
typedef struct kestrumr_problem {
    int32_t ipool;         /* 1: also a pooled mean and variance per row */
    int32_t nrow;          /* L, rows */
    int32_t ngrp;          /* J, groups */
    const int32_t* nobs;   /* [J] observations per group */
    int32_t ntot;          /* N, observations per row */
    const double* ydata;   /* [L x N], column by column (leading dimension L) */
    int32_t nkeep;         /* K, kept iterations */
    int32_t nburn;         /* B, burn-in iterations */
    double hshape;         /* hyper-prior of the group variance rates */
    double hrate;
    const double* mvar;    /* [2] */
    const double* effvar;  /* [J - 1] */
} kestrumr_problem;

/* Where a run's results go, laid out as kestrum_'s outputs. */
typedef struct kestrumr_results {
    double* prob;      /* [L x (J - 1)], column by column */
    double* pmeanbar;  /* [L] */
    double* pvarbar;   /* [L] */
    double* gmeanbar;  /* [L x J], column by column */
    double* gvarbar;   /* [L x J] */
    double* pjoint;    /* [L], or NULL: the joint frequency of the means and
                        * cube-root variances for every J >= 2 -- prob's
                        * second column when J >= 3, and the same statistic
                        * for J = 2, which prob has no column for (set it to
                        * NULL when not wanted) */
} kestrumr_results;

KESTRUMR_API int kestrumr_run(kestrumr_session* session, const kestrumr_problem* problem,
                              const kestrumr_results* results);

/* Row statuses of the last run whose arguments passed the checks listed
 * above (also when no row could run, and when the run was cancelled or
 * short of memory: then only the rows left out are marked).  status[g] for
 * row g (0-based) is
 *   KESTRUMR_ROW_OK          0  the row ran and its results are finite;
 *   KESTRUMR_ROW_NO_SPREAD   1  a group's values are all equal: left out of
 *                               the run, every output NaN;
 *   KESTRUMR_ROW_NOT_FINITE  2  its draws became non-finite: every output NaN.
 * kestrumr_row_status_size() is the number of rows of that run (0 before any
 * run and for a NULL session); count must be at least that, and status
 * given when it is not 0 (KESTRUMR_ERR_ARGUMENT otherwise, and for a NULL
 * session). */
#define KESTRUMR_ROW_OK 0
#define KESTRUMR_ROW_NO_SPREAD 1
#define KESTRUMR_ROW_NOT_FINITE 2
KESTRUMR_API size_t kestrumr_row_status_size(const kestrumr_session* session);
KESTRUMR_API int kestrumr_row_status(const kestrumr_session* session, int32_t* status,
                                     size_t count);

/* Standardisation of the session's runs.  With KESTRUMR_SCALE_OFF (the
 * default) kestrumr_run equals kestrum_ bit for bit (rows without a result
 * aside, see kestrumr_run).  Otherwise a run
 * divides the data by one robust scale s -- the median over rows of the
 * pooled within-group standard deviation sqrt(sum of squares about the
 * group means / (ntot - ngrp)), rows whose value is not a finite positive
 * number left out, s = 1 when none is left -- runs on the standardised
 * data and gives the posterior means in the data's units again (means
 * times s, variances times s^2; the frequencies have no units).  The
 * sampler's rate update can stick when the within-group variances are far
 * from the priors' scale, so results on unstandardised data may depend on
 * the data's units.  The priors of the problem are taken
 *   KESTRUMR_SCALE_DATA_PRIORS:     in the data's units: hrate, mvar and
 *                                   effvar are divided by s^2 (hshape has
 *                                   no units);
 *   KESTRUMR_SCALE_STANDARD_PRIORS: as meant for the standardised data
 *                                   (used as given; the command-line front
 *                                   end does this with its defaults).
 * Any other mode gives KESTRUMR_ERR_ARGUMENT.  The standardised data and
 * priors are checked as the problem's own are: a value of ydata / s that
 * is not a finite number, a converted prior out of its range, or a scale
 * whose square or its reciprocal is not a finite number > 0 (s outside
 * about 7.5e-155 .. 1.3e154) gives KESTRUMR_ERR_ARGUMENT, every output
 * NaN, and a message naming the row and column, the prior, or the scale. */
#define KESTRUMR_SCALE_OFF 0
#define KESTRUMR_SCALE_DATA_PRIORS 1
#define KESTRUMR_SCALE_STANDARD_PRIORS 2
KESTRUMR_API int kestrumr_set_scaling(kestrumr_session* session, int32_t mode);

/* The scale s the session's last run divided its data by (1.0 when the
 * run was not standardised); NaN before the first run that got past its
 * argument checks, and for a NULL session. */
KESTRUMR_API double kestrumr_last_scale(const kestrumr_session* session);

/* The rate update of the last run (the one that got past its argument
 * checks, also when cancelled: then the iterations not run read as NaN
 * rates and 0 trials).  Every iteration updates the rate of each group's
 * variance prior by ten independence trials; a rate update that accepts
 * almost none of them keeps the rate where it started and the posterior
 * is then wrong.  For group j (0-based):
 *   burn_acceptance, late_burn_acceptance, keep_acceptance: the share of
 *     the trials accepted during the burn-in, its second half and the kept
 *     iterations (NaN for an empty phase);
 *   last_rate: the rate after the last iteration, in the data's units;
 *   stuck: 1 when fewer than 1% of the trials of the second half of the
 *     burn-in (of the kept iterations when nburn < 2) were accepted or the
 *     rate never left its start value, else 0 (always 0 when fewer than
 *     10 iterations are there to judge).
 * KESTRUMR_ERR_ARGUMENT for a NULL pointer or a group not in the last run,
 * KESTRUMR_ERR_STATE before any run and after a run whose trace was too
 * long to keep: (nburn + nkeep) * ngrp above 2^24 (16 777 216). */
typedef struct kestrumr_rate_diagnostics {
    double burn_acceptance;
    double late_burn_acceptance;
    double keep_acceptance;
    double last_rate;
    int32_t stuck;
} kestrumr_rate_diagnostics;
KESTRUMR_API int kestrumr_get_rate_diagnostics(const kestrumr_session* session, int32_t group,
                                               kestrumr_rate_diagnostics* out);

/* The whole trace of the last run: for iteration t (0-based, burn-in
 * first) and group j, rates[t*ngrp + j] = the rate after its update (data
 * units) and accepted[t*ngrp + j] = the trials accepted (0..10).  count
 * is the number of elements each array holds; it must be at least
 * kestrumr_rate_trace_size() = (nburn + nkeep) * ngrp of the last run (0
 * before any run and when the trace was too long to keep).  Either array may be NULL to skip it. */
KESTRUMR_API size_t kestrumr_rate_trace_size(const kestrumr_session* session);
KESTRUMR_API int kestrumr_rate_trace(const kestrumr_session* session, double* rates,
                                     int32_t* accepted, size_t count);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUMR_SESSION_H */
