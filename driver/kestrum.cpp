// kestrum_: one complete estimation run.  Phases, in order: preparation
// (workspace, starting values, per-row statistics), sampling, summaries,
// release.
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>

#include "driver/run.h"
#include "kestrumr.h"
#include "posterior/statistics.h"
#include "random/messages.h"

namespace kestrum::driver {

void carve_workspace(Arena& a, Run& r) {
    const auto L = static_cast<std::size_t>(r.d.L);
    const auto J = static_cast<std::size_t>(r.d.J);
    const auto N = static_cast<std::size_t>(r.d.N);
    const auto K = static_cast<std::size_t>(r.d.K);
    r.ybar = a.take(L, J);
    r.s2 = a.take(L, J);
    r.ybar0 = a.take(L);
    r.s20 = a.take(L);
    r.gmean = a.take(L, J);
    r.gvar = a.take(L, J);
    r.pmean = a.take(L);
    r.pvar = a.take(L);
    r.vshape = a.take(J);
    r.vrate = a.take(J);
    r.precsum = a.take(J);
    r.spare = a.take(J >= 1 ? J - 1 : 0);
    r.row_ybar = a.take(J);
    r.row_s2 = a.take(J);
    r.row_gmean = a.take(J);
    r.row_gvar = a.take(J);
    r.obs = a.take(N);
    r.gmeandraw = a.take(L, J, K);
    r.gvardraw = a.take(L, J, K);
    r.pmeandraw = a.take(L, K);
    r.pvardraw = a.take(L, K);
}

void prepare(Run& r) {
    const std::int64_t L = r.d.L, J = r.d.J, N = r.d.N;
    for (std::int64_t j = 0; j + 1 < J; ++j) r.spare[j] = 0.0;
    for (std::int64_t j = 0; j < J; ++j) {
        r.precsum[j] = static_cast<double>(L);
        r.vshape[j] = 2.0;
        r.vrate[j] = 2.0;
    }
    r.pshape = 2.0;
    r.prate = 2.0;
    for (std::int64_t g = 0; g < L; ++g) {
        for (std::int64_t j = 0; j < J; ++j) {
            r.gmean[g + j * L] = 0.0;
            r.gvar[g + j * L] = 1.0;
        }
        r.pmean[g] = 0.0;
        r.pvar[g] = 1.0;
        for (std::int64_t t = 0; t < N; ++t) r.obs[t] = r.ydata[g + t * L];
        for (std::int64_t j = 0; j < J; ++j) {
            r.row_ybar[j] = 0.0;
            r.row_s2[j] = 1.0;
        }
        double pooled_mean = 0.0;
        double pooled_var = 1.0;
        posterior::group_statistics(r.obs, r.ipool, r.ngrp, r.ntot, r.nobs, r.row_ybar,
                                    r.row_s2, &pooled_mean, &pooled_var);
        for (std::int64_t j = 0; j < J; ++j) {
            r.ybar[g + j * L] = r.row_ybar[j];
            r.s2[g + j * L] = r.row_s2[j];
        }
        r.ybar0[g] = pooled_mean;
        r.s20[g] = pooled_var;
    }
    double sum = 0.0;
    for (std::int64_t j = 0; j < J; ++j) sum = sum + r.vrate[j];
    r.ratesum = sum;
    r.pprecsum = static_cast<double>(L);
}

}  // namespace kestrum::driver

namespace {

using kestrum::driver::Arena;
using kestrum::driver::Run;

// The workspace could not be obtained: say so, and fill every output with
// NaN so that nothing stale can be taken for a result.
void report_workspace_failure(const Run& r, double* prob, double* pmeanbar, double* pvarbar,
                              double* gmeanbar, double* gvarbar) {
    kestrum::write_message({"",
                            "     ****ERROR**** Not enough memory for the workspace in  KESTRUM",
                            "     (no draws were made; every output holds NaN)",
                            ""});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::int64_t L = r.d.L, J = r.d.J;
    for (std::int64_t g = 0; g < L; ++g) {
        pmeanbar[g] = nan;
        pvarbar[g] = nan;
        for (std::int64_t j = 0; j < J; ++j) {
            gmeanbar[g + j * L] = nan;
            gvarbar[g + j * L] = nan;
        }
        for (std::int64_t j = 0; j + 1 < J; ++j) prob[g + j * L] = nan;
    }
}

}  // namespace

extern "C" KESTRUMR_API void kestrum_(const int32_t* reserved, const int32_t* ipool,
                                      const int32_t* nrow, const int32_t* ngrp,
                                      const int32_t* nobs, const int32_t* ntot,
                                      const double* ydata, const int32_t* nkeep,
                                      const int32_t* nburn, const double* hshape,
                                      const double* hrate, double* prshape, double* prscale,
                                      const double* mvar, const double* effvar, double* prob,
                                      double* pmeanbar, double* pvarbar, double* gmeanbar,
                                      double* gvarbar) {
    // prshape and prscale are fixed at 1.0 whatever the caller passed.
    *prshape = 1.0;
    *prscale = 1.0;

    Run r;
    r.d = kestrum::driver::Dims::from_arguments(*nrow, *ngrp, *ntot, *nkeep, *nburn);
    r.reserved = reserved;
    r.ipool = *ipool;
    r.nrow = *nrow;
    r.ngrp = *ngrp;
    r.ntot = *ntot;
    r.nobs = nobs;
    r.ydata = ydata;
    r.hshape = *hshape;
    r.hrate = *hrate;
    r.prshape = 1.0;
    r.prscale = 1.0;
    r.mvar = mvar;
    r.effvar = effvar;

    // Plan the workspace, then obtain it in one block.
    Arena plan;
    kestrum::driver::carve_workspace(plan, r);
    double* block = nullptr;
    if (!plan.overflowed() &&
        plan.used() <= std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double)) {
        block = new (std::nothrow) double[plan.used() > 0 ? plan.used() : 1];
    }
    if (block == nullptr) {
        report_workspace_failure(r, prob, pmeanbar, pvarbar, gmeanbar, gvarbar);
        return;
    }
    Arena arena(block);
    kestrum::driver::carve_workspace(arena, r);

    kestrum::driver::prepare(r);
    // Sampling and summaries follow here.
    (void)prob;
    (void)pmeanbar;
    (void)pvarbar;
    (void)gmeanbar;
    (void)gvarbar;

    delete[] block;
}
