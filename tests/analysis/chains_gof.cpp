// Statistical checks of the analysis around a run (fixed seeds, small
// problems): results that do not depend on the data's units, a stuck rate
// update that the diagnostics catch, and R-hat flagging a stray chain.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/chains.h"
#include "analysis/scale.h"
#include "random/stream.h"
#include "support/problem.h"

namespace {

using namespace kestrum;

// Like the bundled example, smaller: rows of three groups of four with row
// means on (6, 10) and sds on (0.2, 0.8); the first `shifted` rows have
// group 2's mean 3 sds higher, the rest are null rows.
struct Data : test::Problem {
    Data(std::int32_t rows, std::int32_t shifted) : test::Problem(rows, {4, 4, 4}, 10000.0) {
        kestrumr_zbql0001 rec = random::load_time_record();
        random::Stream st{&rec};
        for (std::int32_t g = 0; g < L; ++g) {
            const double mean = 6.0 + 4.0 * st.uniform(), sd = 0.2 + 0.6 * st.uniform();
            for (std::int32_t c = 0; c < N; ++c) {
                const double shift = g < shifted && c >= 4 && c < 8 ? 3.0 * sd : 0.0;
                y[static_cast<std::size_t>(g + c * L)] = st.normal(mean + shift, sd);
            }
        }
    }
};

struct Outcome {
    analysis::ChainsResult chains;
    analysis::Pooled pooled;
    int null_mean = 0, null_joint = 0;  // null rows with p_mean, p_joint > 0.5
};

// The data times s, standardised (or not), run with the default priors.
Outcome run(const Data& d, double s, bool standardise, std::int32_t chains, std::int32_t burn,
            std::int32_t keep, std::int32_t shifted, std::int32_t stray_chain = -1,
            double stray_shift = 0.0, analysis::StartMode start = analysis::StartMode::fixed) {
    test::Problem p = d;
    for (double& x : p.y) x *= s;
    if (standardise) {
        const double scale = analysis::robust_scale(p.y.data(), p.L, p.J, p.nobs.data());
        for (double& x : p.y) x /= scale;
    }
    const driver::Arguments a = p.args(keep, burn);
    analysis::ChainSettings set;
    set.chains = chains;
    set.threads = 2;
    set.seed = 5;
    set.shifted_chain = stray_chain;
    set.start_shift = {0.0, stray_shift, 0.0};
    set.start = start;
    Outcome o;
    EXPECT_EQ(analysis::run_chains(a, set, o.chains), analysis::ChainsStatus::ok);
    analysis::pool_chains(o.chains, d.L, d.J, o.pooled);
    for (std::int32_t g = shifted; g < d.L; ++g) {
        o.null_mean += o.pooled.prob[static_cast<std::size_t>(g)] > 0.5;
        o.null_joint += o.pooled.prob[static_cast<std::size_t>(g + d.L)] > 0.5;
    }
    return o;
}

// The counts of null rows called do not depend on the units of the data.
TEST(ChainsStatistics, StandardisedRunsDoNotDependOnTheDataUnits) {
    const Data d(90, 10);
    const Outcome at1 = run(d, 1.0, true, 2, 200, 200, 10);
    for (double s : {0.1, 4.0, 10.0, 1000.0}) {
        const Outcome o = run(d, s, true, 2, 200, 200, 10);
        EXPECT_NEAR(o.null_mean, at1.null_mean, 2) << s;
        EXPECT_NEAR(o.null_joint, at1.null_joint, 2) << s;
        EXPECT_TRUE(analysis::stuck_rates(o.chains).empty()) << s;
    }
    // The null rows' p_mean is about P(chi2_2 > 3) = 0.22 on average.
    double sum = 0.0;
    for (std::int32_t g = 10; g < d.L; ++g) sum += at1.pooled.prob[static_cast<std::size_t>(g)];
    EXPECT_NEAR(sum / 80.0, 0.22, 0.08);
}

// On data whose variances are far above the prior's scale the unstandardised
// rate update sticks at its start, and the diagnostics say so.
TEST(ChainsStatistics, AStuckRateIsCaught) {
    const Data d(40, 0);
    const Outcome raw = run(d, 30.0, false, 1, 100, 50, 0);
    const std::vector<analysis::StuckRate> stuck = analysis::stuck_rates(raw.chains);
    EXPECT_EQ(stuck.size(), 3u);  // every group
    for (const analysis::StuckRate& s : stuck) EXPECT_LT(s.acceptance, 0.01);
    const Outcome standard = run(d, 30.0, true, 1, 100, 50, 0);
    EXPECT_TRUE(analysis::stuck_rates(standard.chains).empty());
    for (std::int64_t j = 0; j < 3; ++j)
        EXPECT_GT(analysis::acceptance(standard.chains.rec[0], j, 50, 100), 0.2);
}

// A chain started far from the others (no burn-in) is flagged on nearly
// every row, from either start; chains that mix on none.
TEST(ChainsStatistics, RhatFlagsAChainStartedFarAway) {
    const Data d(30, 0);
    auto flagged = [&](const Outcome& o) {
        int n = 0;
        for (double f : o.pooled.rhat_flag) n += f == 1.0;
        return n;
    };
    for (analysis::StartMode start : {analysis::StartMode::fixed, analysis::StartMode::data}) {
        const Outcome together = run(d, 1.0, true, 4, 200, 1000, 0, -1, 0.0, start);
        const Outcome stray = run(d, 1.0, true, 4, 0, 200, 0, 2, 40.0, start);
        EXPECT_EQ(flagged(together), 0) << flagged(stray);
        EXPECT_GE(flagged(stray), 24);
    }
}

}  // namespace
