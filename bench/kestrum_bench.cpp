// Speed of the sampler and of its parts, and the peak memory of one run.
//
//   Kestrum/J/T      one whole estimation, L = 1000 rows, J groups of 4
//                    observations, pooled on, B = 20, K = 30, T threads;
//                    the counter "per_row_iter" is the wall-clock time per
//                    row and iteration (real time: with threads the CPU
//                    time of the calling thread alone says nothing)
//   KestrumReplay/J/T  the same with the contrast stores refused, so the
//                    kept iterations are run twice (per_row_iter still
//                    divides by L (B + K))
//   RowSweep/J       one conditional sweep of one row (core form, scratch
//                    from the caller)
//   RateUpdate       one rate update of one group (mode search, curvature,
//                    ten Metropolis-Hastings trials)
//   RowVariates/J    the floor: one row's variates alone, J gamma variates
//                    of the row's shapes and J standard normals
//   RowVariatesPooled/J  the same with the pooled row's gamma (shape
//                    0.5 N + 2) and normal: every variate of one row sweep
//   KestrumLong/J/T  one estimation of the size the speed targets are set
//                    for: L = 10000 rows, J groups of 4, pooled, B = 100,
//                    K = 400, T threads; "per_row_iter" is wall-clock time
//                    per row and iteration, "cpu_per_row_iter" the
//                    process's CPU time per row and iteration (all threads;
//                    with one thread the figure to compare on a loaded
//                    machine).  Select it with --benchmark_filter=KestrumLong
//                    (a few seconds per run)
//   KestrumThreadRatio/J  KestrumLong at one thread and at two, in 5
//                    pairs run back to back: the medians of both and of
//                    their ratio (speedup), with the smallest and largest
//                    ratio.  Select it with
//                    --benchmark_filter=KestrumThreadRatio (about 10 s for
//                    each J)
//   KestrumLanes/J/W KestrumLong on one thread with the rows swept W at a
//                    time in SIMD lanes (1: one row at a time; 2: SSE2;
//                    4: AVX2 where the processor has it, else 2): the
//                    lanes' gain side by side in one run.  Select it with
//                    --benchmark_filter=KestrumLanes
//
// Before the timings, the peak resident memory of runs with L = 1000,
// J = 3, K = 2000: first one that replays, then one with the contrast
// stores (2(J - 1)LK doubles), each printed beside its workspace block.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "driver/callees.h"
#include "driver/estimate.h"
#include "hyper/update.h"
#include "kestrumr.h"
#include "posterior/sweep.h"
#include "random/stream.h"
#include "support/problem.h"

namespace {

// A private stream over a copy of the built-in generator record.
struct PrivateStream {
    kestrum::random::Record rec;
    kestrum::random::Stream s;
    PrivateStream() : rec(*kestrum::random::process_stream().rec), s(kestrum::random::process_stream()) {
        s.rec = &rec;
    }
};

// L rows of J groups of per_group observations drawn from N(8, 0.5^2),
// pooled on.
struct Data : kestrum::test::Problem {
    std::vector<double> prob, pm, pv, gm, gv;
    Data(std::int32_t rows, std::int32_t groups, std::int32_t per_group)
        : Problem(rows, std::vector<std::int32_t>(groups, per_group), 10000.0),
          prob(static_cast<std::size_t>(rows) * groups), pm(rows), pv(rows),
          gm(static_cast<std::size_t>(rows) * groups), gv(static_cast<std::size_t>(rows) * groups) {
        effvar.assign(groups, 10000.0);
        PrivateStream ps;
        for (double& v : y) v = ps.s.normal(8.0, 0.5);
    }
    kestrum::driver::Arguments args(std::int32_t K, std::int32_t B) const {
        return Problem::args(K, B, 1);
    }
    kestrum::driver::Outputs outputs() {
        kestrum::driver::Outputs o;
        o.prob = prob.data();
        o.pmeanbar = pm.data();
        o.pvarbar = pv.data();
        o.gmeanbar = gm.data();
        o.gvarbar = gv.data();
        return o;
    }
};

void run_kestrum(benchmark::State& state, std::size_t budget) {
    const auto J = static_cast<std::int32_t>(state.range(0));
    const std::int32_t L = 1000, K = 30, B = 20;
    Data d(L, J, 4);
    PrivateStream ps;
    kestrum::driver::CoreCallees c(kestrum::hyper::process_blocks());
    kestrum::driver::EngineOptions opt;
    opt.threads = static_cast<int>(state.range(1));
    opt.store_budget = budget;
    for (auto _ : state) {
        kestrum::driver::estimate(ps.s, c, d.args(K, B), d.outputs(), {},
                                  kestrum::driver::allocate_block, opt);
        benchmark::DoNotOptimize(d.gm.data());
    }
    state.counters["per_row_iter"] = benchmark::Counter(
        static_cast<double>(L) * (K + B),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Kestrum(benchmark::State& state) { run_kestrum(state, SIZE_MAX); }
BENCHMARK(Kestrum)
    ->ArgsProduct({{2, 3, 5}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void KestrumReplay(benchmark::State& state) { run_kestrum(state, 0); }
BENCHMARK(KestrumReplay)
    ->ArgsProduct({{3}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void RowSweep(benchmark::State& state) {
    const auto J = static_cast<std::int32_t>(state.range(0));
    const std::int32_t ipool = 1, N = 4 * J;
    std::vector<std::int32_t> nobs(J, 4);
    std::vector<double> vshape(J, 2.0), vrate(J, 2.0), effvar(J, 10000.0), mvar{10000.0, 10000.0};
    std::vector<double> ybar(J), s2(J, 0.25), gmean(J, 8.0), gvar(J, 0.25);
    for (std::int32_t j = 0; j < J; ++j) ybar[j] = 8.0 + 0.1 * j;
    const double pshape = 2.0, prate = 2.0, ybar0 = 8.0, s20 = 0.3;
    double pmean = 8.0, pvar = 0.3;
    std::vector<double> scratch(kestrum::posterior::sweep_scratch_size(J) + 1);
    PrivateStream ps;
    for (auto _ : state) {
        kestrum::posterior::row_sweep(ps.s, J, ipool, &N, nobs.data(), vshape.data(), vrate.data(),
                                      &pshape, &prate, effvar.data(), mvar.data(), ybar.data(),
                                      s2.data(), &ybar0, &s20, gmean.data(), gvar.data(), &pmean,
                                      &pvar, scratch.data());
        benchmark::DoNotOptimize(gmean.data());
    }
}
BENCHMARK(RowSweep)->Arg(2)->Arg(3)->Arg(5);

void RateUpdate(benchmark::State& state) {
    PrivateStream ps;
    double rate = 2.0;
    for (auto _ : state) {
        // One group of a run with 1000 rows, 3 groups, variances near 0.25.
        kestrum::hyper::update_rate(ps.s, kestrum::hyper::process_blocks(), 4000.0, 1.0, 2.0, 1.0, 1.0, 1000, 3, 1.0, &rate);
        benchmark::DoNotOptimize(rate);
    }
}
BENCHMARK(RateUpdate);

void RowVariates(benchmark::State& state) {
    const auto J = static_cast<std::int32_t>(state.range(0));
    PrivateStream ps;
    const double shape = 0.5 * 4 + 2.0;  // 0.5 n_j + a_j
    for (auto _ : state) {
        double sum = 0.0;
        for (std::int32_t j = 0; j < J; ++j) sum += ps.s.gamma_core(shape, 1.0);
        for (std::int32_t j = 0; j < J; ++j) sum += ps.s.normal(0.0, 1.0);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(RowVariates)->Arg(2)->Arg(3)->Arg(5);

void RowVariatesPooled(benchmark::State& state) {
    const auto J = static_cast<std::int32_t>(state.range(0));
    PrivateStream ps;
    const double shape = 0.5 * 4 + 2.0;
    const double shape0 = 0.5 * (4 * J) + 2.0;
    for (auto _ : state) {
        double sum = 0.0;
        for (std::int32_t j = 0; j < J; ++j) sum += ps.s.gamma(shape, 1.0);
        sum += ps.s.gamma(shape0, 1.0);
        for (std::int32_t j = 0; j <= J; ++j) sum += ps.s.normal(0.0, 1.0);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(RowVariatesPooled)->Arg(2)->Arg(3)->Arg(5);

// CPU time of the whole process (every thread), in seconds.
double process_cpu_seconds() {
    return static_cast<double>(std::clock()) / static_cast<double>(CLOCKS_PER_SEC);
}

// The shape the speed targets are set for: L = 10 000 rows of J groups of
// 4, B = 100, K = 400.
constexpr std::int32_t kLongRows = 10000, kLongKept = 400, kLongBurn = 100;
constexpr double kLongCells = static_cast<double>(kLongRows) * (kLongKept + kLongBurn);

// One estimation of that shape on d, from the built-in generator state.
void estimate_long(Data& d, int threads, int lanes) {
    kestrum::driver::CoreCallees c(kestrum::hyper::process_blocks());
    kestrum::driver::EngineOptions opt;
    opt.threads = threads;
    opt.lanes = lanes;
    PrivateStream ps;
    kestrum::driver::estimate(ps.s, c, d.args(kLongKept, kLongBurn), d.outputs(), {},
                              kestrum::driver::allocate_block, opt);
    benchmark::DoNotOptimize(d.gm.data());
}

void run_long(benchmark::State& state, int threads, int lanes) {
    Data d(kLongRows, static_cast<std::int32_t>(state.range(0)), 4);
    double cpu = 0.0;
    for (auto _ : state) {
        const double t0 = process_cpu_seconds();
        estimate_long(d, threads, lanes);
        cpu += process_cpu_seconds() - t0;
    }
    state.counters["per_row_iter"] = benchmark::Counter(
        kLongCells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["cpu_per_row_iter"] =
        cpu / (static_cast<double>(state.iterations()) * kLongCells) * 1e9;  // ns
}

void KestrumLong(benchmark::State& state) { run_long(state, static_cast<int>(state.range(1)), 0); }
void KestrumLanes(benchmark::State& state) { run_long(state, 1, static_cast<int>(state.range(1))); }
BENCHMARK(KestrumLanes)
    ->ArgsProduct({{2, 3, 5}, {1, 2, 4}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(KestrumLong)
    ->ArgsProduct({{2, 3, 5}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// One thread against two on the KestrumLong shape, in pairs run back to
// back (the order alternating), so that both runs of a pair meet the same
// load: on a shared machine the speed of the cores drifts by a third and
// more from one minute to the next, and the ratio of runs taken minutes
// apart says little.  Counters: the median over the pairs of one_thread and
// two_threads (wall-clock ns per row and iteration) and of their ratio
// (speedup), and the smallest and largest ratio.
double long_run_seconds(Data& d, int threads) {
    const auto t0 = std::chrono::steady_clock::now();
    estimate_long(d, threads, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

void KestrumThreadRatio(benchmark::State& state) {
    const auto J = static_cast<std::int32_t>(state.range(0));
    constexpr int kPairs = 5;
    Data d(kLongRows, J, 4);
    std::vector<double> one, two, ratio;
    for (auto _ : state) {
        for (int p = 0; p < kPairs; ++p) {
            double t1, t2;
            if (p % 2 == 0) {
                t1 = long_run_seconds(d, 1);
                t2 = long_run_seconds(d, 2);
            } else {
                t2 = long_run_seconds(d, 2);
                t1 = long_run_seconds(d, 1);
            }
            one.push_back(t1 / kLongCells * 1e9);
            two.push_back(t2 / kLongCells * 1e9);
            ratio.push_back(t1 / t2);
        }
    }
    state.counters["one_thread"] = median(one);
    state.counters["two_threads"] = median(two);
    state.counters["speedup"] = median(ratio);
    state.counters["speedup_min"] = *std::min_element(ratio.begin(), ratio.end());
    state.counters["speedup_max"] = *std::max_element(ratio.begin(), ratio.end());
}
BENCHMARK(KestrumThreadRatio)->Arg(2)->Arg(3)->Arg(5)->Unit(benchmark::kSecond)->Iterations(1);

// The uniform on its own (1000 per iteration) and gamma variates of the
// three methods (1000 each per iteration): the cost of the zero-word and
// rejection-count bookkeeping.
void Uniforms(benchmark::State& state) {
    PrivateStream ps;
    for (auto _ : state) {
        double sum = 0.0;
        for (int i = 0; i < 1000; ++i) sum += ps.s.uniform();
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(Uniforms);

void GammaMethods(benchmark::State& state) {
    PrivateStream ps;
    const double shape = state.range(0) / 10.0;
    for (auto _ : state) {
        double sum = 0.0;
        for (int i = 0; i < 1000; ++i) sum += ps.s.gamma_core(shape, 1.0);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(GammaMethods)->Arg(5)->Arg(30)->Arg(200);

long peak_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;  // KiB on Linux
}

// The workspace block the engine plans for a run in the given mode.
double planned_mib(const Data& d, std::int32_t K, std::int32_t B, kestrum::driver::SecondPass mode) {
    kestrum::driver::Run r = kestrum::driver::make_run(d.args(K, B));
    kestrum::driver::Bounded b;
    b.mode = mode;
    b.sweep_doubles = kestrum::driver::CoreCallees::sweep_scratch_size(d.J);
    kestrum::driver::Arena plan;
    kestrum::driver::carve_engine(plan, r, b);
    return static_cast<double>(plan.used()) * 8.0 / 1048576.0;
}

void report_memory() {
    const std::int32_t L = 1000, J = 3, K = 2000, B = 10;
    Data d(L, J, 4);
    kestrum::driver::CoreCallees c(kestrum::hyper::process_blocks());
    for (std::size_t budget : {std::size_t{0}, SIZE_MAX}) {
        PrivateStream ps;
        kestrum::driver::EngineOptions opt;
        opt.store_budget = budget;
        const long before = peak_kib();
        kestrum::driver::estimate(ps.s, c, d.args(K, B), d.outputs(), {},
                                  kestrum::driver::allocate_block, opt);
        const long after = peak_kib();
        const bool replay = budget == 0;
        const double stores = 2.0 * (J - 1) * L * K * 8.0 / 1048576.0;
        std::printf("peak memory of a run (L = %d, J = %d, K = %d, %s): %.1f MiB above the "
                    "process before it; workspace block %.2f MiB",
                    L, J, K, replay ? "replay" : "contrast stores",
                    static_cast<double>(after - before) / 1024.0,
                    planned_mib(d, K, B,
                                replay ? kestrum::driver::SecondPass::replay
                                       : kestrum::driver::SecondPass::stores));
        if (replay) std::printf("\n");
        else std::printf(", of which the stores, 2(J - 1)LK doubles, %.1f MiB\n", stores);
    }
}

}  // namespace

int main(int argc, char** argv) {
    report_memory();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
