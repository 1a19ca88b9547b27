// The row lanes with AVX2: four rows per 256-bit register, on x86-64
// processors that have it (row_lane_width asks the processor at run time).
// Only the functions defined below the target pragma (GCC's, or clang's
// attribute region) use the wider instructions: every header with inline
// functions of its own is included before it, so that no inline function
// the rest of the library shares is compiled for AVX2, and the lane type
// lives in an unnamed namespace, so the kernel's instantiations belong to
// this file alone.  The target does not include FMA, so no multiply-add
// can be formed.
#include "posterior/sweep_lanes.h"

#if defined(__x86_64__) && !defined(_WIN32) && defined(__GNUC__)

#include <immintrin.h>

#include <cstdint>

#include "posterior/sweep.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "posterior/sweep_lanes_kernel.h"

namespace kestrum::posterior {

namespace {

// Member and operator bodies are defined outside the class: GCC gives the
// target of the pragma to functions defined at namespace scope, not to
// those defined inside a class body.
struct Avx2 {
    static constexpr int W = 4;
    __m256d v;
    Avx2() = default;
    explicit Avx2(double x);
    static Avx2 make(__m256d x);
    static Avx2 load(const double* p);
    static void store(double* p, Avx2 x);
    static double lane(Avx2 x, int l);
    static unsigned bad(Avx2 x);
};

Avx2::Avx2(double x) : v(_mm256_set1_pd(x)) {}
Avx2 Avx2::make(__m256d x) {
    Avx2 r;
    r.v = x;
    return r;
}
Avx2 Avx2::load(const double* p) { return make(_mm256_loadu_pd(p)); }
void Avx2::store(double* p, Avx2 x) { _mm256_storeu_pd(p, x.v); }
double Avx2::lane(Avx2 x, int l) {
    double t[4];
    _mm256_storeu_pd(t, x.v);
    return t[l];
}
unsigned Avx2::bad(Avx2 x) {
    return static_cast<unsigned>(
        _mm256_movemask_pd(_mm256_cmp_pd(x.v, _mm256_setzero_pd(), _CMP_NEQ_UQ)));
}
Avx2 operator+(Avx2 a, Avx2 b) { return Avx2::make(_mm256_add_pd(a.v, b.v)); }
Avx2 operator-(Avx2 a, Avx2 b) { return Avx2::make(_mm256_sub_pd(a.v, b.v)); }
Avx2 operator*(Avx2 a, Avx2 b) { return Avx2::make(_mm256_mul_pd(a.v, b.v)); }
Avx2 operator/(Avx2 a, Avx2 b) { return Avx2::make(_mm256_div_pd(a.v, b.v)); }
Avx2 sqrt(Avx2 a) { return Avx2::make(_mm256_sqrt_pd(a.v)); }

}  // namespace

namespace detail {

unsigned sweep_lanes_avx2(const SweepShared& sh, const LaneRows& in) {
    return lanes::sweep_lanes_any<Avx2>(sh, in);
}

}  // namespace detail

}  // namespace kestrum::posterior

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
