// kestrum_: one complete estimation run by the engine (driver/estimate.h).
// Phases, in order: preparation (workspace, starting values, per-row
// statistics), sampling, summaries, release.
#include <cstddef>
#include <limits>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#include <cstdint>
#endif

#include "driver/callees.h"
#include "driver/estimate.h"
#include "driver/run.h"
#include "kestrumr.h"
#include "random/messages.h"
#include "random/stream.h"

namespace kestrum::driver {

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

// Blocks of 8 MiB and more (the contrast stores above all, written once
// per kept iteration) are asked for in the kernel's 2 MiB pages where it
// offers them on request: touched page by page in 4 KiB pages they cost one
// fault each, about a tenth of a whole run's time.  Only how the memory is
// mapped changes.
double* allocate_block(std::size_t n) {
    double* p = new (std::nothrow) double[n > 0 ? n : 1];
#if defined(__linux__)
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    if (p != nullptr && n * sizeof(double) >= 4 * kHuge) {
        const auto a = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t lo = (a + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t hi = (a + n * sizeof(double)) & ~(kHuge - 1);
        if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
    }
#endif
    return p;
}

void release_block(double* block) { delete[] block; }

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
