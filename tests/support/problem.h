// A small data set and the arguments of a run on it, for the tests and the
// benchmarks (no GoogleTest here).
//
// The owner fills y, L x N column by column with the groups one after the
// other (nobs(j) columns each), the layout the sampler reads, and may change
// any member before asking for args(); the arguments point into the data
// set, so it must outlive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "driver/estimate.h"

namespace kestrum::test {

struct Problem {
    std::int32_t L = 0, J = 0, N = 0;  // rows, groups, observations per row
    std::vector<std::int32_t> nobs;    // group sizes, J
    std::vector<double> y;             // L x N, zero until the owner fills it
    std::vector<double> mvar;          // prior variances of the row mean, 2
    std::vector<double> effvar;        // prior variances of the group effects
    std::int32_t reserved = 0;         // handed on, never read by the sampler
    double hshape = 1.0, hrate = 1.0;  // hyper-prior of the group variance rates

    // L = rows, J = the number of sizes; N = ntot when given (>= 0), else
    // the sum of the positive sizes.  Every prior variance is
    // prior_variance: both of mvar and J - 1 (at least one) of effvar.
    Problem(std::int32_t rows, std::vector<std::int32_t> sizes, double prior_variance,
            std::int32_t ntot = -1)
        : L(rows), J(static_cast<std::int32_t>(sizes.size())), nobs(std::move(sizes)),
          mvar(2, prior_variance),
          effvar(nobs.size() > 1 ? nobs.size() - 1 : 1, prior_variance) {
        std::int64_t sum = 0;
        for (const std::int32_t n : nobs) sum += n > 0 ? n : 0;
        N = ntot >= 0 ? ntot : static_cast<std::int32_t>(sum);
        const std::size_t cells = L > 0 && N > 0 ? static_cast<std::size_t>(L) * N : 0;
        y.assign(cells, 0.0);
    }

    // Observation t (0-based, over all groups) of row g.
    double& at(std::int32_t g, std::int32_t t) {
        return y[static_cast<std::size_t>(g) + static_cast<std::size_t>(t) * L];
    }

    // The arguments of a run of K kept after B burn-in iterations.
    driver::Arguments args(std::int32_t K, std::int32_t B, std::int32_t ipool = 0) const {
        driver::Arguments a;
        a.reserved = &reserved;
        a.ipool = ipool;
        a.nrow = L;
        a.ngrp = J;
        a.nobs = nobs.data();
        a.ntot = N;
        a.ydata = y.data();
        a.nkeep = K;
        a.nburn = B;
        a.hshape = hshape;
        a.hrate = hrate;
        a.mvar = mvar.data();
        a.effvar = effvar.data();
        return a;
    }
};

}  // namespace kestrum::test
