// The acceptance test of the ratio-of-uniforms gamma method, decided by
// cheap bounds where they can decide it.
//
// The method accepts a trial when
//     C = exp(t) * pow(z, expo) >= uu,   t = -z/1.5,
// each function being the library's own (common/pmath.h) and every
// operation rounded as written.  The decision is part of the stream (an
// accepted trial ends the draw), so it must come out exactly as C >= uu
// does.  ratio_accept() gets it from a short evaluation of
//     Q ~ T = e^t z^expo   (t the rounded double, expo the double)
// with a proven relative error, and computes C only when Q lies too close
// to uu for the error bounds to tell which side C falls on.
//
// Why the bounds decide exactly.  pmath's exp and pow are faithfully
// rounded (error below one ulp), so for results in the normal range
// E = exp(t) = e^t (1 + e1) and P = pow(z, expo) = z^expo (1 + e2) with
// |e1|, |e2| < 2^-52, and C = E P (1 + e3), |e3| <= 2^-53:
//     C = T (1 + eta),   |eta| < 2^-50.
// The short evaluation below gives Q = T (1 + eps) with |eps| < 2^-37
// (the budget is itemised at ratio_estimate()).  With the margin
// m = 2^-30:
//   Q >= uu (1 + m)  gives  C >= uu (1 + m)(1 - 2^-37)(1 - 2^-50) > uu;
//   Q <= uu (1 - m)  gives  E P < uu (1 - 2^-31), so its rounding C < uu
//                    (rounding is monotone, and uu is a normal double,
//                    so a value that far below uu cannot round up to it;
//                    this holds also where E P is subnormal).
// uu (1 +- m) are themselves rounded (relative 2^-53), which the margin
// absorbs.  Only |Q/uu - 1| < 2^-30 (plus those roundings) is left
// undecided, besides the trials outside the domain below (z > 600 comes
// from uu below about 1e-5): together about 5 trials in a million of the
// method's shapes.
//
// Domain of the bounds (outside it the whole expression is computed):
// z in [2^-60, 600], uu >= 2^-1000 (normal) and expo in [0, 6] (shapes 1
// to 10; the caller's expo = (g - 1)/1.5).  There t >= -400, so E >=
// e^-400 is normal; P lies in [2^-360, 600^6], normal; E P >= 2^-938 is
// normal; and the estimate's exponent stays in the normal range.  NaN in z
// or uu fails the domain test and takes the whole expression.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/pmath.h"

namespace kestrum::random {

namespace ratio_detail {

constexpr double kLn2 = 0.6931471805599453;  // ln 2 rounded to double

// 2^(j/64), j = 0..63, evaluated at compile time by the Taylor series of
// e^x at x = j ln2/64 (x < 0.69, 30 terms, far below one ulp of
// truncation); each entry is within a few ulp of the true value
// (tests/random/ratio_bound_test.cpp checks 2^-50 against pmath::pow).
constexpr double exp2_frac(int j) {
    const double x = (j * kLn2) / 64.0;
    double term = 1.0, sum = 1.0;
    for (int i = 1; i <= 30; ++i) {
        term = term * x / i;
        sum = sum + term;
    }
    return sum;
}

constexpr std::array<double, 64> make_exp2_table() {
    std::array<double, 64> t{};
    for (int j = 0; j < 64; ++j) t[static_cast<std::size_t>(j)] = exp2_frac(j);
    return t;
}

inline constexpr std::array<double, 64> kExp2Frac = make_exp2_table();

inline std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// ln x for a positive normal x with |ln x| below 2^6, absolute error below
// 2^-40.  x = 2^k m with m in [sqrt(1/2), sqrt(2)) (the halving is exact),
// f = (m - 1)/(m + 1), ln m = 2 atanh f = 2 (f + f^3/3 + ... + f^13/13) +
// R with |f| <= 0.1716 and |R| <= 2 |f|^15 / 15 / (1 - f^2) < 2^-40.8.
// m - 1 is exact (Sterbenz), the quotient carries 2^-52 relatively, which
// moves 2 atanh f by at most 2.1 |f| 2^-52 < 2^-53; the Horner steps and
// the final sums add a few ulp of values below 45, under 2^-45.
inline double log_short(double x) {
    const std::uint64_t b = bits_of(x);
    std::int32_t k = static_cast<std::int32_t>(b >> 52) - 1023;
    double m = from_bits((b & 0x000fffffffffffffu) | 0x3ff0000000000000u);
    if (m > 1.4142135623730951) {
        m = m * 0.5;
        k = k + 1;
    }
    const double f = (m - 1.0) / (m + 1.0);
    const double f2 = f * f;
    const double p =
        f2 * (1.0 / 3 +
              f2 * (1.0 / 5 + f2 * (1.0 / 7 + f2 * (1.0 / 9 + f2 * (1.0 / 11 + f2 * (1.0 / 13))))));
    return static_cast<double>(k) * kLn2 + (2.0 * f + (2.0 * f) * p);
}

// e^s for s in [-700, 700], relative error below 2^-42.  s = n ln2/64 + r
// with n the integer nearest s 64/ln2 (the shift by 1.5 2^52 rounds it) and
// r = s - n L, L = ln2/64 rounded: n L carries at most 2^-44 (|n L| < 701)
// plus |n L| 2^-53 of L's rounding (2^-43.5), r's subtraction 2^-61, so r
// is within 2^-42.7 of the exact remainder and |r| < 0.00542.  e^r by
// Taylor to r^4 (truncation |r|^5/120 e^|r| < 2^-44.5, roundings 2^-51),
// 2^(j/64) from the table (2^-50), the product and the scaling by 2^(n div
// 64) (exact: the result is normal).  In all below 2^-42.
inline double exp_short(double s) {
    constexpr double kInvL = 64.0 / kLn2;
    constexpr double kL = kLn2 / 64.0;
    constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
    const double nd = (s * kInvL + kShift) - kShift;
    const auto n = static_cast<std::int32_t>(nd);  // |n| < 64 * 1011
    const double r = s - nd * kL;
    const double p = 1.0 + r * (1.0 + r * (0.5 + r * (1.0 / 6 + r * (1.0 / 24))));
    const std::int32_t j = n & 63;
    const std::int32_t e = (n - j) / 64;
    const double scale = from_bits(static_cast<std::uint64_t>(e + 1023) << 52);
    return (kExp2Frac[static_cast<std::size_t>(j)] * p) * scale;
}

}  // namespace ratio_detail

// The short evaluation Q of e^t z^expo for z in the bounds' domain, t the
// caller's -z/1.5: with expo = 2 (the shape 4 of groups of 4 observations
// under the default prior shape) Q = e^t (z z); with expo = 0 Q = e^t;
// otherwise Q = e^(t + expo ln z).  Error budget: ln z within 2^-40
// (|ln z| < 42), times expo <= 6: 2^-37.4; the product and the sum in the
// exponent, below 650 in magnitude, 2^-44 each; e^s within 2^-42; z z
// rounded 2^-53; the final product 2^-53.  Q = T (1 + eps) with
// |eps| < 2^-37.4 + 2^-41.5 < 2^-37.
inline double ratio_estimate(double t, double z, double expo) {
    if (expo == 2.0) return ratio_detail::exp_short(t) * (z * z);
    if (expo == 0.0) return ratio_detail::exp_short(t);
    return ratio_detail::exp_short(t + expo * ratio_detail::log_short(z));
}

// The bounds alone: +1 when they prove C >= uu, -1 when they prove C < uu,
// 0 when they cannot tell (or the arguments lie outside their domain).
inline int ratio_bound(double z, double expo, double uu) {
    if (!(z >= 0x1p-60 && z <= 600.0 && uu >= 0x1p-1000 && expo >= 0.0 && expo <= 6.0)) return 0;
    constexpr double kMargin = 0x1p-30;
    const double q = ratio_estimate(-z / 1.5, z, expo);
    if (q >= uu * (1.0 + kMargin)) return 1;
    if (q <= uu * (1.0 - kMargin)) return -1;
    return 0;
}

// Bounds from a table of cells, for the shapes the sampler draws over and
// over.  f(z) = e^(-z/1.5) z^expo is unimodal on z > 0 (rising up to its
// mode 1.5 expo, falling after it), so on a cell [z0, z1] it lies between
// its values at the ends, and below its value at the mode when the mode is
// inside.  build() takes those values from ratio_estimate() (relative error
// below 2^-36.9 against f, the rounding of t included) and widens them by
// 2^-20 outwards, then rounds them outwards to float: lo <= fmin (1 -
// 2^-21), hi >= fmax (1 + 2^-21).  For z in the cell and uu >= 2^-900:
//   uu <= lo  gives  f(z) >= uu >= 2^-900, so E, P and C are normal and
//             C = f(z) (1 + eta'), |eta'| < 2^-47 (eta above, and e^t
//             against e^(-z/1.5) for z < 32: 2^-48.4), hence C > uu;
//   uu > hi   gives  C <= f(z) (1 + 2^-47) < uu where C is normal, and
//             C < 2^-1022 < uu where it is not.
// The cells are 1/8 wide (z 8 is exact, so a cell holds exactly the z its
// index says) and cover z < 32; beyond, or for uu below 2^-900, decide()
// leaves the trial to ratio_accept().  A cell decides every uu outside
// [lo, hi], which is most trials: f changes little over 1/8.
struct RatioCells {
    static constexpr int kCells = 256;
    static constexpr double kPerUnit = 8.0;  // cells per unit of z
    float bound[kCells][2] = {};             // lo, hi of each cell

    void build(double expo) {
        const double mode = 1.5 * expo;
        const auto value = [expo](double z) {
            if (z == 0.0) return expo == 0.0 ? 1.0 : 0.0;
            return ratio_estimate(-z / 1.5, z, expo);
        };
        double f0 = value(0.0);
        for (int i = 0; i < kCells; ++i) {
            const double z0 = i / kPerUnit, z1 = (i + 1) / kPerUnit;
            const double f1 = value(z1);
            double lo = f0 < f1 ? f0 : f1;
            double hi = f0 < f1 ? f1 : f0;
            if (z0 < mode && mode < z1) {
                // The mode's double is within an ulp of the real mode,
                // where f is flat: the difference is of order 2^-104.
                const double fm = value(mode);
                if (fm > hi) hi = fm;
            }
            lo = lo * (1.0 - 0x1p-20);
            hi = hi * (1.0 + 0x1p-20);
            float l = static_cast<float>(lo);
            if (static_cast<double>(l) > lo) l = std::nextafter(l, 0.0f);
            float h = static_cast<float>(hi);
            if (static_cast<double>(h) < hi) h = std::nextafter(h, HUGE_VALF);
            bound[i][0] = l;
            bound[i][1] = h;
            f0 = f1;
        }
    }

    // +1: C >= uu proved; -1: C < uu proved; 0: not decided here.
    int decide(double z, double uu) const {
        const double s = z * kPerUnit;
        if (!(s >= 0.0 && s < kCells && uu >= 0x1p-900)) return 0;
        const float* b = bound[static_cast<int>(s)];
        if (uu <= static_cast<double>(b[0])) return 1;
        if (uu > static_cast<double>(b[1])) return -1;
        return 0;
    }
};

// The whole expression, as the method writes it.
inline bool ratio_exact(double z, double expo, double uu) {
    return pmath::exp(-z / 1.5) * pmath::pow(z, expo) >= uu;
}

// exp(-z/1.5) * pow(z, expo) >= uu, to the bit as ratio_exact() decides it.
inline bool ratio_accept(double z, double expo, double uu) {
    const int d = ratio_bound(z, expo, uu);
    if (d != 0) return d > 0;
    return ratio_exact(z, expo, uu);
}

}  // namespace kestrum::random
