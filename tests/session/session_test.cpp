// The session interface: bit-for-bit agreement with kestrum_, independence
// of sessions, seeding, saved states, callbacks and argument checks.
#include "kestrumr_session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "random/seeding.h"
#include "random/stream.h"

// A workspace beyond memory must come back as a null block, also under
// AddressSanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using Session = std::unique_ptr<kestrumr_session, void (*)(kestrumr_session*)>;
Session make_session() { return Session(kestrumr_session_new(), kestrumr_session_free); }

// A small problem: L rows of three groups (3, 2, 4 observations) with
// deterministic, group-dependent values.
struct Problem {
    std::int32_t L, J = 3, N = 9, K, B, ipool;
    std::vector<std::int32_t> nobs{3, 2, 4};
    std::vector<double> y, mvar{10000.0, 10000.0}, effvar{10000.0, 10000.0};
    double hshape = 1.0, hrate = 1.0;

    Problem(std::int32_t rows, std::int32_t keep, std::int32_t burn, std::int32_t pool = 1)
        : L(rows), K(keep), B(burn), ipool(pool), y(static_cast<std::size_t>(rows) * 9) {
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t t = 0; t < N; ++t)
                y[g + t * L] = 0.37 * ((g * 7 + t * 3) % 11) + (t >= 5 ? 1.5 * (g % 3) : 0.0);
    }
    kestrumr_problem c() const {
        return {ipool, L, J, nobs.data(), N, y.data(), K, B, hshape, hrate, mvar.data(),
                effvar.data()};
    }
};

struct Results {
    std::vector<double> prob, pm, pv, gm, gv;
    Results(std::int32_t L, std::int32_t J)
        : prob(L * (J - 1), -5.0), pm(L, -5.0), pv(L, -5.0), gm(L * J, -5.0), gv(L * J, -5.0) {}
    kestrumr_results c() {
        return {prob.data(), pm.data(), pv.data(), gm.data(), gv.data(), nullptr};
    }
    std::vector<double> all() const {
        std::vector<double> v(prob);
        for (const auto* a : {&pm, &pv, &gm, &gv}) v.insert(v.end(), a->begin(), a->end());
        return v;
    }
};

// Bit patterns, so that NaN == NaN and -0.0 != 0.0.
std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> b(v.size());
    std::memcpy(b.data(), v.data(), v.size() * sizeof(double));
    return b;
}

std::vector<std::uint64_t> session_run(kestrumr_session* s, const Problem& p) {
    Results r(p.L, p.J);
    const kestrumr_problem cp = p.c();
    const kestrumr_results cr = r.c();
    EXPECT_EQ(kestrumr_run(s, &cp, &cr), KESTRUMR_OK) << kestrumr_errmsg(s);
    return bits(r.all());
}

// kestrum_ on the process-wide generator: set to the given record with the
// positions and the saved deviate as after loading, or as it stands.
std::vector<std::uint64_t> process_run(const kestrumr_zbql0001* rec, const Problem& p) {
    if (rec != nullptr) {
        zbql0001_ = *rec;
        auto& st = kestrum::random::process_stream();
        st.ilag22 = 22;
        st.ilag43 = 43;
        st.icount = 1;
        st.nstat = -1;
        st.nspare = 0.0;
    }
    Results r(p.L, p.J);
    const std::int32_t res = 0;
    double prshape = 0.0, prscale = 0.0;
    kestrum_(&res, &p.ipool, &p.L, &p.J, p.nobs.data(), &p.N, p.y.data(), &p.K, &p.B, &p.hshape,
             &p.hrate, &prshape, &prscale, p.mvar.data(), p.effvar.data(), r.prob.data(),
             r.pm.data(), r.pv.data(), r.gm.data(), r.gv.data());
    return bits(r.all());
}

TEST(Session, VersionMatchesTheMacros) {
    EXPECT_STREQ(kestrumr_version(), KESTRUMR_VERSION_STRING);
    const std::string v = std::to_string(KESTRUMR_VERSION_MAJOR) + "." +
                          std::to_string(KESTRUMR_VERSION_MINOR) + "." +
                          std::to_string(KESTRUMR_VERSION_PATCH);
    EXPECT_EQ(v, KESTRUMR_VERSION_STRING);
}

TEST(Session, RunEqualsKestrumFromTheSameState) {
    struct Case {
        std::uint64_t seed;  // 0: a new session, unseeded
        std::int32_t L, K, B, ipool;
    };
    const Case cases[] = {{0, 4, 5, 3, 1}, {12345, 3, 4, 2, 0}, {2147483647, 5, 3, 0, 1}};
    for (const Case& c : cases) {
        const Problem p(c.L, c.K, c.B, c.ipool);
        Session s = make_session();
        kestrumr_zbql0001 rec = kestrum::random::load_time_record();
        if (c.seed != 0) {
            ASSERT_EQ(kestrumr_seed(s.get(), c.seed), KESTRUMR_OK);
            kestrum::random::fill_table(
                rec, kestrum::random::seed_value(static_cast<std::int32_t>(c.seed), rec.base));
        }
        // Two runs in a row: the second starts where the first left off.
        const auto first = session_run(s.get(), p);
        const auto second = session_run(s.get(), p);
        EXPECT_NE(first, second);
        std::vector<std::uint64_t> both = first;
        both.insert(both.end(), second.begin(), second.end());

        std::vector<std::uint64_t> pboth = process_run(&rec, p);
        const auto psecond = process_run(nullptr, p);  // goes on from the first
        pboth.insert(pboth.end(), psecond.begin(), psecond.end());
        EXPECT_EQ(both, pboth) << "seed " << c.seed;
    }
}

TEST(Session, SeedsInTheInt32RangeGiveTheTableOfTheSeedingRoutine) {
    const std::int32_t calls = kestrum::random::process_state().initcount;
    const kestrumr_zbql0001 process_record = zbql0001_;
    for (std::int32_t seed : {1, 2, 30269, 987654321, 2147483647}) {
        // zbqlini_'s own code path, on a private process state.
        kestrumr_zbql0001 rec = kestrum::random::load_time_record();
        kestrum::random::ProcessState ps{kestrum::random::Stream(&rec), 0};
        kestrum::random::initialise(ps, seed);
        Session s = make_session();
        ASSERT_EQ(kestrumr_seed(s.get(), static_cast<std::uint64_t>(seed)), KESTRUMR_OK);
        for (int i = 0; i < 200; ++i) {
            const double a = ps.stream.uniform(), b = kestrumr_uniform(s.get());
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "seed " << seed << " draw " << i;
        }
    }
    // The process's generator and zbqlini_'s call counter are not touched.
    EXPECT_EQ(kestrum::random::process_state().initcount, calls);
    EXPECT_EQ(std::memcmp(&zbql0001_, &process_record, sizeof process_record), 0);
}

TEST(Session, OtherSeedsGiveValidDistinctReproducibleStreams) {
    const std::uint64_t seeds[] = {0, 2147483648ULL, 2147483649ULL, 1ULL << 40,
                                   0xFFFFFFFFFFFFFFFFULL};
    std::vector<std::vector<double>> streams;
    for (std::uint64_t seed : seeds) {
        Session s = make_session();
        std::vector<double> u(64), again(64);
        ASSERT_EQ(kestrumr_seed(s.get(), seed), KESTRUMR_OK);
        for (double& x : u) {
            x = kestrumr_uniform(s.get());
            EXPECT_TRUE(x > 0.0 && x < 1.0);
        }
        ASSERT_EQ(kestrumr_seed(s.get(), seed), KESTRUMR_OK);  // reseeding restarts
        for (double& x : again) x = kestrumr_uniform(s.get());
        EXPECT_EQ(u, again);
        for (const auto& other : streams) EXPECT_NE(u, other);
        streams.push_back(u);
    }
}

TEST(Session, ReseedingRepeatsARunAndClearsTheSavedDeviate) {
    const Problem p(3, 3, 1);
    Session s = make_session();
    ASSERT_EQ(kestrumr_seed(s.get(), 99), KESTRUMR_OK);
    const auto a = session_run(s.get(), p);
    ASSERT_EQ(kestrumr_seed(s.get(), 99), KESTRUMR_OK);
    EXPECT_EQ(session_run(s.get(), p), a);
    ASSERT_EQ(kestrumr_seed(s.get(), 100), KESTRUMR_OK);
    EXPECT_NE(session_run(s.get(), p), a);
}

TEST(Session, SessionsAreIndependent) {
    const Problem p(3, 3, 2);
    Session a = make_session(), b = make_session(), alone = make_session();
    kestrumr_seed(a.get(), 5);
    kestrumr_seed(b.get(), 6);
    kestrumr_seed(alone.get(), 5);
    const auto ra1 = session_run(a.get(), p);
    for (int i = 0; i < 1000; ++i) kestrumr_uniform(b.get());
    session_run(b.get(), p);
    const auto ra2 = session_run(a.get(), p);
    EXPECT_EQ(session_run(alone.get(), p), ra1);
    EXPECT_EQ(session_run(alone.get(), p), ra2);
}

TEST(Session, RestoredStateDrawsWhatFollowedTheSave) {
    const Problem p(2, 3, 1);
    Session s = make_session();
    kestrumr_seed(s.get(), 2024);
    session_run(s.get(), p);  // leaves the positions (and maybe a deviate) mid-table
    std::vector<unsigned char> state(kestrumr_state_size());
    ASSERT_EQ(kestrumr_save_state(s.get(), state.data(), state.size()), KESTRUMR_OK);
    const auto after = session_run(s.get(), p);
    const double u = kestrumr_uniform(s.get());

    Session t = make_session();  // another session takes the state over
    ASSERT_EQ(kestrumr_restore_state(t.get(), state.data(), state.size()), KESTRUMR_OK);
    EXPECT_EQ(session_run(t.get(), p), after);
    EXPECT_EQ(kestrumr_uniform(t.get()), u);
    ASSERT_EQ(kestrumr_restore_state(s.get(), state.data(), state.size()), KESTRUMR_OK);
    EXPECT_EQ(session_run(s.get(), p), after);
}

TEST(Session, DamagedOrForeignStatesAreRefused) {
    Session s = make_session();
    std::vector<unsigned char> good(kestrumr_state_size());
    ASSERT_EQ(kestrumr_save_state(s.get(), good.data(), good.size()), KESTRUMR_OK);
    EXPECT_EQ(kestrumr_save_state(s.get(), good.data(), good.size() - 1), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_restore_state(s.get(), good.data(), good.size() - 1), KESTRUMR_ERR_STATE);
    EXPECT_EQ(kestrumr_restore_state(s.get(), nullptr, good.size()), KESTRUMR_ERR_ARGUMENT);
    const double first = kestrumr_uniform(s.get());
    // Every single damaged byte of the tag, the base, the borrow or the
    // positions is noticed, and the session keeps its state.
    const std::size_t record = 8, base = record + 43 * 8, carry = base + 8, ints = carry + 8;
    for (std::size_t at : {std::size_t{0}, std::size_t{7}, base + 7, carry + 7, ints, ints + 4,
                           ints + 8, ints + 12}) {
        std::vector<unsigned char> bad(good);
        bad[at] ^= 0x40;
        EXPECT_EQ(kestrumr_restore_state(s.get(), bad.data(), bad.size()), KESTRUMR_ERR_STATE)
            << "byte " << at;
        EXPECT_STRNE(kestrumr_errmsg(s.get()), "");
    }
    ASSERT_EQ(kestrumr_restore_state(s.get(), good.data(), good.size()), KESTRUMR_OK);
    EXPECT_EQ(kestrumr_uniform(s.get()), first);
}

TEST(Session, CallersRecordIsTakenAndCheckedRecordsOnly) {
    Session s = make_session();
    kestrumr_zbql0001 rec = kestrum::random::load_time_record();
    kestrum::random::fill_table(rec, 777.0);
    ASSERT_EQ(kestrumr_set_record(s.get(), &rec), KESTRUMR_OK);
    kestrumr_zbql0001 copy = rec;
    kestrum::random::Stream st(&copy);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(kestrumr_uniform(s.get()), st.uniform());

    kestrumr_zbql0001 zeros = rec;
    for (double& w : zeros.xtab) w = 0.0;
    zeros.carry = 0.0;
    kestrumr_zbql0001 fraction = rec, big = rec, carry = rec, base = rec;
    fraction.xtab[3] = 0.5;
    big.xtab[40] = rec.base;
    carry.carry = 2.0;
    base.base = 1e9;
    for (const auto* bad : {&zeros, &fraction, &big, &carry, &base})
        EXPECT_EQ(kestrumr_set_record(s.get(), bad), KESTRUMR_ERR_STATE);
    EXPECT_EQ(kestrumr_set_record(s.get(), nullptr), KESTRUMR_ERR_ARGUMENT);
}

struct Lines {
    std::vector<std::string> lines;
    static void add(void* self, const char* line) {
        static_cast<Lines*>(self)->lines.emplace_back(line);
    }
};

TEST(Session, MessagesGoToTheCallback) {
    // 1000 rows x 1000 groups x 2^31 - 1 kept draws: a workspace beyond memory.
    const std::int32_t L = 1000, J = 1000;
    std::vector<std::int32_t> nobs(J, 2);
    std::vector<double> y(static_cast<std::size_t>(L) * 2 * J, 1.0), mvar{1.0, 1.0},
        effvar(J - 1, 1.0);
    // Values with a spread in every group (a row with a group of equal values
    // is left out before the workspace is planned).
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = static_cast<double>(i % 3);
    Results r(L, J);
    const kestrumr_problem p{1, L, J, nobs.data(), 2 * J, y.data(), 2147483647, 0, 1.0, 1.0,
                             mvar.data(), effvar.data()};
    const kestrumr_results cr = r.c();
    Session s = make_session();
    Lines got;
    ASSERT_EQ(kestrumr_set_message_callback(s.get(), Lines::add, &got), KESTRUMR_OK);
    EXPECT_EQ(kestrumr_run(s.get(), &p, &cr), KESTRUMR_ERR_MEMORY);
    EXPECT_NE(std::string(kestrumr_errmsg(s.get())).find("memory"), std::string::npos);
    const std::vector<std::string> want{
        "", "     ****ERROR**** Not enough memory for the workspace in  KESTRUM",
        "     (no draws were made; every output holds NaN)", ""};
    EXPECT_EQ(got.lines, want);
    for (double x : r.all()) ASSERT_TRUE(std::isnan(x));
}

struct Stopper {
    std::int64_t stop_at;
    std::vector<std::int64_t> seen;
    std::int64_t total = 0;
    static int report(void* self, std::int64_t done, std::int64_t total) {
        auto* s = static_cast<Stopper*>(self);
        s->seen.push_back(done);
        s->total = total;
        return done == s->stop_at ? 1 : 0;
    }
};

TEST(Session, ProgressIsReportedAndCancelStopsTheRun) {
    const Problem p(3, 4, 3);
    Session s = make_session();
    Stopper all{-1, {}};
    kestrumr_set_progress_callback(s.get(), Stopper::report, &all);
    const auto with_progress = session_run(s.get(), p);
    EXPECT_EQ(all.seen, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(all.total, 7);
    Session plain = make_session();
    EXPECT_EQ(session_run(plain.get(), p), with_progress);  // reporting changes nothing

    Stopper two{2, {}};
    kestrumr_set_progress_callback(s.get(), Stopper::report, &two);
    Results r(p.L, p.J);
    const kestrumr_problem cp = p.c();
    const kestrumr_results cr = r.c();
    EXPECT_EQ(kestrumr_run(s.get(), &cp, &cr), KESTRUMR_ERR_CANCELLED);
    EXPECT_EQ(two.seen, (std::vector<std::int64_t>{1, 2}));
    for (double x : r.all()) ASSERT_TRUE(std::isnan(x));
    kestrumr_set_progress_callback(s.get(), nullptr, nullptr);
    EXPECT_EQ(kestrumr_run(s.get(), &cp, &cr), KESTRUMR_OK);
}

TEST(Session, BadArgumentsGiveAStatusAndNaN) {
    using Edit = void (*)(kestrumr_problem&, kestrumr_results&);
    static const std::int32_t short_group[3] = {3, 1, 5}, wrong_sum[3] = {3, 2, 3};
    static const double bad_var[2] = {1.0, 0.0}, nan_var[2] = {1.0, NAN};
    static double inf_data[18];  // 2 rows x 9 columns, the last one infinite
    inf_data[17] = INFINITY;
    const Edit edits[] = {
        [](kestrumr_problem& p, kestrumr_results&) { p.nrow = -1; },
        [](kestrumr_problem& p, kestrumr_results&) { p.ngrp = 0; },
        [](kestrumr_problem& p, kestrumr_results&) { p.nkeep = 1; },
        [](kestrumr_problem& p, kestrumr_results&) { p.nburn = -1; },
        [](kestrumr_problem& p, kestrumr_results&) { p.nobs = nullptr; },
        [](kestrumr_problem& p, kestrumr_results&) { p.nobs = short_group; },
        [](kestrumr_problem& p, kestrumr_results&) { p.nobs = wrong_sum; },
        [](kestrumr_problem& p, kestrumr_results&) { p.ydata = nullptr; },
        [](kestrumr_problem& p, kestrumr_results&) { p.ydata = inf_data; },
        [](kestrumr_problem& p, kestrumr_results&) { p.hshape = -1.0; },
        [](kestrumr_problem& p, kestrumr_results&) { p.hrate = INFINITY; },
        [](kestrumr_problem& p, kestrumr_results&) { p.mvar = nullptr; },
        [](kestrumr_problem& p, kestrumr_results&) { p.mvar = bad_var; },
        [](kestrumr_problem& p, kestrumr_results&) { p.effvar = nan_var; },
        [](kestrumr_problem& p, kestrumr_results&) { p.effvar = nullptr; },
        [](kestrumr_problem&, kestrumr_results& r) { r.gvarbar = nullptr; },
    };
    const Problem base(2, 3, 1);
    Session s = make_session();
    const double before = [&] {
        Session t = make_session();
        return kestrumr_uniform(t.get());
    }();
    int i = 0;
    for (Edit edit : edits) {
        Results r(base.L, base.J);
        kestrumr_problem p = base.c();
        kestrumr_results cr = r.c();
        edit(p, cr);
        EXPECT_EQ(kestrumr_run(s.get(), &p, &cr), KESTRUMR_ERR_ARGUMENT) << "case " << i;
        EXPECT_STRNE(kestrumr_errmsg(s.get()), "") << "case " << i;
        if (p.nrow >= 0 && p.ngrp >= 1) {
            for (double x : r.pm) EXPECT_TRUE(std::isnan(x)) << "case " << i;
            for (double x : r.gm) EXPECT_TRUE(std::isnan(x)) << "case " << i;
        }
        ++i;
    }
    EXPECT_EQ(kestrumr_uniform(s.get()), before);  // nothing was drawn

    // Null handles and arguments.
    const kestrumr_problem p = base.c();
    Results r(base.L, base.J);
    const kestrumr_results cr = r.c();
    EXPECT_EQ(kestrumr_run(nullptr, &p, &cr), KESTRUMR_ERR_ARGUMENT);
    for (double x : r.all()) EXPECT_TRUE(std::isnan(x));
    EXPECT_EQ(kestrumr_run(s.get(), nullptr, &cr), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_run(s.get(), &p, nullptr), KESTRUMR_ERR_ARGUMENT);
    EXPECT_STREQ(kestrumr_errmsg(nullptr), "no session");
    EXPECT_EQ(kestrumr_seed(nullptr, 1), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_set_threads(nullptr, 1), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_set_threads(s.get(), -1), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_set_message_callback(nullptr, nullptr, nullptr), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_set_progress_callback(nullptr, nullptr, nullptr), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_save_state(nullptr, nullptr, 0), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_restore_state(nullptr, nullptr, 0), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_set_record(nullptr, nullptr), KESTRUMR_ERR_ARGUMENT);
    EXPECT_TRUE(std::isnan(kestrumr_uniform(nullptr)));
    kestrumr_session_free(nullptr);
}

TEST(Session, ThreadCountsGiveTheSameBits) {
    const Problem p(4, 3, 2);
    std::vector<std::uint64_t> want;
    for (std::int32_t threads : {1, 2, 0}) {
        Session s = make_session();
        kestrumr_seed(s.get(), 31);
        ASSERT_EQ(kestrumr_set_threads(s.get(), threads), KESTRUMR_OK);
        const auto got = session_run(s.get(), p);
        if (want.empty()) want = got;
        EXPECT_EQ(got, want) << threads << " threads";
    }
}

// The optional joint frequency: prob's second column for three groups, the
// same statistic for two (which prob has no column for).
TEST(Session, JointFrequencyForEveryGroupCount) {
    Problem three(6, 20, 5);
    Problem two(6, 20, 5);
    two.J = 2;
    two.N = 5;
    two.nobs = {3, 2};
    two.effvar = {10000.0};
    for (const Problem* p : {&three, &two}) {
        Results r(p->L, p->J);
        std::vector<double> pj(p->L, -5.0);
        kestrumr_results cr = r.c();
        cr.pjoint = pj.data();
        const kestrumr_problem cp = p->c();
        Session s = make_session();
        ASSERT_EQ(kestrumr_run(s.get(), &cp, &cr), KESTRUMR_OK) << kestrumr_errmsg(s.get());
        for (std::int32_t g = 0; g < p->L; ++g) {
            EXPECT_TRUE(pj[g] >= 0.0 && pj[g] <= 1.0) << "J = " << p->J << ", row " << g;
            if (p->J == 3) {
                EXPECT_EQ(bits({pj[g]}), bits({r.prob[g + p->L]})) << g;
            }
        }
    }
}

TEST(Session, OneSessionPerThreadGivesTheSequentialBits) {
    const Problem p(6, 4, 3);
    constexpr int kThreads = 4;
    std::vector<std::vector<std::uint64_t>> sequential(kThreads), parallel(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        Session s = make_session();
        kestrumr_seed(s.get(), 1000 + t);
        sequential[t] = session_run(s.get(), p);
        sequential[t].push_back(0);
        const auto again = session_run(s.get(), p);
        sequential[t].insert(sequential[t].end(), again.begin(), again.end());
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            Session s = make_session();
            kestrumr_seed(s.get(), 1000 + t);
            parallel[t] = session_run(s.get(), p);
            parallel[t].push_back(0);
            const auto again = session_run(s.get(), p);
            parallel[t].insert(parallel[t].end(), again.begin(), again.end());
        });
    }
    for (auto& w : workers) w.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(parallel[t], sequential[t]) << "thread " << t;
}

}  // namespace
