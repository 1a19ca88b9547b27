// Every variate routine, through its exported name, with NaN, infinite,
// zero, negative and huge finite parameters: each call returns promptly
// (a watchdog ends the process otherwise) with the result documented in
// kestrumr.h, and nothing converts a NaN or out-of-range double to an
// integer (the sanitizer build checks float-cast-overflow too).
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "random_support.h"
#include "support/capture.h"

namespace kestrum::test {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

const std::vector<double>& awkward() {
    static const std::vector<double> v = {kNan,  kInf,   -kInf,  0.0,     -0.0,   -1.0,
                                          1e-300, 4.9e-324, DBL_MAX, -DBL_MAX, 1e300, 0.5,
                                          0.9,   1.0,    10.0,   1000.5,  2147483648.0};
    return v;
}

bool positive(double x) { return x > 0.0; }

// The value of one call, with whatever it writes to standard output
// swallowed (messages are checked elsewhere) -- and only that: assertion
// failures are reported outside the capture.
template <class F>
auto quiet(F f) -> decltype(f()) {
    decltype(f()) r{};
    capture_stdout([&] { r = f(); });
    return r;
}
#define Q(expr) quiet([&] { return (expr); })

TEST(Robustness, ContinuousRoutinesReturnPromptlyWithTheDocumentedResult) {
    ProcessStateGuard guard;
    Watchdog dog(120);
    for (const double a : awkward()) {
        for (const double b : awkward()) {
            {
                // zbqlnor_ and zbqluab_: IEEE arithmetic, always a draw or a warning.
                (void)Q(zbqlnor_(&a, &b));
                (void)Q(zbqluab_(&a, &b));

                const double g = Q(zbqlgam_(&a, &b));
                if (!positive(a) || !positive(b)) {
                    ASSERT_EQ(g, 0.0) << a << " " << b;
                } else if (a == kInf) {
                    ASSERT_TRUE(b == kInf ? std::isnan(g) : g == kInf) << a << " " << b;
                } else {
                    ASSERT_GE(g, 0.0) << a << " " << b;  // not NaN
                }

                const double be = Q(zbqlbet1_(&a, &b));
                if (!positive(a) || !positive(b)) {
                    ASSERT_EQ(be, 0.0);
                } else if (a == kInf && b == kInf) {
                    ASSERT_TRUE(std::isnan(be));
                } else {
                    ASSERT_GE(be, 0.0) << a << " " << b;
                    ASSERT_LE(be, 1.0) << a << " " << b;
                }

                const double w = Q(zbqlwei_(&a, &b));
                if (!positive(a) || !positive(b)) {
                    ASSERT_EQ(w, 0.0);
                } else {
                    ASSERT_GE(w, 0.0) << a << " " << b;
                }

                const double pa = Q(zbqlpar_(&a, &b));
                if (!positive(a) || !positive(b)) {
                    ASSERT_EQ(pa, 0.0);
                } else if (a == kInf && b == kInf) {
                    ASSERT_TRUE(std::isnan(pa));
                } else {
                    ASSERT_GE(pa, 0.0) << a << " " << b;
                }
            }
        }
        {
            const double e = Q(zbqlexp_(&a));
            if (!(a >= 0.0)) {
                ASSERT_EQ(e, 0.0);
            } else {
                ASSERT_GE(e, 0.0);
            }
            const double lg = Q(zbqllg_(&a));
            if (!(a > 0.0)) {
                ASSERT_TRUE(std::isnan(lg)) << a;
            } else {
                ASSERT_FALSE(std::isnan(lg)) << a;
            }
        }
    }
}

TEST(Robustness, DiscreteRoutinesReturnPromptlyWithTheDocumentedResult) {
    ProcessStateGuard guard;
    Watchdog dog(120);
    const int32_t ns[] = {INT32_MIN, -1, 0, 1, 11, 100, 1000000, INT32_MAX};
    for (const double a : awkward()) {
        {
            const int32_t geo = Q(zbqlgeo_(&a));
            if (!(a >= 0.0 && a <= 1.0)) {
                ASSERT_EQ(geo, 0) << a;
            } else {
                ASSERT_GE(geo, 1) << a;
                if (a == 0.0) {  // also -0.0
                    ASSERT_EQ(geo, INT32_MAX) << a;
                }
            }

            const int32_t poi = Q(zbqlpoi_(&a));
            if (!(a >= 0.0)) {
                ASSERT_EQ(poi, 0) << a;
            } else if (a >= 2147483648.0) {
                ASSERT_EQ(poi, INT32_MAX) << a;
            } else {
                ASSERT_GE(poi, 0) << a;
            }

            for (const int32_t n : ns) {
                const int32_t bin = Q(zbqlbin_(&n, &a));
                if (n <= 0 || !(a >= 0.0 && a <= 1.0)) {
                    ASSERT_EQ(bin, 0) << n << " " << a;
                } else {
                    ASSERT_GE(bin, 0) << n << " " << a;
                    ASSERT_LE(bin, n) << n << " " << a;
                }
            }

            for (const double b : awkward()) {
                const int32_t nb = Q(zbqlnb_(&a, &b));
                if (!(a > 0.0) || !(b > 0.0 && b < 1.0)) {
                    ASSERT_EQ(nb, 0) << a << " " << b;
                } else if (a == kInf) {
                    ASSERT_EQ(nb, INT32_MAX) << a << " " << b;
                } else {
                    ASSERT_GE(nb, 0) << a << " " << b;
                }
            }
        }
    }
}

}  // namespace
}  // namespace kestrum::test
