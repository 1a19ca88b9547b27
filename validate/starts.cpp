// How the chains' start affects an analysis at its defaults (4 chains,
// scale auto, burn 1000, keep 1000) on data where the fixed start sticks:
// two groups of 10 and 3 with row means far from 0, and two groups whose
// variances differ 3x or 9x at 4 and 10 observations a group.  For every
// design, start mode and seed it prints
//   stuck   the stuck-rate warnings of the analysis,
//   worst   the largest |posterior group mean - sample mean| / standard
//           error (sample sd / sqrt(n)) over rows and groups,
//   bias    per group, the mean over rows of gvar / gvar_ref - 1, where
//           gvar_ref comes from a long run (4 chains, data start, burn and
//           keep as given) of the same data;
// and one line per design and mode with the worst of each over the seeds.
// Two families of rows: expression-like (means on (6, 10), sds on
// (0.2, 0.8)) and rows of sd 1 around 0.
//
//   validate_starts [rows=5000] [seeds=4] [ref_burn=2000] [ref_keep=6000] [threads=0]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrumr_analysis.h"
#include "kestrumr_session.h"

namespace {

// A small generator of the program's own for the simulated data.
struct Rng {
    std::uint64_t s;
    double uniform() {
        s += 0x9e3779b97f4a7c15u;
        std::uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        z ^= z >> 31;
        return (static_cast<double>(z >> 11) + 0.5) / 9007199254740992.0;
    }
    double normal() {
        const double u = uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }
};

struct Design {
    const char* name;
    std::vector<std::int32_t> nobs;
    std::vector<double> ratio;  // group variance / row variance
};

struct Data {
    std::int32_t L = 0, N = 0;
    std::vector<double> y, ybar, s2;  // L x N; L x J
};

// Rows: means uniform on (mean_lo, mean_hi), sds on (sd_lo, sd_hi).
struct Family {
    const char* name;
    double mean_lo, mean_hi, sd_lo, sd_hi;
};

Data simulate(const Family& fam, const Design& d, std::int32_t L, std::uint64_t seed) {
    Data x;
    x.L = L;
    for (std::int32_t n : d.nobs) x.N += n;
    const std::size_t J = d.nobs.size();
    x.y.resize(static_cast<std::size_t>(L) * x.N);
    x.ybar.resize(L * J);
    x.s2.resize(L * J);
    Rng r{seed * 0x2545f4914f6cdd1du + 17};
    for (std::int32_t g = 0; g < L; ++g) {
        const double mean = fam.mean_lo + (fam.mean_hi - fam.mean_lo) * r.uniform();
        const double sd = fam.sd_lo + (fam.sd_hi - fam.sd_lo) * r.uniform();
        std::int32_t c = 0;
        for (std::size_t j = 0; j < J; ++j) {
            double sum = 0.0, ss = 0.0;
            const std::int32_t first = c;
            for (std::int32_t i = 0; i < d.nobs[j]; ++i, ++c) {
                const double v = mean + sd * std::sqrt(d.ratio[j]) * r.normal();
                x.y[g + static_cast<std::size_t>(c) * L] = v;
                sum += v;
            }
            const double m = sum / d.nobs[j];
            for (std::int32_t i = first; i < c; ++i) {
                const double e = x.y[g + static_cast<std::size_t>(i) * L] - m;
                ss += e * e;
            }
            x.ybar[g + j * L] = m;
            x.s2[g + j * L] = ss / (d.nobs[j] - 1);
        }
    }
    return x;
}

struct Fit {
    bool ok = false;
    int stuck = 0;
    std::vector<double> gmean, gvar;  // L x J
};

Fit analyse(const Design& d, const Data& x, int start, std::int32_t seed, std::int32_t burn,
            std::int32_t keep, std::int32_t threads) {
    Fit f;
    const std::int32_t J = static_cast<std::int32_t>(d.nobs.size());
    kestrumr_session* s = kestrumr_session_new();
    kestrumr_analysis_options* o = kestrumr_analysis_options_new();
    kestrumr_analysis_set_seed(o, seed);
    kestrumr_analysis_set_iterations(o, burn, keep);
    kestrumr_analysis_set_threads(o, threads);
    kestrumr_analysis_set_draws(o, 0);
    kestrumr_analysis_set_start(o, start);
    kestrumr_analysis_set_permutations(o, 0);  // only the chains are measured
    kestrumr_analysis_results* res = nullptr;
    if (kestrumr_analyse(s, o, x.L, J, d.nobs.data(), x.N, x.y.data(), &res) == KESTRUMR_OK) {
        f.ok = true;
        const std::size_t L = static_cast<std::size_t>(x.L);
        f.gmean.resize(L * J);
        f.gvar.resize(L * J);
        for (std::int32_t j = 0; j < J; ++j) {
            kestrumr_analysis_column(res, KESTRUMR_COLUMN_MEAN, j, f.gmean.data() + j * L, L);
            kestrumr_analysis_column(res, KESTRUMR_COLUMN_VAR, j, f.gvar.data() + j * L, L);
        }
        const std::size_t w = kestrumr_analysis_warning_count(res);
        for (std::size_t i = 0; i < w; ++i)
            f.stuck += kestrumr_analysis_warning_kind(res, i) == KESTRUMR_WARNING_STUCK_RATE;
    } else {
        std::fprintf(stderr, "analysis failed: %s\n", kestrumr_errmsg(s));
    }
    kestrumr_analysis_results_free(res);
    kestrumr_analysis_options_free(o);
    kestrumr_session_free(s);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int32_t L = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int seeds = argc > 2 ? std::atoi(argv[2]) : 4;
    const std::int32_t ref_burn = argc > 3 ? std::atoi(argv[3]) : 2000;
    const std::int32_t ref_keep = argc > 4 ? std::atoi(argv[4]) : 6000;
    const std::int32_t threads = argc > 5 ? std::atoi(argv[5]) : 0;
    // Expression-like rows (as the bundled example: far from 0, spreads
    // that differ from row to row) and rows of one spread around 0.
    const std::vector<Family> families = {{"express", 6.0, 10.0, 0.2, 0.8}, {"unit", 0.0, 0.0, 1.0, 1.0}};
    const std::vector<Design> designs = {
        {"n=10,3", {10, 3}, {1.0, 1.0}},      {"n=4,4 var 3x", {4, 4}, {1.0, 3.0}},
        {"n=10,10 var 3x", {10, 10}, {1.0, 3.0}}, {"n=4,4 var 9x", {4, 4}, {1.0, 9.0}},
        {"n=10,10 var 9x", {10, 10}, {1.0, 9.0}},
    };
    std::printf("rows %d, seeds %d, reference burn %d keep %d (4 chains, data start)\n", L, seeds,
                ref_burn, ref_keep);
    std::printf("%-8s %-16s %-6s %4s %6s %9s %9s\n", "family", "design", "start", "seed", "stuck",
                "worst_se", "bias_var%");
    for (const Family& family : families)
    for (const Design& d : designs) {
        const std::size_t J = d.nobs.size();
        int stuck[2] = {0, 0};
        double worst[2] = {0.0, 0.0}, bias[2] = {0.0, 0.0};
        for (int k = 1; k <= seeds; ++k) {
            const Data x = simulate(family, d, L, static_cast<std::uint64_t>(k));
            const Fit ref = analyse(d, x, KESTRUMR_START_DATA, 1000 + k, ref_burn, ref_keep, threads);
            for (int mode : {KESTRUMR_START_FIXED, KESTRUMR_START_DATA}) {
                const Fit f = analyse(d, x, mode, k, 1000, 1000, threads);
                if (!f.ok || !ref.ok) continue;
                double w = 0.0, b = 0.0;
                for (std::size_t j = 0; j < J; ++j) {
                    double sum = 0.0;
                    for (std::size_t g = 0; g < static_cast<std::size_t>(L); ++g) {
                        const std::size_t at = g + j * L;
                        const double se = std::sqrt(x.s2[at] / d.nobs[j]);
                        w = std::max(w, std::fabs(f.gmean[at] - x.ybar[at]) / se);
                        sum += f.gvar[at] / ref.gvar[at] - 1.0;
                    }
                    const double m = sum / L;
                    if (std::fabs(m) > std::fabs(b)) b = m;
                }
                std::printf("%-8s %-16s %-6s %4d %6d %9.2f %9.2f\n", family.name, d.name,
                            mode == 1 ? "data" : "fixed", k, f.stuck, w, 100.0 * b);
                std::fflush(stdout);
                stuck[mode] += f.stuck;
                worst[mode] = std::max(worst[mode], w);
                if (std::fabs(b) > std::fabs(bias[mode])) bias[mode] = b;
            }
        }
        for (int mode : {KESTRUMR_START_FIXED, KESTRUMR_START_DATA})
            std::printf("%-8s %-16s %-6s  all %6d %9.2f %9.2f\n", family.name, d.name,
                        mode == 1 ? "data" : "fixed", stuck[mode], worst[mode], 100.0 * bias[mode]);
    }
    return 0;
}
