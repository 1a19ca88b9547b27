// The rate update: draws, acceptance, the blocks it leaves behind, the mode
// search and the exported routines on the process-wide stream.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "hyper/objective.h"
#include "hyper/update.h"
#include "common/pmath.h"
#include "kestrumr.h"
#include "random/stream.h"
#include "support/scripted_source.h"

namespace {

using kestrum::hyper::update_rate;
using kestrum::test::ScriptedSource;

const std::string kTenPairs = "NUNUNUNUNUNUNUNUNUNU";

// The worked example as arguments: sinv 1, hshape 1, gshape 2, wunit 1,
// rsum 1, nrow 3, ngrp 2, hrate 1.
template <class Source>
void example_update(Source& src, double* rate) {
    update_rate(src, kestrum::hyper::process_blocks(), 1.0, 1.0, 2.0, 1.0, 1.0, 3, 2, 1.0, rate);
}

// A rate whose logarithm does not map back to it exactly, so that "not
// recomputed from tparvar_" is visible in the bits.
double rate_without_round_trip() {
    // Large rates have few bits of ln(rate) per bit of rate; the search ends
    // within a handful of steps.
    double x = 12345.678;
    for (int i = 0; i < 1000; ++i, x = std::nextafter(x, 1e300)) {
        if (kestrum::pmath::exp(kestrum::pmath::log(x)) != x) return x;
    }
    ADD_FAILURE() << "no rate without an exact round trip found";
    return x;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(UpdateRate, FillsTheBlocksFromItsArguments) {
    ScriptedSource src;
    src.normals = {60.0};  // far in the tail: rejected
    double rate = 1.5;
    update_rate(src, kestrum::hyper::process_blocks(), 0.25, 3.5, 2.5, 1.0, 4.75, 7, 3, 0.125, &rate);
    EXPECT_EQ(uupar_.sinv, 0.25);
    EXPECT_EQ(uupar_.hshape, 3.5);
    EXPECT_EQ(uupar_.gshape, 2.5);
    EXPECT_EQ(uupar_.wunit, 1.0);
    EXPECT_EQ(uupar_.rsum, 4.75);
    EXPECT_EQ(uupar_.hrate, 0.125);
    EXPECT_EQ(ngusev_.nrow, 7);
    EXPECT_EQ(ngusev_.ngrp, 3);
    EXPECT_EQ(tvarvar_, kestrum::hyper::proposal_variance(kestrum::hyper::process_blocks()));
}

TEST(UpdateRate, AllRejectedDrawsTenPairsAndKeepsTheRateBits) {
    const double entry = rate_without_round_trip();
    ScriptedSource src;
    src.normals = {60.0};   // proposals far in the tail
    src.uniforms = {0.999};
    double rate = entry;
    example_update(src, &rate);
    EXPECT_EQ(src.log, kTenPairs);
    EXPECT_TRUE(same_bits(rate, entry));
    EXPECT_EQ(tparvar_, kestrum::pmath::log(entry));
}

TEST(UpdateRate, AcceptedProposalBecomesTheRate) {
    ScriptedSource src;
    // Trial 1 proposes the mode itself and is accepted (ln u is very
    // negative); the rest are far in the tail and rejected.
    src.normals = {0.0, 60.0};
    src.uniforms = {1e-300, 0.5};
    double rate = 10.0;
    example_update(src, &rate);
    EXPECT_EQ(src.log, kTenPairs);
    EXPECT_EQ(tparvar_, optvar_);  // s*0 + mode
    EXPECT_EQ(rate, kestrum::pmath::exp(tparvar_));

    // A proposal away from the mode: prop = s*z + mode; the later trials
    // are all accepted with u = 0 (ln u = -inf), the last one counts.
    ScriptedSource src2;
    src2.normals = {0.3, -0.4, 0.25};
    src2.uniforms = {0.0};
    rate = 2.0;
    example_update(src2, &rate);
    EXPECT_EQ(src2.log, kTenPairs);
    const double s = std::sqrt(tvarvar_);
    EXPECT_EQ(tparvar_, s * 0.25 + optvar_);
    EXPECT_EQ(rate, kestrum::pmath::exp(tparvar_));
}

TEST(UpdateRate, AcceptanceFollowsTheLogRatio) {
    // One proposal at z = 0.5 from a current state at the mode (zcur = 0
    // after a first accepted proposal at z = 0): r = f(mode) - f(prop) +
    // 0.125.  A uniform just below e^r accepts, one just above rejects.
    for (int accept = 0; accept < 2; ++accept) {
        double rate = 2.0;
        ScriptedSource probe;
        probe.normals = {0.0, 60.0};
        probe.uniforms = {1e-300, 0.5};
        example_update(probe, &rate);  // sets the blocks and finds the mode
        const double mode = optvar_;
        const double s = std::sqrt(tvarvar_);
        const double prop = s * 0.5 + mode;
        const double r = (kestrum::hyper::log_rate_objective(kestrum::hyper::process_blocks(), mode) -
                          kestrum::hyper::log_rate_objective(kestrum::hyper::process_blocks(), prop)) +
                         0.5 * (0.5 * 0.5 - 0.0);
        ASSERT_LT(r, 0.0);
        const double eu = kestrum::pmath::exp(r);
        ScriptedSource src;
        src.normals = {0.0, 0.5, 60.0};
        src.uniforms = {1e-300, accept ? eu * (1.0 - 1e-9) : eu * (1.0 + 1e-9), 0.5};
        rate = 2.0;
        example_update(src, &rate);
        EXPECT_EQ(optvar_, mode);
        EXPECT_EQ(tparvar_, accept ? prop : mode) << accept;
    }
}

TEST(UpdateRate, NanLogRatioIsNeverAccepted) {
    // sinv < 0 makes the objective fall without bound, the curvature is
    // negative and its square root NaN: every r is NaN, even ln u = -inf
    // does not accept.
    const double entry = 0.75;
    double rate = entry;
    ScriptedSource src;
    src.uniforms = {0.0};
    update_rate(src, kestrum::hyper::process_blocks(), -2.0, 1.0, 2.0, 1.0, 1.0, 3, 2, 1.0, &rate);
    ASSERT_FALSE(tvarvar_ >= 0.0);
    EXPECT_EQ(src.log, kTenPairs);
    EXPECT_TRUE(same_bits(rate, entry));
    EXPECT_EQ(tparvar_, kestrum::pmath::log(entry));
}

TEST(UpdateRate, ModeOfTheWorkedExample) {
    const double c = 1.0 + std::sqrt(15.0);
    const double want_mode = kestrum::pmath::log(c);
    const double want_var = 1.0 / (c + 6.0 * c / ((c + 2.0) * (c + 2.0)));
    EXPECT_LT(want_var, 0.2);
    for (double entry : {0.5, 2.0, 10.0}) {
        ScriptedSource src;
        double rate = entry;
        example_update(src, &rate);
        EXPECT_NEAR(optvar_, want_mode, 0.001) << entry;
        EXPECT_NEAR(tvarvar_, want_var, 1e-4) << entry;
    }
}

TEST(UpdateRate, ModeSearchAloneAgreesWithTheUpdate) {
    for (double entry : {0.5, 3.0, 40.0}) {
        ScriptedSource src;
        src.normals = {0.1};
        src.uniforms = {1e-300};  // accepted: tparvar_ moves away from ln(entry)
        double rate = entry;
        update_rate(src, kestrum::hyper::process_blocks(), 2.5, 1.0, 3.0, 1.0, 0.7, 5, 3, 1.0, &rate);
        const double mode = optvar_;
        const double var = tvarvar_;
        const kestrumr_uupar u = uupar_;
        const kestrumr_ngusev g = ngusev_;
        ASSERT_NE(tparvar_, kestrum::pmath::log(entry));
        tparvar_ = kestrum::pmath::log(entry);
        optvar_ = -123.0;
        optbb1_();
        EXPECT_TRUE(same_bits(optvar_, mode)) << entry;
        EXPECT_EQ(tparvar_, kestrum::pmath::log(entry));
        EXPECT_TRUE(same_bits(tvarvar_, var));
        EXPECT_EQ(std::memcmp(&uupar_, &u, sizeof u), 0);
        EXPECT_EQ(std::memcmp(&ngusev_, &g, sizeof g), 0);
        EXPECT_EQ(optvar_, kestrum::hyper::find_mode(kestrum::hyper::process_blocks(), kestrum::pmath::log(entry)));
    }
}

// The acceptance count: the first trials propose the mode itself (z = 0)
// with a uniform of 1e-300, which every finite ratio accepts; the others
// propose far in the tail (z = 60) with 0.999, which no such ratio reaches.
// The count must follow the script, and the rate must come out the same
// with and without the counter.
TEST(UpdateRate, CountsTheAcceptedTrialsWithoutChangingTheResult) {
    struct Case {
        double far_z;        // normal of the rejected trials
        int accepted_trials; // how many of the ten take z = 0 with u = 1e-300
    };
    for (const Case c : {Case{60.0, 0}, Case{60.0, 3}, Case{60.0, 10}}) {
        ScriptedSource counted, plain;
        for (int t = 0; t < 10; ++t) {
            const bool take = t < c.accepted_trials;
            for (ScriptedSource* s : {&counted, &plain}) {
                s->normals.push_back(take ? 0.0 : c.far_z);
                s->uniforms.push_back(take ? 1e-300 : 0.999);
            }
        }
        double rate_counted = 0.3, rate_plain = 0.3;
        std::int32_t accepted = -1;
        kestrum::hyper::BlockStore store;
        update_rate(counted, store.blocks(), 1.0, 1.0, 2.0, 1.0, 1.0, 3, 2, 1.0, &rate_counted,
                    &accepted);
        update_rate(plain, store.blocks(), 1.0, 1.0, 2.0, 1.0, 1.0, 3, 2, 1.0, &rate_plain);
        EXPECT_EQ(accepted, c.accepted_trials);
        EXPECT_TRUE(same_bits(rate_counted, rate_plain));
        EXPECT_EQ(counted.log, kTenPairs);
    }
}

// A source over a private stream that also logs its draws.
struct LoggingStream {
    kestrum::random::Stream s;
    std::string log;
    double uniform() {
        log += 'U';
        return s.uniform();
    }
    double normal(double mu, double sigma) {
        log += 'N';
        return s.normal(mu, sigma);
    }
};

TEST(UpdateRate, ExportDrawsFromTheProcessStreamLikeTheCore) {
    kestrum::random::Stream& ps = kestrum::random::process_stream();
    for (int call = 0; call < 3; ++call) {
        const kestrumr_zbql0001 rec0 = zbql0001_;
        const kestrum::random::Stream st0 = ps;

        const double sinv = 1.5, hshape = 1.0, gshape = 2.0, wunit = 1.0, rsum = 3.0, hrate = 1.0;
        const std::int32_t nrow = 4, ngrp = 3;
        double rate_export = 0.8 + call;
        updatebb1_(nullptr, &sinv, &hshape, &gshape, &wunit, &rsum, &nrow, &ngrp, &hrate,
                   &rate_export);
        const double tpar_export = tparvar_;

        kestrumr_zbql0001 rec = rec0;
        LoggingStream mine{st0, {}};
        mine.s.rec = &rec;
        double rate_core = 0.8 + call;
        update_rate(mine, kestrum::hyper::process_blocks(), sinv, hshape, gshape, wunit, rsum, nrow, ngrp, hrate, &rate_core);
        EXPECT_EQ(mine.log, kTenPairs);
        EXPECT_TRUE(same_bits(rate_export, rate_core));
        EXPECT_EQ(tparvar_, tpar_export);
        // Both left their generator in the same place.
        EXPECT_EQ(std::memcmp(&rec, &zbql0001_, sizeof rec), 0);
        EXPECT_EQ(mine.s.ilag22, ps.ilag22);
        EXPECT_EQ(mine.s.nstat, ps.nstat);
    }
}

}  // namespace
