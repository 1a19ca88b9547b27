// The sampling loop with recording callees: what each step passes on, the
// running sums, the draw order and the storage of kept slices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/capture.h"
#include "driver/sampling.h"
#include "support/reference_sampler.h"
#include "run_fixture.h"
#include "support/scripted_source.h"

namespace {

using RunState = kestrum::driver::Run;
using kestrum::test::RunFixture;
using kestrum::test::ScriptedSource;

struct RateCall {
    double sinv, hshape, gshape, wunit, rsum;
    std::int32_t nrow, ngrp;
    double hrate, rate_in, rate_out;
};

struct SweepCall {
    std::int32_t ngrp, ipool, ntot;
    double prate, pmean_in, pvar_in, ybar0, s20;
    std::vector<double> gmean_in, gvar_in, ybar, s2;
};

// Records every call; the rate update draws one uniform and moves the rate
// by a fixed step, the row sweep draws one normal and returns values that
// encode the call number (c), so each stored slot names its iteration.
struct RecordingCallees {
    static std::size_t sweep_scratch_size(std::int32_t) { return 0; }
    std::vector<RateCall> rates;
    std::vector<SweepCall> sweeps;

    template <class Source>
    void update_rate(Source& src, double sinv, double hshape, double gshape, double wunit,
                     double rsum, std::int32_t nrow, std::int32_t ngrp, double hrate,
                     double* rate) {
        src.uniform();
        const double in = *rate;
        *rate = in + 0.125 * static_cast<double>(rates.size() + 1);
        rates.push_back({sinv, hshape, gshape, wunit, rsum, nrow, ngrp, hrate, in, *rate});
    }

    template <class Source>
    void row_sweep(Source& src, std::int32_t ngrp, std::int32_t ipool, const std::int32_t* ntot,
                   const std::int32_t*, const double*, const double*, const double*,
                   const double* prate, const double*, const double*, const double* ybar,
                   const double* s2, const double* ybar0, const double* s20, double* gmean,
                   double* gvar, double* pmean, double* pvar, double*) {
        src.normal(0.0, 1.0);
        SweepCall s{ngrp, ipool, *ntot, *prate, *pmean, *pvar, *ybar0, *s20, {}, {}, {}, {}};
        for (int j = 0; j < ngrp; ++j) {
            s.gmean_in.push_back(gmean[j]);
            s.gvar_in.push_back(gvar[j]);
            s.ybar.push_back(ybar[j]);
            s.s2.push_back(s2[j]);
        }
        const double c = static_cast<double>(sweeps.size());
        sweeps.push_back(s);
        for (int j = 0; j < ngrp; ++j) {
            gmean[j] = 100.0 * c + j;
            gvar[j] = 1.0 + 0.25 * c + 0.5 * j;
        }
        if (ipool == 1) {
            *pmean = -c;
            *pvar = 2.0 + c;
        }
    }
};

// Prepared run of L rows and J groups of two observations each.
struct Prepared {
    RunFixture f;
    std::vector<std::int32_t> nobs;
    std::vector<double> ydata, mvar{1.0, 1.0}, effvar;
    Prepared(std::int32_t L, std::int32_t J, std::int32_t K, std::int32_t B, std::int32_t ipool = 1)
        : f(L, J, 2 * J, K, B), nobs(J > 0 ? J : 0, 2),
          ydata(static_cast<std::size_t>(L > 0 ? L : 0) * 2 * (J > 0 ? J : 0) + 1),
          effvar(J > 1 ? J - 1 : 1, 1.0) {
        for (std::size_t t = 0; t < ydata.size(); ++t) ydata[t] = static_cast<double>(t % 7);
        RunState& r = f.r;
        r.ipool = ipool;
        r.nobs = nobs.data();
        r.ydata = ydata.data();
        r.hshape = 1.5;
        r.hrate = 0.75;
        r.mvar = mvar.data();
        r.effvar = effvar.data();
        kestrum::reference::prepare(r);
    }
};

TEST(Sampling, FirstStepASeesStartingSumsInGaussSeidelOrder) {
    Prepared p(5, 3, 1, 0);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    ASSERT_EQ(c.rates.size(), 3u);
    double ratesum = 6.0;  // 2J
    for (int j = 0; j < 3; ++j) {
        const RateCall& call = c.rates[j];
        EXPECT_EQ(call.sinv, 5.0);       // precsum = L
        EXPECT_EQ(call.rate_in, 2.0);
        EXPECT_EQ(call.rsum, ratesum - 2.0) << j;  // earlier groups already updated
        EXPECT_EQ(call.hshape, 1.5);
        EXPECT_EQ(call.gshape, 2.0);
        EXPECT_EQ(call.wunit, 1.0);
        EXPECT_EQ(call.hrate, 0.75);
        EXPECT_EQ(call.nrow, 5);
        EXPECT_EQ(call.ngrp, 3);
        ratesum = (ratesum - 2.0) + call.rate_out;
        EXPECT_EQ(p.f.r.vrate[j], call.rate_out);
    }
    EXPECT_EQ(p.f.r.ratesum, ratesum);
}

TEST(Sampling, OneGroupPassesZeroForTheOtherRates) {
    Prepared p(2, 1, 3, 2);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    ASSERT_EQ(c.rates.size(), 5u);
    for (const RateCall& call : c.rates) EXPECT_EQ(call.rsum, 0.0);
    // Each call starts from the rate the previous one returned.
    for (std::size_t i = 1; i < c.rates.size(); ++i)
        EXPECT_EQ(c.rates[i].rate_in, c.rates[i - 1].rate_out);
}

TEST(Sampling, PooledRateForThreeRowsHasShapeSevenAndRateFour) {
    Prepared p(3, 2, 1, 0, 0);
    RecordingCallees c;
    ScriptedSource src;
    src.gammas = {5.0};
    kestrum::reference::sample(src, p.f.r, c);
    ASSERT_EQ(src.gamma_shapes.size(), 1u);
    EXPECT_EQ(src.gamma_shapes[0], 7.0);
    ASSERT_EQ(c.sweeps.size(), 3u);
    for (const SweepCall& s : c.sweeps) EXPECT_EQ(s.prate, 5.0 / 4.0);
}

TEST(Sampling, PooledRateUsesThePreviousIterationsVariances) {
    Prepared p(2, 1, 2, 0, 1);
    RecordingCallees c;
    ScriptedSource src;
    src.gammas = {3.0};
    kestrum::reference::sample(src, p.f.r, c);
    ASSERT_EQ(c.sweeps.size(), 4u);
    // Iteration 1 returned pooled variances 2 and 3 (calls 0 and 1).
    const double rate2 = 1.0 + ((2.0 - 1.0 / 1.0 + 1.0 / 2.0) - 1.0 / 1.0 + 1.0 / 3.0);
    EXPECT_EQ(c.sweeps[2].prate, 3.0 / rate2);
    EXPECT_EQ(p.f.r.pprecsum, ((rate2 - 1.0) - 1.0 / 2.0 + 1.0 / 4.0) - 1.0 / 3.0 + 1.0 / 5.0);
}

TEST(Sampling, NegativeRowCountWritesTheGammaMessageAndDrawsNothing) {
    RunFixture f(0, 1, 2, 1, 0);
    f.r.nrow = -2;
    f.r.pprecsum = -2.0;
    f.r.prshape = 1.0;
    f.r.prscale = 1.0;
    ScriptedSource src;
    const std::string out =
        kestrum::test::capture_stdout([&] { kestrum::driver::update_pooled_rate(src, f.r); });
    EXPECT_EQ(out,
              "\n     ****ERROR**** Illegal parameter value in  ZBQLGAM\n"
              "     (both parameters must be positive)\n\n");
    EXPECT_EQ(src.log, "");
    EXPECT_EQ(f.r.prate, 0.0);
}

TEST(Sampling, RunningSumsAreAdjustedRowByRow) {
    Prepared p(3, 2, 2, 1, 1);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    // Replay the subtract-and-add order from the recorded sweeps.
    double precsum[2] = {3.0, 3.0}, pprecsum = 3.0;
    for (std::size_t call = 0; call < c.sweeps.size(); ++call) {
        if (call % 3 == 0) {
            // Start of an iteration: step A of that iteration saw these.
            const std::size_t it = call / 3;
            EXPECT_EQ(c.rates[2 * it].sinv, precsum[0]) << it;
            EXPECT_EQ(c.rates[2 * it + 1].sinv, precsum[1]) << it;
        }
        const SweepCall& s = c.sweeps[call];
        const double cc = static_cast<double>(call);
        for (int j = 0; j < 2; ++j) {
            precsum[j] = precsum[j] - 1.0 / s.gvar_in[j];
            precsum[j] = precsum[j] + 1.0 / (1.0 + 0.25 * cc + 0.5 * j);
        }
        const double rest = pprecsum - 1.0 / s.pvar_in;
        pprecsum = rest + 1.0 / (2.0 + cc);
    }
    EXPECT_EQ(p.f.r.precsum[0], precsum[0]);
    EXPECT_EQ(p.f.r.precsum[1], precsum[1]);
    EXPECT_EQ(p.f.r.pprecsum, pprecsum);
    // And they are the sums of reciprocals, up to rounding.
    for (int j = 0; j < 2; ++j) {
        double fresh = 0.0;
        for (int g = 0; g < 3; ++g) fresh += 1.0 / p.f.r.gvar[g + j * 3];
        EXPECT_NEAR(p.f.r.precsum[j], fresh, 1e-12);
    }
}

TEST(Sampling, RowSweepGetsTheRowsStatisticsAndState) {
    Prepared p(2, 2, 2, 0, 1);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    ASSERT_EQ(c.sweeps.size(), 4u);
    const RunState& r = p.f.r;
    for (std::size_t call = 0; call < 4; ++call) {
        const SweepCall& s = c.sweeps[call];
        const std::size_t g = call % 2;
        EXPECT_EQ(s.ngrp, 2);
        EXPECT_EQ(s.ipool, 1);
        EXPECT_EQ(s.ntot, 4);
        EXPECT_EQ(s.ybar0, r.ybar0[g]);
        EXPECT_EQ(s.s20, r.s20[g]);
        for (int j = 0; j < 2; ++j) {
            EXPECT_EQ(s.ybar[j], r.ybar[g + 2 * j]);
            EXPECT_EQ(s.s2[j], r.s2[g + 2 * j]);
            // First iteration: starting values; then the previous sweep's.
            const double prev = static_cast<double>(call) - 2.0;
            EXPECT_EQ(s.gmean_in[j], call < 2 ? 0.0 : 100.0 * prev + j);
            EXPECT_EQ(s.gvar_in[j], call < 2 ? 1.0 : 1.0 + 0.25 * prev + 0.5 * j);
        }
        EXPECT_EQ(s.pmean_in, call < 2 ? 0.0 : -(static_cast<double>(call) - 2.0));
        EXPECT_EQ(s.pvar_in, call < 2 ? 1.0 : static_cast<double>(call));
    }
}

// Slice k of the stores must hold iteration B + k + 1 (call (B + k)*L + g).
void expect_slices(RunFixture& f, std::int64_t B) {
    const std::int64_t L = f.r.d.L, J = f.r.d.J;
    for (std::int64_t k = 0; k < f.r.d.K; ++k) {
        for (std::int64_t g = 0; g < L; ++g) {
            const double c = static_cast<double>((B + k) * L + g);
            for (std::int64_t j = 0; j < J; ++j) {
                EXPECT_EQ(f.gm(g, j, k), 100.0 * c + static_cast<double>(j));
                EXPECT_EQ(f.gv(g, j, k), 1.0 + 0.25 * c + 0.5 * static_cast<double>(j));
            }
            EXPECT_EQ(f.pm(g, k), -c);
            EXPECT_EQ(f.pv(g, k), 2.0 + c);
        }
    }
}

TEST(Sampling, WithoutBurnInEveryIterationIsKept) {
    Prepared p(3, 2, 4, 0);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    EXPECT_EQ(c.sweeps.size(), 12u);
    expect_slices(p.f, 0);
}

TEST(Sampling, BurnInIterationsAreNotKept) {
    Prepared p(2, 3, 2, 3);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    EXPECT_EQ(c.sweeps.size(), 10u);
    expect_slices(p.f, 3);
}

TEST(Sampling, NoKeptIterationsStoreNothing) {
    Prepared p(2, 2, 0, 3);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    EXPECT_EQ(c.sweeps.size(), 6u);
    // The stores are empty: the arrays carved after them are untouched.
    const RunState& r = p.f.r;
    EXPECT_EQ(r.gmeandraw, r.sum_gmean);
    for (std::int64_t j = 0; j < 2; ++j) EXPECT_EQ(r.sum_gmean[j], -777.0);
}

TEST(Sampling, NegativeCountsAreTakenAsZero) {
    // nburn = -2, nkeep = 3: three iterations, all kept, every slot written.
    Prepared p(2, 2, 3, -2);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    EXPECT_EQ(c.rates.size(), 6u);
    expect_slices(p.f, 0);
    // nkeep = -4, nburn = 2: two iterations, nothing kept.
    Prepared q(2, 2, -4, 2);
    RecordingCallees d;
    kestrum::reference::sample(src, q.f.r, d);
    EXPECT_EQ(d.rates.size(), 4u);
    EXPECT_EQ(q.f.r.d.K, 0);
}

TEST(Sampling, NoRowsStillUpdatesTheHyperParameters) {
    Prepared p(0, 2, 2, 1);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    EXPECT_EQ(c.rates.size(), 6u);
    EXPECT_TRUE(c.sweeps.empty());
    EXPECT_EQ(src.log, "UUGUUGUUG");
    for (double shape : src.gamma_shapes) EXPECT_EQ(shape, 1.0);
}

TEST(Sampling, DrawOrderAndProgress) {
    Prepared p(2, 3, 1, 1);
    RecordingCallees c;
    ScriptedSource src;
    std::vector<std::int64_t> seen;
    kestrum::driver::Progress progress;
    progress.context = &seen;
    progress.report = [](void* ctx, std::int64_t done, std::int64_t total) {
        auto* v = static_cast<std::vector<std::int64_t>*>(ctx);
        v->push_back(done);
        v->push_back(total);
    };
    kestrum::reference::sample(src, p.f.r, c, progress);
    EXPECT_EQ(src.log, "UUUGNNUUUGNN");
    EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 2, 2}));
}

TEST(Sampling, PooledOffLeavesPooledStateAtStart) {
    Prepared p(3, 2, 2, 1, 2);
    RecordingCallees c;
    ScriptedSource src;
    kestrum::reference::sample(src, p.f.r, c);
    for (int g = 0; g < 3; ++g) {
        EXPECT_EQ(p.f.r.ybar0[g], 0.0);
        EXPECT_EQ(p.f.r.s20[g], 1.0);
        EXPECT_EQ(p.f.r.pmean[g], 0.0);
        EXPECT_EQ(p.f.r.pvar[g], 1.0);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(p.f.pm(g, k), 0.0);
            EXPECT_EQ(p.f.pv(g, k), 1.0);
        }
    }
    EXPECT_EQ(p.f.r.pprecsum, 3.0);
}

}  // namespace
