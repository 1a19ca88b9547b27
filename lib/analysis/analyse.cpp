#include "analysis/analyse.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <utility>

#include "analysis/fdr.h"
#include "analysis/moderate.h"
#include "analysis/rows.h"
#include "analysis/scale.h"
#include "analysis/score.h"
#include "driver/estimate.h"
#include "kestrumr.h"

namespace kestrum::analysis {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// "%.*g" of x.
std::string number(double x, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, x);
    return buf;
}

std::string count(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
}

// The progress of the observed chains counted among all iterations of the
// analysis, the permuted analyses' included.
struct WholeProgress {
    const ChainProgress* user;
    std::int64_t total;
};
void whole_report(void* context, std::int64_t done, std::int64_t /*total*/) {
    const auto* w = static_cast<WholeProgress*>(context);
    w->user->report(w->user->context, done, w->total);
}
bool whole_stop(void* context) {
    const auto* w = static_cast<WholeProgress*>(context);
    return w->user->stop(w->user->context);
}

}  // namespace

std::int32_t classify_row(const double* x, bool pooled, std::int32_t J, std::int32_t N,
                          const std::int32_t* nobs, double* ybar, double* s2, std::int32_t& group) {
    const std::int32_t ipool = pooled ? 1 : 0;
    double ybar0 = 0.0, s20 = 0.0;
    parametercal_(x, &ipool, &J, &N, nobs, ybar, s2, &ybar0, &s20);
    for (std::int32_t j = 0; j < J; ++j) {
        group = j;
        if (!std::isfinite(ybar[j]) || !std::isfinite(s2[j])) return kRowOverflow;
        if (s2[j] < 0.0) return kRowRounding;
    }
    group = -1;
    if (ipool == 1 && (!std::isfinite(ybar0) || !std::isfinite(s20) || s20 < 0.0)) return kRowOverflow;
    group = group_without_spread(x, 1, J, nobs);
    return group >= 0 ? kRowNoSpread : kRowOk;
}

namespace {

std::string trouble_text(std::int32_t why, std::int32_t group) {
    const std::string g = "group " + std::to_string(group + 1);
    switch (why) {
        case kRowMissing: return "a value is missing";
        case kRowOverflow:
            return group < 0 ? "the pooled mean or variance overflows (values too large)"
                             : "the mean or variance of " + g + " overflows (values too large)";
        case kRowRounding:
            return "the variance of " + g +
                   " comes out negative from rounding (large values with a small spread: centre or "
                   "scale the data)";
        default:
            return "the values of " + g + " are all equal (no spread to estimate its variance from)";
    }
}

AnalysisStatus refuse(AnalysisResult& r, std::string why, Failure failure = Failure::arguments) {
    r.error = std::move(why);
    r.failure = failure;
    return AnalysisStatus::argument;
}

}  // namespace

AnalysisStatus check_analysis(const AnalysisSettings& s, const AnalysisData& d, AnalysisResult& r) {
    if (s.chains < 1 || s.chains > 1024) return refuse(r, "chains must be from 1 to 1024");
    if (s.burn < 0) return refuse(r, "burn must be >= 0");
    if (s.keep < 2) return refuse(r, "keep must be at least 2 (the difference tests need the spread of the kept draws)");
    if (s.threads < 0) return refuse(r, "threads must be >= 0");
    if (s.seed < 0) return refuse(r, "seed must be from 0 to 2147483647");
    if (s.permutations != kPermutationsAuto && (s.permutations < 0 || s.permutations > kMaxPermutations))
        return refuse(r, "permutations must be auto or from 0 to " + std::to_string(kMaxPermutations));
    if (!(s.fdr > 0.0 && s.fdr < 1.0)) return refuse(r, "the false-discovery rate must lie between 0 and 1");
    if (s.scale == ScaleMode::value && !usable_scale(s.scale_value))
        return refuse(r, "the scale must be a number > 0 whose square neither under- nor overflows a double");
    if (!(std::isfinite(s.hshape) && s.hshape >= 0.0)) return refuse(r, "hshape must be finite and >= 0");
    if (!(std::isfinite(s.hrate) && s.hrate >= 0.0)) return refuse(r, "hrate must be finite and >= 0");
    for (double x : s.mvar)
        if (!(std::isfinite(x) && x > 0.0)) return refuse(r, "mvar: prior variances must be finite and > 0");
    if (s.effvar.empty()) return refuse(r, "effvar holds no value");
    for (double x : s.effvar)
        if (!(std::isfinite(x) && x > 0.0)) return refuse(r, "effvar: prior variances must be finite and > 0");
    if (d.nrow < 0) return refuse(r, "nrow is " + std::to_string(d.nrow) + "; it must be >= 0");
    if (d.ngrp < 1) return refuse(r, "ngrp is " + std::to_string(d.ngrp) + "; it must be >= 1");
    if (d.nobs == nullptr) return refuse(r, "nobs is a null pointer");
    std::int64_t n = 0;
    for (std::int32_t j = 0; j < d.ngrp; ++j) {
        if (d.nobs[j] < 2)
            return refuse(r, "nobs[" + std::to_string(j) + "] is " + std::to_string(d.nobs[j]) +
                                 "; every group needs at least 2 observations");
        n += d.nobs[j];
    }
    if (n != d.ntot)
        return refuse(r, "the group sizes add up to " + std::to_string(n) + ", not to ntot " +
                             std::to_string(d.ntot));
    if (s.effvar.size() != 1 && s.effvar.size() != static_cast<std::size_t>(d.ngrp - 1))
        return refuse(r, "effvar gives " + std::to_string(s.effvar.size()) + " values; there are " +
                             std::to_string(d.ngrp - 1) + " groups after the first");
    if (d.nrow > 0 && d.ydata == nullptr) return refuse(r, "ydata is a null pointer");
    return AnalysisStatus::ok;
}

namespace {

void size_results(AnalysisResult& r, std::size_t L, std::size_t J) {
    r.L = L;
    r.J = J;
    const std::size_t D = J > 1 ? J - 1 : 0;
    for (std::vector<double>* v : {&r.gmean, &r.gvar}) v->assign(L * J, kNaN);
    for (std::vector<double>* v : {&r.diff, &r.lo, &r.hi}) v->assign(L * D, kNaN);
    for (std::vector<double>* v : {&r.pmean, &r.pvar, &r.p_mean, &r.p_joint, &r.p_mean_mcse,
                                   &r.p_joint_mcse, &r.rhat, &r.score_mean, &r.score_joint, &r.q_mean,
                                   &r.q_joint, &r.ess, &r.rhat_flag})
        v->assign(L, kNaN);
    r.status.assign(L, kRowOk);
}

}  // namespace

AnalysisStatus analyse(random::Stream& first, hyper::Blocks first_blocks,
                       const AnalysisSettings& s, const AnalysisData& d, AnalysisResult& r,
                       const ChainProgress& progress) {
    r = AnalysisResult{};
    r.scale = kNaN;
    if (const AnalysisStatus c = check_analysis(s, d, r); c != AnalysisStatus::ok) return c;
    const std::size_t L = static_cast<std::size_t>(d.nrow), J = static_cast<std::size_t>(d.ngrp),
                      N = static_cast<std::size_t>(d.ntot);
    size_results(r, L, J);
    r.chains = s.chains;
    const std::int32_t ipool = s.pooled ? 1 : 0;

    // 1. The rows that run: every value present and statistics a double
    // can hold.  run_index[g] is the row's place in the run, or -1.
    std::vector<std::int64_t> run_index(L, -1);
    std::vector<double> row(N), ybar(J), s2(J);
    std::vector<std::size_t> missing, trouble;  // counted from 1, for the warnings
    std::size_t Lz = 0;
    double largest_mean = 0.0;
    for (std::size_t g = 0; g < L; ++g) {
        bool absent = false;
        for (std::size_t c = 0; c < N; ++c) {
            row[c] = d.ydata[g + c * L];
            absent = absent || std::isnan(row[c]);
        }
        std::int32_t group = -1;
        const std::int32_t why = absent ? kRowMissing
                                        : classify_row(row.data(), s.pooled, d.ngrp, d.ntot, d.nobs,
                                                       ybar.data(), s2.data(), group);
        if (why != kRowOk) {
            r.status[g] = why;
            if (!s.omit_rows) {
                r.failure_row = static_cast<std::int64_t>(g);
                r.failure_reason = why;
                r.failure_group = group;
                return refuse(r, "row " + std::to_string(g + 1) + ": " + trouble_text(why, group) +
                                     " (the row policy omit leaves such rows out)",
                              Failure::row_policy);
            }
            (why == kRowMissing ? missing : trouble).push_back(g + 1);
            continue;
        }
        for (std::size_t j = 0; j < J; ++j) largest_mean = std::max(largest_mean, std::fabs(ybar[j]));
        run_index[g] = static_cast<std::int64_t>(Lz++);
    }
    if (!missing.empty())
        r.warnings.push_back({kWarnRowsLeftOut, -1, -1, static_cast<std::int64_t>(missing.size()),
                              count(missing.size(), " row", " rows") +
                                  " with missing values left out (their results are NaN); rows " +
                                  number_list(missing)});
    if (!trouble.empty())
        r.warnings.push_back({kWarnRowsLeftOut, -1, -1, static_cast<std::int64_t>(trouble.size()),
                              count(trouble.size(), " row", " rows") +
                                  " left out for statistics that overflow or a group of equal "
                                  "values (their results are NaN); rows " +
                                  number_list(trouble)});
    if (Lz == 0)
        return refuse(r, "no row left to analyse (" + count(L, " row", " rows") + ", all left out)",
                      Failure::no_rows);

    // The priors are vague only for data within about 100 prior standard
    // deviations of 0: far beyond, the results are pulled towards 0.
    if (s.scale == ScaleMode::none && largest_mean > 100.0 * std::sqrt(std::min(s.mvar[0], s.mvar[1])))
        r.warnings.push_back({kWarnMeanPrior, -1, -1, 0,
                              "group means reach " + number(largest_mean, 3) +
                                  ", far beyond the prior variance of the means " +
                                  number(std::min(s.mvar[0], s.mvar[1]), 6) +
                                  ": the results are pulled towards 0; rescale mvar, effvar and hrate "
                                  "with the square of the data's scale, or standardise the data",
                              largest_mean, std::min(s.mvar[0], s.mvar[1])});

    // The data of the rows that run, column by column (leading dimension Lz).
    std::vector<double> ydata(Lz * N);
    for (std::size_t g = 0; g < L; ++g) {
        if (run_index[g] < 0) continue;
        const auto i = static_cast<std::size_t>(run_index[g]);
        for (std::size_t c = 0; c < N; ++c) ydata[i + c * Lz] = d.ydata[g + c * L];
    }

    // 2. Standardisation: the data divided by one scale, the priors the
    // caller gave converted to those units (the defaults are meant for
    // standardised data), the results converted back after the run.
    double scale = 1.0;
    Priors priors;
    priors.hshape = s.hshape;
    priors.hrate = s.hrate;
    priors.mvar[0] = s.mvar[0];
    priors.mvar[1] = s.mvar[1];
    priors.effvar.assign(J > 1 ? J - 1 : 1, s.effvar[0]);
    if (s.effvar.size() != 1) priors.effvar = s.effvar;
    if (s.scale == ScaleMode::automatic)
        scale = robust_scale(ydata.data(), static_cast<std::int32_t>(Lz), d.ngrp, d.nobs);
    if (s.scale == ScaleMode::value) scale = s.scale_value;
    r.scale = scale;
    if (s.scale != ScaleMode::none) {
        data_to_standard(ydata.data(), ydata.size(), scale);
        priors = priors_to_standard(priors, scale, {s.hrate_given, s.mvar_given, s.effvar_given});
        r.warnings.push_back({kWarnScale, -1, -1, 0,
                              "data divided by the scale " + number(scale, 6) +
                                  (s.scale == ScaleMode::automatic
                                       ? " (median over rows of the pooled within-group sd)"
                                       : "") +
                                  "; results are in the data's units",
                              scale});
        const double mvar_min = std::min(priors.mvar[0], priors.mvar[1]);
        if (largest_mean / scale > 100.0 * std::sqrt(mvar_min))
            r.warnings.push_back({kWarnMeanPrior, -1, -1, 0,
                                  "group means reach " + number(largest_mean, 3) +
                                      ", far beyond the prior variance of the means (" +
                                      number(variance_to_data_units(mvar_min, scale), 6) +
                                      " in the data's units): the results are pulled towards 0; "
                                      "give a larger mvar (in the data's units)",
                                  largest_mean, variance_to_data_units(mvar_min, scale)});
        // The scaled rows and priors are checked as given ones are: a
        // value far from the scale can leave a double's range.
        const std::string scaled_by = "divided by the scale " + number(scale, 6);
        for (std::size_t g = 0; g < L; ++g) {
            if (run_index[g] < 0) continue;
            const auto i = static_cast<std::size_t>(run_index[g]);
            for (std::size_t c = 0; c < N; ++c) row[c] = ydata[i + c * Lz];
            std::int32_t group = -1;
            const std::int32_t why = classify_row(row.data(), s.pooled, d.ngrp, d.ntot, d.nobs,
                                                  ybar.data(), s2.data(), group);
            if (why != kRowOk) {
                r.failure_row = static_cast<std::int64_t>(g);
                r.failure_reason = why;
                r.failure_group = group;
                return refuse(r, "row " + std::to_string(g + 1) + " " + scaled_by + ": " +
                                     trouble_text(why, group) +
                                     "; give no scale or a scale that suits every row",
                              Failure::scaled_row);
            }
        }
        auto prior_trouble = [&](const char* name, double x, bool positive) {
            if (std::isfinite(x) && (positive ? x > 0.0 : x >= 0.0)) return false;
            r.failure = Failure::scaled_prior;
            r.failure_prior = name;
            r.failure_value = x;
            r.error = std::string(name) + " comes out as " + number(x, 6) + " in the units of the data " +
                      scaled_by + " (a prior " +
                      (positive ? "variance must be finite and > 0" : "rate must be finite and >= 0") +
                      "); give no scale or a scale nearer the data's spread";
            return true;
        };
        bool bad = prior_trouble("hrate", priors.hrate, false) || prior_trouble("mvar", priors.mvar[0], true) ||
                   prior_trouble("mvar", priors.mvar[1], true);
        for (double x : priors.effvar) bad = bad || prior_trouble("effvar", x, true);
        if (bad) return AnalysisStatus::argument;
        if (!usable_scale(scale)) {
            r.failure_value = scale;
            return refuse(r, "the data's scale " + number(scale, 6) +
                                 " is too small or too large: its square under- or overflows a double; "
                                 "multiply the data by a power of 10, or give no scale",
                          Failure::unusable_scale);
        }
    }

    // 3. The chains, with one memory plan checked before anything is drawn.
    const std::int32_t reserved = 0;
    driver::Arguments a;
    a.reserved = &reserved;
    a.ipool = ipool;
    a.nrow = static_cast<std::int32_t>(Lz);
    a.ngrp = d.ngrp;
    a.nobs = d.nobs;
    a.ntot = d.ntot;
    a.ydata = ydata.data();
    a.nkeep = s.keep;
    a.nburn = s.burn;
    a.hshape = s.hshape;
    a.hrate = priors.hrate;
    a.mvar = priors.mvar;
    a.effvar = priors.effvar.data();
    // The threads in all: chains side by side, the rest (one chain's draws
    // not stored per row) sharing each chain's rows.
    const std::int32_t threads = s.threads > 0 ? s.threads : std::min(available_threads(), 256);
    ChainSettings settings;
    settings.chains = s.chains;
    settings.threads = std::min(settings.chains, threads);
    settings.engine_threads = std::max(1, threads / settings.threads);
    settings.store_draws = s.store_draws;
    settings.start = s.start;
    settings.seed = s.seed;
    settings.first_stream = &first;
    settings.first_blocks = first_blocks;
    settings.memory_budget = s.memory_budget;
    settings.contrast_moments = true;
    const MemoryPlan plan = plan_memory(a, settings);
    const double budget_mib = static_cast<double>(plan.budget) / 1048576.0;
    if (!plan.fits) {
        r.error = "the stored draws of " + std::to_string(s.chains) + " chains for " + std::to_string(Lz) +
                  " rows and " + std::to_string(J) + " groups do not fit in the memory budget of " +
                  number(budget_mib, 6) + " MiB, not even " + std::to_string(kMinStoredDraws) +
                  " a chain; use fewer chains, a larger budget, or no stored draws";
        r.failure = Failure::over_budget;
        r.failure_value = budget_mib;
        r.failure_value2 = static_cast<double>(kMinStoredDraws);
        return AnalysisStatus::memory;
    }
    r.traced = plan.traced;
    if (!plan.traced) {
        const double trace_mib = 9.0 * static_cast<double>(s.chains) *
                                 static_cast<double>(static_cast<std::int64_t>(s.burn) + s.keep) *
                                 static_cast<double>(J) / 1048576.0;
        if (s.require_traces) {
            r.error = "the rate traces of " + std::to_string(s.chains) + " chains would take " +
                      number(trace_mib, 4) + " MiB, more than an eighth of the memory budget of " +
                      number(budget_mib, 6) + " MiB";
            r.failure = Failure::traces;
            r.failure_value = trace_mib;
            r.failure_value2 = budget_mib;
            return AnalysisStatus::memory;
        }
        r.warnings.push_back({kWarnNotTraced, -1, -1, 0,
                              "the rate traces of " + std::to_string(s.chains) + " chains would take " +
                                  number(trace_mib, 4) +
                                  " MiB, beyond the run's memory budget for them: the rate update "
                                  "is not checked",
                              trace_mib});
    }
    if (s.before_draws != nullptr) s.before_draws(s.before_draws_context);
    ChainsResult chains;
    const std::int32_t P = s.permutations == kPermutationsAuto ? auto_permutations(Lz) : s.permutations;
    const bool permute = P > 0 && d.ngrp >= 2 && d.ngrp <= kMaxScoreGroups;
    const std::int64_t iterations = static_cast<std::int64_t>(s.burn) + s.keep;
    WholeProgress whole{&progress, iterations * (s.chains + (permute ? P : 0))};
    ChainProgress observed_progress = progress;
    if (progress.report != nullptr && progress.stop != nullptr)
        observed_progress = ChainProgress{whole_report, whole_stop, &whole};
    const ChainsStatus status = run_chains(a, settings, chains, observed_progress);
    if (status == ChainsStatus::cancelled) {
        r.error = "cancelled";
        r.failure = Failure::cancelled;
        return AnalysisStatus::cancelled;
    }
    if (status != ChainsStatus::ok) {
        r.failure = Failure::memory;
        r.error = "not enough memory for " + std::to_string(Lz) + " rows, " + std::to_string(J) +
                  " groups and " + std::to_string(s.keep) + " kept iterations in " +
                  std::to_string(s.chains) + " chains (" +
                  std::to_string(std::min(s.chains, settings.threads)) + " at once: try 1 thread)";
        return AnalysisStatus::memory;
    }

    // 4. Pooled, in the data's units.
    Pooled p;
    pool_chains(chains, a.nrow, a.ngrp, p);
    if (s.scale != ScaleMode::none) {
        results_to_data_units({p.prob.data(), p.pmeanbar.data(), p.pvarbar.data(), p.gmeanbar.data(),
                               p.gvarbar.data()},
                              a.nrow, a.ngrp, scale);
        for (std::vector<double>* v : {&p.diff, &p.lower, &p.upper})
            means_to_data_units(v->data(), v->size(), scale);
    }

    // Evidence scores from every kept draw of every chain, and their
    // q-values from analyses of null data made from them.
    std::vector<double> score_mean(Lz, kNaN), score_joint(Lz, kNaN), q_mean(Lz, kNaN), q_joint(Lz, kNaN);
    VariancePrior prior;  // the moderation of score_mean, fitted to the observed rows
    {
        std::vector<const double*> moments;
        for (const ChainRecord& rec : chains.rec) moments.push_back(rec.moments.data());
        ScoreScratch scratch;
        std::vector<double> s2, vmod;
        prior = moderated_group_variances(a.ydata, Lz, d.ngrp, d.nobs, s2, vmod);
        contrast_scores(moments, Lz, d.ngrp, s.keep, score_mean.data(), score_joint.data(), scratch,
                        vmod.data(), d.nobs);
        for (std::size_t i = 0; i < Lz; ++i)
            if (p.status[i] != kRowOk) score_mean[i] = score_joint[i] = kNaN;
    }
    r.fdr = s.fdr;
    if (permute) {
        // The observed chains' stores are pooled already: their memory is
        // the permuted analyses' now.
        for (ChainRecord& rec : chains.rec) {
            FloatDraws().swap(rec.contrasts);
            std::vector<double>().swap(rec.moments);
        }
        std::vector<double> null_mean, null_joint;
        const ChainsStatus ps = null_scores(a, prior, s.seed, P, s.start, threads, s.memory_budget, null_mean,
                                            null_joint, progress, iterations * s.chains, whole.total);
        if (ps == ChainsStatus::cancelled) {
            r.error = "cancelled";
            r.failure = Failure::cancelled;
            return AnalysisStatus::cancelled;
        }
        if (ps != ChainsStatus::ok) {
            r.failure = Failure::memory;
            r.error = "not enough memory for the " + std::to_string(P) +
                      " null analyses of the data (" + std::to_string(Lz) + " rows)";
            return AnalysisStatus::memory;
        }
        permutation_q_values(score_mean.data(), Lz, null_mean, q_mean.data());
        permutation_q_values(score_joint.data(), Lz, null_joint, q_joint.data());
        r.permutations = P;
    }

    // 5. Warnings on the chains: a rate update that stuck, rows on which
    // the chains disagree.
    for (const StuckRate& st : stuck_rates(chains)) {
        const bool stopped = std::isnan(st.acceptance) || st.acceptance == 0.0;
        r.warnings.push_back({kWarnStuckRate, st.chain, st.group, 0,
                              "chain " + std::to_string(st.chain + 1) + ", group " +
                                  std::to_string(st.group + 1) + ": the rate of the variance prior " +
                                  (stopped ? "stopped moving" : "hardly moves") + " (" +
                                  number(100.0 * st.acceptance, 3) +
                                  "% of its trials accepted late in the burn-in, rate " +
                                  number(variance_to_data_units(st.rate, scale), 4) +
                                  "); the results are not to be trusted.  Standardise the data "
                                  "(scale auto, the default), or give hrate of the order of the "
                                  "within-group variances, and a longer burn-in",
                              st.acceptance, variance_to_data_units(st.rate, scale)});
    }
    // Rows whose chains do not mix by the flag rule (rhat_flag_threshold),
    // numbered in the input's order.
    std::vector<std::size_t> unmixed;
    if (s.store_draws)
        for (std::size_t g = 0; g < L; ++g)
            if (run_index[g] >= 0 && p.rhat_flag[static_cast<std::size_t>(run_index[g])] == 1.0)
                unmixed.push_back(g + 1);
    if (!unmixed.empty())
        r.warnings.push_back({kWarnRhat, -1, -1, static_cast<std::int64_t>(unmixed.size()),
                              count(unmixed.size(), " row", " rows") + " of " + std::to_string(Lz) +
                                  " with R-hat beyond what mixing chains give (the chains disagree "
                                  "on them, rhat_flag 1): rows " +
                                  number_list(unmixed) +
                                  "; run longer chains (burn, keep) before trusting those rows",
                              static_cast<double>(Lz)});

    // The results in the input's row order; rows whose draws became
    // non-finite have none.
    std::vector<std::size_t> broken;  // counted from 1, for the warning
    const std::size_t D = J > 1 ? J - 1 : 0;
    for (std::size_t g = 0; g < L; ++g) {
        if (run_index[g] < 0) continue;
        const auto i = static_cast<std::size_t>(run_index[g]);
        if (results_not_finite(p.gmeanbar.data(), p.gvarbar.data(), p.pmeanbar.data(), p.pvarbar.data(),
                               Lz, J, s.pooled, i)) {
            r.status[g] = kRowNotFinite;
            broken.push_back(g + 1);
            continue;
        }
        for (std::size_t j = 0; j < J; ++j) {
            r.gmean[g + j * L] = p.gmeanbar[i + j * Lz];
            r.gvar[g + j * L] = p.gvarbar[i + j * Lz];
        }
        if (s.pooled) {
            r.pmean[g] = p.pmeanbar[i];
            r.pvar[g] = p.pvarbar[i];
        }
        for (std::size_t k = 0; k < D; ++k) {
            r.diff[g + k * L] = p.diff[i + k * Lz];
            r.lo[g + k * L] = p.lower[i + k * Lz];
            r.hi[g + k * L] = p.upper[i + k * Lz];
        }
        if (J >= 2) {
            r.p_mean[g] = p.prob[i];
            r.p_joint[g] = J >= 3 ? p.prob[i + Lz] : p.joint[i];
            r.p_mean_mcse[g] = p.mcse[i];
            r.p_joint_mcse[g] = p.mcse[i + Lz];
            r.rhat[g] = p.rhat[i];
            r.score_mean[g] = score_mean[i];
            r.score_joint[g] = score_joint[i];
            r.q_mean[g] = q_mean[i];
            r.q_joint[g] = q_joint[i];
            r.ess[g] = p.ess[i];
            r.rhat_flag[g] = p.rhat_flag[i];
        }
    }
    if (!broken.empty())
        r.warnings.push_back({kWarnNotFinite, -1, -1, static_cast<std::int64_t>(broken.size()),
                              "the draws of " + count(broken.size(), " row", " rows") +
                                  " became non-finite (their results are NaN); rows " +
                                  number_list(broken) +
                                  ".  The variance rates shared by all rows may have stopped moving "
                                  "then, so the other rows' results are doubtful too"});
    r.traces.resize(chains.rec.size());
    for (std::size_t c = 0; c < chains.rec.size(); ++c) {
        ChainRecord& from = chains.rec[c];
        ChainRecord& to = r.traces[c];
        to.J = from.J;
        to.T = from.T;
        to.B = from.B;
        to.rate = std::move(from.rate);
        to.accepted = std::move(from.accepted);
    }
    return AnalysisStatus::ok;
}

}  // namespace kestrum::analysis
