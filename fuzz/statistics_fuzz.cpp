// parametercal_: group and pooled sample statistics of one row.  The group
// mean of finite data lies within the group's range; variances are not
// negative; nothing past the row is read (the sanitizer checks that).
#include <cmath>
#include <vector>

#include "fuzz_input.h"
#include "kestrumr.h"

using kestrum::fuzz::Input;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int32_t ipool = in.small(0, 1), ngrp = in.small(1, 4);
    std::vector<int32_t> nobs(ngrp);
    int32_t ntot = 0;
    for (auto& c : nobs) ntot += (c = in.small(1, 6));
    std::vector<double> x(ntot);
    for (auto& v : x) v = static_cast<double>(in.take<int16_t>()) / 8.0;
    std::vector<double> ybar(ngrp), s2(ngrp);
    double ybar0 = 0.0, s20 = 0.0;
    parametercal_(x.data(), &ipool, &ngrp, &ntot, nobs.data(), ybar.data(), s2.data(), &ybar0,
                  &s20);
    int32_t at = 0;
    for (int32_t j = 0; j < ngrp; ++j) {
        double lo = x[at], hi = x[at];
        for (int32_t i = 0; i < nobs[j]; ++i) {
            lo = std::fmin(lo, x[at + i]);
            hi = std::fmax(hi, x[at + i]);
        }
        FUZZ_CHECK(ybar[j] >= lo - 1e-9 * std::fabs(lo) && ybar[j] <= hi + 1e-9 * std::fabs(hi));
        FUZZ_CHECK(nobs[j] == 1 || s2[j] >= 0.0);
        at += nobs[j];
    }
    if (ipool == 1 && ntot > 1) FUZZ_CHECK(s20 >= 0.0);
    return 0;
}
