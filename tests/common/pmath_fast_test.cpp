// The fast paths of the portable math functions must return exactly the
// bits of the accurate path alone (pmath::detail::*_accurate), which is
// what the digest and every reproduced result were made with.  A few
// hundred thousand arguments per function, so that each fast path's
// rounding test both passes and sends calls to the accurate path many
// times over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/pmath.h"
#include "pmath_digest.h"

namespace {

namespace pm = kestrum::pmath;
namespace acc = kestrum::pmath::detail;
using kestrum::pmath_test::Mix;

constexpr double kPi = 3.141592653589793;

uint64_t bits(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

double from_bits(uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

bool same(double a, double b) { return bits(a) == bits(b) || (a != a && b != b); }

struct Count {
    long n = 0;
    long differ = 0;
    void add(double got, double want) {
        ++n;
        if (!same(got, want)) {
            if (differ < 5) ADD_FAILURE() << std::hexfloat << "got " << got << ", want " << want;
            ++differ;
        }
    }
};

// Arguments of the ranges the library uses and the ranges that stress the
// reduction: [0, 2 pi], [-1e5, 1e5], next to multiples of pi/2, any
// magnitude.
double trig_arg(Mix& g, int i) {
    switch (i % 6) {
        case 0:
            return g.uniform(0.0, 2 * kPi);
        case 1:
            return g.uniform(-1e5, 1e5);
        case 2: {
            const double k = static_cast<double>(static_cast<int64_t>(g.next() % 20001) - 10000);
            const int64_t d = static_cast<int64_t>(g.next() % 2001) - 1000;
            return from_bits(static_cast<uint64_t>(static_cast<int64_t>(bits(k * (kPi / 2))) + d));
        }
        case 3:
            return g.uniform(-1.0, 1.0) * std::ldexp(1.0, static_cast<int>(g.next() % 1100) - 60);
        case 4:
            return g.uniform(-kPi / 4, kPi / 4) * std::ldexp(1.0, -static_cast<int>(g.next() % 30));
        default:
            return g.uniform(8e5, 1e7);
    }
}

TEST(PortableMathFast, SinCosMatchAccurate) {
    Mix g(0xfa57c05);
    Count c;
    for (int i = 0; i < 200000; ++i) {
        const double x = trig_arg(g, i);
        const double s = pm::sin(x);
        const double co = pm::cos(x);
        c.add(s, acc::sin_accurate(x));
        c.add(co, acc::cos_accurate(x));
        double s2 = 0, c2 = 0;
        pm::sincos(x, &s2, &c2);
        c.add(s2, s);
        c.add(c2, co);
    }
    EXPECT_EQ(c.differ, 0) << "of " << c.n;
}

// exp: the fast path (exp_core with a rounding test) and the accurate
// fixed-point path give the same bits; where an 80-bit long double
// reference decides the rounding (farther than 2^-60 relative from a
// midpoint), both give the double nearest to it.
TEST(PortableMathFast, ExpMatchesAccurateAndRoundsCorrectly) {
    // The exact value lies 2^-78 (relative) from a midpoint: a double-double
    // good to 2^-68 alone rounded it the wrong way.
    EXPECT_EQ(pm::exp(-0x1.0e5f9a311e2abp+3), 0x1.c0f43de7f75a3p-13);
    EXPECT_EQ(acc::exp_accurate(-0x1.0e5f9a311e2abp+3), 0x1.c0f43de7f75a3p-13);
    const bool wide = sizeof(long double) > sizeof(double) && LDBL_MANT_DIG >= 64;
    Mix g(0xe4b);
    Count c, r;
    for (int i = 0; i < 200000; ++i) {
        double x;
        switch (i % 4) {
            case 0: x = g.uniform(-745.2, 709.78); break;
            case 1: x = g.uniform(-1.0, 1.0); break;
            case 2: x = g.uniform(-745.2, -707.0); break;  // subnormal results
            default: x = std::ldexp(g.uniform(-1.0, 1.0), -static_cast<int>(g.next() % 64));
        }
        const double got = pm::exp(x);
        c.add(got, acc::exp_accurate(x));
        if (!wide) continue;
        const long double e = std::exp(static_cast<long double>(x));
        const double near = static_cast<double>(e);
        const long double other = e > near ? std::nextafter(near, 1e300) : std::nextafter(near, -1e300);
        const long double mid = (static_cast<long double>(near) + other) / 2;
        if (near != 0.0 && std::fabs(e - mid) > std::ldexp(std::fabs(e), -60)) r.add(got, near);
    }
    EXPECT_EQ(c.differ, 0) << "of " << c.n;
    EXPECT_EQ(r.differ, 0) << "of " << r.n;
}

TEST(PortableMathFast, TanMatchesAccurate) {
    Mix g(0x7a4);
    Count c;
    for (int i = 0; i < 200000; ++i) {
        const double x = (i % 7 == 6) ? g.uniform(0.0, kPi) : trig_arg(g, i);
        c.add(pm::tan(x), acc::tan_accurate(x));
    }
    EXPECT_EQ(c.differ, 0) << "of " << c.n;
}

TEST(PortableMathFast, LogMatchesAccurate) {
    Mix g(0x1095);
    Count c;
    for (int i = 0; i < 300000; ++i) {
        double x = 0;
        switch (i % 4) {
            case 0:
                x = from_bits(g.next() & 0x7fefffffffffffffull);  // any positive finite
                break;
            case 1:
                x = from_bits(g.next() % (uint64_t{1} << 52));  // subnormal
                break;
            case 2:
                x = 1.0 + g.uniform(-1.0, 1.0) * std::ldexp(1.0, -static_cast<int>(g.next() % 54));
                break;
            default:
                x = g.uniform(0.0, 4.0);
                break;
        }
        c.add(pm::log(x), acc::log_accurate(x));
    }
    EXPECT_EQ(c.differ, 0) << "of " << c.n;
}

TEST(PortableMathFast, PowMatchesAccurate) {
    Mix g(0x9037);
    Count c;
    for (int i = 0; i < 300000; ++i) {
        double x = 0, y = 0;
        switch (i % 5) {
            case 0:
                x = g.uniform(0.0, 1e6);
                y = g.uniform(-50.0, 50.0);
                break;
            case 1:  // x near 1, |y log x| up to 745
                x = 1.0 + g.uniform(-1.0, 1.0) * std::ldexp(1.0, -static_cast<int>(g.next() % 50));
                y = g.uniform(-1.0, 1.0) * 745.0 / std::fabs(acc::log_accurate(x));
                break;
            case 2:
                x = -g.uniform(0.0, 100.0);
                y = static_cast<double>(static_cast<int64_t>(g.next() % 301) - 150);
                break;
            case 3:  // the shapes of gamma sampling
                x = g.uniform(0.0, 20.0);
                y = g.uniform(-1.0, 10.0);
                break;
            default:
                x = g.unit() * std::ldexp(1.0, static_cast<int>(g.next() % 2000) - 1000);
                y = g.uniform(-3.0, 3.0);
                break;
        }
        c.add(pm::pow(x, y), acc::pow_accurate(x, y));
    }
    EXPECT_EQ(c.differ, 0) << "of " << c.n;
}

// pow(x, 1/3.0), the cube roots of variances, has a path of its own
// (through the cube root, not exp and log): the same bits as the accurate
// path on any positive double, subnormal and huge ones, x near 1, and exact
// cubes, whose cube root is a double next to which x^y (y being a little
// less than 1/3) lies.
TEST(PortableMathFast, PowThirdMatchesAccurate) {
    Mix g(0x3c0b3);
    Count c;
    const double y = 1 / 3.0;
    std::vector<double> xs;
    for (int i = 0; i < 1200000; ++i) {
        double x = 0;
        switch (i % 6) {
            case 0: x = from_bits(g.next() & 0x7fefffffffffffffull); break;  // any positive finite
            case 1: x = std::pow(10.0, g.uniform(-4.0, 4.0)); break;
            case 2: x = 1.0 + g.uniform(-1.0, 1.0) * std::ldexp(1.0, -static_cast<int>(g.next() % 54)); break;
            case 3: {  // integer cubes up to 2^63
                const double k = static_cast<double>(g.next() % 2097151 + 1);
                x = k * k * k;
                break;
            }
            case 4: {  // cubes of 18-bit mantissas at any scale
                const double m = 1.0 + static_cast<double>(g.next() % (1u << 17)) * 0x1p-17;
                x = std::ldexp(m * m * m, static_cast<int>(g.next() % 1990) - 995);
                break;
            }
            default: x = from_bits(g.next() % (uint64_t{1} << 52)); break;  // subnormal
        }
        xs.push_back(x);
        c.add(pm::pow(x, y), acc::pow_accurate(x, y));
    }
    EXPECT_EQ(c.differ, 0) << "of " << c.n;

    // The cube roots in pairs, in runs of 1 to 7 and strided, with the arguments the
    // paired path must hand to pow: the ends of its range and their
    // neighbours, zeros, negatives, infinities, NaN.
    for (const double e : {std::ldexp(1.0, -960), std::ldexp(1.0, 960)}) {
        xs.push_back(e);
        xs.push_back(std::nextafter(e, 0.0));
        xs.push_back(std::nextafter(e, HUGE_VAL));
    }
    for (const double v : {0.0, -0.0, -8.0, -1e-300, HUGE_VAL, -HUGE_VAL, double(NAN), 4.9e-324, DBL_MAX, 1.0, 8.0})
        xs.insert(xs.begin() + static_cast<std::ptrdiff_t>(g.next() % xs.size()), v);
    Count n;
    double out[7];
    for (std::size_t i = 0; i < xs.size();) {
        const int len = static_cast<int>(std::min<std::size_t>(1 + i % 7, xs.size() - i));
        pm::pow_third_n(xs.data() + i, 1, len, out);
        for (int l = 0; l < len; ++l) n.add(out[l], acc::pow_accurate(xs[i + l], y));
        // Every second argument of the run.
        const int every2 = (len + 1) / 2;
        pm::pow_third_n(xs.data() + i, 2, every2, out);
        for (int l = 0; l < every2; ++l) n.add(out[l], pm::pow(xs[i + 2 * static_cast<std::size_t>(l)], y));
        i += static_cast<std::size_t>(len);
    }
    EXPECT_EQ(n.differ, 0) << "of " << n.n;
}

// The edges of the plain-double first tries and of the faster sin/cos
// path, where each hands over to the next path: runs of consecutive
// doubles across each edge, every result compared with the accurate path.
TEST(PortableMathFast, EdgesOfTheFirstTries) {
    struct Edge {
        const char* fn;
        double at;
    };
    const Edge edges[] = {
        // sin, cos, sincos: the Cody-Waite limit, |r| = 2^-12 next to
        // multiples of pi/2 in each quadrant (and far out), r = +-pi/4.
        {"trig", 823549.0}, {"trig", -823549.0}, {"trig", 0x1p-12}, {"trig", -0x1p-12},
        {"trig", kPi / 2 + 0x1p-12}, {"trig", kPi - 0x1p-12}, {"trig", 3 * kPi / 2 + 0x1p-12},
        {"trig", 2 * kPi - 0x1p-12}, {"trig", 524287 * (kPi / 2) + 0x1p-12}, {"trig", kPi / 4},
        {"trig", 3 * kPi / 4}, {"trig", -kPi / 4},
        // exp: the first try's range [-707, 707] and the double-double's.
        {"exp", -707.0}, {"exp", 707.0}, {"exp", 708.0}, {"exp", -708.0}, {"exp", 0.0},
        // log: x = 1 (both sides) and where the mantissa's 18-bit leading
        // part changes next to it, the interval edges at sqrt(2) and 2, the
        // normal limit.
        {"log", 1.0}, {"log", 1.0 + 0x1p-18}, {"log", 1.0 - 0x1p-19}, {"log", 1.0 + 0x1p-26},
        {"log", 1.4140625}, {"log", 1.99609375}, {"log", 0x1p-1022}, {"log", DBL_MAX},
        // pow(x, 1/3.0): the limits 2^-960 and 2^960 of its own path.
        {"third", 0x1p-960}, {"third", 0x1p960}, {"third", 1.0},
    };
    Count c;
    for (const Edge& e : edges) {
        const std::string fn = e.fn;
        for (int64_t d = -4000; d <= 4000; ++d) {
            const int64_t b = static_cast<int64_t>(bits(std::fabs(e.at))) + d;
            const double x = std::copysign(from_bits(static_cast<uint64_t>(b < 0 ? -b : b)), e.at);
            if (fn == "trig") {
                c.add(pm::sin(x), acc::sin_accurate(x));
                c.add(pm::cos(x), acc::cos_accurate(x));
                double s = 0, co = 0;
                pm::sincos(x, &s, &co);
                c.add(s, acc::sin_accurate(x));
                c.add(co, acc::cos_accurate(x));
            } else if (fn == "exp") {
                c.add(pm::exp(x), acc::exp_accurate(x));
            } else if (fn == "log") {
                c.add(pm::log(x), acc::log_accurate(x));
            } else {
                c.add(pm::pow(x, 1 / 3.0), acc::pow_accurate(x, 1 / 3.0));
            }
        }
    }
    // pow: y log x across -707 and 707 (the first try's limits) and 708,
    // with |y| above 16 (x next to 1) and below (x from 2^64 to 2^70), and
    // |y| next to 16 on both sides.
    Mix g(0xed9e);
    for (int i = 0; i < 20000; ++i) {
        const double x = i % 2 ? g.uniform(0.5, 2.0) : std::ldexp(g.uniform(1.0, 2.0), 64 + i % 6);
        const double t = (i % 3 == 0 ? -707.0 : i % 3 == 1 ? 707.0 : 708.0) + g.uniform(-0.01, 0.01);
        const double y = t / acc::log_accurate(x);
        c.add(pm::pow(x, y), acc::pow_accurate(x, y));
    }
    for (int i = 0; i < 20000; ++i) {
        const double x = g.uniform(0.0, 20.0);
        const double edge = i % 2 ? 16.0 : -16.0;
        const double y = std::nextafter(edge, i % 4 < 2 ? 0.0 : 2 * edge);
        c.add(pm::pow(x, y), acc::pow_accurate(x, y));
    }
    EXPECT_EQ(c.differ, 0) << "of " << c.n;
}

TEST(PortableMathFast, SincosSpecialValues) {
    const double inf = HUGE_VAL;
    const double xs[] = {0.0, -0.0, 0x1p-1074, -0x1p-30, 0x1p-27, 1e-9, inf, -inf, NAN, 1e300};
    for (double x : xs) {
        double s = 0, c = 0;
        pm::sincos(x, &s, &c);
        EXPECT_TRUE(same(s, pm::sin(x))) << x;
        EXPECT_TRUE(same(c, pm::cos(x))) << x;
    }
}

// The fast paths' rounding tests matter where the value lies close to a
// midpoint between two doubles: there each stage must hand the call on
// rather than round.  An 80-bit reference picks, out of 300000 random
// arguments per function, those whose value lies within 2^-59
// (relative) of a midpoint (about one in fifty, and among them the cases
// that reach the accurate path), and on those the functions must give the
// accurate path's bits.
TEST(PortableMathFast, NearMidpointsMatchAccurate) {
    if (!(sizeof(long double) > sizeof(double) && LDBL_MANT_DIG >= 64)) {
        GTEST_SKIP() << "needs an 80-bit long double reference";
    }
    using Arg = void (*)(Mix&, double*, double*);
    using Fn = double (*)(double, double);
    using Ref = long double (*)(long double, long double);
    struct Case {
        const char* name;
        Arg arg;
        Fn fast;
        Fn accurate;
        Ref ref;
    };
    // Trigonometric arguments: half in one period, half far out.
    const Arg trig_argument = [](Mix& g, double* x, double*) {
        *x = g.next() % 2 ? g.uniform(0.0, 2 * kPi) : g.uniform(-1e5, 1e5);
    };
    // One output of sincos: 0 the sine, 1 the cosine.
    static constexpr auto sincos_part = [](double x, int which) {
        double s = 0, c = 0;
        pm::sincos(x, &s, &c);
        return which == 0 ? s : c;
    };
    const Case cases[] = {
        {"exp",
         [](Mix& g, double* x, double*) { *x = g.next() % 2 ? g.uniform(-707.0, 708.0) : g.uniform(-1.0, 1.0); },
         [](double x, double) { return pm::exp(x); }, [](double x, double) { return acc::exp_accurate(x); },
         [](long double x, long double) { return std::exp(x); }},
        {"log",
         [](Mix& g, double* x, double*) {
             *x = g.next() % 2 ? from_bits((g.next() % 0x7fe0000000000000ull) + 0x0010000000000000ull)
                               : std::exp2(g.uniform(-20.0, 20.0));
         },
         [](double x, double) { return pm::log(x); }, [](double x, double) { return acc::log_accurate(x); },
         [](long double x, long double) { return std::log(x); }},
        {"pow",
         [](Mix& g, double* x, double* y) {
             *x = g.uniform(0.0, 20.0);
             *y = g.uniform(-1.0, 10.0);
         },
         [](double x, double y) { return pm::pow(x, y); },
         [](double x, double y) { return acc::pow_accurate(x, y); },
         [](long double x, long double y) { return std::pow(x, y); }},
        {"pow third",
         [](Mix& g, double* x, double* y) {
             if (g.next() % 2) {
                 *x = std::pow(10.0, g.uniform(-4.0, 4.0));
             } else {
                 const double m = g.uniform(1.0, 2.0);
                 *x = std::ldexp(m, static_cast<int>(g.next() % 1900) - 950);
             }
             *y = 1 / 3.0;
         },
         [](double x, double y) { return pm::pow(x, y); },
         [](double x, double y) { return acc::pow_accurate(x, y); },
         [](long double x, long double y) { return std::pow(x, y); }},
        {"sin",
         trig_argument,
         [](double x, double) { return pm::sin(x); }, [](double x, double) { return acc::sin_accurate(x); },
         [](long double x, long double) { return std::sin(x); }},
        {"cos",
         trig_argument,
         [](double x, double) { return pm::cos(x); }, [](double x, double) { return acc::cos_accurate(x); },
         [](long double x, long double) { return std::cos(x); }},
        {"sincos: sin",
         trig_argument,
         [](double x, double) { return sincos_part(x, 0); },
         [](double x, double) { return acc::sin_accurate(x); }, [](long double x, long double) { return std::sin(x); }},
        {"sincos: cos",
         trig_argument,
         [](double x, double) { return sincos_part(x, 1); },
         [](double x, double) { return acc::cos_accurate(x); }, [](long double x, long double) { return std::cos(x); }},
    };
    for (const Case& k : cases) {
        Mix g(0x3d1d + static_cast<uint64_t>(&k - cases));
        Count c;
        for (int i = 0; i < 300000; ++i) {
            double x = 0, y = 0;
            k.arg(g, &x, &y);
            const long double e = k.ref(x, y);
            const double near = static_cast<double>(e);
            if (!(near != 0.0) || std::fabs(near) > DBL_MAX) continue;
            const long double other = e > near ? std::nextafter(near, HUGE_VAL) : std::nextafter(near, -HUGE_VAL);
            const long double mid = (static_cast<long double>(near) + other) / 2;
            if (std::fabs(e - mid) > std::ldexp(std::fabs(e), -59)) continue;
            c.add(k.fast(x, y), k.accurate(x, y));
        }
        EXPECT_EQ(c.differ, 0) << k.name << ", of " << c.n;
        EXPECT_GT(c.n, 2000) << k.name;
    }
}

}  // namespace
