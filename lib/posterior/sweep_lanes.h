// Several rows' conditional sweeps at once, one row per SIMD lane.
//
// A row sweep (posterior/sweep.h) draws the same variates whatever the
// row's values: n gamma variates of shapes 0.5 n_j + a_j with rate 1, the
// pooled one of shape 0.5 N + a_0, then n + 1 standard normals (the pooled
// ones only with the pooled model on), each scaled afterwards.  So the
// variates of rows g, g+1, ... can be drawn first, in stream order (all of
// row g's, then all of row g+1's), and the arithmetic of the rows done side
// by side: every lane performs exactly the operations of row_sweep in
// exactly its order (no fused multiply-add; the library is compiled without
// contraction), so each lane's results are the bits row_sweep gives.
//
// A lane whose values leave the ordinary path - an infinite or NaN
// elimination multiplier (a zero or non-finite pivot, which makes the
// inversions take their other branch) or any result that is not finite,
// where NaN payloads could differ between packed and scalar instructions -
// is swept again by row_sweep itself from its untouched inputs and the same
// variates.  Rows of fewer than 1 or more than 7 groups always go one at a
// time (the lanes exist for the fixed-order kernels of orders 1 to 7).
//
// Widths: 2 lanes with SSE2 on every x86 build (32-bit x86 builds use SSE2
// for their scalar arithmetic too), 4 with AVX2 on x86-64 when the
// processor has it (decided at run time; not in Windows builds, where GCC
// cannot align the stack to the 32 bytes that spilled AVX registers need),
// 1 elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum::posterior {

// The sweep's arguments that every row of a run shares (row_sweep's
// ngrp, ipool, ntot, nobs, vshape, vrate, pshape, prate, effvar, mvar).
struct SweepShared {
    std::int32_t ngrp = 0;
    std::int32_t ipool = 0;
    std::int32_t ntot = 0;
    const std::int32_t* nobs = nullptr;
    const double* vshape = nullptr;
    const double* vrate = nullptr;
    double pshape = 0.0;
    double prate = 0.0;
    const double* effvar = nullptr;
    const double* mvar = nullptr;
};

// The most lanes any build sweeps at once, and the most variates of a row
// that go through the lanes (7 groups and the pooled sample).
inline constexpr int kMaxRowLanes = 4;
inline constexpr int kMaxLaneVariates = 8;

// Rows swept together, lane l being the row at offset l: group j of lane l
// at ybar[l + j*ld] (likewise s2, gmean, gvar), the pooled values at
// ybar0[l] (likewise s20, pmean, pvar), variate i of lane l at
// gam[l + i*width] and z[l + i*width] (the gammas and the standard normals
// in the order row_sweep draws them, as the variate source returned them).
// gmean, gvar, pmean and pvar are updated as row_sweep updates them.
struct LaneRows {
    std::int64_t ld = 0;
    const double* ybar = nullptr;
    const double* s2 = nullptr;
    double* gmean = nullptr;
    double* gvar = nullptr;
    const double* ybar0 = nullptr;
    const double* s20 = nullptr;
    double* pmean = nullptr;
    double* pvar = nullptr;
    const double* gam = nullptr;
    const double* z = nullptr;
};

// Buffers of the one-row sweep that a lane falls back to: 4 ngrp doubles
// for the row's values and sweep_scratch_size(ngrp) doubles of scratch.
struct LaneFallback {
    double* row = nullptr;
    double* scratch = nullptr;
};

// Lanes the rows of ngrp groups are swept in on this processor: 4, 2 or 1
// (one row at a time).  limit > 0 caps the width (1 turns the lanes off).
int row_lane_width(std::int32_t ngrp, int limit = 0);

// Sweeps width rows (width from row_lane_width, > 1) from their drawn
// variates.  Returns the mask of the lanes (bit l for lane l) that left
// the ordinary path and were swept by row_sweep.  Allocates nothing.
unsigned row_sweep_lanes(const SweepShared& sh, const LaneRows& rows, int width,
                         const LaneFallback& fb);

// The variates of one row sweep, drawn from src in row_sweep's order: the
// n gammas and the pooled one to gam[0], gam[stride], ..., then the n
// normals and the pooled one to z[0], z[stride], ...  Returns their count.
template <class Source>
int draw_row_variates(Source& src, const SweepShared& sh, double* gam, double* z,
                      std::int64_t stride) {
    const std::int32_t n = sh.ngrp;
    const bool pooled = sh.ipool == 1;
    int count = 0;
    for (std::int32_t j = 0; j < n; ++j, ++count) {
        const double shape = 0.5 * static_cast<double>(sh.nobs[j]) + sh.vshape[j];
        gam[count * stride] = src.gamma(shape, 1.0);
    }
    if (pooled) {
        gam[count * stride] = src.gamma(0.5 * static_cast<double>(sh.ntot) + sh.pshape, 1.0);
        ++count;
    }
    for (int i = 0; i < count; ++i) z[i * stride] = src.normal(0.0, 1.0);
    return count;
}

}  // namespace kestrum::posterior
