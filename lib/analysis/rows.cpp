// Rows the sampler cannot serve (see analysis/rows.h).
#include "analysis/rows.h"

#include <cmath>

namespace kestrum::analysis {

std::int32_t group_without_spread(const double* x, std::size_t stride, std::int32_t ngrp,
                                  const std::int32_t* nobs) {
    std::size_t c = 0;
    for (std::int32_t j = 0; j < ngrp; ++j) {
        const std::size_t n = nobs[j] > 0 ? static_cast<std::size_t>(nobs[j]) : 0;
        bool equal = n >= 2;
        for (std::size_t i = 1; i < n && equal; ++i) equal = x[(c + i) * stride] == x[c * stride];
        if (equal) return j;
        c += n;
    }
    return -1;
}

bool results_not_finite(const double* gmeanbar, const double* gvarbar, const double* pmeanbar,
                        const double* pvarbar, std::size_t L, std::size_t J, bool pooled,
                        std::size_t g) {
    for (std::size_t j = 0; j < J; ++j)
        if (!std::isfinite(gmeanbar[g + j * L]) || !std::isfinite(gvarbar[g + j * L])) return true;
    return pooled && (!std::isfinite(pmeanbar[g]) || !std::isfinite(pvarbar[g]));
}

std::string number_list(const std::vector<std::size_t>& numbers) {
    std::string s;
    for (std::size_t i = 0; i < numbers.size() && i < 10; ++i)
        s += (i ? ", " : "") + std::to_string(numbers[i]);
    if (numbers.size() > 10) s += ", ...";
    return s;
}

}  // namespace kestrum::analysis
