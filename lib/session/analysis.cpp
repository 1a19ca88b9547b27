// The analysis entry point of the public C interface (kestrumr_analysis.h):
// opaque options and results around analysis::analyse, run over a
// session's generator, blocks and callbacks.
#include "kestrumr_analysis.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "analysis/analyse.h"
#include "analysis/chains.h"
#include "analysis/rows.h"
#include "analysis/scale.h"
#include "analysis/threads.h"  // without threads every chain runs on the calling thread
#include "random/messages.h"
#include "session/session_state.h"

struct kestrumr_analysis_options {
    kestrum::analysis::AnalysisSettings settings;
    std::string errmsg;
};

struct kestrumr_analysis_results {
    kestrum::analysis::AnalysisResult result;
};

static_assert(kestrum::analysis::kPermutationsAuto == KESTRUMR_PERMUTATIONS_AUTO,
              "the automatic count of null analyses is the header's");
static_assert(kestrum::analysis::kRowMissing == KESTRUMR_ROW_MISSING &&
                  kestrum::analysis::kRowOverflow == KESTRUMR_ROW_OVERFLOW &&
                  kestrum::analysis::kRowRounding == KESTRUMR_ROW_ROUNDING,
              "the row statuses of analysis/analyse.h are the header's");
static_assert(kestrum::analysis::kWarnRowsLeftOut == KESTRUMR_WARNING_ROWS_LEFT_OUT &&
                  kestrum::analysis::kWarnNotFinite == KESTRUMR_WARNING_NOT_FINITE &&
                  kestrum::analysis::kWarnScale == KESTRUMR_WARNING_SCALE &&
                  kestrum::analysis::kWarnMeanPrior == KESTRUMR_WARNING_MEAN_PRIOR &&
                  kestrum::analysis::kWarnNotTraced == KESTRUMR_WARNING_NOT_TRACED &&
                  kestrum::analysis::kWarnStuckRate == KESTRUMR_WARNING_STUCK_RATE &&
                  kestrum::analysis::kWarnRhat == KESTRUMR_WARNING_RHAT,
              "the warning kinds of analysis/analyse.h are the header's");

namespace {

using kestrum::analysis::AnalysisStatus;
using kestrum::analysis::ChainRecord;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int refuse(kestrumr_analysis_options* o, const char* why) {
    o->errmsg = why;
    return KESTRUMR_ERR_ARGUMENT;
}

bool finite_at_least(double x, double low, bool strict) {
    return std::isfinite(x) && (strict ? x > low : x >= low);
}

// The session's progress callback, called on the thread that started the
// analysis only (a host may only be reachable there: an interpreter's
// interrupt check); the other threads' chains see its answer through stop.
struct Relay {
    kestrumr_progress_fn fn = nullptr;
    void* context = nullptr;
#if KESTRUM_ANALYSIS_THREADS
    std::thread::id caller = std::this_thread::get_id();
#endif
    std::atomic<bool> stop{false};
};

void relay_report(void* context, std::int64_t done, std::int64_t total) {
    auto* r = static_cast<Relay*>(context);
#if KESTRUM_ANALYSIS_THREADS
    if (std::this_thread::get_id() != r->caller) return;
#endif
    if (r->fn(r->context, done, total) != 0) r->stop = true;
}

bool relay_stop(void* context) { return static_cast<Relay*>(context)->stop.load(); }

int session_fail(kestrumr_session* s, int status, const std::string& why) {
    std::snprintf(s->errmsg, sizeof s->errmsg, "%s", why.c_str());
    return status;
}

// The details of a failure, in the session (kestrumr_analysis_failure_*).
void keep_failure(kestrumr_session* s, const kestrum::analysis::AnalysisResult& r) {
    using kestrum::analysis::Failure;
    kestrumr_session::AnalysisFailure& f = s->failure;
    switch (r.failure) {
        case Failure::none: f.kind = KESTRUMR_FAILURE_NONE; break;
        case Failure::arguments: f.kind = KESTRUMR_FAILURE_ARGUMENTS; break;
        case Failure::row_policy: f.kind = KESTRUMR_FAILURE_ROW_POLICY; break;
        case Failure::no_rows: f.kind = KESTRUMR_FAILURE_NO_ROWS; break;
        case Failure::scaled_row: f.kind = KESTRUMR_FAILURE_SCALED_ROW; break;
        case Failure::scaled_prior: f.kind = KESTRUMR_FAILURE_SCALED_PRIOR; break;
        case Failure::unusable_scale: f.kind = KESTRUMR_FAILURE_UNUSABLE_SCALE; break;
        case Failure::over_budget: f.kind = KESTRUMR_FAILURE_OVER_BUDGET; break;
        case Failure::traces: f.kind = KESTRUMR_FAILURE_TRACES; break;
        case Failure::memory: f.kind = KESTRUMR_FAILURE_MEMORY; break;
        case Failure::cancelled: f.kind = KESTRUMR_FAILURE_CANCELLED; break;
    }
    f.row = r.failure_row;
    f.reason = r.failure_reason;
    f.group = r.failure_group;
    f.prior = r.failure_prior;  // a string literal
    f.value[0] = r.failure_value;
    f.value[1] = r.failure_value2;
}

const kestrum::analysis::Warning* warning_at(const kestrumr_analysis_results* results, size_t index) {
    if (results == nullptr || index >= results->result.warnings.size()) return nullptr;
    return &results->result.warnings[index];
}

}  // namespace

extern "C" {

KESTRUMR_API kestrumr_analysis_options* kestrumr_analysis_options_new(void) {
    return new (std::nothrow) kestrumr_analysis_options();
}

KESTRUMR_API void kestrumr_analysis_options_free(kestrumr_analysis_options* options) { delete options; }

KESTRUMR_API const char* kestrumr_analysis_options_errmsg(const kestrumr_analysis_options* options) {
    return options == nullptr ? "no options" : options->errmsg.c_str();
}

KESTRUMR_API int kestrumr_analysis_set_chains(kestrumr_analysis_options* options, int32_t chains) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (chains < 1 || chains > 1024) return refuse(options, "chains must be from 1 to 1024");
    options->settings.chains = chains;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_scale(kestrumr_analysis_options* options, int32_t mode,
                                             double value) {
    using kestrum::analysis::ScaleMode;
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    switch (mode) {
        case KESTRUMR_SCALE_NONE: options->settings.scale = ScaleMode::none; return KESTRUMR_OK;
        case KESTRUMR_SCALE_AUTO: options->settings.scale = ScaleMode::automatic; return KESTRUMR_OK;
        case KESTRUMR_SCALE_VALUE:
            if (!kestrum::analysis::usable_scale(value))
                return refuse(options,
                              "the scale must be a finite number > 0 whose square neither under- nor "
                              "overflows a double (about 7.5e-155 .. 1.3e154)");
            options->settings.scale = ScaleMode::value;
            options->settings.scale_value = value;
            return KESTRUMR_OK;
        default:
            return refuse(options,
                          "the scale mode is KESTRUMR_SCALE_NONE, KESTRUMR_SCALE_AUTO or "
                          "KESTRUMR_SCALE_VALUE");
    }
}

KESTRUMR_API int kestrumr_analysis_set_iterations(kestrumr_analysis_options* options, int32_t burn,
                                                  int32_t keep) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (burn < 0) return refuse(options, "burn must be >= 0");
    if (keep < 2)
        return refuse(options,
                      "keep must be at least 2 (the difference tests need the spread of the kept draws)");
    options->settings.burn = burn;
    options->settings.keep = keep;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_pooled(kestrumr_analysis_options* options, int32_t pooled) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (pooled != 0 && pooled != 1) return refuse(options, "pooled must be 0 or 1");
    options->settings.pooled = pooled == 1;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_hshape(kestrumr_analysis_options* options, double hshape) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (!finite_at_least(hshape, 0.0, false)) return refuse(options, "hshape must be finite and >= 0");
    options->settings.hshape = hshape;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_hrate(kestrumr_analysis_options* options, double hrate) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (!finite_at_least(hrate, 0.0, false)) return refuse(options, "hrate must be finite and >= 0");
    options->settings.hrate = hrate;
    options->settings.hrate_given = true;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_mvar(kestrumr_analysis_options* options, double mvar1,
                                            double mvar2) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (!finite_at_least(mvar1, 0.0, true) || !finite_at_least(mvar2, 0.0, true))
        return refuse(options, "mvar: prior variances must be finite and > 0");
    options->settings.mvar[0] = mvar1;
    options->settings.mvar[1] = mvar2;
    options->settings.mvar_given = true;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_effvar(kestrumr_analysis_options* options,
                                              const double* effvar, size_t count) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (effvar == nullptr) return refuse(options, "effvar is a null pointer");
    if (count < 1 || count > 1023) return refuse(options, "effvar needs 1 to 1023 values");
    for (size_t i = 0; i < count; ++i)
        if (!finite_at_least(effvar[i], 0.0, true))
            return refuse(options, "effvar: prior variances must be finite and > 0");
    try {
        options->settings.effvar.assign(effvar, effvar + count);
    } catch (const std::bad_alloc&) {
        options->errmsg = "not enough memory";
        return KESTRUMR_ERR_MEMORY;
    }
    options->settings.effvar_given = true;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_row_policy(kestrumr_analysis_options* options, int32_t policy) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (policy != KESTRUMR_ROWS_OMIT && policy != KESTRUMR_ROWS_FAIL)
        return refuse(options, "the row policy is KESTRUMR_ROWS_OMIT or KESTRUMR_ROWS_FAIL");
    options->settings.omit_rows = policy == KESTRUMR_ROWS_OMIT;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_memory_budget(kestrumr_analysis_options* options, uint64_t bytes) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (bytes < 1048576u) return refuse(options, "the memory budget must be at least 1048576 bytes (1 MiB)");
    options->settings.memory_budget = bytes > std::numeric_limits<std::size_t>::max()
                                          ? std::numeric_limits<std::size_t>::max()
                                          : static_cast<std::size_t>(bytes);
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_threads(kestrumr_analysis_options* options, int32_t threads) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (threads < 0 || threads > 1024) return refuse(options, "threads must be from 0 to 1024");
    options->settings.threads = threads;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_seed(kestrumr_analysis_options* options, int64_t seed) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (seed < 0 || seed > 2147483647) return refuse(options, "the seed must be from 0 to 2147483647");
    options->settings.seed = static_cast<std::int32_t>(seed);
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_draws(kestrumr_analysis_options* options, int32_t draws) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (draws != 0 && draws != 1) return refuse(options, "draws must be 0 or 1");
    options->settings.store_draws = draws == 1;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_traces(kestrumr_analysis_options* options, int32_t traces) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (traces != 0 && traces != 1) return refuse(options, "traces must be 0 or 1");
    options->settings.require_traces = traces == 1;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_fdr(kestrumr_analysis_options* options, double level) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (!(level > 0.0 && level < 1.0))
        return refuse(options, "the false-discovery rate must lie between 0 and 1");
    options->settings.fdr = level;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_permutations(kestrumr_analysis_options* options, int32_t count) {
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (count != KESTRUMR_PERMUTATIONS_AUTO && (count < 0 || count > kestrum::analysis::kMaxPermutations))
        return refuse(options, "permutations must be KESTRUMR_PERMUTATIONS_AUTO or from 0 to 1024");
    options->settings.permutations = count;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_set_start(kestrumr_analysis_options* options, int32_t mode) {
    using kestrum::analysis::StartMode;
    if (options == nullptr) return KESTRUMR_ERR_ARGUMENT;
    if (mode != KESTRUMR_START_FIXED && mode != KESTRUMR_START_DATA)
        return refuse(options, "the start mode is KESTRUMR_START_FIXED or KESTRUMR_START_DATA");
    options->settings.start = mode == KESTRUMR_START_DATA ? StartMode::data : StartMode::fixed;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_screen_row(const double* x, int32_t pooled, int32_t ngrp,
                                              int32_t ntot, const int32_t* nobs, int32_t* status,
                                              int32_t* group, double* ybar, double* s2) {
    if (x == nullptr || nobs == nullptr || status == nullptr || ngrp < 1 || (pooled != 0 && pooled != 1))
        return KESTRUMR_ERR_ARGUMENT;
    std::int64_t n = 0;
    for (int32_t j = 0; j < ngrp; ++j) {
        if (nobs[j] < 2) return KESTRUMR_ERR_ARGUMENT;
        n += nobs[j];
    }
    if (n != ntot) return KESTRUMR_ERR_ARGUMENT;
    int32_t concerned = -1;
    bool missing = false;
    for (int32_t i = 0; i < ntot; ++i) missing = missing || std::isnan(x[i]);
    if (missing) {
        *status = KESTRUMR_ROW_MISSING;
    } else {
        try {
            std::vector<double> own;
            if (ybar == nullptr || s2 == nullptr) own.resize(2 * static_cast<std::size_t>(ngrp));
            double* m = ybar != nullptr ? ybar : own.data();
            double* v = s2 != nullptr ? s2 : own.data() + ngrp;
            *status = kestrum::analysis::classify_row(x, pooled == 1, ngrp, ntot, nobs, m, v, concerned);
        } catch (const std::bad_alloc&) {
            return KESTRUMR_ERR_MEMORY;
        }
    }
    if (group != nullptr) *group = concerned;
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analyse(kestrumr_session* session, const kestrumr_analysis_options* options,
                                  int32_t nrow, int32_t ngrp, const int32_t* nobs, int32_t ntot,
                                  const double* ydata, kestrumr_analysis_results** out) {
    if (session == nullptr) return KESTRUMR_ERR_ARGUMENT;
    session->failure = kestrumr_session::AnalysisFailure{};
    session->failed.reset();
    if (out == nullptr) {
        session->failure.kind = KESTRUMR_FAILURE_ARGUMENTS;
        return session_fail(session, KESTRUMR_ERR_ARGUMENT, "out is a null pointer");
    }
    *out = nullptr;
    try {
        static const kestrumr_analysis_options defaults;
        const kestrumr_analysis_options& o = options != nullptr ? *options : defaults;
        auto* results = new kestrumr_analysis_results();
        std::unique_ptr<kestrumr_analysis_results> hold(results);
        kestrum::MessageSink sink;
        if (session->message_fn != nullptr) {
            sink.line = session->message_fn;
            sink.context = session->message_context;
        } else {
            sink = kestrum::current_message_sink();
        }
        kestrum::ScopedMessageSink scope(sink);
        // A new call: a degenerate table met now is reported again.
        session->stream.fault_reported = false;
        session->stream.report_pending = false;
        Relay relay;
        relay.fn = session->progress_fn;
        relay.context = session->progress_context;
        kestrum::analysis::ChainProgress progress;
        if (relay.fn != nullptr) {
            progress.report = relay_report;
            progress.stop = relay_stop;
            progress.context = &relay;
        }
        kestrum::analysis::AnalysisData data;
        data.nrow = nrow;
        data.ngrp = ngrp;
        data.nobs = nobs;
        data.ntot = ntot;
        data.ydata = ydata;
        // The seed is applied once the arguments are known to be good: a
        // refused call leaves the generator as it was.
        kestrum::analysis::AnalysisResult& r = results->result;
        kestrum::analysis::AnalysisStatus status = kestrum::analysis::check_analysis(o.settings, data, r);
        if (status == AnalysisStatus::ok) {
            if (o.settings.seed != 0) kestrumr_seed(session, static_cast<std::uint64_t>(o.settings.seed));
            status = kestrum::analysis::analyse(session->stream, session->blocks.blocks(), o.settings, data,
                                                r, progress);
        }
        keep_failure(session, r);
        if (status != AnalysisStatus::ok && r.failure == kestrum::analysis::Failure::none)
            session->failure.kind = status == AnalysisStatus::memory      ? KESTRUMR_FAILURE_MEMORY
                                    : status == AnalysisStatus::cancelled ? KESTRUMR_FAILURE_CANCELLED
                                                                          : KESTRUMR_FAILURE_ARGUMENTS;
        if (status == AnalysisStatus::ok) {
            *out = hold.release();
            return KESTRUMR_OK;
        }
        session->failed.reset(hold.release());
        switch (status) {
            case AnalysisStatus::ok: break;
            case AnalysisStatus::argument: return session_fail(session, KESTRUMR_ERR_ARGUMENT, r.error);
            case AnalysisStatus::memory: return session_fail(session, KESTRUMR_ERR_MEMORY, r.error);
            case AnalysisStatus::cancelled:
                return session_fail(session, KESTRUMR_ERR_CANCELLED, "the progress callback asked to stop");
        }
        return session_fail(session, KESTRUMR_ERR_ARGUMENT, r.error);
    } catch (const std::bad_alloc&) {
        session->failure = kestrumr_session::AnalysisFailure{};
        session->failure.kind = KESTRUMR_FAILURE_MEMORY;
        return session_fail(session, KESTRUMR_ERR_MEMORY, "not enough memory for the analysis");
    }
}

KESTRUMR_API void kestrumr_analysis_results_free(kestrumr_analysis_results* results) { delete results; }

KESTRUMR_API int32_t kestrumr_analysis_nrow(const kestrumr_analysis_results* results) {
    return results == nullptr ? 0 : static_cast<int32_t>(results->result.L);
}
KESTRUMR_API int32_t kestrumr_analysis_ngrp(const kestrumr_analysis_results* results) {
    return results == nullptr ? 0 : static_cast<int32_t>(results->result.J);
}
KESTRUMR_API int32_t kestrumr_analysis_nchains(const kestrumr_analysis_results* results) {
    return results == nullptr ? 0 : results->result.chains;
}
KESTRUMR_API double kestrumr_analysis_scale(const kestrumr_analysis_results* results) {
    return results == nullptr ? kNaN : results->result.scale;
}

KESTRUMR_API int kestrumr_analysis_column(const kestrumr_analysis_results* results, int32_t column,
                                          int32_t group, double* values, size_t count) {
    if (results == nullptr || values == nullptr) return KESTRUMR_ERR_ARGUMENT;
    const kestrum::analysis::AnalysisResult& r = results->result;
    const auto J = static_cast<int32_t>(r.J);
    const std::vector<double>* v = nullptr;
    int32_t first = 0, last = -1;  // the groups the column has (none: -1)
    switch (column) {
        case KESTRUMR_COLUMN_MEAN: v = &r.gmean; last = J - 1; break;
        case KESTRUMR_COLUMN_VAR: v = &r.gvar; last = J - 1; break;
        case KESTRUMR_COLUMN_POOLED_MEAN: v = &r.pmean; break;
        case KESTRUMR_COLUMN_POOLED_VAR: v = &r.pvar; break;
        case KESTRUMR_COLUMN_DIFF: v = &r.diff; first = 1; last = J - 1; break;
        case KESTRUMR_COLUMN_LO: v = &r.lo; first = 1; last = J - 1; break;
        case KESTRUMR_COLUMN_HI: v = &r.hi; first = 1; last = J - 1; break;
        case KESTRUMR_COLUMN_P_MEAN: v = &r.p_mean; break;
        case KESTRUMR_COLUMN_P_MEAN_MCSE: v = &r.p_mean_mcse; break;
        case KESTRUMR_COLUMN_P_JOINT: v = &r.p_joint; break;
        case KESTRUMR_COLUMN_P_JOINT_MCSE: v = &r.p_joint_mcse; break;
        case KESTRUMR_COLUMN_RHAT: v = &r.rhat; break;
        case KESTRUMR_COLUMN_SCORE_MEAN: v = &r.score_mean; break;
        case KESTRUMR_COLUMN_SCORE_JOINT: v = &r.score_joint; break;
        case KESTRUMR_COLUMN_Q_MEAN: v = &r.q_mean; break;
        case KESTRUMR_COLUMN_Q_JOINT: v = &r.q_joint; break;
        case KESTRUMR_COLUMN_ESS: v = &r.ess; break;
        case KESTRUMR_COLUMN_RHAT_FLAG: v = &r.rhat_flag; break;
        default: return KESTRUMR_ERR_ARGUMENT;
    }
    std::size_t offset = 0;
    if (last >= 0 || first > 0) {
        if (group < first || group > last) return KESTRUMR_ERR_ARGUMENT;
        offset = static_cast<std::size_t>(group - first) * r.L;
    }
    if (count < r.L) return KESTRUMR_ERR_ARGUMENT;
    for (std::size_t g = 0; g < r.L; ++g) values[g] = (*v)[offset + g];
    return KESTRUMR_OK;
}

KESTRUMR_API int64_t kestrumr_analysis_fdr_calls(const kestrumr_analysis_results* results, int32_t column) {
    if (results == nullptr || (column != KESTRUMR_COLUMN_Q_MEAN && column != KESTRUMR_COLUMN_Q_JOINT)) return -1;
    const kestrum::analysis::AnalysisResult& r = results->result;
    const std::vector<double>& q = column == KESTRUMR_COLUMN_Q_MEAN ? r.q_mean : r.q_joint;
    int64_t n = 0;
    for (double x : q) n += x <= r.fdr ? 1 : 0;
    return n;
}

KESTRUMR_API double kestrumr_analysis_fdr_level(const kestrumr_analysis_results* results) {
    return results == nullptr ? kNaN : results->result.fdr;
}

KESTRUMR_API int32_t kestrumr_analysis_permutations(const kestrumr_analysis_results* results) {
    return results == nullptr ? -1 : results->result.permutations;
}

KESTRUMR_API int kestrumr_analysis_row_status(const kestrumr_analysis_results* results, int32_t* status,
                                              size_t count) {
    if (results == nullptr || status == nullptr || count < results->result.L) return KESTRUMR_ERR_ARGUMENT;
    for (std::size_t g = 0; g < results->result.L; ++g) status[g] = results->result.status[g];
    return KESTRUMR_OK;
}

KESTRUMR_API int kestrumr_analysis_rate(const kestrumr_analysis_results* results, int32_t chain,
                                        int32_t group, int32_t what, double* value) {
    if (results == nullptr || value == nullptr) return KESTRUMR_ERR_ARGUMENT;
    const kestrum::analysis::AnalysisResult& r = results->result;
    if (chain < 0 || chain >= r.chains || group < 0 || group >= static_cast<int32_t>(r.J) ||
        what < KESTRUMR_RATE_BURN_ACCEPTANCE || what > KESTRUMR_RATE_STUCK)
        return KESTRUMR_ERR_ARGUMENT;
    if (!r.traced || static_cast<std::size_t>(chain) >= r.traces.size()) return KESTRUMR_ERR_STATE;
    const ChainRecord& t = r.traces[static_cast<std::size_t>(chain)];
    switch (what) {
        case KESTRUMR_RATE_BURN_ACCEPTANCE: *value = kestrum::analysis::acceptance(t, group, 0, t.B); break;
        case KESTRUMR_RATE_LATE_BURN_ACCEPTANCE:
            *value = kestrum::analysis::acceptance(t, group, t.B / 2, t.B);
            break;
        case KESTRUMR_RATE_KEEP_ACCEPTANCE: *value = kestrum::analysis::acceptance(t, group, t.B, t.T); break;
        case KESTRUMR_RATE_LAST:
            *value = t.T > 0 ? kestrum::analysis::variance_to_data_units(
                                   t.rate[static_cast<std::size_t>((t.T - 1) * t.J + group)], r.scale)
                             : kNaN;
            break;
        default: {
            *value = 0.0;
            for (const kestrum::analysis::Warning& w : r.warnings)
                if (w.kind == KESTRUMR_WARNING_STUCK_RATE && w.chain == chain && w.group == group) *value = 1.0;
        }
    }
    return KESTRUMR_OK;
}

KESTRUMR_API size_t kestrumr_analysis_rate_trace_size(const kestrumr_analysis_results* results) {
    if (results == nullptr || !results->result.traced || results->result.traces.empty()) return 0;
    return results->result.traces[0].rate.size();
}

KESTRUMR_API int kestrumr_analysis_rate_trace(const kestrumr_analysis_results* results, int32_t chain,
                                              double* rates, int32_t* accepted, size_t count) {
    if (results == nullptr) return KESTRUMR_ERR_ARGUMENT;
    const kestrum::analysis::AnalysisResult& r = results->result;
    if (chain < 0 || chain >= r.chains) return KESTRUMR_ERR_ARGUMENT;
    const std::size_t n = kestrumr_analysis_rate_trace_size(results);
    if (count < n) return KESTRUMR_ERR_ARGUMENT;
    if (n == 0) return KESTRUMR_OK;
    const ChainRecord& t = r.traces[static_cast<std::size_t>(chain)];
    for (std::size_t i = 0; i < n; ++i) {
        if (rates != nullptr) rates[i] = kestrum::analysis::variance_to_data_units(t.rate[i], r.scale);
        if (accepted != nullptr) accepted[i] = t.accepted[i];
    }
    return KESTRUMR_OK;
}

KESTRUMR_API size_t kestrumr_analysis_warning_count(const kestrumr_analysis_results* results) {
    return results == nullptr ? 0 : results->result.warnings.size();
}

KESTRUMR_API int32_t kestrumr_analysis_warning_kind(const kestrumr_analysis_results* results, size_t index) {
    const auto* w = warning_at(results, index);
    return w == nullptr ? 0 : w->kind;
}
KESTRUMR_API int32_t kestrumr_analysis_warning_chain(const kestrumr_analysis_results* results, size_t index) {
    const auto* w = warning_at(results, index);
    return w == nullptr ? -1 : w->chain;
}
KESTRUMR_API int32_t kestrumr_analysis_warning_group(const kestrumr_analysis_results* results, size_t index) {
    const auto* w = warning_at(results, index);
    return w == nullptr ? -1 : w->group;
}
KESTRUMR_API int64_t kestrumr_analysis_warning_rows(const kestrumr_analysis_results* results, size_t index) {
    const auto* w = warning_at(results, index);
    return w == nullptr ? 0 : w->rows;
}
KESTRUMR_API const char* kestrumr_analysis_warning_text(const kestrumr_analysis_results* results,
                                                        size_t index) {
    const auto* w = warning_at(results, index);
    return w == nullptr ? "" : w->text.c_str();
}

KESTRUMR_API double kestrumr_analysis_warning_value(const kestrumr_analysis_results* results,
                                                    size_t index, int32_t which) {
    const auto* w = warning_at(results, index);
    if (w == nullptr || (which != 0 && which != 1)) return kNaN;
    return which == 0 ? w->value : w->value2;
}

KESTRUMR_API const kestrumr_analysis_results* kestrumr_analysis_failed_results(
    const kestrumr_session* session) {
    return session == nullptr ? nullptr : session->failed.get();
}

KESTRUMR_API int32_t kestrumr_analysis_failure(const kestrumr_session* session) {
    return session == nullptr ? KESTRUMR_FAILURE_NONE : session->failure.kind;
}
KESTRUMR_API int64_t kestrumr_analysis_failure_row(const kestrumr_session* session) {
    return session == nullptr ? -1 : session->failure.row;
}
KESTRUMR_API int32_t kestrumr_analysis_failure_reason(const kestrumr_session* session) {
    return session == nullptr ? 0 : session->failure.reason;
}
KESTRUMR_API int32_t kestrumr_analysis_failure_group(const kestrumr_session* session) {
    return session == nullptr ? -1 : session->failure.group;
}
KESTRUMR_API const char* kestrumr_analysis_failure_prior(const kestrumr_session* session) {
    return session == nullptr ? "" : session->failure.prior;
}
KESTRUMR_API double kestrumr_analysis_failure_value(const kestrumr_session* session, int32_t which) {
    if (session == nullptr || (which != 0 && which != 1)) return kNaN;
    return session->failure.value[which];
}

}  // extern "C"
