// The plain reference of one estimation run (see reference_sampler.h): its
// workspace with full kept-draw stores, the starting values and the
// summaries over the stores.
//
// The summaries: the posterior means and the two difference tests.
//
// For each row the kept draws are visited twice.  The first pass adds up the
// draws and forms, per draw, the mean contrasts d_i = m_{i+1} - m_1 and the
// cube-root variance contrasts c_i = v_{i+1}^(1/3) - v_1^(1/3) (the portable
// pow with the exponent 0.3333333333333333, not cbrt, so every build
// agrees to the last bit), storing them and accumulating their
// sums, sums of squares and the cross sums of the joint vector
// u = (d_1..d_{J-1}, c_1..c_{J-1}).  From these the sample covariance of u
// (divisor K - 1) and that of d alone are formed and inverted.  The second
// pass evaluates, per draw, the quadratic forms Q1 = d' mcov^-1 d and
// Q2 = u' dcov^-1 u (not centred) and counts Q1 > 6.0 and Q2 > 9.0; the
// counts divided by K are the two tail frequencies.
#include "support/reference_sampler.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/pmath.h"
#include "posterior/inverse.h"
#include "posterior/statistics.h"

namespace kestrum::reference {

namespace {
constexpr double kThird = 0.3333333333333333;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

void carve_workspace(driver::Arena& a, driver::Run& r, std::size_t sweep_doubles) {
    const auto L = static_cast<std::size_t>(r.d.L);
    const auto J = static_cast<std::size_t>(r.d.J);
    const auto N = static_cast<std::size_t>(r.d.N);
    const auto K = static_cast<std::size_t>(r.d.K);
    const auto D = static_cast<std::size_t>(r.d.D);
    const std::size_t M = J >= 1 ? J - 1 : 0;
    r.ybar = a.take(L, J);
    r.s2 = a.take(L, J);
    r.ybar0 = a.take(L);
    r.s20 = a.take(L);
    r.gmean = a.take(L, J);
    r.gvar = a.take(L, J);
    r.pmean = a.take(L);
    r.pvar = a.take(L);
    r.vshape = a.take(J);
    r.vrate = a.take(J);
    r.precsum = a.take(J);
    r.spare = a.take(M);
    r.row_ybar = a.take(J);
    r.row_s2 = a.take(J);
    r.row_gmean = a.take(J);
    r.row_gvar = a.take(J);
    // The observation buffer holds N values, or as many as the groups read
    // when nobs adds up to more than N (the excess is NaN, never memory
    // beyond the buffer).
    std::size_t nread = N;
    if (r.nobs != nullptr) {
        std::size_t sum = 0;
        for (std::size_t j = 0; j < J; ++j) {
            if (r.nobs[j] > 0 && !driver::checked_add(sum, static_cast<std::size_t>(r.nobs[j]), &sum)) {
                a.fail();
            }
        }
        if (sum > nread) nread = sum;
    }
    r.obs_size = nread;
    r.obs = a.take(nread);
    r.gmeandraw = a.take(L, J, K);
    r.gvardraw = a.take(L, J, K);
    r.pmeandraw = a.take(L, K);
    r.pvardraw = a.take(L, K);

    r.sum_gmean = a.take(J);
    r.sum_gvar = a.take(J);
    r.mdiff = a.take(K, M);
    r.vdiff = a.take(K, M);
    r.sum_d = a.take(M);
    r.sum_d2 = a.take(M);
    r.sum_c = a.take(M);
    r.sum_c2 = a.take(M);
    r.cross = a.take(D >= 1 ? D / 2 : 0, D >= 1 ? D - 1 : 0);  // D(D-1)/2, D even
    r.dcov = a.take(D, D);
    r.mcov = a.take(M, M);
    r.dcovinv = a.take(D, D);
    r.mcovinv = a.take(M, M);
    r.u = a.take(D);
    // The inversions take their order as an int32.
    if (r.d.D > std::numeric_limits<std::int32_t>::max()) {
        a.fail();
        r.inverse_scratch = nullptr;
    } else {
        r.inverse_scratch = a.take(posterior::inverse_scratch_size(static_cast<std::int32_t>(D)));
    }
    r.sweep_scratch = a.take(sweep_doubles);
}

double* obtain_workspace(driver::Run& r, std::size_t sweep_doubles, driver::Allocate allocate) {
    driver::Arena plan;
    carve_workspace(plan, r, sweep_doubles);
    if (plan.overflowed() ||
        plan.used() > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) /
                          sizeof(double)) {
        return nullptr;
    }
    double* block = allocate(plan.used());
    if (block == nullptr) return nullptr;
    driver::Arena arena(block);
    carve_workspace(arena, r, sweep_doubles);
    return block;
}

void prepare(driver::Run& r) {
    const std::int64_t L = r.d.L, J = r.d.J, N = r.d.N;
    for (std::int64_t j = 0; j + 1 < J; ++j) r.spare[j] = 0.0;
    for (std::int64_t j = 0; j < J; ++j) {
        r.precsum[j] = static_cast<double>(r.nrow);
        r.vshape[j] = 2.0;
        r.vrate[j] = 2.0;
    }
    r.pshape = 2.0;
    r.prate = 2.0;
    for (std::int64_t g = 0; g < L; ++g) {
        for (std::int64_t j = 0; j < J; ++j) {
            r.gmean[g + j * L] = 0.0;
            r.gvar[g + j * L] = 1.0;
        }
        r.pmean[g] = 0.0;
        r.pvar[g] = 1.0;
        for (std::int64_t t = 0; t < N; ++t) r.obs[t] = r.ydata[g + t * L];
        for (std::size_t t = static_cast<std::size_t>(N); t < r.obs_size; ++t) {
            r.obs[t] = std::numeric_limits<double>::quiet_NaN();
        }
        for (std::int64_t j = 0; j < J; ++j) {
            r.row_ybar[j] = 0.0;
            r.row_s2[j] = 1.0;
        }
        double pooled_mean = 0.0;
        double pooled_var = 1.0;
        posterior::group_statistics(r.obs, r.ipool, r.ngrp, r.ntot, r.nobs, r.row_ybar,
                                    r.row_s2, &pooled_mean, &pooled_var);
        for (std::int64_t j = 0; j < J; ++j) {
            r.ybar[g + j * L] = r.row_ybar[j];
            r.s2[g + j * L] = r.row_s2[j];
        }
        r.ybar0[g] = pooled_mean;
        r.s20[g] = pooled_var;
    }
    double sum = 0.0;
    for (std::int64_t j = 0; j < J; ++j) sum = sum + r.vrate[j];
    r.ratesum = sum;
    r.pprecsum = static_cast<double>(r.nrow);
}

void summarise(driver::Run& r, const driver::Outputs& out) {
    const std::int64_t L = r.d.L, J = r.d.J, K = r.d.K, D = r.d.D;
    const std::int64_t M = J >= 1 ? J - 1 : 0;  // number of mean contrasts
    const std::int64_t LJ = L * J;
    const double Kd = static_cast<double>(K);
    const double Km1 = static_cast<double>(K - 1);
    const std::int32_t order_m = static_cast<std::int32_t>(M);
    const std::int32_t order_d = static_cast<std::int32_t>(D);
    const std::int64_t ncross = D >= 1 ? D * (D - 1) / 2 : 0;

    // Mean of component a of u, once the contrast sums hold means.
    auto umean = [&](std::int64_t a) { return a < M ? r.sum_d[a] : r.sum_c[a - M]; };

    for (std::int64_t g = 0; g < L; ++g) {
        // 1. Clear the accumulators.
        for (std::int64_t j = 0; j < J; ++j) {
            r.sum_gmean[j] = 0.0;
            r.sum_gvar[j] = 0.0;
        }
        double sum_pmean = 0.0, sum_pvar = 0.0;
        for (std::int64_t i = 0; i < M; ++i) {
            r.sum_d[i] = 0.0;
            r.sum_d2[i] = 0.0;
            r.sum_c[i] = 0.0;
            r.sum_c2[i] = 0.0;
        }
        for (std::int64_t p = 0; p < ncross; ++p) r.cross[p] = 0.0;

        // 2. First pass: sums, contrasts, cross sums.
        for (std::int64_t k = 0; k < K; ++k) {
            const double* m = r.gmeandraw + g + k * LJ;  // m[j * L] = m_{j+1}
            const double* v = r.gvardraw + g + k * LJ;
            for (std::int64_t j = 0; j < J; ++j) {
                r.sum_gmean[j] = r.sum_gmean[j] + m[j * L];
                r.sum_gvar[j] = r.sum_gvar[j] + v[j * L];
            }
            sum_pmean = sum_pmean + r.pmeandraw[g + k * L];
            sum_pvar = sum_pvar + r.pvardraw[g + k * L];
            if (J >= 2) {
                const double r1 = pmath::pow(v[0], kThird);
                for (std::int64_t i = 0; i < M; ++i) {
                    const double d = m[(i + 1) * L] - m[0];
                    const double c = pmath::pow(v[(i + 1) * L], kThird) - r1;
                    r.mdiff[k + i * K] = d;
                    r.vdiff[k + i * K] = c;
                    r.sum_d[i] = r.sum_d[i] + d;
                    r.sum_d2[i] = r.sum_d2[i] + d * d;
                    r.sum_c[i] = r.sum_c[i] + c;
                    r.sum_c2[i] = r.sum_c2[i] + c * c;
                    r.u[i] = d;
                    r.u[M + i] = c;
                }
                std::int64_t p = 0;
                for (std::int64_t a = 0; a + 1 < D; ++a) {
                    for (std::int64_t b = a + 1; b < D; ++b, ++p) {
                        r.cross[p] = r.cross[p] + r.u[a] * r.u[b];
                    }
                }
            }
        }

        // 3. Means.
        for (std::int64_t j = 0; j < J; ++j) {
            r.sum_gmean[j] = r.sum_gmean[j] / Kd;
            r.sum_gvar[j] = r.sum_gvar[j] / Kd;
        }
        const double mean_pmean = sum_pmean / Kd;
        const double mean_pvar = sum_pvar / Kd;
        for (std::int64_t i = 0; i < M; ++i) {
            r.sum_d[i] = r.sum_d[i] / Kd;
            r.sum_c[i] = r.sum_c[i] / Kd;
        }

        // 4. Covariance of u, divisor K - 1: K*mean^2 is K*(mean*mean) and
        // K*mean_a*mean_b is (K*mean_a)*mean_b.
        for (std::int64_t i = 0; i < M; ++i) {
            const double md = r.sum_d[i], mc = r.sum_c[i];
            r.dcov[i + i * D] = (r.sum_d2[i] - Kd * (md * md)) / Km1;
            r.dcov[(M + i) + (M + i) * D] = (r.sum_c2[i] - Kd * (mc * mc)) / Km1;
        }
        {
            std::int64_t p = 0;
            for (std::int64_t a = 0; a + 1 < D; ++a) {
                for (std::int64_t b = a + 1; b < D; ++b, ++p) {
                    const double cov = (r.cross[p] - (Kd * umean(a)) * umean(b)) / Km1;
                    r.dcov[a + b * D] = cov;
                    r.dcov[b + a * D] = cov;
                }
            }
        }

        // 5.-6. The leading block for the means alone; both inverses.
        for (std::int64_t l = 0; l < M; ++l) {
            for (std::int64_t i = 0; i < M; ++i) r.mcov[i + l * M] = r.dcov[i + l * D];
        }
        posterior::invert(r.mcov, r.mcovinv, order_m, r.inverse_scratch);
        posterior::invert(r.dcov, r.dcovinv, order_d, r.inverse_scratch);

        // 7. Second pass: the quadratic forms, each term (A(i,l)*x_i)*x_l in
        // one running sum, i outer.  Strict comparisons: NaN is no hit.
        std::int64_t count1 = 0, count2 = 0;
        for (std::int64_t k = 0; k < K; ++k) {
            bool hit1 = false, hit2 = false;
            for (std::int64_t i = 0; i < M; ++i) {
                r.u[i] = r.mdiff[k + i * K];
                r.u[M + i] = r.vdiff[k + i * K];
            }
            if (J >= 2) {
                double q1 = 0.0;
                for (std::int64_t i = 0; i < M; ++i) {
                    for (std::int64_t l = 0; l < M; ++l) {
                        q1 = q1 + (r.mcovinv[i + l * M] * r.u[i]) * r.u[l];
                    }
                }
                if (q1 > 6.0) hit1 = true;
            }
            if (D >= 1) {
                double q2 = 0.0;
                for (std::int64_t a = 0; a < D; ++a) {
                    for (std::int64_t b = 0; b < D; ++b) {
                        q2 = q2 + (r.dcovinv[a + b * D] * r.u[a]) * r.u[b];
                    }
                }
                if (q2 > 9.0) hit2 = true;
            }
            if (hit1) ++count1;
            if (hit2) ++count2;
        }

        // 8. The frequencies (0/0 = NaN when K = 0).  With a single kept draw
        // the covariance divisor is 0 and the tests carry no information:
        // both are NaN rather than a count that could pass for a result.
        double p1 = static_cast<double>(count1) / Kd;
        double p2 = static_cast<double>(count2) / Kd;
        if (K == 1) {
            p1 = kNaN;
            p2 = kNaN;
        }

        // 9. Outputs.  prob columns 3..J-1 (J >= 4) have no statistic: NaN.
        for (std::int64_t j = 0; j < J; ++j) {
            out.gmeanbar[g + j * L] = r.sum_gmean[j];
            out.gvarbar[g + j * L] = r.sum_gvar[j];
        }
        out.pmeanbar[g] = mean_pmean;
        out.pvarbar[g] = mean_pvar;
        if (J >= 2) out.prob[g] = p1;
        if (J >= 3) out.prob[g + L] = p2;
        for (std::int64_t j = 2; j + 1 < J; ++j) out.prob[g + j * L] = kNaN;
        if (out.pjoint != nullptr) out.pjoint[g] = J >= 2 ? p2 : kNaN;
    }
}

}  // namespace kestrum::reference
