// Heap use of the posterior routines and of kestrum_, watched through
// replacements of the global allocation functions.  They only count (or refuse) while a test
// switches them on, so the rest of this test program is unaffected.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "kestrumr.h"
#include "posterior/sweep.h"
#include "random/stream.h"
#include "support/capture.h"

namespace {

enum class Mode { off, count, refuse };
Mode g_mode = Mode::off;
long g_allocations = 0;
std::size_t g_largest_refused = 0;

void* allocate(std::size_t size) {
    if (g_mode == Mode::count) ++g_allocations;
    if (g_mode == Mode::refuse) {
        if (size > g_largest_refused) g_largest_refused = size;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

// Kept out of line so the compiler does not pair the free() with the
// operator new call it can see and warn about a mismatch.
[[gnu::noinline]] void release(void* p) { std::free(p); }

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace {

using namespace kestrum::posterior;

struct ModeGuard {
    explicit ModeGuard(Mode m) { g_mode = m; }
    ~ModeGuard() { g_mode = Mode::off; }
};

std::vector<double>* volatile g_sink = nullptr;

TEST(Allocation, CounterSeesAnAllocation) {
    g_allocations = 0;
    {
        ModeGuard on(Mode::count);
        g_sink = new std::vector<double>(10, 1.0);
    }
    delete g_sink;
    EXPECT_GE(g_allocations, 1);
}

TEST(Allocation, CoreSweepInALoopAllocatesNothing) {
    const int32_t n = 6, ntot = 30, nobs[6] = {4, 5, 6, 3, 7, 5};
    const double vshape[6] = {2, 2, 2, 2, 2, 2}, vrate[6] = {1, 1, 1, 1, 1, 1};
    const double effvar[5] = {3, 3, 3, 3, 3}, mvar[2] = {100, 100};
    const double ybar[6] = {0.5, 1.0, -0.3, 2.0, 0.1, 0.7}, s2[6] = {1, 2, 1, 3, 1, 2};
    const double pshape = 2.0, prate = 1.0, ybar0 = 0.6, s20 = 1.8;
    double gmean[6] = {}, gvar[6] = {}, pmean = 0.0, pvar = 0.0;
    kestrum::random::Record rec = zbql0001_;
    kestrum::random::Stream stream(&rec);
    std::vector<double> scratch(sweep_scratch_size(n));
    g_allocations = 0;
    {
        ModeGuard on(Mode::count);
        for (int it = 0; it < 500; ++it) {
            row_sweep(stream, n, 1, &ntot, nobs, vshape, vrate, &pshape, &prate, effvar, mvar,
                      ybar, s2, &ybar0, &s20, gmean, gvar, &pmean, &pvar, scratch.data());
        }
    }
    EXPECT_EQ(g_allocations, 0);
    for (double g : gmean) EXPECT_TRUE(std::isfinite(g));
}

TEST(Allocation, InverseWithoutStorageReportsAndGivesNaN) {
    double amat[4] = {4.0, 2.0, 2.0, 3.0};
    double ainv[4] = {0.0, 0.0, 0.0, 0.0};
    const int32_t n = 2;
    const std::string out = kestrum::test::capture_stdout([&] {
        ModeGuard refuse(Mode::refuse);
        inverse_(amat, ainv, &n);
    });
    EXPECT_EQ(out,
              "\n     ****ERROR**** Not enough memory for the workspace in  INVERSE\n"
              "     (the matrix was not inverted; every element of AINV is NaN)\n\n");
    for (double v : ainv) EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(amat[3], 3.0);  // untouched
}

TEST(Allocation, SweepWithoutStorageReportsDrawsNothingAndGivesNaN) {
    for (const int32_t pool : {0, 1}) {
        const int32_t n = 2, ntot = 5, nobs[2] = {2, 3};
        const double vshape[2] = {1, 1}, vrate[2] = {1, 1}, effvar[1] = {1}, mvar[2] = {1, 1};
        const double ybar[2] = {1, 3}, s2[2] = {1, 1}, pshape = 1, prate = 1, ybar0 = 2, s20 = 1;
        double gmean[2] = {0, 0}, gvar[2] = {0, 0}, pmean = 7.0, pvar = 8.0;
        const kestrum::random::Record before = zbql0001_;
        const std::string out = kestrum::test::capture_stdout([&] {
            ModeGuard refuse(Mode::refuse);
            rpostcal_(nullptr, &n, &pool, &ntot, nobs, vshape, vrate, &pshape, &prate, effvar,
                      mvar, nullptr, ybar, s2, &ybar0, &s20, gmean, gvar, &pmean, &pvar);
        });
        EXPECT_EQ(out,
                  "\n     ****ERROR**** Not enough memory for the workspace in  RPOSTCAL\n"
                  "     (no draws were made; the outputs hold NaN)\n\n");
        for (int j = 0; j < 2; ++j) {
            EXPECT_TRUE(std::isnan(gmean[j]));
            EXPECT_TRUE(std::isnan(gvar[j]));
        }
        EXPECT_EQ(std::isnan(pmean), pool == 1);
        EXPECT_EQ(std::isnan(pvar), pool == 1);
        for (int t = 0; t < 43; ++t) EXPECT_EQ(before.xtab[t], zbql0001_.xtab[t]);
    }
}

}  // namespace

namespace {

// kestrum_ keeps the kept draws' contrasts (16 L K (J - 1) bytes) only within
// its 256 MiB budget: beyond it, it asks for the replay's workspace alone.
// Every request is refused, so the run ends at entry without a draw.
TEST(Allocation, KestrumAsksForTheContrastStoresOnlyWithinItsBudget) {
    struct Case {
        int32_t L, K;
        bool stores;
    };
    // 4 groups of 4: stores of 1.8 MiB, and of 0.9 GiB.
    for (const Case c : {Case{100, 400, true}, Case{5000, 4000, false}}) {
        const int32_t J = 4, N = 16, B = 0, ipool = 0;
        const std::vector<int32_t> nobs(J, 4);
        std::vector<double> y(static_cast<std::size_t>(c.L) * N);
        for (std::size_t i = 0; i < y.size(); ++i) y[i] = static_cast<double>(i % 7);
        const double h = 1.0, mvar[2] = {100.0, 100.0}, effvar[3] = {100.0, 100.0, 100.0};
        double prshape = 0.0, prscale = 0.0;
        std::vector<double> prob(static_cast<std::size_t>(c.L) * (J - 1)), pmeanbar(c.L),
            pvarbar(c.L), gmeanbar(static_cast<std::size_t>(c.L) * J),
            gvarbar(static_cast<std::size_t>(c.L) * J);
        g_largest_refused = 0;
        const std::string out = kestrum::test::capture_stdout([&] {
            ModeGuard refuse(Mode::refuse);
            kestrum_(nullptr, &ipool, &c.L, &J, nobs.data(), &N, y.data(), &c.K, &B, &h, &h,
                     &prshape, &prscale, mvar, effvar, prob.data(), pmeanbar.data(),
                     pvarbar.data(), gmeanbar.data(), gvarbar.data());
        });
        EXPECT_NE(out.find("Not enough memory for the workspace in  KESTRUM"), std::string::npos);
        EXPECT_TRUE(std::isnan(prob[0]) && std::isnan(gmeanbar.back()));
        const std::size_t store_bytes = std::size_t{16} * c.L * c.K * (J - 1);
        if (c.stores) {
            EXPECT_GE(g_largest_refused, store_bytes) << c.L;
        } else {
            EXPECT_LT(g_largest_refused, std::size_t{64} << 20) << c.L;
        }
    }
}

}  // namespace
