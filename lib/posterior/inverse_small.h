// Inversion of small matrices (orders 1 to 8) with exactly the operations,
// in exactly the order, of invert() (posterior/inverse.h), so the inverse
// has the same bits - infinities and NaN included, since no term is left
// out even where it multiplies a zero (only where two NaN meet may the one
// that comes out differ in sign or payload) - but with the order known at compile
// time: the factors live in registers and local arrays, and nothing is
// zeroed or copied that the result does not need.  invert() stays the
// readable reference; a test compares the two bit for bit.
//
// Unlike invert(), these leave amat as it was; callers that use them treat
// amat as scratch anyway.
#pragma once

#include <cstdint>

#include "posterior/inverse.h"

namespace kestrum::posterior {

template <int N>
inline void invert_order(const double* amat, double* ainv) {
    double a[N][N];  // a[i][j] = A(i, j), eliminated in place
    for (int j = 0; j < N; ++j) {
        for (int i = 0; i < N; ++i) a[i][j] = amat[i + j * N];
    }
    double l[N][N];  // the multipliers, below the diagonal
    // 1. Elimination without pivoting.
    for (int k = 0; k + 1 < N; ++k) {
        for (int i = k + 1; i < N; ++i) {
            const double f = a[i][k] / a[k][k];
            l[i][k] = f;
            for (int j = k + 1; j < N; ++j) a[i][j] = a[i][j] - f * a[k][j];
        }
    }
    // With every multiplier finite, the forward substitution of e_k gives
    // d(i) = +0 exactly for i < k, and the terms l(i, j) d(j) with j < k are
    // +-0, which leave a running value of 1 or +0 unchanged: they can be
    // left out without changing a bit.  An infinite or NaN multiplier would
    // turn them into NaN, so then every term is formed.
    double probe = 0.0;
    for (int k = 0; k + 1 < N; ++k) {
        for (int i = k + 1; i < N; ++i) probe = probe + l[i][k] * 0.0;
    }
    const bool finite = probe == 0.0;
    // 2.-3. One column of the inverse per unit vector e_k: forward
    // substitution (terms in increasing j), back substitution (terms in
    // decreasing j, then the division by the pivot).
    for (int k = 0; k < N; ++k) {
        double d[N];
        if (finite) {
            for (int i = 0; i < k; ++i) d[i] = 0.0;
            d[k] = 1.0;
            for (int i = k + 1; i < N; ++i) {
                double di = 0.0;
                for (int j = k; j < i; ++j) di = di - l[i][j] * d[j];
                d[i] = di;
            }
        } else {
            d[0] = k == 0 ? 1.0 : 0.0;
            for (int i = 1; i < N; ++i) {
                double di = i == k ? 1.0 : 0.0;
                for (int j = 0; j < i; ++j) di = di - l[i][j] * d[j];
                d[i] = di;
            }
        }
        double y[N];
        y[N - 1] = d[N - 1] / a[N - 1][N - 1];
        for (int i = N - 2; i >= 0; --i) {
            double yi = d[i];
            for (int j = N - 1; j > i; --j) yi = yi - a[i][j] * y[j];
            y[i] = yi / a[i][i];
        }
        for (int i = 0; i < N; ++i) ainv[i + k * N] = y[i];
    }
}

// invert() with the fixed-order kernels for orders 1 to 8 (amat is then
// left alone) and invert() itself beyond.
inline void invert_fast(double* amat, double* ainv, std::int32_t n, double* scratch) {
    switch (n) {
        case 1: invert_order<1>(amat, ainv); return;
        case 2: invert_order<2>(amat, ainv); return;
        case 3: invert_order<3>(amat, ainv); return;
        case 4: invert_order<4>(amat, ainv); return;
        case 5: invert_order<5>(amat, ainv); return;
        case 6: invert_order<6>(amat, ainv); return;
        case 7: invert_order<7>(amat, ainv); return;
        case 8: invert_order<8>(amat, ainv); return;
        default: invert(amat, ainv, n, scratch); return;
    }
}

}  // namespace kestrum::posterior
