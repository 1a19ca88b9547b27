// Several independent chains of one estimation run, with what a user needs
// to trust the results: the rate update's acceptance and trace per chain,
// the kept draws of the mean contrasts (thinned, see kMaxStoredDraws), and
// the pooled summaries with their Monte-Carlo standard errors and R-hat.
//
// Every chain is one complete run of driver::estimate on its own stream,
// blocks and workspace; chains run on up to `threads` std::threads, one
// chain per thread at a time, and each chain writes only its own slot, so
// the results are the same bits at every thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "analysis/score.h"
#include "analysis/starts.h"
#include "driver/callees.h"
#include "driver/estimate.h"
#include "hyper/blocks.h"
#include "hyper/update.h"
#include "random/stream.h"

namespace kestrum::analysis {

// Kept draws of each mean contrast stored per chain and row, at most: with
// K kept iterations every ceil(K / 250)-th draw is stored (floor(K / step)
// of them), as a float.  That bounds the memory at 4 * L * (J - 1) * 250
// bytes per chain whatever K is, and is plenty for R-hat and for 95%
// credible bounds from several chains (4 chains give 1000 pooled draws).
// The run's memory plan (plan_memory) may store fewer.
inline constexpr std::size_t kMaxStoredDraws = 250;

// The fewest draws per chain the plan thins to (all of them when K is
// smaller): fewer make the credible bounds and R-hat mean little, and a
// run whose stored draws do not fit even so is refused.
inline constexpr std::size_t kMinStoredDraws = 100;

// The longest rate trace a session run records: iterations times groups.
// (A run of several chains has its traces in its memory plan.)
inline constexpr std::int64_t kMaxTrace = std::int64_t{1} << 24;

// The memory one run of several chains may take for what it keeps besides
// every chain's outputs and the workspace of each chain while it runs:
// 1 GiB, four times the engine's contrast-store budget of one run
// (driver::kDefaultStoreBudget), so four chains side by side keep their
// stores as one run would.
inline constexpr std::size_t kChainsMemoryBudget = std::size_t{1} << 30;

// An allocator that leaves new elements uninitialised: the stored draws of
// a run can take hundreds of megabytes that every kept iteration fills, and
// a run whose workspace then cannot be had must not have touched them.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) {}
    template <class U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using FloatDraws = std::vector<float, UninitialisedAllocator<float>>;

// What one chain records besides kestrum_'s outputs.
struct ChainRecord {
    std::int64_t J = 0, T = 0, B = 0;
    // Iteration t (0-based, burn-in first), group j at t*J + j: the rate of
    // group j's variance prior after its update, and how many of the rate
    // update's ten trials were accepted.  Empty when the run's memory plan
    // leaves no room for the traces (9 bytes an entry): such a run is not
    // traced and not judged.
    std::vector<double> rate;
    std::vector<std::int8_t> accepted;
    // Stored contrasts d_i = mean_(i+1) - mean_1 of row g, contrast i
    // (0-based, i < J - 1), stored draw s at (g*(J-1) + i)*stored + s.
    std::size_t stored = 0;
    std::size_t step = 1;  // every step-th kept draw is stored
    FloatDraws contrasts;
    // Running sums of every row's contrasts over all kept draws, for the
    // evidence scores (analysis/score.h): row g at g * stride; empty when
    // not asked for (ChainSettings::contrast_moments).
    std::vector<double> moments;
};

// Callees that run the real rate update and row sweep and record as they
// go.  The engine calls update_rate J times per iteration (group 1 first)
// and then row_swept for rows 0..L-1 (driver/engine.h), so counting the
// calls tells the iteration, group and row.  start_shift, when not empty,
// is added to the incoming group means of every row in the first
// iteration: a start far from the others' (over-dispersed starts, and the
// tests of R-hat).
struct RecordingCallees {
    driver::CoreCallees core;
    ChainRecord* rec = nullptr;
    std::int64_t L = 0;
    std::int64_t rate_calls = 0;
    std::int64_t sweep_calls = 0;
    std::vector<double> start_shift;

    explicit RecordingCallees(const hyper::Blocks& blocks) : core(blocks) {}

    static std::size_t sweep_scratch_size(std::int32_t ngrp) {
        return driver::CoreCallees::sweep_scratch_size(ngrp);
    }

    template <class Source>
    void update_rate(Source& src, double sinv, double hshape, double gshape, double wunit,
                     double rsum, std::int32_t nrow, std::int32_t ngrp, double hrate,
                     double* rate) {
        std::int32_t taken = 0;
        hyper::update_rate(src, core.blocks, sinv, hshape, gshape, wunit, rsum, nrow, ngrp, hrate,
                           rate, &taken);
        const auto at = static_cast<std::size_t>(rate_calls++);
        if (at < rec->rate.size()) {
            rec->rate[at] = *rate;
            rec->accepted[at] = static_cast<std::int8_t>(taken);
        }
    }

    // The row's sweep, its incoming group means shifted in the first
    // iteration when start_shift asks it; the row is counted, and recorded,
    // when the engine hands it to row_swept after the sweep.
    template <class Source>
    void row_sweep(Source& src, std::int32_t ngrp, std::int32_t ipool, const std::int32_t* ntot,
                   const std::int32_t* nobs, const double* vshape, const double* vrate,
                   const double* pshape, const double* prate, const double* effvar,
                   const double* mvar, const double* ybar, const double* s2,
                   const double* ybar0, const double* s20, double* gmean, double* gvar,
                   double* pmean, double* pvar, double* scratch) {
        if (!start_shift.empty() && sweep_calls < L)
            for (std::int32_t j = 0; j < ngrp; ++j) gmean[j] += start_shift[static_cast<std::size_t>(j)];
        core.row_sweep(src, ngrp, ipool, ntot, nobs, vshape, vrate, pshape, prate, effvar, mvar,
                       ybar, s2, ybar0, s20, gmean, gvar, pmean, pvar, scratch);
    }

    // The engine may sweep rows in SIMD lanes instead of calling row_sweep
    // once no start shift is due.  Either way it then calls row_swept for
    // every row, in row order, with, in a kept iteration, its contrasts u
    // (d_1 .. d_(J-1), c_1 .. c_(J-1)) as the engine formed them for its
    // tail tests: the running sums and the stored draws are
    // taken from those, so each kept draw's cube roots are taken once.
    // Rows are counted only when something is recorded or shifted per row:
    // a run that records its rate trace alone may sweep rows on several
    // threads at once (the engine's threaded sampler).
    bool rows_in_lanes(std::int32_t) const { return start_shift.empty() || sweep_calls >= L; }
    void row_swept(std::int32_t ngrp, const double* u) {
        if (!per_row(ngrp) && start_shift.empty()) return;
        const std::int64_t it = sweep_calls / L, g = sweep_calls % L;
        ++sweep_calls;
        if (u != nullptr) record_row(it, g, ngrp, u);
    }

private:
    // Whether anything is recorded per row.
    bool per_row(std::int32_t ngrp) const { return (rec->stored != 0 && ngrp >= 2) || !rec->moments.empty(); }

    // The contrasts u of row g after its sweep in iteration it (0-based).
    void record_row(std::int64_t it, std::int64_t g, std::int32_t ngrp, const double* u) {
        const std::int64_t k = it - rec->B;  // kept draw, 0-based
        if (k < 0 || k >= rec->T - rec->B) return;
        if (!rec->moments.empty())
            add_contrast_draw(rec->moments.data() + static_cast<std::size_t>(g) * contrast_moment_stride(ngrp),
                              u, ngrp, k == 0);
        if (rec->stored == 0 || ngrp < 2) return;
        const auto step = static_cast<std::int64_t>(rec->step);
        if ((k + 1) % step != 0) return;
        const auto s = static_cast<std::size_t>((k + 1) / step - 1);
        if (s >= rec->stored) return;
        const std::size_t D = static_cast<std::size_t>(ngrp - 1);
        for (std::size_t i = 0; i < D; ++i)
            rec->contrasts[(static_cast<std::size_t>(g) * D + i) * rec->stored + s] = static_cast<float>(u[i]);
    }
};

// How the chains are seeded and run.
struct ChainSettings {
    std::int32_t chains = 4;
    std::int32_t threads = 1;  // at most this many chains at once (>= 1)
    // Chain 1 starts from the generator state that the exported routines
    // have after zbqlini_(seed) (seed 0: the built-in table, as a freshly
    // loaded library), so one chain reproduces kestrum_ exactly.  Chain
    // c >= 2 fills its table from a 64-bit mix of (seed, c): unrelated
    // streams, the same for the same seed.
    std::int32_t seed = 0;
    // Threads each chain's engine shares its rows among.  Only a chain
    // that stores no draws per row (store_draws false, no start shift) can
    // use more than one: the recording callees count the row sweeps.
    std::int32_t engine_threads = 1;
    // Store the thinned draws of the contrasts (credible bounds, R-hat,
    // the joint frequency of two groups); without them those are NaN.
    bool store_draws = true;
    // Chain 1 on this stream and these blocks (a session's, or the
    // process-wide ones of the front end, whose process has no other user
    // of them) instead of a stream of its own from the seed: it then draws
    // exactly what kestrum_ would draw from that stream's state, and the
    // seed plays no part in chain 1.
    random::Stream* first_stream = nullptr;
    hyper::Blocks first_blocks{};
    // Collect the running sums of the contrasts for the evidence scores
    // (ChainRecord::moments); rows then are swept on one thread per chain.
    bool contrast_moments = false;
    // Where every chain starts: StartMode::fixed as kestrum_ does (so one
    // chain reproduces it), StartMode::data from a state fitted to the
    // rows' data and drawn per chain (analysis/starts.h; what the analysis
    // uses unless told otherwise).
    StartMode start = StartMode::fixed;
    // The data start of chain c (0-based) draws from the start stream of
    // (seed, start_chain + c): another run on the same seed (a null
    // analysis) gives its chains streams apart from the observed chains'.
    std::int32_t start_chain = 0;
    // Shift of the starting group means of one chain (see RecordingCallees).
    std::int32_t shifted_chain = -1;
    std::vector<double> start_shift;
    // Bytes the run's traces, stored draws and contrast stores may take in
    // all (see plan_memory).
    std::size_t memory_budget = kChainsMemoryBudget;
};

// One memory plan per run, made before any chain starts, for the three
// things that grow with the run's length or its number of chains, in this
// order of precedence:
//   1. the rate traces of all chains, 9 * C * (B + K) * J bytes: kept when
//      they take at most an eighth of the budget, else no chain is traced;
//   2. the stored draws of all chains, 4 * C * L * (J - 1) * stored bytes:
//      every step-th kept draw as described at kMaxStoredDraws, or, when
//      that does not fit in what the traces leave, with the step made
//      larger until it does; a run left with fewer than
//      min(kMinStoredDraws, K) draws per chain does not fit at all (fits
//      false: run_chains refuses it);
//   3. the engine's contrast stores (8 * L * K * 2(J - 1) bytes a chain,
//      see driver::estimate): the rest of the budget, shared equally by
//      the chains that run at once (min(threads, C)), and at most
//      driver::kDefaultStoreBudget a chain; a chain whose stores
//      would take more than its share replays its kept iterations, with
//      the same bits.
// So total() <= budget whenever fits.
struct MemoryPlan {
    std::size_t budget = 0;
    bool fits = true;
    bool traced = false;
    std::size_t trace_bytes = 0;    // all chains
    std::size_t step = 1;           // every step-th kept draw is stored
    std::size_t stored = 0;         // draws stored per chain, row and contrast
    std::size_t draw_bytes = 0;     // all chains
    std::int32_t at_once = 1;       // chains running at once
    std::size_t store_budget = 0;   // the engine's store budget of each of them
    std::size_t store_bytes = 0;    // their stores together (0: they replay)
    std::size_t total() const { return trace_bytes + draw_bytes + store_bytes; }
};
MemoryPlan plan_memory(const driver::Arguments& a, const ChainSettings& settings);

// Progress over all chains: called (under a lock, from the thread that ran
// the iteration) with the iterations done in all chains and their total;
// the calling thread runs chain 1, and once it has no chain left it calls
// report and stop every 20 ms until the other threads are done, so that a
// host that only listens on that thread sees progress and can stop the
// run throughout.  stop, when it returns true, abandons every chain.
struct ChainProgress {
    void (*report)(void* context, std::int64_t done, std::int64_t total) = nullptr;
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
};

// Outputs of one chain, laid out as kestrum_'s.
struct ChainOutputs {
    std::vector<double> prob, pmeanbar, pvarbar, gmeanbar, gvarbar;
    std::vector<double> pjoint;  // L: the joint frequency, also for two groups
    bool ok = false;
};

// over_budget: the memory plan does not fit (nothing was run).
enum class ChainsStatus { ok, memory, cancelled, over_budget };

struct ChainsResult {
    std::vector<ChainOutputs> out;
    std::vector<ChainRecord> rec;
};

// The number of chains that can run at once on this machine: its cores
// (1 when unknown, or when the C++ library has no threads; at most 1024).
std::int32_t available_threads();

// Runs settings.chains chains of the run a (a.nkeep >= 2 expected).  The
// library's messages of every chain go to the calling thread's message
// sink, one line at a time.  A thread that cannot be started (std::thread
// throws std::system_error when the system has none to give) leaves its
// chains to the threads that did start, the calling thread among them:
// the same bits, only later.
ChainsStatus run_chains(const driver::Arguments& a, const ChainSettings& settings,
                        ChainsResult& result, const ChainProgress& progress = {});

// Pooled summaries of the chains, per row g (L rows, J groups):
//   gmeanbar, gvarbar, pmeanbar, pvarbar, prob: the mean over chains of
//     each chain's value (the chains have the same number of kept draws,
//     so for the posterior means this is the mean of all pooled draws; for
//     the tail frequencies each chain's draws are judged against that
//     chain's own covariance);
//   joint (two groups): the mean over chains of each chain's joint
//     frequency (which prob has no column for then), with its standard
//     error as prob's;
//   tail_ess[g]: the effective sample size of the mean test's indicator
//     over the stored draws (each chain's stored contrasts d judged as its
//     run judges the kept draws, d' S^-1 d > 6 with S their covariance in
//     that chain; the chains split in halves; effective_sample_size of
//     the 2C sequences); all stored draws when the indicator does not vary
//     on them; NaN with fewer than 8 stored draws a chain;
//   mcse[g + i*L] (i = 0: p_mean, 1: p_joint): sqrt(phi f (1 - f) /
//     tail_ess[g]), f the frequency.  The stored draws are every step-th
//     kept draw, so tail_ess counts the information of the draws in
//     between only in part; phi, one factor per run and frequency, puts it
//     back: the sum over the rows with rhat_flag 0 of the chains' own
//     frequencies' spread, sum_c (f_c - f)^2 / (C (C - 1)) (an unbiased
//     estimate of f's variance however the draws are correlated, but of 3
//     degrees of freedom a row with 4 chains), over the sum of
//     f (1 - f) / tail_ess, at least 1 / step; 1 with one chain.  Without
//     tail_ess (no draws stored) the spread of the chain values alone,
//     sd over chains / sqrt(C), NaN with one chain;
//   ess[g]: the smallest bulk effective sample size of the row's mean
//     contrasts over the stored draws (split_diagnostics);
//   mixing[g]: the smallest tail probability of the row's mixing tests
//     (split_diagnostics), rhat_flag[g] 1 when it is below
//     rhat_flag_level(rows judged, J - 1), else 0 (NaN without draws);
//   diff, lower, upper [g + i*L], i < J - 1: the posterior mean of
//     mean_(i+2) - mean_1 (from gmeanbar) and the 2.5% and 97.5%
//     quantiles of the stored draws of all chains;
//   rhat[g]: the largest rank-normalised split R-hat of the row's mean
//     contrasts over the chains' stored draws (NaN for J = 1);
//   status[g]: kRowNotFinite (analysis/rows.h) when a posterior mean of
//     the row is not a finite number (its draws became non-finite in some
//     chain): its frequencies, standard errors, bounds, R-hat, ESS and
//     flag are then NaN, never a count of 0; kRowOk otherwise.
struct Pooled {
    std::vector<double> prob, pmeanbar, pvarbar, gmeanbar, gvarbar;
    std::vector<double> mcse, diff, lower, upper, rhat;
    std::vector<double> ess, tail_ess, mixing, rhat_flag;  // L
    std::vector<double> joint;  // L, two groups only
    std::vector<std::int32_t> status;
};
void pool_chains(const ChainsResult& r, std::int32_t nrow, std::int32_t ngrp, Pooled& p);

// Acceptance of the rate update's trials in chain c, group j, over the
// iterations [from, to) (0-based, burn-in first): accepted / (10 * count);
// NaN for an empty range.
double acceptance(const ChainRecord& r, std::int64_t j, std::int64_t from, std::int64_t to);

// A group whose rate update looks stuck in a chain: during the second half
// of the burn-in (the kept iterations when B < 2) fewer than 1% of the
// trials were accepted, or the rate never left its starting value 2.0.
// Fewer than kMinStuckWindow iterations to look at are too few to judge:
// nothing is reported then.
inline constexpr std::int64_t kMinStuckWindow = 10;
struct StuckRate {
    std::int32_t chain = 0, group = 0;  // 0-based
    double acceptance = 0.0;            // over the iterations checked
    double rate = 0.0;                  // at the end of those iterations
};
std::vector<StuckRate> stuck_rates(const ChainsResult& r);
// The same judgement for group j of one chain's record: whether its rate
// looks stuck, with *acc (when not null) its acceptance over the window.
// False when the window is too short or the record holds no rate trace.
bool rate_stuck(const ChainRecord& r, std::int64_t j, double* acc = nullptr);

namespace detail {
// How run_chains starts each thread beside the calling one: start_thread
// runs body(context) on a new thread held by pool, or throws as
// std::thread's constructor does.  Tests replace chain_thread_start (and
// put it back) to make starts fail; nothing else changes it.
struct ThreadPool;
using ThreadStart = void (*)(ThreadPool& pool, void (*body)(void*), void* context);
void start_thread(ThreadPool& pool, void (*body)(void*), void* context);
extern ThreadStart chain_thread_start;
}  // namespace detail

}  // namespace kestrum::analysis
