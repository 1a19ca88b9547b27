// The whole analysis of a data matrix, as a user should run it: rows that
// cannot be analysed screened out, the data standardised, several chains
// run and pooled, with Monte-Carlo errors, credible bounds, R-hat and the
// warnings a user needs before trusting the results.
//
// The steps, in order:
//   1. rows: a row with a missing value (NaN) is left out; so is a row
//      whose group statistics (computed as the sampler computes them)
//      overflow a double, whose variance rounding makes negative, or with
//      a group whose values are all equal (see rows.h) -- or, with the
//      policy fail, the analysis stops at the first such row;
//   2. scale: the rows that run are divided by one scale (robust_scale,
//      or the caller's); a prior the caller gave is in the data's units
//      and is converted, a default one is meant for standardised data and
//      is used as it is.  The scaled rows and priors are checked again;
//   3. chains: run_chains with chain 1 on the caller's stream and blocks
//      and chains c >= 2 on streams of their own from (seed, c), one
//      memory plan for all, every chain started from a state fitted to the
//      scaled rows (analysis/starts.h) unless the fixed start is asked for;
//   4. pooling (pool_chains), the results converted back to the data's
//      units, rows whose draws became non-finite marked;
//   5. warnings: rows left out, the scale, means far beyond the prior of
//      the means, rate traces not kept, stuck rate updates, rows flagged by R-hat (rhat_flag).
// The numbers are, bit for bit, those the command-line front end writes
// for the same data, options and generator state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "analysis/chains.h"
#include "analysis/fdr.h"
#include "hyper/blocks.h"
#include "random/stream.h"

namespace kestrum::analysis {

// Row statuses besides those of rows.h (kRowOk, kRowNoSpread,
// kRowNotFinite): the values of the KESTRUMR_ROW_ codes.
inline constexpr std::int32_t kRowMissing = 3;   // a value is missing (NaN)
inline constexpr std::int32_t kRowOverflow = 4;  // group statistics overflow a double
inline constexpr std::int32_t kRowRounding = 5;  // a group variance negative from rounding

// Kinds of warning: the values of the KESTRUMR_WARNING_ codes.
inline constexpr std::int32_t kWarnRowsLeftOut = 1;   // rows screened out before the run
inline constexpr std::int32_t kWarnNotFinite = 2;     // rows whose draws became non-finite
inline constexpr std::int32_t kWarnScale = 3;         // the data were divided by a scale
inline constexpr std::int32_t kWarnMeanPrior = 4;     // means far beyond the means' prior
inline constexpr std::int32_t kWarnNotTraced = 5;     // rate traces too long to keep
inline constexpr std::int32_t kWarnStuckRate = 6;     // a chain's rate update stuck
inline constexpr std::int32_t kWarnRhat = 7;          // rows flagged by the R-hat rule

enum class ScaleMode { none, automatic, value };

struct AnalysisSettings {
    std::int32_t chains = 4;
    ScaleMode scale = ScaleMode::automatic;
    double scale_value = 1.0;  // ScaleMode::value
    std::int32_t burn = 1000;
    std::int32_t keep = 1000;
    bool pooled = false;
    // Priors; a given one is in the data's units, a default one in those
    // of the standardised data.  effvar holds one value for every group
    // after the first, or J - 1 values.
    double hshape = 1.0;
    double hrate = 1.0;
    double mvar[2] = {10000.0, 10000.0};
    std::vector<double> effvar{10000.0};
    bool hrate_given = false, mvar_given = false, effvar_given = false;
    bool omit_rows = true;  // false: stop at the first row that cannot be analysed
    std::size_t memory_budget = kChainsMemoryBudget;
    std::int32_t threads = 0;  // 0: the machine's cores, at most 256
    // Chains c >= 2 start from (seed, c) (ChainSettings::seed); chain 1
    // continues the caller's stream, which the caller seeds.
    std::int32_t seed = 0;
    bool store_draws = true;  // false: no bounds, R-hat, joint frequency of two groups
    // Where the chains start: from a state fitted to the (scaled) rows that
    // run (analysis/starts.h), or fixed, as kestrum_ starts.
    StartMode start = StartMode::data;
    // Refuse a run whose rate traces do not fit the memory budget
    // (Failure::traces) instead of running it untraced.
    bool require_traces = false;
    // False-discovery control (analysis/fdr.h): the null analyses the
    // q-values are calibrated on (0: no q-values), and the level the rows
    // called are counted at.
    std::int32_t permutations = kPermutationsAuto;
    double fdr = 0.05;
    // Called once all checks passed, just before the first draw (a host
    // that seeds its generator only then), or nullptr.
    void (*before_draws)(void* context) = nullptr;
    void* before_draws_context = nullptr;
};

// The data: nrow rows of ntot observations, ngrp groups of nobs[j]
// observations, column by column (leading dimension nrow), groups one
// after the other, as kestrum_ takes them.
struct AnalysisData {
    std::int32_t nrow = 0, ngrp = 0, ntot = 0;
    const std::int32_t* nobs = nullptr;
    const double* ydata = nullptr;
};

struct Warning {
    std::int32_t kind = 0;
    std::int32_t chain = -1;  // 0-based, -1: not about one chain
    std::int32_t group = -1;  // 0-based, -1: not about one group
    std::int64_t rows = 0;    // rows concerned (0: none in particular)
    std::string text;
    // The numbers behind the text, for a host that words it its own way:
    //   kWarnScale: value the scale;
    //   kWarnMeanPrior: value the largest absolute group mean, value2 the
    //     smaller prior variance of the means (data units);
    //   kWarnNotTraced: value the MiB the traces would take;
    //   kWarnStuckRate: value the acceptance, value2 the rate (data units);
    //   kWarnRhat: value the number of rows that ran;
    // NaN otherwise.
    double value = std::numeric_limits<double>::quiet_NaN();
    double value2 = std::numeric_limits<double>::quiet_NaN();
};

// What made an analysis fail, with the details a host needs to word it.
enum class Failure {
    none,
    arguments,      // settings or data refused (check_analysis)
    row_policy,     // row: the first row that cannot be analysed (reason, group)
    no_rows,        // every row left out
    scaled_row,     // row: a row that the scale puts out of range (reason, group)
    scaled_prior,   // prior ("hrate", "mvar", "effvar") comes out as value
    unusable_scale, // value: the scale
    over_budget,    // the stored draws do not fit; value: the budget in MiB,
                    // value2: the fewest draws a chain stores
    traces,         // require_traces and the traces do not fit; value: their
                    // MiB, value2: the budget in MiB
    memory,         // run_chains found no memory
    cancelled,
};

// Every result in the input's row order (leading dimension L = nrow):
// NaN for a row without a result (status not kRowOk).
struct AnalysisResult {
    std::size_t L = 0, J = 0;
    std::vector<double> gmean, gvar;      // L x J
    std::vector<double> pmean, pvar;      // L (NaN unless pooled)
    std::vector<double> diff, lo, hi;     // L x (J - 1): mean_(i+2) - mean_1
    std::vector<double> p_mean, p_joint;  // L (NaN for J = 1)
    std::vector<double> p_mean_mcse, p_joint_mcse, rhat;  // L
    // Evidence scores (analysis/score.h) and their q-values (analysis/fdr.h),
    // L each; NaN for J = 1, and the q-values without permutations.
    std::vector<double> score_mean, score_joint, q_mean, q_joint;
    double fdr = 0.05;                    // the level the calls are counted at
    std::int32_t permutations = 0;        // the permuted analyses behind the q-values
    std::vector<double> ess, rhat_flag;   // L (Pooled::ess, Pooled::rhat_flag)
    std::vector<std::int32_t> status;     // L
    double scale = 1.0;                   // what the data were divided by
    std::int32_t chains = 0;
    bool traced = false;
    std::vector<ChainRecord> traces;      // per chain (rate and accepted only)
    std::vector<Warning> warnings;
    std::string error;                    // why the analysis failed
    Failure failure = Failure::none;
    std::int64_t failure_row = -1;        // 0-based
    std::int32_t failure_reason = 0;      // a row status
    std::int32_t failure_group = -1;      // 0-based, -1: the pooled statistics
    const char* failure_prior = "";
    double failure_value = std::numeric_limits<double>::quiet_NaN();
    double failure_value2 = std::numeric_limits<double>::quiet_NaN();
};

// Why a row with every value present cannot run (kRowOk when it can): its
// group statistics, computed as the sampler computes them (parametercal_),
// overflow (kRowOverflow; group -1 for the pooled ones, with pooled) or
// rounding makes a variance negative (kRowRounding), or a group's values
// are all equal (kRowNoSpread, rows.h).  x holds the row's ntot values
// group after group; ybar and s2 (ngrp each) receive the group statistics;
// group the group concerned (0-based).
std::int32_t classify_row(const double* x, bool pooled, std::int32_t ngrp, std::int32_t ntot,
                          const std::int32_t* nobs, double* ybar, double* s2, std::int32_t& group);

enum class AnalysisStatus { ok, argument, memory, cancelled };

// The checks of the settings and data analyse makes first (ok, or
// argument with result.error set); nothing else of result is touched.
AnalysisStatus check_analysis(const AnalysisSettings& settings, const AnalysisData& data,
                              AnalysisResult& result);

// Runs the analysis; chain 1 draws from first (and works in first_blocks),
// chains c >= 2 from streams of their own.  On anything but ok, error says
// why and the numbers are NaN (statuses of the rows screened out are set).
// progress as for run_chains.
AnalysisStatus analyse(random::Stream& first, hyper::Blocks first_blocks,
                       const AnalysisSettings& settings, const AnalysisData& data,
                       AnalysisResult& result, const ChainProgress& progress = {});

}  // namespace kestrum::analysis
