// The accurate-only implementation of the portable math functions, as it
// was before the fast paths were added (common/pmath.cpp without them),
// kept so tests/common/pmath_fast_test.cpp can check that the fast paths
// never change a result bit.  Do not edit: it is the reference.
// See common/pmath.h for the design and accuracy.
//
// Everything below is plain IEEE double arithmetic in round-to-nearest:
// + - * /, sqrt, nearbyint, exact scaling by powers of two built from bits,
// and 32/64-bit integer arithmetic.  No fused multiply-add is used or
// wanted (the build passes -ffp-contract=off); the error-free
// transformations below rely on every product and sum being rounded on its
// own.
#include "pmath_accurate.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// The error-free transformations need every operation rounded to double
// on its own: no excess precision (x87) and no reassociation.
#if defined(__FAST_MATH__)
#error "common/pmath.cpp must not be compiled with -ffast-math"
#endif
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "common/pmath.cpp needs double evaluated in double (SSE2: -msse2 -mfpmath=sse)"
#endif

namespace kestrum::pmath_accurate {
namespace {

#include "common/pmath_tables.inc"

constexpr double kInf = std::numeric_limits<double>::infinity();

uint64_t bits_of(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

double from_bits(uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// Nearest integer (ties to even) of |v| < 2^51, as a double: adding
// 1.5*2^52 puts the units digit at the last place of the sum.  Used
// instead of the runtime's nearbyint so nothing depends on it.
double round_int(double v) {
    constexpr double kShifter = 0x1.8p52;
    return (v + kShifter) - kShifter;
}

// 2^e for e in [-1022, 1023], exactly.
double pow2i(int32_t e) { return from_bits(static_cast<uint64_t>(e + 1023) << 52); }

// ---------------------------------------------------------------------------
// Double-double arithmetic.  A value is hi + lo with |lo| <= ulp(hi)/2.
// two_sum and two_prod are the error-free transformations of Knuth and
// Dekker: s + e == a + b and p + e == a * b exactly (barring overflow).

struct DD {
    double hi;
    double lo;
};

DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// Requires |a| >= |b| (or a == 0).
DD fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// Veltkamp's split: a == hi + lo with hi and lo of at most 26 significant
// bits each.  Valid for |a| < 2^996.
DD split(double a) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double hi = c - (c - a);
    return {hi, a - hi};
}

DD two_prod(double a, double b) {
    const double p = a * b;
    const DD as = split(a);
    const DD bs = split(b);
    const double e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
    return {p, e};
}

DD dd_add(DD a, DD b) {
    DD s = two_sum(a.hi, b.hi);
    const DD t = two_sum(a.lo, b.lo);
    s.lo += t.hi;
    s = fast_two_sum(s.hi, s.lo);
    s.lo += t.lo;
    return fast_two_sum(s.hi, s.lo);
}

DD dd_neg(DD a) { return {-a.hi, -a.lo}; }

DD dd_mul(DD a, DD b) {
    DD p = two_prod(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return fast_two_sum(p.hi, p.lo);
}

DD dd_mul_d(DD a, double b) {
    DD p = two_prod(a.hi, b);
    p.lo += a.lo * b;
    return fast_two_sum(p.hi, p.lo);
}

// a / b rounded to double; relative error about 2^-100 before the final
// rounding, so the result is correctly rounded unless a / b lies within
// that distance of a midpoint between doubles.
double dd_div(DD a, DD b) {
    const double q1 = a.hi / b.hi;
    const DD r = dd_add(a, dd_neg(dd_mul_d(b, q1)));
    const double q2 = (r.hi + r.lo) / b.hi;
    return q1 + q2;
}

// ---------------------------------------------------------------------------
// exp of a double-double argument x = xh + xl, |xl| <= ulp(xh).
//
// Reduction: k = nearest integer to x * 128/ln2, x = k*ln2/128 + r with
// |r| <= ln2/256 (plus rounding of k).  ln2/128 = L1 + L2 where L1 has 35
// significant bits, so k*L1 is exact for |k| < 2^18 and xh - k*L1 is exact
// by Sterbenz' lemma; the neglected part of ln2/128 beyond L2 contributes
// below 2^-79.  Then e^x = 2^(k div 128) * 2^(j/128) * e^r with j = k mod
// 128, the table holding 2^(j/128) to 106 bits.  With r = a + b (a the
// leading double), e^r - 1 = a + a^2 (1/2 + a/6 + ... + a^5/7!) +
// b (1 + a + a^2/2): Taylor to a^7, truncation < 2^-66 for |a| < 0.0028.
// The leading products th*a and th + th*a are formed without error, so the
// result before the last rounding is a double-double good to about 2^-68.
double exp_dd(double xh, double xl, double sign) {
    if (xh > 709.79) return sign * kInf;
    if (xh < -745.2) return sign * 0.0;

    const double kd = round_int(xh * kInvLn2x128);
    const int32_t k = static_cast<int32_t>(kd);
    const int32_t j = k & 127;
    const int32_t e = (k - j) / 128;

    const double rh = xh - kd * kLn2d128Hi;  // exact
    const DD r = two_sum(rh, -kd * kLn2d128Lo);
    const double a = r.hi;
    const double b = r.lo + xl;

    const double poly =
        kInvFact2 +
        a * (kInvFact3 + a * (kInvFact4 + a * (kInvFact5 + a * (kInvFact6 + a * kInvFact7))));
    // e^(a+b) - 1 = (e^a - 1) + b e^a, and b e^a = b (1 + a + a^2/2 + ...)
    // with |b| up to 2^-44 (the low part of pow's argument).
    const double tail = b + b * (a * (1.0 + 0.5 * a)) + (a * a) * poly;  // e^r - 1 = a + tail

    // 2^(j/128) * e^r = (th + tl) * (1 + a + tail), with th*a exact and
    // th + th*a summed without error; the rest is below 2^-16 of the result
    // and its rounding errors below 2^-68.
    const double th = kExp2Table[j][0];
    const double tl = kExp2Table[j][1];
    const DD ta = two_prod(th, a);
    const DD s0 = two_sum(th, ta.hi);
    const double rest = ta.lo + th * tail + tl * (1.0 + (a + tail));
    const DD y = fast_two_sum(s0.hi, s0.lo + rest);

    if (e >= -1021) {
        const double v = y.hi + y.lo;
        if (e > 1023) return sign * (v * pow2i(1023) * 2.0);
        return sign * (v * pow2i(e));
    }
    // Result at or below the smallest normal: scale into [0, 2) first so
    // the single rounding happens at the subnormal spacing 2^-1074, which
    // is the spacing of 1 + v for v in [0, 1).
    const double sc = pow2i(e + 1022);
    const double vh = y.hi * sc;  // exact: sc >= 2^-54, no underflow
    const double vl = y.lo * sc;
    if (vh + vl >= 1.0) return sign * ((vh + vl) * pow2i(-1022));
    const DD t = two_sum(1.0, vh);
    const double w = t.hi + (t.lo + vl);
    return sign * ((w - 1.0) * pow2i(-1022));
}

// ---------------------------------------------------------------------------
// log of a positive finite x, as a double-double.
//
// x = 2^k * m, m in [1, 2); j = nearest integer to (m - 1) * 128, c_j the
// double nearest 1/(1 + j/128).  r = m*c_j - 1 is formed exactly (Dekker's
// product, then a Sterbenz subtraction) and |r| <= 2^-8 (slightly more from
// the rounding of c_j).  For j >= 53 (m >= 1.414) the table entry already
// includes -ln2 and k is raised by one, which amounts to using m/2 in
// [0.707, 1): the mantissa interval is then [sqrt(1/2), sqrt(2)) and
// x near 1 gives k = 0, j = 0 or 128, c = 1 and l = 0, so no cancellation.
//
// log x = k*ln2 + l_j + log1p(r); log1p(r) = r - r^2/2 + r^3*q(r) with q
// the Taylor series to r^10 (truncation below 2^-80 relative), everything
// in double-double except q - 1/3.  Relative error of the sum: about 2^-78,
// which pow needs (|y log x| up to 745).
DD log_dd(double x) {
    int32_t k = 0;
    uint64_t u = bits_of(x);
    if (u < (uint64_t{1} << 52)) {  // subnormal
        x *= 0x1p54;
        u = bits_of(x);
        k = -54;
    }
    k += static_cast<int32_t>(u >> 52) - 1023;
    const double m = from_bits((u & ((uint64_t{1} << 52) - 1)) | (uint64_t{1023} << 52));
    const int32_t j = static_cast<int32_t>(((u >> 44) & 0xff) + 1) >> 1;  // 0..128
    if (j >= 53) k += 1;

    const DD pc = two_prod(m, kLogInv[j]);
    const DD r = two_sum(pc.hi - 1.0, pc.lo);  // pc.hi - 1 is exact

    // r^2/2 in double-double.
    DD sq = two_prod(r.hi, r.hi);
    sq.lo += 2.0 * r.hi * r.lo;
    const DD half = {-0.5 * sq.hi, -0.5 * sq.lo};
    // r^3 (1/3 - r/4 + r^2/5 - ...): r^3 and 1/3 in double-double, the
    // rest (at most 2^-9 of the term) in double.
    const double z = r.hi;
    const double q =
        -kInv4 +
        z * (kInv5 - z * (kInv6 - z * (kInv7 - z * (kInv8 - z * (kInv9 - z * kInv10)))));
    const DD third = dd_add(DD{kThirdHi, kThirdLo}, two_prod(z, q));
    const DD cube = dd_mul(dd_mul_d(sq, z), third);
    DD lp = dd_add(r, half);
    lp = dd_add(lp, cube);

    const double kd = static_cast<double>(k);
    DD s = dd_add(DD{kd * kLn2Hi, kd * kLn2Lo}, DD{kLogTable[j][0], kLogTable[j][1]});
    return dd_add(s, lp);
}

// ---------------------------------------------------------------------------
// Trigonometric argument reduction: x = n*pi/2 + r, |r| <= pi/4 (a little
// more from the rounding of n), r as a double-double, n mod 4 returned.

// Cody-Waite with pi/2 = P1 + P2 + P3 + P4: P1..P3 have 33 significant
// bits, so n*Pi is exact for |n| <= 2^20; x - n*P1 is exact by Sterbenz'
// lemma and the rest is accumulated with error-free sums.  The pieces carry
// 152 bits of pi/2, so the absolute error of r is below 2^-120 for the
// range of use, |x| <= 823549 (n <= 2^19).
constexpr double kCodyWaiteMax = 823549.0;

int32_t reduce_small(double x, DD* r) {
    const double nd = round_int(x * kInvPio2);
    const double t = x - nd * kPio2_1;  // exact
    DD a = two_sum(t, -nd * kPio2_2);
    a = dd_add(a, DD{-nd * kPio2_3, -nd * kPio2_4});
    *r = a;
    return static_cast<int32_t>(static_cast<int64_t>(nd) & 3);
}

// Payne-Hanek reduction for large |x|: x = M * 2^E with M a 53-bit integer.
// x * 2/pi mod 4 only depends on the bits of 2/pi from position E - 1 on
// (earlier bits give multiples of 4).  A 192-bit window of 2/pi starting
// there times M gives x*2/pi mod 4 as a fixed-point number with 190
// fraction bits, with truncation error below 2^-137; r is that fraction
// (taken in [-1/2, 1/2)) times pi/2 in double-double.
uint32_t two_over_pi_word(int32_t bit) {
    // 32 bits of 2/pi starting at bit position `bit` (1 = the 2^-1 bit);
    // positions before 1 are zero.
    const int32_t q = bit - 1;
    if (q <= -32) return 0;
    if (q < 0) return kTwoOverPi[0] >> (-q);
    const int32_t idx = q / 32;
    const int32_t sh = q % 32;
    if (sh == 0) return kTwoOverPi[idx];
    return (kTwoOverPi[idx] << sh) | (kTwoOverPi[idx + 1] >> (32 - sh));
}

int32_t reduce_large(double x, DD* r) {
    const uint64_t u = bits_of(x);
    const int32_t E = static_cast<int32_t>((u >> 52) & 0x7ff) - 1075;
    const uint64_t M = (u & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);

    // Window W: six 32-bit limbs, w[5] most significant, bits E-1 .. E+190.
    uint32_t w[6];
    for (int32_t i = 0; i < 6; ++i) w[5 - i] = two_over_pi_word(E - 1 + 32 * i);

    // Low 192 bits of M * W, in 32-bit limbs.
    const uint64_t m[2] = {M & 0xffffffffu, M >> 32};
    uint32_t p[6] = {0, 0, 0, 0, 0, 0};
    for (int32_t i = 0; i < 2; ++i) {
        uint64_t carry = 0;
        for (int32_t jj = 0; jj + i < 6; ++jj) {
            const uint64_t t = m[i] * w[jj] + p[i + jj] + carry;
            p[i + jj] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
    }
    // Bits 190 and 191 are n mod 4; below them the fraction f in [0, 1).
    int32_t n = static_cast<int32_t>(p[5] >> 30);
    p[5] &= 0x3fffffffu;
    bool negate = false;
    if (p[5] & 0x20000000u) {  // f >= 1/2: use f - 1, i.e. -(2^190 - P)
        n = (n + 1) & 3;
        negate = true;
        uint64_t borrow = 0;
        for (int32_t i = 0; i < 6; ++i) {
            const uint64_t t = uint64_t{0} - p[i] - borrow;
            p[i] = static_cast<uint32_t>(t);
            borrow = (t >> 32) & 1;
        }
        p[5] &= 0x3fffffffu;
    }
    // f as a double-double, most significant limb first (each term exact).
    DD f = {0.0, 0.0};
    for (int32_t i = 5; i >= 0; --i) {
        const double term = static_cast<double>(p[i]) * pow2i(32 * i - 190);
        f = dd_add(f, DD{term, 0.0});
    }
    if (negate) f = dd_neg(f);
    *r = dd_mul(f, DD{kPio2Hi, kPio2Lo});
    return n;
}

int32_t reduce(double x, DD* r) {
    if (std::fabs(x) <= kCodyWaiteMax) return reduce_small(x, r);
    const int32_t n = reduce_large(std::fabs(x), r);
    if (x < 0) {
        *r = dd_neg(*r);
        return (4 - n) & 3;
    }
    return n;
}

// ---------------------------------------------------------------------------
// Kernels on |r| <= pi/4 (and a little beyond), r a double-double.
// sin r = r + r^3*(-1/6 + z*S(z)), cos r = 1 + z*(-1/2 + z*C(z)), z = r^2,
// with the Taylor series S to r^19 and C to r^20 (truncation below 2^-72
// relative).  The outer Horner steps, through the r^7 and r^6 terms, are in
// double-double, so the rounding errors of the double part (r^9 and r^8
// on, at most 2^-16 of the result) stay below 2^-68; the results are
// double-doubles good to about 2^-67.

DD sin_kernel(DD r) {
    const DD z = dd_mul(r, r);
    const double x = z.hi;
    const double s =
        kInvFact9 -
        x * (kInvFact11 - x * (kInvFact13 - x * (kInvFact15 - x * (kInvFact17 - x * kInvFact19))));
    DD t = dd_add(DD{kSin7Hi, kSin7Lo}, dd_mul_d(z, s));
    t = dd_add(DD{kSin5Hi, kSin5Lo}, dd_mul(z, t));
    t = dd_add(DD{kSin3Hi, kSin3Lo}, dd_mul(z, t));
    return dd_add(r, dd_mul(r, dd_mul(z, t)));
}

DD cos_kernel(DD r) {
    const DD z = dd_mul(r, r);
    const double x = z.hi;
    const double c =
        kInvFact8 -
        x * (kInvFact10 -
             x * (kInvFact12 - x * (kInvFact14 - x * (kInvFact16 - x * (kInvFact18 - x * kInvFact20)))));
    DD t = dd_add(DD{kCos6Hi, kCos6Lo}, dd_mul_d(z, c));
    t = dd_add(DD{kCos4Hi, kCos4Lo}, dd_mul(z, t));
    t = dd_add(DD{-0.5, 0.0}, dd_mul(z, t));
    return dd_add(DD{1.0, 0.0}, dd_mul(z, t));
}

// x^n for 1 <= n <= 64 by binary powering in double-double: at most 12
// products, relative error below 2^-99.  When x^n is itself representable
// in 106 bits (every exact midpoint between doubles is) each partial power
// is too and every product is exact, so hi + lo then rounds like the exact
// value, ties to even included.  The caller keeps every partial power
// within [2^-900, 2^900], so no product or its error term leaves the
// normal range.
DD dd_powi(double x, int32_t n) {
    DD result = {1.0, 0.0};
    DD base = {x, 0.0};
    for (;;) {
        if (n & 1) result = dd_mul(result, base);
        n >>= 1;
        if (n == 0) return result;
        base = dd_mul(base, base);
    }
}

// For finite y.  From 2^52 on every double is an integer, from 2^53 on an
// even one; below, round_int of |y| is exact.
bool is_integer(double y) {
    const double a = std::fabs(y);
    return a >= 0x1p52 || round_int(a) == a;
}

bool is_odd_integer(double y) {
    const double a = std::fabs(y);
    if (a >= 0x1p53) return false;
    if (!is_integer(a)) return false;
    const double h = 0.5 * a;  // exact
    return !is_integer(h);
}

}  // namespace

// ---------------------------------------------------------------------------

double exp(double x) {
    if (x != x) return x + x;
    return exp_dd(x, 0.0, 1.0);
}

double log(double x) {
    if (x != x) return x + x;
    if (x == 0.0) return -kInf;
    if (x < 0.0) return std::numeric_limits<double>::quiet_NaN();
    if (x == kInf) return x;
    const DD l = log_dd(x);
    return l.hi + l.lo;
}

double pow(double x, double y) {
    if (y == 0.0) return 1.0;
    if (x == 1.0) return 1.0;
    if (x != x || y != y) return x + y;

    const double ax = std::fabs(x);
    const double ay = std::fabs(y);
    const bool y_odd = is_odd_integer(y);

    if (ay == kInf) {
        if (ax == 1.0) return 1.0;  // x == -1
        if ((ax < 1.0) == (y > 0.0)) return 0.0;
        return kInf;
    }
    if (x == 0.0) {
        if (y < 0.0) return y_odd ? 1.0 / x : kInf;  // 1/(+-0) = +-inf
        return y_odd ? x : 0.0;
    }
    if (ax == kInf) {
        if (x > 0.0) return y > 0.0 ? kInf : 0.0;
        if (y > 0.0) return y_odd ? -kInf : kInf;
        return y_odd ? -0.0 : 0.0;
    }

    double sign = 1.0;
    if (x < 0.0) {
        if (!is_integer(y)) return std::numeric_limits<double>::quiet_NaN();
        if (y_odd) sign = -1.0;
    }
    if (ax == 1.0) return sign;  // x == -1, integer y

    // Cases that are correctly rounded by a single IEEE operation.
    if (y == 1.0) return x;
    if (y == 2.0) return x * x;
    if (y == 0.5) return std::sqrt(x);  // x > 0 here (x < 0 gave NaN)
    if (y == -1.0) return 1.0 / x;

    // Small integer powers: correctly rounded (but for values within 2^-99
    // of a midpoint), exact midpoints included.
    if (ay <= 64.0 && is_integer(y)) {
        const int32_t n = static_cast<int32_t>(ay);
        const int32_t ex = static_cast<int32_t>((bits_of(ax) >> 52) & 0x7ff) - 1023;
        if (n * ((ex < 0 ? -ex : ex) + 1) <= 900) {
            const DD p = dd_powi(ax, n);
            return sign * (y > 0.0 ? p.hi + p.lo : dd_div(DD{1.0, 0.0}, p));
        }
    }

    // |x| != 1, so |log|x|| >= 2^-53 and |y log|x|| > 2^11 for |y| >= 2^64:
    // the result overflows or underflows.  (This also keeps the splitting
    // of y below in range.)
    if (ay >= 0x1p64) {
        if ((ax > 1.0) == (y > 0.0)) return sign * kInf;
        return sign * 0.0;
    }

    const DD l = log_dd(ax);
    DD t = two_prod(y, l.hi);
    t.lo += y * l.lo;
    t = fast_two_sum(t.hi, t.lo);
    return exp_dd(t.hi, t.lo, sign);
}

double sin(double x) {
    const double ax = std::fabs(x);
    if (!(ax < kInf)) return x - x;  // NaN for NaN and +-inf
    if (ax < 0x1p-26) return x;      // sin x = x (1 - x^2/6), below half an ulp
    DD r;
    const int32_t n = reduce(x, &r);
    DD v = (n & 1) ? cos_kernel(r) : sin_kernel(r);
    if (n & 2) v = dd_neg(v);
    return v.hi + v.lo;
}

double cos(double x) {
    const double ax = std::fabs(x);
    if (!(ax < kInf)) return x - x;
    if (ax < 0x1p-27) return 1.0;  // 1 - x^2/2 rounds to 1
    DD r;
    const int32_t n = reduce(x, &r);
    DD v = (n & 1) ? sin_kernel(r) : cos_kernel(r);
    if (((n + 1) & 2) != 0) v = dd_neg(v);
    return v.hi + v.lo;
}

double tan(double x) {
    const double ax = std::fabs(x);
    if (!(ax < kInf)) return x - x;
    if (ax < 0x1p-27) return x;  // tan x = x (1 + x^2/3), below half an ulp
    DD r;
    const int32_t n = reduce(x, &r);
    const DD s = sin_kernel(r);
    const DD c = cos_kernel(r);
    if (n & 1) return -dd_div(c, s);
    return dd_div(s, c);
}

}  // namespace kestrum::pmath_accurate
