// The whole analysis (kestrumr_analyse): options set from the input, some of
// them out of range, and a small table whose values may be missing,
// infinite, huge, tiny or all equal within a group.  Every call returns a
// status; a refused setter says why and keeps its value; a failed analysis
// gives no results and says why.  An analysis that succeeds gives
//   - one status per row, and NaN in every column of a row left out;
//   - finite posterior means on the rows analysed, tail frequencies in
//     [0, 1], q-values in [0, 1] that never fall as the score falls, and
//     a count of calls that is the number of q-values at most the level;
//   - warning records of known kinds with a text each;
//   - the same bits at one thread and at two, from a new session each.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "kestrumr_analysis.h"
#include "kestrumr_session.h"

using kestrum::fuzz::Input;

namespace {

struct Options {
    kestrumr_analysis_options* o = kestrumr_analysis_options_new();
    Options() { FUZZ_CHECK(o != nullptr); }
    ~Options() { kestrumr_analysis_options_free(o); }
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;
    // A setter's status: a refusal names what was wrong.
    void check(int status) const {
        FUZZ_CHECK(status == KESTRUMR_OK || status == KESTRUMR_ERR_ARGUMENT);
        if (status != KESTRUMR_OK) FUZZ_CHECK(std::strlen(kestrumr_analysis_options_errmsg(o)) > 0);
    }
};

// Values of a prior or a scale: ordinary ones and every kind a caller can
// get wrong.
double take_setting(Input& in) {
    static const double values[] = {1.0, 0.5, 1e4, 0.0, -1.0, 1e-200, 1e200, HUGE_VAL, NAN, 3.0};
    return values[in.small(0, 9)];
}

void set_options(Input& in, const Options& opt, int32_t J) {
    const uint32_t which = in.take<uint32_t>();
    const int32_t chains = (which & 1u) ? in.small(0, 3) : in.small(1, 2);
    opt.check(kestrumr_analysis_set_chains(opt.o, chains));
    if (which & 2u) {
        opt.check(kestrumr_analysis_set_scale(opt.o, in.small(0, 3), take_setting(in)));
    }
    // A refused length leaves the default (1000 + 1000): a short one then.
    const int it = kestrumr_analysis_set_iterations(opt.o, in.small(-1, 5), in.small(1, 8));
    opt.check(it);
    if (it != KESTRUMR_OK) FUZZ_CHECK(kestrumr_analysis_set_iterations(opt.o, 2, 3) == KESTRUMR_OK);
    if (which & 4u) opt.check(kestrumr_analysis_set_pooled(opt.o, in.small(0, 2)));
    if (which & 8u) opt.check(kestrumr_analysis_set_hshape(opt.o, take_setting(in)));
    if (which & 16u) opt.check(kestrumr_analysis_set_hrate(opt.o, take_setting(in)));
    if (which & 32u) {
        opt.check(kestrumr_analysis_set_mvar(opt.o, take_setting(in), take_setting(in)));
    }
    if (which & 64u) {
        const int32_t count = in.small(0, 1) == 0 ? 1 : (J > 1 ? J - 1 : 1);
        std::vector<double> e(static_cast<std::size_t>(count));
        for (auto& v : e) v = take_setting(in);
        opt.check(kestrumr_analysis_set_effvar(opt.o, e.data(), e.size()));
    }
    if (which & 128u) opt.check(kestrumr_analysis_set_row_policy(opt.o, in.small(0, 2)));
    if (which & 256u) {
        const uint64_t bytes = in.small(0, 1) == 0 ? 1u : 1048576u;
        opt.check(kestrumr_analysis_set_memory_budget(opt.o, bytes));
    }
    if (which & 512u) opt.check(kestrumr_analysis_set_draws(opt.o, in.small(0, 1)));
    if (which & 1024u) opt.check(kestrumr_analysis_set_traces(opt.o, in.small(0, 1)));
    if (which & 2048u) {
        static const double levels[] = {0.05, 0.5, 0.0, 1.0, NAN};
        opt.check(kestrumr_analysis_set_fdr(opt.o, levels[in.small(0, 4)]));
    }
    // The null analyses: none, a few, or as many as the rows ask for (16
    // for a table this small).
    const int32_t p = in.small(-2, 4);
    opt.check(kestrumr_analysis_set_permutations(opt.o, p == -2 ? KESTRUMR_PERMUTATIONS_AUTO : p));
    if (which & 4096u) opt.check(kestrumr_analysis_set_start(opt.o, in.small(0, 2)));
    opt.check(kestrumr_analysis_set_seed(opt.o, in.small(0, 3)));
}

// A value of the table: eighths of a small integer times a magnitude, now
// and then missing or infinite.
double take_value(Input& in, double magnitude) {
    const int8_t b = in.take<int8_t>();
    if (b == -128) return NAN;
    if (b == 127) return HUGE_VAL;
    return static_cast<double>(b) / 8.0 * magnitude;
}

struct Columns {
    std::vector<int32_t> status;
    std::vector<std::vector<double>> values;  // every column and group, in a fixed order
    std::vector<int64_t> calls;
    size_t warnings = 0;
};

const int32_t kColumns[] = {KESTRUMR_COLUMN_MEAN,        KESTRUMR_COLUMN_VAR,
                            KESTRUMR_COLUMN_POOLED_MEAN, KESTRUMR_COLUMN_POOLED_VAR,
                            KESTRUMR_COLUMN_DIFF,        KESTRUMR_COLUMN_LO,
                            KESTRUMR_COLUMN_HI,          KESTRUMR_COLUMN_P_MEAN,
                            KESTRUMR_COLUMN_P_MEAN_MCSE, KESTRUMR_COLUMN_P_JOINT,
                            KESTRUMR_COLUMN_P_JOINT_MCSE, KESTRUMR_COLUMN_RHAT,
                            KESTRUMR_COLUMN_SCORE_MEAN,  KESTRUMR_COLUMN_SCORE_JOINT,
                            KESTRUMR_COLUMN_Q_MEAN,      KESTRUMR_COLUMN_Q_JOINT,
                            KESTRUMR_COLUMN_ESS,         KESTRUMR_COLUMN_RHAT_FLAG};

bool has_groups(int32_t column) {
    return column == KESTRUMR_COLUMN_MEAN || column == KESTRUMR_COLUMN_VAR ||
           column == KESTRUMR_COLUMN_DIFF || column == KESTRUMR_COLUMN_LO ||
           column == KESTRUMR_COLUMN_HI;
}

Columns read_results(const kestrumr_analysis_results* r, int32_t L, int32_t J) {
    Columns c;
    const size_t n = static_cast<size_t>(L > 0 ? L : 1);
    c.status.assign(n, -1);
    FUZZ_CHECK(kestrumr_analysis_row_status(r, c.status.data(), n) == KESTRUMR_OK);
    for (int32_t col : kColumns) {
        const bool groups = has_groups(col);
        const int32_t first = (col == KESTRUMR_COLUMN_DIFF || col == KESTRUMR_COLUMN_LO ||
                               col == KESTRUMR_COLUMN_HI) ? 1 : 0;
        for (int32_t g = groups ? first : 0; g < (groups ? J : 1); ++g) {
            std::vector<double> v(n, 0.0);
            FUZZ_CHECK(kestrumr_analysis_column(r, col, g, v.data(), n) == KESTRUMR_OK);
            c.values.push_back(v);
        }
    }
    c.calls = {kestrumr_analysis_fdr_calls(r, KESTRUMR_COLUMN_Q_MEAN),
               kestrumr_analysis_fdr_calls(r, KESTRUMR_COLUMN_Q_JOINT)};
    c.warnings = kestrumr_analysis_warning_count(r);
    return c;
}

std::vector<double> column(const kestrumr_analysis_results* r, int32_t col, int32_t g, int32_t L) {
    std::vector<double> v(static_cast<size_t>(L > 0 ? L : 1));
    FUZZ_CHECK(kestrumr_analysis_column(r, col, g, v.data(), v.size()) == KESTRUMR_OK);
    return v;
}

// The documented properties of one successful analysis.
void check_results(const kestrumr_analysis_results* r, int32_t L, int32_t J) {
    FUZZ_CHECK(kestrumr_analysis_nrow(r) == L);
    FUZZ_CHECK(kestrumr_analysis_ngrp(r) == J);
    const Columns c = read_results(r, L, J);
    for (int32_t i = 0; i < L; ++i) {
        const int32_t s = c.status[static_cast<size_t>(i)];
        FUZZ_CHECK(s >= KESTRUMR_ROW_OK && s <= KESTRUMR_ROW_ROUNDING);
        if (s == KESTRUMR_ROW_OK || s == KESTRUMR_ROW_NOT_FINITE) continue;
        for (const auto& v : c.values) FUZZ_CHECK(std::isnan(v[static_cast<size_t>(i)]));
    }
    const auto mean = column(r, KESTRUMR_COLUMN_MEAN, 0, L);
    for (int32_t i = 0; i < L; ++i) {
        const size_t k = static_cast<size_t>(i);
        if (c.status[k] == KESTRUMR_ROW_OK) FUZZ_CHECK(std::isfinite(mean[k]));
    }
    for (int32_t col : {KESTRUMR_COLUMN_P_MEAN, KESTRUMR_COLUMN_P_JOINT}) {
        for (double p : column(r, col, 0, L)) FUZZ_CHECK(std::isnan(p) || (p >= 0.0 && p <= 1.0));
    }
    const double level = kestrumr_analysis_fdr_level(r);
    const int32_t tests[2][2] = {{KESTRUMR_COLUMN_SCORE_MEAN, KESTRUMR_COLUMN_Q_MEAN},
                                 {KESTRUMR_COLUMN_SCORE_JOINT, KESTRUMR_COLUMN_Q_JOINT}};
    for (int t = 0; t < 2; ++t) {
        const auto score = column(r, tests[t][0], 0, L);
        const auto q = column(r, tests[t][1], 0, L);
        int64_t called = 0;
        for (int32_t i = 0; i < L; ++i) {
            const double qi = q[static_cast<size_t>(i)];
            FUZZ_CHECK(std::isnan(qi) || (qi >= 0.0 && qi <= 1.0));
            if (qi <= level) ++called;
            for (int32_t k = 0; k < L; ++k) {
                const double si = score[static_cast<size_t>(i)], sk = score[static_cast<size_t>(k)];
                const double qk = q[static_cast<size_t>(k)];
                if (std::isnan(qi) || std::isnan(qk) || std::isnan(si) || std::isnan(sk)) continue;
                if (si >= sk) FUZZ_CHECK(qi <= qk);
            }
        }
        FUZZ_CHECK(c.calls[static_cast<size_t>(t)] == called);
    }
    for (size_t w = 0; w < c.warnings; ++w) {
        const int32_t kind = kestrumr_analysis_warning_kind(r, w);
        FUZZ_CHECK(kind >= KESTRUMR_WARNING_ROWS_LEFT_OUT && kind <= KESTRUMR_WARNING_RHAT);
        FUZZ_CHECK(std::strlen(kestrumr_analysis_warning_text(r, w)) > 0);
    }
}

bool same_bits(const Columns& a, const Columns& b) {
    if (a.status != b.status || a.calls != b.calls || a.warnings != b.warnings) return false;
    if (a.values.size() != b.values.size()) return false;
    for (size_t k = 0; k < a.values.size(); ++k) {
        const size_t bytes = a.values[k].size() * sizeof(double);
        if (std::memcmp(a.values[k].data(), b.values[k].data(), bytes) != 0) {
            return false;
        }
    }
    return true;
}

void quiet(void*, const char*) {}

struct Run {
    int status = KESTRUMR_OK;
    kestrumr_analysis_results* r = nullptr;
    ~Run() { kestrumr_analysis_results_free(r); }
};

// One analysis on a new session at the given thread count.
void analyse(Run& run, const Options& opt, int32_t threads, int32_t L, int32_t J,
             const std::vector<int32_t>& nobs, int32_t N, const std::vector<double>& y) {
    kestrumr_session* s = kestrumr_session_new();
    FUZZ_CHECK(s != nullptr);
    kestrumr_set_message_callback(s, quiet, nullptr);
    FUZZ_CHECK(kestrumr_analysis_set_threads(opt.o, threads) == KESTRUMR_OK);
    const double* table = y.empty() ? nullptr : y.data();
    run.status = kestrumr_analyse(s, opt.o, L, J, nobs.data(), N, table, &run.r);
    if (run.status == KESTRUMR_OK) {
        FUZZ_CHECK(run.r != nullptr);
    } else {
        FUZZ_CHECK(run.r == nullptr);
        FUZZ_CHECK(run.status == KESTRUMR_ERR_ARGUMENT || run.status == KESTRUMR_ERR_MEMORY);
        FUZZ_CHECK(std::strlen(kestrumr_errmsg(s)) > 0);
    }
    kestrumr_session_free(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int32_t L = in.small(0, 5), J = in.small(1, 3);
    std::vector<int32_t> nobs(static_cast<size_t>(J));
    int32_t N = 0;
    for (auto& n : nobs) N += (n = in.small(1, 4));
    if (in.small(0, 15) == 0) N += 1;  // sizes that do not add up
    static const double magnitudes[] = {1.0, 1e-3, 1e3, 1e-160, 1e160};
    const double magnitude = magnitudes[in.small(0, 4)];
    std::vector<double> y(static_cast<size_t>(L) * static_cast<size_t>(N));
    for (auto& v : y) v = take_value(in, magnitude);
    // A row whose first group is all equal.
    if (L > 0 && in.small(0, 3) == 0) {
        for (int32_t i = 0; i < nobs[0] && i < N; ++i) y[static_cast<size_t>(i) * L] = 1.0;
    }
    Options opt;
    set_options(in, opt, J);
    Run one, two;
    analyse(one, opt, 1, L, J, nobs, N, y);
    if (one.status != KESTRUMR_OK) return 0;
    check_results(one.r, L, J);
    analyse(two, opt, 2, L, J, nobs, N, y);
    FUZZ_CHECK(two.status == KESTRUMR_OK);
    FUZZ_CHECK(same_bits(read_results(one.r, L, J), read_results(two.r, L, J)));
    return 0;
}
