// The reentrant session interface (kestrumr_session.h): everything the
// exported routines keep process-wide -- the generator record and its
// positions, the normal routine's saved deviate, the rate update's five
// blocks -- owned by one handle, with status codes instead of silence.
#include "kestrumr_session.h"
#include "session/session_state.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "analysis/chains.h"
#include "analysis/rows.h"
#include "analysis/scale.h"
#include "driver/callees.h"
#include "driver/estimate.h"
#include "hyper/blocks.h"
#include "random/messages.h"
#include "random/record_check.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace {

using kestrum::random::Record;
using kestrum::random::Stream;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

static_assert(kestrum::analysis::kRowOk == KESTRUMR_ROW_OK &&
                  kestrum::analysis::kRowNoSpread == KESTRUMR_ROW_NO_SPREAD &&
                  kestrum::analysis::kRowNotFinite == KESTRUMR_ROW_NOT_FINITE,
              "the row statuses of analysis/rows.h are the header's");

namespace kestrum::session {
namespace {

// Records what went wrong and returns the status.  (Only %d, %s and %.0f
// are used: the formats every C library's printf knows alike.)
int fail(kestrumr_session* s, int status, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(s->errmsg, sizeof s->errmsg, format, args);
    va_end(args);
    return status;
}

// The positions and the saved normal deviate as after loading (the gamma
// set-ups the stream keeps depend on the shape alone and stay valid).
void restart_positions(Stream& st) {
    st.ilag22 = 22;
    st.ilag43 = 43;
    st.icount = 1;
    st.nstat = -1;
    st.nspare = 0.0;
}

// A record of this generator: its base, every word a whole number in
// [0, B) and a borrow of 0 or 1.
bool record_of_this_generator(const Record& rec) {
    if (!(rec.base == random::load_time_record().base)) return false;
    if (!(rec.carry == 0.0 || rec.carry == 1.0)) return false;
    for (double w : rec.xtab) {
        if (!(w >= 0.0 && w < rec.base && std::trunc(w) == w)) return false;
    }
    return true;
}

// 43 equal words.  The recurrence's two fixed points are such tables (all
// 0 with borrow 0, all B - 1 with borrow 1), and from any other such table
// it starts with the 22-word run of one of them: 22 words 0 (borrow 0) or
// B - 1 (borrow 1) in a row.  There are no other fixed points: a table that
// never changes is a stream of period 43, that is a fraction k / M (M =
// B^43 - B^22 + 1, the recurrence's modulus) equal to j / (B^43 - 1), and
// the two denominators have no common factor, so k is 0 or M.
bool all_words_equal(const Record& rec) {
    for (double w : rec.xtab) {
        if (w != rec.xtab[0]) return false;
    }
    return true;
}

// Why a record or state the caller gives is refused (nullptr: it is not).
// A stream on the record from the given positions must
// not meet the degenerate-table event in its first draws.
const char* unusable_record(const Record& rec, const Stream& from) {
    if (!record_of_this_generator(rec))
        return "is not a state of this generator (base 4294967291, words 0..base-1, "
               "borrow 0 or 1)";
    if (all_words_equal(rec))
        return "has 43 equal words: the generator would stand still at a fixed point or "
               "start with 22 equal words (seed the session instead)";
    Record copy = rec;
    Stream probe = from;
    probe.rec = &copy;
    if (kestrum::random::degenerate_early(probe))
        return "is degenerate: its first draws already give no usable uniform variates "
               "(seed the session instead)";
    return nullptr;
}

// Layout of a saved state (native byte order): a tag, the record (45
// doubles), the three positions and the normal routine's flag (int32 each),
// the saved deviate.
constexpr char kStateTag[8] = {'k', 's', 't', 'r', 's', 't', '0', '1'};
constexpr std::size_t kOffRecord = sizeof kStateTag;
constexpr std::size_t kOffInts = kOffRecord + sizeof(Record);
constexpr std::size_t kOffSpare = kOffInts + 4 * sizeof(std::int32_t);
constexpr std::size_t kStateSize = kOffSpare + sizeof(double);

// Positions the stream can reach: ilag22 in 1..43, ilag43 = ilag22 + 21 and
// icount = ilag43 + 1 (mod 43, in 1..43); the flag -1 (never drawn), 0 or 1
// (a deviate waits).
bool valid_positions(std::int32_t ilag22, std::int32_t ilag43, std::int32_t icount,
                     std::int32_t nstat) {
    if (ilag22 < 1 || ilag22 > 43) return false;
    if (ilag43 != (ilag22 + 20) % 43 + 1) return false;
    if (icount != ilag43 % 43 + 1) return false;
    return nstat >= -1 && nstat <= 1;
}

// A saved deviate a draw can give: finite and at most the largest
// Box-Muller radius in magnitude.  (It stays after use, and is 0 before
// the first pair, so this holds whatever the flag.)
bool valid_spare(double nspare) {
    return std::fabs(nspare) <= kestrum::random::largest_normal_deviate();
}

// Output extents of a problem as kestrum_ reads them (negatives as 0).
struct Extents {
    std::size_t L = 0, J = 0;
};

Extents extents_of(const kestrumr_problem& p) {
    Extents e;
    e.L = p.nrow > 0 ? static_cast<std::size_t>(p.nrow) : 0;
    e.J = p.ngrp > 0 ? static_cast<std::size_t>(p.ngrp) : 0;
    return e;
}

// Every output element the caller gave set to NaN (null arrays skipped).
void fill_nan(const kestrumr_problem& p, const kestrumr_results& out) {
    const Extents e = extents_of(p);
    std::size_t lj = 0, lm = 0;
    if (!driver::checked_mul(e.L, e.J, &lj) ||
        !driver::checked_mul(e.L, e.J > 0 ? e.J - 1 : 0, &lm)) {
        return;  // cannot happen with int32 extents
    }
    auto fill = [](double* a, std::size_t n) {
        if (a == nullptr) return;
        for (std::size_t i = 0; i < n; ++i) a[i] = kNaN;
    };
    fill(out.prob, lm);
    fill(out.pmeanbar, e.L);
    fill(out.pvarbar, e.L);
    fill(out.gmeanbar, lj);
    fill(out.gvarbar, lj);
    fill(out.pjoint, e.L);
}

bool finite_at_least(double x, double low, bool strict) {
    return std::isfinite(x) && (strict ? x > low : x >= low);
}

// The checks of a run's arguments; 0 or a status with the message set.
int check_problem(kestrumr_session* s, const kestrumr_problem& p, const kestrumr_results& out) {
    if (p.nrow < 0) return fail(s, KESTRUMR_ERR_ARGUMENT, "nrow is %d; it must be >= 0", p.nrow);
    if (p.ngrp < 1) return fail(s, KESTRUMR_ERR_ARGUMENT, "ngrp is %d; it must be >= 1", p.ngrp);
    if (p.nkeep < 2)
        return fail(s, KESTRUMR_ERR_ARGUMENT,
                    "nkeep is %d; it must be >= 2 (the difference tests need the spread of "
                    "the kept draws)",
                    p.nkeep);
    if (p.nburn < 0) return fail(s, KESTRUMR_ERR_ARGUMENT, "nburn is %d; it must be >= 0", p.nburn);
    if (p.nobs == nullptr) return fail(s, KESTRUMR_ERR_ARGUMENT, "nobs is a null pointer");
    std::int64_t sum = 0;
    for (std::int32_t j = 0; j < p.ngrp; ++j) {
        if (p.nobs[j] < 2)
            return fail(s, KESTRUMR_ERR_ARGUMENT,
                        "nobs[%d] is %d; every group needs at least 2 observations", j,
                        p.nobs[j]);
        sum += p.nobs[j];
    }
    if (sum != p.ntot)
        return fail(s, KESTRUMR_ERR_ARGUMENT, "the group sizes add up to %.0f, but ntot is %d",
                    static_cast<double>(sum), p.ntot);
    if (p.ydata == nullptr && p.nrow > 0)
        return fail(s, KESTRUMR_ERR_ARGUMENT, "ydata is a null pointer");
    // A value that is not a finite number would not stay in its row: the
    // sums of reciprocal variances over all rows feed every rate update.
    const std::size_t nvalues = static_cast<std::size_t>(p.nrow) * static_cast<std::size_t>(sum);
    for (std::size_t i = 0; i < nvalues; ++i) {
        if (!std::isfinite(p.ydata[i]))
            return fail(s, KESTRUMR_ERR_ARGUMENT,
                        "ydata holds a value that is not a finite number (row %d, column %d)",
                        static_cast<int>(i % static_cast<std::size_t>(p.nrow)) + 1,
                        static_cast<int>(i / static_cast<std::size_t>(p.nrow)) + 1);
    }
    if (!finite_at_least(p.hshape, 0.0, false) || !finite_at_least(p.hrate, 0.0, false))
        return fail(s, KESTRUMR_ERR_ARGUMENT,
                    "hshape and hrate must be finite numbers >= 0");
    if (p.mvar == nullptr) return fail(s, KESTRUMR_ERR_ARGUMENT, "mvar is a null pointer");
    if (!finite_at_least(p.mvar[0], 0.0, true) || !finite_at_least(p.mvar[1], 0.0, true))
        return fail(s, KESTRUMR_ERR_ARGUMENT, "mvar: prior variances must be finite and > 0");
    if (p.ngrp >= 2 && p.effvar == nullptr)
        return fail(s, KESTRUMR_ERR_ARGUMENT, "effvar is a null pointer");
    for (std::int32_t j = 0; j + 1 < p.ngrp; ++j) {
        if (!finite_at_least(p.effvar[j], 0.0, true))
            return fail(s, KESTRUMR_ERR_ARGUMENT,
                        "effvar[%d]: prior variances must be finite and > 0", j);
    }
    if (p.nrow > 0) {
        if (out.pmeanbar == nullptr || out.pvarbar == nullptr || out.gmeanbar == nullptr ||
            out.gvarbar == nullptr || (p.ngrp >= 2 && out.prob == nullptr))
            return fail(s, KESTRUMR_ERR_ARGUMENT, "an output array is a null pointer");
    }
    return KESTRUMR_OK;
}

// The session's progress callback in the shape the driver asks for: report
// passes the count on and remembers whether the host wants to stop.
struct ProgressRelay {
    kestrumr_progress_fn fn;
    void* context;
    bool stop = false;
};

void relay_report(void* context, std::int64_t done, std::int64_t total) {
    auto* r = static_cast<ProgressRelay*>(context);
    if (r->fn(r->context, done, total) != 0) r->stop = true;
}

bool relay_stop(void* context) { return static_cast<ProgressRelay*>(context)->stop; }

// The messages of one call go to the session's callback, when it has one.
MessageSink sink_of(const kestrumr_session* s) {
    MessageSink sink;
    if (s->message_fn != nullptr) {
        sink.line = s->message_fn;
        sink.context = s->message_context;
    } else {
        sink = current_message_sink();  // unchanged: the caller's (C stdout by default)
    }
    return sink;
}

int run_rows(kestrumr_session* s, const kestrumr_problem& p, const kestrumr_results& out) {
    const int checked = check_problem(s, p, out);
    if (checked != KESTRUMR_OK) {
        fill_nan(p, out);
        return checked;
    }
    ScopedMessageSink scope(sink_of(s));
    // A new call: a degenerate table met now is reported again, even when an
    // earlier call of this session reported one (as every exported routine
    // starts afresh on the process's stream).
    s->stream.fault_reported = false;
    s->stream.report_pending = false;

    driver::Arguments a;
    a.reserved = nullptr;
    a.ipool = p.ipool;
    a.nrow = p.nrow;
    a.ngrp = p.ngrp;
    a.nobs = p.nobs;
    a.ntot = p.ntot;
    a.ydata = p.ydata;
    a.nkeep = p.nkeep;
    a.nburn = p.nburn;
    a.hshape = p.hshape;
    a.hrate = p.hrate;
    a.mvar = p.mvar;
    a.effvar = p.effvar;
    driver::Outputs o;
    o.prob = out.prob;
    o.pmeanbar = out.pmeanbar;
    o.pvarbar = out.pvarbar;
    o.gmeanbar = out.gmeanbar;
    o.gvarbar = out.gvarbar;
    o.pjoint = out.pjoint;
    // Standardisation (kestrumr_set_scaling): the run on y / scale, with the
    // priors converted when they are in the data's units.
    double scale = 1.0;
    std::vector<double> scaled, effvar;
    double mvar[2] = {0.0, 0.0};
    if (s->scaling != KESTRUMR_SCALE_OFF) {
        scale = analysis::robust_scale(p.ydata, p.nrow, p.ngrp, p.nobs);
        const Extents e = extents_of(p);
        scaled.assign(p.ydata, p.ydata + e.L * static_cast<std::size_t>(p.ntot));
        analysis::data_to_standard(scaled.data(), scaled.size(), scale);
        a.ydata = scaled.data();
        // The session's rule: every prior of the problem in the data's
        // units, or every one meant for the standardised data.
        const bool data_units = s->scaling == KESTRUMR_SCALE_DATA_PRIORS;
        analysis::Priors given;
        given.hshape = p.hshape;
        given.hrate = p.hrate;
        given.mvar[0] = p.mvar[0];
        given.mvar[1] = p.mvar[1];
        if (p.ngrp >= 2) given.effvar.assign(p.effvar, p.effvar + (p.ngrp - 1));
        const analysis::Priors std_units =
            analysis::priors_to_standard(given, scale, {data_units, data_units, data_units});
        a.hrate = std_units.hrate;
        mvar[0] = std_units.mvar[0];
        mvar[1] = std_units.mvar[1];
        a.mvar = mvar;
        effvar = std_units.effvar;
        if (!effvar.empty()) a.effvar = effvar.data();
        // The scaled data and converted priors are checked as given ones
        // are: a value far from the scale can leave a double's range.
        kestrumr_problem q = p;
        q.ydata = a.ydata;
        q.hrate = a.hrate;
        q.mvar = a.mvar;
        q.effvar = a.effvar;
        int bad = check_problem(s, q, out);
        if (bad == KESTRUMR_OK && !analysis::usable_scale(scale))
            bad = fail(s, KESTRUMR_ERR_ARGUMENT,
                       "the data's scale is too small or too large: its square under- or "
                       "overflows a double");
        if (bad != KESTRUMR_OK) {
            char why[sizeof s->errmsg];
            std::memcpy(why, s->errmsg, sizeof why);
            fill_nan(p, out);
            const int order = static_cast<int>(std::lround(std::log10(scale)));
            return fail(s, bad, "after dividing the data by their scale (of order 1e%d): %s", order,
                        why);
        }
    }
    s->last_scale = scale;

    // The callees record the rate update's trace (and change no bit).
    // A trace of more than kMaxTrace entries (9 bytes each) is not kept.
    analysis::ChainRecord& rec = s->rates;
    rec.J = p.ngrp;
    rec.B = p.nburn;
    rec.T = static_cast<std::int64_t>(p.nburn) + p.nkeep;
    rec.stored = 0;
    s->rates_recorded = rec.T * rec.J <= analysis::kMaxTrace;
    rec.rate.assign(s->rates_recorded ? static_cast<std::size_t>(rec.T * rec.J) : 0, kNaN);
    rec.accepted.assign(rec.rate.size(), 0);
    analysis::RecordingCallees callees(s->blocks.blocks());
    callees.rec = &rec;
    callees.L = p.nrow;

    ProgressRelay relay{s->progress_fn, s->progress_context};
    driver::Progress progress;
    if (s->progress_fn != nullptr) {
        progress.report = relay_report;
        progress.stop = relay_stop;
        progress.context = &relay;
    }
    // The rows are shared among the session's threads (the calling thread
    // is one of them); the variates are drawn in stream order on the calling
    // thread, so the bits are the same at every count.
    driver::EngineOptions engine;
    engine.threads = s->threads;
    if (driver::estimate(s->stream, callees, a, o, progress, driver::allocate_block, engine)) {
        if (s->scaling != KESTRUMR_SCALE_OFF) analysis::results_to_data_units(o, p.nrow, p.ngrp, scale);
        return KESTRUMR_OK;
    }
    if (relay.stop) return fail(s, KESTRUMR_ERR_CANCELLED, "the run was cancelled");
    return fail(s, KESTRUMR_ERR_MEMORY, "not enough memory for the workspace of %d rows, "
                                        "%d groups and %d kept iterations",
                p.nrow, p.ngrp, p.nkeep);
}

// Rows with a group whose values are all equal (see analysis/rows.h: their
// variance and the group's shared prior rate shrink towards 0 together until
// the row's draws become NaN and stop every rate) run not at all: the run is
// the run of the other rows, whose results are then exactly those of a
// problem without the rows left out.  The rows left out, and any row whose
// results come out non-finite all the same, get NaN in every output, a
// status (kestrumr_row_status) and a message.
int run(kestrumr_session* s, const kestrumr_problem& p, const kestrumr_results& out) {
    const int checked = check_problem(s, p, out);
    if (checked != KESTRUMR_OK) {
        fill_nan(p, out);
        return checked;
    }
    ScopedMessageSink scope(sink_of(s));
    const Extents e = extents_of(p);
    const std::size_t L = e.L, J = e.J, D = J - 1;
    std::vector<std::int32_t>& status = s->row_status;
    status.assign(L, analysis::kRowOk);
    std::vector<std::size_t> left_out;  // counted from 1, for the message
    std::int32_t first_group = -1;
    for (std::size_t g = 0; g < L; ++g) {
        const std::int32_t j = analysis::group_without_spread(p.ydata + g, L, p.ngrp, p.nobs);
        if (j < 0) continue;
        if (left_out.empty()) first_group = j;
        status[g] = analysis::kRowNoSpread;
        left_out.push_back(g + 1);
    }
    if (L > 0 && left_out.size() == L) {
        fill_nan(p, out);
        return fail(s, KESTRUMR_ERR_ARGUMENT,
                    "no row can run: every row has a group whose values are all equal (row 1: "
                    "group %d, counted from 1)",
                    first_group + 1);
    }
    int result;
    if (left_out.empty()) {
        result = run_rows(s, p, out);
    } else {
        const std::string rows = analysis::number_list(left_out);
        const std::string first =
            "     ****WARNING**** " + std::to_string(left_out.size()) +
            (left_out.size() == 1 ? " row left out of the run (its results are NaN):"
                                  : " rows left out of the run (their results are NaN):");
        const std::string last = std::string("     estimated from; ") +
                                 (left_out.size() == 1 ? "row" : "rows") + " (counted from 1): " + rows;
        write_message({"", first.c_str(),
                       "     a group's values are all equal, so its variance has no spread to be",
                       last.c_str(), ""});
        // The problem of the other rows, and outputs of their size.
        const std::size_t Lr = L - left_out.size(), N = static_cast<std::size_t>(p.ntot);
        std::vector<double> ydata(Lr * N), prob(Lr * D), pmeanbar(Lr), pvarbar(Lr),
            gmeanbar(Lr * J), gvarbar(Lr * J), pjoint(Lr);
        std::vector<std::size_t> row_of(Lr);  // run row -> problem row
        for (std::size_t g = 0, i = 0; g < L; ++g)
            if (status[g] == analysis::kRowOk) row_of[i++] = g;
        for (std::size_t c = 0; c < N; ++c)
            for (std::size_t i = 0; i < Lr; ++i) ydata[i + c * Lr] = p.ydata[row_of[i] + c * L];
        kestrumr_problem q = p;
        q.nrow = static_cast<std::int32_t>(Lr);
        q.ydata = ydata.data();
        kestrumr_results o{prob.data(), pmeanbar.data(), pvarbar.data(), gmeanbar.data(),
                           gvarbar.data(), out.pjoint != nullptr ? pjoint.data() : nullptr};
        result = run_rows(s, q, o);
        fill_nan(p, out);
        for (std::size_t i = 0; i < Lr; ++i) {
            const std::size_t g = row_of[i];
            out.pmeanbar[g] = pmeanbar[i];
            out.pvarbar[g] = pvarbar[i];
            for (std::size_t j = 0; j < J; ++j) {
                out.gmeanbar[g + j * L] = gmeanbar[i + j * Lr];
                out.gvarbar[g + j * L] = gvarbar[i + j * Lr];
            }
            for (std::size_t j = 0; j < D; ++j) out.prob[g + j * L] = prob[i + j * Lr];
            if (out.pjoint != nullptr) out.pjoint[g] = pjoint[i];
        }
    }
    if (result != KESTRUMR_OK) return result;

    // Rows whose draws became non-finite all the same: NaN throughout (the
    // frequencies would read 0, which looks like a result).
    std::vector<std::size_t> broken;
    for (std::size_t g = 0; g < L; ++g) {
        if (status[g] != analysis::kRowOk ||
            !analysis::results_not_finite(out.gmeanbar, out.gvarbar, out.pmeanbar, out.pvarbar, L,
                                          J, p.ipool == 1, g))
            continue;
        status[g] = analysis::kRowNotFinite;
        broken.push_back(g + 1);
        out.pmeanbar[g] = kNaN;
        out.pvarbar[g] = kNaN;
        for (std::size_t j = 0; j < J; ++j) {
            out.gmeanbar[g + j * L] = kNaN;
            out.gvarbar[g + j * L] = kNaN;
        }
        for (std::size_t j = 0; j < D; ++j) out.prob[g + j * L] = kNaN;
        if (out.pjoint != nullptr) out.pjoint[g] = kNaN;
    }
    if (!broken.empty()) {
        const std::string first =
            "     ****WARNING**** The draws of " + std::to_string(broken.size()) +
            (broken.size() == 1 ? " row became non-finite (its results are NaN);"
                                : " rows became non-finite (their results are NaN);");
        const std::string rows = std::string("     ") + (broken.size() == 1 ? "row" : "rows") +
                                 " (counted from 1): " + analysis::number_list(broken) + ".";
        write_message({"", first.c_str(), rows.c_str(),
                       "     The variance rates shared by all rows may have stopped moving then:",
                       "     check the rate diagnostics before trusting the other rows.", ""});
    }
    return KESTRUMR_OK;
}

}  // namespace
}  // namespace kestrum::session

using namespace kestrum::session;

extern "C" {

KESTRUMR_API const char* kestrumr_version(void) { return KESTRUMR_VERSION_STRING; }

KESTRUMR_API kestrumr_session* kestrumr_session_new(void) {
    return new (std::nothrow) kestrumr_session();
}

KESTRUMR_API void kestrumr_session_free(kestrumr_session* session) { delete session; }

KESTRUMR_API const char* kestrumr_errmsg(const kestrumr_session* session) {
    return session == nullptr ? "no session" : session->errmsg;
}

KESTRUMR_API int kestrumr_seed(kestrumr_session* session, uint64_t seed) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    Record& rec = session->record;
    rec = kestrum::random::load_time_record();
    if (seed >= 1 && seed <= 2147483647u) {
        kestrum::random::fill_table(
            rec, kestrum::random::seed_value(static_cast<std::int32_t>(seed), rec.base));
    } else {
        kestrum::random::fill_table_mixed(rec, seed);
    }
    restart_positions(session->stream);
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_set_record(kestrumr_session* session,
                                     const struct kestrumr_zbql0001* record) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (record == nullptr) return fail(session, KESTRUMR_ERR_ARGUMENT, "record is a null pointer");
    Stream restarted = session->stream;
    restart_positions(restarted);
    if (const char* why = unusable_record(*record, restarted))
        return fail(session, KESTRUMR_ERR_STATE, "the record %s", why);
    session->record = *record;
    restart_positions(session->stream);
    return KESTRUMR_OK;
}

KESTRUMR_API size_t kestrumr_state_size(void) { return kStateSize; }

KESTRUMR_API int kestrumr_save_state(const kestrumr_session* session, void* buffer, size_t size) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    auto* s = const_cast<kestrumr_session*>(session);  // only errmsg is written
    if (buffer == nullptr) return fail(s, KESTRUMR_ERR_ARGUMENT, "buffer is a null pointer");
    if (size < kStateSize)
        return fail(s, KESTRUMR_ERR_ARGUMENT, "the buffer holds %.0f bytes; the state needs %d",
                    static_cast<double>(size), static_cast<int>(kStateSize));
    auto* b = static_cast<unsigned char*>(buffer);
    const Stream& st = session->stream;
    const std::int32_t ints[4] = {st.ilag22, st.ilag43, st.icount, st.nstat};
    std::memcpy(b, kStateTag, sizeof kStateTag);
    std::memcpy(b + kOffRecord, &session->record, sizeof(Record));
    std::memcpy(b + kOffInts, ints, sizeof ints);
    std::memcpy(b + kOffSpare, &st.nspare, sizeof(double));
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_restore_state(kestrumr_session* session, const void* buffer,
                                        size_t size) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (buffer == nullptr) return fail(session, KESTRUMR_ERR_ARGUMENT, "buffer is a null pointer");
    const auto* b = static_cast<const unsigned char*>(buffer);
    if (size != kStateSize || std::memcmp(b, kStateTag, sizeof kStateTag) != 0)
        return fail(session, KESTRUMR_ERR_STATE, "not a saved generator state of this library");
    Record rec;
    std::int32_t ints[4];
    double nspare;
    std::memcpy(&rec, b + kOffRecord, sizeof(Record));
    std::memcpy(ints, b + kOffInts, sizeof ints);
    std::memcpy(&nspare, b + kOffSpare, sizeof(double));
    if (!valid_positions(ints[0], ints[1], ints[2], ints[3]))
        return fail(session, KESTRUMR_ERR_STATE, "the saved generator state is damaged");
    if (!valid_spare(nspare))
        return fail(session, KESTRUMR_ERR_STATE,
                    "the saved generator state is damaged: its saved normal deviate is not "
                    "one a draw can give");
    Stream restored = session->stream;
    restored.ilag22 = ints[0];
    restored.ilag43 = ints[1];
    restored.icount = ints[2];
    restored.nstat = ints[3];
    restored.nspare = nspare;
    if (const char* why = unusable_record(rec, restored))
        return fail(session, KESTRUMR_ERR_STATE,
                    "the saved generator state is damaged: its record %s", why);
    session->record = rec;
    Stream& st = session->stream;
    st.ilag22 = restored.ilag22;
    st.ilag43 = restored.ilag43;
    st.icount = restored.icount;
    st.nstat = restored.nstat;
    st.nspare = restored.nspare;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_set_threads(kestrumr_session* session, int32_t threads) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (threads < 0)
        return fail(session, KESTRUMR_ERR_ARGUMENT, "threads is %d; it must be >= 0", threads);
    if (threads == 0) {
        const unsigned n = std::thread::hardware_concurrency();
        threads = n == 0 ? 1 : static_cast<int32_t>(n > 1024 ? 1024 : n);
    }
    session->threads = threads;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_set_message_callback(kestrumr_session* session, kestrumr_message_fn fn,
                                               void* context) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    session->message_fn = fn;
    session->message_context = context;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_set_progress_callback(kestrumr_session* session,
                                                kestrumr_progress_fn fn, void* context) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    session->progress_fn = fn;
    session->progress_context = context;
    return KESTRUMR_OK;
}

KESTRUMR_API double kestrumr_uniform(kestrumr_session* session) {
    return session == nullptr ? kNaN : session->stream.uniform();
}

KESTRUMR_API int kestrumr_run(kestrumr_session* session, const kestrumr_problem* problem,
                              const kestrumr_results* results) {
    if (problem != nullptr && results != nullptr && (session == nullptr))
        fill_nan(*problem, *results);
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (problem == nullptr || results == nullptr)
        return fail(session, KESTRUMR_ERR_ARGUMENT, "problem or results is a null pointer");
    try {
        return run(session, *problem, *results);
    } catch (...) {
        // Nothing in a run throws; a host's callback might (a C++ host):
        // it is not let through the C interface.
        fill_nan(*problem, *results);
        return fail(session, KESTRUMR_ERR_MEMORY, "the run failed with an exception");
    }
}

// Standardisation and the rate update's diagnostics.

KESTRUMR_API int kestrumr_set_scaling(kestrumr_session* session, int32_t mode) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (mode != KESTRUMR_SCALE_OFF && mode != KESTRUMR_SCALE_DATA_PRIORS &&
        mode != KESTRUMR_SCALE_STANDARD_PRIORS)
        return fail(session, KESTRUMR_ERR_ARGUMENT, "scaling mode %d is not one of 0, 1, 2", mode);
    session->scaling = mode;
    return KESTRUMR_OK;
}

KESTRUMR_API double kestrumr_last_scale(const kestrumr_session* session) {
    return session == nullptr ? kNaN : session->last_scale;
}

KESTRUMR_API int kestrumr_get_rate_diagnostics(const kestrumr_session* session, int32_t group,
                                           kestrumr_rate_diagnostics* out) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    auto* s = const_cast<kestrumr_session*>(session);  // only errmsg is written
    if (out == nullptr) return fail(s, KESTRUMR_ERR_ARGUMENT, "out is a null pointer");
    if (!session->rates_recorded) return fail(s, KESTRUMR_ERR_STATE, "no rate trace: no run yet, or the last run was too long to keep one");
    const kestrum::analysis::ChainRecord& r = session->rates;
    if (group < 0 || group >= r.J)
        return fail(s, KESTRUMR_ERR_ARGUMENT, "group %d is not one of the last run's 0..%d", group,
                    static_cast<int>(r.J - 1));
    const double scale = session->last_scale;
    out->burn_acceptance = kestrum::analysis::acceptance(r, group, 0, r.B);
    out->late_burn_acceptance = kestrum::analysis::acceptance(r, group, r.B / 2, r.B);
    out->keep_acceptance = kestrum::analysis::acceptance(r, group, r.B, r.T);
    out->last_rate = r.T > 0 ? kestrum::analysis::variance_to_data_units(
                                     r.rate[static_cast<std::size_t>((r.T - 1) * r.J + group)], scale)
                               : kNaN;
    out->stuck = kestrum::analysis::rate_stuck(r, group) ? 1 : 0;
    return KESTRUMR_OK;
}

KESTRUMR_API size_t kestrumr_rate_trace_size(const kestrumr_session* session) {
    return session == nullptr || !session->rates_recorded ? 0 : session->rates.rate.size();
}

KESTRUMR_API int kestrumr_rate_trace(const kestrumr_session* session, double* rates,
                                     int32_t* accepted, size_t count) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    auto* s = const_cast<kestrumr_session*>(session);
    const std::size_t n = kestrumr_rate_trace_size(session);
    if (count < n)
        return fail(s, KESTRUMR_ERR_ARGUMENT, "the arrays hold %.0f elements; the trace has %.0f",
                    static_cast<double>(count), static_cast<double>(n));
    for (std::size_t i = 0; i < n; ++i) {
        if (rates != nullptr)
            rates[i] = kestrum::analysis::variance_to_data_units(session->rates.rate[i], session->last_scale);
        if (accepted != nullptr) accepted[i] = session->rates.accepted[i];
    }
    return KESTRUMR_OK;
}

// The status of every row of the last run.

KESTRUMR_API size_t kestrumr_row_status_size(const kestrumr_session* session) {
    return session == nullptr ? 0 : session->row_status.size();
}

KESTRUMR_API int kestrumr_row_status(const kestrumr_session* session, int32_t* status,
                                     size_t count) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    auto* s = const_cast<kestrumr_session*>(session);  // only errmsg is written
    const std::size_t n = session->row_status.size();
    if (status == nullptr && n > 0) return fail(s, KESTRUMR_ERR_ARGUMENT, "status is a null pointer");
    if (count < n)
        return fail(s, KESTRUMR_ERR_ARGUMENT, "the array holds %.0f elements; the last run has %.0f rows",
                    static_cast<double>(count), static_cast<double>(n));
    for (std::size_t i = 0; i < n; ++i) status[i] = session->row_status[i];
    return KESTRUMR_OK;
}

}  // extern "C"
