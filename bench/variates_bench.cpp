// Time per variate of the generator and of the variates built on it, on a
// private stream from the load-time table (so every run draws the same
// values):
//
//   Uniform/single        uniform(), one call per variate
//   Uniform/block/<n>     uniforms() in blocks of n
//   Steps/single          step(), one word per call
//   Steps/block/<n>       steps() in blocks of n
//   Normal                normal(0, 1) (half the calls draw a pair)
//   Gamma/<shape x 100>   gamma_core(shape, 1): 0.5 (GS), 1.5, 3, 4, 6, 7, 8
//                         (ratio of uniforms; 4 is a group of 4 under the
//                         default prior shape, 6 and 8 pooled rows of 8 and
//                         12), 20 (GKM3)
//
// The counter "per_draw" is the time per variate.  The machine may be
// loaded: compare rows of one run, repeated, e.g.
//   build/bench/bench_variates --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kestrumr.h"
#include "random/stream.h"

namespace {

using kestrum::random::Record;
using kestrum::random::Stream;

struct Private {
    Record rec = kestrum::random::load_time_record();
    Stream s{&rec};
};

void per_draw(benchmark::State& state, int64_t per_iteration) {
    state.SetItemsProcessed(state.iterations() * per_iteration);
    state.counters["per_draw"] = benchmark::Counter(
        static_cast<double>(state.iterations() * per_iteration),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_UniformSingle(benchmark::State& state) {
    Private p;
    for (auto _ : state) benchmark::DoNotOptimize(p.s.uniform());
    per_draw(state, 1);
}
BENCHMARK(BM_UniformSingle)->Name("Uniform/single");

void BM_UniformBlock(benchmark::State& state) {
    Private p;
    const auto n = static_cast<int32_t>(state.range(0));
    std::vector<double> out(static_cast<std::size_t>(n));
    for (auto _ : state) {
        p.s.uniforms(out.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    per_draw(state, n);
}
BENCHMARK(BM_UniformBlock)->Name("Uniform/block")->Arg(2)->Arg(22)->Arg(64)->Arg(1024);

void BM_StepsSingle(benchmark::State& state) {
    Private p;
    for (auto _ : state) benchmark::DoNotOptimize(p.s.step());
    per_draw(state, 1);
}
BENCHMARK(BM_StepsSingle)->Name("Steps/single");

void BM_StepsBlock(benchmark::State& state) {
    Private p;
    const auto n = static_cast<int32_t>(state.range(0));
    std::vector<double> out(static_cast<std::size_t>(n));
    for (auto _ : state) {
        p.s.steps(out.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    per_draw(state, n);
}
BENCHMARK(BM_StepsBlock)->Name("Steps/block")->Arg(22)->Arg(1024);

void BM_Normal(benchmark::State& state) {
    Private p;
    for (auto _ : state) benchmark::DoNotOptimize(p.s.normal(0.0, 1.0));
    per_draw(state, 1);
}
BENCHMARK(BM_Normal)->Name("Normal");

void BM_Gamma(benchmark::State& state) {
    Private p;
    const double shape = static_cast<double>(state.range(0)) / 100.0;
    for (auto _ : state) benchmark::DoNotOptimize(p.s.gamma_core(shape, 1.0));
    per_draw(state, 1);
}
// The same with the uniforms made in blocks ahead of use, as the sampler
// draws them.
void BM_GammaAhead(benchmark::State& state) {
    Private p;
    p.s.ahead_begin();
    const double shape = static_cast<double>(state.range(0)) / 100.0;
    for (auto _ : state) benchmark::DoNotOptimize(p.s.gamma_core(shape, 1.0));
    p.s.ahead_end();
    per_draw(state, 1);
}
BENCHMARK(BM_GammaAhead)->Name("GammaAhead")->Arg(300)->Arg(3400)->Arg(6600);

BENCHMARK(BM_Gamma)->Name("Gamma")->Arg(50)->Arg(150)->Arg(300)->Arg(400)->Arg(600)->Arg(700)->Arg(800)->Arg(2000)->Arg(3400)->Arg(6600);

}  // namespace

BENCHMARK_MAIN();
