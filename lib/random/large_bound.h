// The second acceptance test of the gamma method for shapes above 10,
//     E = (m1 * log(v) - log(w)) + w < 1,
// decided by bounds of the two logarithms where they can decide it.
//
// The method reaches this test in about half of its trials (those its
// quick test leaves), and the two logarithms were most of their cost.  The
// decision is part of the stream, so it must come out exactly as E < 1
// does; large_accept() tries the bounds and computes E only when they
// cannot tell.
//
// Why the bounds decide exactly.  pmath::log is correctly rounded, so with
// R = m1 ln v - ln w + w (real numbers, v, w and m1 the doubles) the three
// roundings of E and those of its logarithms give
//     |E - R| <= 2^-50 (m1 |ln v| + |ln w| + w).
// large_bound() takes intervals [lvL, lvU] around ln v and [lwL, lwU]
// around ln w (below), so that, m1 being positive,
//     m1 lvL - lwU + w  <=  R  <=  m1 lvU - lwL + w.
// Each side is evaluated in three roundings (2^-51 of the magnitudes),
// and the test is decided only when it lies farther than
//     tol = 2^-40 (1 + m1 |lvL| + |lwL| + |lwU| + w)
// from 1, which covers those roundings, |E - R| and the slack of the
// intervals many times over: an upper side below 1 - tol gives E < 1, a
// lower side above 1 + tol gives E > 1.
//
// The intervals.  A positive normal x is 2^k m with m in [1, 2), and its
// top 8 fraction bits i place m in [1 + i/256, 1 + (i+1)/256], so ln x lies
// in [k ln2 + T(i), k ln2 + T(i+1)], T(i) = ln(1 + i/256) (a table, each
// entry within 2^-50 of the real value).  For w in [1/2, 2], b = w - 1 is
// exact (Sterbenz) and Taylor's theorem with the fifth-order remainder
// b^5 / (5 xi^5), xi between 1 and w, gives
//     ln w in P(b) + [min(q1, q2), max(q1, q2)],
//     P(b) = b - b^2/2 + b^3/3 - b^4/4,  q1 = b^5/5,  q2 = q1 / w^5,
// the tighter of the two for w near 1.  Both intervals are widened by
// 2^-44, far more than the roundings of k ln2 (2^-47 for |k| <= 60), of
// the table's sums and of P, q1 and q2 (|b| <= 1; 1/w rounded).
//
// Domain (outside it E is computed): v in [2^-60, 1), w in [2^-8, 2^8],
// m1 in (0, 1] (the method's m1 = 2/(g - 1) for g > 10 is below 0.23).
#pragma once

#include <array>
#include <cstdint>

#include "common/pmath.h"
#include "random/ratio_bound.h"

namespace kestrum::random {

namespace large_detail {

// ln(1 + i/256) by 2 atanh(f), f = i/(512 + i) <= 1/3, 40 terms of the
// series (the first left out is below 3^-81), at compile time.
constexpr double log_cell(int i) {
    const double f = static_cast<double>(i) / (512.0 + i);
    const double f2 = f * f;
    double term = f, sum = 0.0;
    for (int k = 0; k < 40; ++k) {
        sum = sum + term / (2 * k + 1);
        term = term * f2;
    }
    return 2.0 * sum;
}

constexpr std::array<double, 257> make_log_cells() {
    std::array<double, 257> t{};
    for (int i = 0; i <= 256; ++i) t[static_cast<std::size_t>(i)] = log_cell(i);
    return t;
}

inline constexpr std::array<double, 257> kLogCells = make_log_cells();

constexpr double kSlack = 0x1p-44;

// [lo, hi] around ln x for a positive normal x with |ln x| below 42.
inline void log_interval(double x, double* lo, double* hi) {
    const std::uint64_t b = ratio_detail::bits_of(x);
    const double k =
        static_cast<double>(static_cast<std::int32_t>(b >> 52) - 1023) * ratio_detail::kLn2;
    const auto i = static_cast<std::size_t>((b >> 44) & 0xff);
    *lo = (k + kLogCells[i]) - kSlack;
    *hi = (k + kLogCells[i + 1]) + kSlack;
}

}  // namespace large_detail

// The bounds alone: +1 when they prove E < 1 (accept), -1 when they prove
// E >= 1, 0 when they cannot tell or the arguments lie outside their domain.
// inv is 1/w as the caller rounded it.
inline int large_bound(double m1, double v, double w, double inv) {
    if (!(v >= 0x1p-60 && v < 1.0 && w >= 0x1p-8 && w <= 0x1p8 && m1 > 0.0 && m1 <= 1.0)) {
        return 0;
    }
    double lvL, lvU, lwL, lwU;
    large_detail::log_interval(v, &lvL, &lvU);
    large_detail::log_interval(w, &lwL, &lwU);
    if (w >= 0.5 && w <= 2.0) {
        const double b = w - 1.0;
        const double b2 = b * b;
        const double p = b - b2 * 0.5 + b2 * b * (1.0 / 3) - b2 * b2 * 0.25;
        const double q1 = b2 * b2 * b * 0.2;
        const double i2 = inv * inv;
        const double q2 = q1 * (i2 * i2 * inv);
        const double lo = (p + (q1 < q2 ? q1 : q2)) - large_detail::kSlack;
        const double hi = (p + (q1 < q2 ? q2 : q1)) + large_detail::kSlack;
        if (lo > lwL) lwL = lo;
        if (hi < lwU) lwU = hi;
    }
    const double tol =
        0x1p-40 * ((((1.0 + m1 * -lvL) + (lwL < 0.0 ? -lwL : lwL)) + (lwU < 0.0 ? -lwU : lwU)) + w);
    // The lower side is never above the upper one, so at most one of the
    // two holds; both are worked out, without a branch (which side holds
    // is a coin toss to a branch predictor).
    const int below = (m1 * lvU - lwL) + w < 1.0 - tol;
    const int above = (m1 * lvL - lwU) + w > 1.0 + tol;
    return below - above;
}

// The whole expression, as the method writes it.
inline bool large_exact(double m1, double v, double w) {
    return (m1 * pmath::log(v) - pmath::log(w)) + w < 1.0;
}

// (m1 * log(v) - log(w)) + w < 1, to the bit as large_exact() decides it.
inline bool large_accept(double m1, double v, double w, double inv) {
    const int d = large_bound(m1, v, w, inv);
    if (d != 0) return d > 0;
    return large_exact(m1, v, w);
}

}  // namespace kestrum::random
