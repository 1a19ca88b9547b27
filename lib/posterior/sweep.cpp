// The deterministic steps of one row's Gibbs sweep (the moments of the
// reparametrised means and the conditional moments of one coordinate), and
// the exported rpostcal_, which runs the sweep on the process-wide stream.
#include "posterior/sweep.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "kestrumr.h"
#include "posterior/inverse.h"
#include "posterior/inverse_small.h"
#include "random/messages.h"
#include "random/stream.h"

namespace kestrum::posterior {

using detail::sat_add;
using detail::sat_mul;

std::size_t sweep_scratch_size(std::int32_t ngrp) {
    if (ngrp < 1) return 0;
    const std::size_t n = static_cast<std::size_t>(ngrp);
    const std::size_t n1 = n - 1;
    std::size_t total = sat_mul(5, n);                       // w, theta, b, m, v
    total = sat_add(total, sat_mul(2, sat_mul(n, n)));       // R, S
    total = sat_add(total, n1);                              // c
    total = sat_add(total, sat_mul(2, sat_mul(n1, n1)));     // T, P
    return sat_add(total, inverse_scratch_size(ngrp));       // inversions
}

SweepWork carve_sweep_scratch(std::int32_t ngrp, double* scratch) {
    const std::size_t n = static_cast<std::size_t>(ngrp);
    const std::size_t n1 = n - 1;
    SweepWork wk{};
    double* p = scratch;
    auto take = [&p](std::size_t count) {
        double* q = p;
        p += count;
        return q;
    };
    wk.w = take(n);
    wk.theta = take(n);
    wk.b = take(n);
    wk.m = take(n);
    wk.v = take(n);
    wk.rmat = take(n * n);
    wk.smat = take(n * n);
    wk.c = take(n1);
    wk.tmat = take(n1 * n1);
    wk.pmat = take(n1 * n1);
    wk.inv = p;
    return wk;
}

void current_theta(std::int32_t n, const double* gmean, double* theta) {
    const double dn = static_cast<double>(n);
    double sum = 0.0;
    for (std::int32_t j = 0; j < n; ++j) sum = sum + gmean[j];
    theta[0] = sum / dn;
    for (std::int32_t j = 1; j < n; ++j) theta[j] = (gmean[j] - theta[0]) * dn;
}

void precision_matrix(std::int32_t n, const std::int32_t* nobs, const double* effvar,
                      double mvar1, const double* gvar, double* w, double* rmat) {
    const std::size_t un = static_cast<std::size_t>(n);
    const double dn = static_cast<double>(n);
    // n*n as an integer product, in 64 bits so that it cannot overflow.
    const double nn = static_cast<double>(static_cast<std::int64_t>(n) * n);
    double wsum = 0.0;
    for (std::size_t j = 0; j < un; ++j) {
        w[j] = static_cast<double>(nobs[j]) / gvar[j];
        wsum = wsum + w[j];
    }
    auto r = [rmat, un](std::size_t i, std::size_t j) -> double& { return rmat[i + j * un]; };
    r(0, 0) = 1.0 / mvar1 + wsum;
    for (std::size_t j = 1; j < un; ++j) {
        r(j, j) = 1.0 / effvar[j - 1] + (w[0] + w[j]) / nn;
        const double edge = (w[j] - w[0]) / dn;
        r(0, j) = edge;
        r(j, 0) = edge;
        for (std::size_t i = 1; i < j; ++i) {
            const double inner = w[0] / nn;
            r(i, j) = inner;
            r(j, i) = inner;
        }
    }
}

void theta_moments(std::int32_t n, const std::int32_t* nobs, const double* effvar, double mvar1,
                   const double* ybar, const double* gvar, const SweepWork& wk) {
    const std::size_t un = static_cast<std::size_t>(n);
    const double dn = static_cast<double>(n);
    precision_matrix(n, nobs, effvar, mvar1, gvar, wk.w, wk.rmat);
    invert_fast(wk.rmat, wk.smat, n, wk.inv);
    double b1 = 0.0;
    for (std::size_t j = 0; j < un; ++j) {
        wk.v[j] = wk.w[j] * ybar[j];
        b1 = b1 + wk.v[j];
    }
    wk.b[0] = b1;
    for (std::size_t j = 1; j < un; ++j) wk.b[j] = (wk.v[j] - wk.v[0]) / dn;
    for (std::size_t i = 0; i < un; ++i) {
        double sum = 0.0;
        for (std::size_t l = 0; l < un; ++l) sum = sum + wk.smat[i + l * un] * wk.b[l];
        wk.m[i] = sum;
    }
}

void conditional_moments_reference(std::int32_t n, std::int32_t k, const SweepWork& wk,
                                   double* var, double* mean) {
    const std::size_t un = static_cast<std::size_t>(n);
    const std::size_t uk = static_cast<std::size_t>(k);
    const std::size_t n1 = un - 1;
    const double* const s = wk.smat;
    // Index of the i-th remaining coordinate (0-based) once k is left out.
    auto prime = [uk](std::size_t i) { return i < uk ? i : i + 1; };
    if (n >= 2) {
        for (std::size_t l = 0; l < n1; ++l) {
            for (std::size_t i = 0; i < n1; ++i) {
                wk.tmat[i + l * n1] = s[prime(i) + prime(l) * un];
            }
        }
        invert(wk.tmat, wk.pmat, n - 1, wk.inv);
    }
    for (std::size_t j = 0; j < n1; ++j) {
        double sum = 0.0;
        for (std::size_t l = 0; l < n1; ++l) sum = sum + s[uk + prime(l) * un] * wk.pmat[l + j * n1];
        wk.c[j] = sum;
    }
    // The two sums in their own accumulators, then applied once each.
    double vsum = 0.0;
    double msum = 0.0;
    for (std::size_t j = 0; j < n1; ++j) {
        const std::size_t jp = prime(j);
        vsum = vsum + wk.c[j] * s[jp + uk * un];
        msum = msum + wk.c[j] * (wk.theta[jp] - wk.m[jp]);
    }
    *var = s[uk + uk * un] - vsum;
    *mean = wk.m[uk] + msum;
}

namespace {

// conditional_moments for a fixed order N >= 2: the same operations in the
// same order, T and P in local arrays; c is written to the scratch as the
// reference leaves it.
template <int N>
void conditional_moments_order(std::int32_t k, const double* s, const double* m,
                               const double* theta, double* c, double* var, double* mean) {
    constexpr int N1 = N - 1;
    const int uk = k;
    int prime[N1];
    for (int i = 0; i < N1; ++i) prime[i] = i < uk ? i : i + 1;
    double t[N1 * N1], p[N1 * N1];
    for (int l = 0; l < N1; ++l) {
        for (int i = 0; i < N1; ++i) t[i + l * N1] = s[prime[i] + prime[l] * N];
    }
    invert_order<N1>(t, p);
    double vsum = 0.0;
    double msum = 0.0;
    for (int j = 0; j < N1; ++j) {
        double sum = 0.0;
        for (int l = 0; l < N1; ++l) sum = sum + s[uk + prime[l] * N] * p[l + j * N1];
        c[j] = sum;
        const int jp = prime[j];
        vsum = vsum + sum * s[jp + uk * N];
        msum = msum + sum * (theta[jp] - m[jp]);
    }
    *var = s[uk + uk * N] - vsum;
    *mean = m[uk] + msum;
}

}  // namespace

void conditional_moments(std::int32_t n, std::int32_t k, const SweepWork& wk, double* var,
                         double* mean) {
    switch (n) {
        case 2: conditional_moments_order<2>(k, wk.smat, wk.m, wk.theta, wk.c, var, mean); return;
        case 3: conditional_moments_order<3>(k, wk.smat, wk.m, wk.theta, wk.c, var, mean); return;
        case 4: conditional_moments_order<4>(k, wk.smat, wk.m, wk.theta, wk.c, var, mean); return;
        case 5: conditional_moments_order<5>(k, wk.smat, wk.m, wk.theta, wk.c, var, mean); return;
        case 6: conditional_moments_order<6>(k, wk.smat, wk.m, wk.theta, wk.c, var, mean); return;
        case 7: conditional_moments_order<7>(k, wk.smat, wk.m, wk.theta, wk.c, var, mean); return;
        default: conditional_moments_reference(n, k, wk, var, mean); return;
    }
}

void means_from_theta(std::int32_t n, const double* theta, double* gmean) {
    const double dn = static_cast<double>(n);
    double sum = 0.0;
    for (std::int32_t j = 1; j < n; ++j) sum = sum + theta[j];
    gmean[0] = theta[0] - sum / dn;
    for (std::int32_t j = 1; j < n; ++j) gmean[j] = theta[0] + theta[j] / dn;
}

}  // namespace kestrum::posterior

// The exported sweep: its own scratch for the one call and the process-wide
// stream.  When the scratch cannot be had, it says so, draws nothing and
// sets gmean, gvar (and, with the pooled model on, pmean and pvar) to NaN.
extern "C" KESTRUMR_API void rpostcal_(const int32_t* /*reserved*/, const int32_t* ngrp,
                                       const int32_t* ipool, const int32_t* ntot,
                                       const int32_t* nobs, const double* vshape,
                                       const double* vrate, const double* pshape,
                                       const double* prate, const double* effvar,
                                       const double* mvar, const double* /*spare*/,
                                       const double* ybar, const double* s2, const double* ybar0,
                                       const double* s20, double* gmean, double* gvar,
                                       double* pmean, double* pvar) {
    const std::int32_t n = *ngrp;
    const std::int32_t pool = *ipool;
    const std::size_t size = kestrum::posterior::sweep_scratch_size(n);
    double* scratch = nullptr;
    if (size > 0) {
        if (size < kestrum::posterior::detail::kSizeMax / sizeof(double)) {
            scratch = new (std::nothrow) double[size];
        }
        if (scratch == nullptr) {
            kestrum::write_message({"",
                                    "     ****ERROR**** Not enough memory for the workspace in  RPOSTCAL",
                                    "     (no draws were made; the outputs hold NaN)",
                                    ""});
            const double nan = std::numeric_limits<double>::quiet_NaN();
            for (std::int32_t j = 0; j < n; ++j) {
                gmean[j] = nan;
                gvar[j] = nan;
            }
            if (pool == 1) {
                *pmean = nan;
                *pvar = nan;
            }
            return;
        }
    }
    kestrum::posterior::row_sweep(kestrum::random::process_stream(), n, pool, ntot, nobs, vshape,
                                  vrate, pshape, prate, effvar, mvar, ybar, s2, ybar0, s20, gmean,
                                  gvar, pmean, pvar, scratch);
    delete[] scratch;
}
