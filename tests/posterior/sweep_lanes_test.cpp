// Rows swept in SIMD lanes against row_sweep one row at a time: the same
// bits for every order the lanes take (1 to 7 groups), the pooled model on
// and off, at every width this processor has, for ordinary rows and for
// rows that leave the ordinary path, alone in their lane group or beside
// ordinary rows; and the lanes that leave it are the ones row_sweep redoes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "posterior/sweep.h"
#include "posterior/sweep_lanes.h"
#include "support/scripted_source.h"

namespace {

using namespace kestrum::posterior;
using kestrum::test::ScriptedSource;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One row's values and the variates its sweep draws.
struct Row {
    double ybar[7], s2[7], gmean[7], gvar[7];
    double ybar0, s20, pmean, pvar;
    std::vector<double> gammas, normals;
};

struct Shared {
    std::int32_t nobs[7];
    double vshape[7], vrate[7], effvar[7], mvar[2];
    double pshape = 2.0, prate = 1.5;
    std::int32_t ntot = 0;
    SweepShared view(std::int32_t n, std::int32_t ipool) const {
        SweepShared sh;
        sh.ngrp = n;
        sh.ipool = ipool;
        sh.ntot = ntot;
        sh.nobs = nobs;
        sh.vshape = vshape;
        sh.vrate = vrate;
        sh.pshape = pshape;
        sh.prate = prate;
        sh.effvar = effvar;
        sh.mvar = mvar;
        return sh;
    }
};

Shared random_shared(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Shared s;
    s.ntot = 0;
    for (int j = 0; j < 7; ++j) {
        s.nobs[j] = 1 + static_cast<std::int32_t>(u(gen) * 6.0);
        s.ntot += s.nobs[j];
        s.vshape[j] = 1.0 + 2.0 * u(gen);
        s.vrate[j] = 0.5 + 3.0 * u(gen);
        s.effvar[j] = 1.0 + 999.0 * u(gen);
    }
    s.mvar[0] = 10.0 + 1000.0 * u(gen);
    s.mvar[1] = 10.0 + 1000.0 * u(gen);
    return s;
}

Row random_row(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Row r;
    for (int j = 0; j < 7; ++j) {
        r.ybar[j] = 10.0 * u(gen) - 5.0;
        r.s2[j] = 0.01 + 3.0 * u(gen);
        r.gmean[j] = 10.0 * u(gen) - 5.0;
        r.gvar[j] = 0.1 + u(gen);
    }
    r.ybar0 = 10.0 * u(gen) - 5.0;
    r.s20 = 0.01 + 3.0 * u(gen);
    r.pmean = 10.0 * u(gen) - 5.0;
    r.pvar = 0.1 + u(gen);
    for (int i = 0; i < 8; ++i) {
        r.gammas.push_back(0.05 + 8.0 * u(gen));
        r.normals.push_back(6.0 * u(gen) - 3.0);
    }
    return r;
}

// What row_sweep makes of one row: its sweep on a source scripted with the
// row's variates.
Row one_at_a_time(const SweepShared& sh, Row r) {
    ScriptedSource src;
    src.gammas = r.gammas;
    src.normals = r.normals;
    std::vector<double> scratch(sweep_scratch_size(sh.ngrp) + 1);
    row_sweep(src, sh.ngrp, sh.ipool, &sh.ntot, sh.nobs, sh.vshape, sh.vrate, &sh.pshape,
              &sh.prate, sh.effvar, sh.mvar, r.ybar, r.s2, &r.ybar0, &r.s20, r.gmean, r.gvar,
              &r.pmean, &r.pvar, scratch.data());
    return r;
}

// The rows side by side (row l at offset l, ld = width), their variates
// drawn from the same scripts in row order; returns the redone lanes.
unsigned in_lanes(const SweepShared& sh, std::vector<Row>& rows, int width) {
    const int n = sh.ngrp;
    std::vector<double> ybar(7 * width), s2(7 * width), gmean(7 * width), gvar(7 * width);
    std::vector<double> ybar0(width), s20(width), pmean(width), pvar(width);
    std::vector<double> gam(kMaxLaneVariates * width), z(kMaxLaneVariates * width);
    for (int l = 0; l < width; ++l) {
        const Row& r = rows[l];
        for (int j = 0; j < n; ++j) {
            ybar[l + j * width] = r.ybar[j];
            s2[l + j * width] = r.s2[j];
            gmean[l + j * width] = r.gmean[j];
            gvar[l + j * width] = r.gvar[j];
        }
        ybar0[l] = r.ybar0;
        s20[l] = r.s20;
        pmean[l] = r.pmean;
        pvar[l] = r.pvar;
        ScriptedSource src;
        src.gammas = r.gammas;
        src.normals = r.normals;
        draw_row_variates(src, sh, gam.data() + l, z.data() + l, width);
    }
    LaneRows in;
    in.ld = width;
    in.ybar = ybar.data();
    in.s2 = s2.data();
    in.gmean = gmean.data();
    in.gvar = gvar.data();
    in.ybar0 = ybar0.data();
    in.s20 = s20.data();
    in.pmean = pmean.data();
    in.pvar = pvar.data();
    in.gam = gam.data();
    in.z = z.data();
    std::vector<double> fallback(4 * n), scratch(sweep_scratch_size(n) + 1);
    const unsigned redo = row_sweep_lanes(sh, in, width, {fallback.data(), scratch.data()});
    for (int l = 0; l < width; ++l) {
        Row& r = rows[l];
        for (int j = 0; j < n; ++j) {
            r.gmean[j] = gmean[l + j * width];
            r.gvar[j] = gvar[l + j * width];
        }
        r.pmean = pmean[l];
        r.pvar = pvar[l];
    }
    return redo;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Whether a case takes its lane off the ordinary path.
enum class Path { stays, leaves, leaves_pooled, either };

struct Case {
    const char* name;
    Path path;
    void (*row)(Row&, int n);       // applied to the chosen lane's row
    void (*shared)(Shared&, int n); // applied to the arguments of every row
};

void no_row(Row&, int) {}
void no_shared(Shared&, int) {}

const Case kCases[] = {
    {"ordinary", Path::stays, no_row, no_shared},
    {"signed zeros", Path::stays,
     [](Row& r, int) {
         for (double& x : r.gmean) x = -0.0;
         for (double& x : r.ybar) x = -0.0;
         r.pmean = -0.0;
         r.ybar0 = -0.0;
     },
     no_shared},
    {"NaN group mean of the data", Path::leaves, [](Row& r, int) { r.ybar[0] = kNaN; }, no_shared},
    {"infinite incoming mean", Path::leaves, [](Row& r, int n) { r.gmean[n - 1] = kInf; }, no_shared},
    {"zero gamma variate", Path::leaves, [](Row& r, int) { r.gammas[0] = 0.0; }, no_shared},
    {"NaN gamma variate", Path::leaves, [](Row& r, int n) { r.gammas[n - 1] = kNaN; }, no_shared},
    {"subnormal gamma variate", Path::leaves,
     [](Row& r, int) { r.gammas[0] = std::numeric_limits<double>::denorm_min(); }, no_shared},
    {"overflowing rate", Path::leaves, [](Row& r, int) { r.ybar[0] = 1e200; }, no_shared},
    {"infinite normal", Path::leaves, [](Row& r, int) { r.normals[0] = kInf; }, no_shared},
    {"NaN pooled mean of the data", Path::leaves_pooled, [](Row& r, int) { r.ybar0 = kNaN; },
     no_shared},
    {"huge gamma variates", Path::either,
     [](Row& r, int) {
         for (double& g : r.gammas) g = 1e300;
     },
     no_shared},
    {"zero prior variance of a contrast", Path::either, no_row,
     [](Shared& s, int) { s.effvar[0] = 0.0; }},
    {"negative prior variances", Path::either, no_row,
     [](Shared& s, int) {
         for (double& e : s.effvar) e = -1e-3;
     }},
    {"infinite prior variance of the mean", Path::either, no_row,
     [](Shared& s, int) { s.mvar[0] = kInf; }},
    {"a group without observations", Path::either, no_row, [](Shared& s, int n) { s.nobs[n - 1] = 0; }},
};

TEST(SweepLanes, SameBitsAsOneRowAtATime) {
    std::vector<int> widths;
    for (int w : {2, 4}) {
        if (row_lane_width(3, w) == w) widths.push_back(w);
    }
    std::mt19937_64 gen(20261210);
    for (int width : widths) {
        for (std::int32_t n = 1; n <= 7; ++n) {
            for (std::int32_t ipool : {0, 1}) {
                for (const Case& cs : kCases) {
                    for (int bad : {0, width - 1}) {
                        Shared shared = random_shared(gen);
                        cs.shared(shared, n);
                        const SweepShared sh = shared.view(n, ipool);
                        std::vector<Row> rows;
                        for (int l = 0; l < width; ++l) rows.push_back(random_row(gen));
                        cs.row(rows[bad], n);
                        std::vector<Row> expected;
                        for (const Row& r : rows) expected.push_back(one_at_a_time(sh, r));
                        const unsigned redo = in_lanes(sh, rows, width);
                        const std::string what = std::string(cs.name) + " width=" +
                                                 std::to_string(width) + " n=" + std::to_string(n) +
                                                 " ipool=" + std::to_string(ipool) +
                                                 " lane=" + std::to_string(bad);
                        for (int l = 0; l < width; ++l) {
                            for (int j = 0; j < n; ++j) {
                                EXPECT_TRUE(same_bits(rows[l].gmean[j], expected[l].gmean[j])) << what;
                                EXPECT_TRUE(same_bits(rows[l].gvar[j], expected[l].gvar[j])) << what;
                            }
                            EXPECT_TRUE(same_bits(rows[l].pmean, expected[l].pmean)) << what;
                            EXPECT_TRUE(same_bits(rows[l].pvar, expected[l].pvar)) << what;
                        }
                        const bool leaves = cs.path == Path::leaves ||
                                            (cs.path == Path::leaves_pooled && ipool == 1);
                        if (cs.path == Path::stays || (cs.path == Path::leaves_pooled && ipool == 0)) {
                            EXPECT_EQ(redo, 0u) << what;
                        } else if (leaves) {
                            EXPECT_EQ(redo, 1u << bad) << what;
                        }
                    }
                }
            }
        }
    }
}

// Orders outside 1..7 are never given lanes.
TEST(SweepLanes, OnlyTheFixedOrdersGoInLanes) {
    EXPECT_EQ(row_lane_width(0), 1);
    EXPECT_EQ(row_lane_width(8), 1);
    EXPECT_EQ(row_lane_width(-1), 1);
    EXPECT_EQ(row_lane_width(3, 1), 1);
    EXPECT_GE(row_lane_width(3), row_lane_width(3, 2));
}

}  // namespace
