// The rate of a fitted start sits at the mode of the rate update's own
// log-rate objective.
#include <cmath>
#include <cstdint>

#include <gtest/gtest.h>

#include "analysis/starts.h"
#include "hyper/blocks.h"
#include "hyper/objective.h"

namespace {

using namespace kestrum;

TEST(Starts, RateModeIsTheMinimumOfTheLogRateObjective) {
    struct Case {
        double sinv, hshape, gshape, rsum;
        std::int32_t nrow, ngrp;
        double hrate;
    };
    const Case cases[] = {
        {1.0, 1.0, 2.0, 1.0, 3, 2, 1.0},          // mode ln(1 + sqrt(15))
        {5000.0, 1.0, 2.0, 0.0, 5000, 1, 0.0},    // one group, no hyper-prior rate
        {250.0, 1.0, 2.0, 30.0, 5000, 2, 1.0},    // variances near 20
        {9.0e5, 0.5, 2.0, 0.01, 1000, 5, 1e-3},   // variances near 1/450
    };
    for (const Case& c : cases) {
        hyper::BlockStore store;
        const hyper::Blocks b = store.blocks();
        *b.uupar = {c.sinv, c.hshape, c.gshape, 1.0, c.rsum, c.hrate};
        *b.ngusev = {c.nrow, c.ngrp};
        const double a = std::log(analysis::rate_mode(c.sinv, c.hshape, c.gshape, c.rsum, c.nrow, c.ngrp, c.hrate));
        const double f = hyper::log_rate_objective(b, a);
        for (double h : {1e-3, -1e-3, 0.1, -0.1}) EXPECT_LT(f, hyper::log_rate_objective(b, a + h)) << c.sinv << ' ' << h;
        // The slope vanishes there (central difference, relative to the
        // curvature's scale).
        const double h = 1e-5, slope = (hyper::log_rate_objective(b, a + h) - hyper::log_rate_objective(b, a - h)) / (2 * h);
        *b.optvar = a;
        EXPECT_LT(std::fabs(slope) * std::sqrt(hyper::proposal_variance(b)), 1e-3) << c.sinv;
    }
    EXPECT_NEAR(analysis::rate_mode(1.0, 1.0, 2.0, 1.0, 3, 2, 1.0), 1.0 + std::sqrt(15.0), 1e-12);
}

}  // namespace
