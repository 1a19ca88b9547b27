// One row's conditional sweep: the worked two-group example step by step,
// the shape of the precision matrix, one group, no groups, the pooled
// switch, the number and order of draws, the scratch contract and the
// exported routine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kestrumr.h"
#include "posterior/sweep.h"
#include "random/stream.h"
#include "support/capture.h"
#include "support/scripted_source.h"

namespace {

using namespace kestrum::posterior;
using kestrum::test::ScriptedSource;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Scratch of the stated size, filled with NaN so that any element read
// before it is written shows up in the results.
struct Scratch {
    std::vector<double> buf;
    SweepWork wk;
    explicit Scratch(int32_t n) : buf(sweep_scratch_size(n), kNaN), wk{} {
        if (n >= 1) wk = carve_sweep_scratch(n, buf.data());
    }
};

// The worked example: n = 2, nobs = (2, 3), variances drawn as (2, 1),
// mvar(1) = effvar(1) = 1, ybar = (1, 3), incoming means (0, 0).
struct WorkedExample {
    int32_t nobs[2] = {2, 3};
    double vshape[2] = {1.0, 1.0};
    // Rates: (1*2)*0.5 + 2 + (1*2)*0.5 = 4 and (2*0.5)*0.5 + 2 + (9*3)*0.5 = 16,
    // so the gammas 2 and 16 give the variances 2 and 1 exactly.
    double vrate[2] = {2.0, 2.0};
    double s2[2] = {2.0, 0.5};
    double ybar[2] = {1.0, 3.0};
    double effvar[1] = {1.0};
    double mvar[1] = {1.0};  // element 2 must not be read with the pool off
    double gmean[2] = {0.0, 0.0};
    double gvar[2] = {kNaN, kNaN};
};

TEST(SweepWorkedExample, PrecisionCovarianceDataTermAndMean) {
    WorkedExample ex;
    const double gvar[2] = {2.0, 1.0};
    Scratch sc(2);
    const SweepWork& wk = sc.wk;
    precision_matrix(2, ex.nobs, ex.effvar, 1.0, gvar, wk.w, wk.rmat);
    EXPECT_EQ(wk.w[0], 1.0);
    EXPECT_EQ(wk.w[1], 3.0);
    const double r[4] = {5.0, 1.0, 1.0, 2.0};
    for (int t = 0; t < 4; ++t) EXPECT_EQ(wk.rmat[t], r[t]) << t;

    theta_moments(2, ex.nobs, ex.effvar, 1.0, ex.ybar, gvar, wk);
    // S = R^-1 by the elimination and substitutions written out by hand:
    // f = 1/5, U(2,2) = 2 - f; columns (1, -f) and (0, 1) solved backwards.
    const double f = 1.0 / 5.0;
    const double u22 = 2.0 - f * 1.0;
    const double s21 = -f / u22, s11 = (1.0 - 1.0 * s21) / 5.0;
    const double s22 = 1.0 / u22, s12 = (0.0 - 1.0 * s22) / 5.0;
    EXPECT_EQ(wk.smat[0], s11);
    EXPECT_EQ(wk.smat[1], s21);
    EXPECT_EQ(wk.smat[2], s12);
    EXPECT_EQ(wk.smat[3], s22);
    // ... which is ((2, -1), (-1, 5)) / 9 to rounding.
    EXPECT_DOUBLE_EQ(wk.smat[0], 2.0 / 9.0);
    EXPECT_DOUBLE_EQ(wk.smat[1], -1.0 / 9.0);
    EXPECT_DOUBLE_EQ(wk.smat[2], -1.0 / 9.0);
    EXPECT_DOUBLE_EQ(wk.smat[3], 5.0 / 9.0);
    EXPECT_EQ(wk.b[0], 10.0);
    EXPECT_EQ(wk.b[1], 4.0);
    EXPECT_EQ(wk.m[0], (0.0 + s11 * 10.0) + s12 * 4.0);
    EXPECT_EQ(wk.m[1], (0.0 + s21 * 10.0) + s22 * 4.0);
    EXPECT_DOUBLE_EQ(wk.m[0], 16.0 / 9.0);
    EXPECT_DOUBLE_EQ(wk.m[1], 10.0 / 9.0);

    // Coordinate 1 given theta_2 = 0: c = -1/5, v = 1/5, mean 2.
    wk.theta[0] = 0.0;
    wk.theta[1] = 0.0;
    double v = kNaN, mu = kNaN;
    conditional_moments(2, 0, wk, &v, &mu);
    EXPECT_DOUBLE_EQ(wk.c[0], -0.2);
    EXPECT_EQ(v, 0.2);
    EXPECT_EQ(mu, 2.0);
    // Coordinate 2 given the new theta_1 = 2: c = -1/2, v = 1/2, mean 1.
    wk.theta[0] = 2.0;
    conditional_moments(2, 1, wk, &v, &mu);
    EXPECT_EQ(wk.c[0], -0.5);
    EXPECT_EQ(v, 0.5);
    EXPECT_EQ(mu, 1.0);
    // Back to the means: (2 - 1/2, 2 + 1/2).
    wk.theta[1] = 1.0;
    double g[2];
    means_from_theta(2, wk.theta, g);
    EXPECT_EQ(g[0], 1.5);
    EXPECT_EQ(g[1], 2.5);
}

TEST(SweepWorkedExample, WholeSweepWithBothNormalsZero) {
    WorkedExample ex;
    ScriptedSource src;
    src.gammas = {2.0, 16.0};
    src.normals = {0.0, 0.0};
    Scratch sc(2);
    row_sweep(src, 2, 0, nullptr, ex.nobs, ex.vshape, ex.vrate, nullptr, nullptr, ex.effvar,
              ex.mvar, ex.ybar, ex.s2, nullptr, nullptr, ex.gmean, ex.gvar, nullptr, nullptr,
              sc.buf.data());
    EXPECT_EQ(src.log, "GGNN");
    ASSERT_EQ(src.gamma_shapes.size(), 2u);
    EXPECT_EQ(src.gamma_shapes[0], 2.0);  // 0.5*2 + 1
    EXPECT_EQ(src.gamma_shapes[1], 2.5);  // 0.5*3 + 1
    EXPECT_EQ(ex.gvar[0], 2.0);
    EXPECT_EQ(ex.gvar[1], 1.0);
    EXPECT_EQ(ex.gmean[0], 1.5);
    EXPECT_EQ(ex.gmean[1], 2.5);
    EXPECT_EQ(sc.wk.theta[0], 2.0);
    EXPECT_EQ(sc.wk.theta[1], 1.0);
}

TEST(SweepPrecision, ShapeForThreeGroups) {
    const int32_t nobs[3] = {2, 3, 4};
    const double gvar[3] = {1.0, 2.0, 4.0};  // w = (2, 1.5, 1)
    const double effvar[2] = {4.0, 8.0};
    Scratch sc(3);
    precision_matrix(3, nobs, effvar, 2.0, gvar, sc.wk.w, sc.wk.rmat);
    const double w1 = 2.0, w2 = 1.5, w3 = 1.0;
    const double expect[9] = {
        1.0 / 2.0 + ((0.0 + w1) + w2) + w3, (w2 - w1) / 3.0, (w3 - w1) / 3.0,
        (w2 - w1) / 3.0, 1.0 / 4.0 + (w1 + w2) / 9.0, w1 / 9.0,
        (w3 - w1) / 3.0, w1 / 9.0, 1.0 / 8.0 + (w1 + w3) / 9.0};
    for (int t = 0; t < 9; ++t) EXPECT_EQ(sc.wk.rmat[t], expect[t]) << t;
}

TEST(SweepEdges, OneGroup) {
    for (const int32_t pool : {0, 1}) {
        const int32_t nobs[1] = {4};
        const double vshape[1] = {3.0}, vrate[1] = {1.0}, s2[1] = {2.0}, ybar[1] = {1.25};
        const double mvar[2] = {10.0, 7.0};
        double gmean[1] = {0.5}, gvar[1] = {kNaN};
        const int32_t ntot = 4;
        const double pshape = 1.0, prate = 1.0, ybar0 = 1.25, s20 = 2.0;
        double pmean = 0.0, pvar = kNaN;
        ScriptedSource src;
        src.gammas = {3.0, 2.0};
        src.normals = {1.5, -0.5};
        Scratch sc(1);
        row_sweep(src, 1, pool, &ntot, nobs, vshape, vrate, &pshape, &prate, nullptr, mvar, ybar,
                  s2, &ybar0, &s20, gmean, gvar, &pmean, &pvar, sc.buf.data());
        EXPECT_EQ(src.log, pool == 1 ? "GGNN" : "GN");
        // rate = (3*2)*0.5 + 1 + ((0.75*0.75)*4)*0.5 = 5.125
        EXPECT_EQ(gvar[0], 5.125 * (1.0 / 3.0));
        const double w = 4.0 / gvar[0];
        const double s = 1.0 / (1.0 / 10.0 + (0.0 + w));
        const double m = 0.0 + s * (0.0 + w * 1.25);
        EXPECT_EQ(gmean[0], (m + 1.5 * std::sqrt(s)) - 0.0 / 1.0);
    }
}

TEST(SweepEdges, NoGroupsDrawsOnlyThePooledPair) {
    for (const int32_t n : {0, -3}) {
        // Pool off: nothing drawn, nothing touched (null pointers throughout).
        ScriptedSource quiet;
        row_sweep(quiet, n, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                  nullptr);
        EXPECT_EQ(quiet.log, "");
        EXPECT_EQ(sweep_scratch_size(n), 0u);
        // Pool on: the pooled gamma and normal only; no group argument is
        // read (null pointers) and mvar(1) plays no part.
        const double mvar[2] = {kNaN, 3.0};
        const int32_t ntot = 5;
        const double pshape = 1.0, prate = 1.0, ybar0 = 1.0, s20 = 2.0;
        double pmean = 0.0, pvar = kNaN;
        ScriptedSource src;
        src.gammas = {2.5};
        src.normals = {2.0};
        row_sweep(src, n, 1, &ntot, nullptr, nullptr, nullptr, &pshape, &prate, nullptr,
                  mvar, nullptr, nullptr, &ybar0, &s20, nullptr, nullptr, &pmean, &pvar,
                  nullptr);
        EXPECT_EQ(src.log, "GN");
        ASSERT_EQ(src.gamma_shapes.size(), 1u);
        EXPECT_EQ(src.gamma_shapes[0], 3.5);  // 0.5*5 + 1
        // rate0 = (4*2)*0.5 + 1 + ((1*1)*5)*0.5 = 7.5
        EXPECT_EQ(pvar, 7.5 * (1.0 / 2.5));
        const double q = pvar / 5.0;
        const double v = 1.0 / (1.0 / q + 1.0 / 3.0);
        EXPECT_EQ(pmean, std::sqrt(v) * 2.0 + (1.0 / q) * v);
    }
}

TEST(SweepPool, OnlyExactlyOneSwitchesThePooledModelOn) {
    for (const int32_t pool : {0, 2, -1, 1}) {
        WorkedExample ex;
        double mvar[2] = {1.0, 4.0};
        const int32_t ntot = 5;
        const double pshape = 2.0, prate = 1.0, ybar0 = 2.2, s20 = 1.7;
        double pmean = 0.25, pvar = kNaN;
        ScriptedSource src;
        src.gammas = {2.0, 16.0, 3.0};
        src.normals = {0.0, 0.0, 0.5};
        Scratch sc(2);
        if (pool == 1) {
            row_sweep(src, 2, pool, &ntot, ex.nobs, ex.vshape, ex.vrate, &pshape, &prate,
                      ex.effvar, mvar, ex.ybar, ex.s2, &ybar0, &s20, ex.gmean, ex.gvar, &pmean,
                      &pvar, sc.buf.data());
            EXPECT_EQ(src.log, "GGGNNN");
            EXPECT_EQ(src.gamma_shapes[2], 4.5);
            const double d = 2.2 - 0.25;
            const double rate0 = ((4.0 * 1.7) * 0.5 + 1.0) + ((d * d) * 5.0) * 0.5;
            EXPECT_EQ(pvar, rate0 * (1.0 / 3.0));
            const double q = pvar / 5.0;
            const double v = 1.0 / (1.0 / q + 1.0 / 4.0);
            EXPECT_EQ(pmean, std::sqrt(v) * 0.5 + (2.2 / q) * v);
        } else {
            // Every pooled pointer null and mvar one element long: any
            // access crashes or trips the sanitizer.
            row_sweep(src, 2, pool, nullptr, ex.nobs, ex.vshape, ex.vrate, nullptr, nullptr,
                      ex.effvar, ex.mvar, ex.ybar, ex.s2, nullptr, nullptr, ex.gmean, ex.gvar,
                      nullptr, nullptr, sc.buf.data());
            EXPECT_EQ(src.log, "GGNN");
        }
        // The group draws are the same either way.
        EXPECT_EQ(ex.gmean[0], 1.5);
        EXPECT_EQ(ex.gmean[1], 2.5);
    }
}

// A row of five groups in a general state.
struct FiveGroups {
    int32_t nobs[5] = {3, 5, 2, 7, 4};
    double vshape[5] = {2.0, 1.5, 3.0, 2.5, 1.0};
    double vrate[5] = {1.0, 2.0, 0.5, 1.5, 3.0};
    double effvar[4] = {5.0, 2.0, 9.0, 1.0};
    double mvar[2] = {100.0, 50.0};
    double ybar[5] = {0.3, -1.2, 2.5, 0.9, 1.7};
    double s2[5] = {1.1, 0.7, 2.3, 1.9, 0.4};
    double gmean[5] = {0.1, -0.4, 1.3, 0.2, 2.0};
    double gvar[5] = {};
    int32_t ntot = 21;
    double pshape = 2.0, prate = 1.0, ybar0 = 0.8, s20 = 2.1, pmean = 0.6, pvar = 0.0;
};

TEST(SweepDraws, NumberOrderAndShapes) {
    FiveGroups r;
    ScriptedSource src;
    src.gammas = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
    src.normals = {0.3, -1.1, 0.7, 2.0, -0.4, 1.0};
    Scratch sc(5);
    row_sweep(src, 5, 1, &r.ntot, r.nobs, r.vshape, r.vrate, &r.pshape, &r.prate, r.effvar, r.mvar,
              r.ybar, r.s2, &r.ybar0, &r.s20, r.gmean, r.gvar, &r.pmean, &r.pvar, sc.buf.data());
    EXPECT_EQ(src.log, "GGGGGGNNNNNN");
    ASSERT_EQ(src.gamma_shapes.size(), 6u);
    for (int j = 0; j < 5; ++j) EXPECT_EQ(src.gamma_shapes[j], 0.5 * r.nobs[j] + r.vshape[j]) << j;
    EXPECT_EQ(src.gamma_shapes[5], 0.5 * 21 + 2.0);
    // The variance of group j came from gamma variate j.
    FiveGroups fresh;
    for (int j = 0; j < 5; ++j) {
        const double d = fresh.ybar[j] - fresh.gmean[j];
        const double rate = (((fresh.nobs[j] - 1) * fresh.s2[j]) * 0.5 + fresh.vrate[j]) +
                            ((d * d) * fresh.nobs[j]) * 0.5;
        EXPECT_EQ(r.gvar[j], rate * (1.0 / (j + 1.0))) << j;
    }
}

TEST(SweepDraws, MeanOfNewMeansIsTheCentre) {
    FiveGroups r;
    ScriptedSource src;
    src.gammas = {0.8, 1.7, 2.2, 0.9, 3.1};
    src.normals = {0.3, -1.1, 0.7, 2.0, -0.4};
    Scratch sc(5);
    for (int rep = 0; rep < 3; ++rep) {
        row_sweep(src, 5, 0, nullptr, r.nobs, r.vshape, r.vrate, nullptr, nullptr, r.effvar,
                  r.mvar, r.ybar, r.s2, nullptr, nullptr, r.gmean, r.gvar, nullptr, nullptr,
                  sc.buf.data());
        double sum = 0.0, scale = 0.0;
        for (double g : r.gmean) {
            sum += g;
            scale += std::fabs(g);
        }
        EXPECT_NEAR(sum / 5.0, sc.wk.theta[0], 8 * std::numeric_limits<double>::epsilon() * scale);
        EXPECT_FALSE(std::isnan(sum));
    }
}

TEST(SweepScratch, SizesLayoutAndOverflow) {
    EXPECT_EQ(sweep_scratch_size(1), 5u + 2u + 0u + 0u + 5u);
    EXPECT_EQ(sweep_scratch_size(3), 15u + 18u + 2u + 8u + 27u);
    EXPECT_EQ(sweep_scratch_size(std::numeric_limits<int32_t>::min()), 0u);
    // About 6n^2 doubles: more than any size_t can count.
    EXPECT_EQ(sweep_scratch_size(std::numeric_limits<int32_t>::max()),
              std::numeric_limits<std::size_t>::max());
    for (int32_t n = 1; n <= 6; ++n) {
        std::vector<double> buf(sweep_scratch_size(n));
        const SweepWork wk = carve_sweep_scratch(n, buf.data());
        EXPECT_EQ(wk.inv + inverse_scratch_size(n), buf.data() + buf.size()) << n;
        EXPECT_EQ(wk.c + (n - 1), wk.tmat) << n;
    }
}

TEST(SweepExport, MatchesTheCoreOnACopyOfTheProcessStream) {
    using kestrum::random::process_stream;
    using kestrum::random::Record;
    using kestrum::random::Stream;
    FiveGroups a, b;
    Record copy = zbql0001_;
    Stream mirror = process_stream();
    mirror.rec = &copy;
    Scratch sc(5);
    row_sweep(mirror, 5, 1, &a.ntot, a.nobs, a.vshape, a.vrate, &a.pshape, &a.prate, a.effvar,
              a.mvar, a.ybar, a.s2, &a.ybar0, &a.s20, a.gmean, a.gvar, &a.pmean, &a.pvar,
              sc.buf.data());
    const int32_t n = 5, pool = 1;
    rpostcal_(nullptr, &n, &pool, &b.ntot, b.nobs, b.vshape, b.vrate, &b.pshape, &b.prate,
              b.effvar, b.mvar, nullptr, b.ybar, b.s2, &b.ybar0, &b.s20, b.gmean, b.gvar, &b.pmean,
              &b.pvar);
    for (int j = 0; j < 5; ++j) {
        EXPECT_EQ(a.gmean[j], b.gmean[j]) << j;
        EXPECT_EQ(a.gvar[j], b.gvar[j]) << j;
    }
    EXPECT_EQ(a.pmean, b.pmean);
    EXPECT_EQ(a.pvar, b.pvar);
    // Both streams stand at the same place afterwards.
    for (int t = 0; t < 43; ++t) EXPECT_EQ(copy.xtab[t], zbql0001_.xtab[t]);
    EXPECT_EQ(mirror.ilag22, process_stream().ilag22);
    EXPECT_EQ(mirror.nstat, process_stream().nstat);
}

TEST(SweepExport, NonPositiveShapeGivesTheGammaMessageAndAnInfiniteVariance) {
    int32_t nobs[2] = {2, 3};
    double vshape[2] = {-5.0, 1.0}, vrate[2] = {1.0, 1.0}, effvar[1] = {1.0}, mvar[1] = {1.0};
    double ybar[2] = {1.0, 2.0}, s2[2] = {1.0, 1.0}, gmean[2] = {0.0, 0.0}, gvar[2];
    const int32_t n = 2, pool = 0;
    const std::string out = kestrum::test::capture_stdout([&] {
        rpostcal_(nullptr, &n, &pool, nullptr, nobs, vshape, vrate, nullptr, nullptr, effvar, mvar,
                  nullptr, ybar, s2, nullptr, nullptr, gmean, gvar, nullptr, nullptr);
    });
    EXPECT_EQ(out,
              "\n     ****ERROR**** Illegal parameter value in  ZBQLGAM\n"
              "     (both parameters must be positive)\n\n");
    EXPECT_EQ(gvar[0], std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isfinite(gvar[1]));
}

}  // namespace
