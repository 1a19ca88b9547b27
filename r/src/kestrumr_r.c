/* The native side of the R package: one analysis (kestrumr_analyse, the one
 * the command-line front end runs) on a session of its own, so runs never
 * share generator state and set.seed() (through the seed that R/kestrum.R
 * draws) reproduces them.
 *
 * No R error may jump out of the code while a session is alive (the jump
 * would leak it), so:
 *   - every R object is allocated before the session is made;
 *   - the library's messages are collected into a fixed buffer and handed
 *     back as text (R/kestrum.R turns them into warnings);
 *   - the interrupt check runs inside R_ToplevelExec, which catches the
 *     jump of a pending Ctrl-C; the run is then cancelled through the
 *     progress callback and R/kestrum.R signals the interrupt afterwards.
 */
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>
#include <R_ext/Utils.h>

#include <limits.h>
#include <math.h>
#include <time.h>
#include <stdint.h>
#include <string.h>

#include "include/kestrumr_analysis.h"
#include "include/kestrumr_session.h"

#define MESSAGE_BUFFER 8192
#define MESSAGE_LINES 64

typedef struct {
    int interrupted;
    /* The progress bar: shown (on R's error stream) when asked for and the
     * run has taken 2 seconds or more; percent the last one drawn. */
    int progress;
    time_t start;
    int shown;
    int percent;
    /* Message lines, each terminated by '\0', in buf[0 .. used). */
    char buf[MESSAGE_BUFFER];
    size_t used;
    int lines;
    int dropped; /* lines that did not fit */
} run_context;

static void on_message(void* context, const char* line) {
    run_context* c = (run_context*)context;
    size_t n = strlen(line);
    if (c->lines >= MESSAGE_LINES || c->used + n + 1 > MESSAGE_BUFFER) {
        ++c->dropped;
        return;
    }
    memcpy(c->buf + c->used, line, n + 1);
    c->used += n + 1;
    ++c->lines;
}

static void check_interrupt(void* unused) {
    (void)unused;
    R_CheckUserInterrupt();
}

static int on_progress(void* context, int64_t done, int64_t total) {
    run_context* c = (run_context*)context;
    if (c->progress && total > 0) {
        const int percent = (int)((double)done / (double)total * 100.0);
        if (percent != c->percent && difftime(time(NULL), c->start) >= 2.0) {
            char bar[41];
            const int filled = percent * 40 / 100;
            for (int k = 0; k < 40; ++k) bar[k] = k < filled ? '=' : ' ';
            bar[40] = '\0';
            REprintf("\rkestrum: [%s] %3d%%", bar, percent);
            c->shown = 1;
            c->percent = percent;
        }
    }
    /* R_ToplevelExec returns FALSE when the check jumped (an interrupt). */
    if (!R_ToplevelExec(check_interrupt, NULL)) c->interrupted = 1;
    return c->interrupted;
}

/* Joins the next block of message lines (blocks are separated by the empty
 * lines the library writes; leading blanks are console layout and dropped)
 * into text, lines separated by "\n".  *line and *pos track the place in
 * c->buf.  Returns 0 when no block is left. */
static int next_block(const run_context* c, int* line, size_t* pos, char* text) {
    size_t len = 0;
    for (; *line < c->lines; ++*line) {
        const char* p = c->buf + *pos;
        *pos += strlen(p) + 1;
        while (*p == ' ') ++p;
        if (*p == '\0') {
            if (len) break;
            continue;
        }
        if (len) text[len++] = '\n';
        const size_t n = strlen(p);
        memcpy(text + len, p, n);
        len += n;
    }
    if (*line < c->lines) ++*line;
    text[len] = '\0';
    return len > 0;
}

/* The library's messages as one string per message block, and a note of
 * how many lines did not fit into the buffer. */
static SEXP messages_as_strings(const run_context* c) {
    char text[MESSAGE_BUFFER + 64];
    int line = 0, count = 0;
    size_t pos = 0;
    while (next_block(c, &line, &pos, text)) ++count;
    SEXP out = PROTECT(allocVector(STRSXP, count + (c->dropped ? 1 : 0)));
    line = 0;
    pos = 0;
    for (int k = 0; k < count && next_block(c, &line, &pos, text); ++k)
        SET_STRING_ELT(out, k, mkCharCE(text, CE_UTF8));
    if (c->dropped) {
        snprintf(text, sizeof text, "%d further message line(s) not shown", c->dropped);
        SET_STRING_ELT(out, count, mkChar(text));
    }
    UNPROTECT(1);
    return out;
}

static void free_results(SEXP ptr) {
    kestrumr_analysis_results* r = (kestrumr_analysis_results*)R_ExternalPtrAddr(ptr);
    if (r != NULL) kestrumr_analysis_results_free(r);
    R_ClearExternalPtr(ptr);
}

/* Sets an option when its R value is given (not NULL); a prior set here
 * counts as given in the data's units. */
static int set_priors(kestrumr_analysis_options* o, SEXP hshape, SEXP hrate, SEXP mvar,
                      SEXP effvar) {
    int st = KESTRUMR_OK;
    if (st == KESTRUMR_OK && hshape != R_NilValue) st = kestrumr_analysis_set_hshape(o, REAL(hshape)[0]);
    if (st == KESTRUMR_OK && hrate != R_NilValue) st = kestrumr_analysis_set_hrate(o, REAL(hrate)[0]);
    if (st == KESTRUMR_OK && mvar != R_NilValue)
        st = kestrumr_analysis_set_mvar(o, REAL(mvar)[0], REAL(mvar)[1]);
    if (st == KESTRUMR_OK && effvar != R_NilValue)
        st = kestrumr_analysis_set_effvar(o, REAL(effvar), (size_t)LENGTH(effvar));
    return st;
}

static int optional_real(SEXP v, int n) { return v == R_NilValue || (isReal(v) && LENGTH(v) == n); }

/* .Call(C_kestrum, y, sizes, chains, scale_mode, scale_value, burn, keep,
 *       pooled, seed, threads, hshape, hrate, mvar, effvar, policy,
 *       progress, start, fdr, permutations):
 * y is the L x N double matrix with its columns gathered group by group
 * (NaN a missing value), sizes the J integer group sizes, the others
 * checked scalars (seed a whole double 0 .. 2147483647), the priors NULL
 * (the default, meant for standardised data) or their values in the
 * data's units (mvar 2 values, effvar 1 or J - 1), progress TRUE for a
 * progress bar once the run has taken 2 seconds, start the start mode
 * (KESTRUMR_START_FIXED or KESTRUMR_START_DATA), fdr the false-discovery
 * rate the calls are counted at (a double in (0, 1)), permutations the
 * permuted analyses behind the q-values (an integer 0 .. 1024).  Runs kestrumr_analyse
 * on a session of its own and returns a list: columns (a list of the
 * result columns, each L values or an L x (J or J - 1) matrix), row_status
 * (L integers), scale, warnings (kind, chain, group, rows, text),
 * rates (a (C * J) x 7 matrix: chain, group and the five rate
 * diagnostics, NULL when the traces were not kept), traces (a J x T x C
 * array, T = burn + keep: the rate of group j after iteration t of chain
 * c, in the data's units; NULL when not kept), messages, status
 * ("ok", "interrupted" or "error") and error (a string, or NULL). */
static SEXP kestrum_call(SEXP y, SEXP sizes, SEXP chains, SEXP scale_mode, SEXP scale_value,
                         SEXP burn, SEXP keep, SEXP pooled, SEXP seed, SEXP threads, SEXP hshape,
                         SEXP hrate, SEXP mvar, SEXP effvar, SEXP policy, SEXP progress,
                         SEXP start, SEXP fdr, SEXP permutations) {
    if (!isReal(y) || !isMatrix(y) || !isInteger(sizes) || !isInteger(chains) ||
        !isInteger(scale_mode) || !isReal(scale_value) || !isInteger(burn) ||
        !isInteger(keep) || !isLogical(pooled) || !isReal(seed) || !isInteger(threads) ||
        !isInteger(policy) || !isLogical(progress) || LENGTH(progress) != 1 ||
        !isInteger(start) || LENGTH(start) != 1 || !optional_real(hshape, 1) || !optional_real(hrate, 1) ||
        !optional_real(mvar, 2) || (effvar != R_NilValue && !isReal(effvar)) ||
        !isReal(fdr) || LENGTH(fdr) != 1 || !isInteger(permutations) || LENGTH(permutations) != 1)
        error("kestrumr: internal call with arguments of the wrong type or size");
    const int L = nrows(y), N = ncols(y), J = LENGTH(sizes);
    if (J < 1 || LENGTH(chains) != 1 || LENGTH(scale_mode) != 1 || LENGTH(scale_value) != 1 ||
        LENGTH(burn) != 1 || LENGTH(keep) != 1 || LENGTH(pooled) != 1 || LENGTH(seed) != 1 ||
        LENGTH(threads) != 1 || LENGTH(policy) != 1)
        error("kestrumr: internal call with arguments of the wrong size");
    const double s = REAL(seed)[0];
    if (!(s >= 0.0 && s <= 2147483647.0) || s != floor(s))
        error("kestrumr: internal call with a bad seed");
    const int C = INTEGER(chains)[0];
    if (C < 1) error("kestrumr: internal call with a bad chain count");

    /* Every R object whose size is known is made before the analysis; the
     * results object lives in an external pointer whose finalizer frees it,
     * so an R error afterwards cannot leak it. */
    const char* names[] = {"columns", "row_status", "scale", "warnings", "rates",
                           "messages", "status", "error", "traces", "permutations", ""};
    SEXP res = PROTECT(mkNamed(VECSXP, names));
    const char* column_names[] = {"mean", "var", "pooled_mean", "pooled_var", "diff",
                                  "lo", "hi", "p_mean", "p_mean_mcse", "p_joint",
                                  "p_joint_mcse", "rhat", "score_mean", "score_joint",
                                  "q_mean", "q_joint", "ess", "rhat_flag", ""};
    const int column_ids[] = {KESTRUMR_COLUMN_MEAN, KESTRUMR_COLUMN_VAR,
                              KESTRUMR_COLUMN_POOLED_MEAN, KESTRUMR_COLUMN_POOLED_VAR,
                              KESTRUMR_COLUMN_DIFF, KESTRUMR_COLUMN_LO, KESTRUMR_COLUMN_HI,
                              KESTRUMR_COLUMN_P_MEAN, KESTRUMR_COLUMN_P_MEAN_MCSE,
                              KESTRUMR_COLUMN_P_JOINT, KESTRUMR_COLUMN_P_JOINT_MCSE,
                              KESTRUMR_COLUMN_RHAT, KESTRUMR_COLUMN_SCORE_MEAN,
                              KESTRUMR_COLUMN_SCORE_JOINT, KESTRUMR_COLUMN_Q_MEAN,
                              KESTRUMR_COLUMN_Q_JOINT, KESTRUMR_COLUMN_ESS,
                              KESTRUMR_COLUMN_RHAT_FLAG};
    enum { ncolumns = sizeof column_ids / sizeof column_ids[0] };
    /* Per column: its groups (0 .. J-1 for means and variances, 1 .. J-1
     * for the contrasts, none for the others). */
    const int first_group[ncolumns] = {0,  0,  -1, -1, 1,  1,  1,  -1, -1,
                                       -1, -1, -1, -1, -1, -1, -1, -1, -1};
    SEXP columns = mkNamed(VECSXP, column_names);
    SET_VECTOR_ELT(res, 0, columns);
    for (int k = 0; k < ncolumns; ++k) {
        const int width = first_group[k] < 0 ? 1 : J - first_group[k];
        SEXP v = width == 1 && first_group[k] < 0 ? allocVector(REALSXP, L)
                                                  : allocMatrix(REALSXP, L, width);
        SET_VECTOR_ELT(columns, k, v);
    }
    SEXP row_status = allocVector(INTSXP, L);
    SET_VECTOR_ELT(res, 1, row_status);
    SEXP scale = allocVector(REALSXP, 1);
    SET_VECTOR_ELT(res, 2, scale);
    REAL(scale)[0] = NA_REAL;
    SEXP permutations_used = allocVector(INTSXP, 1);
    SET_VECTOR_ELT(res, 9, permutations_used);
    INTEGER(permutations_used)[0] = NA_INTEGER;
    SEXP holder = PROTECT(R_MakeExternalPtr(NULL, R_NilValue, R_NilValue));
    R_RegisterCFinalizerEx(holder, free_results, TRUE);

    /* From here to kestrumr_session_free nothing may raise an R error. */
    run_context context;
    context.interrupted = 0;
    context.used = 0;
    context.lines = 0;
    context.dropped = 0;
    context.progress = LOGICAL(progress)[0] == TRUE;
    context.start = time(NULL);
    context.shown = 0;
    context.percent = -1;
    char failure[512] = "";
    int status = KESTRUMR_ERR_MEMORY;
    kestrumr_analysis_results* results = NULL;
    kestrumr_analysis_options* options = kestrumr_analysis_options_new();
    kestrumr_session* session = options != NULL ? kestrumr_session_new() : NULL;
    if (session == NULL) {
        snprintf(failure, sizeof failure, "kestrumr: not enough memory for a session");
    } else {
        status = kestrumr_analysis_set_chains(options, C);
        if (status == KESTRUMR_OK)
            status = kestrumr_analysis_set_scale(options, INTEGER(scale_mode)[0],
                                                 REAL(scale_value)[0]);
        if (status == KESTRUMR_OK)
            status = kestrumr_analysis_set_iterations(options, INTEGER(burn)[0], INTEGER(keep)[0]);
        if (status == KESTRUMR_OK)
            status = kestrumr_analysis_set_pooled(options, LOGICAL(pooled)[0] == TRUE ? 1 : 0);
        if (status == KESTRUMR_OK) status = set_priors(options, hshape, hrate, mvar, effvar);
        if (status == KESTRUMR_OK)
            status = kestrumr_analysis_set_row_policy(options, INTEGER(policy)[0]);
        if (status == KESTRUMR_OK)
            status = kestrumr_analysis_set_threads(options, INTEGER(threads)[0]);
        if (status == KESTRUMR_OK) status = kestrumr_analysis_set_seed(options, (int64_t)s);
        if (status == KESTRUMR_OK) status = kestrumr_analysis_set_start(options, INTEGER(start)[0]);
        if (status == KESTRUMR_OK) status = kestrumr_analysis_set_fdr(options, REAL(fdr)[0]);
        if (status == KESTRUMR_OK)
            status = kestrumr_analysis_set_permutations(options, INTEGER(permutations)[0]);
        if (status != KESTRUMR_OK) {
            snprintf(failure, sizeof failure, "kestrumr: %s",
                     kestrumr_analysis_options_errmsg(options));
        } else {
            status = kestrumr_set_message_callback(session, on_message, &context);
            if (status == KESTRUMR_OK)
                status = kestrumr_set_progress_callback(session, on_progress, &context);
            if (status == KESTRUMR_OK)
                status = kestrumr_analyse(session, options, L, J, INTEGER(sizes), N, REAL(y),
                                          &results);
            if (status != KESTRUMR_OK)
                snprintf(failure, sizeof failure, "kestrumr: %s", kestrumr_errmsg(session));
        }
    }
    kestrumr_session_free(session);
    kestrumr_analysis_options_free(options);
    if (context.shown) REprintf("\r%*s\r", 56, "");
    R_SetExternalPtrAddr(holder, results);

    if (results != NULL) {
        for (int k = 0; k < ncolumns; ++k) {
            SEXP v = VECTOR_ELT(columns, k);
            const int g0 = first_group[k] < 0 ? 0 : first_group[k];
            const int width = first_group[k] < 0 ? 1 : J - first_group[k];
            for (int w = 0; w < width; ++w)
                kestrumr_analysis_column(results, column_ids[k], g0 + w,
                                         REAL(v) + (R_xlen_t)w * L, (size_t)L);
        }
        kestrumr_analysis_row_status(results, INTEGER(row_status), (size_t)L);
        REAL(scale)[0] = kestrumr_analysis_scale(results);
        INTEGER(permutations_used)[0] = kestrumr_analysis_permutations(results);

        const size_t W = kestrumr_analysis_warning_count(results);
        const char* warning_names[] = {"kind", "chain", "group", "rows", "text", ""};
        SEXP warnings = mkNamed(VECSXP, warning_names);
        SET_VECTOR_ELT(res, 3, warnings);
        SEXP kind = allocVector(INTSXP, (R_xlen_t)W);
        SET_VECTOR_ELT(warnings, 0, kind);
        SEXP chain = allocVector(INTSXP, (R_xlen_t)W);
        SET_VECTOR_ELT(warnings, 1, chain);
        SEXP group = allocVector(INTSXP, (R_xlen_t)W);
        SET_VECTOR_ELT(warnings, 2, group);
        SEXP rows = allocVector(REALSXP, (R_xlen_t)W);
        SET_VECTOR_ELT(warnings, 3, rows);
        SEXP text = allocVector(STRSXP, (R_xlen_t)W);
        SET_VECTOR_ELT(warnings, 4, text);
        for (size_t w = 0; w < W; ++w) {
            INTEGER(kind)[w] = kestrumr_analysis_warning_kind(results, w);
            INTEGER(chain)[w] = kestrumr_analysis_warning_chain(results, w);
            INTEGER(group)[w] = kestrumr_analysis_warning_group(results, w);
            REAL(rows)[w] = (double)kestrumr_analysis_warning_rows(results, w);
            SET_STRING_ELT(text, (R_xlen_t)w,
                           mkCharCE(kestrumr_analysis_warning_text(results, w), CE_UTF8));
        }

        /* The rate diagnostics per chain and group, when the traces were kept. */
        double probe = 0.0;
        if (kestrumr_analysis_rate(results, 0, 0, KESTRUMR_RATE_STUCK, &probe) == KESTRUMR_OK) {
            const int CJ = C * J;
            SEXP rates = allocMatrix(REALSXP, CJ, 7);
            SET_VECTOR_ELT(res, 4, rates);
            double* m = REAL(rates);
            for (int c = 0; c < C; ++c)
                for (int j = 0; j < J; ++j) {
                    const int i = c * J + j;
                    m[i] = c + 1;
                    m[i + CJ] = j + 1;
                    for (int what = 1; what <= 5; ++what) {
                        double value = NA_REAL;
                        if (kestrumr_analysis_rate(results, c, j, what, &value) != KESTRUMR_OK)
                            value = NA_REAL;
                        m[i + (R_xlen_t)(what + 1) * CJ] = value;
                    }
                }
        }

        /* The whole rate traces: the library writes chain c's as T rows of
         * J rates, which is slice c of a J x T x C array as it stands. */
        const size_t per_chain = kestrumr_analysis_rate_trace_size(results);
        if (per_chain > 0 && per_chain / (size_t)J <= (size_t)INT_MAX) {
            SEXP traces = alloc3DArray(REALSXP, J, (int)(per_chain / (size_t)J), C);
            SET_VECTOR_ELT(res, 8, traces);
            for (int c = 0; c < C; ++c) {
                double* into = REAL(traces) + (R_xlen_t)c * (R_xlen_t)per_chain;
                if (kestrumr_analysis_rate_trace(results, c, into, NULL, per_chain) != KESTRUMR_OK)
                    for (size_t i = 0; i < per_chain; ++i) into[i] = NA_REAL;
            }
        }
        R_SetExternalPtrAddr(holder, NULL);
        kestrumr_analysis_results_free(results);
    }

    SET_VECTOR_ELT(res, 5, messages_as_strings(&context));
    const char* outcome = status == KESTRUMR_OK ? "ok"
                          : (status == KESTRUMR_ERR_CANCELLED && context.interrupted)
                              ? "interrupted"
                              : "error";
    SET_VECTOR_ELT(res, 6, mkString(outcome));
    if (status != KESTRUMR_OK && !context.interrupted) SET_VECTOR_ELT(res, 7, mkString(failure));
    UNPROTECT(2);
    return res;
}

static const R_CallMethodDef call_methods[] = {
    {"kestrum", (DL_FUNC)&kestrum_call, 19},
    {NULL, NULL, 0}};

void R_init_kestrumr(DllInfo* dll) {
    R_registerRoutines(dll, NULL, call_methods, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}
