// The arithmetic of row_sweep (posterior/sweep.h) on a vector of rows, one
// row per lane, written over a lane type V: every statement is the scalar
// statement it mirrors, the same operations on the same operands in the
// same order, so each lane computes the scalar bits.  Included only by the
// translation units that instantiate it for one instruction set
// (sweep_lanes_sse2.cpp, sweep_lanes_avx2.cpp), each with a lane type of
// its own in an unnamed namespace, so that no instantiation is shared
// between instruction sets.
//
// V provides: V::W lanes; V(double) (every lane that value); V::load(p)
// and V::store(p, x) of W consecutive doubles; +, -, *, / and sqrt(x) lane
// by lane; V::lane(x, l); V::bad(x), the mask of the lanes that are not
// +-0 (NaN included).
#pragma once

#include <cstdint>

#include "posterior/sweep.h"
#include "posterior/sweep_lanes.h"

namespace kestrum::posterior::lanes {

// invert_order<N> on the finite path (every elimination multiplier
// finite), and its test: chk accumulates l * 0.0 for every multiplier, so
// it stays +-0 exactly when the scalar inversion takes this path.
template <class V, int N>
inline void invert_lanes(const V* amat, V* ainv, V& chk) {
    V a[N][N];
    for (int j = 0; j < N; ++j) {
        for (int i = 0; i < N; ++i) a[i][j] = amat[i + j * N];
    }
    V l[N][N];
    for (int k = 0; k + 1 < N; ++k) {
        for (int i = k + 1; i < N; ++i) {
            const V f = a[i][k] / a[k][k];
            l[i][k] = f;
            for (int j = k + 1; j < N; ++j) a[i][j] = a[i][j] - f * a[k][j];
        }
    }
    const V zero(0.0);
    for (int k = 0; k + 1 < N; ++k) {
        for (int i = k + 1; i < N; ++i) chk = chk + l[i][k] * zero;
    }
    for (int k = 0; k < N; ++k) {
        V d[N];
        for (int i = 0; i < k; ++i) d[i] = zero;
        d[k] = V(1.0);
        for (int i = k + 1; i < N; ++i) {
            V di = zero;
            for (int j = k; j < i; ++j) di = di - l[i][j] * d[j];
            d[i] = di;
        }
        V y[N];
        y[N - 1] = d[N - 1] / a[N - 1][N - 1];
        for (int i = N - 2; i >= 0; --i) {
            V yi = d[i];
            for (int j = N - 1; j > i; --j) yi = yi - a[i][j] * y[j];
            y[i] = yi / a[i][i];
        }
        for (int i = 0; i < N; ++i) ainv[i + k * N] = y[i];
    }
}

// conditional_moments for order N (conditional_moments_order, and for
// N = 1 the reference's var = S(1,1) - 0.0, mean = m_1 + 0.0).
template <class V, int N>
inline void conditional_lanes(int k, const V* s, const V* m, const V* theta, V* var, V* mean,
                              V& chk) {
    constexpr int N1 = N - 1;
    V vsum(0.0);
    V msum(0.0);
    if constexpr (N1 >= 1) {
        int prime[N1];
        for (int i = 0; i < N1; ++i) prime[i] = i < k ? i : i + 1;
        V t[N1 * N1], p[N1 * N1];
        for (int l = 0; l < N1; ++l) {
            for (int i = 0; i < N1; ++i) t[i + l * N1] = s[prime[i] + prime[l] * N];
        }
        invert_lanes<V, N1>(t, p, chk);
        for (int j = 0; j < N1; ++j) {
            V sum(0.0);
            for (int l = 0; l < N1; ++l) sum = sum + s[k + prime[l] * N] * p[l + j * N1];
            const int jp = prime[j];
            vsum = vsum + sum * s[jp + k * N];
            msum = msum + sum * (theta[jp] - m[jp]);
        }
    }
    *var = s[k + k * N] - vsum;
    *mean = m[k] + msum;
}

// The sweep of V::W rows of N groups.  Lanes that stay on the ordinary
// path get their results written; the mask of the others (left untouched,
// for row_sweep to redo) is returned.
template <class V, int N>
unsigned sweep_lanes_order(const SweepShared& sh, const LaneRows& in) {
    constexpr int W = V::W;
    const std::int64_t ld = in.ld;
    const bool pooled = sh.ipool == 1;
    const double dn = static_cast<double>(N);
    const V vdn(dn);
    const V zero(0.0);
    V chk(0.0);

    // 1. theta from the incoming means.
    V gm[N], theta[N];
    for (int j = 0; j < N; ++j) gm[j] = V::load(in.gmean + j * ld);
    {
        V sum(0.0);
        for (int j = 0; j < N; ++j) sum = sum + gm[j];
        theta[0] = sum / vdn;
        for (int j = 1; j < N; ++j) theta[j] = (gm[j] - theta[0]) * vdn;
    }
    // 2. Group variances: variance_rate, then rate * (1 / G).
    V yb[N], gv[N];
    for (int j = 0; j < N; ++j) {
        const double dnj = static_cast<double>(sh.nobs[j]);
        const V nm1(group_count_less_one(sh.nobs[j]));
        yb[j] = V::load(in.ybar + j * ld);
        const V d = yb[j] - gm[j];
        const V rate = ((nm1 * V::load(in.s2 + j * ld)) * V(0.5) + V(sh.vrate[j])) +
                       ((d * d) * V(dnj)) * V(0.5);
        gv[j] = rate * (V(1.0) / V::load(in.gam + j * W));
    }
    // 3. Pooled variance.
    V sigma0(0.0), vdN(0.0), yb0(0.0);
    if (pooled) {
        const double dN = static_cast<double>(sh.ntot);
        vdN = V(dN);
        const V nm1(static_cast<double>(static_cast<std::int64_t>(sh.ntot) - 1));
        yb0 = V::load(in.ybar0);
        const V d = yb0 - V::load(in.pmean);
        const V rate0 = ((nm1 * V::load(in.s20)) * V(0.5) + V(sh.prate)) + ((d * d) * vdN) * V(0.5);
        sigma0 = rate0 * (V(1.0) / V::load(in.gam + N * W));
    }
    // 4. theta_moments: R (precision_matrix), S = R^-1, b and m = S b.
    V smat[N * N], m[N];
    {
        const V nn(static_cast<double>(static_cast<std::int64_t>(N) * N));
        V w[N];
        V wsum(0.0);
        for (int j = 0; j < N; ++j) {
            w[j] = V(static_cast<double>(sh.nobs[j])) / gv[j];
            wsum = wsum + w[j];
        }
        V rmat[N * N];
        rmat[0] = V(1.0 / sh.mvar[0]) + wsum;
        for (int j = 1; j < N; ++j) {
            rmat[j + j * N] = V(1.0 / sh.effvar[j - 1]) + (w[0] + w[j]) / nn;
            const V edge = (w[j] - w[0]) / vdn;
            rmat[0 + j * N] = edge;
            rmat[j + 0 * N] = edge;
            for (int i = 1; i < j; ++i) {
                const V inner = w[0] / nn;
                rmat[i + j * N] = inner;
                rmat[j + i * N] = inner;
            }
        }
        invert_lanes<V, N>(rmat, smat, chk);
        V v[N], b[N];
        V b1(0.0);
        for (int j = 0; j < N; ++j) {
            v[j] = w[j] * yb[j];
            b1 = b1 + v[j];
        }
        b[0] = b1;
        for (int j = 1; j < N; ++j) b[j] = (v[j] - v[0]) / vdn;
        for (int i = 0; i < N; ++i) {
            V sum(0.0);
            for (int l = 0; l < N; ++l) sum = sum + smat[i + l * N] * b[l];
            m[i] = sum;
        }
    }
    // 5. Coordinate by coordinate, theta updated in place.
    for (int k = 0; k < N; ++k) {
        V var(0.0), mean(0.0);
        conditional_lanes<V, N>(k, smat, m, theta, &var, &mean, chk);
        theta[k] = mean + V::load(in.z + k * W) * sqrt(var);
    }
    // 6. New group means.
    V gout[N];
    {
        V sum(0.0);
        for (int j = 1; j < N; ++j) sum = sum + theta[j];
        gout[0] = theta[0] - sum / vdn;
        for (int j = 1; j < N; ++j) gout[j] = theta[0] + theta[j] / vdn;
    }
    // 7. Pooled mean.
    V pm(0.0);
    if (pooled) {
        const V q = sigma0 / vdN;
        const V vpost = V(1.0) / (V(1.0) / q + V(1.0 / sh.mvar[1]));
        const V mpost = (yb0 / q) * vpost;
        pm = sqrt(vpost) * V::load(in.z + N * W) + mpost;
    }

    // Every result finite, or the lane is redone.
    for (int j = 0; j < N; ++j) chk = chk + (gv[j] * zero + gout[j] * zero);
    if (pooled) chk = chk + (sigma0 * zero + pm * zero);
    const unsigned bad = V::bad(chk);
    if (bad == 0) {
        for (int j = 0; j < N; ++j) {
            V::store(in.gmean + j * ld, gout[j]);
            V::store(in.gvar + j * ld, gv[j]);
        }
        if (pooled) {
            V::store(in.pmean, pm);
            V::store(in.pvar, sigma0);
        }
        return 0;
    }
    for (int l = 0; l < W; ++l) {
        if ((bad >> l) & 1u) continue;
        for (int j = 0; j < N; ++j) {
            in.gmean[l + j * ld] = V::lane(gout[j], l);
            in.gvar[l + j * ld] = V::lane(gv[j], l);
        }
        if (pooled) {
            in.pmean[l] = V::lane(pm, l);
            in.pvar[l] = V::lane(sigma0, l);
        }
    }
    return bad;
}

// sweep_lanes_order for the run's order (1 to 7).
template <class V>
unsigned sweep_lanes_any(const SweepShared& sh, const LaneRows& in) {
    switch (sh.ngrp) {
        case 1: return sweep_lanes_order<V, 1>(sh, in);
        case 2: return sweep_lanes_order<V, 2>(sh, in);
        case 3: return sweep_lanes_order<V, 3>(sh, in);
        case 4: return sweep_lanes_order<V, 4>(sh, in);
        case 5: return sweep_lanes_order<V, 5>(sh, in);
        case 6: return sweep_lanes_order<V, 6>(sh, in);
        case 7: return sweep_lanes_order<V, 7>(sh, in);
        default: return (1u << V::W) - 1u;
    }
}

}  // namespace kestrum::posterior::lanes
