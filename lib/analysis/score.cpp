// The evidence scores of the rows from running sums of their contrasts.
#include "analysis/score.h"

#include <cmath>
#include <limits>

#include "common/pmath.h"

namespace kestrum::analysis {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t contrasts_of(std::int32_t J) {
    return J >= 2 && J <= kMaxScoreGroups ? 2 * static_cast<std::size_t>(J - 1) : 0;
}
}  // namespace

std::size_t contrast_moment_stride(std::int32_t J) {
    const std::size_t D = contrasts_of(J);
    return D == 0 ? 0 : 2 * D + D * (D + 1) / 2;
}

void add_contrast_moments(double* sums, const double* gmean, const double* gvar, std::int32_t J,
                          bool first) {
    const std::size_t D = contrasts_of(J);
    if (D == 0) return;
    const std::size_t H = D / 2;
    double u[2 * (kMaxScoreGroups - 1)];
    // Cube roots as the sampler's joint test takes them: the portable,
    // correctly rounded x^(1/3), the same bits on every build.
    const double r1 = pmath::pow(gvar[0], 1.0 / 3.0);
    for (std::size_t i = 0; i < H; ++i) {
        u[i] = gmean[i + 1] - gmean[0];
        u[H + i] = pmath::pow(gvar[i + 1], 1.0 / 3.0) - r1;
    }
    add_contrast_draw(sums, u, J, first);
}

void add_contrast_draw(double* sums, const double* u, std::int32_t J, bool first) {
    const std::size_t D = contrasts_of(J);
    if (D == 0) return;
    double* const shift = sums;
    double* const sum = sums + D;
    double* prod = sums + 2 * D;
    if (first)
        for (std::size_t a = 0; a < D; ++a) shift[a] = u[a];
    double x[2 * (kMaxScoreGroups - 1)];  // u - shift
    for (std::size_t a = 0; a < D; ++a) x[a] = u[a] - shift[a];
    for (std::size_t a = 0; a < D; ++a) {
        sum[a] += x[a];
        for (std::size_t b = a; b < D; ++b) *prod++ += x[a] * x[b];
    }
}

double inverse_form(const double* S, std::size_t n0, const double* m, std::size_t n, double* chol,
                    double* y) {
    // S = R'R with R upper triangular (row-major in chol); then
    // m' S^-1 m = |y|^2 with R'y = m.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) {
            double x = S[i * n0 + j];
            for (std::size_t k = 0; k < i; ++k) x -= chol[k * n + i] * chol[k * n + j];
            if (i == j) {
                if (!(x > 0.0) || !std::isfinite(x)) return kNaN;
                chol[i * n + i] = std::sqrt(x);
            } else {
                chol[i * n + j] = x / chol[i * n + i];
            }
        }
    }
    double q = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double x = m[i];
        for (std::size_t k = 0; k < i; ++k) x -= chol[k * n + i] * y[k];
        y[i] = x / chol[i * n + i];
        q += y[i] * y[i];
    }
    return std::isfinite(q) ? q : kNaN;
}

void contrast_scores(const std::vector<const double*>& moments, std::size_t L, std::int32_t J,
                     std::int64_t K, double* score_mean, double* score_joint, ScoreScratch& w,
                     const double* v, const std::int32_t* nobs) {
    const std::size_t D = contrasts_of(J), C = moments.size(), stride = contrast_moment_stride(J);
    const double Kd = static_cast<double>(K), n = Kd * static_cast<double>(C);
    if (D == 0 || C == 0 || !(n >= 2.0)) {
        for (std::size_t g = 0; g < L; ++g) score_mean[g] = score_joint[g] = kNaN;
        return;
    }
    w.mean.resize(D * (C + 1));
    w.scatter.resize(D * D);
    w.chol.resize(D * D);
    w.solve.resize(D);
    const std::size_t H = D / 2;  // mean contrasts
    if (v != nullptr) w.metric.resize(H * H);
    double* const m = w.mean.data() + D * C;  // pooled mean; chain c's at w.mean[c*D]
    double* const S = w.scatter.data();
    for (std::size_t g = 0; g < L; ++g) {
        for (std::size_t a = 0; a < D; ++a) {
            m[a] = 0.0;
            for (std::size_t b = 0; b < D; ++b) S[a * D + b] = 0.0;
        }
        // Each chain's mean and scatter about its own mean; then the
        // spread of the chain means about the pooled one.
        for (std::size_t c = 0; c < C; ++c) {
            const double* s = moments[c] + g * stride;
            const double* prod = s + 2 * D;
            double* mc = w.mean.data() + c * D;
            for (std::size_t a = 0; a < D; ++a) mc[a] = s[D + a] / Kd;  // mean of u - shift
            for (std::size_t a = 0; a < D; ++a)
                for (std::size_t b = a; b < D; ++b) S[a * D + b] += *prod++ - Kd * mc[a] * mc[b];
            for (std::size_t a = 0; a < D; ++a) {
                mc[a] += s[a];
                m[a] += mc[a];
            }
        }
        for (std::size_t a = 0; a < D; ++a) m[a] /= static_cast<double>(C);
        for (std::size_t c = 0; c < C; ++c) {
            const double* mc = w.mean.data() + c * D;
            for (std::size_t a = 0; a < D; ++a)
                for (std::size_t b = a; b < D; ++b) S[a * D + b] += Kd * (mc[a] - m[a]) * (mc[b] - m[b]);
        }
        for (std::size_t a = 0; a < D; ++a)
            for (std::size_t b = a; b < D; ++b) {
                S[a * D + b] /= n - 1.0;
                S[b * D + a] = S[a * D + b];
            }
        score_joint[g] = inverse_form(S, D, m, D, w.chol.data(), w.solve.data());
        if (v == nullptr) {
            score_mean[g] = inverse_form(S, D, m, H, w.chol.data(), w.solve.data());
            continue;
        }
        const double* vg = v + g * static_cast<std::size_t>(J);
        const double first = vg[0] / static_cast<double>(nobs[0]);
        double* V = w.metric.data();
        for (std::size_t a = 0; a < H; ++a)
            for (std::size_t b = 0; b < H; ++b)
                V[a * H + b] = a == b ? first + vg[a + 1] / static_cast<double>(nobs[a + 1]) : first;
        score_mean[g] = inverse_form(V, H, m, H, w.chol.data(), w.solve.data());
    }
}

}  // namespace kestrum::analysis
