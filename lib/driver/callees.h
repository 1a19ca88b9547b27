// The callees of the sampling loop: the rate update and the row sweep in
// their core forms (caller's scratch, variates from the given source).
#pragma once

#include <cstddef>
#include <cstdint>

#include "hyper/update.h"
#include "posterior/sweep.h"

namespace kestrum::driver {

// blocks: the five blocks the rate update works through, always named by
// the caller: the exported ones only for the routines of kestrumr.h, a
// block store of its own for everything else.
struct CoreCallees {
    hyper::Blocks blocks;

    explicit CoreCallees(const hyper::Blocks& b) : blocks(b) {}

    static std::size_t sweep_scratch_size(std::int32_t ngrp) {
        return posterior::sweep_scratch_size(ngrp);
    }

    // The row sweep is row_sweep itself, so the engine may sweep rows in
    // lanes instead (the same bits).
    bool rows_in_lanes(std::int32_t) const { return true; }

    template <class Source>
    void update_rate(Source& src, double sinv, double hshape, double gshape, double wunit,
                     double rsum, std::int32_t nrow, std::int32_t ngrp, double hrate,
                     double* rate) {
        hyper::update_rate(src, blocks, sinv, hshape, gshape, wunit, rsum, nrow, ngrp, hrate,
                           rate);
    }

    template <class Source>
    void row_sweep(Source& src, std::int32_t ngrp, std::int32_t ipool, const std::int32_t* ntot,
                   const std::int32_t* nobs, const double* vshape, const double* vrate,
                   const double* pshape, const double* prate, const double* effvar,
                   const double* mvar, const double* ybar, const double* s2,
                   const double* ybar0, const double* s20, double* gmean, double* gvar,
                   double* pmean, double* pvar, double* scratch) {
        posterior::row_sweep(src, ngrp, ipool, ntot, nobs, vshape, vrate, pshape, prate, effvar,
                             mvar, ybar, s2, ybar0, s20, gmean, gvar, pmean, pvar, scratch);
    }
};

}  // namespace kestrum::driver
