// The fixed-order inversion kernels against the reference invert(): the
// same bits for every order they cover, on well-conditioned, nearly
// singular and degenerate matrices (zero pivots, infinities, NaN; where
// NaN meets NaN, which of them comes out may depend on the order the
// compiler gives the operands, so a NaN matches any NaN).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "posterior/inverse.h"
#include "posterior/inverse_small.h"
#include "random/stream.h"

namespace {

using kestrum::posterior::invert;
using kestrum::posterior::invert_fast;

TEST(InverseSmall, SameBitsAsTheReferenceForOrdersOneToTen) {
    kestrum::random::Record rec = *kestrum::random::process_stream().rec;
    kestrum::random::Stream s = kestrum::random::process_stream();
    s.rec = &rec;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::int32_t n = 1; n <= 10; ++n) {
        const std::size_t nn = static_cast<std::size_t>(n) * n;
        std::vector<double> a(nn), b(nn), ref(nn), fast(nn), scratch(kestrum::posterior::inverse_scratch_size(n));
        for (int trial = 0; trial < 400; ++trial) {
            // Symmetric positive definite (a dominant diagonal), general,
            // then with one entry made degenerate.
            for (std::size_t t = 0; t < nn; ++t) a[t] = s.normal(0.0, 1.0);
            if (trial % 2 == 0) {
                for (std::int32_t i = 0; i < n; ++i) a[i + i * n] += 2.0 * n;
            }
            if (trial % 5 == 4) {
                const std::size_t at = static_cast<std::size_t>(trial / 5) % nn;
                const double bad[] = {0.0, -0.0, inf, -inf, nan, 1e-300, 1e300};
                a[at] = bad[(trial / 5) % 7];
                if (trial % 10 == 9) a[0] = 0.0;  // a zero leading pivot
            }
            b = a;
            std::vector<double> a2 = a;
            invert(a2.data(), ref.data(), n, scratch.data());
            invert_fast(b.data(), fast.data(), n, scratch.data());
            for (std::size_t t = 0; t < nn; ++t) {
                const bool same = std::memcmp(&ref[t], &fast[t], sizeof(double)) == 0 ||
                                  (std::isnan(ref[t]) && std::isnan(fast[t]));
                ASSERT_TRUE(same) << "order " << n << ", trial " << trial << ", element " << t
                                  << ": " << ref[t] << " vs " << fast[t];
            }
        }
    }
}

}  // namespace

#include "posterior/sweep.h"

namespace {

TEST(InverseSmall, ConditionalMomentsSameBitsAsTheReference) {
    kestrum::random::Record rec = *kestrum::random::process_stream().rec;
    kestrum::random::Stream s = kestrum::random::process_stream();
    s.rec = &rec;
    for (std::int32_t n = 1; n <= 9; ++n) {
        std::vector<double> scratch(kestrum::posterior::sweep_scratch_size(n));
        const kestrum::posterior::SweepWork wk = kestrum::posterior::carve_sweep_scratch(n, scratch.data());
        for (int trial = 0; trial < 200; ++trial) {
            // S = R^-1 of a precision matrix (sometimes degenerate), m, theta.
            for (std::int32_t j = 0; j < n * n; ++j) wk.rmat[j] = s.normal(0.0, 0.3);
            for (std::int32_t i = 0; i < n; ++i) {
                for (std::int32_t j = 0; j < i; ++j) wk.rmat[i + j * n] = wk.rmat[j + i * n];
                wk.rmat[i + i * n] += trial % 7 == 6 ? 0.0 : n;
            }
            invert(wk.rmat, wk.smat, n, wk.inv);
            for (std::int32_t j = 0; j < n; ++j) {
                wk.m[j] = s.normal(0.0, 2.0);
                wk.theta[j] = s.normal(0.0, 2.0);
            }
            for (std::int32_t k = 0; k < n; ++k) {
                double v1, m1, v2, m2;
                kestrum::posterior::conditional_moments_reference(n, k, wk, &v1, &m1);
                kestrum::posterior::conditional_moments(n, k, wk, &v2, &m2);
                ASSERT_EQ(std::memcmp(&v1, &v2, sizeof v1), 0) << n << " " << trial << " " << k;
                ASSERT_EQ(std::memcmp(&m1, &m2, sizeof m1), 0) << n << " " << trial << " " << k;
            }
        }
    }
}

}  // namespace
