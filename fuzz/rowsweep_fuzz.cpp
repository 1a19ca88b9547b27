// rpostcal_: one row sweep with fuzzed sizes, priors and statistics.  With
// n < 1 no group argument is written; with ipool != 1 pmean and pvar are
// not written; a non-positive gamma shape gives the ZBQLGAM message and an
// infinite variance; otherwise every new variance is positive.
#include <cmath>
#include <cstring>

#include "fuzz_input.h"
#include "kestrumr.h"

using kestrum::fuzz::Input;
using kestrum::fuzz::Messages;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int32_t n = in.small(-1, 5), ipool = in.small(0, 2);
    int32_t nobs[5];
    double vshape[5], vrate[5], effvar[5], ybar[5], s2[5], gmean[5], gvar[5];
    int32_t ntot = 0;
    bool bad_shape = false;
    for (int j = 0; j < 5; ++j) {
        nobs[j] = in.small(1, 8);
        if (j < n) ntot += nobs[j];
        vshape[j] = static_cast<double>(in.take<int8_t>()) / 8.0;  // may be <= 0
        if (j < n && !(0.5 * nobs[j] + vshape[j] > 0.0)) bad_shape = true;
        vrate[j] = 0.25 + in.take<uint8_t>() / 16.0;
        effvar[j] = 1.0 + in.take<uint8_t>();
        ybar[j] = static_cast<double>(in.take<int8_t>()) / 4.0;
        s2[j] = in.take<uint8_t>() / 16.0;
        gmean[j] = static_cast<double>(in.take<int8_t>()) / 4.0;
        gvar[j] = -7.0;
    }
    const double mvar[2] = {100.0, 100.0}, pshape = 1.5, prate = 2.0;
    const double ybar0 = 0.5, s20 = 1.0;
    double pmean = -7.0, pvar = -7.0, gmean_in[5];
    std::memcpy(gmean_in, gmean, sizeof gmean);
    Messages m;
    rpostcal_(nullptr, &n, &ipool, &ntot, nobs, vshape, vrate, &pshape, &prate, effvar, mvar,
              nullptr, ybar, s2, &ybar0, &s20, gmean, gvar, &pmean, &pvar);
    for (int j = (n > 0 ? n : 0); j < 5; ++j) {
        FUZZ_CHECK(gvar[j] == -7.0 && gmean[j] == gmean_in[j]);
    }
    if (ipool != 1) FUZZ_CHECK(pmean == -7.0 && pvar == -7.0);
    if (ipool == 1) FUZZ_CHECK(pvar > 0.0);
    FUZZ_CHECK((m.count("Illegal parameter value in  ZBQLGAM") > 0) == bad_shape);
    for (int j = 0; j < n; ++j) {
        if (0.5 * nobs[j] + vshape[j] > 0.0) {
            FUZZ_CHECK(gvar[j] > 0.0);
        } else {
            FUZZ_CHECK(gvar[j] == INFINITY);
        }
    }
    return 0;
}
