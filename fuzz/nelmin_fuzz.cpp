// nelmin_ on a quadratic with a fuzzed centre, start, step, tolerance and
// budget.  ierr is 0, 1 or 2; invalid input calls nothing; neval stays
// within the documented overshoot of the budget; ybest is the objective
// at xbest's vertex value (not above the start value).
#include <cmath>

#include "fuzz_input.h"
#include "kestrumr.h"

using kestrum::fuzz::Input;

namespace {
int32_t g_ndim = 1;
double g_centre[20];
long g_calls = 0;
double quadratic(const double* x) {
    ++g_calls;
    double s = 0.0;
    for (int32_t i = 0; i < g_ndim; ++i) s += (x[i] - g_centre[i]) * (x[i] - g_centre[i]);
    return s;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    int32_t ndim = in.small(0, 6);
    g_ndim = ndim > 0 ? ndim : 1;
    double start[20], step[20], xbest[20];
    for (int i = 0; i < 20; ++i) {
        g_centre[i] = static_cast<double>(in.take<int8_t>());
        start[i] = static_cast<double>(in.take<int8_t>());
        step[i] = 0.5 + (in.take<uint8_t>() % 8);
    }
    const double tol = in.take<uint8_t>() == 0 ? -1.0 : 1e-8;
    const int32_t ncheck = in.small(0, 20), maxeval = in.small(-5, 400);
    int32_t neval = -1, nrestart = -1, ierr = -1;
    double ybest = 0.0;
    g_calls = 0;
    const double y0 = quadratic(start);
    g_calls = 0;
    nelmin_(quadratic, &ndim, start, xbest, &ybest, &tol, step, &ncheck, &maxeval, &neval,
            &nrestart, &ierr);
    FUZZ_CHECK(ierr == 0 || ierr == 1 || ierr == 2);
    if (tol <= 0.0 || ndim < 1 || ncheck < 1) {
        FUZZ_CHECK(ierr == 1 && g_calls == 0);
        return 0;
    }
    FUZZ_CHECK(neval == g_calls);
    const long budget = maxeval < 0 ? 0 : maxeval;
    FUZZ_CHECK(neval <= budget + 2L * ncheck + 4L * ndim + 2);
    FUZZ_CHECK(ybest <= y0);
    return 0;
}
