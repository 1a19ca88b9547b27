// Speed of the analysis around a run:
//
//   PlainRun          one run of driver::estimate with the plain callees,
//                     L = 1000 rows, 3 groups of 4, B = 20, K = 30
//   Chains/C          C chains of that run on 2 threads (Chains/1 against
//                     PlainRun: the cost of recording the rate trace and
//                     the stored contrasts)
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

namespace {

using namespace kestrum;

struct Problem {
    static constexpr std::int32_t L = 1000, J = 3, N = 12;
    std::int32_t nobs[3] = {4, 4, 4};
    std::vector<double> y;
    double mvar[2] = {10000.0, 10000.0}, effvar[2] = {10000.0, 10000.0};
    std::int32_t reserved = 0;
    Problem() : y(static_cast<std::size_t>(L) * N) {
        random::Record rec = random::load_time_record();
        random::Stream st{&rec};
        for (double& x : y) x = st.normal(8.0, 0.5);
    }
    driver::Arguments args(std::int32_t burn, std::int32_t keep) const {
        driver::Arguments a;
        a.reserved = &reserved;
        a.nrow = L;
        a.ngrp = J;
        a.nobs = nobs;
        a.ntot = N;
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

void PlainRun(benchmark::State& state) {
    const Problem p;
    const driver::Arguments a = p.args(20, 30);
    std::vector<double> prob(2 * Problem::L), pm(Problem::L), pv(Problem::L), gm(3 * Problem::L),
        gv(3 * Problem::L);
    for (auto _ : state) {
        random::Record rec = random::load_time_record();
        random::Stream st{&rec};
        hyper::BlockStore blocks;
        driver::CoreCallees callees;
        callees.blocks = blocks.blocks();
        benchmark::DoNotOptimize(
            driver::estimate(st, callees, a, {prob.data(), pm.data(), pv.data(), gm.data(), gv.data()}));
    }
}
BENCHMARK(PlainRun)->Unit(benchmark::kMillisecond);

void Chains(benchmark::State& state) {
    const Problem p;
    const driver::Arguments a = p.args(20, 30);
    analysis::ChainSettings set;
    set.chains = static_cast<std::int32_t>(state.range(0));
    set.threads = 2;
    for (auto _ : state) {
        analysis::ChainsResult r;
        benchmark::DoNotOptimize(analysis::run_chains(a, set, r));
    }
}
BENCHMARK(Chains)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

void Pool(benchmark::State& state) {
    const Problem p;
    const auto keep = static_cast<std::int32_t>(state.range(0));
    analysis::ChainSettings set;
    set.chains = 4;
    set.threads = 2;
    analysis::ChainsResult r;
    analysis::run_chains(p.args(0, keep), set, r);
    for (auto _ : state) {
        analysis::Pooled pooled;
        analysis::pool_chains(r, Problem::L, Problem::J, pooled);
        benchmark::DoNotOptimize(pooled.rhat.data());
    }
    state.counters["per_row"] =
        benchmark::Counter(static_cast<double>(Problem::L), benchmark::Counter::kIsIterationInvariantRate |
                                                              benchmark::Counter::kInvert);
}
BENCHMARK(Pool)->Arg(100)->Arg(250)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
