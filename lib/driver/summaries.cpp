// The outputs of a run that computed nothing.  The summaries themselves
// are formed by the engine (driver/engine.cpp) as the draws come.
#include "driver/summaries.h"

#include <cstdint>
#include <limits>

namespace kestrum::driver {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

void fill_outputs_with_nan(const Dims& d, const Outputs& out) {
    const std::int64_t L = d.L, J = d.J;
    for (std::int64_t g = 0; g < L; ++g) {
        out.pmeanbar[g] = kNaN;
        out.pvarbar[g] = kNaN;
        for (std::int64_t j = 0; j < J; ++j) {
            out.gmeanbar[g + j * L] = kNaN;
            out.gvarbar[g + j * L] = kNaN;
        }
        for (std::int64_t j = 0; j + 1 < J; ++j) out.prob[g + j * L] = kNaN;
        if (out.pjoint != nullptr) out.pjoint[g] = kNaN;
    }
}

}  // namespace kestrum::driver
