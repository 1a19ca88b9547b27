// The uniform stream -- exact values from the load-time table and
// from seeds, the zero-word rule, zbqluab_, and the state tests (copy and
// replay; private streams interleaved).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "random/seeding.h"
#include "random/variates.h"
#include "random_support.h"
#include "support/capture.h"

namespace kestrum::test {
namespace {

const double kZero = 0.0;

TEST(Uniform, FirstTwoFromTheLoadTimeTableAndTheStateTheyLeave) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    const random::Stream& ps = random::process_stream();

    const double u1 = zbqlu01_(&kZero);
    EXPECT_EQ(u1, (286817366.0 - 263576576.0) / kB);
    EXPECT_EQ(zbql0001_.carry, 0.0);
    EXPECT_EQ(ps.ilag22, 21);
    EXPECT_EQ(ps.ilag43, 42);
    EXPECT_EQ(ps.icount, 43);
    EXPECT_EQ(zbql0001_.xtab[42], 286817366.0 - 263576576.0);

    // xtab(21) - xtab(42) goes negative: B is added and the borrow set.
    const double u2 = zbqlu01_(&kZero);
    EXPECT_EQ(u2, (168564303.0 - 320429173.0 + kB) / kB);
    EXPECT_EQ(zbql0001_.carry, 1.0);
    EXPECT_EQ(ps.ilag22, 20);
    EXPECT_EQ(ps.ilag43, 41);
    EXPECT_EQ(ps.icount, 42);
}

TEST(Uniform, PrivateStreamFromTheLoadTimeTableMatchesTheProcessStream) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    PrivateStream p;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(p.s.uniform(), zbqlu01_(&kZero)) << i;
}

TEST(Uniform, DummyArgumentIsNeverRead) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    const double nan = std::nan("");
    EXPECT_EQ(zbqlu01_(&nan), (286817366.0 - 263576576.0) / kB);
}

TEST(Uniform, PositionsKeepTheirInvariantAndWrapOncePerStep) {
    PrivateStream p;
    for (int n = 0; n < 43 * 5; ++n) {
        p.s.step();
        const int d1 = ((p.s.ilag43 - p.s.ilag22) % 43 + 43) % 43;
        const int d2 = ((p.s.icount - p.s.ilag43) % 43 + 43) % 43;
        ASSERT_EQ(d1, 21);
        ASSERT_EQ(d2, 1);
        ASSERT_GE(p.s.ilag22, 1);
        ASSERT_LE(p.s.ilag22, 43);
        ASSERT_GE(p.s.ilag43, 1);
        ASSERT_LE(p.s.ilag43, 43);
        ASSERT_GE(p.s.icount, 1);
        ASSERT_LE(p.s.icount, 43);
    }
}

TEST(Uniform, SeedOneGivesPowersOf30269AndTheNextUniform) {
    PrivateStream p;
    ASSERT_EQ(random::seed_table(p.rec, 1), random::SeedOutcome::seeded);
    for (int i = 1; i <= 43; ++i) {
        EXPECT_EQ(p.rec.xtab[i - 1], static_cast<double>(pow_mod_b(30269, i - 1))) << i;
    }
    EXPECT_EQ(p.rec.xtab[0], 1.0);
    EXPECT_EQ(p.rec.xtab[1], 30269.0);
    EXPECT_EQ(p.rec.xtab[2], 30269.0 * 30269.0);
    // From the initial positions with carry 0: ((xtab(22) - xtab(43)) mod B)/B.
    const int64_t x22 = static_cast<int64_t>(pow_mod_b(30269, 21));
    const int64_t x43 = static_cast<int64_t>(pow_mod_b(30269, 42));
    const int64_t w = ((x22 - x43) % 4294967291LL + 4294967291LL) % 4294967291LL;
    EXPECT_EQ(p.s.uniform(), static_cast<double>(w) / kB);
}

TEST(Uniform, SeedingKeepsCarryPositionsAndNormalPair) {
    PrivateStream p;
    for (int i = 0; i < 7; ++i) p.s.uniform();
    p.s.normal(0.0, 1.0);
    const PrivateStream before(p);
    ASSERT_EQ(random::seed_table(p.rec, 99), random::SeedOutcome::seeded);
    EXPECT_EQ(p.rec.carry, before.rec.carry);
    EXPECT_EQ(p.rec.base, before.rec.base);
    EXPECT_EQ(p.s.ilag22, before.s.ilag22);
    EXPECT_EQ(p.s.ilag43, before.s.ilag43);
    EXPECT_EQ(p.s.icount, before.s.icount);
    EXPECT_EQ(p.s.nstat, 1);
    EXPECT_EQ(p.s.nspare, before.s.nspare);
}

TEST(Uniform, ZeroWordTakesAFurtherStepAndDividesByBSquared) {
    // Poke xtab(22) = xtab(43) so that the first word of the load-time stream
    // is 0 (carry 0): the call steps again and divides that word by B^2.
    PrivateStream p;
    p.rec.xtab[21] = p.rec.xtab[42];
    const PrivateStream before(p);
    // The second word subtracts xtab(42) from xtab(21) with borrow 0.
    const double w2 = 168564303.0 - 320429173.0 + kB;
    const double u = p.s.uniform();
    EXPECT_EQ(u, w2 / (kB * kB));
    EXPECT_GT(u, 0.0);
    EXPECT_LE(u, (kB - 1.0) / (kB * kB));
    EXPECT_EQ(p.rec.xtab[42], 0.0);  // the zero word stays in the table
    EXPECT_EQ(steps_between(before, p), 2);
}

TEST(Uniform, ZeroWordThroughTheExportedRoutine) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    zbql0001_.xtab[21] = 0.0;
    zbql0001_.xtab[42] = 0.0;
    const double w2 = 168564303.0 - 320429173.0 + kB;
    EXPECT_EQ(zbqlu01_(&kZero), w2 / (kB * kB));
    EXPECT_EQ(random::process_stream().icount, 42);
}

TEST(Uniform, NeverLeavesTheOpenInterval) {
    PrivateStream p;
    for (int i = 0; i < 200000; ++i) {
        const double u = p.s.uniform();
        ASSERT_GT(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST(UniformBetween, EqualLimitsWarnReturnTheLimitAndDrawNothing) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    const PrivateStream before = ProcessStateGuard::snapshot();
    const double lo = 2.5, hi = 2.5;
    double r = 0.0;
    const std::string out = capture_stdout([&] { r = zbqluab_(&lo, &hi); });
    EXPECT_EQ(r, 2.5);
    EXPECT_EQ(out,
              "\n"
              "     ****WARNING**** (function ZBQLUAB) Upper and lower limits on uniform\n"
              "     distribution are identical\n"
              "\n");
    EXPECT_TRUE(ProcessStateGuard::snapshot().same_state(before));
}

TEST(UniformBetween, ReversedLimitsGiveAValueBetweenThem) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    PrivateStream copy = ProcessStateGuard::snapshot();
    const double lo = 5.0, hi = 2.0;
    std::string out = capture_stdout([&] {
        for (int i = 0; i < 100; ++i) {
            const double u = copy.s.uniform();
            const double r = zbqluab_(&lo, &hi);
            ASSERT_EQ(r, 5.0 + u * (2.0 - 5.0));
            ASSERT_GE(r, 2.0);
            ASSERT_LE(r, 5.0);
        }
    });
    EXPECT_EQ(out, "");
}

TEST(UniformBetween, NanLimitsAreNotEqualAndDraw) {
    PrivateStream p;
    const PrivateStream before(p);
    const double r = random::uniform_between(p.s, std::nan(""), std::nan(""));
    EXPECT_TRUE(std::isnan(r));
    EXPECT_EQ(steps_between(before, p), 1);
}

TEST(State, CopyMidStreamAndReplay) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    for (int i = 0; i < 1234; ++i) zbqlu01_(&kZero);
    const double one = 1.0;
    zbqlnor_(&kZero, &one);  // leaves a saved deviate too
    // Copy the record and the positions (and the normal pair) mid-stream.
    const Record saved_rec = zbql0001_;
    const random::ProcessState saved_state = random::process_state();
    std::vector<double> first;
    for (int i = 0; i < 500; ++i) {
        first.push_back(zbqlu01_(&kZero));
        first.push_back(zbqlnor_(&kZero, &one));
        const double g = 3.5, h = 2.0;
        first.push_back(zbqlgam_(&g, &h));
    }
    zbql0001_ = saved_rec;
    random::process_state() = saved_state;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(zbqlu01_(&kZero), first[3 * i]);
        ASSERT_EQ(zbqlnor_(&kZero, &one), first[3 * i + 1]);
        const double g = 3.5, h = 2.0;
        ASSERT_EQ(zbqlgam_(&g, &h), first[3 * i + 2]);
    }
    // The same from a private copy of that state.
    PrivateStream p(saved_rec);
    p.s = saved_state.stream;
    p.s.rec = &p.rec;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(p.s.uniform(), first[3 * i]);
        ASSERT_EQ(p.s.normal(0.0, 1.0), first[3 * i + 1]);
        ASSERT_EQ(p.s.gamma(3.5, 2.0), first[3 * i + 2]);
    }
}

TEST(State, PrivateStreamsInterleavedMatchEachAlone) {
    PrivateStream a, b;
    ASSERT_EQ(random::seed_table(a.rec, 11), random::SeedOutcome::seeded);
    ASSERT_EQ(random::seed_table(b.rec, 22), random::SeedOutcome::seeded);
    PrivateStream a_alone(a), b_alone(b);
    std::vector<double> va, vb;
    for (int i = 0; i < 300; ++i) {
        va.push_back(a.s.uniform());
        vb.push_back(b.s.normal(1.0, 2.0));
        va.push_back(a.s.normal(0.0, 1.0));
        vb.push_back(static_cast<double>(random::poisson(b.s, 17.5)));
        va.push_back(random::beta(a.s, 0.5, 0.7));
    }
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(a_alone.s.uniform(), va[3 * i]);
        ASSERT_EQ(a_alone.s.normal(0.0, 1.0), va[3 * i + 1]);
        ASSERT_EQ(random::beta(a_alone.s, 0.5, 0.7), va[3 * i + 2]);
    }
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(b_alone.s.normal(1.0, 2.0), vb[2 * i]);
        ASSERT_EQ(static_cast<double>(random::poisson(b_alone.s, 17.5)), vb[2 * i + 1]);
    }
}

TEST(State, PrivateStreamsLeaveTheProcessStreamAlone) {
    ProcessStateGuard guard;
    const PrivateStream before = ProcessStateGuard::snapshot();
    PrivateStream p;
    for (int i = 0; i < 100; ++i) random::geometric(p.s, 0.3);
    EXPECT_TRUE(ProcessStateGuard::snapshot().same_state(before));
}

}  // namespace
}  // namespace kestrum::test
