// Several chains: one chain is the plain run, the thread count changes no
// bit, the records follow the run, and the pooled summaries and the rate
// warning are worked out as documented.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/chains.h"
#include "analysis/rows.h"
#include "analysis/scale.h"
#include "random/messages.h"
#include "random/seeding.h"
#include "random/stream.h"
#include "support/problem.h"

// A workspace beyond memory must come back as a null block, also under
// AddressSanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using namespace kestrum;

// A small problem: L rows of three groups of three, means differing in the
// first rows, drawn from a private stream.
struct Problem : test::Problem {
    explicit Problem(std::int32_t rows = 12) : test::Problem(rows, {3, 3, 3}, 10000.0) {
        kestrumr_zbql0001 rec = random::load_time_record();
        random::Stream st{&rec};
        for (std::int32_t g = 0; g < L; ++g)
            for (int c = 0; c < 9; ++c)
                y[static_cast<std::size_t>(g + c * L)] = st.normal(g < 3 && c >= 6 ? 3.0 : 0.0, 1.0);
    }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Chains, OneChainIsThePlainRunForTheSameSeed) {
    const Problem p;
    const driver::Arguments a = p.args(40, 30);
    for (std::int32_t seed : {0, 7}) {
        kestrumr_zbql0001 rec = random::load_time_record();
        if (seed != 0) random::fill_table(rec, random::seed_value(seed, rec.base));
        random::Stream st{&rec};
        hyper::BlockStore blocks;
        driver::CoreCallees core(blocks.blocks());
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
        EXPECT_GE(pooled.mcse[0], 0.0);  // one chain has errors too, from its own draws

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

class ChainsAtEveryStart : public ::testing::TestWithParam<analysis::StartMode> {};

TEST_P(ChainsAtEveryStart, TheThreadCountChangesNoBit) {
    const Problem p;
    const driver::Arguments a = p.args(30, 10);
    analysis::ChainSettings set;
    set.chains = 3;
    set.seed = 11;
    set.start = GetParam();
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

INSTANTIATE_TEST_SUITE_P(Chains, ChainsAtEveryStart,
                         ::testing::Values(analysis::StartMode::fixed, analysis::StartMode::data));

// Thread starts that fail (as std::thread's constructor does when the
// system has no thread to give) after `allowed` good ones.
int starts_allowed = 0;
void failing_start(analysis::detail::ThreadPool& pool, void (*body)(void*), void* context) {
    if (starts_allowed <= 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    --starts_allowed;
    analysis::detail::start_thread(pool, body, context);
}

// A run whose threads cannot all be started runs its chains on those it
// has, the calling thread among them: the same bits as the run that had
// every thread, and no exception.
TEST(Chains, AThreadThatCannotStartLeavesItsChainsToTheOthers) {
    const Problem p;
    const driver::Arguments a = p.args(10, 30);
    analysis::ChainSettings set;
    set.chains = 4;
    set.seed = 5;
    set.threads = 4;
    analysis::ChainsResult all;
    ASSERT_EQ(analysis::run_chains(a, set, all), analysis::ChainsStatus::ok);
    for (int allowed : {0, 1, 2}) {
        starts_allowed = allowed;
        analysis::detail::chain_thread_start = failing_start;
        analysis::ChainsResult some;
        analysis::ChainsStatus status = analysis::ChainsStatus::memory;
        EXPECT_NO_THROW(status = analysis::run_chains(a, set, some)) << allowed;
        analysis::detail::chain_thread_start = analysis::detail::start_thread;
        ASSERT_EQ(status, analysis::ChainsStatus::ok) << allowed;
        EXPECT_EQ(starts_allowed, 0) << allowed;
        for (std::size_t c = 0; c < 4; ++c) {
            EXPECT_TRUE(same_bits(all.out[c].prob, some.out[c].prob)) << allowed << ' ' << c;
            EXPECT_TRUE(same_bits(all.out[c].gmeanbar, some.out[c].gmeanbar)) << allowed << ' ' << c;
            EXPECT_TRUE(same_bits(all.rec[c].rate, some.rec[c].rate)) << allowed << ' ' << c;
            EXPECT_EQ(all.rec[c].contrasts, some.rec[c].contrasts) << allowed << ' ' << c;
        }
    }
}

// A calling thread slow to start its share (a loaded machine) still runs
// chain 1, so progress, and a host's answer to stop, reach it while the
// chains run, and it goes on hearing the others' progress until they end.
void slow_start(analysis::detail::ThreadPool& pool, void (*body)(void*), void* context) {
    analysis::detail::start_thread(pool, body, context);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TEST(Chains, TheCallingThreadRunsChainOneAndHearsTheRest) {
    const Problem p;
    const driver::Arguments a = p.args(10, 30);
    analysis::ChainSettings set;
    set.chains = 4;
    set.seed = 5;
    set.threads = 3;
    struct Seen {
        std::thread::id caller = std::this_thread::get_id();
        std::int64_t here = 0, last_here = 0;
        static void report(void* self, std::int64_t done, std::int64_t) {
            auto* s = static_cast<Seen*>(self);
            if (std::this_thread::get_id() != s->caller) return;
            ++s->here;
            s->last_here = done;
        }
    } seen;
    analysis::ChainProgress progress;
    progress.report = Seen::report;
    progress.context = &seen;
    analysis::ChainsResult r;
    analysis::detail::chain_thread_start = slow_start;
    const analysis::ChainsStatus status = analysis::run_chains(a, set, r, progress);
    analysis::detail::chain_thread_start = analysis::detail::start_thread;
    ASSERT_EQ(status, analysis::ChainsStatus::ok);
    EXPECT_GE(seen.here, 40);  // chain 1's iterations at least
    EXPECT_EQ(seen.last_here, 4 * 40);
}

TEST(Chains, ThinsTheStoredDrawsToABoundedNumber) {
    const Problem p(2);
    analysis::ChainSettings set;
    set.chains = 1;
    for (const auto& [keep, step, stored] : {std::tuple{250, 1u, 250u}, std::tuple{251, 2u, 125u},
                                             std::tuple{1000, 4u, 250u}}) {
        analysis::ChainsResult r;
        ASSERT_EQ(analysis::run_chains(p.args(keep, 0), set, r), analysis::ChainsStatus::ok);
        EXPECT_EQ(r.rec[0].step, step);
        EXPECT_EQ(r.rec[0].stored, stored);
        EXPECT_EQ(r.rec[0].contrasts.size(), 2u * 2u * stored);
        for (float x : r.rec[0].contrasts) EXPECT_TRUE(std::isfinite(x));
    }
}

// The memory plan of runs with many chains stays within the run's budget:
// the traces of all chains, then their stored draws (thinned further when
// needed), then the contrast stores of the chains running at once; a run
// whose stored draws cannot fit even thinned is refused.
TEST(Chains, OneMemoryPlanPerRunWithinTheBudget) {
    struct Case {
        std::int32_t L, J, burn, keep, chains, threads;
        bool fits, traced;
        std::size_t stored;  // 0: not checked (thinned to fit)
        bool stores;         // the chains running at once keep their stores
    };
    const Case cases[] = {
        // 16 chains whose traces of 2^24 entries each (150 MB a chain)
        // together are far beyond the budget: none is traced.
        {10, 4, (1 << 22) - 1000, 1000, 16, 16, true, false, 250, true},
        // A quarter of that length in one chain fits an eighth of the budget.
        {10, 4, 1 << 20, 1000, 1, 1, true, true, 250, true},
        // 1024 chains of 1000 rows: 250 stored draws each would take 2 GB.
        {1000, 3, 1000, 1000, 1024, 256, true, true, 0, false},
        // 1024 chains of 100000 rows: not even 100 stored draws fit.
        {100000, 3, 1000, 1000, 1024, 256, false, false, 0, false},
        // Four chains of 5000 rows side by side keep their 160 MB stores, as
        // four runs of one chain within the engine's budget would.
        {5000, 3, 1000, 1000, 4, 4, true, true, 250, true},
        // 64 of them at once have too small a share each: they replay.
        {5000, 3, 1000, 1000, 64, 64, true, true, 0, false},
        // A lone chain's 640 MB of stores would fit in the run's budget but
        // not in the engine's 256 MiB: it replays, as kestrum_ would.
        {20000, 3, 1000, 1000, 1, 1, true, true, 250, false},
    };
    for (const Case& c : cases) {
        std::vector<std::int32_t> nobs(static_cast<std::size_t>(c.J), 3);
        std::vector<double> effvar(static_cast<std::size_t>(c.J), 1.0);
        const double mvar[2] = {1.0, 1.0};
        driver::Arguments a;
        a.nrow = c.L;
        a.ngrp = c.J;
        a.nobs = nobs.data();
        a.ntot = 3 * c.J;
        a.nburn = c.burn;
        a.nkeep = c.keep;
        a.mvar = mvar;
        a.effvar = effvar.data();
        analysis::ChainSettings set;
        set.chains = c.chains;
        set.threads = c.threads;
        const analysis::MemoryPlan plan = analysis::plan_memory(a, set);
        const std::string what = std::to_string(c.L) + " rows, " + std::to_string(c.chains) + " chains";
        EXPECT_EQ(plan.budget, analysis::kChainsMemoryBudget) << what;
        ASSERT_EQ(plan.fits, c.fits) << what;
        if (!c.fits) continue;
        EXPECT_LE(plan.total(), plan.budget) << what;
        EXPECT_EQ(plan.traced, c.traced) << what;
        const auto T = static_cast<std::size_t>(c.burn + c.keep), C = static_cast<std::size_t>(c.chains);
        const auto L = static_cast<std::size_t>(c.L), J = static_cast<std::size_t>(c.J);
        EXPECT_EQ(plan.trace_bytes, c.traced ? 9 * C * T * J : 0) << what;
        EXPECT_GE(plan.stored, analysis::kMinStoredDraws) << what;
        EXPECT_LE(plan.stored, analysis::kMaxStoredDraws) << what;
        if (c.stored != 0) {
            EXPECT_EQ(plan.stored, c.stored) << what;
        }
        EXPECT_EQ(plan.stored, static_cast<std::size_t>(c.keep) / plan.step) << what;
        EXPECT_EQ(plan.draw_bytes, 4 * C * L * (J - 1) * plan.stored) << what;
        EXPECT_EQ(plan.at_once, std::min(c.threads, c.chains)) << what;
        const std::size_t one_store = 8 * L * static_cast<std::size_t>(c.keep) * 2 * (J - 1);
        EXPECT_EQ(plan.store_bytes, c.stores ? one_store * static_cast<std::size_t>(plan.at_once) : 0) << what;
        EXPECT_EQ(one_store <= plan.store_budget, c.stores) << what;
    }
}

// run_chains follows its plan: with a small budget the 16 chains keep no
// trace and store fewer draws, their outputs are the same bits (the stores
// gave way to the replay), and a budget too small for 100 stored draws a
// chain is refused before anything runs.
TEST(Chains, RunsFollowTheirMemoryPlan) {
    const Problem p(2);
    const driver::Arguments a = p.args(400, 10);
    analysis::ChainSettings set;
    set.chains = 16;
    set.threads = 2;
    set.seed = 3;
    analysis::ChainsResult roomy, tight;
    ASSERT_EQ(analysis::run_chains(a, set, roomy), analysis::ChainsStatus::ok);
    set.memory_budget = 40000;
    const analysis::MemoryPlan plan = analysis::plan_memory(a, set);
    ASSERT_TRUE(plan.fits);
    EXPECT_FALSE(plan.traced);
    EXPECT_EQ(plan.step, 3u);
    EXPECT_EQ(plan.stored, 133u);
    EXPECT_EQ(plan.store_bytes, 0u);
    ASSERT_EQ(analysis::run_chains(a, set, tight), analysis::ChainsStatus::ok);
    std::size_t bytes = 0;
    for (std::size_t c = 0; c < 16; ++c) {
        EXPECT_EQ(roomy.rec[c].rate.size(), 410u * 3);
        EXPECT_TRUE(tight.rec[c].rate.empty());
        EXPECT_EQ(tight.rec[c].stored, 133u);
        EXPECT_EQ(tight.rec[c].step, 3u);
        EXPECT_EQ(tight.rec[c].contrasts.size(), 2u * 2u * 133u);
        bytes += 9 * tight.rec[c].rate.size() + 4 * tight.rec[c].contrasts.size();
        EXPECT_TRUE(same_bits(roomy.out[c].prob, tight.out[c].prob)) << c;
        EXPECT_TRUE(same_bits(roomy.out[c].gvarbar, tight.out[c].gvarbar)) << c;
        // Every third kept draw where the roomy run stored every second.
        for (std::size_t s = 0; s < 133; ++s)
            if ((3 * (s + 1)) % 2 == 0) {
                EXPECT_EQ(tight.rec[c].contrasts[s], roomy.rec[c].contrasts[(3 * (s + 1)) / 2 - 1]) << c;
            }
    }
    EXPECT_LE(bytes, set.memory_budget);
    set.memory_budget = 25000;
    EXPECT_FALSE(analysis::plan_memory(a, set).fits);
    EXPECT_EQ(analysis::run_chains(a, set, tight), analysis::ChainsStatus::over_budget);
    EXPECT_TRUE(tight.out.empty());
}

// A chain's messages (here: its workspace cannot be had) reach the caller's
// message sink from whichever thread ran the chain, and the run says why
// it failed.
TEST(Chains, MessagesOfEveryChainGoToTheCallersSink) {
    // 1000 rows of 1000 groups of two, 2^31 - 1 kept draws.
    test::Problem p(1000, std::vector<std::int32_t>(1000, 2), 1.0);
    p.y.assign(p.y.size(), 1.0);
    const driver::Arguments a = p.args(2147483647, 0);
    std::vector<std::string> lines;
    ScopedMessageSink sink({[](void* c, const char* t) { static_cast<std::vector<std::string>*>(c)->push_back(t); },
                            &lines});
    analysis::ChainSettings set;
    set.chains = 2;
    set.threads = 2;
    analysis::ChainsResult r;
    EXPECT_EQ(analysis::run_chains(a, set, r), analysis::ChainsStatus::memory);
    // Each chain's message whole: the chains' lines never interleave.
    ASSERT_GE(lines.size(), 4u);
    ASSERT_EQ(lines.size() % 4, 0u);
    for (std::size_t k = 0; k < lines.size(); k += 4)
        EXPECT_EQ(lines[k + 1], "     ****ERROR**** Not enough memory for the workspace in  KESTRUM") << k;
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

// The Monte-Carlo error of a frequency counts the draws' autocorrelation:
// one chain of one row, two groups, whose stored contrasts are independent
// or AR(1) with rho = 0.95 (the mean test's indicator then far less
// correlated, but still), at the same frequency.
TEST(Chains, MonteCarloErrorsGrowWithTheDrawsAutocorrelation) {
    auto mcse = [](double rho) {
        analysis::ChainsResult r;
        r.out.resize(1);
        r.rec.resize(1);
        r.out[0].prob = {0.05};
        r.out[0].pmeanbar = {0.0};
        r.out[0].pvarbar = {1.0};
        r.out[0].gmeanbar = {1.0, 1.0};
        r.out[0].gvarbar = {2.0, 2.0};
        r.out[0].pjoint = {0.05};
        r.rec[0].J = 2;
        r.rec[0].stored = 8000;
        kestrumr_zbql0001 rec = random::load_time_record();
        random::Stream st{&rec};
        double v = st.normal(0.0, 1.0);
        for (int s = 0; s < 8000; ++s) {
            v = rho * v + std::sqrt(1.0 - rho * rho) * st.normal(0.0, 1.0);
            r.rec[0].contrasts.push_back(static_cast<float>(v));
        }
        analysis::Pooled p;
        analysis::pool_chains(r, 1, 2, p);
        return p.mcse[0];
    };
    const double iid = mcse(0.0), ar = mcse(0.95);
    // sqrt(0.05 * 0.95 / 8000) with every draw counted.
    EXPECT_NEAR(iid, std::sqrt(0.05 * 0.95 / 8000.0), 0.2 * iid);
    EXPECT_GT(ar, 2.0 * iid);
}

// The progress total counts every iteration of every chain, also when the
// burn-in and the kept iterations together pass the int32 range.
TEST(Chains, ProgressTotalOfTheLongestRuns) {
    const Problem p(1);
    const driver::Arguments a = p.args(2147483647, 1);
    analysis::ChainSettings set;
    set.chains = 2;
    struct Seen {
        std::int64_t total = 0;
        static void report(void* self, std::int64_t, std::int64_t total) {
            static_cast<Seen*>(self)->total = total;
        }
        static bool stop(void*) { return true; }
    } seen;
    analysis::ChainProgress progress;
    progress.report = Seen::report;
    progress.stop = Seen::stop;
    progress.context = &seen;
    analysis::ChainsResult r;
    EXPECT_EQ(analysis::run_chains(a, set, r, progress), analysis::ChainsStatus::cancelled);
    EXPECT_EQ(seen.total, 2 * (std::int64_t{1} << 31));
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

// The recording callees let the engine sweep rows in SIMD lanes (from the
// second iteration on when the start is shifted): the stored contrasts,
// the running sums of the scores, the rate traces and the outputs are
// those of one row at a time, also when only the sums are recorded.
TEST(Chains, RecordsAreTheSameWithTheRowsInLanes) {
    const std::int32_t L = 13;  // lane groups and rows left over
    const Problem p(L);
    const std::int32_t K = 12, B = 6, T = K + B;
    const driver::Arguments a = p.args(K, B);
    struct Outcome {
        analysis::ChainRecord rec;
        std::vector<double> out;
    };
    auto run = [&](int lanes, bool shift, bool store) {
        Outcome o;
        o.rec.J = 3;
        o.rec.T = T;
        o.rec.B = B;
        o.rec.stored = store ? K : 0;
        o.rec.moments.assign(static_cast<std::size_t>(L) * analysis::contrast_moment_stride(3), 0.0);
        o.rec.rate.assign(static_cast<std::size_t>(3 * T), 0.0);
        o.rec.accepted.assign(static_cast<std::size_t>(3 * T), 0);
        o.rec.contrasts.assign(store ? static_cast<std::size_t>(L * 2 * K) : 0, 0.0f);
        kestrumr_zbql0001 rec = random::load_time_record();
        random::Stream st{&rec};
        hyper::BlockStore blocks;
        analysis::RecordingCallees c(blocks.blocks());
        c.rec = &o.rec;
        c.L = L;
        if (shift) c.start_shift = {1.0, -2.0, 0.5};
        driver::EngineOptions opt;
        opt.lanes = lanes;
        std::vector<double> prob(L * 2), pm(L), pv(L), gm(L * 3), gv(L * 3);
        EXPECT_TRUE(driver::estimate(st, c, a, {prob.data(), pm.data(), pv.data(), gm.data(), gv.data()},
                                     {}, driver::allocate_block, opt));
        for (const auto* v : {&prob, &pm, &pv, &gm, &gv}) o.out.insert(o.out.end(), v->begin(), v->end());
        return o;
    };
    for (const auto& [shift, store] : {std::pair{false, true}, {true, true}, {false, false}}) {
        const Outcome one = run(1, shift, store), lanes = run(0, shift, store);
        EXPECT_TRUE(same_bits(one.out, lanes.out)) << shift << store;
        EXPECT_TRUE(same_bits(one.rec.rate, lanes.rec.rate)) << shift << store;
        EXPECT_TRUE(same_bits(one.rec.moments, lanes.rec.moments)) << shift << store;
        EXPECT_NE(one.rec.moments.back(), 0.0) << shift << store;
        ASSERT_EQ(one.rec.contrasts.size(), lanes.rec.contrasts.size());
        if (!store) continue;
        EXPECT_EQ(std::memcmp(one.rec.contrasts.data(), lanes.rec.contrasts.data(),
                              one.rec.contrasts.size() * sizeof(float)), 0) << shift;
        EXPECT_NE(one.rec.contrasts[0], 0.0f) << shift;
    }
}

// The running sums of the scores are those of add_contrast_moments over
// every kept draw's group means and variances (kept draw k being the final
// state of a run of B + k burn-in iterations and one kept), whether the
// rows are swept in lanes or one at a time, and with more groups than the
// lanes take.
TEST(Chains, RunningSumsAreThoseOfEveryKeptDraw) {
    const std::int32_t L = 5, K = 6, B = 3;  // a lane group and a row left over
    for (const std::int32_t J : {3, 9}) {
        test::Problem p(L, std::vector<std::int32_t>(static_cast<std::size_t>(J), 2), 10000.0);
        kestrumr_zbql0001 data = random::load_time_record();
        random::Stream ds{&data};
        for (double& x : p.y) x = ds.normal(0.0, 1.0);
        const std::size_t n = static_cast<std::size_t>(L), stride = analysis::contrast_moment_stride(J);
        std::vector<double> prob(n * static_cast<std::size_t>(J - 1)), pm(n), pv(n), gm(n * J), gv(n * J);
        const driver::Outputs out{prob.data(), pm.data(), pv.data(), gm.data(), gv.data()};
        std::vector<double> want(n * stride, 0.0), m(static_cast<std::size_t>(J)), v(m.size());
        for (std::int32_t k = 0; k < K; ++k) {
            kestrumr_zbql0001 rec = random::load_time_record();
            random::Stream st{&rec};
            hyper::BlockStore blocks;
            driver::CoreCallees core(blocks.blocks());
            ASSERT_TRUE(driver::estimate(st, core, p.args(1, B + k), out));
            for (std::size_t g = 0; g < n; ++g) {
                for (std::size_t j = 0; j < m.size(); ++j) {
                    m[j] = gm[g + j * n];
                    v[j] = gv[g + j * n];
                }
                analysis::add_contrast_moments(want.data() + g * stride, m.data(), v.data(), J, k == 0);
            }
        }
        for (const int lanes : {0, 1}) {
            analysis::ChainRecord r;
            r.J = J;
            r.B = B;
            r.T = B + K;
            r.moments.assign(n * stride, 0.0);
            kestrumr_zbql0001 rec = random::load_time_record();
            random::Stream st{&rec};
            hyper::BlockStore blocks;
            analysis::RecordingCallees c(blocks.blocks());
            c.rec = &r;
            c.L = L;
            driver::EngineOptions opt;
            opt.lanes = lanes;
            ASSERT_TRUE(driver::estimate(st, c, p.args(K, B), out, {}, driver::allocate_block, opt));
            EXPECT_TRUE(same_bits(r.moments, want)) << J << " " << lanes;
        }
    }
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

TEST(Scale, OnlyThePriorsInTheDataUnitsAreConverted) {
    // The analysis converts the priors its caller gave, one by one; the
    // session all of them or none.
    analysis::Priors p;
    p.hrate = 8.0;
    p.mvar[0] = 400.0;
    p.mvar[1] = 40.0;
    p.effvar = {4.0};
    struct Case {
        analysis::DataUnitPriors which;
        double hrate, mvar0, mvar1, effvar;
    };
    const Case cases[] = {{{true, false, false}, 2.0, 400.0, 40.0, 4.0},
                          {{false, true, false}, 8.0, 100.0, 10.0, 4.0},
                          {{false, false, true}, 8.0, 400.0, 40.0, 1.0},
                          {{false, false, false}, 8.0, 400.0, 40.0, 4.0}};
    for (const Case& c : cases) {
        const analysis::Priors q = analysis::priors_to_standard(p, 2.0, c.which);
        EXPECT_EQ(q.hrate, c.hrate);
        EXPECT_EQ(q.mvar[0], c.mvar0);
        EXPECT_EQ(q.mvar[1], c.mvar1);
        EXPECT_EQ(q.effvar, std::vector<double>{c.effvar});
    }
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
