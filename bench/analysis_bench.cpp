// Speed of the analysis around a run:
//
//   PlainRun          one run of driver::estimate with the plain callees,
//                     L = 1000 rows, 3 groups of 4, B = 20, K = 30
//   Chains/C          C chains of that run on 2 threads (Chains/1 against
//                     PlainRun: the cost of recording the rate trace and
//                     the stored contrasts)
//   ChainsScored/C    the same with the running sums of the evidence
//                     scores (ChainSettings::contrast_moments), as the
//                     analysis runs its chains
//   Pool/K            pool_chains over 4 chains of L = 1000 rows with K
//                     kept draws each (K <= 250: all stored), per row:
//                     means, standard errors, quantiles and R-hat
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "analysis/chains.h"
#include "driver/callees.h"
#include "driver/estimate.h"
#include "random/stream.h"
#include "support/problem.h"

namespace {

using namespace kestrum;

constexpr std::int32_t kRows = 1000, kGroups = 3;

// kRows rows of three groups of four observations drawn from N(8, 0.5^2).
struct Problem : test::Problem {
    Problem() : test::Problem(kRows, {4, 4, 4}, 10000.0) {
        random::Record rec = random::load_time_record();
        random::Stream st{&rec};
        for (double& x : y) x = st.normal(8.0, 0.5);
    }
};

void PlainRun(benchmark::State& state) {
    const Problem p;
    const driver::Arguments a = p.args(30, 20);
    std::vector<double> prob(2 * kRows), pm(kRows), pv(kRows), gm(3 * kRows), gv(3 * kRows);
    for (auto _ : state) {
        random::Record rec = random::load_time_record();
        random::Stream st{&rec};
        hyper::BlockStore blocks;
        driver::CoreCallees callees(blocks.blocks());
        benchmark::DoNotOptimize(
            driver::estimate(st, callees, a, {prob.data(), pm.data(), pv.data(), gm.data(), gv.data()}));
    }
}
BENCHMARK(PlainRun)->Unit(benchmark::kMillisecond);

// C chains of the run on 2 threads, with or without the score's running
// sums.
void run_chains_of(benchmark::State& state, bool scored) {
    const Problem p;
    const driver::Arguments a = p.args(30, 20);
    analysis::ChainSettings set;
    set.chains = static_cast<std::int32_t>(state.range(0));
    set.threads = 2;
    set.contrast_moments = scored;
    for (auto _ : state) {
        analysis::ChainsResult r;
        benchmark::DoNotOptimize(analysis::run_chains(a, set, r));
    }
}

void Chains(benchmark::State& state) { run_chains_of(state, false); }
BENCHMARK(Chains)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

void ChainsScored(benchmark::State& state) { run_chains_of(state, true); }
BENCHMARK(ChainsScored)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

void Pool(benchmark::State& state) {
    const Problem p;
    const auto keep = static_cast<std::int32_t>(state.range(0));
    analysis::ChainSettings set;
    set.chains = 4;
    set.threads = 2;
    analysis::ChainsResult r;
    analysis::run_chains(p.args(keep, 0), set, r);
    for (auto _ : state) {
        analysis::Pooled pooled;
        analysis::pool_chains(r, kRows, kGroups, pooled);
        benchmark::DoNotOptimize(pooled.rhat.data());
    }
    state.counters["per_row"] =
        benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}
BENCHMARK(Pool)->Arg(100)->Arg(250)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
