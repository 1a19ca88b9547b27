// The state a session handle owns (kestrumr_session.h), for the files of
// the session interface.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "analysis/chains.h"
#include "hyper/blocks.h"
#include "kestrumr_analysis.h"
#include "kestrumr_session.h"
#include "random/seeding.h"
#include "random/stream.h"

struct kestrumr_session {
    kestrum::random::Record record = kestrum::random::load_time_record();
    kestrum::random::Stream stream{&record};
    kestrum::hyper::BlockStore blocks;
    std::int32_t threads = 1;
    kestrumr_message_fn message_fn = nullptr;
    void* message_context = nullptr;
    kestrumr_progress_fn progress_fn = nullptr;
    void* progress_context = nullptr;
    char errmsg[512] = "";
    // Standardisation and the rate update's record of the last run.
    std::int32_t scaling = KESTRUMR_SCALE_OFF;
    double last_scale = std::numeric_limits<double>::quiet_NaN();
    kestrum::analysis::ChainRecord rates;
    bool rates_recorded = false;
    // KESTRUMR_ROW_ status of every row of the last run past its checks.
    std::vector<std::int32_t> row_status;
    // Why the last kestrumr_analyse failed (kestrumr_analysis_failure_*).
    struct AnalysisFailure {
        std::int32_t kind = 0;  // KESTRUMR_FAILURE_
        std::int64_t row = -1;
        std::int32_t reason = 0, group = -1;
        const char* prior = "";
        double value[2] = {std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::quiet_NaN()};
    } failure;
    // What the last failed kestrumr_analyse met before it stopped.
    std::unique_ptr<kestrumr_analysis_results, void (*)(kestrumr_analysis_results*)> failed{
        nullptr, kestrumr_analysis_results_free};

    kestrumr_session() = default;
    kestrumr_session(const kestrumr_session&) = delete;
    kestrumr_session& operator=(const kestrumr_session&) = delete;
};

