// Variates with the generator record poked by the input: any words, base
// and borrow.  Every uniform lies in (0, 1), every call returns, the
// degenerate-table message is written at most once per call, and a call
// that writes it returns the routine's illegal-parameter value.
#include <cmath>

#include "fuzz_input.h"
#include "kestrumr.h"

using kestrum::fuzz::Input;
using kestrum::fuzz::Messages;

namespace {
const char* const kDegenerate = "The generator table is degenerate";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    // Poke up to 8 words (index, value), then maybe the base and borrow.
    const int pokes = in.small(0, 8);
    for (int i = 0; i < pokes; ++i) {
        const int32_t at = in.small(0, 42);
        zbql0001_.xtab[at] = in.take<double>();
    }
    if (in.take<uint8_t>() & 1) zbql0001_.base = in.take<double>();
    if (in.take<uint8_t>() & 1) zbql0001_.carry = in.take<double>();
    const double a = in.take<double>(), b = in.take<double>(), z = 0.0;
    const int32_t n = in.take<int32_t>();
    const int which = in.small(0, 10);
    Messages m;
    double v = 0.0;
    int32_t k = 0;
    switch (which) {
        case 0: v = zbqlu01_(&z); FUZZ_CHECK(v > 0.0 && v < 1.0); break;
        case 1: v = zbqlgam_(&a, &b); FUZZ_CHECK(!(v < 0.0)); break;
        case 2: v = zbqlbet1_(&a, &b); FUZZ_CHECK(!(v < 0.0) && !(v > 1.0)); break;
        case 3: v = zbqlexp_(&a); break;
        case 4: v = zbqlwei_(&a, &b); break;
        case 5: v = zbqlpar_(&a, &b); break;
        case 6: k = zbqlgeo_(&a); FUZZ_CHECK(k >= 0); break;
        case 7: k = zbqlbin_(&n, &a); FUZZ_CHECK(k >= 0 && (n <= 0 || k <= n)); break;
        case 8: k = zbqlpoi_(&a); FUZZ_CHECK(k >= 0); break;
        case 9: k = zbqlnb_(&a, &b); FUZZ_CHECK(k >= 0); break;
        default: v = zbqlnor_(&a, &b); break;
    }
    const int deg = m.count(kDegenerate);
    FUZZ_CHECK(deg <= 1);
    if (deg == 1 && which >= 1 && which <= 9) FUZZ_CHECK(v == 0.0 && k == 0);
    // The stream stays inside (0, 1) whatever the record became.
    for (int i = 0; i < 4; ++i) {
        const double u = zbqlu01_(&z);
        FUZZ_CHECK(u > 0.0 && u < 1.0);
    }
    return 0;
}
