// kestrum_ with small sizes (and the row sweep and rate update it drives).
// The call returns; prshape and prscale are 1.0; with K <= 0 every output
// is NaN; tail frequencies lie in [0, 1] or are NaN; variances are positive
// or NaN; a sane generator never reports a degenerate table.
#include <cmath>
#include <vector>

#include "fuzz_input.h"
#include "kestrumr.h"

using kestrum::fuzz::Input;
using kestrum::fuzz::Messages;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int32_t res = 0, ipool = in.small(0, 1), L = in.small(-1, 3), J = in.small(1, 3);
    std::vector<int32_t> nobs(J);
    int32_t N = 0;
    for (auto& c : nobs) N += (c = in.small(1, 4));
    const int32_t K = in.small(-1, 6), B = in.small(-1, 4);
    const int32_t rows = L > 0 ? L : 0;
    std::vector<double> y(static_cast<size_t>(rows) * N + 1);
    for (auto& v : y) v = static_cast<double>(in.take<int8_t>()) / 4.0;
    const double hshape = 0.5 + in.take<uint8_t>() / 16.0, hrate = 0.5 + in.take<uint8_t>() / 16.0;
    // mvar: the prior variances of the group means and of the pooled mean.
    std::vector<double> mvar(2, 100.0), effvar(J, 100.0);
    std::vector<double> prob(rows * J + 1), pm(rows + 1), pv(rows + 1), gm(rows * J + 1),
        gv(rows * J + 1);
    double prshape = 0.0, prscale = 0.0;
    {
        Messages m;
        kestrum_(&res, &ipool, &L, &J, nobs.data(), &N, y.data(), &K, &B, &hshape, &hrate,
                 &prshape, &prscale, mvar.data(), effvar.data(), prob.data(), pm.data(),
                 pv.data(), gm.data(), gv.data());
        FUZZ_CHECK(m.count("degenerate") == 0);
    }
    FUZZ_CHECK(prshape == 1.0 && prscale == 1.0);
    if (K <= 0) {  // every output 0/0
        for (int32_t i = 0; i < rows; ++i) FUZZ_CHECK(std::isnan(pm[i]) && std::isnan(pv[i]));
        for (int32_t i = 0; i < rows * J; ++i) FUZZ_CHECK(std::isnan(gm[i]) && std::isnan(gv[i]));
    }
    if (K > 0) {
        for (int32_t i = 0; i < rows * (J - 1); ++i) {
            FUZZ_CHECK(std::isnan(prob[i]) || (prob[i] >= 0.0 && prob[i] <= 1.0));
        }
        for (int32_t i = 0; i < rows * J; ++i) FUZZ_CHECK(std::isnan(gv[i]) || gv[i] > 0.0);
    }
    return 0;
}
