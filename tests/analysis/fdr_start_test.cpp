// The null analyses behind the q-values start their chain as the observed
// chains start.  On data left unscaled whose variances are far
// from the fixed start's (every rate 2, every variance 1), chains from the
// fixed start stick while chains from the data do not; a null made of
// chains that ran otherwise than the observed ones is on another scale, and
// the list at a chosen false-discovery rate comes out empty or full.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/analyse.h"
#include "analysis/shifted_rows.h"
#include "hyper/blocks.h"
#include "random/stream.h"

namespace {

using namespace kestrum;
using namespace kestrum::analysis;

// Two groups of four of sd 30 about 100, the first 10 rows shifted by 3 sds.
struct Data : kestrum::testing::ShiftedRows {
    Data() : ShiftedRows(17, 100.0, 30.0) {}
};

TEST(FdrStart, NullAnalysesStartAsTheObservedChains) {
    const Data d;
    for (StartMode start : {StartMode::data, StartMode::fixed}) {
        AnalysisSettings s;
        s.scale = ScaleMode::none;
        s.start = start;
        s.burn = 100;
        s.keep = 100;
        s.seed = 5;
        s.threads = 2;
        s.permutations = 8;  // four for the mean test: 320 null scores
        AnalysisData data;
        data.nrow = d.L;
        data.ngrp = d.J;
        data.ntot = d.N;
        data.nobs = d.nobs;
        data.ydata = d.y.data();
        random::Record rec = random::load_time_record();
        random::Stream stream{&rec};
        hyper::BlockStore blocks;
        AnalysisResult r;
        ASSERT_EQ(analyse(stream, blocks.blocks(), s, data, r), AnalysisStatus::ok) << r.error;
        std::size_t shifted = 0, null = 0;
        for (std::size_t g = 0; g < static_cast<std::size_t>(d.L); ++g)
            if (r.q_mean[g] <= 0.10) ++(g < 10 ? shifted : null);
        EXPECT_GE(shifted, 5u) << "start " << static_cast<int>(start);
        EXPECT_LE(null, 2u) << "start " << static_cast<int>(start);
    }
}

}  // namespace
