// Generator records a host can write that give no usable uniforms: the two
// fixed points of the recurrence, NaN / infinite / huge words and bad bases.
// Every exported routine that draws returns (a watchdog ends the process
// otherwise), writes the degenerate-table message at most once per call,
// and the process stays usable: a sane record and seeding work afterwards.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "random_support.h"
#include "random/variates.h"
#include "support/capture.h"

namespace kestrum::test {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

struct BadRecord {
    const char* name;
    double word;     // every table word (or only the first, see one_word)
    bool one_word;   // only xtab(1) poisoned, the rest as at load time
    double base;
    double carry;
    bool always;     // no word of it ever gives a uniform: every draw degenerates
};

const BadRecord kRecords[] = {
    {"zero fixed point", 0.0, false, kB, 0.0, true},
    {"B-1 fixed point", kB - 1.0, false, kB, 1.0, false},
    {"all NaN", kNan, false, kB, 0.0, true},
    {"all +inf", kInf, false, kB, 0.0, true},
    {"all -inf", -kInf, false, kB, 0.0, true},
    {"all 1e20", 1e20, false, kB, 0.0, false},
    {"one NaN word", kNan, true, kB, 0.0, false},
    {"one 1e20 word", 1e20, true, kB, 0.0, false},
    {"base 0", -1.0, true, 0.0, 0.0, true},
    {"base 1", -1.0, true, 1.0, 0.0, true},
    {"base NaN", -1.0, true, kNan, 0.0, true},
    {"base +inf", -1.0, true, kInf, 0.0, true},
    {"base -inf", -1.0, true, -kInf, 0.0, true},
};

void install(const BadRecord& b) {
    Record r = load_time_record();
    if (b.word != -1.0) {
        for (int i = 0; i < (b.one_word ? 1 : 43); ++i) r.xtab[i] = b.word;
    }
    r.base = b.base;
    r.carry = b.carry;
    zbql0001_ = r;
    random::process_state().stream.nstat = -1;  // zbqlnor_ draws a pair
}

// One exported call: its result as a double and whether it is the value
// documented for a degenerate record (the illegal-parameter value; 0.5 for
// zbqlu01_ and the value formed from it for zbqluab_ and zbqlnor_).
struct Call {
    const char* name;
    std::function<double()> run;
    double degenerate_value;  // NaN: not checked (zbqlnor_)
    bool fixed_point_refuses; // the B-1 fixed point never accepts
};

double d(double v) { return v; }

const std::vector<Call>& calls() {
    static const double z = 0.0, one = 1.0, half = 0.5, two = 2.0, three = 3.0, twenty = 20.0,
                        p95 = 0.95, p3 = 0.3, five = 5.0, m500 = 500.0, m5000 = 5000.0;
    static const int32_t n1000 = 1000, n20 = 20;
    static const std::vector<Call> c = {
        {"zbqlu01_", [] { return zbqlu01_(&z); }, 0.5, false},
        {"zbqluab_", [] { return zbqluab_(&z, &one); }, 0.5, false},
        {"zbqlnor_", [] { return zbqlnor_(&z, &one); }, kNan, false},
        {"zbqlexp_", [] { return zbqlexp_(&one); }, 0.0, false},
        {"zbqlgam_ GS", [] { return zbqlgam_(&half, &one); }, 0.0, true},
        {"zbqlgam_ ratio", [] { return zbqlgam_(&three, &one); }, 0.0, true},
        {"zbqlgam_ GKM3", [] { return zbqlgam_(&twenty, &one); }, 0.0, true},
        {"zbqlbet1_ Johnk", [] { return zbqlbet1_(&half, &half); }, 0.0, true},
        {"zbqlbet1_ gamma", [] { return zbqlbet1_(&two, &three); }, 0.0, true},
        {"zbqlwei_", [] { return zbqlwei_(&two, &one); }, 0.0, false},
        {"zbqlpar_", [] { return zbqlpar_(&two, &one); }, 0.0, false},
        {"zbqlgeo_ counting", [] { return d(zbqlgeo_(&p95)); }, 0.0, true},
        {"zbqlgeo_ formula", [] { return d(zbqlgeo_(&p3)); }, 0.0, false},
        {"zbqlbin_ split", [] { return d(zbqlbin_(&n1000, &p3)); }, 0.0, true},
        {"zbqlbin_ count", [] { return d(zbqlbin_(&n20, &half)); }, 0.0, false},
        {"zbqlpoi_ product", [] { return d(zbqlpoi_(&five)); }, 0.0, true},
        {"zbqlpoi_ gamma", [] { return d(zbqlpoi_(&m500)); }, 0.0, true},
        {"zbqlpoi_ rejection", [] { return d(zbqlpoi_(&m5000)); }, 0.0, true},
        {"zbqlnb_", [] { return d(zbqlnb_(&three, &half)); }, 0.0, true},
        {"kestrum_", [] {
             const int32_t res = 0, ipool = 1, L = 3, J = 2, N = 5, K = 4, B = 3;
             const int32_t nobs[2] = {2, 3};
             const double y[15] = {1, 2, 3, 4, 5, 2, 3, 1, 5, 4, 0, 1, 0, 2, 1};
             const double h = 1.0, mvar[2] = {1, 1}, effvar[2] = {1, 1};
             double prshape = 0, prscale = 0, prob[3], pm[3], pv[3], gm[6], gv[6];
             kestrum_(&res, &ipool, &L, &J, nobs, &N, y, &K, &B, &h, &h, &prshape, &prscale,
                      mvar, effvar, prob, pm, pv, gm, gv);
             return 0.0;
         }, 0.0, true},
        {"rpostcal_", [] {
             const int32_t n = 2, pool = 1, ntot = 5, nobs[2] = {2, 3};
             const double vshape[2] = {1, 1}, vrate[2] = {1, 1}, effvar[1] = {1},
                          mvar[2] = {1, 1}, ybar[2] = {1, 3}, s2[2] = {1, 1};
             const double pshape = 1, prate = 1, ybar0 = 2, s20 = 1;
             double gmean[2] = {0, 0}, gvar[2] = {0, 0}, pmean = 0, pvar = 0, work[8] = {};
             rpostcal_(nullptr, &n, &pool, &ntot, nobs, vshape, vrate, &pshape, &prate, effvar,
                       mvar, work, ybar, s2, &ybar0, &s20, gmean, gvar, &pmean, &pvar);
             return 0.0;
         }, 0.0, true},
    };
    return c;
}

int count(const std::string& s, const std::string& what) {
    int n = 0;
    for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}

const char* const kMessage =
    "\n     ****ERROR**** The generator table is degenerate: the record\n"
    "     ZBQL0001 gives no usable uniform variates. Seed it or restore it.\n\n";

TEST(Degenerate, EveryCallEndsWritesTheMessageAtMostOnceAndGivesTheDocumentedValue) {
    ProcessStateGuard guard;
    Watchdog dog(60);
    for (const BadRecord& b : kRecords) {
        for (const Call& c : calls()) {
            install(b);
            double v = 0.0;
            const std::string out = capture_stdout([&] { v = c.run(); });
            const int n = count(out, kMessage);
            ASSERT_LE(n, 1) << b.name << ", " << c.name;
            const bool expected = b.always || (b.carry == 1.0 && c.fixed_point_refuses);
            if (expected) {
                EXPECT_EQ(n, 1) << b.name << ", " << c.name;
            }
            if (n == 1 && !std::isnan(c.degenerate_value)) {
                EXPECT_EQ(v, c.degenerate_value) << b.name << ", " << c.name;
            }
            // Whatever the record, a uniform stays inside (0, 1).
            double lo = 1.0, hi = 0.0;
            (void)capture_stdout([&] {
                for (int i = 0; i < 50; ++i) {
                    const double u = zbqlu01_(&lo);
                    lo = u < lo ? u : lo;
                    hi = u > hi ? u : hi;
                }
            });
            ASSERT_TRUE(lo > 0.0 && hi < 1.0) << b.name << " " << lo << " " << hi;
        }
    }
}

TEST(Degenerate, ZeroWordRunsKeepTheirValueUpToTheLimit) {
    // A zero table with one word planted: the steps give k zero words,
    // then a word x, and the uniform is x / B^(k+1), exactly as before.
    for (int cell = 0; cell < 43; ++cell) {
        PrivateStream p;
        for (double& w : p.rec.xtab) w = 0.0;
        p.rec.xtab[cell] = 12345.0;
        PrivateStream replay(p);
        int k = 0;
        double x;
        while ((x = replay.s.step()) == 0.0) ++k;
        double divisor = kB;
        for (int i = 0; i < k; ++i) divisor *= kB;
        double u = 0.0;
        EXPECT_EQ(capture_stdout([&] { u = p.s.uniform(); }), "") << cell;
        EXPECT_EQ(u, x / divisor) << cell << " " << k;
        EXPECT_TRUE(p.same_state(replay)) << cell;
    }
    // The zero fixed point: 32 steps (31 zero words skipped, B^32 is the
    // last finite divisor), the message, 0.5.
    PrivateStream p;
    for (double& w : p.rec.xtab) w = 0.0;
    PrivateStream before(p);
    double u = 0.0;
    EXPECT_EQ(capture_stdout([&] {
                  u = p.s.uniform();
                  p.s.flush_report();  // the exported routines do this before they return
              }),
              kMessage);
    EXPECT_EQ(u, 0.5);
    EXPECT_EQ(steps_between(before, p, 100), 32);
}

TEST(Degenerate, RejectionLoopsGiveUpAtTheirBound) {
    // The B-1 fixed point: every uniform is (B-1)/B, one step each, and no
    // attempt is accepted, so a refused draw takes exactly bound x uniforms
    // per attempt, and counts one degenerate event.
    struct Case {
        const char* name;
        std::function<double(Stream&)> draw;
        long uniforms;
    };
    const Case cases[] = {
        {"gamma GS", [](Stream& s) { return s.gamma_core(0.5, 1.0); }, 2L * random::kMaxRejectionsGS},
        {"gamma ratio", [](Stream& s) { return s.gamma_core(3.0, 1.0); },
         2L * random::kMaxRejectionsRatio},
        {"gamma GKM3", [](Stream& s) { return s.gamma_core(20.0, 1.0); },
         2L * random::kMaxRejectionsGKM3},
        {"beta Johnk", [](Stream& s) { return random::beta(s, 0.5, 0.5); },
         2L * random::kMaxRejectionsJohnk},
        {"geometric", [](Stream& s) { return double(random::geometric(s, 0.95)); },
         random::kMaxGeometricTrials},
        {"Poisson product", [](Stream& s) { return double(random::poisson(s, 5.0)); },
         random::kMaxPoissonProduct},
        {"Poisson rejection", [](Stream& s) { return double(random::poisson(s, 5000.0)); },
         2L * random::kMaxRejectionsPoisson},
    };
    for (const Case& c : cases) {
        Record r = load_time_record();
        for (double& w : r.xtab) w = kB - 1.0;
        r.carry = 1.0;
        PrivateStream p(r);
        const PrivateStream before(p);
        const uint32_t faults = p.s.faults;
        double v = 0.0;
        (void)capture_stdout([&] { v = c.draw(p.s); });
        EXPECT_EQ(p.s.faults, faults + 1u) << c.name;
        EXPECT_TRUE(std::isnan(v) || v == 0.0) << c.name << " " << v;
        // The table stays all B-1 and the positions return every 43 steps,
        // so the count of uniforms shows modulo 43.
        EXPECT_EQ(steps_between(before, p, 1000), c.uniforms % 43) << c.name;
    }
}

TEST(Degenerate, TheProcessStaysUsable) {
    ProcessStateGuard guard;
    Watchdog dog(60);
    install(kRecords[0]);
    (void)capture_stdout([] {
        const double g = 3.0, h = 1.0;
        (void)zbqlgam_(&g, &h);
    });
    // A fresh table seeded by the host works as from load time.
    random::process_state().initcount = 0;
    zbql0001_.base = kB;
    const int32_t seed = 1;
    zbqlini_(&seed);
    const std::string out = capture_stdout([] {
        const double g = 3.0, h = 1.0, z = 0.0;
        for (int i = 0; i < 1000; ++i) {
            const double u = zbqlu01_(&z);
            EXPECT_TRUE(u > 0.0 && u < 1.0);
            EXPECT_GT(zbqlgam_(&g, &h), 0.0);
        }
    });
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace kestrum::test
