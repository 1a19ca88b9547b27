// Choice of the lane width and the scalar fallback of the row lanes
// (posterior/sweep_lanes.h); the kernels are in sweep_lanes_sse2.cpp and
// sweep_lanes_avx2.cpp.
#include "posterior/sweep_lanes.h"

#include <cstdint>

#include "posterior/sweep.h"

namespace kestrum::posterior {

namespace detail {
#if defined(__SSE2__)
#define KESTRUMR_ROW_LANES_SSE2 1
unsigned sweep_lanes_sse2(const SweepShared& sh, const LaneRows& in);
#endif
#if defined(__x86_64__) && !defined(_WIN32) && defined(__GNUC__)
#define KESTRUMR_ROW_LANES_AVX2 1
unsigned sweep_lanes_avx2(const SweepShared& sh, const LaneRows& in);
#endif
}  // namespace detail

namespace {

// The widest lanes this processor has.
int widest_lanes() {
#if defined(KESTRUMR_ROW_LANES_AVX2)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return 4;
#endif
#if defined(KESTRUMR_ROW_LANES_SSE2)
    return 2;
#else
    return 1;
#endif
}

// The drawn variates of one lane, handed back to row_sweep as its source
// asked for them (the normals as the source returned them for mean 0 and
// standard deviation 1, so z * 1 + 0 gives them back unchanged).
struct DrawnFeed {
    const double* gam;
    const double* z;
    std::int64_t stride;
    double gamma(double, double) {
        const double g = *gam;
        gam += stride;
        return g;
    }
    double normal(double mu, double sigma) {
        const double x = *z * sigma + mu;
        z += stride;
        return x;
    }
};

// Lane l swept by row_sweep itself, from its inputs and drawn variates.
void sweep_lane_scalar(const SweepShared& sh, const LaneRows& in, int width, int l,
                       const LaneFallback& fb) {
    const std::int32_t n = sh.ngrp;
    const std::int64_t ld = in.ld;
    double* const ybar = fb.row;
    double* const s2 = ybar + n;
    double* const gmean = s2 + n;
    double* const gvar = gmean + n;
    for (std::int32_t j = 0; j < n; ++j) {
        ybar[j] = in.ybar[l + j * ld];
        s2[j] = in.s2[l + j * ld];
        gmean[j] = in.gmean[l + j * ld];
        gvar[j] = in.gvar[l + j * ld];
    }
    double pmean = in.pmean[l];
    double pvar = in.pvar[l];
    DrawnFeed feed{in.gam + l, in.z + l, width};
    row_sweep(feed, n, sh.ipool, &sh.ntot, sh.nobs, sh.vshape, sh.vrate, &sh.pshape, &sh.prate,
              sh.effvar, sh.mvar, ybar, s2, in.ybar0 + l, in.s20 + l, gmean, gvar, &pmean, &pvar,
              fb.scratch);
    for (std::int32_t j = 0; j < n; ++j) {
        in.gmean[l + j * ld] = gmean[j];
        in.gvar[l + j * ld] = gvar[j];
    }
    in.pmean[l] = pmean;
    in.pvar[l] = pvar;
}

}  // namespace

int row_lane_width(std::int32_t ngrp, int limit) {
    if (ngrp < 1 || ngrp > 7) return 1;
    static const int widest = widest_lanes();  // asked once
    const int cap = limit > 0 ? limit : kMaxRowLanes;
    if (widest >= 4 && cap >= 4) return 4;
    if (widest >= 2 && cap >= 2) return 2;
    return 1;
}

unsigned row_sweep_lanes(const SweepShared& sh, const LaneRows& rows, int width,
                         const LaneFallback& fb) {
    unsigned redo = (1u << width) - 1u;
#if defined(KESTRUMR_ROW_LANES_AVX2)
    if (width == 4) redo = detail::sweep_lanes_avx2(sh, rows);
#endif
#if defined(KESTRUMR_ROW_LANES_SSE2)
    if (width == 2) redo = detail::sweep_lanes_sse2(sh, rows);
#endif
    for (int l = 0; l < width; ++l) {
        if ((redo >> l) & 1u) sweep_lane_scalar(sh, rows, width, l, fb);
    }
    return redo;
}

}  // namespace kestrum::posterior
