// The robust scale of a data matrix and the change of units around a run.
#include "analysis/scale.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace kestrum::analysis {

double robust_scale(const double* ydata, std::int32_t nrow, std::int32_t ngrp,
                    const std::int32_t* nobs) {
    if (nrow <= 0 || ngrp <= 0 || ydata == nullptr || nobs == nullptr) return 1.0;
    const auto L = static_cast<std::size_t>(nrow);
    std::int64_t N = 0;
    for (std::int32_t j = 0; j < ngrp; ++j) N += nobs[j] > 0 ? nobs[j] : 0;
    if (N <= ngrp) return 1.0;
    const double dof = static_cast<double>(N - ngrp);

    std::vector<double> sd;
    sd.reserve(L);
    for (std::size_t g = 0; g < L; ++g) {
        double ss = 0.0;
        std::size_t col = 0;
        for (std::int32_t j = 0; j < ngrp; ++j) {
            const std::size_t n = nobs[j] > 0 ? static_cast<std::size_t>(nobs[j]) : 0;
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) sum += ydata[g + (col + i) * L];
            const double mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double d = ydata[g + (col + i) * L] - mean;
                ss += d * d;
            }
            col += n;
        }
        const double s = std::sqrt(ss / dof);
        if (std::isfinite(s) && s > 0.0) sd.push_back(s);
    }
    if (sd.empty()) return 1.0;
    const std::size_t mid = sd.size() / 2;
    std::nth_element(sd.begin(), sd.begin() + static_cast<std::ptrdiff_t>(mid), sd.end());
    const double upper = sd[mid];
    if (sd.size() % 2 == 1) return upper;
    const double lower = *std::max_element(sd.begin(), sd.begin() + static_cast<std::ptrdiff_t>(mid));
    return 0.5 * (lower + upper);
}

bool usable_scale(double scale) {
    const double s2 = scale * scale;
    return std::isfinite(scale) && scale > 0.0 && std::isfinite(s2) && s2 > 0.0 &&
           std::isfinite(1.0 / s2);
}

void data_to_standard(double* y, std::size_t n, double scale) {
    for (std::size_t i = 0; i < n; ++i) y[i] = y[i] / scale;
}

Priors priors_to_standard(const Priors& p, double scale, DataUnitPriors which) {
    const double s2 = scale * scale;
    Priors q = p;
    if (which.hrate) q.hrate = p.hrate / s2;
    if (which.mvar) {
        q.mvar[0] = p.mvar[0] / s2;
        q.mvar[1] = p.mvar[1] / s2;
    }
    if (which.effvar)
        for (double& e : q.effvar) e = e / s2;
    return q;
}

void results_to_data_units(const driver::Outputs& out, std::int32_t nrow, std::int32_t ngrp,
                           double scale) {
    const std::size_t L = nrow > 0 ? static_cast<std::size_t>(nrow) : 0;
    const std::size_t J = ngrp > 0 ? static_cast<std::size_t>(ngrp) : 0;
    const double s2 = scale * scale;
    for (std::size_t i = 0; i < L * J; ++i) {
        out.gmeanbar[i] *= scale;
        out.gvarbar[i] *= s2;
    }
    for (std::size_t g = 0; g < L; ++g) {
        out.pmeanbar[g] *= scale;
        out.pvarbar[g] *= s2;
    }
}

void means_to_data_units(double* x, std::size_t n, double scale) {
    for (std::size_t i = 0; i < n; ++i) x[i] *= scale;
}

}  // namespace kestrum::analysis
