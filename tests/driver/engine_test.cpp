// The engine against the plain reference (support/reference_sampler.h):
// the same bits for the contrast stores and the replay, at 1, 2, 3 and 8
// threads, with the rows one at a time or in SIMD lanes, the generator left
// in the same state and the same messages in the same order; workspace that
// does not grow with the kept iterations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "analysis/chains.h"
#include "driver/callees.h"
#include "driver/estimate.h"
#include "random/messages.h"
#include "random/stream.h"
#include "run_fixture.h"
#include "support/reference_sampler.h"
#include "support/problem.h"
#include "support/scripted_source.h"

namespace {

using kestrum::driver::Arguments;
using kestrum::driver::CoreCallees;
using kestrum::driver::EngineOptions;
using kestrum::random::Record;
using kestrum::random::Stream;
using kestrum::test::OutputArrays;

// The callees name their blocks: no default that silently writes the
// exported ones (only the routines of kestrumr.h hand those in).
TEST(Callees, TheBlocksAreAlwaysNamed) {
    EXPECT_FALSE(std::is_default_constructible_v<CoreCallees>);
    EXPECT_FALSE(std::is_default_constructible_v<kestrum::analysis::RecordingCallees>);
}

// A small data set: values that differ from row to row and group to group,
// one spare double past the end (so y is never empty).
struct Data : kestrum::test::Problem {
    Data(std::int32_t rows, std::vector<std::int32_t> sizes, std::int32_t ntot = -1)
        : Problem(rows, std::move(sizes), 100.0, ntot) {
        effvar.assign(nobs.size() + 1, 100.0);
        y.resize(static_cast<std::size_t>(L) * N + 1);
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t t = 0; t < N; ++t)
                y[g + t * L] = 0.3 * (g % 7) + std::cos(2.0 + g * 5.0 + t * 1.7) + (t % 3 == 0 ? 0.8 : 0.0);
    }
};

// What a run leaves: every output, the generator, the messages.
struct Outcome {
    std::vector<double> out;
    Record rec{};
    std::int32_t pos[4] = {};
    double nspare = 0.0;
    std::vector<std::string> messages;
};

void record_line(void* ctx, const char* text) {
    static_cast<std::vector<std::string>*>(ctx)->emplace_back(text);
}

template <class F>
Outcome run(const Data& d, const Stream& from, std::int64_t L, F&& body) {
    Record rec = *from.rec;
    Stream s = from;
    s.rec = &rec;
    Outcome o;
    OutputArrays arrays(L, d.J);
    {
        kestrum::ScopedMessageSink sink({record_line, &o.messages});
        body(s, arrays.outputs());
    }
    for (const auto* a : {&arrays.prob, &arrays.pmeanbar, &arrays.pvarbar, &arrays.gmeanbar, &arrays.gvarbar})
        o.out.insert(o.out.end(), a->begin(), a->end());
    o.rec = rec;
    o.pos[0] = s.ilag22;
    o.pos[1] = s.ilag43;
    o.pos[2] = s.icount;
    o.pos[3] = s.nstat;
    o.nspare = s.nspare;
    return o;
}

// The reference: the plain loop over full draw stores, then the summaries.
Outcome reference(const Data& d, std::int32_t K, std::int32_t B, std::int32_t ipool, const Stream& from) {
    return run(d, from, d.L, [&](Stream& s, const kestrum::driver::Outputs& out) {
        kestrum::driver::Run r = kestrum::driver::make_run(d.args(K, B, ipool));
        double* block = kestrum::reference::obtain_workspace(r, CoreCallees::sweep_scratch_size(d.J),
                                                             kestrum::driver::allocate_block);
        ASSERT_NE(block, nullptr);
        kestrum::reference::prepare(r);
        CoreCallees c(kestrum::hyper::process_blocks());
        if (r.d.B + r.d.K >= 1) kestrum::reference::sample(s, r, c);
        if (r.d.L >= 1) kestrum::reference::summarise(r, out);
        kestrum::driver::release_block(block);
    });
}

Outcome engine(const Data& d, std::int32_t K, std::int32_t B, std::int32_t ipool, const Stream& from,
               int threads, bool replay, int lanes = 0) {
    return run(d, from, d.L, [&](Stream& s, const kestrum::driver::Outputs& out) {
        EngineOptions opt;
        opt.threads = threads;
        opt.lanes = lanes;
        opt.store_budget = replay ? 0 : SIZE_MAX;
        CoreCallees c(kestrum::hyper::process_blocks());
        EXPECT_TRUE(kestrum::driver::estimate(s, c, d.args(K, B, ipool), out, {},
                                              kestrum::driver::allocate_block, opt));
    });
}

// Same bits, NaN payloads included.
void expect_same(const Outcome& a, const Outcome& b, const std::string& what) {
    ASSERT_EQ(a.out.size(), b.out.size()) << what;
    EXPECT_EQ(std::memcmp(a.out.data(), b.out.data(), a.out.size() * sizeof(double)), 0) << what;
    EXPECT_EQ(std::memcmp(&a.rec, &b.rec, sizeof a.rec), 0) << what;
    EXPECT_EQ(std::memcmp(a.pos, b.pos, sizeof a.pos), 0) << what;
    EXPECT_EQ(std::memcmp(&a.nspare, &b.nspare, sizeof a.nspare), 0) << what;
    EXPECT_EQ(a.messages, b.messages) << what;
}

struct Case {
    std::int32_t L;
    std::vector<std::int32_t> sizes;
    std::int32_t K, B, ipool;
    bool spare_before;  // the stream holds a saved normal deviate at the start
};

TEST(Engine, SameBitsAsTheReferenceInEveryModeAndThreadCount) {
    const std::vector<Case> cases = {
        {70, {3, 4, 2}, 6, 3, 1, false},   // three chunks of rows, pooled
        {70, {3, 4, 2}, 5, 2, 0, true},    // pooled off, odd normals per row
        {9, {4, 3}, 4, 0, 1, true},        // no burn-in: checkpoint at the start
        {40, {2, 3, 2, 4, 3}, 3, 2, 1, false},
        {13, {2, 3, 2, 4, 3, 2, 3}, 2, 1, 1, false},  // the widest order in lanes, odd L
        {33, {5}, 3, 2, 1, false},         // one group: no second visit
        {5, {3, 3, 3}, 1, 2, 1, false},    // one kept draw: NaN frequencies
        {5, {3, 3}, 0, 3, 1, false},       // nothing kept
        {1, {2, 2, 2, 2}, 4, 1, 1, true},  // one row
        {6, {2, -5, 3}, 3, 1, 1, false},   // a bad group size: gamma messages
        {7, {}, 3, 1, 1, true},            // no groups: the pooled draws alone
        {1203, {4, 3}, 2, 1, 1, false},    // chunks of more rows than 32, a short last one
    };
    for (const Case& cs : cases) {
        const Data d(cs.L, cs.sizes);
        Record rec = *kestrum::random::process_stream().rec;
        Stream from = kestrum::random::process_stream();
        from.rec = &rec;
        for (int i = 0; i < 7; ++i) from.uniform();
        from.nstat = 0;
        if (cs.spare_before) from.normal(0.0, 1.0);
        const Outcome ref = reference(d, cs.K, cs.B, cs.ipool, from);
        for (int threads : {1, 2, 3, 8}) {
            for (bool replay : {false, true}) {
                for (int lanes : {1, 2, 4}) {  // rows one at a time, in SSE2 and AVX2 lanes
                    const std::string what = "L=" + std::to_string(cs.L) + " J=" + std::to_string(d.J) +
                                             " threads=" + std::to_string(threads) +
                                             (replay ? " replay" : " stores") +
                                             " lanes=" + std::to_string(lanes);
                    expect_same(ref, engine(d, cs.K, cs.B, cs.ipool, from, threads, replay, lanes),
                                what);
                }
            }
        }
    }
}

// A start state of its own: the reference loop started from it by hand
// (state, rates and the running sums), against the engine given it, in
// every mode and at several thread counts, the replay's checkpoint at the
// start included (no burn-in).
struct Start {
    std::vector<double> gmean, gvar, pmean, pvar, vrate;
    Start(std::int32_t L, std::int32_t J) {
        for (std::int32_t j = 0; j < J; ++j) {
            for (std::int32_t g = 0; g < L; ++g) {
                gmean.push_back(0.4 * j + 0.1 * (g % 5) - 0.2);
                gvar.push_back(0.3 + 0.2 * ((g + j) % 4));
            }
            vrate.push_back(0.6 + 0.5 * j);
        }
        for (std::int32_t g = 0; g < L; ++g) {
            pmean.push_back(0.05 * (g % 3));
            pvar.push_back(0.5 + 0.1 * (g % 6));
        }
    }
    kestrum::driver::StartState state() const {
        return {gmean.data(), gvar.data(), pmean.data(), pvar.data(), vrate.data()};
    }
};

TEST(Engine, AGivenStartIsWhereEveryModeStarts) {
    const std::vector<Case> cases = {
        {70, {3, 4, 2}, 6, 3, 1, false},
        {9, {4, 3}, 4, 0, 1, true},
        {40, {2, 3, 2, 4, 3}, 3, 2, 0, false},
    };
    for (const Case& cs : cases) {
        const Data d(cs.L, cs.sizes);
        const Start st(d.L, d.J);
        Record rec = *kestrum::random::process_stream().rec;
        Stream from = kestrum::random::process_stream();
        from.rec = &rec;
        from.nstat = 0;
        if (cs.spare_before) from.normal(0.0, 1.0);
        const Outcome ref = run(d, from, d.L, [&](Stream& s, const kestrum::driver::Outputs& out) {
            kestrum::driver::Run r = kestrum::driver::make_run(d.args(cs.K, cs.B, cs.ipool));
            double* block = kestrum::reference::obtain_workspace(r, CoreCallees::sweep_scratch_size(d.J),
                                                                 kestrum::driver::allocate_block);
            ASSERT_NE(block, nullptr);
            kestrum::reference::prepare(r);
            double rates = 0.0;
            for (std::int32_t j = 0; j < d.J; ++j) {
                double prec = 0.0;
                for (std::int32_t g = 0; g < d.L; ++g) {
                    r.gmean[g + j * d.L] = st.gmean[g + j * d.L];
                    r.gvar[g + j * d.L] = st.gvar[g + j * d.L];
                    prec = prec + 1.0 / st.gvar[g + j * d.L];
                }
                r.precsum[j] = prec;
                r.vrate[j] = st.vrate[j];
                rates = rates + st.vrate[j];
            }
            r.ratesum = rates;
            if (cs.ipool == 1) {
                double prec = 0.0;
                for (std::int32_t g = 0; g < d.L; ++g) {
                    r.pmean[g] = st.pmean[g];
                    r.pvar[g] = st.pvar[g];
                    prec = prec + 1.0 / st.pvar[g];
                }
                r.pprecsum = prec;
            }
            CoreCallees c(kestrum::hyper::process_blocks());
            kestrum::reference::sample(s, r, c);
            kestrum::reference::summarise(r, out);
            kestrum::driver::release_block(block);
        });
        const kestrum::driver::StartState state = st.state();
        for (int threads : {1, 2, 3}) {
            for (bool replay : {false, true}) {
                const Outcome e = run(d, from, d.L, [&](Stream& s, const kestrum::driver::Outputs& out) {
                    EngineOptions opt;
                    opt.threads = threads;
                    opt.store_budget = replay ? 0 : SIZE_MAX;
                    opt.start = &state;
                    CoreCallees c(kestrum::hyper::process_blocks());
                    EXPECT_TRUE(kestrum::driver::estimate(s, c, d.args(cs.K, cs.B, cs.ipool), out, {},
                                                          kestrum::driver::allocate_block, opt));
                });
                expect_same(ref, e, "L=" + std::to_string(cs.L) + " threads=" + std::to_string(threads) +
                                        (replay ? " replay" : " stores"));
            }
        }
        // And it is not the fixed start.
        EXPECT_NE(std::memcmp(ref.out.data(), reference(d, cs.K, cs.B, cs.ipool, from).out.data(),
                              ref.out.size() * sizeof(double)),
                  0);
    }
}

TEST(Engine, MessagesComeInStreamOrderOnTheCallingThread) {
    // Rows 1..L each write the gamma message for the bad group, every
    // iteration; a non-positive pooled-rate shape cannot occur with L >= 0.
    const Data d(40, {2, -6, 2});
    Stream from = kestrum::random::process_stream();
    Record rec = *from.rec;
    from.rec = &rec;
    const Outcome ref = reference(d, 2, 1, 1, from);
    EXPECT_EQ(ref.messages.size(), 4u * 40u * 3u);
    expect_same(ref, engine(d, 2, 1, 1, from, 3, true), "threads=3 replay");
}

TEST(Engine, ReplayWorkspaceDoesNotGrowWithTheKeptIterations) {
    static std::vector<std::size_t> asked;
    auto record = [](std::size_t n) -> double* {
        asked.push_back(n);
        return kestrum::driver::allocate_block(n);
    };
    const Data d(20, {3, 3, 3});
    for (int threads : {1, 2}) {
        asked.clear();
        for (std::int32_t K : {10, 1000}) {
            Stream s = kestrum::random::process_stream();
            Record rec = *s.rec;
            s.rec = &rec;
            OutputArrays o(d.L, d.J);
            EngineOptions opt;
            opt.threads = threads;
            opt.store_budget = 0;
            CoreCallees c(kestrum::hyper::process_blocks());
            ASSERT_TRUE(kestrum::driver::estimate(s, c, d.args(K, 1, 1), o.outputs(), {}, record, opt));
        }
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0], asked[1]);
        EXPECT_LT(asked[0], 20u * 200u);
    }
}

TEST(Engine, ProgressCountsTheReplayAndStopWorksWithThreads) {
    const Data d(50, {3, 3});
    struct Seen { std::int64_t reports = 0, last_total = 0, stop_after = 0; } seen;
    kestrum::driver::Progress p;
    p.context = &seen;
    p.report = [](void* ctx, std::int64_t, std::int64_t total) {
        auto* s = static_cast<Seen*>(ctx);
        ++s->reports;
        s->last_total = total;
    };
    p.stop = [](void* ctx) {
        auto* s = static_cast<Seen*>(ctx);
        return s->stop_after != 0 && s->reports == s->stop_after;
    };
    for (int threads : {1, 2}) {
        Stream s = kestrum::random::process_stream();
        Record rec = *s.rec;
        s.rec = &rec;
        EngineOptions opt;
        opt.threads = threads;
        opt.store_budget = 0;
        CoreCallees c(kestrum::hyper::process_blocks());
        seen = Seen{};
        OutputArrays o(d.L, d.J);
        ASSERT_TRUE(kestrum::driver::estimate(s, c, d.args(4, 2, 1), o.outputs(), p,
                                              kestrum::driver::allocate_block, opt));
        EXPECT_EQ(seen.reports, 2 + 4 + 4);
        EXPECT_EQ(seen.last_total, 10);
        seen = Seen{};
        seen.stop_after = 8;  // during the replay
        EXPECT_FALSE(kestrum::driver::estimate(s, c, d.args(4, 2, 1), o.outputs(), p,
                                               kestrum::driver::allocate_block, opt));
        EXPECT_EQ(seen.reports, 8);
        EXPECT_TRUE(std::isnan(o.gmeanbar[0]) && std::isnan(o.prob[d.L - 1]));
    }
}

TEST(Engine, NoRowsPlanNothingRowOrDrawSized) {
    // With no rows the rate steps still draw, whatever N, K or nobs say, in
    // a workspace of O(J) doubles.
    static std::size_t asked = 0;
    auto record = [](std::size_t n) -> double* {
        asked = n;
        return kestrum::driver::allocate_block(n);
    };
    for (std::int32_t nrow : {0, -4}) {
        Data d(0, {2147483647, 3}, 0);
        Arguments a = d.args(2147483647, 1, 1);
        a.nrow = nrow;
        a.ntot = 2147483647;
        a.nkeep = 2;
        kestrum::test::ScriptedSource src;
        CoreCallees c(kestrum::hyper::process_blocks());
        OutputArrays o(0, 2);
        std::vector<std::string> lines;
        {
            kestrum::ScopedMessageSink sink({record_line, &lines});
            ASSERT_TRUE(kestrum::driver::estimate(src, c, a, o.outputs(), {}, record));
        }
        EXPECT_LT(asked, 1000u);
        // B + K iterations of the rate steps; the pooled-rate gamma only when
        // its shape 2 nrow + 1 is positive (else its message, once each).
        EXPECT_EQ(src.log.size(), 3u * (2u * 20u + (nrow >= 0 ? 1u : 0u)));
        EXPECT_EQ(lines.size(), nrow >= 0 ? 0u : 3u * 4u);
        a.nkeep = 2147483647;
        a.nburn = 0;
        EXPECT_EQ(kestrum::driver::store_bytes(kestrum::driver::make_run(a).d), 0u);
    }
}

TEST(Engine, GroupsPastTheRowReadNaNWithoutABufferOfThatLength) {
    static std::size_t asked = 0;
    auto record = [](std::size_t n) -> double* {
        asked = n;
        return kestrum::driver::allocate_block(n);
    };
    // A small overrun against the reference (whose buffer holds NaN there),
    // then a huge count: the same kind of result, a workspace of the row's size.
    const Data small(3, {2, 3, 4}, 6);
    Stream from = kestrum::random::process_stream();
    Record rec = *from.rec;
    from.rec = &rec;
    expect_same(reference(small, 3, 1, 1, from), engine(small, 3, 1, 1, from, 2, false), "overrun");

    const Data huge(3, {268435456, 4, 4}, 12);
    Stream s = from;
    Record rec2 = rec;
    s.rec = &rec2;
    OutputArrays o(3, 3);
    CoreCallees c(kestrum::hyper::process_blocks());
    ASSERT_TRUE(kestrum::driver::estimate(s, c, huge.args(3, 1, 1), o.outputs(), {}, record));
    EXPECT_LT(asked, 10000u);
    for (int g = 0; g < 3; ++g) {
        EXPECT_TRUE(std::isnan(o.gmeanbar[g])) << g;
        EXPECT_TRUE(std::isnan(o.pmeanbar[g])) << g;
    }
}

}  // namespace

namespace {

TEST(Engine, ARunOfTwentyThousandRowsAndFiveThousandKeptPlansAReplayOfAFewMiB) {
    // L = 20 000, J = 4, B = 100, K = 5 000: the contrast stores would take
    // 4.5 GiB (beyond any 32-bit address space), so with the default budget
    // the run replays, in a workspace the size of the rows' state.
    static std::size_t asked = 0;
    static int calls = 0;
    auto record = [](std::size_t n) -> double* {
        asked = n;
        ++calls;
        return nullptr;  // plan only: nothing is drawn
    };
    const Data d(20000, {4, 4, 4, 4}, 0);
    Arguments a = d.args(5000, 100, 0);
    a.ydata = nullptr;
    EXPECT_GT(kestrum::driver::store_bytes(kestrum::driver::make_run(a).d), kestrum::driver::kDefaultStoreBudget);
    std::vector<std::string> lines;
    OutputArrays o(20000, 4);
    kestrum::test::ScriptedSource src;
    CoreCallees c(kestrum::hyper::process_blocks());
    {
        kestrum::ScopedMessageSink sink({record_line, &lines});
        EXPECT_FALSE(kestrum::driver::estimate(src, c, a, o.outputs(), {}, record));
    }
    EXPECT_EQ(calls, 1);  // the stores were not even tried
    EXPECT_LT(asked * sizeof(double), std::size_t{32} << 20);
    EXPECT_EQ(src.log, "");
}

}  // namespace

namespace {

TEST(Engine, StoresThatCannotBeAllocatedFallBackToTheReplay) {
    // The stores' block is refused, the replay's granted: the same bits as a
    // run with the stores, and no message.
    static int calls = 0;
    auto first_refused = [](std::size_t n) -> double* {
        return ++calls == 1 ? nullptr : kestrum::driver::allocate_block(n);
    };
    const Data d(12, {3, 2, 4});
    Stream from = kestrum::random::process_stream();
    Record rec = *from.rec;
    from.rec = &rec;
    const Outcome stores = engine(d, 5, 2, 1, from, 1, false);
    const Outcome fallback = run(d, from, d.L, [&](Stream& s, const kestrum::driver::Outputs& out) {
        EngineOptions opt;
        opt.store_budget = SIZE_MAX;
        CoreCallees c(kestrum::hyper::process_blocks());
        EXPECT_TRUE(kestrum::driver::estimate(s, c, d.args(5, 2, 1), out, {}, first_refused, opt));
    });
    EXPECT_EQ(calls, 2);
    expect_same(stores, fallback, "fallback");
    EXPECT_TRUE(fallback.messages.empty());
}

}  // namespace
