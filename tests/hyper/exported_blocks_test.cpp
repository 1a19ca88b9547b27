// The rate update in its exported form: updatebb1_ works on the exported
// records and the process-wide stream, and must leave there exactly what
// the core leaves in a private set of blocks when it draws from a copy of
// the same generator state.  The records are read back as raw memory, the
// way a host sees them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "hyper/blocks.h"
#include "hyper/objective.h"
#include "hyper/update.h"
#include "kestrumr.h"
#include "random/stream.h"

namespace {

namespace random = kestrum::random;
namespace hyper = kestrum::hyper;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(ExportedBlocks, UpdateLeavesWhatTheCoreLeavesInBlocksOfItsOwn) {
    // A fixed generator state (the one at load), put back afterwards.
    const kestrumr_zbql0001 saved_rec = zbql0001_;
    const random::ProcessState saved_state = random::process_state();
    zbql0001_ = random::load_time_record();
    random::process_state().stream = random::Stream(&zbql0001_);

    // Distinct values, so that members swapped or shifted would show.
    const double sinv = 1.25, hshape = 1.5, gshape = 2.0, wunit = 1.0, rsum = 0.75, hrate = 0.5;
    const std::int32_t nrow = 9, ngrp = 4;
    std::int32_t accepted_total = 0;
    for (int call = 0; call < 3; ++call) {
        kestrumr_zbql0001 rec = zbql0001_;
        random::Stream mine = random::process_state().stream;
        mine.rec = &rec;
        hyper::BlockStore store;
        const double entry = 2.0 + call;
        double rate_core = entry;
        std::int32_t accepted = 0;
        hyper::update_rate(mine, store.blocks(), sinv, hshape, gshape, wunit, rsum, nrow, ngrp,
                           hrate, &rate_core, &accepted);
        accepted_total += accepted;

        double rate = entry;
        updatebb1_(nullptr, &sinv, &hshape, &gshape, &wunit, &rsum, &nrow, &ngrp, &hrate, &rate);

        EXPECT_TRUE(same_bits(rate, rate_core)) << call;
        const double args[6] = {sinv, hshape, gshape, wunit, rsum, hrate};
        EXPECT_EQ(std::memcmp(&uupar_, args, sizeof args), 0) << call;
        const std::int32_t counts[2] = {nrow, ngrp};
        EXPECT_EQ(std::memcmp(&ngusev_, counts, sizeof counts), 0) << call;
        EXPECT_TRUE(same_bits(tparvar_, store.tparvar)) << call;
        EXPECT_TRUE(same_bits(optvar_, store.optvar)) << call;
        EXPECT_TRUE(same_bits(tvarvar_, store.tvarvar)) << call;
        // The other two exported routines read the records the update left.
        EXPECT_TRUE(same_bits(alikebb1_(&tparvar_),
                              hyper::log_rate_objective(store.blocks(), store.tparvar)))
            << call;
        tvarvar_ = -1.0;
        varbb1_();
        EXPECT_TRUE(same_bits(tvarvar_, store.tvarvar)) << call;
        // Both drew the same variates.
        const random::Stream& ps = random::process_state().stream;
        EXPECT_EQ(std::memcmp(&zbql0001_, &rec, sizeof rec), 0) << call;
        EXPECT_EQ(ps.ilag22, mine.ilag22) << call;
        EXPECT_EQ(ps.nstat, mine.nstat) << call;
    }
    // Accepted proposals took part, so the rate and tparvar_ compared above
    // are not only the values on entry.
    EXPECT_GT(accepted_total, 0);

    zbql0001_ = saved_rec;
    random::process_state() = saved_state;
    random::process_state().stream.rec = &zbql0001_;
}

}  // namespace
