// Several chains of one estimation run, their records and pooled summaries.
#include "analysis/chains.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>

#include "analysis/rhat.h"
#include "analysis/rows.h"
#include "analysis/threads.h"
#include "posterior/inverse.h"
#include "random/messages.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace kestrum::analysis {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// a * b, or SIZE_MAX when that does not fit (sizes beyond any budget).
std::size_t saturating_mul(std::size_t a, std::size_t b) {
    std::size_t n = 0;
    return driver::checked_mul(a, b, &n) ? n : std::numeric_limits<std::size_t>::max();
}

// The generator record of chain c (0-based) for the seed, see ChainSettings.
random::Record chain_record(std::int32_t seed, std::int32_t c) {
    random::Record rec = random::load_time_record();
    if (c == 0) {
        if (seed != 0) random::fill_table(rec, random::seed_value(seed, rec.base));
        return rec;
    }
    random::fill_table_mixed(rec, (static_cast<std::uint64_t>(static_cast<std::uint32_t>(seed)) << 32) ^
                                      static_cast<std::uint64_t>(c));
    return rec;
}

struct Shared {
    const driver::Arguments* a;
    const ChainSettings* settings;
    const MemoryPlan* plan;
    ChainsResult* result;
    const ChainProgress* progress;
    Lock lock;
    std::int64_t done = 0, total = 0;
    std::atomic<bool> stop{false};
    std::atomic<std::int32_t> next{1};      // chain 0 is the calling thread's
    std::atomic<std::int32_t> finished{0};  // threads beside the calling one that are done
    std::atomic<bool> memory_failed{false};
    MessageSink sink;  // the calling thread's; every chain's messages go there
    const StartFit* fit = nullptr;  // StartMode::data: the rows' fitted start
};

struct ChainContext {
    Shared* shared;
};

void chain_report(void* context, std::int64_t /*done*/, std::int64_t /*total*/) {
    Shared* s = static_cast<ChainContext*>(context)->shared;
    Hold hold(s->lock);
    ++s->done;
    if (s->progress->report != nullptr) s->progress->report(s->progress->context, s->done, s->total);
    if (s->progress->stop != nullptr && s->progress->stop(s->progress->context)) s->stop = true;
}

bool chain_stop(void* context) { return static_cast<ChainContext*>(context)->shared->stop.load(); }

void run_one(Shared& s, std::int32_t c) {
    const driver::Arguments& a = *s.a;
    const std::size_t L = a.nrow > 0 ? static_cast<std::size_t>(a.nrow) : 0;
    const std::size_t J = a.ngrp > 0 ? static_cast<std::size_t>(a.ngrp) : 0;
    const std::int64_t K = a.nkeep > 0 ? a.nkeep : 0, B = a.nburn > 0 ? a.nburn : 0;
    ChainOutputs& out = s.result->out[static_cast<std::size_t>(c)];
    ChainRecord& rec = s.result->rec[static_cast<std::size_t>(c)];
    out.prob.assign(L * (J > 1 ? J - 1 : 1), kNaN);
    out.pmeanbar.assign(L, kNaN);
    out.pvarbar.assign(L, kNaN);
    out.gmeanbar.assign(L * J, kNaN);
    out.gvarbar.assign(L * J, kNaN);
    out.pjoint.assign(L, kNaN);
    rec.J = static_cast<std::int64_t>(J);
    rec.B = B;
    rec.T = B + K;
    const MemoryPlan& plan = *s.plan;
    rec.rate.assign(plan.traced ? static_cast<std::size_t>(rec.T) * J : 0, kNaN);
    rec.accepted.assign(rec.rate.size(), 0);
    rec.step = plan.step;
    rec.stored = plan.stored;
    // Every slot is written by the kept iterations (pooled only after a
    // complete run), so the stores are not filled beforehand.
    rec.contrasts.resize(L * (J > 1 ? J - 1 : 0) * rec.stored);
    if (s.settings->contrast_moments)
        rec.moments.assign(L * contrast_moment_stride(static_cast<std::int32_t>(J)), 0.0);

    random::Record record = chain_record(s.settings->seed, c);
    random::Stream own{&record};
    const bool given = c == 0 && s.settings->first_stream != nullptr;
    random::Stream& stream = given ? *s.settings->first_stream : own;
    hyper::BlockStore blocks;
    RecordingCallees callees(given ? s.settings->first_blocks : blocks.blocks());
    callees.rec = &rec;
    callees.L = static_cast<std::int64_t>(L);
    if (c == s.settings->shifted_chain) callees.start_shift = s.settings->start_shift;

    ChainContext ctx{&s};
    driver::Progress progress;
    progress.report = chain_report;
    progress.stop = chain_stop;
    progress.context = &ctx;
    driver::Outputs o;
    o.prob = out.prob.data();
    o.pmeanbar = out.pmeanbar.data();
    o.pvarbar = out.pvarbar.data();
    o.gmeanbar = out.gmeanbar.data();
    o.gvarbar = out.gvarbar.data();
    o.pjoint = out.pjoint.data();
    driver::EngineOptions engine;
    engine.store_budget = plan.store_budget;
    ChainStart start;
    driver::StartState state;
    if (s.fit != nullptr) {
        draw_start(*s.fit, a, s.settings->seed, s.settings->start_chain + c, start);
        state = start.state();
        engine.start = &state;
    }
    if (rec.stored == 0 && callees.start_shift.empty() && rec.moments.empty())
        engine.threads = s.settings->engine_threads;
    out.ok = driver::estimate(stream, callees, a, o, progress, driver::allocate_block, engine);
    if (!out.ok && !s.stop.load()) {
        s.memory_failed = true;
        s.stop = true;  // the others cannot be pooled without this one
    }
}

void run_guarded(Shared& s, std::int32_t c) {
    try {
        run_one(s, c);
    } catch (const std::bad_alloc&) {
        // The chain's outputs or records could not be had: no chain can be
        // pooled without it.
        s.memory_failed = true;
        s.stop = true;
        write_message({"", "     ****ERROR**** Not enough memory for the workspace in  KESTRUM",
                       "     (no draws were made; every output holds NaN)", ""});
    }
}

// Every thread takes the next chain not yet taken.
void take_chains(Shared& s) {
    for (;;) {
        const std::int32_t c = s.next.fetch_add(1);
        if (c >= s.settings->chains || s.stop.load()) return;
        run_guarded(s, c);
    }
}

void worker_body(void* context) {
    Shared& s = *static_cast<Shared*>(context);
    {
        ScopedMessageSink scope(relaying_sink(s));
        take_chains(s);
    }
    s.finished.fetch_add(1);  // the last touch of s
}

// The calling thread runs chain 1 always, so that progress reaches it (a
// host may be reachable on that thread alone: an interpreter's interrupt
// check) from the start; then it takes chains as the others do, and once
// none is left it goes on reporting, and asking whether to stop, until the
// `started` other threads are done (and reports their end).
void calling_thread(Shared& s, std::int32_t started) {
    ScopedMessageSink scope(relaying_sink(s));
    if (!s.stop.load()) run_guarded(s, 0);
    take_chains(s);
#if KESTRUM_ANALYSIS_THREADS
    while (s.finished.load() < started) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (s.stop.load()) continue;  // asked once: the others are stopping
        Hold hold(s.lock);
        if (s.progress->report != nullptr) s.progress->report(s.progress->context, s.done, s.total);
        if (s.progress->stop != nullptr && s.progress->stop(s.progress->context)) s.stop = true;
    }
    // And the end of the others' chains, unless asked to stop.
    if (started > 0 && !s.stop.load() && s.progress->report != nullptr) {
        Hold hold(s.lock);
        s.progress->report(s.progress->context, s.done, s.total);
    }
#else
    (void)started;
#endif
}

}  // namespace

namespace detail {

#if KESTRUM_ANALYSIS_THREADS
struct ThreadPool {
    std::vector<std::thread> threads;
};
void start_thread(ThreadPool& pool, void (*body)(void*), void* context) {
    pool.threads.emplace_back(body, context);
}
#else
struct ThreadPool {};  // nothing to start: the calling thread runs every chain
void start_thread(ThreadPool&, void (*)(void*), void*) {}
#endif

ThreadStart chain_thread_start = start_thread;

}  // namespace detail

std::int32_t available_threads() {
#if KESTRUM_ANALYSIS_THREADS
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<std::int32_t>(cores > 1024 ? 1024 : cores);
#else
    return 1;
#endif
}

MemoryPlan plan_memory(const driver::Arguments& a, const ChainSettings& settings) {
    const std::size_t C = settings.chains > 0 ? static_cast<std::size_t>(settings.chains) : 1;
    const std::size_t L = a.nrow > 0 ? static_cast<std::size_t>(a.nrow) : 0;
    const std::size_t J = a.ngrp > 0 ? static_cast<std::size_t>(a.ngrp) : 0;
    const std::size_t K = a.nkeep > 0 ? static_cast<std::size_t>(a.nkeep) : 0;
    const std::size_t T = (a.nburn > 0 ? static_cast<std::size_t>(a.nburn) : 0) + K;
    MemoryPlan p;
    p.budget = settings.memory_budget;
#if KESTRUM_ANALYSIS_THREADS
    p.at_once = static_cast<std::int32_t>(
        std::max<std::int64_t>(1, std::min<std::int64_t>(settings.threads, static_cast<std::int64_t>(C))));
#endif

    // 1. The traces: all chains or none.
    const std::size_t trace = saturating_mul(saturating_mul(saturating_mul(9, C), T), J);
    p.traced = trace <= p.budget / 8;
    p.trace_bytes = p.traced ? trace : 0;
    std::size_t left = p.budget - p.trace_bytes;

    // 2. The stored draws, thinned further when they do not fit.
    p.step = K > 0 ? (K + kMaxStoredDraws - 1) / kMaxStoredDraws : 1;
    if (J >= 2 && settings.store_draws && K > 0) {
        const std::size_t wanted = K / p.step;
        const std::size_t per_draw = saturating_mul(saturating_mul(saturating_mul(4, C), L), J - 1);
        const std::size_t room = per_draw > 0 ? left / per_draw : wanted;
        // The smallest step whose floor(K / step) draws fit.
        if (room < wanted) p.step = K / (room + 1) + 1;
        p.stored = K / p.step;
        if (p.stored < std::min(kMinStoredDraws, wanted)) {
            p.fits = false;
            p.stored = 0;
            return p;
        }
        p.draw_bytes = per_draw * p.stored;
        left -= p.draw_bytes;
    }

    // 3. The contrast stores of the chains running at once, each within the
    // engine's own store budget too (a lone chain takes no more than a run
    // of kestrum_ would).
    p.store_budget = std::min(left / static_cast<std::size_t>(p.at_once), driver::kDefaultStoreBudget);
    const driver::Dims d = driver::Dims::from_arguments(a.nrow, a.ngrp, a.ntot, a.nkeep, a.nburn);
    if (d.K >= 1 && d.D >= 1 && d.L >= 1) {
        const std::size_t one = driver::store_bytes(d);
        if (one <= p.store_budget) p.store_bytes = one * static_cast<std::size_t>(p.at_once);
    }
    return p;
}

ChainsStatus run_chains(const driver::Arguments& a, const ChainSettings& settings,
                        ChainsResult& result, const ChainProgress& progress) {
    const std::int32_t C = settings.chains > 0 ? settings.chains : 1;
    ChainSettings fixed = settings;
    fixed.chains = C;
    const MemoryPlan plan = plan_memory(a, fixed);
    if (!plan.fits) {
        result.out.clear();
        result.rec.clear();
        return ChainsStatus::over_budget;
    }
    result.out.assign(static_cast<std::size_t>(C), ChainOutputs{});
    result.rec.assign(static_cast<std::size_t>(C), ChainRecord{});
    Shared s;
    s.a = &a;
    s.settings = &fixed;
    s.plan = &plan;
    s.result = &result;
    s.progress = &progress;
    s.sink = current_message_sink();
    StartFit fit;
    if (settings.start == StartMode::data) {
        try {
            fit_start(a, fit);
        } catch (const std::bad_alloc&) {
            return ChainsStatus::memory;
        }
        s.fit = &fit;
    }
    const std::int64_t iterations = std::int64_t{a.nburn > 0 ? a.nburn : 0} + (a.nkeep > 0 ? a.nkeep : 0);
    s.total = static_cast<std::int64_t>(C) * iterations;
#if KESTRUM_ANALYSIS_THREADS
    const std::int32_t threads = std::max<std::int32_t>(1, std::min(settings.threads, C));
    // A thread that cannot be started (or the pool's own growth) leaves its
    // chains to the others: every thread takes the next chain not yet
    // taken, and the calling thread alone can run them all.
    detail::ThreadPool pool;
    try {
        pool.threads.reserve(static_cast<std::size_t>(threads - 1));
        for (std::int32_t t = 1; t < threads; ++t) detail::chain_thread_start(pool, worker_body, &s);
    } catch (...) {
    }
    calling_thread(s, static_cast<std::int32_t>(pool.threads.size()));
    for (std::thread& t : pool.threads) t.join();
#else
    calling_thread(s, 0);
#endif
    if (s.memory_failed) return ChainsStatus::memory;
    for (const ChainOutputs& o : result.out)
        if (!o.ok) return ChainsStatus::cancelled;
    return ChainsStatus::ok;
}

namespace {

// Scratch of mean_test_ess, sized once for a run.
struct MeanTestScratch {
    std::size_t D, C, stored;
    std::vector<double> hits;  // the split sequences of the indicator
    std::vector<double> cov, inv, inverse_scratch, mean, u;
    MeanTestScratch(std::size_t d, std::size_t c, std::size_t s)
        : D(d), C(c), stored(s), hits(2 * c * (s / 2)), cov(d * d), inv(d * d),
          inverse_scratch(posterior::inverse_scratch_size(static_cast<std::int32_t>(d))), mean(d),
          u(d) {}
};

// The effective sample size of the mean test's indicator over the stored
// draws of row g: in every chain, the stored contrasts d judged as that
// chain's run judges its kept draws (d' S^-1 d > 6, S their covariance
// with divisor n - 1, here over the stored draws), the hits split into
// halves as for R-hat, and effective_sample_size of the 2C sequences.
// A row whose indicator does not vary over the stored draws counts them
// all (they are as good as independent for it); NaN for fewer than 8
// stored draws a chain.
double mean_test_ess(const ChainsResult& r, std::size_t g, std::size_t D, MeanTestScratch& m,
                     RhatScratch& scratch) {
    const std::size_t S = m.stored, n = S / 2, C = m.C;
    if (n < 4) return kNaN;
    bool varies = false;
    for (std::size_t c = 0; c < C; ++c) {
        const float* x = r.rec[c].contrasts.data() + g * D * S;  // contrast i at x[i*S + s]
        for (std::size_t i = 0; i < D; ++i) {
            double sum = 0.0;
            for (std::size_t s = 0; s < S; ++s) sum += x[i * S + s];
            m.mean[i] = sum / static_cast<double>(S);
        }
        for (std::size_t i = 0; i < D; ++i)
            for (std::size_t l = 0; l <= i; ++l) {
                double sum = 0.0;
                for (std::size_t s = 0; s < S; ++s)
                    sum += (x[i * S + s] - m.mean[i]) * (x[l * S + s] - m.mean[l]);
                m.cov[i + l * D] = m.cov[l + i * D] = sum / static_cast<double>(S - 1);
            }
        posterior::invert(m.cov.data(), m.inv.data(), static_cast<std::int32_t>(D), m.inverse_scratch.data());
        // Sequence 2c holds the first n stored draws, 2c+1 the last n.
        for (std::size_t k = 0; k < 2 * n; ++k) {
            const std::size_t s = k < n ? k : S - 2 * n + k;
            for (std::size_t i = 0; i < D; ++i) m.u[i] = x[i * S + s];
            double q = 0.0;
            for (std::size_t i = 0; i < D; ++i)
                for (std::size_t l = 0; l < D; ++l) q += m.inv[i + l * D] * m.u[i] * m.u[l];
            const double hit = q > 6.0 ? 1.0 : 0.0;
            m.hits[(2 * c + (k < n ? 0 : 1)) * n + (k < n ? k : k - n)] = hit;
            varies = varies || hit != m.hits[0];
        }
    }
    if (!varies) return static_cast<double>(2 * C * n);
    return effective_sample_size(m.hits.data(), n, 2 * C, scratch.means);
}

}  // namespace

void pool_chains(const ChainsResult& r, std::int32_t nrow, std::int32_t ngrp, Pooled& p) {
    const std::size_t L = nrow > 0 ? static_cast<std::size_t>(nrow) : 0;
    const std::size_t J = ngrp > 0 ? static_cast<std::size_t>(ngrp) : 0;
    const std::size_t D = J > 1 ? J - 1 : 0;
    const std::size_t C = r.out.size();
    const double Cd = static_cast<double>(C);
    auto mean_over = [&](std::vector<double> ChainOutputs::*field, std::vector<double>& dst) {
        const std::size_t n = (r.out[0].*field).size();
        dst.assign(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (std::size_t c = 0; c < C; ++c) sum += (r.out[c].*field)[i];
            dst[i] = sum / Cd;
        }
    };
    mean_over(&ChainOutputs::prob, p.prob);
    mean_over(&ChainOutputs::pmeanbar, p.pmeanbar);
    mean_over(&ChainOutputs::pvarbar, p.pvarbar);
    mean_over(&ChainOutputs::gmeanbar, p.gmeanbar);
    mean_over(&ChainOutputs::gvarbar, p.gvarbar);

    // Differences, credible bounds, R-hat, effective sample sizes and the
    // mixing statistic from the stored draws.
    p.diff.assign(L * D, kNaN);
    p.lower.assign(L * D, kNaN);
    p.upper.assign(L * D, kNaN);
    p.rhat.assign(L, kNaN);
    p.ess.assign(L, kNaN);
    p.tail_ess.assign(L, kNaN);
    p.mixing.assign(L, kNaN);
    const std::size_t stored = r.rec.empty() ? 0 : r.rec[0].stored;
    std::vector<float> pooled(C * stored);
    MeanTestScratch hits(D, C, stored);
    RhatScratch scratch;
    for (std::size_t g = 0; g < L; ++g) {
        double worst = kNaN, fewest = kNaN, least_p = kNaN;  // least_p: the smallest tail probability
        for (std::size_t i = 0; i < D; ++i) {
            p.diff[g + i * L] = p.gmeanbar[g + (i + 1) * L] - p.gmeanbar[g];
            if (stored == 0) continue;
            for (std::size_t c = 0; c < C; ++c) {
                const float* x = r.rec[c].contrasts.data() + (g * D + i) * stored;
                std::copy(x, x + stored, pooled.begin() + static_cast<std::ptrdiff_t>(c * stored));
            }
            const SplitDiagnostics sd = split_diagnostics(pooled.data(), stored, C, scratch);
            if (!std::isnan(sd.rhat) && (std::isnan(worst) || sd.rhat > worst)) worst = sd.rhat;
            if (!std::isnan(sd.ess) && (std::isnan(fewest) || sd.ess < fewest)) fewest = sd.ess;
            if (!std::isnan(sd.mixing) && (std::isnan(least_p) || sd.mixing < least_p)) least_p = sd.mixing;
            p.lower[g + i * L] = quantile(pooled.data(), pooled.size(), 0.025);
            p.upper[g + i * L] = quantile(pooled.data(), pooled.size(), 0.975);
        }
        p.rhat[g] = worst;
        p.ess[g] = fewest;
        p.mixing[g] = least_p;
        if (stored > 0 && D > 0) p.tail_ess[g] = mean_test_ess(r, g, D, hits, scratch);
    }

    // The joint frequency of two groups, which prob has no column for.
    p.joint.clear();
    if (J == 2) {
        p.joint.assign(L, kNaN);
        for (std::size_t g = 0; g < L; ++g) {
            double sum = 0.0;
            for (std::size_t c = 0; c < C; ++c) sum += r.out[c].pjoint[g];
            p.joint[g] = sum / Cd;
        }
    }

    // The rows whose chains do not mix (rhat_flag_level).
    std::size_t judged = 0;
    for (double x : p.mixing) judged += std::isnan(x) ? 0 : 1;
    const double level = rhat_flag_level(judged, D);
    p.rhat_flag.assign(L, kNaN);
    for (std::size_t g = 0; g < L; ++g)
        if (!std::isnan(p.mixing[g])) p.rhat_flag[g] = p.mixing[g] < level ? 1.0 : 0.0;

    // Monte-Carlo standard errors of the two frequencies (see Pooled).
    p.mcse.assign(2 * L, kNaN);
    const std::size_t step = r.rec.empty() ? 1 : std::max<std::size_t>(r.rec[0].step, 1);
    for (std::size_t i = 0; i < (J == 2 ? 2 : std::min<std::size_t>(D, 2)); ++i) {
        // p_joint of two groups is the joint frequency prob has no column for.
        const bool joint2 = i == 1 && J == 2;
        auto frequency = [&](std::size_t g) { return joint2 ? p.joint[g] : p.prob[g + i * L]; };
        auto chain_frequency = [&](std::size_t c, std::size_t g) {
            return joint2 ? r.out[c].pjoint[g] : r.out[c].prob[g + i * L];
        };
        // The spread of the chains' own frequencies, ss / (C (C - 1)): an
        // unbiased estimate of the pooled frequency's variance, however
        // the draws are correlated.
        auto between = [&](std::size_t g) {
            const double f = frequency(g);
            double ss = 0.0;
            for (std::size_t c = 0; c < C; ++c) ss += (chain_frequency(c, g) - f) * (chain_frequency(c, g) - f);
            return ss / (Cd * (Cd - 1.0));
        };
        // The factor phi of the run, from the rows that mix.
        double phi = 1.0;
        if (C >= 2) {
            double spread = 0.0, binomial = 0.0;
            for (std::size_t g = 0; g < L; ++g) {
                const double f = frequency(g), ess = p.tail_ess[g];
                if (!(ess > 0.0) || p.rhat_flag[g] != 0.0 || !std::isfinite(f)) continue;
                const double b = between(g);
                if (!std::isfinite(b)) continue;
                spread += b;
                binomial += f * (1.0 - f) / ess;
            }
            if (binomial > 0.0) phi = std::max(spread / binomial, 1.0 / static_cast<double>(step));
        }
        for (std::size_t g = 0; g < L; ++g) {
            const double f = frequency(g), ess = p.tail_ess[g];
            if (ess > 0.0)
                p.mcse[g + i * L] = std::sqrt(phi * f * (1.0 - f) / ess);
            else if (C >= 2)
                p.mcse[g + i * L] = std::sqrt(between(g));
        }
    }

    // Rows whose draws became non-finite in some chain (analysis/rows.h):
    // their frequencies would read as counts of 0, so nothing but the
    // non-finite means is given.
    p.status.assign(L, kRowOk);
    for (std::size_t g = 0; g < L; ++g) {
        if (!results_not_finite(p.gmeanbar.data(), p.gvarbar.data(), p.pmeanbar.data(),
                                p.pvarbar.data(), L, J, true, g))
            continue;
        p.status[g] = kRowNotFinite;
        for (std::size_t i = 0; i < D; ++i) {
            p.prob[g + i * L] = kNaN;
            p.lower[g + i * L] = kNaN;
            p.upper[g + i * L] = kNaN;
        }
        p.mcse[g] = kNaN;
        p.mcse[g + L] = kNaN;
        if (!p.joint.empty()) p.joint[g] = kNaN;
        p.rhat[g] = kNaN;
        p.ess[g] = kNaN;
        p.tail_ess[g] = kNaN;
        p.mixing[g] = kNaN;
        p.rhat_flag[g] = kNaN;
    }
}

double acceptance(const ChainRecord& r, std::int64_t j, std::int64_t from, std::int64_t to) {
    from = std::max<std::int64_t>(from, 0);
    to = std::min(to, r.T);
    if (to <= from || r.accepted.size() < static_cast<std::size_t>(r.T * r.J)) return kNaN;
    std::int64_t taken = 0;
    for (std::int64_t t = from; t < to; ++t) taken += r.accepted[static_cast<std::size_t>(t * r.J + j)];
    return static_cast<double>(taken) / (10.0 * static_cast<double>(to - from));
}

namespace {
// The iterations [from, to) the stuck-rate judgement looks at.
std::int64_t stuck_window_from(const ChainRecord& r) { return r.B >= 2 ? r.B / 2 : r.B; }
std::int64_t stuck_window_to(const ChainRecord& r) { return r.B >= 2 ? r.B : r.T; }
}  // namespace

bool rate_stuck(const ChainRecord& r, std::int64_t j, double* acc) {
    const std::int64_t from = stuck_window_from(r), to = stuck_window_to(r);
    if (to - from < kMinStuckWindow) return false;  // too short to judge
    if (r.rate.size() < static_cast<std::size_t>(r.T * r.J)) return false;  // not traced
    const double a = acceptance(r, j, from, to);
    if (acc != nullptr) *acc = a;
    bool moved = false;
    for (std::int64_t t = 0; t < to && !moved; ++t) moved = r.rate[static_cast<std::size_t>(t * r.J + j)] != 2.0;
    return a < 0.01 || !moved;
}

std::vector<StuckRate> stuck_rates(const ChainsResult& res) {
    std::vector<StuckRate> out;
    for (std::size_t c = 0; c < res.rec.size(); ++c) {
        const ChainRecord& r = res.rec[c];
        const std::int64_t to = stuck_window_to(r);
        for (std::int64_t j = 0; j < r.J; ++j) {
            double acc = 0.0;
            if (rate_stuck(r, j, &acc))
                out.push_back(StuckRate{static_cast<std::int32_t>(c), static_cast<std::int32_t>(j),
                                        acc, r.rate[static_cast<std::size_t>((to - 1) * r.J + j)]});
        }
    }
    return out;
}

}  // namespace kestrum::analysis
