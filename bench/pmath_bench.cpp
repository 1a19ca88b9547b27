// Time per call of the portable math functions (common/pmath.h) beside the
// platform's own (glibc's on Linux) on the same argument arrays, in one run:
//
//   Ours/<fn>, Libm/<fn>   throughput over a fixed array of 4096 arguments;
//                          the counter "per_call" is the time per call
//
// The ranges are the ones the sampler uses: exp on [-20, 5], log on
// log-uniform (2^-20, 2^20), pow with x in (0, 20) and y in (-1, 10) (the
// gamma trials), pow(x, 1/3.0) on log-uniform (1e-4, 1e4) (cube roots of
// variances), sin, cos and sincos on [0, 2 pi] (Box-Muller).  The machine
// may be loaded: compare the two columns of one run, repeated and
// interleaved, by the "min" aggregate, e.g.
//   build/bench/bench_pmath --benchmark_repetitions=20 --benchmark_enable_random_interleaving=true
//       --benchmark_min_time=0.05 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/pmath.h"

namespace {

namespace pm = kestrum::pmath;

constexpr std::size_t kN = 4096;

struct Args {
    std::vector<double> x, y;
};

// splitmix64, so the arrays are the same on every run.
struct Mix {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    double uniform(double a, double b) { return a + (b - a) * unit(); }
};

enum class Range { kExp, kLog, kPow, kCbrt, kTrig };

const Args& args(Range r) {
    static Args a[5];
    Args& v = a[static_cast<int>(r)];
    if (!v.x.empty()) return v;
    Mix g{0x5eed + static_cast<uint64_t>(r)};
    for (std::size_t i = 0; i < kN; ++i) {
        double x = 0, y = 0;
        switch (r) {
            case Range::kExp: x = g.uniform(-20.0, 5.0); break;
            case Range::kLog: x = std::exp2(g.uniform(-20.0, 20.0)); break;
            case Range::kPow:
                x = g.uniform(0.0, 20.0);
                y = g.uniform(-1.0, 10.0);
                break;
            case Range::kCbrt: x = std::pow(10.0, g.uniform(-4.0, 4.0)); break;
            case Range::kTrig: x = g.uniform(0.0, 6.283185307179586); break;
        }
        v.x.push_back(x);
        v.y.push_back(y);
    }
    return v;
}

template <class F>
void run(benchmark::State& state, Range r, F f) {
    const Args& a = args(r);
    double sum = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kN; ++i) sum += f(a.x[i], a.y[i]);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per_call"] = benchmark::Counter(static_cast<double>(kN) * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The fastest repetition: on a shared machine the other loads only ever
// add time, so the least of several interleaved repetitions is the
// steadiest figure to compare.
double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

#define KESTRUM_PMATH_BENCH(name, range, ours, libm)                                       \
    void Ours_##name(benchmark::State& s) {                                               \
        run(s, range, [](double x, double y) { (void)y; return ours; });                  \
    }                                                                                      \
    void Libm_##name(benchmark::State& s) {                                               \
        run(s, range, [](double x, double y) { (void)y; return libm; });                  \
    }                                                                                      \
    BENCHMARK(Ours_##name)->Name("Ours/" #name)->ComputeStatistics("min", least);          \
    BENCHMARK(Libm_##name)->Name("Libm/" #name)->ComputeStatistics("min", least);

KESTRUM_PMATH_BENCH(exp, Range::kExp, pm::exp(x), std::exp(x))
KESTRUM_PMATH_BENCH(log, Range::kLog, pm::log(x), std::log(x))
KESTRUM_PMATH_BENCH(pow, Range::kPow, pm::pow(x, y), std::pow(x, y))
KESTRUM_PMATH_BENCH(pow_third, Range::kCbrt, pm::pow(x, 1 / 3.0), std::pow(x, 1 / 3.0))
KESTRUM_PMATH_BENCH(sin, Range::kTrig, pm::sin(x), std::sin(x))
KESTRUM_PMATH_BENCH(cos, Range::kTrig, pm::cos(x), std::cos(x))

double ours_sincos(double x) {
    double s, c;
    pm::sincos(x, &s, &c);
    return s + c;
}
double libm_sincos(double x) {
    // Two calls; glibc's sincos is reached the same way through the
    // compiler's combination of the pair.
    return std::sin(x) + std::cos(x);
}
KESTRUM_PMATH_BENCH(sincos, Range::kTrig, ours_sincos(x), libm_sincos(x))

}  // namespace

BENCHMARK_MAIN();
