/* The analysis header compiles alone as C89, and a C host linked against
 * the shared library runs an analysis through it, filling no structure of
 * its own: options set, the analysis run, columns, row statuses, rate
 * diagnostics and warnings read back through the getters. */
#include "kestrumr_analysis.h"

#include <stdio.h>

#define L 40
#define N 6

static int is_nan(double x) { return x != x; }

/* Two analyses with the same seed; 0 when everything read back is right. */
static int run(kestrumr_session* s, double* p_mean) {
    static const int32_t nobs[2] = {3, 3};
    double y[L * N], mean1[L], rhat[L], rate = -1.0;
    int32_t status[L];
    unsigned long state = 12345;
    kestrumr_analysis_options* o = kestrumr_analysis_options_new();
    kestrumr_analysis_results* r = NULL;
    int g, c, bad = 0;
    size_t i;
    int64_t left_out = 0, scale_notes = 0;
    for (g = 0; g < L; ++g)
        for (c = 0; c < N; ++c) {
            state = (state * 1103515245ul + 12345ul) % 2147483648ul;
            y[g + c * L] = (double)(state % 10000) / 1000.0 + (c >= 3 && g % 4 == 0 ? 5.0 : 0.0);
        }
    y[2 + 4 * L] = 0.0 / 0.0; /* row 3: a value missing */
    for (c = 0; c < 3; ++c) y[4 + c * L] = 1.5; /* row 5: group 1 without spread */
    if (o == NULL) return 1;
    if (kestrumr_analysis_set_chains(o, 2) != KESTRUMR_OK) bad = 1;
    if (kestrumr_analysis_set_iterations(o, 100, 100) != KESTRUMR_OK) bad = 1;
    if (kestrumr_analysis_set_seed(o, 11) != KESTRUMR_OK) bad = 1;
    if (kestrumr_analysis_set_chains(o, 0) != KESTRUMR_ERR_ARGUMENT ||
        kestrumr_analysis_options_errmsg(o)[0] == '\0')
        bad = 1;
    if (kestrumr_analyse(s, o, L, 2, nobs, N, y, &r) != KESTRUMR_OK || r == NULL) {
        printf("kestrumr_analyse: %s\n", kestrumr_errmsg(s));
        kestrumr_analysis_options_free(o);
        return 1;
    }
    if (kestrumr_analysis_nrow(r) != L || kestrumr_analysis_ngrp(r) != 2 ||
        kestrumr_analysis_nchains(r) != 2 || !(kestrumr_analysis_scale(r) > 0.0))
        bad = 1;
    if (kestrumr_analysis_row_status(r, status, L) != KESTRUMR_OK) bad = 1;
    if (kestrumr_analysis_column(r, KESTRUMR_COLUMN_MEAN, 1, mean1, L) != KESTRUMR_OK) bad = 1;
    if (kestrumr_analysis_column(r, KESTRUMR_COLUMN_P_MEAN, 0, p_mean, L) != KESTRUMR_OK) bad = 1;
    if (kestrumr_analysis_column(r, KESTRUMR_COLUMN_RHAT, 0, rhat, L) != KESTRUMR_OK) bad = 1;
    if (kestrumr_analysis_column(r, KESTRUMR_COLUMN_DIFF, 0, rhat, L) != KESTRUMR_ERR_ARGUMENT) bad = 1;
    for (g = 0; g < L; ++g) {
        const int32_t want = g == 2 ? KESTRUMR_ROW_MISSING : g == 4 ? KESTRUMR_ROW_NO_SPREAD : KESTRUMR_ROW_OK;
        if (status[g] != want) bad = 1;
        if (want == KESTRUMR_ROW_OK && (is_nan(mean1[g]) || !(p_mean[g] >= 0.0 && p_mean[g] <= 1.0) ||
                                        is_nan(rhat[g])))
            bad = 1;
        if (want != KESTRUMR_ROW_OK && (!is_nan(mean1[g]) || !is_nan(p_mean[g]))) bad = 1;
    }
    if (kestrumr_analysis_rate(r, 1, 0, KESTRUMR_RATE_BURN_ACCEPTANCE, &rate) != KESTRUMR_OK ||
        !(rate >= 0.0 && rate <= 1.0))
        bad = 1;
    for (i = 0; i < kestrumr_analysis_warning_count(r); ++i) {
        if (kestrumr_analysis_warning_text(r, i)[0] == '\0') bad = 1;
        if (kestrumr_analysis_warning_kind(r, i) == KESTRUMR_WARNING_ROWS_LEFT_OUT)
            left_out += kestrumr_analysis_warning_rows(r, i);
        if (kestrumr_analysis_warning_kind(r, i) == KESTRUMR_WARNING_SCALE) ++scale_notes;
    }
    if (left_out != 2 || scale_notes != 1) bad = 1;
    if (kestrumr_analysis_warning_kind(r, i) != 0 || kestrumr_analysis_warning_text(r, i)[0] != '\0')
        bad = 1;
    kestrumr_analysis_results_free(r);
    kestrumr_analysis_options_free(o);
    return bad;
}

int main(void) {
    kestrumr_session* s = kestrumr_session_new();
    double first[L], again[L];
    int g, bad = 0;
    if (s == NULL) return 1;
    bad = run(s, first) || run(s, again);
    for (g = 0; g < L && !bad; ++g)
        if (!(first[g] == again[g] || (is_nan(first[g]) && is_nan(again[g])))) bad = 1;
    kestrumr_session_free(s);
    if (bad) {
        printf("the analysis through the C interface misbehaved\n");
        return 1;
    }
    printf("C analysis host: ok\n");
    return 0;
}
