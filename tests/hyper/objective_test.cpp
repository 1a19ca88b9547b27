// The shared blocks (layout, load-time contents) and the log-rate objective
// with its proposal variance.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "hyper/objective.h"
#include "kestrumr.h"

namespace {

// Snapshot of the blocks taken during static initialisation, before any
// test has run: what the library holds at load.
struct LoadState {
    double tparvar, tvarvar, optvar;
    kestrumr_ngusev ngusev;
    kestrumr_uupar uupar;
};
const LoadState at_load = {tparvar_, tvarvar_, optvar_, ngusev_, uupar_};

// The worked example: sinv 1, hshape 1, gshape 2, wunit 1, rsum 1, hrate 1,
// nrow 3, ngrp 2.
void set_example_blocks() {
    uupar_ = {1.0, 1.0, 2.0, 1.0, 1.0, 1.0};
    ngusev_ = {3, 2};
}

TEST(HyperBlocks, MembersFollowOneAnotherWithoutGaps) {
    EXPECT_EQ(sizeof(kestrumr_ngusev), 8u);
    EXPECT_EQ(offsetof(kestrumr_ngusev, nrow), 0u);
    EXPECT_EQ(offsetof(kestrumr_ngusev, ngrp), 4u);
    EXPECT_EQ(sizeof(kestrumr_uupar), 48u);
    EXPECT_EQ(offsetof(kestrumr_uupar, sinv), 0u);
    EXPECT_EQ(offsetof(kestrumr_uupar, hshape), 8u);
    EXPECT_EQ(offsetof(kestrumr_uupar, gshape), 16u);
    EXPECT_EQ(offsetof(kestrumr_uupar, wunit), 24u);
    EXPECT_EQ(offsetof(kestrumr_uupar, rsum), 32u);
    EXPECT_EQ(offsetof(kestrumr_uupar, hrate), 40u);
    EXPECT_EQ(sizeof(tparvar_), 8u);
    EXPECT_EQ(sizeof(tvarvar_), 8u);
    EXPECT_EQ(sizeof(optvar_), 8u);
    EXPECT_EQ(sizeof(ngusev_), 8u);
    EXPECT_EQ(sizeof(uupar_), 48u);
}

TEST(HyperBlocks, ExportedSymbolsAreDistinctRecordsWithTheMembersAtTheirOffsets) {
    const char* base = reinterpret_cast<const char*>(&uupar_);
    EXPECT_EQ(reinterpret_cast<const char*>(&uupar_.hshape), base + 8);
    EXPECT_EQ(reinterpret_cast<const char*>(&uupar_.hrate), base + 40);
    EXPECT_EQ(reinterpret_cast<const char*>(&ngusev_.ngrp),
              reinterpret_cast<const char*>(&ngusev_) + 4);
    // The five blocks do not overlap.
    const std::uintptr_t a[5] = {reinterpret_cast<std::uintptr_t>(&tparvar_),
                                 reinterpret_cast<std::uintptr_t>(&ngusev_),
                                 reinterpret_cast<std::uintptr_t>(&tvarvar_),
                                 reinterpret_cast<std::uintptr_t>(&uupar_),
                                 reinterpret_cast<std::uintptr_t>(&optvar_)};
    const std::size_t sz[5] = {8, 8, 8, 48, 8};
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j) {
            if (i != j) {
                EXPECT_TRUE(a[i] + sz[i] <= a[j] || a[j] + sz[j] <= a[i]) << i << " " << j;
            }
        }
    }
    // The objective reads the members in their documented places: raw
    // bytes written at each offset change the matching term.
    set_example_blocks();
    const double a0 = 0.0;
    const double f0 = alikebb1_(&a0);
    const double sinv2 = 2.0;
    std::memcpy(reinterpret_cast<char*>(&uupar_) + 0, &sinv2, 8);
    EXPECT_DOUBLE_EQ(alikebb1_(&a0), f0 + 1.0);  // f grows by sinv*e^0
    set_example_blocks();
    const std::int32_t ngrp3 = 3;
    std::memcpy(reinterpret_cast<char*>(&ngusev_) + 4, &ngrp3, 4);
    EXPECT_DOUBLE_EQ(alikebb1_(&a0), f0 + std::log(3.0));  // one more wunit*ln 3
}

TEST(HyperBlocks, HoldZeroAtLoad) {
    EXPECT_EQ(at_load.tparvar, 0.0);
    EXPECT_EQ(at_load.tvarvar, 0.0);
    EXPECT_EQ(at_load.optvar, 0.0);
    EXPECT_EQ(at_load.ngusev.nrow, 0);
    EXPECT_EQ(at_load.ngusev.ngrp, 0);
    const kestrumr_uupar zero = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    EXPECT_EQ(std::memcmp(&at_load.uupar, &zero, sizeof zero), 0);
}

TEST(LogRateObjective, WorkedExampleValues) {
    set_example_blocks();
    const double a0 = 0.0;
    const double a1 = 1.0;
    // The evaluation order makes f(0) exactly 1 + 3 ln 3.
    EXPECT_EQ(alikebb1_(&a0), 1.0 + 3.0 * std::log(3.0));
    const double e = std::exp(1.0);
    EXPECT_DOUBLE_EQ(alikebb1_(&a1), e + 3.0 * std::log(e + 2.0) - 7.0);
    // The core and the export agree bit for bit, and nothing is written.
    EXPECT_EQ(kestrum::hyper::log_rate_objective(kestrum::hyper::process_blocks(), 1.0), alikebb1_(&a1));
    EXPECT_EQ(uupar_.gshape, 2.0);
    EXPECT_EQ(ngusev_.nrow, 3);
}

TEST(LogRateObjective, OutsideTheLogDomainGivesTheIeeeResult) {
    set_example_blocks();
    uupar_.rsum = -3.0;  // c + rsum + hrate = e^a - 2
    const double a_neg = std::log(2.0) - 1.0;  // c < 2: log of a negative number
    EXPECT_TRUE(std::isnan(alikebb1_(&a_neg)));
    uupar_.rsum = -2.0;  // at a = 0 the argument is exactly 0: ln 0 = -inf
    const double a0 = 0.0;
    EXPECT_EQ(alikebb1_(&a0), -std::numeric_limits<double>::infinity());
}

TEST(ProposalVariance, WorkedExampleIsTheDoubleJustAboveSixTenths) {
    set_example_blocks();
    optvar_ = 0.0;
    tvarvar_ = -1.0;
    varbb1_();
    EXPECT_EQ(tvarvar_, std::nextafter(0.6, 1.0));
    EXPECT_EQ(kestrum::hyper::proposal_variance(kestrum::hyper::process_blocks()), tvarvar_);
}

TEST(ProposalVariance, IsTheReciprocalCurvatureAndIgnoresGshapeAndNrow) {
    set_example_blocks();
    for (double a : {-1.5, 0.0, 0.7, 2.2}) {
        optvar_ = a;
        varbb1_();
        const double v = tvarvar_;
        // Central second difference of f at a.
        const double h = 1e-4;
        const double ap = a + h, am = a - h;
        const double f2 = (alikebb1_(&ap) - 2.0 * alikebb1_(&a) + alikebb1_(&am)) / (h * h);
        EXPECT_NEAR(v * f2, 1.0, 1e-5) << a;
        uupar_.gshape = 17.5;
        ngusev_.nrow = 1000;
        varbb1_();
        EXPECT_EQ(tvarvar_, v) << a;
        set_example_blocks();
    }
    // ... while both do change f itself.
    const double a1 = 1.0;
    const double f1 = alikebb1_(&a1);
    uupar_.gshape = 5.0;
    EXPECT_NE(alikebb1_(&a1), f1);
    set_example_blocks();
    ngusev_.nrow = 4;
    EXPECT_NE(alikebb1_(&a1), f1);
}

}  // namespace
