// Statistical behaviour of the whole sampler on simulated data with a known
// truth.  Every run starts from the generator's built-in table (each test
// runs in a process of its own), so the outcomes are fixed; the bounds leave
// wide margins around them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "driver/callees.h"
#include "driver/estimate.h"
#include "random/stream.h"
#include "support/problem.h"

namespace {

// Rows of J groups of n observations each, drawn around a known truth.
struct Simulation : kestrum::test::Problem {
    std::int32_t n;  // observations per group
    std::vector<double> truth_mean, truth_sd, ybar;  // truth and sample means: L x J
    std::vector<double> prob, pmeanbar, pvarbar, gmeanbar, gvarbar;

    Simulation(std::int32_t rows, std::int32_t groups, std::int32_t per_group)
        : Problem(rows, std::vector<std::int32_t>(groups, per_group), 100.0), n(per_group),
          truth_mean(rows * groups), truth_sd(rows * groups), ybar(rows * groups),
          prob(rows * (groups - 1)), pmeanbar(rows), pvarbar(rows), gmeanbar(rows * groups),
          gvarbar(rows * groups) {}

    void draw_data(kestrum::random::Stream& s) {
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t j = 0; j < J; ++j) {
                double sum = 0.0;
                for (std::int32_t i = 0; i < n; ++i) {
                    const double v = s.normal(truth_mean[g + j * L], truth_sd[g + j * L]);
                    y[g + (j * n + i) * static_cast<std::size_t>(L)] = v;
                    sum += v;
                }
                ybar[g + j * L] = sum / n;
            }
    }

    void run(kestrum::random::Stream& s, std::int32_t K, std::int32_t B) {
        const kestrum::driver::Arguments a = args(K, B, 1);
        kestrum::driver::Outputs o;
        o.prob = prob.data();
        o.pmeanbar = pmeanbar.data();
        o.pvarbar = pvarbar.data();
        o.gmeanbar = gmeanbar.data();
        o.gvarbar = gvarbar.data();
        kestrum::driver::CoreCallees c(kestrum::hyper::process_blocks());
        ASSERT_TRUE(kestrum::driver::estimate(s, c, a, o));
    }
};

TEST(SamplerFit, MeanDifferencesAreFoundAndNullRowsAreNot) {
    // 20 rows with group 2 four standard deviations above group 1, 40 rows
    // with equal groups; six observations per group, sd 1.
    Simulation sim(60, 2, 6);
    for (int g = 0; g < 60; ++g) {
        sim.truth_mean[g] = 0.1 * g;
        sim.truth_mean[g + 60] = 0.1 * g + (g < 20 ? 4.0 : 0.0);
        sim.truth_sd[g] = sim.truth_sd[g + 60] = 1.0;
    }
    kestrum::random::Stream& s = kestrum::random::process_stream();
    sim.draw_data(s);
    sim.run(s, 400, 200);

    double p_diff = 0.0, p_null = 0.0;
    int null_hits = 0;
    for (int g = 0; g < 60; ++g) {
        if (g < 20) {
            p_diff += sim.prob[g] / 20.0;
            EXPECT_GT(sim.prob[g], 0.6) << "row " << g;
        } else {
            p_null += sim.prob[g] / 40.0;
            if (sim.prob[g] > 0.5) ++null_hits;
        }
        for (int j = 0; j < 2; ++j) {
            // Vague priors on the means: the posterior mean follows the
            // sample mean, which lies within a few standard errors of the
            // truth.
            const double se = 1.0 / std::sqrt(6.0);
            EXPECT_NEAR(sim.gmeanbar[g + 60 * j], sim.ybar[g + 60 * j], 0.25) << g;
            EXPECT_NEAR(sim.gmeanbar[g + 60 * j], sim.truth_mean[g + 60 * j], 4.5 * se) << g;
        }
    }
    EXPECT_GT(p_diff, 0.9);
    EXPECT_LT(p_null, 0.25);
    EXPECT_LE(null_hits, 6);
    // Variances: the posterior means average near the true 1.
    double v = 0.0;
    for (double x : sim.gvarbar) v += x / 120.0;
    EXPECT_GT(v, 0.6);
    EXPECT_LT(v, 1.6);
}

TEST(SamplerFit, VarianceDifferencesRaiseTheJointFrequency) {
    // Three groups of 8; in the first 20 rows group 3 has four times the
    // standard deviation of the others, the other 20 rows are null.
    Simulation sim(40, 3, 8);
    for (int g = 0; g < 40; ++g)
        for (int j = 0; j < 3; ++j) {
            sim.truth_mean[g + 40 * j] = 5.0;
            sim.truth_sd[g + 40 * j] = (g < 20 && j == 2) ? 2.0 : 0.5;
        }
    kestrum::random::Stream& s = kestrum::random::process_stream();
    sim.draw_data(s);
    sim.run(s, 300, 150);
    double p2_var = 0.0, p2_null = 0.0, v3 = 0.0, v1 = 0.0;
    for (int g = 0; g < 40; ++g) {
        if (g < 20) {
            p2_var += sim.prob[g + 40] / 20.0;
            v3 += sim.gvarbar[g + 80] / 20.0;
            v1 += sim.gvarbar[g] / 20.0;
        } else {
            p2_null += sim.prob[g + 40] / 20.0;
        }
    }
    EXPECT_GT(p2_var, 0.7);
    EXPECT_LT(p2_null, 0.4);
    EXPECT_GT(p2_var, p2_null + 0.3);
    // Posterior variances: group 3 near 4, group 1 near 0.25.
    EXPECT_GT(v3, 2.0);
    EXPECT_LT(v3, 7.0);
    EXPECT_GT(v1, 0.1);
    EXPECT_LT(v1, 0.6);
}

}  // namespace
