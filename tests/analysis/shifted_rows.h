// A small table for the tests of the list at a chosen false-discovery
// rate: L = 80 rows of two groups of four, value centre + sd * z with z
// standard normal (a sum of 12 uniforms of a seeded linear congruential
// generator, minus 6), the first 10 rows' second group shifted by 3 sds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum::testing {

struct ShiftedRows {
    std::int32_t L = 80, J = 2, N = 8;
    std::int32_t nobs[2] = {4, 4};
    std::vector<double> y;  // L x N, column by column
    ShiftedRows(std::uint64_t state, double centre, double sd) : y(static_cast<std::size_t>(L * N)) {
        auto normal = [&] {
            double s = -6.0;
            for (int i = 0; i < 12; ++i) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                s += static_cast<double>(state >> 11) * 0x1.0p-53;
            }
            return s;
        };
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t c = 0; c < N; ++c)
                y[static_cast<std::size_t>(g + c * L)] =
                    centre + sd * (normal() + (g < 10 && c >= 4 ? 3.0 : 0.0));
    }
};

}  // namespace kestrum::testing
