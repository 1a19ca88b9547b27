// Null analyses and the q-values of the evidence scores.
#include "analysis/fdr.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>

#include "analysis/moderate.h"
#include "analysis/rows.h"
#include "analysis/score.h"
#include "analysis/threads.h"
#include "common/pmath.h"
#include "hyper/blocks.h"
#include "random/messages.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace kestrum::analysis {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The key of null analysis p's streams: the low word's top bit set keeps
// it apart from the keys of the chains (seed, c), c < 2^31.
std::uint64_t null_key(std::int32_t seed, std::int32_t p) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(seed)) << 32) ^
           (std::uint64_t{0x80000000u} | static_cast<std::uint32_t>(p));
}

// splitmix64: a counter through an invertible mixing function.
struct Mixer {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform on (0, 1), never 0.
    double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }
};

struct Shared {
    const driver::Arguments* a;
    VariancePrior prior;  // fitted to the observed data, for every null's score
    NullBasis basis;
    std::int32_t seed = 0, P = 0;
    StartMode start = StartMode::data;
    std::size_t budget = 0;
    std::vector<double>* null_mean;
    std::vector<double>* null_joint;
    const ChainProgress* progress;
    std::int64_t offset = 0, total = 0, done = 0;
    Lock lock;
    std::atomic<std::int32_t> next{0};
    std::atomic<std::int32_t> finished{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> memory_failed{false};
    MessageSink sink;  // the calling thread's
};

// Progress of one null analysis, added to the others..
struct OneRun {
    Shared* shared;
    std::int64_t reported = 0;
};

void one_report(void* context, std::int64_t done, std::int64_t /*total*/) {
    auto* r = static_cast<OneRun*>(context);
    Shared& s = *r->shared;
    Hold hold(s.lock);
    s.done += done - r->reported;
    r->reported = done;
    if (s.progress->report != nullptr) s.progress->report(s.progress->context, s.offset + s.done, s.total);
}

bool one_stop(void* context) {
    Shared& s = *static_cast<OneRun*>(context)->shared;
    if (s.stop.load()) return true;
    if (s.progress->stop != nullptr && s.progress->stop(s.progress->context)) s.stop = true;
    return s.stop.load();
}

void run_null(Shared& s, std::int32_t p, std::vector<double>& y, std::vector<double>& z, ScoreScratch& scratch) {
    const driver::Arguments& a = *s.a;
    const std::size_t L = static_cast<std::size_t>(a.nrow);
    const bool joint = null_for_joint(p, s.P);
    null_data(s.basis, L, a.ngrp, a.nobs, s.seed, p, joint, y.data(), z);
    driver::Arguments b = a;
    b.ydata = y.data();
    random::Record record = random::load_time_record();
    random::fill_table_mixed(record, null_key(s.seed, p));
    random::Stream stream{&record};
    hyper::BlockStore blocks;
    ChainSettings cs;
    cs.chains = 1;
    cs.threads = 1;
    cs.engine_threads = 1;
    cs.store_draws = false;
    cs.contrast_moments = true;
    cs.seed = s.seed;
    cs.start = s.start;
    // The start stream keyed as the analysis's sampling stream is (the top
    // bit of the low word set), apart from every observed chain's.
    cs.start_chain = static_cast<std::int32_t>(null_key(s.seed, p) & 0xffffffffu);
    cs.first_stream = &stream;
    cs.first_blocks = blocks.blocks();
    cs.memory_budget = s.budget;
    OneRun run{&s};
    ChainProgress progress{one_report, one_stop, &run};
    ChainsResult res;
    const ChainsStatus st = run_chains(b, cs, res, progress);
    if (st == ChainsStatus::memory || st == ChainsStatus::over_budget) {
        s.memory_failed = true;
        s.stop = true;
    }
    if (st != ChainsStatus::ok) return;
    double* sm = s.null_mean->data() + static_cast<std::size_t>(p) * L;
    double* sj = s.null_joint->data() + static_cast<std::size_t>(p) * L;
    std::vector<double> s2, vmod(L * static_cast<std::size_t>(a.ngrp));
    group_variances(y.data(), L, a.ngrp, a.nobs, s2);
    moderate_variances(s2.data(), L, a.ngrp, a.nobs, s.prior, vmod.data());
    contrast_scores({res.rec[0].moments.data()}, L, a.ngrp, a.nkeep, sm, sj, scratch, vmod.data(), a.nobs);
    // The other test's scores of this analysis are not its null.
    if (s.P > 1) std::fill(joint ? sm : sj, (joint ? sm : sj) + L, kNaN);
    const ChainOutputs& o = res.out[0];
    for (std::size_t g = 0; g < L; ++g)
        if (results_not_finite(o.gmeanbar.data(), o.gvarbar.data(), o.pmeanbar.data(), o.pvarbar.data(), L,
                               static_cast<std::size_t>(a.ngrp), a.ipool == 1, g))
            sm[g] = sj[g] = kNaN;
}

void take_nulls(Shared& s) {
    ScopedMessageSink scope(relaying_sink(s));
    try {
        std::vector<double> y(static_cast<std::size_t>(s.a->nrow) * static_cast<std::size_t>(s.a->ntot));
        std::vector<double> z(static_cast<std::size_t>(s.a->ntot));
        ScoreScratch scratch;
        for (;;) {
            const std::int32_t p = s.next.fetch_add(1);
            if (p >= s.P || s.stop.load()) return;
            run_null(s, p, y, z, scratch);
        }
    } catch (const std::bad_alloc&) {
        s.memory_failed = true;
        s.stop = true;
    }
}

void worker_body(Shared* s) {
    take_nulls(*s);
    s->finished.fetch_add(1);
}

}  // namespace

void null_basis(const double* y, std::size_t L, std::int32_t ngrp, const std::int32_t* nobs, NullBasis& basis) {
    const std::size_t J = ngrp > 0 ? static_cast<std::size_t>(ngrp) : 0;
    std::size_t N = 0;
    for (std::size_t j = 0; j < J; ++j) N += static_cast<std::size_t>(nobs[j]);
    basis.centre.assign(L, 0.0);
    basis.mean_length.assign(L * J, 0.0);
    basis.joint_length.assign(L, 0.0);
    // Per row and group: the mean, the centre (the mean of all values), the
    // squared lengths about the group means.
    const double joint_factor = N > J ? static_cast<double>(N) / static_cast<double>(N - J) : 0.0;
    std::vector<double> m(L);
    std::size_t first = 0;
    for (std::size_t j = 0; j < J; ++j) {
        const std::size_t n = static_cast<std::size_t>(nobs[j]);
        std::fill(m.begin(), m.end(), 0.0);
        for (std::size_t c = first; c < first + n; ++c)
            for (std::size_t g = 0; g < L; ++g) m[g] += y[g + c * L];
        for (std::size_t g = 0; g < L; ++g) {
            m[g] /= static_cast<double>(n);
            basis.centre[g] += m[g] * static_cast<double>(n) / static_cast<double>(N);
        }
        double* v = basis.mean_length.data() + j * L;  // the sample variances, for now
        for (std::size_t c = first; c < first + n; ++c)
            for (std::size_t g = 0; g < L; ++g) {
                const double e = y[g + c * L] - m[g];
                v[g] += e * e;
                basis.joint_length[g] += joint_factor * e * e;
            }
        if (n > 1)
            for (std::size_t g = 0; g < L; ++g) v[g] /= static_cast<double>(n - 1);
        first += n;
    }
    // The shrinkage of each group's log-variance towards the row's pooled
    // level; the variances scaled to keep the row's pooled variance.
    // Per group: the sampling variance of a log sample variance, T_j =
    // trigamma((n_j - 1) / 2), the scatter a random direction adds to it,
    // T_j - trigamma(n_j / 2), and the bias of log s^2 as an estimate of
    // log sigma^2.
    std::vector<double> sampling(J, 0.0), added(J, 0.0), bias(J, 0.0);
    std::size_t groups = 0;
    for (std::size_t j = 0; j < J; ++j) {
        const double n = nobs[j];
        if (n < 2.0) continue;
        ++groups;
        sampling[j] = trigamma(0.5 * (n - 1.0));
        added[j] = sampling[j] - trigamma(0.5 * n);
        bias[j] = digamma(0.5 * (n - 1.0)) - pmath::log(0.5 * (n - 1.0));
    }
    std::vector<double> w(J, 0.0), logv(J, 0.0);  // the row's log variances
    for (std::size_t g = 0; g < L; ++g) {
        double dof = 0.0, level = 0.0, pooled = 0.0;
        bool usable = true;
        for (std::size_t j = 0; j < J; ++j) {
            const double v = basis.mean_length[g + j * L], n = nobs[j];
            if (n < 2.0) continue;
            usable = usable && v > 0.0 && std::isfinite(v);
            dof += n - 1.0;
            logv[j] = pmath::log(v);
            level += (n - 1.0) * logv[j];
            pooled += (n - 1.0) * v;
        }
        if (usable && dof > 0.0) {
            level /= dof;
            // The row's scatter of log variances about their mean, H (an
            // estimate of T_j plus the true scatter), sets the shrinkage
            // w_j = sqrt(1 - added_j / max(H, T_j)): the null's scatter,
            // w_j^2 H + added_j, is then H, the data's.  With no more
            // scatter than sampling makes, w_j^2 = trigamma(n_j / 2) / T_j,
            // which two groups always take: their H, on one degree of
            // freedom, exceeds T_j by chance in a third of the rows whose
            // variances are equal (and with equal group sizes a difference
            // of two means has the same null over equal and unequal
            // variances).
            double H = 0.0;
            if (groups >= 3) {
                double fsum = 0.0, f2 = 0.0;
                for (std::size_t j = 0; j < J; ++j) {
                    if (nobs[j] < 2) continue;
                    const double f = logv[j] - bias[j];
                    fsum += f;
                    f2 += f * f;
                }
                const double k = static_cast<double>(groups);
                H = (f2 - fsum * fsum / k) / (k - 1.0);
            }
            for (std::size_t j = 0; j < J; ++j)
                if (nobs[j] >= 2) w[j] = std::sqrt(1.0 - added[j] / std::fmax(H, sampling[j]));
            double shrunk = 0.0;
            for (std::size_t j = 0; j < J; ++j) {
                const double n = nobs[j];
                if (n < 2.0) continue;
                double& v = basis.mean_length[g + j * L];
                v = pmath::exp(level + w[j] * (logv[j] - level));
                shrunk += (n - 1.0) * v;
            }
            for (std::size_t j = 0; j < J; ++j) basis.mean_length[g + j * L] *= pooled / shrunk;
        }
        for (std::size_t j = 0; j < J; ++j)
            basis.mean_length[g + j * L] = std::sqrt(static_cast<double>(nobs[j]) * basis.mean_length[g + j * L]);
        basis.joint_length[g] = std::sqrt(basis.joint_length[g]);
    }
}

bool null_for_joint(std::int32_t p, std::int32_t P) { return P > 1 && p % 2 == 1; }

void null_data(const NullBasis& basis, std::size_t L, std::int32_t ngrp, const std::int32_t* nobs,
               std::int32_t seed, std::int32_t p, bool joint, double* y, std::vector<double>& z) {
    const std::size_t J = ngrp > 0 ? static_cast<std::size_t>(ngrp) : 0;
    std::size_t N = 0;
    for (std::size_t j = 0; j < J; ++j) N += static_cast<std::size_t>(nobs[j]);
    z.resize(N);
    const std::uint64_t key = null_key(seed, p) * 0x9E6C63D0676A9A99ull;
    for (std::size_t g = 0; g < L; ++g) {
        // Normal draws in pairs (Box-Muller) from the row's own stream.
        Mixer mix{key ^ (static_cast<std::uint64_t>(g) * 0xD1B54A32D192ED03ull)};
        for (std::size_t i = 0; i < N; i += 2) {
            const double u1 = mix.uniform(), u2 = mix.uniform();
            // The portable functions: the same null data on every build.
            const double r = std::sqrt(-2.0 * pmath::log(u1));
            double sn = 0.0, cs = 0.0;
            pmath::sincos(6.283185307179586 * u2, &sn, &cs);
            z[i] = r * cs;
            if (i + 1 < N) z[i + 1] = r * sn;
        }
        const std::size_t parts = joint ? 1 : J;
        std::size_t first = 0;
        for (std::size_t j = 0; j < parts; ++j) {
            const std::size_t n = joint ? N : static_cast<std::size_t>(nobs[j]);
            const double length = joint ? basis.joint_length[g] : basis.mean_length[g + j * L];
            double zz = 0.0;
            for (std::size_t c = first; c < first + n; ++c) zz += z[c] * z[c];
            const double f = length / std::sqrt(zz);
            for (std::size_t c = first; c < first + n; ++c) y[g + c * L] = basis.centre[g] + f * z[c];
            first += n;
        }
    }
}

ChainsStatus null_scores(const driver::Arguments& a, const VariancePrior& prior, std::int32_t seed,
                         std::int32_t permutations, StartMode start, std::int32_t threads,
                         std::size_t memory_budget, std::vector<double>& null_mean,
                         std::vector<double>& null_joint, const ChainProgress& progress, std::int64_t offset,
                         std::int64_t total) {
    const std::size_t L = a.nrow > 0 ? static_cast<std::size_t>(a.nrow) : 0;
    const std::int32_t P = std::max(0, permutations);
    null_mean.assign(static_cast<std::size_t>(P) * L, kNaN);
    null_joint.assign(static_cast<std::size_t>(P) * L, kNaN);
    if (P == 0 || L == 0) return ChainsStatus::ok;
    Shared s;
    s.a = &a;
    s.seed = seed;
    s.P = P;
    s.start = start;
    s.null_mean = &null_mean;
    s.null_joint = &null_joint;
    s.progress = &progress;
    s.offset = offset;
    s.total = total;
    s.sink = current_message_sink();
    s.prior = prior;
    null_basis(a.ydata, L, a.ngrp, a.nobs, s.basis);
    const std::int32_t T = std::max(1, std::min(threads, P));
    s.budget = std::max<std::size_t>(memory_budget / static_cast<std::size_t>(T), std::size_t{1} << 20);
#if KESTRUM_ANALYSIS_THREADS
    std::vector<std::thread> pool;
    try {
        pool.reserve(static_cast<std::size_t>(T - 1));
        for (std::int32_t t = 1; t < T; ++t) pool.emplace_back(worker_body, &s);
    } catch (...) {
        // The threads that did start, and this one, take every analysis.
    }
    take_nulls(s);
    // This thread goes on reporting (and asking whether to stop) until the
    // others are done: a host may listen on this thread alone.
    const auto started = static_cast<std::int32_t>(pool.size());
    while (s.finished.load() < started) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (s.stop.load()) continue;
        Hold hold(s.lock);
        if (progress.report != nullptr) progress.report(progress.context, offset + s.done, total);
        if (progress.stop != nullptr && progress.stop(progress.context)) s.stop = true;
    }
    for (std::thread& t : pool) t.join();
#else
    take_nulls(s);
#endif
    if (s.memory_failed) return ChainsStatus::memory;
    if (s.stop.load() || s.next.load() < P) return ChainsStatus::cancelled;
    return ChainsStatus::ok;
}

std::int32_t auto_permutations(std::size_t rows) {
    constexpr std::size_t kNullScores = 20000, kLeast = 4, kMost = 16;
    if (rows == 0) return static_cast<std::int32_t>(kLeast);
    const std::size_t half = (kNullScores + rows - 1) / rows;  // analyses for each test
    return static_cast<std::int32_t>(std::min(kMost, std::max(kLeast, 2 * half)));
}

void permutation_q_values(const double* score, std::size_t L, const std::vector<double>& null, double* q,
                          double* pi0_out) {
    std::vector<double> sorted_null;
    sorted_null.reserve(null.size());
    for (double x : null)
        if (!std::isnan(x)) sorted_null.push_back(x);
    std::sort(sorted_null.begin(), sorted_null.end());
    std::vector<std::size_t> rows;  // the rows with a score, highest score first
    rows.reserve(L);
    for (std::size_t g = 0; g < L; ++g) {
        q[g] = kNaN;
        if (!std::isnan(score[g])) rows.push_back(g);
    }
    if (pi0_out != nullptr) *pi0_out = kNaN;
    if (sorted_null.empty() || rows.empty()) return;
    std::stable_sort(rows.begin(), rows.end(), [&](std::size_t x, std::size_t y) { return score[x] > score[y]; });
    const double n0 = static_cast<double>(sorted_null.size()), m = static_cast<double>(rows.size());
    // Null tail probability of each row's score, kept in q for now.
    std::size_t above_half = 0;
    for (std::size_t g : rows) {
        const auto at = std::lower_bound(sorted_null.begin(), sorted_null.end(), score[g]);
        const double ge = static_cast<double>(sorted_null.end() - at);
        q[g] = (ge + 1.0) / (n0 + 1.0);
        above_half += q[g] > 0.5 ? 1 : 0;
    }
    // (At least one row counts: an estimate of 0 would call every row at
    // every level.)
    const double pi0 = std::min(1.0, static_cast<double>(std::max<std::size_t>(above_half, 1)) / (0.5 * m));
    if (pi0_out != nullptr) *pi0_out = pi0;
    // From the lowest score up: R is the number of rows scoring at least as
    // high (tied rows share the largest such count), q the running minimum.
    double running = 1.0;
    std::size_t i = rows.size();
    while (i > 0) {
        std::size_t first = i - 1;  // the tied block [first, i)
        while (first > 0 && score[rows[first - 1]] == score[rows[i - 1]]) --first;
        const double R = static_cast<double>(i);
        const double raw = pi0 * m * q[rows[i - 1]] / R;
        running = std::min(running, raw);
        for (std::size_t k = first; k < i; ++k) q[rows[k]] = running;
        i = first;
    }
}

}  // namespace kestrum::analysis
