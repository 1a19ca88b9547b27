// Matrix inversion by Doolittle LU elimination without pivoting, then one
// forward and one back substitution per column of the identity.
#include "posterior/inverse.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "kestrumr.h"
#include "random/messages.h"

namespace kestrum::posterior {

std::size_t inverse_scratch_size(std::int32_t n) {
    if (n <= 0) return 0;
    const std::size_t un = static_cast<std::size_t>(n);
    const std::size_t sq = detail::sat_mul(un, un);
    return detail::sat_add(detail::sat_mul(2, sq), detail::sat_mul(3, un));
}

// Algorithm (A is amat, indices from 0 here, element (i, j) at i + j*n):
//  1. Elimination in place: for each pivot column k and each row i below it,
//     f = A(i,k) / A(k,k) is stored as L(i,k) and row k times f is taken
//     from the rest of row i (columns k+1..n-1).  A(i,k) itself is left
//     alone, so below the diagonal amat keeps the values that were divided
//     by the pivots.  No rows are exchanged; the pivot is used whatever its
//     size.
//  2. L gets a unit diagonal; U is the upper triangle of A with its
//     diagonal.
//  3. For each column k of the identity e: forward substitution L d = e
//     (the terms of row i subtracted in increasing j), back substitution
//     U y = d (the terms of row i subtracted in decreasing j, then one
//     division by the pivot), and y becomes column k of ainv.
// The subtraction orders of step 3 fix the rounding of the result.
void invert(double* amat, double* ainv, std::int32_t n, double* scratch) {
    if (n <= 0) return;
    const std::size_t un = static_cast<std::size_t>(n);
    const std::size_t sq = un * un;
    double* const lmat = scratch;       // n x n, unit lower triangle
    double* const umat = lmat + sq;     // n x n, upper triangle
    double* const e = umat + sq;        // current unit vector
    double* const d = e + un;           // solution of L d = e
    double* const y = d + un;           // solution of U y = d
    for (std::size_t t = 0; t < sq; ++t) {
        lmat[t] = 0.0;
        umat[t] = 0.0;
    }
    for (std::size_t t = 0; t < un; ++t) e[t] = 0.0;

    auto a = [amat, un](std::size_t i, std::size_t j) -> double& { return amat[i + j * un]; };
    auto l = [lmat, un](std::size_t i, std::size_t j) -> double& { return lmat[i + j * un]; };
    auto u = [umat, un](std::size_t i, std::size_t j) -> double& { return umat[i + j * un]; };

    // 1. Elimination.
    for (std::size_t k = 0; k + 1 < un; ++k) {
        for (std::size_t i = k + 1; i < un; ++i) {
            const double f = a(i, k) / a(k, k);
            l(i, k) = f;
            for (std::size_t j = k + 1; j < un; ++j) a(i, j) = a(i, j) - f * a(k, j);
        }
    }
    // 2. The two factors.
    for (std::size_t i = 0; i < un; ++i) l(i, i) = 1.0;
    for (std::size_t j = 0; j < un; ++j) {
        for (std::size_t i = 0; i <= j; ++i) u(i, j) = a(i, j);
    }
    // 3. One column of the inverse per unit vector.
    for (std::size_t k = 0; k < un; ++k) {
        e[k] = 1.0;
        d[0] = e[0];
        for (std::size_t i = 1; i < un; ++i) {
            d[i] = e[i];
            for (std::size_t j = 0; j < i; ++j) d[i] = d[i] - l(i, j) * d[j];
        }
        y[un - 1] = d[un - 1] / u(un - 1, un - 1);
        for (std::size_t i = un - 1; i-- > 0;) {
            y[i] = d[i];
            for (std::size_t j = un - 1; j > i; --j) y[i] = y[i] - u(i, j) * y[j];
            y[i] = y[i] / u(i, i);
        }
        for (std::size_t i = 0; i < un; ++i) ainv[i + k * un] = y[i];
        e[k] = 0.0;
    }
}

}  // namespace kestrum::posterior

// The exported routine keeps its own scratch for the one call.  When that
// cannot be had, it says so, leaves amat as it was and fills ainv with NaN,
// so that nothing stale passes for an inverse.
extern "C" KESTRUMR_API void inverse_(double* amat, double* ainv, const int32_t* n) {
    const std::int32_t order = *n;
    if (order <= 0) return;
    const std::size_t size = kestrum::posterior::inverse_scratch_size(order);
    double* scratch = nullptr;
    if (size < kestrum::posterior::detail::kSizeMax / sizeof(double)) {
        scratch = new (std::nothrow) double[size];
    }
    if (scratch == nullptr) {
        kestrum::write_message({"",
                                "     ****ERROR**** Not enough memory for the workspace in  INVERSE",
                                "     (the matrix was not inverted; every element of AINV is NaN)",
                                ""});
        const std::size_t un = static_cast<std::size_t>(order);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t t = 0; t < un * un; ++t) ainv[t] = nan;
        return;
    }
    kestrum::posterior::invert(amat, ainv, order, scratch);
    delete[] scratch;
}
