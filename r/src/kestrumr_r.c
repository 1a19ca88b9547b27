/* The native side of the R package: one estimation run on a session of its
 * own, so runs never share generator state and set.seed() (through the seed
 * that R/kestrum.R draws) reproduces them.
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

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "include/kestrumr_session.h"

#define MESSAGE_BUFFER 8192
#define MESSAGE_LINES 64

typedef struct {
    int interrupted;
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
    (void)done;
    (void)total;
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

/* .Call(C_kestrum, y, sizes, burn, keep, pooled, seed, threads, hshape,
 *       hrate, mvar, effvar): y is the L x N double matrix with its columns
 * gathered group by group, sizes the J integer group sizes; the other
 * arguments are checked scalars (seed a whole double) and the prior
 * vectors mvar[2] and effvar[J - 1].  Returns a list with gmeanbar,
 * gvarbar (L x J), pmeanbar, pvarbar (L), prob (L x (J - 1)), pjoint (L),
 * messages, status ("ok", "interrupted" or "error") and error (a string,
 * or NULL). */
static SEXP kestrum_call(SEXP y, SEXP sizes, SEXP burn, SEXP keep, SEXP pooled, SEXP seed,
                         SEXP threads, SEXP hshape, SEXP hrate, SEXP mvar, SEXP effvar) {
    if (!isReal(y) || !isMatrix(y) || !isInteger(sizes) || !isInteger(burn) ||
        !isInteger(keep) || !isLogical(pooled) || !isReal(seed) || !isInteger(threads) ||
        !isReal(hshape) || !isReal(hrate) || !isReal(mvar) || !isReal(effvar))
        error("kestrumr: internal call with arguments of the wrong type");
    const int L = nrows(y), N = ncols(y), J = LENGTH(sizes);
    if (J < 1 || LENGTH(mvar) != 2 || LENGTH(effvar) != (J > 1 ? J - 1 : 0) ||
        LENGTH(burn) != 1 || LENGTH(keep) != 1 || LENGTH(pooled) != 1 ||
        LENGTH(seed) != 1 || LENGTH(threads) != 1 || LENGTH(hshape) != 1 ||
        LENGTH(hrate) != 1)
        error("kestrumr: internal call with arguments of the wrong size");
    const double s = REAL(seed)[0];
    if (!(s >= 0.0 && s <= 9007199254740992.0) || s != floor(s))
        error("kestrumr: internal call with a bad seed");

    const char* names[] = {"gmeanbar", "gvarbar", "pmeanbar", "pvarbar", "prob",
                           "pjoint", "messages", "status", "error", ""};
    SEXP res = PROTECT(mkNamed(VECSXP, names));
    const R_xlen_t LJ = (R_xlen_t)L * J;
    SEXP gmeanbar = allocVector(REALSXP, LJ);
    SET_VECTOR_ELT(res, 0, gmeanbar);
    SEXP gvarbar = allocVector(REALSXP, LJ);
    SET_VECTOR_ELT(res, 1, gvarbar);
    SEXP pmeanbar = allocVector(REALSXP, L);
    SET_VECTOR_ELT(res, 2, pmeanbar);
    SEXP pvarbar = allocVector(REALSXP, L);
    SET_VECTOR_ELT(res, 3, pvarbar);
    SEXP prob = allocVector(REALSXP, (R_xlen_t)L * (J > 1 ? J - 1 : 1));
    SET_VECTOR_ELT(res, 4, prob);
    SEXP pjoint = allocVector(REALSXP, L);
    SET_VECTOR_ELT(res, 5, pjoint);

    kestrumr_problem problem;
    problem.ipool = LOGICAL(pooled)[0] == TRUE ? 1 : 0;
    problem.nrow = L;
    problem.ngrp = J;
    problem.nobs = INTEGER(sizes);
    problem.ntot = N;
    problem.ydata = REAL(y);
    problem.nkeep = INTEGER(keep)[0];
    problem.nburn = INTEGER(burn)[0];
    problem.hshape = REAL(hshape)[0];
    problem.hrate = REAL(hrate)[0];
    problem.mvar = REAL(mvar);
    problem.effvar = REAL(effvar);
    kestrumr_results results;
    results.prob = REAL(prob);
    results.pmeanbar = REAL(pmeanbar);
    results.pvarbar = REAL(pvarbar);
    results.gmeanbar = REAL(gmeanbar);
    results.gvarbar = REAL(gvarbar);
    results.pjoint = REAL(pjoint);

    /* From here to kestrumr_session_free nothing may raise an R error. */
    run_context context;
    context.interrupted = 0;
    context.used = 0;
    context.lines = 0;
    context.dropped = 0;
    char failure[512] = "";
    int status = KESTRUMR_ERR_MEMORY;
    kestrumr_session* session = kestrumr_session_new();
    if (session == NULL) {
        snprintf(failure, sizeof failure, "kestrumr: not enough memory for a session");
    } else {
        status = kestrumr_set_message_callback(session, on_message, &context);
        if (status == KESTRUMR_OK) status = kestrumr_seed(session, (uint64_t)s);
        if (status == KESTRUMR_OK) status = kestrumr_set_threads(session, INTEGER(threads)[0]);
        if (status == KESTRUMR_OK)
            status = kestrumr_set_progress_callback(session, on_progress, &context);
        if (status == KESTRUMR_OK) status = kestrumr_run(session, &problem, &results);
        if (status != KESTRUMR_OK)
            snprintf(failure, sizeof failure, "kestrumr: %s", kestrumr_errmsg(session));
        kestrumr_session_free(session);
    }

    SET_VECTOR_ELT(res, 6, messages_as_strings(&context));
    const char* outcome = status == KESTRUMR_OK ? "ok"
                          : (status == KESTRUMR_ERR_CANCELLED && context.interrupted)
                              ? "interrupted"
                              : "error";
    SET_VECTOR_ELT(res, 7, mkString(outcome));
    if (status != KESTRUMR_OK && !context.interrupted) SET_VECTOR_ELT(res, 8, mkString(failure));
    UNPROTECT(1);
    return res;
}

static const R_CallMethodDef call_methods[] = {
    {"kestrum", (DL_FUNC)&kestrum_call, 11},
    {NULL, NULL, 0}};

void R_init_kestrumr(DllInfo* dll) {
    R_registerRoutines(dll, NULL, call_methods, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}
