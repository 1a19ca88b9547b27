// Starting states fitted to the data (see starts.h).
#include "analysis/starts.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/pmath.h"
#include "posterior/statistics.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace kestrum::analysis {

namespace {

// Passes of the rate fixed point at most; it contracts (each pass moves
// ln b by a factor below 1 of the distance left), and stops once no rate
// moves by more than kRateTolerance on the log scale.
constexpr int kMaxRatePasses = 5000;
constexpr double kRateTolerance = 1e-12;

// A row's group statistics usable for a fitted start.
bool usable(double ybar, double s2) { return std::isfinite(ybar) && std::isfinite(s2) && s2 >= 0.0; }

// Sum over the rows of E[1/sigma^2] for rate b: shape / (b + q).
double expected_precision(const StartFit& f, std::int64_t j, double shape, double n, double b) {
    double sum = 0.0;
    for (std::int64_t g = 0; g < f.L; ++g) {
        const std::size_t at = static_cast<std::size_t>(g + j * f.L);
        if (!usable(f.ybar[at], f.s2[at])) {
            sum += 1.0;
            continue;
        }
        sum += shape / (b + 0.5 * (n - 1.0) * f.s2[at]);
    }
    return sum;
}

// Gauss-Seidel passes of the rates: rate j the mode given sinv(j, rate j)
// and the other rates, until no rate moves.
template <class Sinv>
void settle_rates(const driver::Arguments& a, std::vector<double>& rate, Sinv sinv, int passes) {
    const std::int64_t J = static_cast<std::int64_t>(rate.size());
    for (int p = 0; p < passes; ++p) {
        double moved = 0.0;
        for (std::int64_t j = 0; j < J; ++j) {
            double others = 0.0;
            for (std::int64_t k = 0; k < J; ++k)
                if (k != j) others += rate[static_cast<std::size_t>(k)];
            double& b = rate[static_cast<std::size_t>(j)];
            const double next = rate_mode(sinv(j, b), a.hshape, kStartVarianceShape, others, a.nrow,
                                          a.ngrp, a.hrate);
            if (!(std::isfinite(next) && next > 0.0)) continue;
            moved = std::max(moved, std::fabs(pmath::log(next) - pmath::log(b)));
            b = next;
        }
        if (moved < kRateTolerance) return;
    }
}

}  // namespace

double rate_mode(double sinv, double hshape, double gshape, double rsum, std::int32_t nrow,
                 std::int32_t ngrp, double hrate) {
    const double w = static_cast<double>(nrow) * gshape + 1.0;
    const double B = static_cast<double>(ngrp) + hshape;
    const double R = rsum + hrate;
    // sinv c^2 + p c - w R = 0 with p = sinv R + B - w; the positive root,
    // in the form that does not cancel.
    const double p = sinv * R + B - w;
    const double disc = std::sqrt(p * p + 4.0 * sinv * w * R);
    return p >= 0.0 ? 2.0 * w * R / (p + disc) : (disc - p) / (2.0 * sinv);
}

void fit_start(const driver::Arguments& a, StartFit& f) {
    f.L = a.nrow > 0 ? a.nrow : 0;
    f.J = a.ngrp > 0 ? a.ngrp : 0;
    f.pooled = a.ipool == 1;
    const std::size_t L = static_cast<std::size_t>(f.L), J = static_cast<std::size_t>(f.J);
    const std::size_t N = a.ntot > 0 ? static_cast<std::size_t>(a.ntot) : 0;
    f.ybar.assign(L * J, 0.0);
    f.s2.assign(L * J, 0.0);
    f.ybar0.assign(f.pooled ? L : 0, 0.0);
    f.s20.assign(f.pooled ? L : 0, 0.0);
    std::vector<double> row(N), m(J), v(J);
    for (std::size_t g = 0; g < L; ++g) {
        for (std::size_t t = 0; t < N; ++t) row[t] = a.ydata[g + t * L];
        double m0 = 0.0, v0 = 1.0;
        for (std::size_t j = 0; j < J; ++j) {
            m[j] = 0.0;
            v[j] = 1.0;
        }
        posterior::group_statistics(row.data(), a.ipool, a.ngrp, a.ntot, a.nobs, m.data(), v.data(),
                                    &m0, &v0);
        for (std::size_t j = 0; j < J; ++j) {
            f.ybar[g + j * L] = m[j];
            f.s2[g + j * L] = v[j];
        }
        if (f.pooled) {
            f.ybar0[g] = m0;
            f.s20[g] = v0;
        }
    }
    f.rate.assign(J, 2.0);
    settle_rates(a, f.rate,
                 [&](std::int64_t j, double b) {
                     const double n = a.nobs[j];
                     return expected_precision(f, j, kStartVarianceShape + 0.5 * (n - 1.0), n, b);
                 },
                 kMaxRatePasses);
    // The pooled rate's conditional is gamma with shape L pshape + prshape
    // and rate 1/prscale + sum 1/pvar: its mean, iterated with the expected
    // reciprocals of the pooled variances.
    f.prate = 2.0;
    if (f.pooled && L > 0) {
        const driver::Run fixed;
        const double n = static_cast<double>(a.ntot);
        const double shape = kStartVarianceShape + 0.5 * (n - 1.0);
        for (int p = 0; p < kMaxRatePasses; ++p) {
            double sum = 0.0;
            for (std::size_t g = 0; g < L; ++g)
                sum += usable(f.ybar0[g], f.s20[g]) ? shape / (f.prate + 0.5 * (n - 1.0) * f.s20[g]) : 1.0;
            const double next = (static_cast<double>(f.L) * kStartVarianceShape + fixed.prshape) /
                                (1.0 / fixed.prscale + sum);
            const bool done = std::fabs(pmath::log(next) - pmath::log(f.prate)) < kRateTolerance;
            f.prate = next;
            if (done) break;
        }
    }
}

void draw_start(const StartFit& f, const driver::Arguments& a, std::int32_t seed, std::int32_t chain,
                ChainStart& out) {
    const std::size_t L = static_cast<std::size_t>(f.L), J = static_cast<std::size_t>(f.J);
    out.gmean.assign(L * J, 0.0);
    out.gvar.assign(L * J, 1.0);
    out.pmean.assign(L, 0.0);
    out.pvar.assign(L, 1.0);
    // A stream of the start's own: the chain's table mix with a salt, so
    // that it shares no words with any chain's sampling stream.
    random::Record rec = random::load_time_record();
    random::fill_table_mixed(rec, ((static_cast<std::uint64_t>(static_cast<std::uint32_t>(seed)) << 32) ^
                                   static_cast<std::uint64_t>(static_cast<std::uint32_t>(chain))) ^
                                      0x5a17c3e5d1b94f27u);
    random::Stream st{&rec};
    for (std::size_t g = 0; g < L; ++g) {
        for (std::size_t j = 0; j < J; ++j) {
            const std::size_t at = g + j * L;
            if (!usable(f.ybar[at], f.s2[at])) continue;
            const double n = a.nobs[j];
            const double q = 0.5 * (n - 1.0) * f.s2[at];
            const double var = (f.rate[j] + q) / st.gamma(kStartVarianceShape + 0.5 * (n - 1.0), 1.0);
            out.gvar[at] = var;
            out.gmean[at] = st.normal(f.ybar[at], std::sqrt(var / n));
        }
        if (f.pooled && usable(f.ybar0[g], f.s20[g])) {
            const double n = static_cast<double>(a.ntot);
            const double var = (f.prate + 0.5 * (n - 1.0) * f.s20[g]) /
                               st.gamma(kStartVarianceShape + 0.5 * (n - 1.0), 1.0);
            out.pvar[g] = var;
            out.pmean[g] = st.normal(f.ybar0[g], std::sqrt(var / n));
        }
    }
    // The rates at their conditional modes given the drawn variances.
    std::vector<double> sinv(J, 0.0);
    for (std::size_t j = 0; j < J; ++j)
        for (std::size_t g = 0; g < L; ++g) sinv[j] += 1.0 / out.gvar[g + j * L];
    out.vrate = f.rate;
    settle_rates(a, out.vrate, [&](std::int64_t j, double) { return sinv[static_cast<std::size_t>(j)]; },
                 kMaxRatePasses);
}

}  // namespace kestrum::analysis
