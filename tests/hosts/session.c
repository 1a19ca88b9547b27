/*
 * kestrumr_session -- a host program that loads the library by name, the
 * way a foreign host does, and runs a short fixed session through it.
 *
 * The library is loaded at run time (LoadLibraryA("kestrumr.dll") on
 * Windows, dlopen("libkestrumr.so") elsewhere), and every name of the
 * export list is looked up in it (GetProcAddress / dlsym).  A name of the
 * list that the library does not export is an error (exit status 2).
 *
 * The session then seeds the generator with a fixed seed and calls every
 * routine on fixed arguments: variates of every kind (across the shape and
 * mean thresholds where the samplers switch method), the log-gamma
 * function, a matrix inversion, group statistics, the simplex minimiser on
 * a quadratic, the rate objective and update, one row's conditional sweep
 * and a small estimation run.  Every result is printed as the exact bit
 * pattern of the double (16 hex digits) or as a decimal int32, one value
 * per line, so that two builds of the library can be compared with a plain
 * text comparison: on every platform the output must be the same, byte for
 * byte (apart from the line ends a Windows console adds).
 *
 * A step whose routines are not in the export list is reported as skipped;
 * once a routine is listed, its step runs.
 *
 * The host itself uses no mathematical library function, only +, -, *, /
 * on doubles, so any difference between two outputs comes from the library.
 *
 * Usage: kestrumr_session            (the library is found by name)
 */
#define KESTRUMR_STATIC /* types and prototypes only; nothing is linked */
#include "kestrumr.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_loader.h" /* loads the library, resolves the export list */

/* Routine types, written out from the header's prototypes; check_types
 * below makes the compiler compare each with the header's declaration. */
typedef void (*kestrum_t)(const int32_t*, const int32_t*, const int32_t*,
                          const int32_t*, const int32_t*, const int32_t*,
                          const double*, const int32_t*, const int32_t*,
                          const double*, const double*, double*, double*,
                          const double*, const double*, double*, double*,
                          double*, double*, double*);
typedef void (*rpostcal_t)(const int32_t*, const int32_t*, const int32_t*,
                           const int32_t*, const int32_t*, const double*,
                           const double*, const double*, const double*,
                           const double*, const double*, const double*,
                           const double*, const double*, const double*,
                           const double*, double*, double*, double*,
                           double*);
typedef void (*parametercal_t)(const double*, const int32_t*, const int32_t*,
                               const int32_t*, const int32_t*, double*,
                               double*, double*, double*);
typedef void (*inverse_t)(double*, double*, const int32_t*);
typedef double (*alikebb1_t)(const double*);
typedef void (*varbb1_t)(void);
typedef void (*updatebb1_t)(const int32_t*, const double*, const double*,
                            const double*, const double*, const double*,
                            const int32_t*, const int32_t*, const double*,
                            double*);
typedef void (*optbb1_t)(void);
typedef void (*nelmin_t)(kestrumr_objective, const int32_t*, double*,
                         double*, double*, const double*, const double*,
                         const int32_t*, const int32_t*, int32_t*, int32_t*,
                         int32_t*);
typedef double (*zbqlu01_t)(const double*);
typedef double (*zbqluab_t)(const double*, const double*);
typedef void (*zbqlini_t)(const int32_t*);
typedef double (*zbqlnor_t)(const double*, const double*);
typedef double (*zbqlexp_t)(const double*);
typedef double (*zbqlgam_t)(const double*, const double*);
typedef double (*zbqlbet1_t)(const double*, const double*);
typedef double (*zbqlwei_t)(const double*, const double*);
typedef double (*zbqlpar_t)(const double*, const double*);
typedef int32_t (*zbqlbin_t)(const int32_t*, const double*);
typedef int32_t (*zbqlgeo_t)(const double*);
typedef int32_t (*zbqlpoi_t)(const double*);
typedef int32_t (*zbqlnb_t)(const double*, const double*);
typedef double (*zbqllg_t)(const double*);

/* Never called: a mismatch between a type above and the header is a
 * "distinct pointer types" diagnostic (an error with -Werror).  sizeof does
 * not evaluate its operand, so no symbol is referenced. */
#define CHECK_TYPE(name) (void)sizeof(&name == (name##t)0)
void kestrumr_session_check_types(void);
void kestrumr_session_check_types(void) {
    CHECK_TYPE(kestrum_);    CHECK_TYPE(rpostcal_);  CHECK_TYPE(parametercal_);
    CHECK_TYPE(inverse_);    CHECK_TYPE(alikebb1_);  CHECK_TYPE(varbb1_);
    CHECK_TYPE(updatebb1_);  CHECK_TYPE(optbb1_);    CHECK_TYPE(nelmin_);
    CHECK_TYPE(zbqlu01_);    CHECK_TYPE(zbqluab_);   CHECK_TYPE(zbqlini_);
    CHECK_TYPE(zbqlnor_);    CHECK_TYPE(zbqlexp_);   CHECK_TYPE(zbqlgam_);
    CHECK_TYPE(zbqlbet1_);   CHECK_TYPE(zbqlwei_);   CHECK_TYPE(zbqlpar_);
    CHECK_TYPE(zbqlbin_);    CHECK_TYPE(zbqlgeo_);   CHECK_TYPE(zbqlpoi_);
    CHECK_TYPE(zbqlnb_);     CHECK_TYPE(zbqllg_);
}

/* Fetch a routine of the given name into a typed local, or skip the step. */
#define ROUTINE(name) name##t name = (name##t)as_routine(lookup(#name))
#define DATA(type, name) type* name = (type*)lookup(#name)

/* ---------------------------------------------------------------------
 * Output: exact bit patterns.
 * --------------------------------------------------------------------- */

static void put_d(const char* label, double v) {
    uint64_t b;
    memcpy(&b, &v, sizeof b);
    /* two 32-bit halves: every C runtime prints %08lx the same way */
    printf("%s %08lx%08lx\n", label, (unsigned long)(b >> 32),
           (unsigned long)(b & 0xffffffffu));
}

static void put_i(const char* label, int32_t v) {
    printf("%s %ld\n", label, (long)v);
}

static void put_array(const char* label, const double* v, int n) {
    char buf[64];
    int i;
    for (i = 0; i < n; ++i) {
        sprintf(buf, "%s[%d]", label, i + 1);
        put_d(buf, v[i]);
    }
}

/* Start of a step: 1 when all its routines are present, else a skip line. */
static int step(const char* title, const char* const* names) {
    const char* missing = NULL;
    int i;
    for (i = 0; names[i] != NULL; ++i) {
        if (lookup(names[i]) == NULL) {
            missing = names[i];
            break;
        }
    }
    if (missing != NULL) {
        printf("== %s: skipped, %s not exported\n", title, missing);
        return 0;
    }
    printf("== %s\n", title);
    /* the library writes its messages to the same stdout; flush ours first
     * so the lines come out in call order on every C runtime */
    fflush(stdout);
    return 1;
}

#define NAMES(...) ((const char* const[]){__VA_ARGS__, NULL})

/* ---------------------------------------------------------------------
 * The session.
 * --------------------------------------------------------------------- */

static void seed_generator(void) {
    ROUTINE(zbqlini_);
    DATA(struct kestrumr_zbql0001, zbql0001_);
    const int32_t seed = 20261208;
    if (!step("seed", NAMES("zbqlini_", "zbql0001_"))) return;
    zbqlini_(&seed);
    put_array("xtab", zbql0001_->xtab, 43);
    /* a second call writes its warning lines here, a third nothing; the
     * table stays as it is */
    printf("second zbqlini_ call:\n");
    fflush(stdout);
    zbqlini_(&seed);
    printf("third zbqlini_ call:\n");
    fflush(stdout);
    zbqlini_(&seed);
    put_d("xtab[1] after", zbql0001_->xtab[0]);
    put_d("base", zbql0001_->base);
    put_d("carry", zbql0001_->carry);
}

static void uniforms(void) {
    ROUTINE(zbqlu01_);
    ROUTINE(zbqluab_);
    const double zero = 0.0, lo = 2.0, hi = -3.0, same = 1.5;
    int i;
    if (!step("uniform", NAMES("zbqlu01_", "zbqluab_"))) return;
    for (i = 0; i < 5; ++i) put_d("zbqlu01", zbqlu01_(&zero));
    put_d("zbqluab(2,-3)", zbqluab_(&lo, &hi));
    put_d("zbqluab(-3,2)", zbqluab_(&hi, &lo));
    /* equal limits: the warning lines appear here, no draw */
    put_d("zbqluab(1.5,1.5)", zbqluab_(&same, &same));
    put_d("zbqlu01", zbqlu01_(&zero));
}

static void continuous(void) {
    ROUTINE(zbqlnor_);
    ROUTINE(zbqlexp_);
    ROUTINE(zbqlgam_);
    ROUTINE(zbqlbet1_);
    ROUTINE(zbqlwei_);
    ROUTINE(zbqlpar_);
    /* gamma shapes on both sides of every method threshold (1, 10) */
    static const double gshape[] = {0.05, 0.3, 0.999, 1.0, 2.0, 3.7,
                                    10.0, 10.000001, 50.0, 1000.0};
    static const double beta[][2] = {{0.5, 0.5}, {0.5, 0.9}, {0.9, 0.5},
                                     {2.0, 3.0}, {0.2, 0.3}};
    const double m0 = 0.0, s1 = 1.0, m10 = 10.0, s05 = 0.5, e1 = 1.0,
                 e25 = 2.5, h1 = 1.0, h3 = 3.0, wa = 1.5, wb = 2.0, pa = 3.0,
                 pb = 1.0, bad = -1.0;
    char label[64];
    size_t i;
    int k;
    if (!step("normal", NAMES("zbqlnor_"))) goto exponential;
    for (k = 0; k < 3; ++k) put_d("zbqlnor(0,1)", zbqlnor_(&m0, &s1));
    for (k = 0; k < 3; ++k) put_d("zbqlnor(10,0.5)", zbqlnor_(&m10, &s05));
exponential:
    if (!step("exponential", NAMES("zbqlexp_"))) goto gamma;
    for (k = 0; k < 2; ++k) put_d("zbqlexp(1)", zbqlexp_(&e1));
    put_d("zbqlexp(2.5)", zbqlexp_(&e25));
    put_d("zbqlexp(-1)", zbqlexp_(&bad));
gamma:
    if (!step("gamma", NAMES("zbqlgam_"))) goto beta;
    for (i = 0; i < sizeof gshape / sizeof gshape[0]; ++i) {
        sprintf(label, "zbqlgam(shape %d,1)", (int)i);
        for (k = 0; k < 3; ++k) put_d(label, zbqlgam_(&gshape[i], &h1));
        sprintf(label, "zbqlgam(shape %d,3)", (int)i);
        put_d(label, zbqlgam_(&gshape[i], &h3));
    }
    put_d("zbqlgam(-1,1)", zbqlgam_(&bad, &h1));
beta:
    if (!step("beta", NAMES("zbqlbet1_"))) goto weibull;
    for (i = 0; i < sizeof beta / sizeof beta[0]; ++i) {
        sprintf(label, "zbqlbet1(pair %d)", (int)i);
        for (k = 0; k < 2; ++k) put_d(label, zbqlbet1_(&beta[i][0], &beta[i][1]));
    }
weibull:
    if (!step("weibull", NAMES("zbqlwei_"))) goto pareto;
    for (k = 0; k < 3; ++k) put_d("zbqlwei(1.5,2)", zbqlwei_(&wa, &wb));
pareto:
    if (!step("pareto", NAMES("zbqlpar_"))) return;
    for (k = 0; k < 3; ++k) put_d("zbqlpar(3,1)", zbqlpar_(&pa, &pb));
}

static void discrete(void) {
    ROUTINE(zbqlbin_);
    ROUTINE(zbqlgeo_);
    ROUTINE(zbqlpoi_);
    ROUTINE(zbqlnb_);
    ROUTINE(zbqllg_);
    static const struct { int32_t n; double p; } bin[] = {
        {5, 0.3}, {30, 0.7}, {1000, 0.4}, {100000, 0.02}, {20, 1e-9}, {40, 0.999}};
    static const double geo[] = {0.95, 0.9, 0.2, 1e-3, 1e-13};
    /* means on both sides of the 10 and 1000 switches, and far beyond */
    static const double poi[] = {0.5, 7.5, 10.0, 25.0, 1000.0, 1000.5, 1.0e6};
    static const double nb[][2] = {{3.0, 0.4}, {0.7, 0.2}, {40.0, 0.9}};
    static const double lg[] = {1e-5, 0.1, 0.5, 1.0, 1.5, 2.0, 3.5, 10.0, 123.4, 1e5};
    char label[64];
    size_t i;
    int k;
    if (!step("binomial", NAMES("zbqlbin_"))) goto geometric;
    for (i = 0; i < sizeof bin / sizeof bin[0]; ++i) {
        sprintf(label, "zbqlbin(case %d)", (int)i);
        for (k = 0; k < 2; ++k) put_i(label, zbqlbin_(&bin[i].n, &bin[i].p));
    }
geometric:
    if (!step("geometric", NAMES("zbqlgeo_"))) goto poisson;
    for (i = 0; i < sizeof geo / sizeof geo[0]; ++i) {
        sprintf(label, "zbqlgeo(case %d)", (int)i);
        for (k = 0; k < 2; ++k) put_i(label, zbqlgeo_(&geo[i]));
    }
poisson:
    if (!step("poisson", NAMES("zbqlpoi_"))) goto negbin;
    for (i = 0; i < sizeof poi / sizeof poi[0]; ++i) {
        sprintf(label, "zbqlpoi(case %d)", (int)i);
        for (k = 0; k < 2; ++k) put_i(label, zbqlpoi_(&poi[i]));
    }
negbin:
    if (!step("negative binomial", NAMES("zbqlnb_"))) goto loggamma;
    for (i = 0; i < sizeof nb / sizeof nb[0]; ++i) {
        sprintf(label, "zbqlnb(case %d)", (int)i);
        for (k = 0; k < 2; ++k) put_i(label, zbqlnb_(&nb[i][0], &nb[i][1]));
    }
loggamma:
    if (!step("log-gamma", NAMES("zbqllg_"))) return;
    for (i = 0; i < sizeof lg / sizeof lg[0]; ++i) {
        sprintf(label, "zbqllg(case %d)", (int)i);
        put_d(label, zbqllg_(&lg[i]));
    }
}

static void linear_algebra(void) {
    ROUTINE(inverse_);
    double a[9] = {4.0, 1.0, 0.5, 2.0, 5.0, 1.5, 0.25, 1.0, 3.0};
    double ainv[9];
    const int32_t n = 3;
    if (!step("inverse", NAMES("inverse_"))) return;
    inverse_(a, ainv, &n);
    put_array("ainv", ainv, 9);
    put_array("amat", a, 9);
}

/* A positive definite quadratic with its minimum 2.0 at (1.25, -0.5). */
static double quadratic(const double* x) {
    const double a = x[0] - 1.25, b = x[1] + 0.5;
    return ((a * a + 3.0 * (b * b)) + 0.5 * (a * b)) + 2.0;
}

static void minimiser(void) {
    ROUTINE(nelmin_);
    const int32_t ndim = 2, ncheck = 10, maxeval = 1000;
    const double tol = 1e-14, stepv[2] = {1.0, 0.5};
    double start[2] = {0.0, 0.0}, xbest[2] = {0.0, 0.0}, ybest = 0.0;
    int32_t neval = 0, nrestart = 0, ierr = -1;
    if (!step("nelmin", NAMES("nelmin_"))) return;
    nelmin_(quadratic, &ndim, start, xbest, &ybest, &tol, stepv, &ncheck,
            &maxeval, &neval, &nrestart, &ierr);
    put_array("xbest", xbest, 2);
    put_d("ybest", ybest);
    put_array("start", start, 2);
    put_i("neval", neval);
    put_i("nrestart", nrestart);
    put_i("ierr", ierr);
}

/* One row of ten observations in three groups (3, 4, 3). */
static const double row[10] = {1.0, 3.0, 2.5, 4.0, 6.5, 5.0, 4.5, 9.0, 7.25, 8.0};
static const int32_t row_nobs[3] = {3, 4, 3};

static void statistics_and_sweep(void) {
    ROUTINE(parametercal_);
    ROUTINE(rpostcal_);
    const int32_t reserved = 0, ngrp = 3, ipool = 1, ntot = 10;
    double ybar[3], s2[3], ybar0 = 0.0, s20 = 0.0;
    const double vshape[3] = {2.0, 2.0, 2.0}, vrate[3] = {1.0, 1.5, 2.0};
    const double pshape = 2.0, prate = 1.0, effvar[2] = {10.0, 10.0},
                 mvar[2] = {100.0, 100.0}, spare[2] = {0.0, 0.0};
    double gmean[3] = {0.0, 0.0, 0.0}, gvar[3], pmean = 0.0, pvar = 0.0;
    int k;
    if (!step("parametercal", NAMES("parametercal_"))) return;
    parametercal_(row, &ipool, &ngrp, &ntot, row_nobs, ybar, s2, &ybar0, &s20);
    put_array("ybar", ybar, 3);
    put_array("s2", s2, 3);
    put_d("ybar0", ybar0);
    put_d("s20", s20);
    if (!step("rpostcal", NAMES("rpostcal_"))) return;
    for (k = 0; k < 3; ++k) {
        rpostcal_(&reserved, &ngrp, &ipool, &ntot, row_nobs, vshape, vrate,
                  &pshape, &prate, effvar, mvar, spare, ybar, s2, &ybar0,
                  &s20, gmean, gvar, &pmean, &pvar);
        put_array("gmean", gmean, 3);
        put_array("gvar", gvar, 3);
        put_d("pmean", pmean);
        put_d("pvar", pvar);
    }
}

static void rate_update(void) {
    ROUTINE(updatebb1_);
    ROUTINE(alikebb1_);
    ROUTINE(varbb1_);
    ROUTINE(optbb1_);
    DATA(double, tparvar_);
    DATA(double, tvarvar_);
    DATA(double, optvar_);
    DATA(struct kestrumr_uupar, uupar_);
    DATA(struct kestrumr_ngusev, ngusev_);
    const int32_t reserved = 0, nrow = 20, ngrp = 3;
    const double sinv = 31.5, hshape = 2.0, gshape = 2.0, wunit = 1.0,
                 rsum = 3.25, hrate = 1.0;
    const double points[4] = {-1.0, 0.0, 0.5, 2.0};
    double rate = 1.5;
    int k;
    if (!step("rate update", NAMES("updatebb1_", "alikebb1_", "varbb1_", "optbb1_",
                                   "tparvar_", "tvarvar_", "optvar_", "uupar_",
                                   "ngusev_")))
        return;
    for (k = 0; k < 3; ++k) {
        updatebb1_(&reserved, &sinv, &hshape, &gshape, &wunit, &rsum, &nrow,
                   &ngrp, &hrate, &rate);
        put_d("rate", rate);
        put_d("tparvar", *tparvar_);
        put_d("optvar", *optvar_);
        put_d("tvarvar", *tvarvar_);
    }
    put_i("ngusev.nrow", ngusev_->nrow);
    put_i("ngusev.ngrp", ngusev_->ngrp);
    put_d("uupar.sinv", uupar_->sinv);
    put_d("uupar.rsum", uupar_->rsum);
    for (k = 0; k < 4; ++k) put_d("alikebb1", alikebb1_(&points[k]));
    /* the mode search from a start of our own, then its curvature */
    *tparvar_ = 2.0;
    optbb1_();
    put_d("optbb1 optvar", *optvar_);
    *optvar_ = 0.0;
    varbb1_();
    put_d("varbb1 tvarvar", *tvarvar_);
}

static void estimation(void) {
    ROUTINE(kestrum_);
    enum { L = 20, J = 3, N = 10 };
    static double ydata[L * N];
    static double prob[L * (J - 1)], pmeanbar[L], pvarbar[L], gmeanbar[L * J],
        gvarbar[L * J];
    const int32_t reserved = 0, ipool = 1, nrow = L, ngrp = J, ntot = N,
                  nkeep = 30, nburn = 10;
    const double hshape = 2.0, hrate = 1.0, mvar[2] = {100.0, 100.0},
                 effvar[J - 1] = {10.0, 10.0};
    double prshape = 5.0, prscale = 5.0;
    int g, j;
    if (!step("kestrum", NAMES("kestrum_"))) return;
    /* rows: a fixed pattern in sixteenths, group 3 shifted on even rows and
     * group 2 on every third row */
    for (j = 0; j < N; ++j) {
        const int group = j < 3 ? 1 : (j < 7 ? 2 : 3);
        for (g = 0; g < L; ++g) {
            double v = (double)((g * 7 + j * 13 + (g * j) % 5) % 17) / 16.0;
            if (group == 3 && g % 2 == 0) v = v + 1.5;
            if (group == 2 && g % 3 == 0) v = v - 0.75;
            ydata[g + j * L] = v;
        }
    }
    kestrum_(&reserved, &ipool, &nrow, &ngrp, row_nobs, &ntot, ydata, &nkeep,
             &nburn, &hshape, &hrate, &prshape, &prscale, mvar, effvar, prob,
             pmeanbar, pvarbar, gmeanbar, gvarbar);
    put_d("prshape", prshape);
    put_d("prscale", prscale);
    put_array("prob", prob, L * (J - 1));
    put_array("pmeanbar", pmeanbar, L);
    put_array("pvarbar", pvarbar, L);
    put_array("gmeanbar", gmeanbar, L * J);
    put_array("gvarbar", gvarbar, L * J);
}

int main(void) {
    int i;
    if (!load_exports()) return 2;
    printf("kestrumr session: %d exports resolved\n", (int)n_exports);
    for (i = 0; i < n_exports; ++i) {
        printf("export %s%s\n", session_exports[i].name,
               session_exports[i].data ? " DATA" : "");
    }
    seed_generator();
    uniforms();
    continuous();
    discrete();
    linear_algebra();
    minimiser();
    statistics_and_sweep();
    rate_update();
    estimation();
    /* the generator's position after everything */
    {
        ROUTINE(zbqlu01_);
        const double zero = 0.0;
        if (step("final uniform", NAMES("zbqlu01_"))) put_d("zbqlu01", zbqlu01_(&zero));
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
