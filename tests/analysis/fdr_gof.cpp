// The list at a chosen false-discovery rate on simulated data with known
// truth (a small version of validate/fdr.R): two groups of five and three
// groups of four, row variances from a scaled inverse-chi^2 with 4 degrees
// of freedom, 10% of the rows with a mean shift of 1.5 to 3 row sds in the
// last group, 5% with a variance ratio of 4 to 9 there.  Over a few data
// sets the mean false-discovery proportion of the rows with q_mean <= A
// stays near A, and most strong shifts are found: a null that is too
// narrow calls too many nulls, one that is too wide (or one that keeps part
// of the true differences, or q-values without the null analyses) calls
// few true rows.
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/analyse.h"
#include "hyper/blocks.h"
#include "random/stream.h"

namespace {

using namespace kestrum;
using namespace kestrum::analysis;

struct Rng {
    std::uint64_t state;
    double uniform() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (static_cast<double>(state >> 11) + 0.5) * 0x1.0p-53;
    }
    double normal() { return std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform()); }
};

// One design: group sizes, shares of shifted and of variance-shifted rows,
// the range of the shifts (row sds), and the bounds on the mean FDP (at
// A = 0.10) and on the share of shifted rows found.
struct Design {
    const char* name;
    std::vector<std::int32_t> sizes;
    double shifted, varied, low, high;
    double max_fdp, min_power;
};

void PrintTo(const Design& design, std::ostream* os) { *os << design.name; }

class FdrStatistics : public ::testing::TestWithParam<Design> {};

TEST_P(FdrStatistics, TheListKeepsItsFalseDiscoveryRate) {
    const Design& design = GetParam();
    const std::int32_t L = 1000, J = static_cast<std::int32_t>(design.sizes.size());
    std::int32_t N = 0;
    for (std::int32_t n : design.sizes) N += n;
    const auto shifted = static_cast<std::int32_t>(design.shifted * L);
    const auto varied = static_cast<std::int32_t>(design.varied * L);
    const double A = 0.10;
    const int sets = 3;
    double fdp = 0.0;
    std::int64_t found = 0;
    for (int set = 0; set < sets; ++set) {
        Rng rng{static_cast<std::uint64_t>(1234 + set)};
        std::vector<double> y(static_cast<std::size_t>(L * N));
        for (std::int32_t g = 0; g < L; ++g) {
            double chi2 = 0.0;
            for (int k = 0; k < 4; ++k) chi2 += std::pow(rng.normal(), 2);
            const double sd = std::sqrt(4.0 / chi2);
            const double shift = g < shifted ? (rng.uniform() < 0.5 ? -1.0 : 1.0) *
                                                   (design.low + (design.high - design.low) * rng.uniform())
                                             : 0.0;
            const double ratio = g >= shifted && g < shifted + varied ? 4.0 + 5.0 * rng.uniform() : 1.0;
            // The last group differs.
            const std::int32_t last = N - design.sizes.back();
            for (std::int32_t c = 0; c < N; ++c)
                y[static_cast<std::size_t>(g + c * L)] =
                    sd * (c < last ? rng.normal() : std::sqrt(ratio) * rng.normal() + shift);
        }
        AnalysisSettings s;
        s.chains = 2;
        s.burn = 200;
        s.keep = 200;
        s.seed = 77 + set;
        s.permutations = 4;
        AnalysisData d;
        d.nrow = L;
        d.ngrp = J;
        d.ntot = N;
        d.nobs = design.sizes.data();
        d.ydata = y.data();
        random::Record rec = random::load_time_record();
        random::Stream stream{&rec};
        hyper::BlockStore blocks;
        AnalysisResult r;
        ASSERT_EQ(analyse(stream, blocks.blocks(), s, d, r), AnalysisStatus::ok) << r.error;
        std::int64_t called = 0, wrong = 0;
        for (std::int32_t g = 0; g < L; ++g) {
            if (!(r.q_mean[static_cast<std::size_t>(g)] <= A)) continue;
            ++called;
            if (g < shifted) {
                ++found;
            } else {
                ++wrong;
            }
        }
        fdp += called > 0 ? static_cast<double>(wrong) / static_cast<double>(called) : 0.0;
    }
    fdp /= sets;
    const double power = static_cast<double>(found) / static_cast<double>(sets * shifted);
    RecordProperty("mean_fdp", std::to_string(fdp));
    RecordProperty("power", std::to_string(power));
    EXPECT_LE(fdp, design.max_fdp) << "power " << power;
    EXPECT_GE(power, design.min_power) << "mean FDP " << fdp;
}

INSTANTIATE_TEST_SUITE_P(
    Designs, FdrStatistics,
    ::testing::Values(
        // Two groups of five: 10% shifted rows, 5% with a variance ratio.
        Design{"TwoGroupsOfFive", {5, 5}, 0.10, 0.05, 1.5, 3.0, 0.16, 0.3},
        // Three groups of four: a score that divides by each group's own
        // variance (3 degrees of freedom) finds under a third of the shifts;
        // moderated variances find nearly half.
        Design{"ThreeGroupsOfFour", {4, 4, 4}, 0.10, 0.05, 1.5, 3.0, 0.16, 0.38}),
    [](const ::testing::TestParamInfo<Design>& info) { return std::string(info.param.name); });

}  // namespace
