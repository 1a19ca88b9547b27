// A run whose workspace lives in a vector, for driving the phases of the
// estimation directly from a test.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/run.h"
#include "driver/summaries.h"
#include "support/reference_sampler.h"
#include "driver/workspace.h"

namespace kestrum::test {

struct RunFixture {
    driver::Run r;
    std::vector<double> block;

    // A run of L rows, J groups, N observations, K kept and B burn-in
    // iterations; every workspace double starts at the marker value, so a
    // slot never written is easy to spot.
    RunFixture(std::int32_t L, std::int32_t J, std::int32_t N, std::int32_t K, std::int32_t B,
               std::size_t sweep_doubles = 0, double marker = -777.0) {
        r.d = driver::Dims::from_arguments(L, J, N, K, B);
        r.nrow = L;
        r.ngrp = J;
        r.ntot = N;
        driver::Arena plan;
        reference::carve_workspace(plan, r, sweep_doubles);
        block.assign(plan.used() + 1, marker);
        driver::Arena arena(block.data());
        reference::carve_workspace(arena, r, sweep_doubles);
    }

    // Kept draws, indices from 0: row g, group j, slice k.
    double& gm(std::int64_t g, std::int64_t j, std::int64_t k) {
        return r.gmeandraw[g + j * r.d.L + k * r.d.L * r.d.J];
    }
    double& gv(std::int64_t g, std::int64_t j, std::int64_t k) {
        return r.gvardraw[g + j * r.d.L + k * r.d.L * r.d.J];
    }
    double& pm(std::int64_t g, std::int64_t k) { return r.pmeandraw[g + k * r.d.L]; }
    double& pv(std::int64_t g, std::int64_t k) { return r.pvardraw[g + k * r.d.L]; }
};

// Output arrays of a run, filled with a marker value.
struct OutputArrays {
    std::vector<double> prob, pmeanbar, pvarbar, gmeanbar, gvarbar;
    OutputArrays(std::int64_t L, std::int64_t J, double marker = -555.0)
        : prob(static_cast<std::size_t>(L * (J > 1 ? J - 1 : 0)) + 1, marker),
          pmeanbar(static_cast<std::size_t>(L) + 1, marker),
          pvarbar(static_cast<std::size_t>(L) + 1, marker),
          gmeanbar(static_cast<std::size_t>(L * J) + 1, marker),
          gvarbar(static_cast<std::size_t>(L * J) + 1, marker) {}

    driver::Outputs outputs() {
        driver::Outputs o;
        o.prob = prob.data();
        o.pmeanbar = pmeanbar.data();
        o.pvarbar = pvarbar.data();
        o.gmeanbar = gmeanbar.data();
        o.gvarbar = gvarbar.data();
        return o;
    }
};

}  // namespace kestrum::test
