// Generator records and saved states a host hands to a session: which
// records the variate routines run on without meeting a loop bound, which
// ones the session refuses, and the saved normal deviate's range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kestrumr_session.h"
#include "random/random_support.h"
#include "random/seeding.h"
#include "support/capture.h"

namespace kestrum::test {
namespace {

using Session = std::unique_ptr<kestrumr_session, void (*)(kestrumr_session*)>;
Session make_session() { return Session(kestrumr_session_new(), kestrumr_session_free); }

const char* const kDegenerate = "****ERROR**** The generator table is degenerate";

// Every exported variate routine, each method of the bounded ones.
const std::vector<std::function<void()>>& variate_calls() {
    static const double z = 0.0, one = 1.0, half = 0.5, two = 2.0, three = 3.0, twenty = 20.0,
                        p95 = 0.95, p3 = 0.3, five = 5.0, m500 = 500.0, m5000 = 5000.0;
    static const int32_t n1000 = 1000, n20 = 20;
    static const std::vector<std::function<void()>> c = {
        [] { (void)zbqlu01_(&z); },          [] { (void)zbqluab_(&z, &one); },
        [] { (void)zbqlnor_(&z, &one); },    [] { (void)zbqlexp_(&one); },
        [] { (void)zbqlgam_(&half, &one); }, [] { (void)zbqlgam_(&three, &one); },
        [] { (void)zbqlgam_(&twenty, &one); }, [] { (void)zbqlbet1_(&half, &half); },
        [] { (void)zbqlbet1_(&two, &three); }, [] { (void)zbqlwei_(&two, &one); },
        [] { (void)zbqlpar_(&two, &one); },  [] { (void)zbqlgeo_(&p95); },
        [] { (void)zbqlgeo_(&p3); },         [] { (void)zbqlbin_(&n1000, &p3); },
        [] { (void)zbqlbin_(&n20, &half); }, [] { (void)zbqlpoi_(&five); },
        [] { (void)zbqlpoi_(&m500); },       [] { (void)zbqlpoi_(&m5000); },
        [] { (void)zbqlnb_(&three, &half); },
    };
    return c;
}

// The process's generator set to the record, positions and saved deviate
// as after loading.
void install(const Record& r) {
    zbql0001_ = r;
    random::process_state().stream = Stream(&zbql0001_);
}

Record with_words(double w, double carry) {
    Record r = load_time_record();
    for (double& x : r.xtab) x = w;
    r.carry = carry;
    return r;
}

TEST(GeneratorRecords, SeededStreamsMeetNoBoundAndLowEntropyRecordsAreRefused) {
    ProcessStateGuard guard;
    Watchdog dog(300);
    // Records of the class the variates' header calls safe: the load-time
    // record and tables zbqlini_ fills (extreme and ordinary seeds, either
    // borrow), tables kestrumr_seed fills.  Every routine draws 2000
    // variates from each without the degenerate message, and the session
    // takes the record.
    std::vector<Record> sane = {load_time_record()};
    for (int32_t seed : {1, 2, 7, 30269, 123456789, 2147483647, -1, INT32_MIN}) {
        for (double carry : {0.0, 1.0}) {
            Record r = load_time_record();
            random::fill_table(r, random::seed_value(seed, kB));
            r.carry = carry;
            sane.push_back(r);
        }
    }
    for (std::uint64_t seed : {0ULL, 1ULL << 32, 0x9E3779B97F4A7C15ULL, ~0ULL}) {
        Record r = load_time_record();
        random::fill_table_mixed(r, seed);
        sane.push_back(r);
    }
    for (std::size_t i = 0; i < sane.size(); ++i) {
        for (std::size_t c = 0; c < variate_calls().size(); ++c) {
            install(sane[i]);
            const std::string out = capture_stdout([&] {
                for (int k = 0; k < 2000; ++k) variate_calls()[c]();
            });
            EXPECT_EQ(out.find(kDegenerate), std::string::npos) << "record " << i << ", call " << c;
        }
        Session s = make_session();
        EXPECT_EQ(kestrumr_set_record(s.get(), &sane[i]), KESTRUMR_OK)
            << i << ": " << kestrumr_errmsg(s.get());
    }

    // Records outside it: the two fixed points, and the header's examples of
    // whole words that give no usable uniforms from their first draws
    // (zbqlgam_ with shape 3 meets a bound at once), 43 equal words and a
    // table of zeros with two small words.  The session refuses each, with
    // a message, and keeps its state; so does a restore of a saved state
    // that holds one.
    Record two_words = with_words(0.0, 0.0);
    two_words.xtab[0] = 1.0;
    two_words.xtab[5] = 7.0;
    struct Excluded {
        const char* name;
        Record rec;
        bool gamma_fails_at_once;
    };
    const Excluded excluded[] = {
        {"zero fixed point", with_words(0.0, 0.0), true},
        {"B-1 fixed point", with_words(kB - 1.0, 1.0), true},
        {"43 zeros, borrow 1", with_words(0.0, 1.0), true},
        {"43 words 12345", with_words(12345.0, 0.0), true},
        {"43 words 2^31", with_words(2147483648.0, 0.0), false},
        {"zeros but xtab(1) = 1, xtab(6) = 7", two_words, true},
    };
    Session s = make_session();
    ASSERT_EQ(kestrumr_seed(s.get(), 99), KESTRUMR_OK);
    std::vector<unsigned char> state(kestrumr_state_size());
    ASSERT_EQ(kestrumr_save_state(s.get(), state.data(), state.size()), KESTRUMR_OK);
    for (const Excluded& e : excluded) {
        if (e.gamma_fails_at_once) {
            install(e.rec);
            const double g = 3.0, h = 1.0;
            double v = -1.0;
            const std::string out = capture_stdout([&] { v = zbqlgam_(&g, &h); });
            EXPECT_NE(out.find(kDegenerate), std::string::npos) << e.name;
            EXPECT_EQ(v, 0.0) << e.name;
        }
        std::vector<unsigned char> before(state.size());
        ASSERT_EQ(kestrumr_save_state(s.get(), before.data(), before.size()), KESTRUMR_OK);
        EXPECT_EQ(kestrumr_set_record(s.get(), &e.rec), KESTRUMR_ERR_STATE) << e.name;
        EXPECT_NE(std::string(kestrumr_errmsg(s.get())).find("the record"), std::string::npos)
            << e.name;
        std::vector<unsigned char> bad(state);
        std::memcpy(bad.data() + 8, &e.rec, sizeof e.rec);
        EXPECT_EQ(kestrumr_restore_state(s.get(), bad.data(), bad.size()), KESTRUMR_ERR_STATE)
            << e.name;
        std::vector<unsigned char> after(state.size());
        ASSERT_EQ(kestrumr_save_state(s.get(), after.data(), after.size()), KESTRUMR_OK);
        EXPECT_EQ(after, before) << e.name;
    }
}

TEST(GeneratorRecords, RestoreTakesOnlyANormalDeviateADrawCanGive) {
    // A record whose first uniform is X/B with 2 pi X/B within 4e-10 of
    // +-pi/2 and whose second meets the longest run of zero words the
    // uniform skips (31) and then the word 1: the normal pair's saved sine
    // deviate is the largest (smallest) one any draw gives.
    std::vector<double> extreme;
    for (double x : {1073741823.0, 3221225468.0}) {
        Record r = load_time_record();
        const Record load = r;
        for (double& w : r.xtab) w = 0.0;
        r.carry = 0.0;
        // 1-based: T1 = T21 = T22 = T42 = X, T11 = T32 = B - 1, T12..T20 and
        // T33..T43 zero, T2..T10 = T23..T31 free.
        for (int i : {1, 21, 22, 42}) r.xtab[i - 1] = x;
        for (int i : {11, 32}) r.xtab[i - 1] = kB - 1.0;
        for (int i = 2; i <= 10; ++i) r.xtab[i - 1] = r.xtab[i + 20] = load.xtab[i - 1];
        PrivateStream p(r);
        PrivateStream q(r);
        EXPECT_EQ(q.s.uniform(), x / kB);
        const double u2 = q.s.uniform();
        double divisor = kB;
        for (int k = 0; k < 31; ++k) divisor *= kB;
        EXPECT_EQ(u2, 1.0 / divisor);
        (void)p.s.normal(0.0, 1.0);
        ASSERT_EQ(p.s.nstat, 1);
        extreme.push_back(p.s.nspare);
    }
    ASSERT_GT(extreme[0], 37.0);
    ASSERT_LT(extreme[1], -37.0);

    Session s = make_session();
    ASSERT_EQ(kestrumr_seed(s.get(), 5), KESTRUMR_OK);
    std::vector<unsigned char> good(kestrumr_state_size());
    ASSERT_EQ(kestrumr_save_state(s.get(), good.data(), good.size()), KESTRUMR_OK);
    const std::size_t ints = 8 + sizeof(Record), spare = ints + 16;
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double deviate;
        int status;
    };
    const Case cases[] = {
        {extreme[0], KESTRUMR_OK},
        {extreme[1], KESTRUMR_OK},
        {0.0, KESTRUMR_OK},
        {std::nextafter(extreme[0], inf), KESTRUMR_ERR_STATE},
        {std::nextafter(extreme[1], -inf), KESTRUMR_ERR_STATE},
        {1e300, KESTRUMR_ERR_STATE},
        {inf, KESTRUMR_ERR_STATE},
        {-inf, KESTRUMR_ERR_STATE},
        {std::numeric_limits<double>::quiet_NaN(), KESTRUMR_ERR_STATE},
    };
    for (const Case& c : cases) {
        for (std::int32_t nstat : {1, 0}) {
            std::vector<unsigned char> st(good);
            std::memcpy(st.data() + ints + 12, &nstat, sizeof nstat);
            std::memcpy(st.data() + spare, &c.deviate, sizeof c.deviate);
            EXPECT_EQ(kestrumr_restore_state(s.get(), st.data(), st.size()), c.status)
                << c.deviate << " " << nstat;
        }
    }
}

}  // namespace
}  // namespace kestrum::test
