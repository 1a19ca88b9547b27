// Speed of the sampler and of its parts, and the peak memory of one run.
//
//   Kestrum/J        one whole estimation, L = 1000 rows, J groups of 4
//                    observations, pooled on, B = 20, K = 30; the counter
//                    "per_row_iter" is the time per row and iteration
//   RowSweep/J       one conditional sweep of one row (core form, scratch
//                    from the caller)
//   RateUpdate       one rate update of one group (mode search, curvature,
//                    ten Metropolis-Hastings trials)
//   RowVariates/J    the floor: one row's variates alone, J gamma variates
//                    of the row's shapes and J standard normals
//
// Before the timings, the peak resident memory of one kestrum_ run with
// L = 1000, J = 3, K = 2000 is printed beside the size of its kept-draw
// stores, 2LJK + 2LK doubles.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "driver/callees.h"
#include "driver/estimate.h"
#include "hyper/update.h"
#include "kestrumr.h"
#include "posterior/sweep.h"
#include "random/stream.h"

namespace {

// A private stream over a copy of the built-in generator record.
struct PrivateStream {
    kestrum::random::Record rec;
    kestrum::random::Stream s;
    PrivateStream() : rec(*kestrum::random::process_stream().rec), s(kestrum::random::process_stream()) {
        s.rec = &rec;
    }
};

struct Data {
    std::int32_t L, J, N;
    std::vector<std::int32_t> nobs;
    std::vector<double> y, mvar{10000.0, 10000.0}, effvar;
    std::vector<double> prob, pm, pv, gm, gv;
    Data(std::int32_t rows, std::int32_t groups, std::int32_t per_group)
        : L(rows), J(groups), N(groups * per_group), nobs(groups, per_group),
          y(static_cast<std::size_t>(rows) * groups * per_group), effvar(groups, 10000.0),
          prob(static_cast<std::size_t>(rows) * groups), pm(rows), pv(rows),
          gm(static_cast<std::size_t>(rows) * groups), gv(static_cast<std::size_t>(rows) * groups) {
        PrivateStream ps;
        for (double& v : y) v = ps.s.normal(8.0, 0.5);
    }
    kestrum::driver::Arguments args(std::int32_t K, std::int32_t B) const {
        static const std::int32_t reserved = 0;
        kestrum::driver::Arguments a;
        a.reserved = &reserved;
        a.ipool = 1;
        a.nrow = L;
        a.ngrp = J;
        a.nobs = nobs.data();
        a.ntot = N;
        a.ydata = y.data();
        a.nkeep = K;
        a.nburn = B;
        a.hshape = 1.0;
        a.hrate = 1.0;
        a.mvar = mvar.data();
        a.effvar = effvar.data();
        return a;
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

void Kestrum(benchmark::State& state) {
    const auto J = static_cast<std::int32_t>(state.range(0));
    const std::int32_t L = 1000, K = 30, B = 20;
    Data d(L, J, 4);
    PrivateStream ps;
    kestrum::driver::CoreCallees c;
    for (auto _ : state) {
        kestrum::driver::estimate(ps.s, c, d.args(K, B), d.outputs());
        benchmark::DoNotOptimize(d.gm.data());
    }
    state.counters["per_row_iter"] = benchmark::Counter(
        static_cast<double>(L) * (K + B),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(Kestrum)->Arg(2)->Arg(3)->Arg(5)->Unit(benchmark::kMillisecond);

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
        kestrum::hyper::update_rate(ps.s, 4000.0, 1.0, 2.0, 1.0, 1.0, 1000, 3, 1.0, &rate);
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

void report_memory() {
    const std::int32_t L = 1000, J = 3, K = 2000, B = 10;
    Data d(L, J, 4);
    const long before = peak_kib();
    const std::int32_t reserved = 0, ipool = 1;
    const double h = 1.0;
    double prshape = 0.0, prscale = 0.0;
    kestrum_(&reserved, &ipool, &d.L, &d.J, d.nobs.data(), &d.N, d.y.data(), &K, &B, &h, &h,
             &prshape, &prscale, d.mvar.data(), d.effvar.data(), d.prob.data(), d.pm.data(),
             d.pv.data(), d.gm.data(), d.gv.data());
    const long after = peak_kib();
    const double stores = (2.0 * L * J * K + 2.0 * L * K) * 8.0 / 1048576.0;
    // The whole workspace block, as planned by the driver.
    kestrum::driver::Run r = kestrum::driver::make_run(d.args(K, B));
    kestrum::driver::Arena plan;
    kestrum::driver::carve_workspace(plan, r, kestrum::driver::CoreCallees::sweep_scratch_size(J));
    const double block = static_cast<double>(plan.used()) * 8.0 / 1048576.0;
    std::printf("peak memory of kestrum_ (L = %d, J = %d, K = %d): %.1f MiB above the process "
                "before the call; kept-draw stores 2LJK + 2LK doubles = %.1f MiB; whole "
                "workspace block = %.2f MiB\n",
                L, J, K, static_cast<double>(after - before) / 1024.0, stores, block);
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
