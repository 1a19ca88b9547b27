// The engine's workspace, the per-row bookkeeping of the kept draws and the
// summaries computed from it (see engine.h).  Every sum is formed in the
// order of the plain reference summaries (tests/support): over the kept
// draws in k order, each in its own accumulator from 0.0, so the results
// are the same to the bit.
#include "driver/engine.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "common/pmath.h"
#include "posterior/inverse.h"
#include "posterior/inverse_small.h"
#include "posterior/statistics.h"

namespace kestrum::driver {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Accumulators of one row, at offsets from its start.
struct AccLayout {
    std::int64_t J, M;
    std::int64_t gmean() const { return 0; }
    std::int64_t gvar() const { return J; }
    std::int64_t pmean() const { return 2 * J; }
    std::int64_t pvar() const { return 2 * J + 1; }
    std::int64_t d() const { return 2 * J + 2; }
    std::int64_t d2() const { return 2 * J + 2 + M; }
    std::int64_t c() const { return 2 * J + 2 + 2 * M; }
    std::int64_t c2() const { return 2 * J + 2 + 3 * M; }
    std::int64_t cross() const { return 2 * J + 2 + 4 * M; }
};

// a*b + c in size_t, false when it does not fit.
bool size_of(std::size_t a, std::size_t b, std::size_t c, std::size_t* out) {
    std::size_t ab;
    return checked_mul(a, b, &ab) && checked_add(ab, c, out);
}

// Adds the two quadratic forms of one draw's u to the row's hit counts.
void count_forms(const double* inv, std::int64_t M, std::int64_t D, const double* u,
                 double* counts) {
    const double* mcovinv = inv;
    const double* dcovinv = inv + M * M;
    if (M >= 1) {  // J >= 2
        double q1 = 0.0;
        for (std::int64_t i = 0; i < M; ++i) {
            for (std::int64_t l = 0; l < M; ++l) q1 = q1 + (mcovinv[i + l * M] * u[i]) * u[l];
        }
        if (q1 > 6.0) counts[0] = counts[0] + 1.0;
    }
    if (D >= 1) {
        double q2 = 0.0;
        for (std::int64_t a = 0; a < D; ++a) {
            for (std::int64_t b = 0; b < D; ++b) q2 = q2 + (dcovinv[a + b * D] * u[a]) * u[b];
        }
        if (q2 > 9.0) counts[1] = counts[1] + 1.0;
    }
}

}  // namespace

RowScratch row_scratch(const Run& r, const Bounded& b, int thread) {
    const std::int64_t J = r.d.J;
    double* p = b.thread_scratch + static_cast<std::size_t>(thread) * b.per_thread;
    RowScratch rs;
    rs.ybar = p;
    rs.s2 = p + J;
    rs.gmean = p + 2 * J;
    rs.gvar = p + 3 * J;
    rs.u = p + 4 * J;
    rs.old = p + 4 * J + b.lanes * r.d.D;
    rs.sweep = p + 5 * J + b.lanes * r.d.D + 1;
    return rs;
}

void carve_engine(Arena& a, Run& r, Bounded& b) {
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
    // One row of observations, only when there are rows; groups whose
    // counts run past N read NaN without a buffer of that length.
    r.obs_size = L >= 1 ? N : 0;
    r.obs = a.take(r.obs_size);

    // Per-row accumulators and inverses.  D(D - 1)/2 as (D/2)(D - 1), D even.
    std::size_t ncross = 0, acc = 0, inv = 0;
    const bool sizes_fit = checked_mul(D / 2, D >= 1 ? D - 1 : 0, &ncross) &&
                           size_of(4, M, 2 * J + 2, &acc) && checked_add(acc, ncross, &acc) &&
                           size_of(M, M, 0, &inv) && size_of(D, D, inv, &inv);
    if (!sizes_fit) {
        a.fail();
        return;
    }
    b.M = static_cast<std::int64_t>(M);
    b.ncross = static_cast<std::int64_t>(ncross);
    b.A = static_cast<std::int64_t>(acc);
    b.Q = static_cast<std::int64_t>(inv);
    b.acc = a.take(L, acc);
    b.inv = a.take(L, inv);
    b.counts = a.take(L, 2);
    r.dcov = a.take(D, D);
    r.mcov = a.take(M, M);
    if (r.d.D > std::numeric_limits<std::int32_t>::max()) {
        a.fail();
        return;
    }
    r.inverse_scratch = a.take(posterior::inverse_scratch_size(static_cast<std::int32_t>(D)));

    if (b.mode == SecondPass::stores) b.store = a.take(K, L, D);
    if (b.mode == SecondPass::replay) {
        b.cp_gmean = a.take(L, J);
        b.cp_gvar = a.take(L, J);
        b.cp_pmean = a.take(L);
        b.cp_pvar = a.take(L);
        b.cp_vrate = a.take(J);
        b.cp_precsum = a.take(J);
    }

    std::size_t per = 0;
    if (!size_of(5, J, 1, &per) || !size_of(static_cast<std::size_t>(b.lanes), D, per, &per) ||
        !checked_add(per, b.sweep_doubles, &per)) {
        a.fail();
        return;
    }
    b.per_thread = per;
    b.thread_scratch = a.take(static_cast<std::size_t>(b.threads), per);

    if (b.threads > 1) {
        b.rold = a.take(L, J + 1);
        b.rnew = a.take(L, J + 1);
        const std::size_t G = J + (r.ipool == 1 ? 1 : 0);
        std::size_t head = 0, slot = 0;
        if (!size_of(40, J, 1, &head) || !size_of(L, 4 * G, head, &slot)) {
            a.fail();
            return;
        }
        b.G = static_cast<std::int64_t>(G);
        b.head = static_cast<std::int64_t>(head);
        b.row_stride = static_cast<std::int64_t>(4 * G);
        b.slot = static_cast<std::int64_t>(slot);
        b.feed = a.take(2, slot);
    }
}

double* obtain_engine_workspace(Run& r, Bounded& b, Allocate allocate) {
    Arena plan;
    carve_engine(plan, r, b);
    if (plan.overflowed() ||
        plan.used() > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) /
                          sizeof(double)) {
        return nullptr;
    }
    double* block = allocate(plan.used());
    if (block == nullptr) return nullptr;
    Arena arena(block);
    carve_engine(arena, r, b);
    return block;
}

void prepare_engine(Run& r, Bounded& b) {
    const std::int64_t L = r.d.L, J = r.d.J, N = r.d.N;
    for (std::int64_t j = 0; j + 1 < J; ++j) r.spare[j] = 0.0;
    for (std::int64_t j = 0; j < J; ++j) {
        r.precsum[j] = static_cast<double>(r.nrow);
        r.vshape[j] = 2.0;
        r.vrate[j] = 2.0;
    }
    r.pshape = 2.0;
    r.prate = 2.0;
    const RowScratch rs = row_scratch(r, b, 0);
    for (std::int64_t g = 0; g < L; ++g) {
        for (std::int64_t j = 0; j < J; ++j) {
            r.gmean[g + j * L] = 0.0;
            r.gvar[g + j * L] = 1.0;
        }
        r.pmean[g] = 0.0;
        r.pvar[g] = 1.0;
        for (std::int64_t t = 0; t < N; ++t) r.obs[t] = r.ydata[g + t * L];
        for (std::int64_t j = 0; j < J; ++j) {
            rs.ybar[j] = 0.0;
            rs.s2[j] = 1.0;
        }
        double pooled_mean = 0.0;
        double pooled_var = 1.0;
        posterior::group_statistics(r.obs, N, r.ipool, r.ngrp, r.ntot, r.nobs, rs.ybar, rs.s2,
                                    &pooled_mean, &pooled_var);
        for (std::int64_t j = 0; j < J; ++j) {
            r.ybar[g + j * L] = rs.ybar[j];
            r.s2[g + j * L] = rs.s2[j];
        }
        r.ybar0[g] = pooled_mean;
        r.s20[g] = pooled_var;
    }
    double sum = 0.0;
    for (std::int64_t j = 0; j < J; ++j) sum = sum + r.vrate[j];
    r.ratesum = sum;
    r.pprecsum = static_cast<double>(r.nrow);
    for (std::int64_t t = 0; t < L * b.A; ++t) b.acc[t] = 0.0;
    for (std::int64_t t = 0; t < 2 * L; ++t) b.counts[t] = 0.0;
}

void apply_start(Run& r, const StartState& start) {
    const std::int64_t L = r.d.L, J = r.d.J;
    for (std::int64_t j = 0; j < J; ++j) {
        double prec = 0.0;
        for (std::int64_t g = 0; g < L; ++g) {
            const std::int64_t at = g + j * L;
            r.gmean[at] = start.gmean[at];
            r.gvar[at] = start.gvar[at];
            prec = prec + 1.0 / r.gvar[at];
        }
        r.precsum[j] = prec;
        r.vrate[j] = start.vrate[j];
    }
    double sum = 0.0;
    for (std::int64_t j = 0; j < J; ++j) sum = sum + r.vrate[j];
    r.ratesum = sum;
    if (r.ipool == 1) {
        double prec = 0.0;
        for (std::int64_t g = 0; g < L; ++g) {
            r.pmean[g] = start.pmean[g];
            r.pvar[g] = start.pvar[g];
            prec = prec + 1.0 / r.pvar[g];
        }
        r.pprecsum = prec;
    }
}

void keep_row(const Run& r, Bounded& b, std::int64_t g, std::int64_t k, bool replay_pass,
              double* u, const double* roots, std::int64_t rstride) {
    const std::int64_t L = r.d.L, J = r.d.J, D = r.d.D, M = b.M;
    const AccLayout at{J, M};
    double* a = b.acc + g * b.A;
    const double* m = r.gmean + g;  // m[j * L]
    const double* v = r.gvar + g;
    if (!replay_pass) {
        for (std::int64_t j = 0; j < J; ++j) {
            a[at.gmean() + j] = a[at.gmean() + j] + m[j * L];
            a[at.gvar() + j] = a[at.gvar() + j] + v[j * L];
        }
        a[at.pmean()] = a[at.pmean()] + r.pmean[g];
        a[at.pvar()] = a[at.pvar()] + r.pvar[g];
    }
    if (J < 2) return;
    // The J cube roots: given, or taken in pairs into u[M - 1 .. 2M - 1]
    // (J = M + 1 slots; u[M - 1] gets its mean difference below).
    const double* cr = roots;
    std::int64_t cs = rstride;
    if (cr == nullptr) {
        pmath::pow_third_n(v, L, static_cast<int>(J), u + M - 1);
        cr = u + M - 1;
        cs = 1;
    }
    const double r1 = cr[0];
    for (std::int64_t i = 0; i < M; ++i) u[M + i] = cr[(i + 1) * cs] - r1;
    for (std::int64_t i = 0; i < M; ++i) u[i] = m[(i + 1) * L] - m[0];
    if (replay_pass) {
        count_forms(b.inv + g * b.Q, M, D, u, b.counts + 2 * g);
        return;
    }
    for (std::int64_t i = 0; i < M; ++i) {
        const double d = u[i], c = u[M + i];
        a[at.d() + i] = a[at.d() + i] + d;
        a[at.d2() + i] = a[at.d2() + i] + d * d;
        a[at.c() + i] = a[at.c() + i] + c;
        a[at.c2() + i] = a[at.c2() + i] + c * c;
    }
    double* cross = a + at.cross();
    std::int64_t p = 0;
    for (std::int64_t x = 0; x + 1 < D; ++x) {
        for (std::int64_t y = x + 1; y < D; ++y, ++p) cross[p] = cross[p] + u[x] * u[y];
    }
    if (b.mode == SecondPass::stores) {
        double* s = b.store + (k * L + g) * D;
        for (std::int64_t x = 0; x < D; ++x) s[x] = u[x];
    }
}

void finish_first_visit(Run& r, Bounded& b) {
    const std::int64_t L = r.d.L, J = r.d.J, K = r.d.K, D = r.d.D, M = b.M;
    const AccLayout at{J, M};
    const double Kd = static_cast<double>(K);
    const double Km1 = static_cast<double>(K - 1);
    for (std::int64_t g = 0; g < L; ++g) {
        double* a = b.acc + g * b.A;
        for (std::int64_t j = 0; j < J; ++j) {
            a[at.gmean() + j] = a[at.gmean() + j] / Kd;
            a[at.gvar() + j] = a[at.gvar() + j] / Kd;
        }
        a[at.pmean()] = a[at.pmean()] / Kd;
        a[at.pvar()] = a[at.pvar()] / Kd;
        for (std::int64_t i = 0; i < M; ++i) {
            a[at.d() + i] = a[at.d() + i] / Kd;
            a[at.c() + i] = a[at.c() + i] / Kd;
        }
        auto umean = [&](std::int64_t x) { return x < M ? a[at.d() + x] : a[at.c() + x - M]; };
        for (std::int64_t i = 0; i < M; ++i) {
            const double md = a[at.d() + i], mc = a[at.c() + i];
            r.dcov[i + i * D] = (a[at.d2() + i] - Kd * (md * md)) / Km1;
            r.dcov[(M + i) + (M + i) * D] = (a[at.c2() + i] - Kd * (mc * mc)) / Km1;
        }
        const double* cross = a + at.cross();
        std::int64_t p = 0;
        for (std::int64_t x = 0; x + 1 < D; ++x) {
            for (std::int64_t y = x + 1; y < D; ++y, ++p) {
                const double cov = (cross[p] - (Kd * umean(x)) * umean(y)) / Km1;
                r.dcov[x + y * D] = cov;
                r.dcov[y + x * D] = cov;
            }
        }
        for (std::int64_t l = 0; l < M; ++l) {
            for (std::int64_t i = 0; i < M; ++i) r.mcov[i + l * M] = r.dcov[i + l * D];
        }
        double* inv = b.inv + g * b.Q;
        posterior::invert_fast(r.mcov, inv, static_cast<std::int32_t>(M), r.inverse_scratch);
        posterior::invert_fast(r.dcov, inv + M * M, static_cast<std::int32_t>(D), r.inverse_scratch);
        b.counts[2 * g] = 0.0;
        b.counts[2 * g + 1] = 0.0;
    }
}

namespace {

// The tests' counts of rows first..last-1 from the stored draws.
void evaluate_store_rows(const Run& r, Bounded& b, std::int64_t first, std::int64_t last) {
    const std::int64_t L = r.d.L, K = r.d.K, D = r.d.D;
    for (std::int64_t k = 0; k < K; ++k) {
        const double* s = b.store + k * L * D;
        for (std::int64_t g = first; g < last; ++g) {
            count_forms(b.inv + g * b.Q, b.M, D, s + g * D, b.counts + 2 * g);
        }
    }
}

}  // namespace

void evaluate_stores(const Run& r, Bounded& b) {
    // Each row's counts are sums over its own draws in draw order, so the
    // rows can be shared out among the threads with the same bits.
    const std::int64_t L = r.d.L;
    const std::int64_t T =  // 16 rows a thread at least
        std::min<std::int64_t>(std::max(b.threads, 1), std::max<std::int64_t>(L / 16, 1));
    std::vector<std::thread> helpers;
    std::int64_t first = 0;
    for (std::int64_t t = 1; t < T; ++t) {
        const std::int64_t last = L * t / T;
        try {
            helpers.emplace_back([&r, &b, first, last] { evaluate_store_rows(r, b, first, last); });
        } catch (...) {
            break;  // a thread that cannot start leaves its rows to this one
        }
        first = last;
    }
    evaluate_store_rows(r, b, first, L);
    for (auto& h : helpers) h.join();
}

void write_outputs(const Run& r, const Bounded& b, const Outputs& out) {
    const std::int64_t L = r.d.L, J = r.d.J, K = r.d.K;
    const AccLayout at{J, b.M};
    const double Kd = static_cast<double>(K);
    for (std::int64_t g = 0; g < L; ++g) {
        const double* a = b.acc + g * b.A;
        // 0/0 = NaN when K = 0; with one kept draw the covariance divisor is
        // 0 and both frequencies are NaN.
        double p1 = b.counts[2 * g] / Kd;
        double p2 = b.counts[2 * g + 1] / Kd;
        if (K == 1) {
            p1 = kNaN;
            p2 = kNaN;
        }
        for (std::int64_t j = 0; j < J; ++j) {
            out.gmeanbar[g + j * L] = a[at.gmean() + j];
            out.gvarbar[g + j * L] = a[at.gvar() + j];
        }
        out.pmeanbar[g] = a[at.pmean()];
        out.pvarbar[g] = a[at.pvar()];
        if (J >= 2) out.prob[g] = p1;
        if (J >= 3) out.prob[g + L] = p2;
        for (std::int64_t j = 2; j + 1 < J; ++j) out.prob[g + j * L] = kNaN;
        if (out.pjoint != nullptr) out.pjoint[g] = J >= 2 ? p2 : kNaN;
    }
}

posterior::SweepShared sweep_shared(const Run& r) {
    posterior::SweepShared sh;
    sh.ngrp = r.ngrp;
    sh.ipool = r.ipool;
    sh.ntot = r.ntot;
    sh.nobs = r.nobs;
    sh.vshape = r.vshape;
    sh.vrate = r.vrate;
    sh.pshape = r.pshape;
    sh.prate = r.prate;
    sh.effvar = r.effvar;
    sh.mvar = r.mvar;
    return sh;
}

void row_before(const Run& r, std::int64_t g, double* old) {
    const std::int64_t L = r.d.L, J = r.d.J;
    for (std::int64_t j = 0; j < J; ++j) old[j] = 1.0 / r.gvar[g + j * L];
    old[J] = 1.0 / r.pvar[g];
}

void row_after(Run& r, Bounded& b, std::int64_t g, const double* old, bool threaded,
               std::int64_t k, bool replay_pass, double* u, const double* roots,
               std::int64_t rstride) {
    const std::int64_t L = r.d.L, J = r.d.J;
    if (threaded) {
        double* const rnew = b.rnew + g * (J + 1);
        for (std::int64_t j = 0; j < J; ++j) rnew[j] = 1.0 / r.gvar[g + j * L];
        rnew[J] = 1.0 / r.pvar[g];
    } else {
        for (std::int64_t j = 0; j < J; ++j) r.precsum[j] = r.precsum[j] - old[j];
        const double rest = r.pprecsum - old[J];
        for (std::int64_t j = 0; j < J; ++j) r.precsum[j] = r.precsum[j] + 1.0 / r.gvar[g + j * L];
        r.pprecsum = rest + 1.0 / r.pvar[g];
    }
    if (k >= 0) keep_row(r, b, g, k, replay_pass, u, roots, rstride);
}

void sweep_lane_group(Run& r, Bounded& b, const posterior::SweepShared& sh, const RowScratch& rs,
                      std::int64_t g, int width, const double* gam, const double* z,
                      bool threaded, std::int64_t k, bool replay_pass) {
    const std::int64_t L = r.d.L, R = r.d.J + 1;
    // Every lane's old reciprocals before any lane is swept (with threads
    // straight into rold; on one thread here, J <= 7).
    double own[posterior::kMaxRowLanes * (posterior::kMaxLaneVariates + 1)];
    for (int l = 0; l < width; ++l) {
        row_before(r, g + l, threaded ? row_old(r, b, rs, g + l, true) : own + l * R);
    }
    posterior::LaneRows rows;
    rows.ld = L;
    rows.ybar = r.ybar + g;
    rows.s2 = r.s2 + g;
    rows.gmean = r.gmean + g;
    rows.gvar = r.gvar + g;
    rows.ybar0 = r.ybar0 + g;
    rows.s20 = r.s20 + g;
    rows.pmean = r.pmean + g;
    rows.pvar = r.pvar + g;
    rows.gam = gam;
    rows.z = z;
    posterior::row_sweep_lanes(sh, rows, width, {rs.ybar, rs.sweep});
    // In a kept iteration the cube roots of every lane's variances at once,
    // group by group (the lanes' variances of a group lie side by side), so
    // that their computations overlap.
    double roots[posterior::kMaxRowLanes * posterior::kMaxLaneVariates];
    const bool with_roots = k >= 0 && r.d.J >= 2 && r.d.J <= posterior::kMaxLaneVariates;
    if (with_roots) {
        for (std::int64_t j = 0; j < r.d.J; ++j)
            pmath::pow_third_n(r.gvar + g + j * L, 1, width, roots + j * width);
    }
    for (int l = 0; l < width; ++l) {
        const double* old = threaded ? row_old(r, b, rs, g + l, true) : own + l * R;
        row_after(r, b, g + l, old, threaded, k, replay_pass, rs.u + l * r.d.D,
                  with_roots ? roots + l : nullptr, width);
    }
}

namespace {

// The sampler's state that a replay restarts from (row states, rates and
// running sums), copied from the run into the checkpoint or back.
void copy_state(Run& r, Bounded& b, bool to_checkpoint) {
    auto copy = [to_checkpoint](double* live, double* kept, std::int64_t n) {
        double* dst = to_checkpoint ? kept : live;
        const double* src = to_checkpoint ? live : kept;
        for (std::int64_t t = 0; t < n; ++t) dst[t] = src[t];
    };
    const std::int64_t L = r.d.L, J = r.d.J;
    copy(r.gmean, b.cp_gmean, L * J);
    copy(r.gvar, b.cp_gvar, L * J);
    copy(r.pmean, b.cp_pmean, L);
    copy(r.pvar, b.cp_pvar, L);
    copy(r.vrate, b.cp_vrate, J);
    copy(r.precsum, b.cp_precsum, J);
    copy(&r.prate, &b.cp_prate, 1);
    copy(&r.pprecsum, &b.cp_pprecsum, 1);
    copy(&r.ratesum, &b.cp_ratesum, 1);
}

}  // namespace

void save_state(Run& r, Bounded& b) { copy_state(r, b, true); }

void restore_state(Run& r, Bounded& b) { copy_state(r, b, false); }

}  // namespace kestrum::driver
