// The mode search of the rate update and the exported update routines.
#include "hyper/update.h"

#include "hyper/nelmin.h"
#include "random/stream.h"

namespace kestrum::hyper {

double find_mode(const Blocks& b, double a0) {
    double start = a0;
    double xmin = a0;
    double ymin = 0.0;
    const double step = kModeStep;
    std::int32_t neval = 0;
    std::int32_t nrestart = 0;
    std::int32_t ierr = 0;
    // The objective is called directly, not through its exported wrapper;
    // the error code is deliberately ignored: the best point found is used.
    nelder_mead([&b](const double* a) { return log_rate_objective(b, *a); }, 1, &start, &xmin,
                &ymin, kModeTol, &step, kModeCheck, kModeBudget, &neval, &nrestart, &ierr);
    return xmin;
}

}  // namespace kestrum::hyper

// The exported rate update: the core above on the process-wide stream.  The
// first argument is never read.
extern "C" KESTRUMR_API void updatebb1_(const int32_t* /*reserved*/, const double* sinv,
                                        const double* hshape, const double* gshape,
                                        const double* wunit, const double* rsum,
                                        const int32_t* nrow, const int32_t* ngrp,
                                        const double* hrate, double* rate) {
    kestrum::hyper::update_rate(kestrum::random::process_stream(), kestrum::hyper::process_blocks(),
                                *sinv, *hshape, *gshape, *wunit, *rsum, *nrow, *ngrp, *hrate, rate);
}

// The exported mode search: from tparvar_, into optvar_; nothing else is
// touched.
extern "C" KESTRUMR_API void optbb1_(void) {
    optvar_ = kestrum::hyper::find_mode(kestrum::hyper::process_blocks(), tparvar_);
}
