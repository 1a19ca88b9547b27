// Several chains: one chain is the plain run, the thread count changes no
// bit, the records follow the run, and the pooled summaries and the rate
// warning are worked out as documented.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/chains.h"
#include "analysis/rows.h"
#include "analysis/scale.h"
#include "random/messages.h"
#include "random/seeding.h"
#include "random/stream.h"

// A workspace beyond memory must come back as a null block, also under
// AddressSanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using namespace kestrum;

// A small problem: L rows of three groups of three, means differing in the
// first rows, drawn from a private stream.
struct Problem {
    std::int32_t L = 12, J = 3, nobs[3] = {3, 3, 3};
    std::vector<double> y;
    double mvar[2] = {10000.0, 10000.0};
    double effvar[2] = {10000.0, 10000.0};
    std::int32_t reserved = 0;

    explicit Problem(std::int32_t rows = 12) : L(rows) {
        kestrumr_zbql0001 rec = random::load_time_record();
        random::Stream st{&rec};
        y.resize(static_cast<std::size_t>(L) * 9);
        for (std::int32_t g = 0; g < L; ++g)
            for (int c = 0; c < 9; ++c)
                y[static_cast<std::size_t>(g + c * L)] = st.normal(g < 3 && c >= 6 ? 3.0 : 0.0, 1.0);
    }
    driver::Arguments args(std::int32_t burn, std::int32_t keep) const {
        driver::Arguments a;
        a.reserved = &reserved;
        a.nrow = L;
        a.ngrp = J;
        a.nobs = nobs;
        a.ntot = 9;
        a.ydata = y.data();
        a.nkeep = keep;
        a.nburn = burn;
        a.hshape = 1.0;
        a.hrate = 1.0;
        a.mvar = mvar;
        a.effvar = effvar;
        return a;
    }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Chains, OneChainIsThePlainRunForTheSameSeed) {
    const Problem p;
    const driver::Arguments a = p.args(30, 40);
    for (std::int32_t seed : {0, 7}) {
        kestrumr_zbql0001 rec = random::load_time_record();
        if (seed != 0) random::fill_table(rec, random::seed_value(seed, rec.base));
        random::Stream st{&rec};
        hyper::BlockStore blocks;
        driver::CoreCallees core;
        core.blocks = blocks.blocks();
        const std::size_t L = 12;
        std::vector<double> prob(L * 2), pm(L), pv(L), gm(L * 3), gv(L * 3);
        ASSERT_TRUE(driver::estimate(st, core, a, {prob.data(), pm.data(), pv.data(), gm.data(), gv.data()}));

        analysis::ChainSettings set;
        set.chains = 1;
        set.seed = seed;
        analysis::ChainsResult r;
        ASSERT_EQ(analysis::run_chains(a, set, r), analysis::ChainsStatus::ok);
        analysis::Pooled pooled;
        analysis::pool_chains(r, p.L, p.J, pooled);
        EXPECT_TRUE(same_bits(pooled.prob, prob)) << seed;
        EXPECT_TRUE(same_bits(pooled.gmeanbar, gm)) << seed;
        EXPECT_TRUE(same_bits(pooled.gvarbar, gv)) << seed;
        EXPECT_TRUE(std::isnan(pooled.mcse[0]));

        // The record: a rate per group and iteration, accepted counts 0..10,
        // every kept draw stored (K <= 250), the last being the final state.
        const analysis::ChainRecord& c = r.rec[0];
        ASSERT_EQ(c.rate.size(), 70u * 3);
        EXPECT_EQ(c.step, 1u);
        EXPECT_EQ(c.stored, 40u);
        for (std::int8_t n : c.accepted) EXPECT_TRUE(n >= 0 && n <= 10);
        for (double x : c.rate) EXPECT_GT(x, 0.0);
    }
}

TEST(Chains, TheThreadCountChangesNoBit) {
    const Problem p;
    const driver::Arguments a = p.args(10, 30);
    analysis::ChainSettings set;
    set.chains = 3;
    set.seed = 11;
    analysis::ChainsResult one, three;
    set.threads = 1;
    ASSERT_EQ(analysis::run_chains(a, set, one), analysis::ChainsStatus::ok);
    set.threads = 3;
    ASSERT_EQ(analysis::run_chains(a, set, three), analysis::ChainsStatus::ok);
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_TRUE(same_bits(one.out[c].prob, three.out[c].prob));
        EXPECT_TRUE(same_bits(one.out[c].gmeanbar, three.out[c].gmeanbar));
        EXPECT_TRUE(same_bits(one.rec[c].rate, three.rec[c].rate));
        EXPECT_EQ(one.rec[c].contrasts, three.rec[c].contrasts);
    }
    // Without stored draws a chain may share its rows among threads: the
    // same bits again, and the same rate trace.
    analysis::ChainsResult shared;
    set.threads = 1;
    set.engine_threads = 3;
    set.store_draws = false;
    ASSERT_EQ(analysis::run_chains(a, set, shared), analysis::ChainsStatus::ok);
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_TRUE(same_bits(one.out[c].prob, shared.out[c].prob));
        EXPECT_TRUE(same_bits(one.rec[c].rate, shared.rec[c].rate));
        EXPECT_EQ(shared.rec[c].stored, 0u);
    }
    // The chains are different streams.
    EXPECT_FALSE(same_bits(one.out[0].gmeanbar, one.out[1].gmeanbar));
    EXPECT_FALSE(same_bits(one.out[1].gmeanbar, one.out[2].gmeanbar));
}

TEST(Chains, ThinsTheStoredDrawsToABoundedNumber) {
    const Problem p(2);
    analysis::ChainSettings set;
    set.chains = 1;
    for (const auto& [keep, step, stored] : {std::tuple{250, 1u, 250u}, std::tuple{251, 2u, 125u},
                                             std::tuple{1000, 4u, 250u}}) {
        analysis::ChainsResult r;
        ASSERT_EQ(analysis::run_chains(p.args(0, keep), set, r), analysis::ChainsStatus::ok);
        EXPECT_EQ(r.rec[0].step, step);
        EXPECT_EQ(r.rec[0].stored, stored);
        EXPECT_EQ(r.rec[0].contrasts.size(), 2u * 2u * stored);
        for (float x : r.rec[0].contrasts) EXPECT_TRUE(std::isfinite(x));
    }
}

// A chain's messages (here: its workspace cannot be had) reach the caller's
// message sink from whichever thread ran the chain, and the run says why
// it failed.
TEST(Chains, MessagesOfEveryChainGoToTheCallersSink) {
    const std::int32_t L = 1000, J = 1000, reserved = 0;
    std::vector<std::int32_t> nobs(J, 2);
    std::vector<double> y(static_cast<std::size_t>(L) * 2 * J, 1.0), mvar{1.0, 1.0}, effvar(J - 1, 1.0);
    driver::Arguments a;
    a.reserved = &reserved;
    a.nrow = L;
    a.ngrp = J;
    a.nobs = nobs.data();
    a.ntot = 2 * J;
    a.ydata = y.data();
    a.nkeep = 2147483647;
    a.nburn = 0;
    a.mvar = mvar.data();
    a.effvar = effvar.data();
    std::vector<std::string> lines;
    ScopedMessageSink sink({[](void* c, const char* t) { static_cast<std::vector<std::string>*>(c)->push_back(t); },
                            &lines});
    analysis::ChainSettings set;
    set.chains = 2;
    set.threads = 2;
    analysis::ChainsResult r;
    EXPECT_EQ(analysis::run_chains(a, set, r), analysis::ChainsStatus::memory);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "     ****ERROR**** Not enough memory for the workspace in  KESTRUM");
}

// Pooling worked out by hand: two chains of one row, two groups.
TEST(Chains, PoolsMeansAndGivesTheSpreadBetweenChains) {
    analysis::ChainsResult r;
    r.out.resize(2);
    r.rec.resize(2);
    const double prob[2] = {0.25, 0.75}, m2[2] = {3.0, 5.0};
    for (int c = 0; c < 2; ++c) {
        r.out[c].prob = {prob[c]};
        r.out[c].pmeanbar = {0.0};
        r.out[c].pvarbar = {1.0};
        r.out[c].gmeanbar = {1.0, m2[c]};
        r.out[c].gvarbar = {2.0, 2.0};
        r.rec[c].J = 2;
        r.rec[c].stored = 4;
        for (int s = 0; s < 4; ++s) r.rec[c].contrasts.push_back(static_cast<float>(c * 4 + s));
        r.out[c].pjoint = {static_cast<double>(c)};  // 0 and 1
    }
    analysis::Pooled p;
    analysis::pool_chains(r, 1, 2, p);
    EXPECT_DOUBLE_EQ(p.prob[0], 0.5);
    EXPECT_DOUBLE_EQ(p.gmeanbar[1], 4.0);
    EXPECT_DOUBLE_EQ(p.diff[0], 3.0);
    // sd of (0.25, 0.75) is 0.3535..., over sqrt(2): 0.25.
    EXPECT_DOUBLE_EQ(p.mcse[0], 0.25);
    // Pooled draws 0..7: 2.5% at position 0.175, 97.5% at 6.825.
    EXPECT_NEAR(p.lower[0], 0.175, 1e-12);
    EXPECT_NEAR(p.upper[0], 6.825, 1e-12);
    EXPECT_GT(p.rhat[0], 1.5);  // the two chains do not overlap at all
    // The joint frequency of two groups, pooled like p_mean.
    EXPECT_DOUBLE_EQ(p.joint[0], 0.5);
    EXPECT_DOUBLE_EQ(p.mcse[1], 0.5);
}

TEST(Chains, ARowThatBecameNonFiniteInOneChainHasNoFrequencies) {
    // Row 2 of chain 2 went NaN; its frequencies there read 0 as counts.
    analysis::ChainsResult r;
    r.out.resize(2);
    r.rec.resize(2);
    const double nan = std::nan("");
    for (int c = 0; c < 2; ++c) {
        r.out[c].prob = {0.25, c == 1 ? 0.0 : 0.5};
        r.out[c].pmeanbar = {0.0, 0.0};
        r.out[c].pvarbar = {1.0, 1.0};
        r.out[c].gmeanbar = {1.0, c == 1 ? nan : 1.0, 3.0, c == 1 ? nan : 2.0};
        r.out[c].gvarbar = {2.0, c == 1 ? nan : 2.0, 2.0, c == 1 ? nan : 2.0};
        r.out[c].pjoint = {0.5, c == 1 ? 0.0 : 0.5};
        r.rec[c].J = 2;
    }
    analysis::Pooled p;
    analysis::pool_chains(r, 2, 2, p);
    EXPECT_EQ(p.status, (std::vector<std::int32_t>{analysis::kRowOk, analysis::kRowNotFinite}));
    EXPECT_DOUBLE_EQ(p.prob[0], 0.25);
    EXPECT_DOUBLE_EQ(p.joint[0], 0.5);
    for (double x : {p.prob[1], p.joint[1], p.mcse[1], p.mcse[3], p.gmeanbar[1], p.diff[1]})
        EXPECT_TRUE(std::isnan(x));
}

TEST(Chains, FlagsARateThatDoesNotMove) {
    analysis::ChainsResult r;
    r.rec.resize(1);
    analysis::ChainRecord& c = r.rec[0];
    c.J = 2;
    c.B = 20;
    c.T = 22;
    c.rate.assign(44, 2.0);
    c.accepted.assign(44, 0);
    for (int t = 0; t < 22; ++t) {  // group 1 moves and accepts 3 of 10
        c.rate[static_cast<std::size_t>(2 * t)] = 1.0 + t;
        c.accepted[static_cast<std::size_t>(2 * t)] = 3;
    }
    std::vector<analysis::StuckRate> stuck = analysis::stuck_rates(r);
    ASSERT_EQ(stuck.size(), 1u);
    EXPECT_EQ(stuck[0].group, 1);
    EXPECT_EQ(stuck[0].acceptance, 0.0);
    EXPECT_DOUBLE_EQ(analysis::acceptance(c, 0, 5, 10), 0.3);
    // Two accepted trials in 100 are 2%: no longer flagged once the rate moved.
    c.accepted[2 * 12 + 1] = 2;
    c.rate[2 * 12 + 1] = 2.5;
    EXPECT_TRUE(analysis::stuck_rates(r).empty());
    // A burn-in of 18 leaves 9 iterations to judge: too few.
    c.accepted[2 * 12 + 1] = 0;
    c.B = 18;
    EXPECT_TRUE(analysis::stuck_rates(r).empty());
}

TEST(Scale, MedianOfThePooledWithinGroupSd) {
    // Three rows, two groups of two: pooled sd = sqrt(sum of squares / 2).
    const std::int32_t nobs[2] = {2, 2};
    // Row 1: (0,2 | 5,7): ss 2+2 -> sd sqrt(2).  Row 2: (1,1 | 1,1): 0, left out.
    // Row 3: (0,4 | 0,0): ss 8 -> sd 2.  Row 4: NaN, left out.
    const double y[16] = {0, 1, 0, NAN, 2, 1, 4, 0, 5, 1, 0, 0, 7, 1, 0, 0};
    EXPECT_DOUBLE_EQ(analysis::robust_scale(y, 4, 2, nobs), 0.5 * (std::sqrt(2.0) + 2.0));
    const double row1[4] = {0, 2, 5, 7};
    EXPECT_DOUBLE_EQ(analysis::robust_scale(row1, 1, 2, nobs), std::sqrt(2.0));
    const double flat[4] = {3, 3, 3, 3};
    EXPECT_EQ(analysis::robust_scale(flat, 1, 2, nobs), 1.0);  // nothing to scale by
}

TEST(Scale, PriorsAndResultsChangeUnitsBothWays) {
    analysis::Priors p;
    p.hshape = 1.5;
    p.hrate = 8.0;
    p.mvar[0] = 400.0;
    p.mvar[1] = 40.0;
    p.effvar = {4.0, 16.0};
    const analysis::Priors q = analysis::priors_to_standard(p, 2.0);
    EXPECT_EQ(q.hshape, 1.5);
    EXPECT_EQ(q.hrate, 2.0);
    EXPECT_EQ(q.mvar[0], 100.0);
    EXPECT_EQ(q.mvar[1], 10.0);
    EXPECT_EQ(q.effvar, (std::vector<double>{1.0, 4.0}));

    std::vector<double> prob{0.5}, pm{1.0}, pv{1.0}, gm{1.0, -2.0}, gv{3.0, 0.5};
    analysis::results_to_data_units({prob.data(), pm.data(), pv.data(), gm.data(), gv.data()}, 1, 2, 10.0);
    EXPECT_EQ(prob[0], 0.5);
    EXPECT_EQ(pm[0], 10.0);
    EXPECT_EQ(pv[0], 100.0);
    EXPECT_EQ(gm, (std::vector<double>{10.0, -20.0}));
    EXPECT_EQ(gv, (std::vector<double>{300.0, 50.0}));
}

}  // namespace
