// Group and pooled sample statistics of one row, by one pass of sums and
// sums of squares.
#include <cstdint>
#include <limits>

#include "kestrumr.h"
#include "posterior/statistics.h"

namespace kestrum::posterior {

void group_statistics(const double* x, int32_t ipool, int32_t ngrp, int32_t ntot,
                      const int32_t* nobs, double* ybar, double* s2, double* ybar0,
                      double* s20) {
    group_statistics(x, std::numeric_limits<std::int64_t>::max(), ipool, ngrp, ntot, nobs, ybar,
                     s2, ybar0, s20);
}

void group_statistics(const double* x, std::int64_t navail, int32_t ipool, int32_t ngrp,
                      int32_t ntot, const int32_t* nobs, double* ybar, double* s2,
                      double* ybar0, double* s20) {
    const bool pooled = (ipool == 1);
    for (int32_t i = 0; i < ngrp; ++i) {
        ybar[i] = 0.0;
        s2[i] = 0.0;
    }
    double psum = 0.0;  // running pooled sum
    double q0 = 0.0;    // running pooled sum of squares
    if (pooled) {
        *ybar0 = 0.0;
        *s20 = 0.0;
    }
    std::int64_t p = 0;  // offset of the next group's first value
    for (int32_t i = 0; i < ngrp; ++i) {
        double s = 0.0;
        double q = 0.0;
        const int32_t ni = nobs[i];
        if (ni >= 1) {
            const std::int64_t left = navail > p ? navail - p : 0;
            const std::int64_t here = ni < left ? ni : left;
            for (std::int64_t t = 0; t < here; ++t) {
                const double v = x[p + t];
                s = s + v;
                q = q + v * v;
            }
            if (here < ni) {  // the rest of the group lies past the row
                const double missing = std::numeric_limits<double>::quiet_NaN();
                s = s + missing;
                q = q + missing * missing;
            }
            p += ni;
        }
        const double dn = static_cast<double>(ni);
        if (pooled) {
            psum = psum + s;
            q0 = q0 + q;
            if (i == ngrp - 1) {
                const double dN = static_cast<double>(ntot);
                const double mean = psum / dN;
                *ybar0 = mean;
                *s20 = (q0 - dN * (mean * mean)) / (dN - 1.0);
            }
        }
        const double mean = s / dn;
        ybar[i] = mean;
        s2[i] = (q - dn * (mean * mean)) / (dn - 1.0);
    }
}

}  // namespace kestrum::posterior

extern "C" KESTRUMR_API void parametercal_(const double* x, const int32_t* ipool,
                                           const int32_t* ngrp, const int32_t* ntot,
                                           const int32_t* nobs, double* ybar, double* s2,
                                           double* ybar0, double* s20) {
    // ntot is read only when the pooled statistics are asked for.
    const int32_t pool = *ipool;
    kestrum::posterior::group_statistics(x, pool, *ngrp, pool == 1 ? *ntot : 0, nobs, ybar,
                                         s2, ybar0, s20);
}
