// The list at a chosen false-discovery rate on simulated data with known
// truth (a small version of validate/fdr.R): two groups of five, row
// variances from a scaled inverse-chi^2 with 4 degrees of freedom, 10% of
// the rows with a mean shift of 1.5 to 3 row sds, 5% with a variance ratio
// of 4 to 9.  Over a few data sets the mean false-discovery proportion of
// the rows with q_mean <= A stays near A, and most strong shifts are found:
// a null that is too narrow calls too many nulls, one that is too wide (or
// q-values without the permuted analyses) calls few true rows.
#include <cmath>
#include <cstdint>
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

TEST(FdrStatistics, TheListKeepsItsFalseDiscoveryRate) {
    const std::int32_t L = 1000, n = 5, N = 2 * n, nobs[2] = {n, n};
    const std::int32_t shifted = L / 10, varied = L / 20;
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
            const double shift = g < shifted ? (rng.uniform() < 0.5 ? -1.0 : 1.0) * (1.5 + 1.5 * rng.uniform()) : 0.0;
            const double ratio = g >= shifted && g < shifted + varied ? 4.0 + 5.0 * rng.uniform() : 1.0;
            for (std::int32_t c = 0; c < N; ++c)
                y[static_cast<std::size_t>(g + c * L)] =
                    sd * (c < n ? rng.normal() : std::sqrt(ratio) * rng.normal() + shift);
        }
        AnalysisSettings s;
        s.chains = 2;
        s.burn = 200;
        s.keep = 200;
        s.seed = 77 + set;
        s.permutations = 4;
        AnalysisData d;
        d.nrow = L;
        d.ngrp = 2;
        d.ntot = N;
        d.nobs = nobs;
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
    EXPECT_LE(fdp, A + 0.06) << "power " << power;
    EXPECT_GE(power, 0.3) << "mean FDP " << fdp;
}

}  // namespace
