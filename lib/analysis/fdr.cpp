// Permuted analyses and the q-values of the evidence scores.
#include "analysis/fdr.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>

#if !defined(__GLIBCXX__) || defined(_GLIBCXX_HAS_GTHREADS)
#include <chrono>
#include <mutex>
#include <thread>
#define KESTRUM_FDR_THREADS 1
#else
#define KESTRUM_FDR_THREADS 0
#endif

#include "analysis/rows.h"
#include "analysis/score.h"
#include "hyper/blocks.h"
#include "random/messages.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace kestrum::analysis {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The key of permutation p's streams: the low word's top bit set keeps it
// apart from the keys of the chains (seed, c), c < 2^31.
std::uint64_t permutation_key(std::int32_t seed, std::int32_t p) {
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
    // Uniform on 0 .. n-1, without the bias of a plain remainder.
    std::uint64_t below(std::uint64_t n) {
        const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() -
                                    std::numeric_limits<std::uint64_t>::max() % n;
        std::uint64_t x = next();
        while (x >= limit) x = next();
        return x % n;
    }
};

#if KESTRUM_FDR_THREADS
using Lock = std::mutex;
using Hold = std::lock_guard<std::mutex>;
#else
struct Lock {};
struct Hold {
    explicit Hold(Lock&) {}
};
#endif

struct Shared {
    const driver::Arguments* a;
    const double* spread = nullptr;
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

void relay_message(void* context, const char* text) {
    Shared* s = static_cast<Shared*>(context);
    Hold hold(s->lock);
    if (s->sink.line != nullptr) {
        s->sink.line(s->sink.context, text);
    } else {
        ScopedMessageSink standard_output(MessageSink{});
        write_message({text});
    }
}

// Progress of one permuted analysis, added to the others'.
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

void run_permutation(Shared& s, std::int32_t p, std::vector<double>& y, std::vector<std::int32_t>& perm,
                     ScoreScratch& scratch) {
    const driver::Arguments& a = *s.a;
    const std::size_t L = static_cast<std::size_t>(a.nrow), N = static_cast<std::size_t>(a.ntot);
    label_permutation(s.seed, p, a.ngrp, a.nobs, perm);
    for (std::size_t c = 0; c < N; ++c) {
        const double* from = a.ydata + static_cast<std::size_t>(perm[c]) * L;
        std::copy(from, from + L, y.begin() + static_cast<std::ptrdiff_t>(c * L));
    }
    if (s.spread != nullptr) {
        // Each permuted group gets the spread of the row's group in its
        // place, about its own mean.
        std::size_t first = 0;
        for (std::int32_t j = 0; j < a.ngrp; ++j) {
            const std::size_t n = static_cast<std::size_t>(a.nobs[j]);
            const double* f = s.spread + static_cast<std::size_t>(j) * L;
            for (std::size_t g = 0; g < L; ++g) {
                double m = 0.0;
                for (std::size_t c = first; c < first + n; ++c) m += y[g + c * L];
                m /= static_cast<double>(n);
                for (std::size_t c = first; c < first + n; ++c) y[g + c * L] = m + (y[g + c * L] - m) * f[g];
            }
            first += n;
        }
    }
    driver::Arguments b = a;
    b.ydata = y.data();
    random::Record record = random::load_time_record();
    random::fill_table_mixed(record, permutation_key(s.seed, p));
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
    // The start stream keyed as the permutation's sampling stream is (the
    // top bit of the low word set), apart from every observed chain's.
    cs.start_chain = static_cast<std::int32_t>(permutation_key(s.seed, p) & 0xffffffffu);
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
    contrast_scores({res.rec[0].moments.data()}, L, a.ngrp, a.nkeep, sm, sj, scratch);
    const ChainOutputs& o = res.out[0];
    for (std::size_t g = 0; g < L; ++g)
        if (results_not_finite(o.gmeanbar.data(), o.gvarbar.data(), o.pmeanbar.data(), o.pvarbar.data(), L,
                               static_cast<std::size_t>(a.ngrp), a.ipool == 1, g))
            sm[g] = sj[g] = kNaN;
}

void take_permutations(Shared& s) {
    ScopedMessageSink scope(MessageSink{relay_message, &s});
    try {
        std::vector<double> y(static_cast<std::size_t>(s.a->nrow) * static_cast<std::size_t>(s.a->ntot));
        std::vector<std::int32_t> perm;
        ScoreScratch scratch;
        for (;;) {
            const std::int32_t p = s.next.fetch_add(1);
            if (p >= s.P || s.stop.load()) return;
            run_permutation(s, p, y, perm, scratch);
        }
    } catch (const std::bad_alloc&) {
        s.memory_failed = true;
        s.stop = true;
    }
}

void worker_body(Shared* s) {
    take_permutations(*s);
    s->finished.fetch_add(1);
}

}  // namespace

void label_permutation(std::int32_t seed, std::int32_t p, std::int32_t ngrp, const std::int32_t* nobs,
                       std::vector<std::int32_t>& perm) {
    std::vector<std::int32_t> origin;  // the group of each sample
    for (std::int32_t j = 0; j < ngrp; ++j)
        for (std::int32_t k = 0; k < nobs[j]; ++k) origin.push_back(j);
    const std::size_t N = origin.size();
    Mixer mix{permutation_key(seed, p) * 0xD1B54A32D192ED03ull};
    // Only a design of one group has nothing but relabellings.
    const int attempts = ngrp >= 2 ? 1000 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        perm.resize(N);
        for (std::size_t c = 0; c < N; ++c) perm[c] = static_cast<std::int32_t>(c);
        for (std::size_t i = N; i > 1; --i)
            std::swap(perm[i - 1], perm[static_cast<std::size_t>(mix.below(i))]);
        // A relabelling: every new group holds the samples of one group.
        bool relabelled = true;
        std::size_t c = 0;
        for (std::int32_t j = 0; j < ngrp && relabelled; ++j) {
            const std::int32_t from = origin[static_cast<std::size_t>(perm[c])];
            for (std::int32_t k = 0; k < nobs[j]; ++k, ++c)
                relabelled = relabelled && origin[static_cast<std::size_t>(perm[c])] == from;
        }
        if (!relabelled) return;
    }
}

void spread_factors(const double* gvarbar, std::size_t L, std::int32_t ngrp, const std::int32_t* nobs,
                    std::vector<double>& f) {
    const std::size_t J = ngrp > 0 ? static_cast<std::size_t>(ngrp) : 0;
    f.assign(L * J, 1.0);
    double N = 0.0;
    for (std::size_t j = 0; j < J; ++j) N += nobs[j];
    for (std::size_t g = 0; g < L; ++g) {
        double mean = 0.0;
        bool usable = true;
        for (std::size_t j = 0; j < J; ++j) {
            const double v = gvarbar[g + j * L];
            usable = usable && std::isfinite(v) && v > 0.0;
            mean += static_cast<double>(nobs[j]) / N * v;
        }
        if (!usable || !(mean > 0.0) || !std::isfinite(mean)) continue;
        for (std::size_t j = 0; j < J; ++j) f[g + j * L] = std::sqrt(0.5 + 0.5 * gvarbar[g + j * L] / mean);
    }
}

ChainsStatus permuted_scores(const driver::Arguments& a, const double* spread, std::int32_t seed,
                             std::int32_t permutations, StartMode start,
                             std::int32_t threads, std::size_t memory_budget,
                             std::vector<double>& null_mean, std::vector<double>& null_joint,
                             const ChainProgress& progress, std::int64_t offset, std::int64_t total) {
    const std::size_t L = a.nrow > 0 ? static_cast<std::size_t>(a.nrow) : 0;
    const std::int32_t P = std::max(0, permutations);
    null_mean.assign(static_cast<std::size_t>(P) * L, kNaN);
    null_joint.assign(static_cast<std::size_t>(P) * L, kNaN);
    if (P == 0 || L == 0) return ChainsStatus::ok;
    Shared s;
    s.a = &a;
    s.spread = spread;
    s.seed = seed;
    s.P = P;
    s.start = start;
    s.null_mean = &null_mean;
    s.null_joint = &null_joint;
    s.progress = &progress;
    s.offset = offset;
    s.total = total;
    s.sink = current_message_sink();
    const std::int32_t T = std::max(1, std::min(threads, P));
    s.budget = std::max<std::size_t>(memory_budget / static_cast<std::size_t>(T), std::size_t{1} << 20);
#if KESTRUM_FDR_THREADS
    std::vector<std::thread> pool;
    try {
        pool.reserve(static_cast<std::size_t>(T - 1));
        for (std::int32_t t = 1; t < T; ++t) pool.emplace_back(worker_body, &s);
    } catch (...) {
        // The threads that did start, and this one, take every permutation.
    }
    take_permutations(s);
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
    take_permutations(s);
#endif
    if (s.memory_failed) return ChainsStatus::memory;
    if (s.stop.load() || s.next.load() < P) return ChainsStatus::cancelled;
    return ChainsStatus::ok;
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
