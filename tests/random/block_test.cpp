// Words and uniforms made in blocks (Stream::steps, Stream::uniforms) against
// the one-at-a-time routines: the same values bit for bit, and after every
// call the same record (table, base, borrow), positions and degenerate-event
// count, from ordinary, seeded and near-degenerate records, at every starting
// position, over long streams and over many call patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "random/seeding.h"
#include "random_support.h"

namespace kestrum::test {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Record, positions, the normal pair and the event count.
bool same_everything(const PrivateStream& a, const PrivateStream& b) {
    return a.same_state(b) && a.s.faults == b.s.faults && a.s.nstat == b.s.nstat &&
           same_bits(a.s.nspare, b.s.nspare);
}

struct RecordCase {
    const char* name;
    Record rec;
};

std::vector<RecordCase> records() {
    std::vector<RecordCase> v;
    v.push_back({"load time", load_time_record()});
    Record r = load_time_record();
    random::fill_table(r, random::seed_value(12345, kB));
    v.push_back({"seeded 12345", r});
    random::fill_table_mixed(r, 0x0123456789abcdefULL);
    v.push_back({"mixed seed", r});
    // Borrow 1 to start, and a borrow a host wrote that is neither 0 nor 1.
    r = load_time_record();
    r.carry = 1.0;
    v.push_back({"borrow 1", r});
    r.carry = 0.25;
    v.push_back({"borrow 0.25", r});
    // Mostly zero words: long runs of zero words, a few of them past the
    // limit (degenerate events), and equal lag words (borrow carried on).
    r = load_time_record();
    for (int i = 0; i < 43; ++i) r.xtab[i] = (i % 11 == 0) ? 1.0 : 0.0;
    r.carry = 0.0;
    v.push_back({"sparse ones", r});
    for (int i = 0; i < 43; ++i) r.xtab[i] = 0.0;
    r.xtab[7] = 1.0;
    v.push_back({"single one", r});
    for (int i = 0; i < 43; ++i) r.xtab[i] = 0.0;
    v.push_back({"all zero", r});
    // Every word B - 1: differences of 0, the borrow decides everything.
    for (int i = 0; i < 43; ++i) r.xtab[i] = kB - 1.0;
    r.carry = 1.0;
    v.push_back({"all B-1, borrow 1", r});
    // Words a host wrote outside [0, B): fractions, words above B, a NaN,
    // an infinity; and a base of 2.
    r = load_time_record();
    r.xtab[3] = 0.5;
    r.xtab[20] = 3.0 * kB;
    r.xtab[30] = std::numeric_limits<double>::quiet_NaN();
    r.xtab[41] = -7.25;
    v.push_back({"odd words", r});
    r = load_time_record();
    r.xtab[12] = std::numeric_limits<double>::infinity();
    v.push_back({"infinite word", r});
    for (int i = 0; i < 43; ++i) r.xtab[i] = static_cast<double>(i % 2);
    r.base = 2.0;
    v.push_back({"base 2", r});
    return v;
}

// The recurrence as written down, one word at a time with a branch on the
// borrow: the reference step() and the blocks are checked against.
struct Reference {
    Record rec;
    int32_t ilag22 = 22, ilag43 = 43;

    explicit Reference(const Record& r) : rec(r) {}
    double step() {
        double x = (rec.xtab[ilag22 - 1] - rec.xtab[ilag43 - 1]) - rec.carry;
        if (x < 0.0) {
            x = x + rec.base;
            rec.carry = 1.0;
        } else {
            rec.carry = 0.0;
        }
        rec.xtab[ilag43 - 1] = x;
        ilag22 = ilag22 == 1 ? 43 : ilag22 - 1;
        ilag43 = ilag43 == 1 ? 43 : ilag43 - 1;
        return x;
    }
};

TEST(Blocks, StepIsTheRecurrenceWordForWord) {
    for (const RecordCase& c : records()) {
        Reference ref(c.rec);
        PrivateStream p(c.rec);
        const long n = std::strcmp(c.name, "load time") == 0 ? 3000000 : 20000;
        for (long i = 0; i < n; ++i) {
            const double want = ref.step();
            if (!same_bits(p.s.step(), want)) FAIL() << c.name << " word " << i;
        }
        EXPECT_EQ(std::memcmp(&ref.rec, &p.rec, sizeof ref.rec), 0) << c.name;
        EXPECT_EQ(ref.ilag22, p.s.ilag22) << c.name;
        EXPECT_EQ(ref.ilag43, p.s.ilag43) << c.name;
    }
}

// The block routines from every record and every starting position, in one
// call pattern of many sizes (those around the lags and the block length
// among them), with single draws between the blocks.
TEST(Blocks, UniformsMatchSingleDrawsAfterEveryCall) {
    Watchdog dog(120);
    const int32_t sizes[] = {1, 2, 3, 20, 21, 22, 23, 42, 43, 44, 63, 64, 65, 129, 1000};
    std::vector<double> got(1000);
    for (const RecordCase& c : records()) {
        for (int start = 0; start < 43; ++start) {
            PrivateStream ref(c.rec);
            for (int k = 0; k < start; ++k) ref.s.step();
            PrivateStream blk(ref);
            int call = 0;
            for (int32_t n : sizes) {
                blk.s.uniforms(got.data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    const double want = ref.s.uniform();
                    ASSERT_TRUE(same_bits(got[static_cast<std::size_t>(i)], want))
                        << c.name << " start " << start << " size " << n << " index " << i;
                }
                ASSERT_TRUE(same_everything(ref, blk)) << c.name << " start " << start << " call " << call;
                ASSERT_TRUE(same_bits(ref.s.uniform(), blk.s.uniform())) << c.name;
                ++call;
            }
        }
    }
}

TEST(Blocks, StepsMatchSingleStepsAfterEveryCall) {
    const int32_t sizes[] = {1, 21, 22, 43, 44, 86, 200, 5};
    std::vector<double> got(200);
    for (const RecordCase& c : records()) {
        for (int start = 0; start < 43; ++start) {
            PrivateStream ref(c.rec);
            for (int k = 0; k < start; ++k) ref.s.step();
            PrivateStream blk(ref);
            for (int32_t n : sizes) {
                blk.s.steps(got.data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(same_bits(got[static_cast<std::size_t>(i)], ref.s.step()))
                        << c.name << " start " << start << " size " << n << " index " << i;
                }
                ASSERT_TRUE(same_everything(ref, blk)) << c.name << " start " << start << " size " << n;
            }
        }
    }
}

// Millions of uniforms in blocks of 4096 and one at a time, bit for bit.
TEST(Blocks, LongStreamsAreBitIdentical) {
    Watchdog dog(120);
    constexpr int32_t kChunk = 4096;
    constexpr int kChunks = 1000;  // 4 096 000 uniforms per record
    std::vector<double> got(kChunk);
    for (const RecordCase& c : records()) {
        if (std::strcmp(c.name, "load time") != 0 && std::strcmp(c.name, "seeded 12345") != 0 &&
            std::strcmp(c.name, "sparse ones") != 0)
            continue;
        PrivateStream ref(c.rec);
        PrivateStream blk(c.rec);
        for (int b = 0; b < kChunks; ++b) {
            blk.s.uniforms(got.data(), kChunk);
            for (int32_t i = 0; i < kChunk; ++i) {
                if (!same_bits(got[static_cast<std::size_t>(i)], ref.s.uniform()))
                    FAIL() << c.name << " chunk " << b << " index " << i;
            }
        }
        EXPECT_TRUE(same_everything(ref, blk)) << c.name;
    }
}

// The engine's lookahead (uniforms made in blocks ahead of use) against
// the direct draws, from every record: a fixed mix of uniforms, normals and
// gammas of all three methods, with syncs at irregular points.  Every
// variate has the same bits and the same event count; after every sync
// and at the end the record, positions and normal pair are the direct
// stream's.  A degenerate record turns the lookahead off where it meets
// one, so its events fall in the same variates.
TEST(Blocks, LookaheadDrawsAsTheDirectStream) {
    Watchdog dog(120);
    const double shapes[] = {4.0, 8.0, 0.5, 20.0, 1.0, 6.0};
    for (const RecordCase& c : records()) {
        PrivateStream ref(c.rec);
        PrivateStream la(c.rec);
        la.s.ahead_begin();
        std::uint64_t lcg = 88172645463325252ULL;
        for (int op = 0; op < 20000; ++op) {
            lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
            const unsigned pick = static_cast<unsigned>(lcg >> 59);  // 0..31
            double want, have;
            if (pick < 8) {
                want = ref.s.uniform();
                have = la.s.uniform();
            } else if (pick < 16) {
                want = ref.s.normal(0.0, 1.0);
                have = la.s.normal(0.0, 1.0);
            } else if (pick < 30) {
                const double g = shapes[pick % 6];
                want = ref.s.gamma(g, 1.0);
                have = la.s.gamma(g, 1.0);
            } else {
                la.s.ahead_sync();
                ASSERT_TRUE(same_everything(ref, la)) << c.name << " op " << op;
                continue;
            }
            ASSERT_TRUE(same_bits(want, have)) << c.name << " op " << op;
            ASSERT_EQ(ref.s.faults, la.s.faults) << c.name << " op " << op;
        }
        la.s.ahead_end();
        EXPECT_TRUE(same_everything(ref, la)) << c.name;
    }
}

}  // namespace
}  // namespace kestrum::test
