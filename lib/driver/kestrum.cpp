// kestrum_: one complete estimation run.  Phases, in order: preparation
// (workspace, starting values, per-row statistics), sampling, summaries,
// release.
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>

#include "driver/callees.h"
#include "driver/estimate.h"
#include "driver/run.h"
#include "kestrumr.h"
#include "posterior/inverse.h"
#include "posterior/statistics.h"
#include "random/messages.h"
#include "random/stream.h"

namespace kestrum::driver {

void carve_workspace(Arena& a, Run& r, std::size_t sweep_doubles) {
    const auto L = static_cast<std::size_t>(r.d.L);
    const auto J = static_cast<std::size_t>(r.d.J);
    const auto N = static_cast<std::size_t>(r.d.N);
    const auto K = static_cast<std::size_t>(r.d.K);
    const auto D = static_cast<std::size_t>(r.d.D);
    const std::size_t M = J >= 1 ? J - 1 : 0;
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
    r.spare = a.take(M);
    r.row_ybar = a.take(J);
    r.row_s2 = a.take(J);
    r.row_gmean = a.take(J);
    r.row_gvar = a.take(J);
    // The observation buffer holds N values, or as many as the groups read
    // when nobs adds up to more than N (the excess is NaN, never memory
    // beyond the buffer).
    std::size_t nread = N;
    if (r.nobs != nullptr) {
        std::size_t sum = 0;
        for (std::size_t j = 0; j < J; ++j) {
            if (r.nobs[j] > 0 && !checked_add(sum, static_cast<std::size_t>(r.nobs[j]), &sum)) {
                a.fail();
            }
        }
        if (sum > nread) nread = sum;
    }
    r.obs_size = nread;
    r.obs = a.take(nread);
    r.gmeandraw = a.take(L, J, K);
    r.gvardraw = a.take(L, J, K);
    r.pmeandraw = a.take(L, K);
    r.pvardraw = a.take(L, K);

    r.sum_gmean = a.take(J);
    r.sum_gvar = a.take(J);
    r.mdiff = a.take(K, M);
    r.vdiff = a.take(K, M);
    r.sum_d = a.take(M);
    r.sum_d2 = a.take(M);
    r.sum_c = a.take(M);
    r.sum_c2 = a.take(M);
    r.cross = a.take(D >= 1 ? D / 2 : 0, D >= 1 ? D - 1 : 0);  // D(D-1)/2, D even
    r.dcov = a.take(D, D);
    r.mcov = a.take(M, M);
    r.dcovinv = a.take(D, D);
    r.mcovinv = a.take(M, M);
    r.u = a.take(D);
    // The inversions take their order as an int32.
    if (r.d.D > std::numeric_limits<std::int32_t>::max()) {
        a.fail();
        r.inverse_scratch = nullptr;
    } else {
        r.inverse_scratch = a.take(posterior::inverse_scratch_size(static_cast<std::int32_t>(D)));
    }
    r.sweep_scratch = a.take(sweep_doubles);
}

Run make_run(const Arguments& a) {
    Run r;
    r.d = Dims::from_arguments(a.nrow, a.ngrp, a.ntot, a.nkeep, a.nburn);
    r.reserved = a.reserved;
    r.ipool = a.ipool;
    r.nrow = a.nrow;
    r.ngrp = a.ngrp;
    r.ntot = a.ntot;
    r.nobs = a.nobs;
    r.ydata = a.ydata;
    r.hshape = a.hshape;
    r.hrate = a.hrate;
    r.prshape = 1.0;
    r.prscale = 1.0;
    r.mvar = a.mvar;
    r.effvar = a.effvar;
    return r;
}

double* allocate_block(std::size_t n) { return new (std::nothrow) double[n > 0 ? n : 1]; }

void release_block(double* block) { delete[] block; }

double* obtain_workspace(Run& r, std::size_t sweep_doubles, Allocate allocate) {
    Arena plan;
    carve_workspace(plan, r, sweep_doubles);
    if (plan.overflowed() ||
        plan.used() > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) /
                          sizeof(double)) {
        return nullptr;
    }
    double* block = allocate(plan.used());
    if (block == nullptr) return nullptr;
    Arena arena(block);
    carve_workspace(arena, r, sweep_doubles);
    return block;
}

std::size_t store_bytes(const Dims& d) {
    std::size_t n;
    if (!checked_mul(static_cast<std::size_t>(d.K), static_cast<std::size_t>(d.L), &n) ||
        !checked_mul(n, static_cast<std::size_t>(d.D), &n) || !checked_mul(n, sizeof(double), &n)) {
        return std::numeric_limits<std::size_t>::max();
    }
    return n;
}

void report_workspace_failure() {
    write_message({"",
                   "     ****ERROR**** Not enough memory for the workspace in  KESTRUM",
                   "     (no draws were made; every output holds NaN)",
                   ""});
}

void prepare(Run& r) {
    const std::int64_t L = r.d.L, J = r.d.J, N = r.d.N;
    for (std::int64_t j = 0; j + 1 < J; ++j) r.spare[j] = 0.0;
    for (std::int64_t j = 0; j < J; ++j) {
        r.precsum[j] = static_cast<double>(r.nrow);
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
        for (std::size_t t = static_cast<std::size_t>(N); t < r.obs_size; ++t) {
            r.obs[t] = std::numeric_limits<double>::quiet_NaN();
        }
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
    r.pprecsum = static_cast<double>(r.nrow);
}

}  // namespace kestrum::driver

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

    kestrum::driver::Arguments a;
    a.reserved = reserved;
    a.ipool = *ipool;
    a.nrow = *nrow;
    a.ngrp = *ngrp;
    a.nobs = nobs;
    a.ntot = *ntot;
    a.ydata = ydata;
    a.nkeep = *nkeep;
    a.nburn = *nburn;
    a.hshape = *hshape;
    a.hrate = *hrate;
    a.mvar = mvar;
    a.effvar = effvar;
    kestrum::driver::Outputs out;
    out.prob = prob;
    out.pmeanbar = pmeanbar;
    out.pvarbar = pvarbar;
    out.gmeanbar = gmeanbar;
    out.gvarbar = gvarbar;
    kestrum::driver::CoreCallees callees(kestrum::hyper::process_blocks());
    // On the caller's thread; the contrast stores within the default budget,
    // the replay beyond it.  An allocation that succeeds is no sign that the
    // memory exists (overcommit), and in a 32-bit host the address space is
    // the host's: the stores are not taken merely because they can be had.
    kestrum::driver::EngineOptions options;
    options.threads = 1;
    options.store_budget = kestrum::driver::kDefaultStoreBudget;
    kestrum::driver::estimate(kestrum::random::process_stream(), callees, a, out, {},
                              kestrum::driver::allocate_block, options);
}
