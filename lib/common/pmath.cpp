// Portable elementary functions; see pmath.h for the design and accuracy.
//
// Everything below is plain IEEE double arithmetic in round-to-nearest:
// + - * /, sqrt, nearbyint, exact scaling by powers of two built from bits,
// and 32/64-bit integer arithmetic.  No fused multiply-add is used or
// wanted (the build passes -ffp-contract=off); the error-free
// transformations below rely on every product and sum being rounded on its
// own.
#include "common/pmath.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The error-free transformations need every operation rounded to double
// on its own: no excess precision (x87) and no reassociation.
#if defined(__FAST_MATH__)
#error "common/pmath.cpp must not be compiled with -ffast-math"
#endif
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "common/pmath.cpp needs double evaluated in double (SSE2: -msse2 -mfpmath=sse)"
#endif

namespace kestrum::pmath {
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
//
// exp_core does the work for |xh| <= 745.2: it returns e and y with e^x =
// 2^e * (y.hi + y.lo), y in [0.7, 1.5) or so.
[[gnu::always_inline]] inline int32_t exp_core(double xh, double xl, DD* yout) {
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
    *yout = fast_two_sum(s0.hi, s0.lo + rest);
    return e;
}

// The same computation for the fast paths, shorter: fewer operations and
// shorter dependency chains (the fast paths are bound by both).  Same
// reduction (r = a + b formed without error from the exact xh - k L1 and
// -k L2, its rounding and the neglected rest of ln2/128 below 2^-79; b
// takes xl, |b| <= 2^-42.5 when called by pow), then
//   poly  1/2 + a/6 + ... + a^5/7! by Estrin's scheme: the terms beyond
//         1/2 are at most 2^-9.4 of it, relative rounding error below
//         2^-51.9, so a^2 poly (<= 2^-18) is off by 2^-69.1 (a^2 rounded
//         too) plus the Taylor truncation a^8/8! < 2^-83;
//   tail  = b + b (a + a^2/2) + a^2 poly = e^r - 1 - a: dropping b a^3/6
//         costs 2^-70.5, the two additions 2^-70;
//   T     2^(j/128) = th + tl (table kExp2Short): th has 26 significant
//         bits and a = ah + al (Veltkamp, 26 bits each), so th ah and th al
//         are exact products; |tl| <= 2^-26 th, its rounding 2^-79 of T;
//   sum   T e^r = th + th ah + (th al + th tail + tl (1 + a + tail)):
//         th + th ah by a fast two-sum (|th ah| < th), exact; the three
//         small terms are at most 2^-16.9 th: th tail rounded (2^-71),
//         tl (...) (2^-78), their two additions (2^-68.9), and the final
//         addition to the two-sum's error term (2^-69.8).
// The result h + l (unnormalised, |l| <= 2^-16.8 h) is within 2^-67.1 of
// 2^-e e^x (the bounds above added, relative to T e^r >= 0.996 th).
[[gnu::always_inline]] inline int32_t exp_core_fast(double xh, double xl, DD* yout) {
    const double kd = round_int(xh * kInvLn2x128);
    const int32_t k = static_cast<int32_t>(kd);
    const int32_t j = k & 127;
    const int32_t e = (k - j) / 128;

    const double rh = xh - kd * kLn2d128Hi;  // exact
    const DD r = two_sum(rh, -kd * kLn2d128Lo);
    const double a = r.hi;
    const double b = r.lo + xl;

    const double a2 = a * a;
    const double poly =
        (kInvFact2 + a * kInvFact3) + a2 * ((kInvFact4 + a * kInvFact5) + a2 * (kInvFact6 + a * kInvFact7));
    const double tail = b + b * (a + 0.5 * a2) + a2 * poly;  // e^r - 1 = a + tail

    const double th = kExp2Short[j][0];
    const double tl = kExp2Short[j][1];
    const DD as = split(a);
    const DD s0 = fast_two_sum(th, th * as.hi);
    const double rest = (th * as.lo + th * tail) + tl * (1.0 + (a + tail));
    *yout = DD{s0.hi, s0.lo + rest};
    return e;
}

double exp_dd(double xh, double xl, double sign) {
    if (xh > 709.79) return sign * kInf;
    if (xh < -745.2) return sign * 0.0;
    DD y;
    const int32_t e = exp_core(xh, xl, &y);

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
// Accurate exp, for the calls whose fast result does not decide the
// rounding: fixed-point arithmetic on six 32-bit limbs, value =
// sum w[i] 2^(32 i) / 2^160 (w[5] the integer part), integers only.
//
// x = k ln2 + r with 0 <= r < ln2, r formed from the exact fixed-point
// value of x (|x| >= 2^-60 and |x| < 746, so every bit of x lies within
// the 160 fractional bits) and ln2 truncated to 160 bits (error below
// 2^-160, times |k| <= 1076: below 2^-149.9).  e^r = (e^s)^256 with
// s = r/256 truncated (below 0.0028, error 2^-160): e^s = sum s^n / n! for
// n up to 16, each term truncated (error below 2^-156 in all; the terms
// beyond s^16/16! are below 2^-180), then eight squarings, which double
// the relative error each and add 2^-160.  So e^r in [1, 2) is known to
// better than 2^-147 and the result 2^k e^r is rounded once, at 53 bits or
// at the subnormal spacing, to nearest with ties to even.  The exact value
// of e^x for a double x != 0 is never that close to a midpoint (the
// hardest cases for double precision lie about 2^-113 away), so the
// result is the correctly rounded one.
struct Fix {
    uint32_t w[6];
};

constexpr Fix kFixLn2 = {{0x40f34326u, 0x03f2f6afu, 0xc9e3b398u, 0xd1cf79abu, 0xb17217f7u, 0u}};

Fix fix_from_abs(double x) {  // |x|, 2^-60 <= |x| < 2^32
    const uint64_t u = bits_of(x);
    const int32_t ex = static_cast<int32_t>((u >> 52) & 0x7ff) - 1075;  // x = m 2^ex
    const uint64_t m = (u & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    Fix f = {};
    const int32_t sh = ex + 160;  // bit position of m's lowest bit, >= 48
    const int32_t limb = sh / 32, off = sh % 32;
    const uint64_t lo = m << off;                       // bits off .. off+63 of m's span
    const uint32_t top = off == 0 ? 0u : static_cast<uint32_t>(m >> (64 - off));
    if (limb < 6) f.w[limb] = static_cast<uint32_t>(lo);
    if (limb + 1 < 6) f.w[limb + 1] = static_cast<uint32_t>(lo >> 32);
    if (limb + 2 < 6) f.w[limb + 2] = top;
    return f;
}

bool fix_less(const Fix& a, const Fix& b) {
    for (int i = 5; i >= 0; --i) {
        if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
    }
    return false;
}

Fix fix_add(const Fix& a, const Fix& b) {
    Fix r;
    uint64_t c = 0;
    for (int i = 0; i < 6; ++i) {
        c += uint64_t{a.w[i]} + b.w[i];
        r.w[i] = static_cast<uint32_t>(c);
        c >>= 32;
    }
    return r;
}

Fix fix_sub(const Fix& a, const Fix& b) {  // a >= b
    Fix r;
    int64_t c = 0;
    for (int i = 0; i < 6; ++i) {
        c += static_cast<int64_t>(a.w[i]) - static_cast<int64_t>(b.w[i]);
        r.w[i] = static_cast<uint32_t>(c);
        c = c < 0 ? -1 : 0;
    }
    return r;
}

Fix fix_mul_small(const Fix& a, uint32_t n) {
    Fix r;
    uint64_t c = 0;
    for (int i = 0; i < 6; ++i) {
        c += uint64_t{a.w[i]} * n;
        r.w[i] = static_cast<uint32_t>(c);
        c >>= 32;
    }
    return r;
}

Fix fix_div_small(const Fix& a, uint32_t n) {  // truncated
    Fix r;
    uint64_t rem = 0;
    for (int i = 5; i >= 0; --i) {
        const uint64_t cur = (rem << 32) | a.w[i];
        r.w[i] = static_cast<uint32_t>(cur / n);
        rem = cur % n;
    }
    return r;
}

Fix fix_mul(const Fix& a, const Fix& b) {  // truncated; a, b < 2
    uint32_t p[12] = {};
    for (int i = 0; i < 6; ++i) {
        uint64_t c = 0;
        for (int j = 0; j < 6; ++j) {
            c += uint64_t{a.w[i]} * b.w[j] + p[i + j];
            p[i + j] = static_cast<uint32_t>(c);
            c >>= 32;
        }
        p[i + 6] = static_cast<uint32_t>(c);
    }
    Fix r;  // drop the low 160 bits (five limbs)
    for (int i = 0; i < 6; ++i) r.w[i] = p[i + 5];
    return r;
}

bool fix_bit(const Fix& a, int32_t b) { return b >= 0 && b < 192 && ((a.w[b / 32] >> (b % 32)) & 1u); }

bool fix_any_below(const Fix& a, int32_t b) {  // any bit at positions < b
    for (int32_t i = 0; i < 6 && 32 * i < b; ++i) {
        const int32_t n = b - 32 * i;
        const uint32_t mask = n >= 32 ? 0xffffffffu : ((1u << n) - 1u);
        if (a.w[i] & mask) return true;
    }
    return false;
}

// floor(a / 2^s) for a < 2^161, s >= 108 (the result has at most 53 bits).
uint64_t fix_shift(const Fix& a, int32_t s) {
    uint64_t r = 0;
    for (int32_t b = 160; b >= s; --b) r = (r << 1) | (fix_bit(a, b) ? 1u : 0u);
    return r;
}

double exp_accurate_impl(double x) {
    if (x != x) return x + x;
    if (x > 709.79) return kInf;
    if (x < -745.2) return 0.0;
    if (std::fabs(x) < 0x1p-60) return 1.0;  // 1 + x is within 2^-60 of 1
    const Fix ax = fix_from_abs(x);
    int32_t k = static_cast<int32_t>(std::floor(x * 1.4426950408889634));
    Fix r;
    for (;;) {  // at most two corrections of the estimate
        const uint32_t nk = static_cast<uint32_t>(k < 0 ? -k : k);
        const Fix kl = fix_mul_small(kFixLn2, nk);
        if (k >= 0) {
            if (fix_less(ax, kl)) { --k; continue; }
            r = fix_sub(ax, kl);
        } else {
            if (fix_less(kl, ax)) { --k; continue; }
            r = fix_sub(kl, ax);
        }
        if (!fix_less(r, kFixLn2)) { ++k; continue; }
        break;
    }
    // e^r = (e^(r/256))^256: the series for r/256 < 0.0028, then eight
    // squarings.
    Fix rs;
    for (int i = 0; i < 6; ++i) {
        rs.w[i] = (r.w[i] >> 8) | (i < 5 ? (r.w[i + 1] << 24) : 0u);
    }
    Fix sum = {};
    sum.w[5] = 1u;
    Fix term = sum;
    for (uint32_t n = 1; n <= 16; ++n) {
        term = fix_div_small(fix_mul(term, rs), n);
        sum = fix_add(sum, term);
    }
    for (int i = 0; i < 8; ++i) sum = fix_mul(sum, sum);
    // sum = e^r in [1, 2): bit 160 is set.  Keep 53 bits (normal result)
    // or as many as the subnormal spacing 2^-1074 allows.
    const int32_t s = k >= -1022 ? 108 : 108 + (-1022 - k);
    if (s > 162) return 0.0;  // below 2^-1076: rounds to 0
    uint64_t n = fix_shift(sum, s);
    if (fix_bit(sum, s - 1) && (fix_any_below(sum, s - 1) || (n & 1u))) n += 1;
    const double v = static_cast<double>(n);  // exact: n <= 2^53
    if (k >= -1022) {
        const double m = v * 0x1p-52;  // in [1, 2]
        if (k > 1023) return m * pow2i(1023) * 2.0;
        return m * pow2i(k);
    }
    return (v * 0x1p-537) * 0x1p-537;  // n 2^-1074, exact
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
// log_reduce does this reduction for both logarithms below.
struct LogReduced {
    int32_t k;
    int32_t j;
    DD r;
};

inline __attribute__((always_inline)) LogReduced log_reduce(double x) {
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
    return {k, j, r};
}

// log x = k*ln2 + l_j + log1p(r); log1p(r) = r - r^2/2 + r^3*q(r) with q
// the Taylor series to r^10 (truncation below 2^-80 relative), everything
// in double-double except q - 1/3.  Relative error of the sum: about 2^-78,
// which pow needs (|y log x| up to 745).
DD log_dd(double x) {
    const LogReduced red = log_reduce(x);
    const int32_t k = red.k, j = red.j;
    const DD r = red.r;

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

// Fast log of a positive finite x, as an unevaluated sum h + l with
// relative error below 2^-65.55 (the rounding test is in the callers; see
// "Fast paths" below).  x = 2^k m, j = nearest integer to (m - 1) 256
// (from the mantissa's leading nine bits), with a table of its own
// (kLogQuick): c'_j ~ 1/(1 + j/256) with 16 significant bits and l'_j =
// log(1/c'_j) as a leading part on the grid of kLn2Hi (multiples of 2^-42)
// and the rest.  (log_reduce raises k by one for j >= 53 and takes ln2 off
// l_j, so that x next to 1 from below gives 0 and no cancellation; here
// k ln2hi + l'hi is exact either way, and at j = 256, k = -1 it is
// -ln2hi + ln2hi = 0 with the low parts cancelling exactly too, so k
// stays.)  On every table interval, with R = |r| (r below) and A = k ln2 +
// l'_j != 0: R <= 2^-9, R/|log x| <= 0.998, R^2/|log x| <= 2^-9.01 and
// |log x| >= 2^-10.
//
// Exact reduction: mh = m rounded to a multiple of 2^-17 (18 bits), ml =
// m - mh exact (|ml| <= 2^-18, a multiple of 2^-52: at most 35 bits), so
// mh c' (34 bits) and ml c' (51 bits) are exact products, rh = mh c' - 1
// is exact (Sterbenz) and r = m c' - 1 = rh + rl, rl = ml c'.
// |rh| <= R + 2^-18 < 2^-8.99, and rh is a multiple of 2^-33: at most 25
// bits, so rh^2 is exact as well.
//
// log x = A + log1p(r), A = Ahi + Alo, Ahi = k ln2hi + l'hi exact (both on
// the 2^-42 grid, below 2^10).  The leading terms are summed without
// error: Ahi + rh is a plain addition and exact (rh is on the 2^-33 grid
// and below 2^-8.99, so the sum is a multiple of 2^-42 below 2^10.01: 53
// bits); w = rl - rh^2/2 is a plain subtraction and exact too (rl is a
// multiple of 2^-68, rh^2/2 of 2^-67, and |w| <= 2^-18 + 2^-18.98 <
// 2^-17.4, so w has at most 51 bits); their sum is a fast two-sum (when
// A != 0, Ahi + rh is within 2^-18 of A + r, at least 2^-10 in magnitude;
// when A = 0, c' is 1 or 1/2 and Ahi + rh = rh is 0 or a multiple of
// 2^-17 or 2^-18 at least twice |rl|, so |w| <= |rh|/2 + rh^2/2 <= |rh|).
// The rest of log1p goes into l in double: Alo, -rl (rh + rl/2) (the rest
// of -r^2/2, rounding 2^-69.9 of the result) and r^3 q(r), q = 1/3 - r/4 +
// r^2/5 - r^3/6 + r^4/7 (the series to r^7; truncation R^8/8 (1 + R) /
// |log x| <= 2^-66.0), from r ~ rh + rl rounded: relative error 2^-50 of a
// term at most R^3/3, that is 2^-50 (R^2/|log x|) R/3 <= 2^-69.6 of the
// result.  The terms in l are at most 2^-17.5 of the result (2^-18 for
// rl's, 2^-19.6 for the cube), so each of its four additions rounds by
// 2^-70.5 of it (2^-68.5 in all); Alo's error is below 2^-87 absolute, and
// where Alo != 0, |log x| >= 2^-10.  Total below 2^-65.55 relative;
// |l| <= 2^-17.5 |h|.
// k ln2hi and k ln2lo for k = e - 1023, e the exponent field of a positive
// normal double (1 .. 2046), formed at compile time by the same two IEEE
// products the general case forms at run time (the first exact): two loads
// instead of a conversion and two products.
struct LogExponentTable {
    double v[2047][2];
};
constexpr LogExponentTable make_log_exponent_table() {
    LogExponentTable t{};
    for (int e = 0; e < 2047; ++e) {
        const double kd = static_cast<double>(e - 1023);
        t.v[e][0] = kd * kLn2Hi;
        t.v[e][1] = kd * kLn2Lo;
    }
    return t;
}
constexpr LogExponentTable kLogExponent = make_log_exponent_table();

// kLogQuick with rows of four doubles (the fourth unused), so that a row's
// offset is its index with two low bits clear: fewer instructions for the
// index.
struct LogQuick4 {
    double v[257 * 4];  // one flat array: a row is reached by an offset into it
};
constexpr LogQuick4 make_log_quick4() {
    LogQuick4 t{};
    for (int j = 0; j < 257; ++j) {
        for (int i = 0; i < 3; ++i) t.v[4 * j + i] = kLogQuick[j][i];
    }
    return t;
}
constexpr LogQuick4 kLogQuick4 = make_log_quick4();

// log_terms gives the three parts log x = s1 + w + small (s1 and w exact,
// |w| <= |s1|, small within the error above); log_fast sums them to h + l.
// Normal = true: x is known to be a positive normal double, and k ln2 comes
// from the table kLogExponent.
struct LogTerms {
    double s1, w, small;
};

template <bool Normal = false>
[[gnu::always_inline]] inline LogTerms log_terms(double x) {
    int32_t k = 0;
    uint64_t u = bits_of(x);
    if (!Normal && u < (uint64_t{1} << 52)) {  // subnormal
        x *= 0x1p54;
        u = bits_of(x);
        k = -54;
    }
    // m: x with its exponent field set to that of 1 (x is positive).
    const int32_t ke = static_cast<int32_t>(u >> 52) - 1023;
    k += ke;
    const uint64_t um = u - (static_cast<uint64_t>(static_cast<int64_t>(ke)) << 52);
    const double m = from_bits(um);
    // j = nearest integer to (m - 1) 256 from the leading nine fraction
    // bits rounded on the tenth, as the offset 4 j of its row in
    // kLogQuick4: b + 2 with its two low bits cleared, b the leading ten
    // bits (floor((floor(b/2) + 1)/2) = floor((b + 2)/4)).
    const uint64_t j4 = (((u >> 42) & 0x3ff) + 2) & ~uint64_t{3};  // 4 j, j = 0..256
    const double* t = kLogQuick4.v + j4;
    // mh: m rounded to a multiple of 2^-17 on its bits (half up; a carry
    // out of the fraction gives 2 exactly), leaving the FP adders free.
    const double mh = from_bits((um + (uint64_t{1} << 34)) & ~((uint64_t{1} << 35) - 1));
    const double ml = m - mh;
    const double rh = mh * t[0] - 1.0;
    const double rl = ml * t[0];

    double kh, kl;  // k ln2hi (exact) and k ln2lo (rounded)
    if (Normal) {
        kh = kLogExponent.v[u >> 52][0];
        kl = kLogExponent.v[u >> 52][1];
    } else {
        const double kd = static_cast<double>(k);
        kh = kd * kLn2Hi;
        kl = kd * kLn2Lo;
    }
    const double s1 = (kh + t[1]) + rh;    // exact
    const double w = rl - 0.5 * (rh * rh);  // exact
    const double z = rh + rl;
    const double z2 = z * z;
    const double q = (kThirdHi - z * kInv4) + z2 * ((kInv5 - z * kInv6) + z2 * kInv7);
    const double small = (kl + t[2]) + ((z * z2) * q - rl * (rh + 0.5 * rl));
    return {s1, w, small};
}

template <bool Normal = false>
[[gnu::always_inline]] inline DD log_fast(double x) {
    const LogTerms a = log_terms<Normal>(x);
    const DD s2 = fast_two_sum(a.s1, a.w);
    return {s2.hi, s2.lo + a.small};
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

// ---------------------------------------------------------------------------
// Fast paths.  Each function first computes its result as an unevaluated
// sum h + l (not necessarily normalised, |l| < 2^-13 |h|) with a proven
// relative error well below 2^-63, using double arithmetic for everything
// but the leading terms.  round_decided() then checks that the result is
// decided: every real within e of h + l rounds to the same double.  The
// bound e used by the callers, 2^-62 |h| (more for pow), covers the fast
// path's own error plus the error of the accurate path (2^-66 or less),
// plus the rounding of l +- e (below ulp(l) <= 2^-65 |h|).  When the test
// passes, the exact value lies within e of h + l and farther than the
// accurate path's error from every midpoint, so both paths return the
// same double, the one nearest the exact value.  When it fails (about
// one call in 500 for ordinary arguments) the accurate path computes the
// result.  The results are therefore the same bits as the accurate path
// alone would give.

// Rounding is monotonic, so when the two ends h + (l - e) and h + (l + e)
// round to the same double, so does everything between them, h + l
// included: one comparison decides, and either end is the result.  The
// test is the same for e and -e, so the callers pass their tolerance
// times h without taking |h| first.
bool round_decided(double h, double l, double e, double* res) {
    const double v = h + (l + e);
    *res = v;
    return v == h + (l - e);
}

constexpr double kFastTol = 0x1p-62;

// A cheaper form of the test for a result v + d with v = h + l rounded
// and d = h + l - v its exact rounding error (or within a known
// bound of it), when the tolerance is at most 2^-(54 + F) |v|: the real
// nearest to the exact value rounds to v when |v + d - v| plus the
// tolerance stays below half the spacing of the doubles at v in that
// direction.  That half spacing is at least 2^(E - 53), E the exponent of
// the double just below |v| in magnitude (E - 1 for a power of two, whose
// spacing below is half the spacing above; the same as v's otherwise).
// The test asks |d| <= T = 2^(E - 53) (1 - 2^-F), on the bits: T's
// exponent field is E's less 54, its fraction 1 - 2^-(F - 1) (the leading
// F - 1 fraction bits set), and the magnitudes of doubles compare as their
// bits do.  The margin 2^(E - 53) - T = 2^(E - 53 - F) is at least
// 2^-(54 + F) |v| (|v| < 2^(E + 1), or |v| = 2^(E + 1) for a power of
// two), which covers the tolerance.  No additions on the FP units: the
// exponent of v and |d| are integer operations on their bits.  About a
// share 2^-F of the calls is left undecided.  Requires |v| >= 2^-960 (so
// T is normal) or v = 0 (then T is huge and v = 0 is returned: the
// callers only pass v = 0 with d = 0 for an exact zero).
template <int F>
[[gnu::always_inline]] inline bool near_decided(double v, double d) {
    static_assert(F >= 2 && F <= 40, "margin out of range");
    constexpr uint64_t kExpField = uint64_t{0x7ff} << 52;
    constexpr uint64_t kFraction = ((uint64_t{1} << (F - 1)) - 1) << (53 - F);
    constexpr uint64_t kOffset = kFraction - (uint64_t{54} << 52);
    const uint64_t t = ((bits_of(v) - 1) & kExpField) + kOffset;
    return (bits_of(d) << 1) <= (t << 1);
}


// sin and cos of a reduced argument r = rh + rl (|r| <= pi/4 + 2^-40,
// |rl| <= ulp(rh)/2), by a table of sin and cos at the points i/64:
// with a = i/64 nearest to |r| and b = |r| - a, |b| <= 1/128 + 2^-40,
//   sin(a + b) = S + C b + S (cos b - 1) + C (sin b - b)
//   cos(a + b) = C - S b + C (cos b - 1) - S (sin b - b)
// with S = sin a and C = cos a as double-doubles.  b is formed exactly
// (|r| - a by Sterbenz' lemma, then a two-sum with rl).  cos b - 1 =
// -b^2/2 + b^4/24 - b^6/720 (truncation below 2^-71) and sin b - b =
// -b^3/6 + b^5/120 - b^7/5040 (truncation below 2^-81) are evaluated in
// double from the leading part of b: |cos b - 1| <= 2^-15 and |sin b - b|
// <= 2^-22.6, each with relative error below 2^-50.5, so absolute errors
// below 2^-65.5 |S| and 2^-73 respectively.  The leading term S + C b is
// a Dekker product and a Sterbenz-exact two-sum (|S| >= |C b| when i >= 1,
// S = 0 otherwise); every other term goes into l, whose magnitude stays
// below 2^-14.5 of the result, so its five or six roundings add at most
// 2^-66 of the result.  Relative to the result (sin(a + b) >= S/2.1 for
// i >= 1; for i = 0 it is r itself and the only small terms are rl and
// sin b - b, 2^-16.5 of it), the error is below 2^-64 for both; the
// accurate kernels are good to about 2^-67.
struct TrigArg {
    const double* t;  // sin a hi, lo, cos a hi, lo
    double bh, bl;    // b
    double cm1, sm;   // cos b - 1, sin b - b
    double sg;        // sign of r: sin is odd, cos even
};

void trig_arg(DD r, TrigArg* a) {
    // Branch-free (the sign of r is random in typical use): |r| by
    // multiplying with the sign, exact.
    a->sg = std::copysign(1.0, r.hi);
    const double rh = a->sg * r.hi;
    const double rl = a->sg * r.lo;
    const int32_t i = static_cast<int32_t>(rh * 64.0 + 0.5);  // 0..51
    a->t = kSinCos64[i];
    const DD b = two_sum(rh - static_cast<double>(i) * 0x1p-6, rl);
    a->bh = b.hi;
    a->bl = b.lo;
    const double b2 = b.hi * b.hi;
    a->cm1 = b2 * (-0.5 + b2 * (kInvFact4 - b2 * kInvFact6));
    a->sm = (b.hi * b2) * (-kInvFact3 + b2 * (kInvFact5 - b2 * kInvFact7));
}

DD fast_sin_r(const TrigArg& a) {
    const double sh = a.t[0], sl = a.t[1], ch = a.t[2], cl = a.t[3];
    const DD p = two_prod(ch, a.bh);
    const DD s = fast_two_sum(sh, p.hi);
    const double l = s.lo + (p.lo + (sl + ch * a.bl + cl * a.bh + (sh * a.cm1 + ch * a.sm)));
    return DD{a.sg * s.hi, a.sg * l};
}

DD fast_cos_r(const TrigArg& a) {
    const double sh = a.t[0], sl = a.t[1], ch = a.t[2], cl = a.t[3];
    const DD p = two_prod(sh, a.bh);
    const DD s = fast_two_sum(ch, -p.hi);
    const double l = s.lo + (-p.lo + (cl - sh * a.bl - sl * a.bh + (ch * a.cm1 - sh * a.sm)));
    return DD{s.hi, l};
}

// sin or cos (which by n) of x = n pi/2 + r: the fast path, then the
// accurate kernels.  The fast path computes both and selects by table
// lookups rather than branches, n being unpredictable in typical use.
constexpr double kQuadSign[4] = {1.0, 1.0, -1.0, -1.0};

template <bool Fast>
double sin_reduced(int32_t n, DD r, const TrigArg& a) {
    if (Fast) {
        const DD both[2] = {fast_sin_r(a), fast_cos_r(a)};
        const DD f = both[n & 1];
        const double sg = kQuadSign[n & 3];
        double res;
        if (round_decided(sg * f.hi, sg * f.lo, kFastTol * std::fabs(f.hi), &res)) return res;
    }
    DD v = (n & 1) ? cos_kernel(r) : sin_kernel(r);
    if (n & 2) v = dd_neg(v);
    return v.hi + v.lo;
}

template <bool Fast>
double cos_reduced(int32_t n, DD r, const TrigArg& a) {
    if (Fast) {
        const DD both[2] = {fast_cos_r(a), fast_sin_r(a)};
        const DD f = both[n & 1];
        const double sg = kQuadSign[(n + 1) & 3];
        double res;
        if (round_decided(sg * f.hi, sg * f.lo, kFastTol * std::fabs(f.hi), &res)) return res;
    }
    DD v = (n & 1) ? sin_kernel(r) : cos_kernel(r);
    if (((n + 1) & 2) != 0) v = dd_neg(v);
    return v.hi + v.lo;
}

// Faster sin and cos for |x| <= 823549 with |r| >= 2^-12 (every other
// argument, and every call whose rounding this does not decide, goes to
// the paths above).
//
// Reduction: x = n pi/2 + r with the first three pieces of pi/2 only:
// x - n P1 exact, a fast two-sum with -n P2 (exact product), and -n P3
// (exact product) added to the low part (|n P3| <= 2^-49.8, rounding
// 2^-102.7).  The fast two-sum is exact whenever the path goes on: then
// its sum is at least 2^-12, and |n P2| <= 2^-14.9, so x - n P1 is larger
// than n P2 in magnitude; when it is not, the sum, correctly rounded
// anyway, is below 2^-13.9 and the path is left.
// The pieces miss pi/2 by |P4| < 2^-103.2, times n <= 2^19: r = rh + rl is
// within 2^-84.1 of x - n pi/2, which is below 2^-71.9 of sin r and cos r
// for |r| >= 2^-12.
//
// Kernel, as in fast_sin_r and fast_cos_r but on r itself rather than |r|
// (a = i/64 nearest to r, i = -51 .. 51, b = r - a = bh + rl with
// bh = rh - a exact by Sterbenz' lemma, |rl| <= 2^-49.6 kept apart;
// |b| <= 1/128 + 2^-40; cos b - 1 and sin b - b by short series in double
// from bh + rl rounded), in one form for both:
// f(a + b) = U + V b + U (cos b - 1) + V (sin b - b) with (U, V) = (S, C)
// for sin and (C, -S) for cos, S = sin a, C = cos a, chosen by table index
// rather than by branch (the quadrant is unpredictable in typical use).
// The table kSinCosShort holds S (odd in i) and C each as a 26-bit leading
// part and the rest (rounded, 2^-79 of the value), so with bh split in two
// halves of 26 bits (Veltkamp), bh = bsh + bsl, the leading part of V times
// b is vh bsh, exact, plus vh (bsl + rl) (the sum rounded by 2^-87), and
// U + vh bsh is a fast two-sum (|U| >= |V b| when i != 0 and U = 0 when
// i = 0 for sin; U = C >= 0.7 for cos).  Errors, absolute with
// |U|, |V| <= 1: U (cos b - 1): 2^-65 |U| (the series' rounding 2^-51.4 of
// |cos b - 1| <= 2^-15, the rounding of U and of the product 2^-67, the
// rounding of its argument bh + rl 2^-67, truncation 2^-71.3);
// V (sin b - b): 2^-74; V's rest times b: 2^-86, and the dropped product
// of V's rest with rl: 2^-76.6 (none for sin with i = 0, where V = 1); the
// additions into the low part l: 2^-74.4 for the small terms, 2^-68 |U| +
// 2^-76.4 for each of the last two.
// Relative to the result, which is at least |U|/2.04 and at least 2^-7.01
// in magnitude for sin with i != 0 (|sin(a + b)| >= sin(|a| - 1/128)), at
// least 0.707 for cos, and b (1 - b^2/6) for sin with i = 0 (where U = 0
// and V = 1: relative error 2^-66.9): below 2^-63.5 for sin and 2^-64.3
// for cos; with the reduction, below 2^-63.4.  The tolerance 2^-62 covers
// that, the accurate path (2^-67) and the rounding of l +- e
// (|l| <= 2^-14 |h|: 2^-67).
struct TrigFast {
    int32_t n;         // quadrant of sin
    int32_t i;         // table row
    double bh;         // b = bh + rl, bh = rh - i/64
    double bsh, bt;    // bh = bsh + bsl split in two; bt = bsl + rl
    double cm1, sm;    // cos b - 1, sin b - b
};

[[gnu::always_inline]] inline bool trig_fast_arg(double x, TrigFast* a) {
    if (!(std::fabs(x) <= kCodyWaiteMax)) return false;  // NaN too
    const double nd = round_int(x * kInvPio2);
    const double t = x - nd * kPio2_1;  // exact
    const DD s = fast_two_sum(t, -nd * kPio2_2);
    const double rh = s.hi;
    if (!(std::fabs(rh) >= 0x1p-12)) return false;
    const double rl = s.lo - nd * kPio2_3;
    a->n = static_cast<int32_t>(static_cast<int64_t>(nd) & 3);
    const double fi = round_int(rh * 64.0);  // -51 .. 51
    a->i = static_cast<int32_t>(fi) + 52;
    const double bh = rh - fi * 0x1p-6;  // exact
    a->bh = bh;
    const DD bs = split(bh);
    a->bsh = bs.hi;
    a->bt = bs.lo + rl;
    const double bp = bh + rl;  // b rounded, for the series
    const double b2 = bp * bp;
    a->cm1 = b2 * (-0.5 + b2 * (kInvFact4 - b2 * kInvFact6));
    a->sm = (bp * b2) * (-kInvFact3 + b2 * (kInvFact5 - b2 * kInvFact7));
    return true;
}

constexpr double kOddSign[2] = {1.0, -1.0};

// sin a and cos a of kSinCosShort each rounded to one double (the sum of
// its two parts, formed at compile time with the same IEEE addition), for
// the terms of sincos that need them only to double precision.
struct SinCosSums {
    double v[105][2];
};
constexpr SinCosSums make_sin_cos_sums() {
    SinCosSums t{};
    for (int i = 0; i < 105; ++i) {
        t.v[i][0] = kSinCosShort[i][0] + kSinCosShort[i][1];
        t.v[i][1] = kSinCosShort[i][2] + kSinCosShort[i][3];
    }
    return t;
}
constexpr SinCosSums kSinCosSums = make_sin_cos_sums();

// sin(n pi/2 + r) for the quadrant n (cos: n + 1), rounded if decided.
[[gnu::always_inline]] inline bool trig_fast(const TrigFast& a, int32_t n, double* res) {
    const int32_t odd = n & 1;
    const double* row = kSinCosShort[a.i];
    const double uh = row[2 * odd], ul = row[2 * odd + 1];
    const double vs = kOddSign[odd];
    const double vh = vs * row[2 - 2 * odd], vl = vs * row[3 - 2 * odd];
    const DD s = fast_two_sum(uh, vh * a.bsh);
    const double small = (vh * a.bt + ul) + (vl * a.bh + (vh + vl) * a.sm);
    const double l = s.lo + (small + (uh + ul) * a.cm1);
    const double q = kQuadSign[n & 3];
    return round_decided(q * s.hi, q * l, kFastTol * s.hi, res);
}

// sin r and cos r together (the same kernel with (U, V) = (S, C) and
// (C, -S)), each rounded if decided; sincos then picks and signs them by
// quadrant, which changes no rounding.
[[gnu::always_inline]] inline void trig_fast_both(const TrigFast& a, double* sr, double* cr, bool* ds, bool* dc) {
    const double* row = kSinCosShort[a.i];
    const double sh = row[0], sl = row[1], ch = row[2], cl = row[3];
    const double sd = kSinCosSums.v[a.i][0], cd = kSinCosSums.v[a.i][1];
    const DD ps = fast_two_sum(sh, ch * a.bsh);
    const double ls = ps.lo + (((ch * a.bt + sl) + (cl * a.bh + cd * a.sm)) + sd * a.cm1);
    const DD pc = fast_two_sum(ch, -sh * a.bsh);
    const double lc = pc.lo + (((-sh * a.bt + cl) + (-sl * a.bh - sd * a.sm)) + cd * a.cm1);
    *ds = round_decided(ps.hi, ls, kFastTol * ps.hi, sr);
    *dc = round_decided(pc.hi, lc, kFastTol * pc.hi, cr);
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

// The first try of exp, in plain double, with a table of 256 entries:
// x = k ln2/256 + r (k*L1 exact, L1 with 35 bits, |k| < 2^18), r =
// (x - k L1) - k L2 rounded to one double, e^r - 1 = p by Taylor to r^5
// (truncation r^6/6! < 2^-66.7), and 2^(j/256) e^r = th + l with
// l = th p + (tl + tl p).  Errors relative to th, with |r|, |p| below
// 0.00136 < 2^-9 (so their roundings are at most 2^-63, half an ulp in
// [2^-10, 2^-9)): r's rounding 2^-63 (times e^r; k L2's 2^-79), p's final
// addition 2^-63 and its other roundings 2^-71 (r^2 (1/2 + ...) is below
// 2^-20), th p rounded 2^-62.53 (2^-53 of 2^-9.53), l's last
// addition 2^-62.53; in all below 2^-60.72 of the result (which is at
// least 0.998 th).  The tolerance 2^-60 th covers that, the accurate path
// (2^-147) and the rounding of l +- e in the test (|l| <= 2^-9.53 th:
// 2^-62.53), 2^-60.36 together.  About one call in 90 is left undecided
// and goes on to exp_core_fast.
// For x in [-707, 707], so k is in [-261117, 261117] and e = floor(k/256)
// in [-1020, 1019]: the result is normal and its scaling exact.  pow
// passes a double-double x = xh + xl (|xl| <= 2^-43.5): r = (xh - k L1) +
// (xl - k L2), the second sum below 2^-26.1 and its rounding 2^-79, so the
// same bound holds; pow's tolerance adds its own term.  (For |y| <= 16 pow
// passes an unnormalised sum, |xl| <= 2^-13.3; see pow_fast for the bound
// then.)  tol is the tolerance relative to th (2^-60 for exp itself).  The
// range is checked as |x| <= 707 on the bits of x with the sign shifted
// out, one integer comparison that also turns away NaN and infinities;
// (707, 708] goes on to exp_core_fast.
// exp itself has no low part (Low = false) and forms r = (xh - k L1) -
// k L2.
constexpr uint64_t kBits707x2 = uint64_t{0x408618} << 41;  // bits of 707.0, shifted left once

template <bool Low>
[[gnu::always_inline]] inline bool exp_quick(double xh, double xl, double tol, double* res) {
    if ((bits_of(xh) << 1) > kBits707x2) return false;
    // kd = round_int(xh 256/ln2), and k from the low bits of the shifted
    // sum 1.5 2^52 + k (instead of a conversion).
    const double ks = xh * kInvLn2x256 + 0x1.8p52;
    const double kd = ks - 0x1.8p52;
    const int32_t k = static_cast<int32_t>(static_cast<uint32_t>(bits_of(ks)));
    const int32_t j = k & 255;
    const int32_t e = static_cast<int32_t>(static_cast<uint32_t>(k + 0x200000) >> 8) - 0x2000;
    const double r = Low ? (xh - kd * kLn2d256Hi) + (xl - kd * kLn2d256Lo) : (xh - kd * kLn2d256Hi) - kd * kLn2d256Lo;
    const double r2 = r * r;
    const double p = r + r2 * ((kInvFact2 + r * kInvFact3) + r2 * (kInvFact4 + r * kInvFact5));
    const double th = kExp2Table256[j][0];
    const double tl = kExp2Table256[j][1];
    const double l = th * p + (tl + tl * p);
    if (Low) {
        if (!round_decided(th, l, tol * th, res)) return false;
    } else {
        // exp itself: th + l as v + d exactly (|l| < th: a fast two-sum),
        // so only the error 2^-60.72 is left to cover; near_decided<6>'s
        // margin 2^-60 |v| does (about one call in 64 goes on).
        (void)tol;
        const double v = th + l;
        const double d = l - (v - th);
        if (!near_decided<6>(v, d)) return false;
        *res = v;
    }
    *res *= pow2i(e);
    return true;
}

constexpr uint64_t kThirdBits = 0x3fd5555555555555ull;  // bits of 1/3.0 (kThirdHi)
constexpr uint64_t kHalfBits = 0x3fe0000000000000ull;   // bits of 0.5

// a * b = p + e, p the rounded product and e its rounding error to within
// 2^-77 |a b|: Dekker's product with the factors split by truncation on
// their bits instead of Veltkamp's split (no floating-point operations for
// the leading parts).  ah = a with the low 27 bits of its fraction cleared
// (26 significant bits, the sign of a, |a - ah| < 2^-25 |a|), al = a - ah
// exact (at most 27 bits); likewise b.  ah bh (52 bits), ah bl and al bh
// (53) are exact products, al bl (54 bits, at most 2^-50 |ab|) is rounded
// by 2^-103 |ab|.  ah bh - p is exact (Sterbenz: ah bh and p lie within a
// factor (1 - 2^-25)^-2 of ab).  Adding ah bl gives ab - al b - p, at most
// 2^-24.9 |ab|, rounded by 2^-77.9 |ab|; adding al bh gives ab - p - al bl,
// at most 2^-49.9 |ab| (rounding 2^-102.9), and adding al bl gives ab - p
// (rounding 2^-106).  No term leaves the normal range for the callers'
// arguments but through underflow for tiny |ab|, whose absolute errors of
// 2^-1074 are far below the tolerances.
[[gnu::always_inline]] inline DD two_prod_cut(double a, double b) {
    constexpr uint64_t kCut = ~((uint64_t{1} << 27) - 1);
    const double ah = from_bits(bits_of(a) & kCut);
    const double bh = from_bits(bits_of(b) & kCut);
    const double al = a - ah;
    const double bl = b - bh;
    const double p = a * b;
    const double e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
    return {p, e};
}

// pow(x, y) for ordinary arguments (x positive normal, y finite and not an
// integer): t = y log x from log_fast (relative error below 2^-65.55, its
// low part at most 2^-17.5 of its high part), y times the high part by
// two_prod_cut (2^-77 |t|) and the low part times y rounded (2^-70.5 |t|),
// their sum rounded (2^-70.5 |t|), then normalised (the low part is the exact
// error of the sum, at most 2^-43.5 for |t| < 708, as both exps below
// require).  So t is off by at most 2^-65.45 |t| and e^t by a factor 1 + d
// with |d| <= 2^-65.45 |t| (1 + 2^-60).  The accurate path is good to
// 2^-67 + 2^-77 |t|.  Then e^t by exp's first try (2^-60.72, the rounding
// of l +- e 2^-62.53) with the tolerance (2^-60 + 2^-65 |t|) th, and if
// that does not decide, by exp_core_fast (2^-67.1, the rounding of l +- e
// 2^-69.8) with (2^-62 + 2^-65 |t|) h: each covers its own errors, the
// accurate path's and d (2^-65.45 + 2^-77 < 2^-65.4).  Results must be
// normal (so the scaling by 2^e is exact).
//
// For |y| <= 16 the log is not summed first and exp's first try takes the
// unnormalised sum: t = p + q with p = y s1 rounded and q = e + y (w +
// small), e the error of p from two_prod_cut (2^-77 |y s1|, at most
// 2^-77 |t| + 2^-94 |y|) and s1, w, small the parts of log_terms.  The sum
// w + small, its product with y and the addition of e each round by at
// most 2^-70.3 |y| (|w + small| <= 2^-17.3), so p + q is off by
// 2^-65.55 |t| + 2^-68.7 |y| <= 2^-65.55 |t| + 2^-64.7, and |q| <= 2^-17.3
// |y| + 2^-53 |p| <= 2^-13.3 (|t| <= |p| + |q|, so 2^-65.55 |t| is at most
// 2^-65.55 |p| + 2^-78.8).  With p for xh and q for xl in exp_quick, |r| <=
// ln2/512 + 2^-13.3 < 0.001454 < 2^-9: the Taylor truncation grows to
// 2^-66.05 (2^-67.1 more), the sum q - k L2 rounds by 2^-66.3, and l +- e
// by 2^-62.43 (|l| <= 2^-9.43 th).  The tolerance (2^-60 + 2^-65 |p|) th
// covers 2^-60.72 + 2^-67.1 + 2^-66.3 + 2^-62.43 + 2^-67 + 2^-64.7 +
// 2^-78.8 < 0.89 2^-60 besides 2^-65.55 |p| + 2^-77 |p|.  When that try
// does not decide, p + q is normalised by a fast two-sum (|q| <= 0.51 |p|:
// |w + small| <= 0.51 |s1|) for exp_core_fast, whose tolerance covers
// 2^-67.1 + 2^-69.8 + 2^-67 + 2^-64.7 < 0.3 2^-62 besides the same.
bool pow_fast(double x, double y, double* res) {
    constexpr uint64_t kBits16x2 = uint64_t{0x403} << 53;  // bits of 16.0, shifted left once
    DD t;
    if ((bits_of(y) << 1) <= kBits16x2) {
        const LogTerms a = log_terms<true>(x);
        t = two_prod_cut(y, a.s1);
        t.lo += y * (a.w + a.small);
        if (exp_quick<true>(t.hi, t.lo, 0x1p-60 + 0x1p-65 * std::fabs(t.hi), res)) return true;
        t = fast_two_sum(t.hi, t.lo);
    } else {
        const DD lf = log_fast<true>(x);
        t = two_prod_cut(y, lf.hi);
        t.lo += y * lf.lo;
        t = fast_two_sum(t.hi, t.lo);
        if (exp_quick<true>(t.hi, t.lo, 0x1p-60 + 0x1p-65 * std::fabs(t.hi), res)) return true;
    }
    if (!(std::fabs(t.hi) < 708.0)) return false;
    DD v;
    const int32_t e = exp_core_fast(t.hi, t.lo, &v);
    const double tol = (kFastTol + 0x1p-65 * std::fabs(t.hi)) * v.hi;
    if (e < -1021 || e > 1023 || !round_decided(v.hi, v.lo, tol, res)) return false;
    *res *= pow2i(e);
    return true;
}

// pow(x, y) for y = the double nearest 1/3 (the cube roots of the library's
// variances), x in [2^-960, 2^960]: a fast path that goes through the cube
// root instead of exp and log.  That y is 1/3 - d with d = 2^-54/3 exactly,
// so x^y = cbrt(x) e^(-d ln x), and |d ln x| <= 2^-46.
//
// c0: a guess at cbrt(x): x = 2^(3q + s) m, m in [1, 2), and with the
// reduction of log (sr = m c_j - 1, |sr| <= 2^-7.9), cbrt(x) =
// 2^q 2^(s/3) cbrt(1/c_j) (1 + sr)^(1/3), the last factor by its binomial
// series to sr^4 (truncation 2^-45).  Its relative error e is only checked,
// not assumed.  One Newton step then gives
// c1 = c0 - (c0^3 - x)/(3 c0^2) with relative error
// (e^2 + 2e^3/3)/(1 + e)^2 (exactly, for c0 = cbrt(x)(1 + e)).  The
// residual c0^3 - x is formed without error but for the last product:
// c0^2 = p + f (Dekker), p c0 = q + g (Dekker), q - x exact when q lies
// in [x/2, 2x] (Sterbenz), f c0 rounded (2^-53 of a term below 2^-51 of
// x), and the two additions of the small terms: the residual R within
// 2^-51.9 of itself plus 2^-104 x.  The correction w = R/(3p) then has
// relative error below 2^-50.5 (3p exact to a rounding, one division).
// The path requires |w| <= 2^-36 c0 (checked).  That excludes q outside
// [x/2, 2x]: there |q - x| >= max(x, q)/2, so |w| >= c0/13 even with the
// subtraction rounded.  So the check gives |e| below 2^-35.9 and the
// Newton error below 2^-71.8, and the error of w adds 2^-86.  (The guess
// is good to about 2^-44 on every argument of the range, so the check does
// not fail in practice, but nothing rests on that.)
//
// e^(-d ln x) = 1 - d L + (d ln x)^2/2 + ..., L = k ln2 + l_j + r with the
// reduction of log (|r| <= 2^-7.9, so |L - ln x| <= r^2/2 + 2^-50 <=
// 2^-16.7): d |L - ln x| <= 2^-72.3, the dropped square below 2^-93, the
// rounding of c0 d L below 2^-98, and the dropped w d L below 2^-82.
// Result h + l = c0 + (-w - c0 d L), |l| <= 2^-35.9 h, within 2^-70.9 of
// x^y.  The accurate path is good to 2^-67 + 2^-77 |t| with
// |t| = |y ln x| <= 222 here, below 2^-66.7; the tolerance 2^-63 |h|
// covers both and the rounding of l +- e (2^-89 |h|).
constexpr double kThirdDelta = 0x1.5555555555555p-56;  // 2^-54/3 to 2^-107

// The path's range [2^-960, 2^960], one unsigned comparison of the bits.
bool in_third_range(uint64_t u) {
    constexpr uint64_t kLo = uint64_t{1023 - 960} << 52;  // 2^-960
    constexpr uint64_t kHi = uint64_t{1023 + 960} << 52;  // 2^960
    return u - kLo <= kHi - kLo;
}

// What the path takes from x's bits and the tables: the mantissa m and
// c_j, cbrt(1/c_j), 2^(s/3), 2^q, k (as a double) and l_j's leading part.
struct ThirdParts {
    double m, inv, cbrt_inv, cbrt2, scale, k, lj;
};

ThirdParts third_parts(uint64_t u) {
    const int32_t ex = static_cast<int32_t>(u >> 52) - 1023;  // -960 .. 960
    const int32_t q3 = (ex + 963) / 3 - 321;                   // floor(ex / 3)
    const int32_t j = static_cast<int32_t>(((u >> 44) & 0xff) + 1) >> 1;  // 0..128
    // l_j includes -ln2 for j >= 53, where k is one more.
    return {from_bits((u & ((uint64_t{1} << 52) - 1)) | (uint64_t{1023} << 52)),
            kLogInv[j],
            kCbrtInv[j],
            kCbrt2[ex - 3 * q3],
            pow2i(q3),
            static_cast<double>(ex + (j >= 53 ? 1 : 0)),
            kLogTable[j][0]};
}

bool pow_third_fast(double x, double* res) {
    const ThirdParts t = third_parts(bits_of(x));
    const double sr = t.m * t.inv - 1.0;
    const double sr2 = sr * sr;
    const double g = sr * (1.0 / 3) + sr2 * ((-1.0 / 9 + sr * (5.0 / 81)) - sr2 * (10.0 / 243));
    const double tj = t.cbrt_inv * t.cbrt2;
    const double c = (tj + tj * g) * t.scale;
    const DD p = two_prod(c, c);
    const DD q = two_prod(p.hi, c);
    const double rs = (q.hi - x) + (q.lo + p.lo * c);
    const double w = rs / (3.0 * p.hi);
    if (!(std::fabs(w) <= 0x1p-36 * c)) return false;

    // ln x to 2^-16.7 by the table reduction of log.
    const double lnx = (t.k * kLn2Hi + t.lj) + sr;
    const double l = -(w + c * (kThirdDelta * lnx));
    return round_decided(c, l, 0x1p-63 * c, res);
}

// ---------------------------------------------------------------------------
// The functions, with (Fast) or without the fast paths: both give the same
// bits, the second serves the tests that show it.

template <bool Fast>
double log_impl(double x) {
    if (x != x) return x + x;
    if (x == 0.0) return -kInf;
    if (x < 0.0) return std::numeric_limits<double>::quiet_NaN();
    if (x == kInf) return x;
    if (Fast) {
        const DD f = log_fast(x);
        double res;
        if (round_decided(f.hi, f.lo, kFastTol * std::fabs(f.hi), &res)) return res;
    }
    const DD l = log_dd(x);
    return l.hi + l.lo;
}

// Everything but the fast paths, out of line so that the fast paths keep
// their registers (the same code as pow_impl<false>).
[[gnu::noinline]] double pow_rest(double x, double y);

template <bool Fast>
double pow_impl(double x, double y) {
    if (Fast) {
        // Ordinary arguments first: y = 1/3.0 with x in [2^-960, 2^960],
        // then positive normal x with y finite and not an integer (so
        // |y| < 2^52), y != 1/2.  Of the cases below only x = 1 lies among
        // them, and there both fast paths return 1 exactly (cbrt(1) = 1,
        // ln 1 = 0; log 1 = 0, e^0 = 1).  Every test is on the bits, in
        // the integer units: x positive normal is one unsigned comparison
        // (+0 and the subnormals wrap around to the top), and so is the
        // range of the cube roots; y is not an integer when its exponent
        // ey is below 52 and a bit of its fraction below the units is set
        // (the bits left after shifting out sign, exponent and the ey bits
        // above the units), and for ey < 0 when y != +-0.
        double res;
        const uint64_t ux = bits_of(x);
        const uint64_t uy = bits_of(y);
        if (ux - (uint64_t{1} << 52) < (uint64_t{0x7fe} << 52)) {
            if (uy == kThirdBits) {
                if (in_third_range(ux)) {
                    if (pow_third_fast(x, &res)) return res;
                }
                return pow_rest(x, y);
            }
            const int32_t ey = static_cast<int32_t>((uy >> 52) & 0x7ff) - 1023;
            const uint32_t sh = static_cast<uint32_t>(ey < 0 ? 1 : 12 + ey) & 63u;
            if (ey < 52 && (uy << sh) != 0) {
                if (uy == kHalfBits) return std::sqrt(x);  // as below, sooner
                if (pow_fast(x, y, &res)) return res;
            }
        }
        return pow_rest(x, y);
    }
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

template <bool Fast>
double sin_impl(double x) {
    const double ax = std::fabs(x);
    if (!(ax < kInf)) return x - x;  // NaN for NaN and +-inf
    if (ax < 0x1p-26) return x;      // sin x = x (1 - x^2/6), below half an ulp
    DD r;
    const int32_t n = reduce(x, &r);
    TrigArg a;
    trig_arg(r, &a);
    return sin_reduced<Fast>(n, r, a);
}

template <bool Fast>
double cos_impl(double x) {
    const double ax = std::fabs(x);
    if (!(ax < kInf)) return x - x;
    if (ax < 0x1p-27) return 1.0;  // 1 - x^2/2 rounds to 1
    DD r;
    const int32_t n = reduce(x, &r);
    TrigArg a;
    trig_arg(r, &a);
    return cos_reduced<Fast>(n, r, a);
}

template <bool Fast>
double tan_impl(double x) {
    const double ax = std::fabs(x);
    if (!(ax < kInf)) return x - x;
    if (ax < 0x1p-27) return x;  // tan x = x (1 + x^2/3), below half an ulp
    DD r;
    const int32_t n = reduce(x, &r);
    if (Fast) {
        // Fast path: sin r and cos r from the table (each within 2^-64
        // relative), normalised, and the quotient q + e with q = nh/dh and
        // e = (nh - q dh + nl - q dl)/dh: nh - q dh is exact (a Dekker
        // product, a Sterbenz subtraction, then its low part), so e is off
        // by about 2^-103 of q.  Total below 2^-62.9; the tolerance 2^-61
        // also covers the accurate path (2^-66) and the rounding of l +- e.
        TrigArg a;
        trig_arg(r, &a);
        DD fs = fast_sin_r(a);
        DD fc = fast_cos_r(a);
        fs = fast_two_sum(fs.hi, fs.lo);
        fc = fast_two_sum(fc.hi, fc.lo);
        const DD num = (n & 1) ? fc : fs;
        const DD den = (n & 1) ? fs : fc;
        const double q = num.hi / den.hi;
        const DD p = two_prod(q, den.hi);
        double e = (((num.hi - p.hi) - p.lo) + (num.lo - q * den.lo)) / den.hi;
        double h = q;
        if (n & 1) {
            h = -h;
            e = -e;
        }
        double res;
        if (round_decided(h, e, 0x1p-61 * std::fabs(h), &res)) return res;
    }
    const DD s = sin_kernel(r);
    const DD c = cos_kernel(r);
    if (n & 1) return -dd_div(c, s);
    return dd_div(s, c);
}

}  // namespace

// ---------------------------------------------------------------------------

// exp: first exp_quick on [-707, 707] (tolerance 2^-60, see there), then
// exp_core_fast (relative error below 2^-67.1 before the final rounding,
// see there): a result in the normal range whose rounding is decided
// within 2^-66 of it is returned, the tolerance covering that error and
// the rounding of l +- e in the test (|l| <= 2^-16.8 h, so below
// 2^-69.8 h).  Everything else (about one call in 5000, and every
// subnormal result) takes the accurate path, whose result is the correctly
// rounded one.  So all paths return the same bits.
double exp(double x) {
    double res;
    if (exp_quick<false>(x, 0.0, 0x1p-60, &res)) return res;
    if (x != x) return x + x;
    if (std::fabs(x) <= 708.0) {
        DD y;
        const int32_t e = exp_core_fast(x, 0.0, &y);
        if (e >= -1021 && e <= 1023 && round_decided(y.hi, y.lo, 0x1p-66 * y.hi, &res))
            return res * pow2i(e);
    }
    return exp_accurate_impl(x);
}

// log: for positive normal x (one unsigned comparison of the bits), the
// three parts of log_terms (error below 2^-65.55 relative, see there)
// summed as v = s1 + (w + small) and d = ((s1 - v) + w) + small.  s1 - v
// is exact: v = s1 + c rounded with c = w + small rounded and |c| <= |s1|
// (Dekker's lemma for the fast two-sum).  So v + d is s1 + w + small but
// for the roundings of the two last additions: |(s1 - v) + w| <= |d| +
// |small| <= (2^-52 + 2^-17.5) |v| and |d| <= 2^-52 |v|, 2^-70.4 |v| in
// all, the same as the one addition of the low parts they replace (the
// bound of log_terms counted four such roundings of the low part).  The
// tolerance, that error plus the accurate path's (2^-78), is below
// 2^-65.5 |v| and near_decided<11>'s margin 2^-65 |v| covers it.  About one
// call in 2000 is left undecided; it and every other argument take the
// accurate path.
namespace {
[[gnu::noinline]] double log_rest(double x, bool undecided) {
    return undecided ? log_impl<false>(x) : log_impl<true>(x);
}
}  // namespace

double log(double x) {
    // Positive normal x: biased exponent 1 to 2046 and the sign bit clear.
    if (static_cast<uint32_t>(bits_of(x) >> 52) - 1u < 0x7feu) {
        const LogTerms a = log_terms<true>(x);
        const double v = a.s1 + (a.w + a.small);
        const double d = ((a.s1 - v) + a.w) + a.small;
        if (near_decided<11>(v, d)) return v;
        return log_rest(x, true);
    }
    return log_rest(x, false);
}
double pow(double x, double y) { return pow_impl<true>(x, y); }

// Two cube roots side by side: pow_third_fast's operations, in the same
// order, on the two halves of SSE2 registers (packed IEEE operations give
// the bits of the scalar ones), with the table lookups and the exponent
// arithmetic done lane by lane.  A lane outside [2^-960, 2^960], or whose
// guess check or rounding test does not pass, takes pow itself, so the
// results are pow's bits in every case.
namespace {
[[gnu::always_inline]] inline void third_pair(double a, double b, double* out) {
#if defined(__SSE2__)
    const uint64_t ua = bits_of(a), ub = bits_of(b);
    if (in_third_range(ua) && in_third_range(ub)) {
        const ThirdParts ta = third_parts(ua), tb = third_parts(ub);
        const __m128d x = _mm_set_pd(b, a);
        const __m128d one = _mm_set1_pd(1.0);
        const __m128d sr = _mm_sub_pd(_mm_mul_pd(_mm_set_pd(tb.m, ta.m), _mm_set_pd(tb.inv, ta.inv)), one);
        const __m128d sr2 = _mm_mul_pd(sr, sr);
        const __m128d inner = _mm_sub_pd(
            _mm_add_pd(_mm_set1_pd(-1.0 / 9), _mm_mul_pd(sr, _mm_set1_pd(5.0 / 81))),
            _mm_mul_pd(sr2, _mm_set1_pd(10.0 / 243)));
        const __m128d g = _mm_add_pd(_mm_mul_pd(sr, _mm_set1_pd(1.0 / 3)), _mm_mul_pd(sr2, inner));
        const __m128d tj = _mm_mul_pd(_mm_set_pd(tb.cbrt_inv, ta.cbrt_inv), _mm_set_pd(tb.cbrt2, ta.cbrt2));
        const __m128d c = _mm_mul_pd(_mm_add_pd(tj, _mm_mul_pd(tj, g)), _mm_set_pd(tb.scale, ta.scale));
        // Dekker's products c c = p + pl and p c = q + ql (Veltkamp's split).
        const __m128d k27 = _mm_set1_pd(134217729.0);
        auto split = [&](__m128d v, __m128d* hi, __m128d* lo) {
            const __m128d t = _mm_mul_pd(k27, v);
            *hi = _mm_sub_pd(t, _mm_sub_pd(t, v));
            *lo = _mm_sub_pd(v, *hi);
        };
        auto prod_err = [](__m128d p, __m128d ah, __m128d al, __m128d bh, __m128d bl) {
            return _mm_add_pd(_mm_add_pd(_mm_add_pd(_mm_sub_pd(_mm_mul_pd(ah, bh), p), _mm_mul_pd(ah, bl)),
                                         _mm_mul_pd(al, bh)),
                              _mm_mul_pd(al, bl));
        };
        __m128d ch, cl, ph, pl2;
        split(c, &ch, &cl);
        const __m128d p = _mm_mul_pd(c, c);
        const __m128d pl = prod_err(p, ch, cl, ch, cl);
        split(p, &ph, &pl2);
        const __m128d q = _mm_mul_pd(p, c);
        const __m128d ql = prod_err(q, ph, pl2, ch, cl);
        const __m128d rs = _mm_add_pd(_mm_sub_pd(q, x), _mm_add_pd(ql, _mm_mul_pd(pl, c)));
        const __m128d w = _mm_div_pd(rs, _mm_mul_pd(_mm_set1_pd(3.0), p));
        const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffll));
        const __m128d guess_ok = _mm_cmple_pd(_mm_and_pd(w, abs_mask), _mm_mul_pd(_mm_set1_pd(0x1p-36), c));
        const __m128d lnx = _mm_add_pd(
            _mm_add_pd(_mm_mul_pd(_mm_set_pd(tb.k, ta.k), _mm_set1_pd(kLn2Hi)), _mm_set_pd(tb.lj, ta.lj)), sr);
        const __m128d sum = _mm_add_pd(w, _mm_mul_pd(c, _mm_mul_pd(_mm_set1_pd(kThirdDelta), lnx)));
        const __m128d l = _mm_xor_pd(sum, _mm_set1_pd(-0.0));
        const __m128d e = _mm_mul_pd(_mm_set1_pd(0x1p-63), c);
        const __m128d up = _mm_add_pd(c, _mm_add_pd(l, e));
        const __m128d down = _mm_add_pd(c, _mm_sub_pd(l, e));
        const int ok = _mm_movemask_pd(_mm_and_pd(guess_ok, _mm_cmpeq_pd(up, down)));
        _mm_storeu_pd(out, up);
        if (ok == 3) return;
        if ((ok & 1) == 0) out[0] = pow(a, 1.0 / 3);
        if ((ok & 2) == 0) out[1] = pow(b, 1.0 / 3);
        return;
    }
#endif
    out[0] = pow(a, 1.0 / 3);
    out[1] = pow(b, 1.0 / 3);
}
}  // namespace

void pow_third_n(const double* x, std::ptrdiff_t stride, int n, double* out) {
    int i = 0;
    for (; i + 1 < n; i += 2) third_pair(x[i * stride], x[(i + 1) * stride], out + i);
    if (i < n) {
        double t[2];
        third_pair(x[i * stride], x[i * stride], t);
        out[i] = t[0];
    }
}
namespace {
// The calls the first try does not decide, out of line.
[[gnu::noinline]] double sin_rest(double x) { return sin_impl<true>(x); }
[[gnu::noinline]] double cos_rest(double x) { return cos_impl<true>(x); }
}  // namespace

double sin(double x) {
    TrigFast a;
    double res;
    if (trig_fast_arg(x, &a) && trig_fast(a, a.n, &res)) return res;
    return sin_rest(x);
}

double cos(double x) {
    TrigFast a;
    double res;
    if (trig_fast_arg(x, &a) && trig_fast(a, a.n + 1, &res)) return res;
    return cos_rest(x);
}
double tan(double x) { return tan_impl<true>(x); }

namespace {
double pow_rest(double x, double y) { return pow_impl<false>(x, y); }
}  // namespace

namespace detail {
double exp_accurate(double x) { return exp_accurate_impl(x); }
double log_accurate(double x) { return log_impl<false>(x); }
double pow_accurate(double x, double y) { return pow_impl<false>(x, y); }
double sin_accurate(double x) { return sin_impl<false>(x); }
double cos_accurate(double x) { return cos_impl<false>(x); }
double tan_accurate(double x) { return tan_impl<false>(x); }
}  // namespace detail

namespace {
// The calls of sincos the fast path does not decide (about one in 150):
// apart, so that the fast path keeps its registers.  When only one of
// sin r and cos r is undecided, only that function goes on to the slower
// paths.
[[gnu::noinline]] void sincos_slow(double x, double* s, double* c) {
    TrigFast f;
    if (trig_fast_arg(x, &f)) {
        double v[2];
        bool d[2];
        trig_fast_both(f, &v[0], &v[1], &d[0], &d[1]);
        const int32_t odd = f.n & 1;
        *s = d[odd] ? kQuadSign[f.n & 3] * v[odd] : sin_impl<true>(x);
        *c = d[1 - odd] ? kQuadSign[(f.n + 1) & 3] * v[1 - odd] : cos_impl<true>(x);
        return;
    }
    const double ax = std::fabs(x);
    if (!(ax < kInf) || ax < 0x1p-26) {
        *s = sin(x);
        *c = cos(x);
        return;
    }
    DD r;
    const int32_t n = reduce(x, &r);
    TrigArg a;
    trig_arg(r, &a);
    *s = sin_reduced<true>(n, r, a);
    *c = cos_reduced<true>(n, r, a);
}
}  // namespace

void sincos(double x, double* s, double* c) {
    TrigFast f;
    if (trig_fast_arg(x, &f)) {
        double v[2];
        bool d[2];
        trig_fast_both(f, &v[0], &v[1], &d[0], &d[1]);
        if (d[0] && d[1]) {
            const int32_t odd = f.n & 1;
            *s = kQuadSign[f.n & 3] * v[odd];
            *c = kQuadSign[(f.n + 1) & 3] * v[1 - odd];
            return;
        }
    }
    sincos_slow(x, s, c);
}

}  // namespace kestrum::pmath
