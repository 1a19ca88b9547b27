/* A downstream C program: seeds the process-wide generator and a session
 * with the same seed, runs the same small estimation through kestrum_ and
 * through the session, and checks that every output agrees bit for bit;
 * then the same through the analysis entry point with one unscaled chain,
 * whose seed option seeds its session as zbqlini_ seeds the process. */
#include <kestrumr_analysis.h>
#include <kestrumr_session.h>

#include <stdio.h>
#include <string.h>

#define L 5
#define J 3
#define N 8

int main(void) {
    const int32_t reserved = 0, ipool = 1, nrow = L, ngrp = J, ntot = N;
    const int32_t nobs[J] = {3, 2, 3}, nkeep = 40, nburn = 20, seed = 4711;
    const double hshape = 1.0, hrate = 1.0, mvar[2] = {10000.0, 10000.0};
    const double effvar[J - 1] = {10000.0, 10000.0};
    double y[L * N];
    double prshape = 0.0, prscale = 0.0;
    double a[2][L * (J - 1) + 2 * L + 2 * L * J], b[2][L * (J - 1) + 2 * L + 2 * L * J];
    kestrumr_problem problem;
    kestrumr_results results;
    kestrumr_session* session;
    kestrumr_analysis_options* options;
    kestrumr_analysis_results* analysis = NULL;
    double column[L];
    int g, t, run, status, j;

    for (g = 0; g < L; ++g)
        for (t = 0; t < N; ++t) y[g + t * L] = (double)((g * 5 + t * 3) % 7) + (t >= 5 ? g : 0);

    if (strcmp(kestrumr_version(), KESTRUMR_VERSION_STRING) != 0) {
        printf("downstream: the library is %s, the header %s\n", kestrumr_version(),
               KESTRUMR_VERSION_STRING);
        return 1;
    }

    zbqlini_(&seed);
    session = kestrumr_session_new();
    if (session == NULL || kestrumr_seed(session, (uint64_t)seed) != KESTRUMR_OK) {
        printf("downstream: no session\n");
        return 1;
    }
    problem.ipool = ipool;
    problem.nrow = nrow;
    problem.ngrp = ngrp;
    problem.nobs = nobs;
    problem.ntot = ntot;
    problem.ydata = y;
    problem.nkeep = nkeep;
    problem.nburn = nburn;
    problem.hshape = hshape;
    problem.hrate = hrate;
    problem.mvar = mvar;
    problem.effvar = effvar;
    /* Two runs each: the second goes on from the state the first left. */
    for (run = 0; run < 2; ++run) {
        double* p = a[run];
        double* q = b[run];
        kestrum_(&reserved, &ipool, &nrow, &ngrp, nobs, &ntot, y, &nkeep, &nburn, &hshape, &hrate,
                 &prshape, &prscale, mvar, effvar, p, p + L * (J - 1), p + L * J, p + L * (J + 1),
                 p + L * (2 * J + 1));
        results.prob = q;
        results.pmeanbar = q + L * (J - 1);
        results.pvarbar = q + L * J;
        results.gmeanbar = q + L * (J + 1);
        results.gvarbar = q + L * (2 * J + 1);
        results.pjoint = NULL;
        status = kestrumr_run(session, &problem, &results);
        if (status != KESTRUMR_OK) {
            printf("downstream: run %d failed (%d): %s\n", run + 1, status,
                   kestrumr_errmsg(session));
            return 1;
        }
    }
    kestrumr_session_free(session);
    if (memcmp(a, b, sizeof a) != 0) {
        printf("downstream: the session and kestrum_ differ\n");
        return 1;
    }

    session = kestrumr_session_new();
    options = kestrumr_analysis_options_new();
    if (session == NULL || options == NULL || kestrumr_analysis_set_chains(options, 1) != KESTRUMR_OK ||
        kestrumr_analysis_set_scale(options, KESTRUMR_SCALE_NONE, 0.0) != KESTRUMR_OK ||
        kestrumr_analysis_set_start(options, KESTRUMR_START_FIXED) != KESTRUMR_OK ||
        kestrumr_analysis_set_iterations(options, nburn, nkeep) != KESTRUMR_OK ||
        kestrumr_analysis_set_pooled(options, ipool) != KESTRUMR_OK ||
        kestrumr_analysis_set_seed(options, seed) != KESTRUMR_OK) {
        printf("downstream: no analysis options\n");
        return 1;
    }
    status = kestrumr_analyse(session, options, nrow, ngrp, nobs, ntot, y, &analysis);
    if (status != KESTRUMR_OK) {
        printf("downstream: the analysis failed (%d): %s\n", status, kestrumr_errmsg(session));
        return 1;
    }
    for (j = 0; j < J; ++j) {
        if (kestrumr_analysis_column(analysis, KESTRUMR_COLUMN_MEAN, j, column, L) != KESTRUMR_OK ||
            memcmp(column, a[0] + L * (J + 1) + L * j, sizeof column) != 0) {
            printf("downstream: the analysis and kestrum_ differ in the means of group %d\n", j + 1);
            return 1;
        }
    }
    kestrumr_analysis_results_free(analysis);
    kestrumr_analysis_options_free(options);
    kestrumr_session_free(session);
    printf("downstream: kestrumr %s, session and kestrum_ agree on %u values\n",
           kestrumr_version(), (unsigned)(sizeof a / sizeof a[0][0]));
    return 0;
}
