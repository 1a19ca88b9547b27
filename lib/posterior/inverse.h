// Inversion of a square matrix by LU elimination without pivoting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace kestrum::posterior {

namespace detail {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

// Saturating size arithmetic: a result that does not fit in size_t comes
// out as SIZE_MAX, which no allocation can satisfy, instead of wrapping to a
// small number.
constexpr std::size_t sat_add(std::size_t a, std::size_t b) {
    return a > kSizeMax - b ? kSizeMax : a + b;
}
constexpr std::size_t sat_mul(std::size_t a, std::size_t b) {
    return (a != 0 && b > kSizeMax / a) ? kSizeMax : a * b;
}

}  // namespace detail

// Doubles of scratch invert() needs for order n: 2n^2 + 3n (the factors L
// and U, and the vectors e, d and y), or 0 for n <= 0.  Saturates at
// SIZE_MAX when the count does not fit in size_t (possible on 32-bit hosts).
std::size_t inverse_scratch_size(std::int32_t n);

// Inverts amat (order n, column by column, leading dimension n) into ainv,
// destroying amat, using caller scratch of inverse_scratch_size(n) doubles;
// nothing is read or written for n <= 0.  No pivoting and no singularity
// test: a zero pivot spreads infinities and NaN through ainv.  Allocates
// nothing.
void invert(double* amat, double* ainv, std::int32_t n, double* scratch);

}  // namespace kestrum::posterior
