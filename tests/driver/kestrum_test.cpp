// The whole estimation: preparation, the exported routine, the exact use of
// the random stream, reproducibility and the workspace failure path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "driver/callees.h"
#include "driver/estimate.h"
#include "kestrumr.h"
#include "random/stream.h"
#include "run_fixture.h"
#include "support/reference_sampler.h"
#include "support/capture.h"
#include "support/problem.h"
#include "support/scripted_source.h"

// The workspace-failure test asks for a block far beyond any machine; under
// AddressSanitizer that must come back as a null pointer, not an abort.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using kestrum::driver::Arguments;
using kestrum::driver::CoreCallees;
using kestrum::test::OutputArrays;
using kestrum::test::ScriptedSource;

// A small data set: L rows, groups of the given sizes, values that differ
// from row to row and group to group, one spare double past the end (so y
// is never empty).
struct Data : kestrum::test::Problem {
    Data(std::int32_t rows, std::vector<std::int32_t> sizes)
        : Problem(rows, std::move(sizes), 100.0) {
        reserved = 12345;
        y.resize(static_cast<std::size_t>(L) * N + 1);
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t t = 0; t < N; ++t)
                y[g + t * L] = 0.5 * g + std::sin(1.0 + g * 7.0 + t * 3.0) + (t >= nobs[0] ? 1.0 : 0.0);
    }
};

// A private stream over a copy of a record.
struct PrivateStream {
    kestrum::random::Record rec;
    kestrum::random::Stream s;
    explicit PrivateStream(const kestrum::random::Stream& from) : rec(*from.rec), s(from) { s.rec = &rec; }
};

std::vector<double> all(const OutputArrays& o) {
    std::vector<double> v;
    for (const auto* a : {&o.prob, &o.pmeanbar, &o.pvarbar, &o.gmeanbar, &o.gvarbar})
        v.insert(v.end(), a->begin(), a->end());
    return v;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Prepare, StartingValuesAndStatistics) {
    Data d(3, {2, 3});
    for (std::int32_t ipool : {1, 0, 2}) {
        kestrum::test::RunFixture f(3, 2, 5, 1, 0);
        f.r.ipool = ipool;
        f.r.nobs = d.nobs.data();
        f.r.ydata = d.y.data();
        kestrum::reference::prepare(f.r);
        for (int g = 0; g < 3; ++g) {
            const double* row[5];
            for (int t = 0; t < 5; ++t) row[t] = &d.y[g + t * 3];
            const double m1 = (*row[0] + *row[1]) / 2.0;
            EXPECT_NEAR(f.r.ybar[g], m1, 1e-15);
            EXPECT_NEAR(f.r.ybar[g + 3], (*row[2] + *row[3] + *row[4]) / 3.0, 1e-15);
            EXPECT_NEAR(f.r.s2[g], (*row[0] - m1) * (*row[0] - m1) * 2.0, 1e-12);
            if (ipool == 1) {
                double s = 0.0;
                for (int t = 0; t < 5; ++t) s += *row[t];
                EXPECT_NEAR(f.r.ybar0[g], s / 5.0, 1e-15);
            } else {
                EXPECT_EQ(f.r.ybar0[g], 0.0);
                EXPECT_EQ(f.r.s20[g], 1.0);
            }
            for (int j = 0; j < 2; ++j) {
                EXPECT_EQ(f.r.gmean[g + 3 * j], 0.0);
                EXPECT_EQ(f.r.gvar[g + 3 * j], 1.0);
            }
            EXPECT_EQ(f.r.pmean[g], 0.0);
            EXPECT_EQ(f.r.pvar[g], 1.0);
        }
        for (int j = 0; j < 2; ++j) {
            EXPECT_EQ(f.r.precsum[j], 3.0);
            EXPECT_EQ(f.r.vshape[j], 2.0);
            EXPECT_EQ(f.r.vrate[j], 2.0);
        }
        EXPECT_EQ(f.r.spare[0], 0.0);
        EXPECT_EQ(f.r.ratesum, 4.0);
        EXPECT_EQ(f.r.pprecsum, 3.0);
        EXPECT_EQ(f.r.pshape, 2.0);
        EXPECT_EQ(f.r.prate, 2.0);
    }
}

TEST(Prepare, NoObservationsStillComputesStatistics) {
    // N <= 0 copies nothing, but the statistics still run for every row; the
    // groups read NaN rather than memory past the buffer.
    Data d(2, {2, 2});
    for (std::int32_t N : {0, -3}) {
        std::vector<std::int32_t> nobs{2, 2};
        Arguments a = d.args(1, 0, 1);
        a.ntot = N;
        kestrum::driver::Run r = kestrum::driver::make_run(a);
        double* block = kestrum::reference::obtain_workspace(r, CoreCallees::sweep_scratch_size(2),
                                                             kestrum::driver::allocate_block);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(r.obs_size, 4u);
        kestrum::reference::prepare(r);
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isnan(r.ybar[i])) << i;
        kestrum::driver::release_block(block);
    }
}

TEST(Kestrum, FixesThePooledRatePriorAndIgnoresTheCallersValues) {
    Data d(4, {3, 3});
    kestrum::random::Stream& ps = kestrum::random::process_stream();
    const kestrum::random::Record rec = *ps.rec;
    const kestrum::random::Stream pos = ps;
    std::vector<std::vector<double>> results;
    for (double given : {1.0, 7.5, -3.0}) {
        *ps.rec = rec;  // every run from the same generator state
        ps = pos;
        const std::int32_t ipool = 1, K = 3, B = 1;
        double prshape = given, prscale = -given;
        OutputArrays o(4, 2);
        kestrum_(&d.reserved, &ipool, &d.L, &d.J, d.nobs.data(), &d.N, d.y.data(), &K, &B,
                 &d.mvar[0], &d.mvar[0], &prshape, &prscale, d.mvar.data(), d.effvar.data(),
                 o.prob.data(), o.pmeanbar.data(), o.pvarbar.data(), o.gmeanbar.data(),
                 o.gvarbar.data());
        EXPECT_EQ(prshape, 1.0);
        EXPECT_EQ(prscale, 1.0);
        results.push_back(all(o));
    }
    EXPECT_TRUE(same_bits(results[0], results[1]));
    EXPECT_TRUE(same_bits(results[0], results[2]));
    EXPECT_TRUE(std::isfinite(results[0][0]));
}

TEST(Kestrum, TwoRunsFromTheSameStateAgreeBitForBit) {
    for (std::int32_t ipool : {1, 0}) {
        Data d(5, {2, 3, 4});
        PrivateStream a(kestrum::random::process_stream()), b(kestrum::random::process_stream());
        OutputArrays oa(5, 3), ob(5, 3);
        CoreCallees c(kestrum::hyper::process_blocks());
        ASSERT_TRUE(kestrum::driver::estimate(a.s, c, d.args(6, 3, ipool), oa.outputs()));
        ASSERT_TRUE(kestrum::driver::estimate(b.s, c, d.args(6, 3, ipool), ob.outputs()));
        EXPECT_TRUE(same_bits(all(oa), all(ob)));
        EXPECT_EQ(std::memcmp(&a.rec, &b.rec, sizeof a.rec), 0);
        EXPECT_EQ(a.s.ilag22, b.s.ilag22);
        EXPECT_EQ(a.s.nstat, b.s.nstat);
        // The generator moved, and a third run from where it stands differs.
        EXPECT_NE(std::memcmp(&a.rec, kestrum::random::process_stream().rec, sizeof a.rec), 0);
        OutputArrays oc(5, 3);
        ASSERT_TRUE(kestrum::driver::estimate(a.s, c, d.args(6, 3, ipool), oc.outputs()));
        EXPECT_FALSE(same_bits(all(oa), all(oc)));
    }
}

// Draws of one run with the real callees, as letters: per iteration the ten
// normal/uniform trials of each group's rate update, the pooled gamma, then
// per row J gammas (+1 pooled), J normals (+1 pooled).
std::string expected_draws(std::int64_t T, int L, int J, bool pooled) {
    std::string rate, row;
    for (int i = 0; i < 10; ++i) rate += "NU";
    row = std::string(J + (pooled ? 1 : 0), 'G') + std::string(J + (pooled ? 1 : 0), 'N');
    std::string it;
    for (int j = 0; j < J; ++j) it += rate;
    it += "G";
    for (int g = 0; g < L; ++g) it += row;
    std::string all;
    for (std::int64_t t = 0; t < T; ++t) all += it;
    return all;
}

TEST(Kestrum, ConsumesTheStreamInTheStatedOrder) {
    struct Case { int L; std::vector<std::int32_t> sizes; std::int32_t K, B, ipool; };
    for (const Case& cs : {Case{3, {2, 2}, 2, 1, 1}, Case{2, {3}, 1, 2, 0},
                           Case{1, {2, 3, 2}, 0, 2, 2}, Case{0, {2, 2}, 2, 1, 1}}) {
        Data d(cs.L, cs.sizes);
        ScriptedSource src;
        src.gammas = {2.5};
        OutputArrays o(cs.L, d.J);
        CoreCallees c(kestrum::hyper::process_blocks());
        ASSERT_TRUE(kestrum::driver::estimate(src, c, d.args(cs.K, cs.B, cs.ipool), o.outputs()));
        EXPECT_EQ(src.log, expected_draws(cs.K + cs.B, cs.L, d.J, cs.ipool == 1))
            << "L = " << cs.L << ", J = " << d.J;
        // The pooled-rate gamma has shape 2L + 1 every time.
        EXPECT_EQ(src.gamma_shapes.front(), 2.0 * cs.L + 1.0);
    }
}

TEST(Kestrum, NoIterationsDrawNothingAndGiveNaN) {
    Data d(3, {2, 2, 2});
    ScriptedSource src;
    OutputArrays o(3, 3);
    CoreCallees c(kestrum::hyper::process_blocks());
    ASSERT_TRUE(kestrum::driver::estimate(src, c, d.args(0, 0, 1), o.outputs()));
    EXPECT_EQ(src.log, "");
    for (std::size_t i = 0; i < 9; ++i) EXPECT_TRUE(std::isnan(o.gmeanbar[i])) << i;
    for (std::size_t i = 0; i < 6; ++i) EXPECT_TRUE(std::isnan(o.prob[i])) << i;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(o.pvarbar[i])) << i;
    // The export with nburn = nkeep = 0 releases everything (checked for
    // leaks under the sanitizer build) and leaves the generator alone.
    const std::int32_t zero = 0, ipool = 1;
    double prshape = 0.0, prscale = 0.0;
    const kestrum::random::Record before = *kestrum::random::process_stream().rec;
    kestrum_(&d.reserved, &ipool, &d.L, &d.J, d.nobs.data(), &d.N, d.y.data(), &zero, &zero,
             &d.mvar[0], &d.mvar[0], &prshape, &prscale, d.mvar.data(), d.effvar.data(),
             o.prob.data(), o.pmeanbar.data(), o.pvarbar.data(), o.gmeanbar.data(),
             o.gvarbar.data());
    EXPECT_EQ(std::memcmp(&before, kestrum::random::process_stream().rec, sizeof before), 0);
}

TEST(Kestrum, NoRowsWritesNothingButStillDraws) {
    Data d(0, {2, 2});
    OutputArrays o(0, 2);
    ScriptedSource src;
    CoreCallees c(kestrum::hyper::process_blocks());
    ASSERT_TRUE(kestrum::driver::estimate(src, c, d.args(2, 1, 1), o.outputs()));
    EXPECT_EQ(src.log, expected_draws(3, 0, 2, true));
    for (const double v : all(o)) EXPECT_EQ(v, -555.0);
}

TEST(Kestrum, PooledOffKeepsPooledResultsAtStart) {
    Data d(4, {3, 3, 3});
    PrivateStream ps(kestrum::random::process_stream());
    OutputArrays o(4, 3);
    CoreCallees c(kestrum::hyper::process_blocks());
    ASSERT_TRUE(kestrum::driver::estimate(ps.s, c, d.args(5, 2, 0), o.outputs()));
    for (int g = 0; g < 4; ++g) {
        EXPECT_EQ(o.pmeanbar[g], 0.0);
        EXPECT_EQ(o.pvarbar[g], 1.0);
        EXPECT_TRUE(std::isfinite(o.gmeanbar[g]));
        EXPECT_GE(o.prob[g], 0.0);
        EXPECT_LE(o.prob[g], 1.0);
    }
}

double* refuse(std::size_t) { return nullptr; }

TEST(Kestrum, WorkspaceFailureWritesAMessageAndNaN) {
    Data d(3, {2, 2, 2, 2});
    OutputArrays o(3, 4);
    ScriptedSource src;
    CoreCallees c(kestrum::hyper::process_blocks());
    bool ok = true;
    const std::string out = kestrum::test::capture_stdout([&] {
        ok = kestrum::driver::estimate(src, c, d.args(5, 1, 1), o.outputs(), {}, refuse);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(out,
              "\n     ****ERROR**** Not enough memory for the workspace in  KESTRUM\n"
              "     (no draws were made; every output holds NaN)\n\n");
    EXPECT_EQ(src.log, "");
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_TRUE(std::isnan(o.gmeanbar[i]));
        EXPECT_TRUE(std::isnan(o.gvarbar[i]));
    }
    for (std::size_t i = 0; i < 9; ++i) EXPECT_TRUE(std::isnan(o.prob[i]));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(o.pmeanbar[i]));
    EXPECT_EQ(o.prob[9], -555.0);  // nothing beyond the arrays
}

TEST(Kestrum, ExtentsThatOverflowAreRefusedBeforeAnyAllocation) {
    Arguments a;
    a.nrow = 2147483647;
    a.ngrp = 2147483647;
    a.ntot = 1;
    a.nkeep = 2147483647;
    kestrum::driver::Run r = kestrum::driver::make_run(a);
    static int calls = 0;
    auto count = [](std::size_t) -> double* { ++calls; return nullptr; };
    EXPECT_EQ(kestrum::reference::obtain_workspace(r, 0, count), nullptr);
    EXPECT_EQ(calls, 0);
}

TEST(Kestrum, ExportSurvivesAWorkspaceBeyondMemory) {
    // 1000 rows x 1000 groups x 2^31 - 1 kept draws: about 34 PB.
    const std::int32_t L = 1000, J = 1000, N = 2000, K = 2147483647, B = 0, ipool = 1, res = 0;
    std::vector<std::int32_t> nobs(J, 2);
    std::vector<double> y(1), mvar{1.0, 1.0}, effvar(J, 1.0);
    std::vector<double> prob(L * (J - 1), 3.0), pm(L, 3.0), pv(L, 3.0), gm(L * J, 3.0),
        gv(L * J, 3.0);
    const double h = 1.0;
    double prshape = 0.0, prscale = 0.0;
    const std::string out = kestrum::test::capture_stdout([&] {
        kestrum_(&res, &ipool, &L, &J, nobs.data(), &N, y.data(), &K, &B, &h, &h, &prshape,
                 &prscale, mvar.data(), effvar.data(), prob.data(), pm.data(), pv.data(),
                 gm.data(), gv.data());
    });
    EXPECT_NE(out.find("Not enough memory for the workspace in  KESTRUM"), std::string::npos);
    EXPECT_TRUE(std::isnan(prob.front()) && std::isnan(prob.back()));
    EXPECT_TRUE(std::isnan(gv.back()) && std::isnan(pm.back()) && std::isnan(pv.front()));
    EXPECT_EQ(prshape, 1.0);
}

}  // namespace

TEST(Kestrum, StopAbandonsTheRunAfterTheAskedIteration) {
    Data d(3, {2, 2});
    ScriptedSource src;
    OutputArrays o(3, 2);
    CoreCallees c(kestrum::hyper::process_blocks());
    struct Ask { std::int64_t reports = 0, asks = 0; } ask;
    kestrum::driver::Progress p;
    p.context = &ask;
    p.report = [](void* ctx, std::int64_t, std::int64_t) { ++static_cast<Ask*>(ctx)->reports; };
    p.stop = [](void* ctx) { return ++static_cast<Ask*>(ctx)->asks == 2; };
    EXPECT_FALSE(kestrum::driver::estimate(src, c, d.args(4, 3, 1), o.outputs(), p));
    EXPECT_EQ(ask.reports, 2);
    EXPECT_EQ(src.log, expected_draws(2, 3, 2, true));  // two iterations drawn, no more
    // Every output as after a failed workspace: NaN, nothing beyond.
    OutputArrays refused(3, 2);
    kestrum::test::capture_stdout([&] {
        EXPECT_FALSE(kestrum::driver::estimate(src, c, d.args(4, 3, 1), refused.outputs(), {},
                                               refuse));
    });
    EXPECT_TRUE(same_bits(all(o), all(refused)));
    EXPECT_TRUE(std::isnan(o.gmeanbar[0]) && std::isnan(o.prob[0]));
}
