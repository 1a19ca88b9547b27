// The row lanes with SSE2: two rows per 128-bit register.  Every x86 build
// has SSE2 (the 32-bit builds do their scalar double arithmetic in it too),
// so on x86 this is always compiled; elsewhere the lanes are off.
#include "posterior/sweep_lanes.h"

#if defined(__SSE2__)

#include <emmintrin.h>

#include "posterior/sweep_lanes_kernel.h"

namespace kestrum::posterior {

namespace {

struct Sse2 {
    static constexpr int W = 2;
    __m128d v;
    Sse2() = default;
    explicit Sse2(double x) : v(_mm_set1_pd(x)) {}
    static Sse2 make(__m128d x) {
        Sse2 r;
        r.v = x;
        return r;
    }
    static Sse2 load(const double* p) { return make(_mm_loadu_pd(p)); }
    static void store(double* p, Sse2 x) { _mm_storeu_pd(p, x.v); }
    static double lane(Sse2 x, int l) {
        double t[2];
        _mm_storeu_pd(t, x.v);
        return t[l];
    }
    static unsigned bad(Sse2 x) {
        return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpneq_pd(x.v, _mm_setzero_pd())));
    }
    friend Sse2 operator+(Sse2 a, Sse2 b) { return make(_mm_add_pd(a.v, b.v)); }
    friend Sse2 operator-(Sse2 a, Sse2 b) { return make(_mm_sub_pd(a.v, b.v)); }
    friend Sse2 operator*(Sse2 a, Sse2 b) { return make(_mm_mul_pd(a.v, b.v)); }
    friend Sse2 operator/(Sse2 a, Sse2 b) { return make(_mm_div_pd(a.v, b.v)); }
    friend Sse2 sqrt(Sse2 a) { return make(_mm_sqrt_pd(a.v)); }
};

}  // namespace

namespace detail {

// On 32-bit x86 a host may call in with a stack aligned to 4 bytes only;
// the spilled registers of the kernel need 16.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
unsigned sweep_lanes_sse2(const SweepShared& sh, const LaneRows& in) {
    return lanes::sweep_lanes_any<Sse2>(sh, in);
}

}  // namespace detail

}  // namespace kestrum::posterior

#endif
