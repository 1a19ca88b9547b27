// The estimation engine: the sampling loop and the summaries of one run in
// memory that does not grow with the number of kept iterations, on one
// thread or with the rows shared among several, with the same bits in every
// case as a plain loop over full kept-draw stores followed by plain
// summaries (the reference the tests compare it with, in tests/support).
//
// Memory.  The summaries visit every kept draw twice.  The first visit only
// adds up (sums of the draws, of the contrasts d and c, of their squares and
// of the cross products of u = (d, c)), in kept order, so it is done while
// sampling, right after each row's sweep, into per-row accumulators.  The
// second visit evaluates the two quadratic forms with the inverses of the
// covariances that the first visit yields, so it needs each draw's contrast
// vector u again.  Two ways, chosen per run (SecondPass):
//   stores  keep u of every row and kept iteration: 8 L K 2(J - 1) bytes;
//   replay  keep nothing: a checkpoint taken when the burn-in ends (the
//           generator record and positions, the normal routine's saved
//           deviate, the rates and running sums, every row's state) lets
//           the kept iterations run again after the first visit, drawing
//           the very same variates, and the forms are evaluated as the
//           draws come.  Memory O(L J^2); time (B + 2K)/(B + K) of a stores
//           run.  The generator ends where one pass leaves it.
// Either way the rest is O(L J^2): per-row statistics and state, per-row
// accumulators (2J + 2 + 4(J - 1) + D(D - 1)/2 doubles) and per-row inverses
// (D^2 + (J - 1)^2 doubles).  With J = 1 or K = 0 there is no second visit.
//
// Threads.  The stream of standard variates of a run depends only on the
// generator state and on the sizes: each rate update draws ten normals and
// ten uniforms, the pooled-rate gamma and every row's gammas have shapes
// fixed by the group sizes, and the normals are standard before they are
// scaled.  With threads > 1 (and the generator stream as source) the
// calling thread therefore draws every variate in stream order - the rate
// updates' normals and uniforms, the gammas, and for each normal of a row
// sweep either the pair of uniforms of its Box-Muller transform or the
// saved deviate - up to one iteration ahead of the rows; the transform
// itself (log, sqrt, sincos) is done by whichever thread sweeps the row.
// Rows are swept in chunks by every thread, the calling one included.  The
// running sums of reciprocal variances are then adjusted in row order on
// the calling thread, exactly as the one-thread loop does; the kept-draw
// bookkeeping is per row.  The rate updates (and the shared blocks they
// write) stay on the calling thread.  So the results, the generator's final
// state and every message are the same at every thread count.
//
// Lanes.  For the same reason the variates of several rows can be drawn
// before any of them is swept: with options.lanes allowing it and callees
// that let it happen (rows_in_lanes), the rows are taken 2 or 4 at a time
// (posterior/sweep_lanes.h), their variates drawn in stream order (all of
// row g's, then all of row g+1's), their sweeps done side by side in SIMD
// lanes with the scalar bits, and each row's bookkeeping then done in row
// order as for rows swept one at a time.  With threads the same happens
// inside each chunk, from the variates the calling thread drew.
//
// Messages.  Only the drawing writes messages (the gamma parameter message
// of a non-positive shape), and all drawing is on the calling thread, in
// stream order: messages come out through the calling thread's sink, in the
// order of a one-thread run; with threads they may come up to one iteration
// before the progress report of the iteration they belong to.  A replay
// writes no message: those of its draws were written in the first pass.
//
// Progress.  report gets (done, total) after every iteration, on the calling
// thread; a replay run counts its kept iterations twice (total = B + 2K).
// stop is asked after every iteration; an abandoned run leaves the
// generator where its draws had got to (with threads, up to one iteration
// ahead of the last iteration swept).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "driver/run.h"
#include "driver/sampling.h"
#include "driver/summaries.h"
#include "driver/workspace.h"
#include "posterior/sweep_lanes.h"
#include "random/box_muller.h"
#include "random/messages.h"
#include "random/stream.h"

namespace kestrum::driver {

// Obtains a block of n doubles (n may be 0), or nullptr when it cannot.
using Allocate = double* (*)(std::size_t n);

// The default budget for the contrast stores of a run: 256 MiB.
inline constexpr std::size_t kDefaultStoreBudget = std::size_t{256} << 20;

// A starting state other than the fixed one of prepare_engine: per row
// the group means and variances (L x J, column by column as Run::gmean and
// Run::gvar), the pooled mean and variance (L each, read only when ipool is
// 1; otherwise they keep their fixed values) and the J rates of the group
// variance priors.  The running sums are formed from it in row order.
struct StartState {
    const double* gmean = nullptr;
    const double* gvar = nullptr;
    const double* pmean = nullptr;
    const double* pvar = nullptr;
    const double* vrate = nullptr;
};

struct EngineOptions {
    // Threads that sweep rows (the calling thread is one of them).  1 (or
    // less): everything on the calling thread.  More than one only takes
    // effect with the generator stream as the source.
    int threads = 1;
    // Bytes the contrast stores may take; a run whose stores would take
    // more replays.  SIZE_MAX: stores whenever they can be allocated.
    std::size_t store_budget = kDefaultStoreBudget;
    // Where the chain starts; nullptr: the fixed start (every group mean 0,
    // variance 1, rate 2), as kestrum_ starts.
    const StartState* start = nullptr;
    // Rows swept side by side in SIMD lanes (posterior/sweep_lanes.h): 0
    // as many as the processor allows, n > 0 at most n (1: one row at a
    // time).  The bits are the same whatever the width.
    int lanes = 0;
};

enum class SecondPass { none, stores, replay };

// The engine's workspace beside the Run's per-row state and statistics.
struct Bounded {
    SecondPass mode = SecondPass::none;
    int threads = 1;
    int lanes = 1;  // rows per lane group (1: one row at a time)
    std::int64_t M = 0;       // J - 1 mean contrasts
    std::int64_t ncross = 0;  // D(D - 1)/2 cross sums
    std::int64_t A = 0;       // accumulator doubles per row
    std::int64_t Q = 0;       // inverse doubles per row: M^2 + D^2
    double* acc = nullptr;    // L x A, row g at g*A
    double* inv = nullptr;    // L x Q: mcovinv then dcovinv
    double* counts = nullptr; // L x 2: hits of the two forms
    double* store = nullptr;  // K x L x D: u of row g, kept draw k at (k*L + g)*D

    // Checkpoint at the end of the burn-in (replay).
    double* cp_gmean = nullptr;
    double* cp_gvar = nullptr;
    double* cp_pmean = nullptr;
    double* cp_pvar = nullptr;
    double* cp_vrate = nullptr;
    double* cp_precsum = nullptr;
    double cp_prate = 0.0, cp_pprecsum = 0.0, cp_ratesum = 0.0;

    // Per-thread scratch: row buffers (4J), u (D for each of the lanes),
    // old reciprocals (J + 1), the sweep's scratch.
    std::size_t sweep_doubles = 0;
    std::size_t per_thread = 0;
    double* thread_scratch = nullptr;

    // Threads only: old and new reciprocal variances of every row (L x (J+1),
    // the pooled one last) and two iteration slots of drawn variates.
    double* rold = nullptr;
    double* rnew = nullptr;
    double* feed = nullptr;
    std::int64_t G = 0;           // gammas (and normals) per row: J, +1 pooled
    std::int64_t head = 0;        // doubles of an iteration's rate-step variates
    std::int64_t row_stride = 0;  // doubles per row: G gammas, G normal slots of 3
    std::int64_t slot = 0;        // doubles per iteration slot
};

// Row buffers of one thread.
struct RowScratch {
    double* ybar;
    double* s2;
    double* gmean;
    double* gvar;
    double* u;
    double* old;  // J + 1: a row's old reciprocal variances (one thread)
    double* sweep;
};
RowScratch row_scratch(const Run& r, const Bounded& b, int thread);

// Plans (arena without a block) or carves the engine's workspace.
void carve_engine(Arena& arena, Run& r, Bounded& b);

// Obtains the engine's workspace for the given second pass in one block
// (nullptr when the extents do not fit or allocation fails).
double* obtain_engine_workspace(Run& r, Bounded& b, Allocate allocate);

// Starting values and per-row statistics (rows that run past N read NaN).
void prepare_engine(Run& r, Bounded& b);

// Replaces the fixed starting values that prepare_engine set by start, and
// forms the running sums (precsum, pprecsum, ratesum) from them.  Every
// later phase (threads, the replay's checkpoint) starts from this state.
void apply_start(Run& r, const StartState& start);

// Bookkeeping of row g after its sweep in kept iteration k (0-based): in the
// first visit its accumulators (and its stored u), in the replay its forms.
// roots, when given, holds the cube roots of the row's J variances at
// roots[j * rstride] (computed beforehand for several rows at once).
void keep_row(const Run& r, Bounded& b, std::int64_t g, std::int64_t k, bool replay_pass,
              double* u, const double* roots = nullptr, std::int64_t rstride = 0);

// After the first visit: per row, means, covariances, the two inverses.
void finish_first_visit(Run& r, Bounded& b);

// The second visit over the stores (stores mode).
void evaluate_stores(const Run& r, Bounded& b);

// Writes the outputs of every row from the accumulators and counts.
void write_outputs(const Run& r, const Bounded& b, const Outputs& out);

// Rows swept in lanes.  Callees that can have their row sweeps done by
// the lanes instead of their own row_sweep say so with a member
// rows_in_lanes(ngrp); without it every row goes through row_sweep.  A
// member row_swept(ngrp, u), when they have one, is called for every row
// once its sweep and its bookkeeping are done, whether row_sweep or the
// lanes swept it (on one thread in row order; with threads by the thread
// that swept the row), with u: in a kept iteration
// of two or more groups the row's contrasts (d_1 .. d_(J-1), c_1 ..
// c_(J-1)) as keep_row formed them for the tail tests, so the cube roots
// of a kept draw's variances are taken once; nullptr otherwise.  A replay
// sweeps the kept iterations a second time.
template <class C, class = void>
struct HasRowLanes : std::false_type {};
template <class C>
struct HasRowLanes<C, std::void_t<decltype(std::declval<const C&>().rows_in_lanes(0))>>
    : std::true_type {};
template <class C, class = void>
struct HasRowSwept : std::false_type {};
template <class C>
struct HasRowSwept<C, std::void_t<decltype(std::declval<C&>().row_swept(0, nullptr))>>
    : std::true_type {};

// The width rows just swept, to the callees' row_swept after their
// bookkeeping in iteration k (k < 0: not kept); lane l's contrasts at
// rs.u + l * D.
template <class Callees>
void rows_swept(Callees& callees, const Run& r, const RowScratch& rs, int width, std::int64_t k) {
    if constexpr (HasRowSwept<Callees>::value) {
        const bool kept = k >= 0 && r.d.J >= 2;
        for (int l = 0; l < width; ++l)
            callees.row_swept(r.ngrp, kept ? rs.u + l * r.d.D : nullptr);
    }
}

template <class Callees>
int lane_width(const Run& r, const Bounded& b, const Callees& callees) {
    if constexpr (HasRowLanes<Callees>::value) {
        if (b.lanes > 1 && callees.rows_in_lanes(r.ngrp)) return b.lanes;
    }
    return 1;
}

// The arguments of the row sweep that every row shares.
posterior::SweepShared sweep_shared(const Run& r);

// --- One row step ------------------------------------------------------------
//
// The bookkeeping around a row's sweep, the same for a row swept alone or
// in lanes and for both schedules.  row_before: the row's old reciprocal
// variances (J groups, the pooled one last) to old.  row_after, once the
// row's new state is written: on one thread (threaded false) the running
// sums lose the old reciprocals and gain the new ones, in that order, row
// by row; with threads the new ones go to rnew, old having been rold, and
// the calling thread adjusts the sums in row order (reduce_sums); then
// keep_row in a kept iteration (k >= 0).
void row_before(const Run& r, std::int64_t g, double* old);
void row_after(Run& r, Bounded& b, std::int64_t g, const double* old, bool threaded,
               std::int64_t k, bool replay_pass, double* u, const double* roots = nullptr,
               std::int64_t rstride = 0);

// The old reciprocals' place: rold with threads, the thread's scratch on one.
inline double* row_old(const Run& r, const Bounded& b, const RowScratch& rs, std::int64_t g,
                       bool threaded) {
    return threaded ? b.rold + g * (r.d.J + 1) : rs.old;
}

// One row swept by the callees, drawing from src, with its bookkeeping.
template <class Source, class Callees>
void row_step(Source& src, Run& r, Bounded& b, Callees& callees, const RowScratch& rs,
              std::int64_t g, bool threaded, std::int64_t k, bool replay_pass) {
    const std::int64_t L = r.d.L, J = r.d.J;
    double* const old = row_old(r, b, rs, g, threaded);
    row_before(r, g, old);
    for (std::int64_t j = 0; j < J; ++j) {
        const std::int64_t at = g + j * L;
        rs.ybar[j] = r.ybar[at];
        rs.s2[j] = r.s2[at];
        rs.gmean[j] = r.gmean[at];
        rs.gvar[j] = r.gvar[at];
    }
    double ybar0 = r.ybar0[g];
    double s20 = r.s20[g];
    double pmean = r.pmean[g];
    double pvar = r.pvar[g];
    callees.row_sweep(src, r.ngrp, r.ipool, &r.ntot, r.nobs, r.vshape, r.vrate, &r.pshape,
                      &r.prate, r.effvar, r.mvar, rs.ybar, rs.s2, &ybar0, &s20, rs.gmean,
                      rs.gvar, &pmean, &pvar, rs.sweep);
    for (std::int64_t j = 0; j < J; ++j) {
        const std::int64_t at = g + j * L;
        r.gmean[at] = rs.gmean[j];
        r.gvar[at] = rs.gvar[j];
    }
    r.pmean[g] = pmean;
    r.pvar[g] = pvar;
    row_after(r, b, g, old, threaded, k, replay_pass, rs.u);
    rows_swept(callees, r, rs, 1, k);
}

// Rows g..g+width-1 swept in lanes from their drawn variates (gam and z as
// posterior::LaneRows has them), each row's bookkeeping then done in row
// order as for rows swept alone, lane l's contrasts to rs.u + l * D.
void sweep_lane_group(Run& r, Bounded& b, const posterior::SweepShared& sh, const RowScratch& rs,
                      std::int64_t g, int width, const double* gam, const double* z,
                      bool threaded, std::int64_t k, bool replay_pass);

// Checkpoint of the sampler's own state (rows, rates, running sums).
void save_state(Run& r, Bounded& b);
void restore_state(Run& r, Bounded& b);

// --- The source's state for a replay ---------------------------------------

// A copy of the source; for the generator stream, its record and positions.
template <class Source>
struct SourceCheckpoint {
    Source saved{};
    void save(const Source& s) { saved = s; }
    void restore(Source& s) const { s = saved; }
};

template <>
struct SourceCheckpoint<random::Stream> {
    random::Record rec{};
    random::Stream st{nullptr};
    void save(random::Stream& s) {
        s.ahead_sync();  // the record where the variates taken leave it
        rec = *s.rec;
        st = s;
    }
    void restore(random::Stream& s) const {
        random::Record* const bound = s.rec;
        s = st;
        s.rec = bound;
        *bound = rec;
    }
};

// --- One thread --------------------------------------------------------------

// Step C with the engine's bookkeeping: as the reference's sweep_rows, the
// row buffers from the thread's scratch, and keep_row after every kept row.
// Rows that fill a lane group are swept in lanes, their variates drawn
// first in stream order (all of row g's, then all of row g+1's, ...).
template <class Source, class Callees>
void sweep_rows_engine(Source& src, Run& r, Bounded& b, Callees& callees, std::int64_t k,
                       bool replay_pass) {
    const std::int64_t L = r.d.L;
    const RowScratch rs = row_scratch(r, b, 0);
    std::int64_t g = 0;
    const int width = lane_width(r, b, callees);
    if (width > 1) {
        const posterior::SweepShared sh = sweep_shared(r);
        double gam[posterior::kMaxRowLanes * posterior::kMaxLaneVariates];
        double z[posterior::kMaxRowLanes * posterior::kMaxLaneVariates];
        for (; g + width <= L; g += width) {
            for (int l = 0; l < width; ++l) {
                posterior::draw_row_variates(src, sh, gam + l, z + l, width);
            }
            sweep_lane_group(r, b, sh, rs, g, width, gam, z, false, k, replay_pass);
            rows_swept(callees, r, rs, width, k);
        }
    }
    for (; g < L; ++g) row_step(src, r, b, callees, rs, g, false, k, replay_pass);
}

// The generator stream makes its uniforms in blocks while the engine runs
// (Stream's lookahead); a scripted source has nothing of the kind.
// sync_source() puts the record where the variates taken leave it, and
// LookaheadScope turns the blocks on for a run and syncs at its end, also
// when the run is abandoned.
template <class Source>
void sync_source(Source&) {}
inline void sync_source(random::Stream& s) { s.ahead_sync(); }

template <class Source>
struct LookaheadScope {
    explicit LookaheadScope(Source&) {}
};
template <>
struct LookaheadScope<random::Stream> {
    random::Stream& s;
    explicit LookaheadScope(random::Stream& st) : s(st) { s.ahead_begin(); }
    ~LookaheadScope() { s.ahead_end(); }
    LookaheadScope(const LookaheadScope&) = delete;
    LookaheadScope& operator=(const LookaheadScope&) = delete;
};

// Iterations first..last (1-based) on the calling thread.  done counts the
// iterations reported so far.  Returns false when stop asked.
template <class Source, class Callees>
bool run_iterations_serial(Source& src, Run& r, Bounded& b, Callees& callees, std::int64_t first,
                           std::int64_t last, bool replay_pass, SourceCheckpoint<Source>* cp,
                           const Progress& progress, std::int64_t& done, std::int64_t total) {
    const std::int64_t B = r.d.B;
    for (std::int64_t it = first; it <= last; ++it) {
        if (cp != nullptr && it == B + 1) {
            cp->save(src);
            save_state(r, b);
        }
        update_group_rates(src, r, callees);
        update_pooled_rate(src, r);
        sweep_rows_engine(src, r, b, callees, it > B ? it - B - 1 : -1, replay_pass);
        sync_source(src);
        ++done;
        if (progress.report != nullptr) progress.report(progress.context, done, total);
        if (progress.stop != nullptr && progress.stop(progress.context)) return false;
    }
    return true;
}

// --- Several threads --------------------------------------------------------

namespace detail {

// The replay draws the kept iterations a second time: their messages were
// written the first time and are not written again.
inline void drop_message_line(void*, const char*) {}
inline constexpr MessageSink kDropMessages{drop_message_line, nullptr};

// The value of one normal slot (3 doubles: a, b, kind): kind 0 a deviate
// given as it is (a normal saved before the run began), kind 1 the cosine
// deviate of the pair (a, b), kind 2 its sine deviate.
inline double slot_deviate(const double* slot) {
    if (slot[2] == 0.0) return slot[0];
    double c, s;
    random::box_muller(slot[0], slot[1], &c, &s);
    return slot[2] == 1.0 ? c : s;
}

// The variates of the rate steps, read back in the order they were drawn.
struct HeadFeed {
    const double* p;
    double normal(double mu, double sigma) {
        const double z = slot_deviate(p);
        p += 3;
        return z * sigma + mu;
    }
    double uniform() { return *p++; }
};

// The variates of one row sweep: its gammas (drawn with the parameter check
// and rate 1, as the sweep asks for them), then its normals, the transform
// done here; a pair whose both halves fall in the row is transformed once.
struct RowFeed {
    const double* gam;
    const double* nrm;
    double saved = 0.0;
    bool have = false;
    double gamma(double, double) { return *gam++; }
    double gamma_core(double, double) { return *gam++; }
    double normal(double mu, double sigma) {
        double z;
        if (nrm[2] == 1.0) {
            random::box_muller(nrm[0], nrm[1], &z, &saved);
            have = true;
        } else if (nrm[2] == 2.0 && have) {
            z = saved;
            have = false;
        } else {
            z = slot_deviate(nrm);
            have = false;
        }
        nrm += 3;
        return z * sigma + mu;
    }
    double uniform();  // a row sweep draws no uniform (never defined)
};

// Draws a run's variates from the generator in stream order.  The normal
// routine's saved deviate is followed here and written back to the stream
// by sync().
struct Producer {
    random::Stream* s = nullptr;
    bool have_spare = false;  // a deviate saved before the run, not yet used
    double spare = 0.0;
    bool pending = false;     // the sine half of the last pair is still to come
    bool any_normal = false;
    bool any_pair = false;
    double pu1 = 0.0, pu2 = 0.0;  // the last pair

    void begin(random::Stream& st) {
        s = &st;
        have_spare = st.nstat > 0;
        spare = st.nspare;
    }
    void normal_slot(double* out) {
        any_normal = true;
        if (have_spare) {
            out[0] = spare;
            out[1] = 0.0;
            out[2] = 0.0;
            have_spare = false;
        } else if (pending) {
            out[0] = pu1;
            out[1] = pu2;
            out[2] = 2.0;
            pending = false;
        } else {
            pu1 = s->uniform();
            pu2 = s->uniform();
            out[0] = pu1;
            out[1] = pu2;
            out[2] = 1.0;
            pending = true;
            any_pair = true;
        }
    }
    // The stream's saved-deviate state as the one-thread run leaves it.
    void sync() const {
        if (any_normal) s->nstat = pending ? 1 : 0;
        if (any_pair) {
            double c;
            random::box_muller(pu1, pu2, &c, &s->nspare);
        }
    }
};

}  // namespace detail

// The whole threaded sampling of iterations first..last.
template <class Callees>
class ThreadedSampler {
public:
    ThreadedSampler(random::Stream& s, Run& r, Bounded& b, Callees& callees)
        : s_(s), r_(r), b_(b), callees_(callees) {
        const std::int64_t L = r.d.L;
        // Chunks of 32 to 256 rows, about eight a thread: each chunk costs
        // a few hand-overs between the threads (measured: with 32 rows a
        // chunk at L = 10 000 they slowed the drawing thread by a third),
        // and the last chunk of an iteration leaves the others idle.
        const std::int64_t per = L / (8 * static_cast<std::int64_t>(b.threads));
        chunk_ = std::max<std::int64_t>(32, std::min<std::int64_t>(256, per / 4 * 4));
        nchunks_ = (L + chunk_ - 1) / chunk_;
        sink_ = current_message_sink();
        // A thread that cannot be started leaves its share to the others
        // (the calling thread alone can sweep every row).
        try {
            for (int t = 1; t < b.threads; ++t) workers_.emplace_back([this, t] { work(t); });
        } catch (...) {
        }
    }
    ~ThreadedSampler() {
        {
            std::lock_guard<std::mutex> lock(m_);
            quit_ = true;
        }
        cv_work_.notify_all();
        for (auto& w : workers_) w.join();
    }
    ThreadedSampler(const ThreadedSampler&) = delete;
    ThreadedSampler& operator=(const ThreadedSampler&) = delete;

    void begin() { prod_.begin(s_); }
    void sync() const { prod_.sync(); }

    // The generator and the producer's view of the saved normal deviate, as
    // they stood before the first draw of the first kept iteration.
    struct ProducerCheckpoint {
        SourceCheckpoint<random::Stream> stream;
        detail::Producer prod;
    };
    void restore(const ProducerCheckpoint& cp) {
        cp.stream.restore(s_);
        prod_ = cp.prod;
        prod_.s = &s_;
    }

    bool run(std::int64_t first, std::int64_t last, bool replay_pass, ProducerCheckpoint* cp,
             const Progress& progress, std::int64_t& done, std::int64_t total) {
        const std::int64_t B = r_.d.B;
        last_ = last;
        replay_ = replay_pass;
        cp_ = cp;
        {
            std::lock_guard<std::mutex> lock(m_);
            prod_it_ = first;
            prod_rows_ = -1;  // -1: the head of prod_it_ not drawn yet
            open_it_ = 0;
        }
        for (std::int64_t it = first; it <= last; ++it) {
            if (cp != nullptr && it == B + 1) save_state(r_, b_);
            while (true) {  // the head of iteration it must be drawn
                std::unique_lock<std::mutex> lock(m_);
                if (prod_it_ > it || (prod_it_ == it && prod_rows_ >= 0)) break;
                lock.unlock();
                produce_step();
            }
            // Steps A and B from the drawn variates.
            const double* head = slot_of(it);
            detail::HeadFeed hf{head};
            update_group_rates(hf, r_, callees_);
            const double draw = *hf.p;
            r_.prate = draw / (1.0 / r_.prscale + r_.pprecsum);
            // Step C: open the rows to every thread.
            {
                std::lock_guard<std::mutex> lock(m_);
                open_it_ = it;
                next_chunk_ = 0;
                chunks_done_ = 0;
            }
            cv_work_.notify_all();
            while (true) {
                std::unique_lock<std::mutex> lock(m_);
                if (chunks_done_ == nchunks_) break;
                const bool can_produce = prod_it_ <= last_ && prod_it_ <= it + 1;
                if (can_produce) {
                    lock.unlock();
                    produce_step();
                    continue;
                }
                if (next_chunk_ < nchunks_ && chunk_ready(next_chunk_)) {
                    const std::int64_t c = next_chunk_++;
                    lock.unlock();
                    sweep_chunk(0, it, c);
                    lock.lock();
                    ++chunks_done_;
                    continue;
                }
                cv_done_.wait(lock);
            }
            {
                std::lock_guard<std::mutex> lock(m_);
                open_it_ = 0;
            }
            reduce_sums();
            s_.ahead_sync();  // this thread is the one that draws
            ++done;
            if (progress.report != nullptr) progress.report(progress.context, done, total);
            if (progress.stop != nullptr && progress.stop(progress.context)) return false;
        }
        return true;
    }

private:
    double* slot_of(std::int64_t it) const { return b_.feed + (it & 1) * b_.slot; }

    bool chunk_ready(std::int64_t c) const {  // with m_ held
        const std::int64_t end = std::min((c + 1) * chunk_, r_.d.L);
        return prod_it_ > open_it_ || (prod_it_ == open_it_ && prod_rows_ >= end);
    }

    // Draws the next piece in stream order: the head of an iteration, or a
    // chunk of its rows.
    void produce_step() {
        std::int64_t it, rows;
        {
            std::lock_guard<std::mutex> lock(m_);
            it = prod_it_;
            rows = prod_rows_;
        }
        const std::int64_t L = r_.d.L, J = r_.d.J;
        double* slot = slot_of(it);
        if (rows < 0) {
            if (cp_ != nullptr && it == r_.d.B + 1) {
                cp_->stream.save(s_);
                cp_->prod = prod_;
            }
            double* p = slot;
            for (std::int64_t j = 0; j < J; ++j) {
                for (int trial = 0; trial < 10; ++trial) {
                    prod_.normal_slot(p);
                    p[3] = s_.uniform();
                    p += 4;
                }
            }
            const double shape = static_cast<double>(r_.nrow) * r_.pshape + r_.prshape;
            if (shape <= 0.0) {
                write_gamma_parameter_message();
                *p = 0.0;
            } else {
                *p = s_.gamma_core(shape, 1.0);
            }
            rows = 0;
        } else {
            const std::int64_t end = std::min(rows + chunk_, L);
            const bool pooled = r_.ipool == 1;
            for (std::int64_t g = rows; g < end; ++g) {
                double* row = slot + b_.head + g * b_.row_stride;
                double* gam = row;
                for (std::int64_t j = 0; j < J; ++j) {
                    const double shape = 0.5 * static_cast<double>(r_.nobs[j]) + r_.vshape[j];
                    *gam++ = s_.gamma(shape, 1.0);
                }
                if (pooled) *gam++ = s_.gamma(0.5 * static_cast<double>(r_.ntot) + r_.pshape, 1.0);
                double* nrm = row + b_.G;
                for (std::int64_t i = 0; i < b_.G; ++i) prod_.normal_slot(nrm + 3 * i);
            }
            rows = end;
        }
        bool wake;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (rows >= L) {
                prod_it_ = it + 1;
                prod_rows_ = -1;
            } else {
                prod_rows_ = rows;
            }
            // Rows drawn ahead of the open iteration wait for its opening,
            // which wakes the threads itself: a wake-up now would find no
            // work (and costs a system call per chunk drawn).
            wake = idle_ > 0 && it == open_it_;
        }
        if (wake) cv_work_.notify_all();
    }

    void work(int t) {
        ScopedMessageSink sink(sink_);
        std::unique_lock<std::mutex> lock(m_);
        while (true) {
            if (quit_) return;
            if (open_it_ != 0 && next_chunk_ < nchunks_ && chunk_ready(next_chunk_)) {
                const std::int64_t it = open_it_;
                const std::int64_t c = next_chunk_++;
                lock.unlock();
                sweep_chunk(t, it, c);
                lock.lock();
                ++chunks_done_;
                if (chunks_done_ == nchunks_) cv_done_.notify_all();
                continue;
            }
            ++idle_;
            cv_work_.wait(lock);
            --idle_;
        }
    }

    // Sweeps rows of chunk c of iteration it with thread t's scratch.  Writes
    // only those rows' state, reciprocals and bookkeeping.
    void sweep_chunk(int t, std::int64_t it, std::int64_t c) {
        Run& r = r_;
        const std::int64_t L = r.d.L, B = r.d.B;
        const RowScratch rs = row_scratch(r, b_, t);
        const double* slot = slot_of(it);
        const std::int64_t end = std::min((c + 1) * chunk_, L);
        const std::int64_t k = it > B ? it - B - 1 : -1;
        std::int64_t g = c * chunk_;
        const int width = lane_width(r, b_, callees_);
        if (width > 1) {
            const posterior::SweepShared sh = sweep_shared(r);
            double gam[posterior::kMaxRowLanes * posterior::kMaxLaneVariates];
            double z[posterior::kMaxRowLanes * posterior::kMaxLaneVariates];
            for (; g + width <= end; g += width) {
                for (int l = 0; l < width; ++l) {
                    const double* row = slot + b_.head + (g + l) * b_.row_stride;
                    detail::RowFeed feed{row, row + b_.G};
                    posterior::draw_row_variates(feed, sh, gam + l, z + l, width);
                }
                sweep_lane_group(r, b_, sh, rs, g, width, gam, z, true, k, replay_);
                rows_swept(callees_, r, rs, width, k);
            }
        }
        for (; g < end; ++g) {
            const double* row = slot + b_.head + g * b_.row_stride;
            detail::RowFeed feed{row, row + b_.G};
            row_step(feed, r, b_, callees_, rs, g, true, k, replay_);
        }
    }

    // The running sums, adjusted row by row as the one-thread loop does.
    void reduce_sums() {
        Run& r = r_;
        const std::int64_t L = r.d.L, J = r.d.J, R = J + 1;
        for (std::int64_t g = 0; g < L; ++g) {
            const double* ro = b_.rold + g * R;
            const double* rn = b_.rnew + g * R;
            for (std::int64_t j = 0; j < J; ++j) {
                r.precsum[j] = r.precsum[j] - ro[j];
                r.precsum[j] = r.precsum[j] + rn[j];
            }
            const double rest = r.pprecsum - ro[J];
            r.pprecsum = rest + rn[J];
        }
    }

    random::Stream& s_;
    Run& r_;
    Bounded& b_;
    Callees& callees_;
    MessageSink sink_;
    detail::Producer prod_;
    std::vector<std::thread> workers_;
    std::mutex m_;
    std::condition_variable cv_work_, cv_done_;
    bool quit_ = false;
    std::int64_t chunk_ = 32;  // rows a chunk
    std::int64_t nchunks_ = 0;
    std::int64_t open_it_ = 0, next_chunk_ = 0, chunks_done_ = 0;
    int idle_ = 0;  // threads waiting for work
    std::int64_t prod_it_ = 0, prod_rows_ = -1;
    std::int64_t last_ = 0;
    bool replay_ = false;
    ProducerCheckpoint* cp_ = nullptr;
};

// --- The whole run -------------------------------------------------------------

// Sampling with the chosen second pass, then the summaries.  Returns false
// when stop abandoned the run (outputs untouched).
template <class Source, class Callees>
bool run_engine(Source& src, Run& r, Bounded& b, Callees& callees, const Outputs& out,
                const Progress& progress) {
    const std::int64_t B = r.d.B, K = r.d.K, T = B + K;
    const bool replay = b.mode == SecondPass::replay;
    const std::int64_t total = T + (replay ? K : 0);
    std::int64_t done = 0;
    bool threaded = false;
    if constexpr (std::is_same_v<Source, random::Stream>) threaded = b.threads > 1;
    LookaheadScope<Source> blocks(src);
    if (T >= 1) {
        if (threaded) {
            if constexpr (std::is_same_v<Source, random::Stream>) {
                ThreadedSampler<Callees> ts(src, r, b, callees);
                typename ThreadedSampler<Callees>::ProducerCheckpoint cp;
                ts.begin();
                bool ok = ts.run(1, T, false, replay ? &cp : nullptr, progress, done, total);
                if (ok && replay) {
                    finish_first_visit(r, b);
                    restore_state(r, b);
                    ts.restore(cp);
                    ScopedMessageSink quiet(detail::kDropMessages);
                    ok = ts.run(B + 1, T, true, nullptr, progress, done, total);
                }
                ts.sync();
                if (!ok) return false;
            }
        } else {
            SourceCheckpoint<Source> cp;
            if (!run_iterations_serial(src, r, b, callees, 1, T, false, replay ? &cp : nullptr,
                                       progress, done, total)) {
                return false;
            }
            if (replay) {
                finish_first_visit(r, b);
                restore_state(r, b);
                cp.restore(src);
                ScopedMessageSink quiet(detail::kDropMessages);
                if (!run_iterations_serial(src, r, b, callees, B + 1, T, true,
                                           static_cast<SourceCheckpoint<Source>*>(nullptr),
                                           progress, done, total)) {
                    return false;
                }
            }
        }
    }
    if (r.d.L >= 1) {
        if (!replay) finish_first_visit(r, b);
        if (b.mode == SecondPass::stores) evaluate_stores(r, b);
        write_outputs(r, b, out);
    }
    return true;
}

}  // namespace kestrum::driver
