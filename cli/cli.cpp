#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "kestrumr.h"
#include "kestrumr_analysis.h"
#include "kestrumr_session.h"
#include "cli/output.h"
#include "cli/progress.h"
#include "cli/text.h"

#ifndef KESTRUM_VERSION
#define KESTRUM_VERSION "unknown"
#endif

namespace kestrum::cli {

namespace {

// Whether the analysis can divide by scale: its square and the square's
// reciprocal are finite and > 0 (the library's own check).
bool usable_scale(double scale) {
    kestrumr_analysis_options* o = kestrumr_analysis_options_new();
    const bool ok = o != nullptr && kestrumr_analysis_set_scale(o, KESTRUMR_SCALE_VALUE, scale) == KESTRUMR_OK;
    kestrumr_analysis_options_free(o);
    return ok;
}

std::atomic<bool> interrupt_flag{false};

// The first Ctrl-C asks the run to stop at the next iteration or row; a
// second one (during the summaries, say) removes the temporary output file
// and ends the program at once.
extern "C" void on_interrupt(int sig) {
    if (interrupt_flag.exchange(true)) {
        remove_pending_temporary();
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    std::signal(sig, on_interrupt);  // Windows resets the handler on delivery
}

const char* const kUsage =
    "Usage: kestrum [options] INPUT\n"
    "\n"
    "Posterior group means and variances, and the evidence that the groups\n"
    "differ, for every row of a data matrix.  INPUT is a text file of cells\n"
    "separated by tabs or commas (\"-\" for standard input), one data row per\n"
    "line, with an optional header line and an optional first column of row\n"
    "names.  Lines starting with # are skipped.\n"
    "\n"
    "Groups (one of these is required):\n"
    "  -g, --groups N,N,...    group sizes in column order, e.g. 4,4,4; the\n"
    "                          groups are named after their columns' common\n"
    "                          prefix in the header (a1..a4 -> a), else 1..J\n"
    "  -l, --labels A,B,...    one label per data column, e.g. c,c,t,t,t; the\n"
    "                          columns are gathered group by group, groups in\n"
    "                          order of first appearance\n"
    "      --labels-file FILE  the labels from FILE: one per line, or a sample\n"
    "                          sheet of two columns (column name, label)\n"
    "      --header-labels     take the labels from the header line\n"
    "A label holding a tab, line break or other control character is refused\n"
    "(it would break the output's header; row names have their tabs and line\n"
    "breaks written as blanks), and a header prefix holding one names no group.\n"
    "\n"
    "Sampler:\n"
    "  -b, --burn N            burn-in iterations (default 1000)\n"
    "  -k, --keep N            kept iterations, at least 2 (default 1000);\n"
    "                          the kept contrasts take 16*rows*(groups-1)*N\n"
    "                          bytes a chain running at once; beyond their\n"
    "                          share of the run's 1 GiB (see the README) the\n"
    "                          kept iterations are run a second time instead\n"
    "  -s, --seed N            seed the generator with N (1..2147483647);\n"
    "                          without it every run starts from the built-in\n"
    "                          table and so gives the same result\n"
    "  -p, --pooled            also fit one pooled mean and variance per row\n"
    "  -c, --chains C          independent chains from different seeds, pooled\n"
    "                          (default 4); chain 1 is the run of one chain\n"
    "  -t, --threads N         threads in all (default: the number of cores):\n"
    "                          chains run side by side, and one chain with\n"
    "                          --columns basic shares its rows among them;\n"
    "                          results do not depend on it\n"
    "      --scale auto|none|S divide the data by one scale S before the run and\n"
    "                          give the results in the data's units; auto (the\n"
    "                          default) takes the median over rows of the pooled\n"
    "                          within-group sd; none runs on the data as they are;\n"
    "                          S from about 1e-154 to 1e154 (its square must fit)\n"
    "      --start data|fixed  where every chain starts: data (the default) from\n"
    "                          a state fitted to each row's (scaled) data, drawn\n"
    "                          per chain; fixed from every mean 0, variance 1\n"
    "                          and rate 2, as the library's kestrum_ starts\n"
    "\n"
    "Priors (in the data's units; with --scale auto or S the defaults below\n"
    "apply to the standardised data, and a value you give is converted):\n"
    "      --hshape X          shape of the hyper-prior of the group variance\n"
    "                          rates (default 1)\n"
    "      --hrate X           its rate (default 1, i.e. variances of order 1)\n"
    "      --mvar A[,B]        prior variance of the overall row mean and of the\n"
    "                          pooled mean (default 10000,10000: vague on data\n"
    "                          of order 1..100; B defaults to A)\n"
    "      --effvar X[,X...]   prior variance of each scaled group deviation,\n"
    "                          one value for all or one per group after the\n"
    "                          first (default 10000)\n"
    "\n"
    "Input:\n"
    "  -d, --delimiter tab|comma  the cell delimiter (default: detected from\n"
    "                          the first line)\n"
    "      --header, --no-header  whether the first line names the columns\n"
    "                          (default: it does when a data cell is text, or\n"
    "                          when its first cell is empty and the others are\n"
    "                          not; when all its cells are numbers but look\n"
    "                          like sample names, kestrum asks for one of these)\n"
    "      --row-names, --no-row-names  whether the first column holds row\n"
    "                          names (default: when the first data row starts\n"
    "                          with text, or the header names one column less)\n"
    "      --na omit|fail      rows with a missing value (empty, NA, NaN) are\n"
    "                          left out of the run and written with empty\n"
    "                          results (omit, the default), or rejected (fail)\n"
    "\n"
    "Output:\n"
    "  -o, --output FILE       write the results to FILE (default: standard\n"
    "                          output); a regular file is replaced only when\n"
    "                          complete and keeps its permissions; devices,\n"
    "                          FIFOs and /dev/fd/N are written directly\n"
    "      --digits N          significant digits of the results (default 4:\n"
    "                          frequencies of a few thousand draws carry no more)\n"
    "      --sort score_mean|score_joint|p_mean|p_joint|none\n"
    "                          row order of the output: by that score or\n"
    "                          frequency, largest first, ties by the largest\n"
    "                          absolute difference of means (default\n"
    "                          score_mean); none keeps the input order\n"
    "      --fdr A             write only the list at false-discovery rate A\n"
    "                          (0 < A < 1): the rows whose q_mean is at most A\n"
    "                          (q_joint with --sort score_joint or p_joint),\n"
    "                          ordered by their score; its size goes to\n"
    "                          standard error and into the closing line\n"
    "      --permutations P|auto\n"
    "                          null analyses (the rows with their group\n"
    "                          differences removed) that the q-values are\n"
    "                          calibrated on, one chain each, half for each test\n"
    "                          (0..1024; 0: no q-values; auto, the default:\n"
    "                          20 000 null scores for each test, at least 4 and\n"
    "                          at most 16 analyses -- 4 from 10 000 rows up, 8\n"
    "                          for 5000, 16 below 2858; --columns basic\n"
    "                          without --fdr runs none)\n"
    "      --columns full|basic\n"
    "                          basic: only the posterior means and the two\n"
    "                          frequencies (default full, see below)\n"
    "      --diagnostics FILE  write the rate update's trace there: per chain,\n"
    "                          iteration and group the rate and the trials\n"
    "                          accepted (of 10); FILE is written as -o writes,\n"
    "                          checked before the run, written after the\n"
    "                          results (which a failure here leaves in place),\n"
    "                          and may be neither the input nor -o's file\n"
    "  -h, --help              show this text and exit\n"
    "  -V, --version           show the version and exit\n"
    "  --                      end of the options (a later argument starting\n"
    "                          with - is the input)\n"
    "\n"
    "Short options take their value attached or as the next argument (-k200,\n"
    "-k 200); long ones after = or as the next argument (--keep=200).\n"
    "\n"
    "The output is a tab-separated table with a header line and, per row:\n"
    "row, mean_<group> and var_<group> (posterior means of each group's mean\n"
    "and variance), pooled_mean and pooled_var (with --pooled), p_mean (share\n"
    "of kept draws whose mean contrasts lie beyond the threshold; 2+ groups)\n"
    "and p_joint (the same for means and cube-root variances jointly; 2+\n"
    "groups).  Full columns add, for every group after the first, diff_<group>\n"
    "(posterior mean difference from the first group) with lo_<group> and\n"
    "hi_<group> (its 95% credible bounds), p_mean_mcse, p_joint_mcse\n"
    "(Monte-Carlo standard errors from the effective sample size of the\n"
    "draws), rhat (the largest rank-normalised split R-hat of the mean\n"
    "differences), ess (their smallest effective sample size), rhat_flag (1:\n"
    "the chains disagree on the row by a test that allows for the number of\n"
    "rows), score_mean and score_joint (the evidence of a difference of means,\n"
    "and of means and variances jointly: the squared posterior mean of the\n"
    "contrasts in the metric of their covariance, under group variances\n"
    "moderated across rows and groups for score_mean (a moderated t^2 for two\n"
    "groups), their posterior covariance for score_joint; continuous, no ties;\n"
    "also with --fdr and --columns basic)\n"
    "and q_mean and q_joint (their q-values: the smallest false-discovery rate\n"
    "at which the row is called, from the null analyses).\n"
    "p_mean is not a p-value: see the README.\n"
    "Warnings (a rate update that stuck, rows with rhat_flag 1) go to\n"
    "standard error.  Rows left out (missing values, statistics that overflow a\n"
    "double, such as a value of 1e300, or a group whose values are all equal,\n"
    "whose variance has nothing to be estimated from) have empty results;\n"
    "their count goes to standard error.  Rows whose draws became non-finite\n"
    "are written with empty results too, with a warning.  When standard error\n"
    "is a terminal, it shows the progress (phase and time left) and a closing\n"
    "line.\n"
    "\n"
    "Exit status: 0 on success, 1 on bad input or a failed run or write (also\n"
    "\"File too large\" beyond a file size limit, ulimit -f), 2 on bad usage,\n"
    "3 when the results were written but the draws of some rows became\n"
    "non-finite, 130 when interrupted.  When the reader of the output goes\n"
    "away (kestrum ... | head), kestrum ends quietly, killed by SIGPIPE as seq\n"
    "and cat are (status 141 in the shell), after writing the --diagnostics\n"
    "file.\n";

struct Options {
    std::string input;
    std::string output;
    std::vector<std::int64_t> sizes;
    std::vector<std::string> labels;
    std::string labels_file;
    bool header_labels = false;
    std::int64_t burn = 1000;
    std::int64_t keep = 1000;
    std::int64_t seed = 0;  // 0 = not given
    std::int64_t threads = 0;  // 0 = the number of cores
    bool pooled = false;
    double hshape = 1.0;
    double hrate = 1.0;
    std::vector<double> mvar{10000.0, 10000.0};
    std::vector<double> effvar{10000.0};
    int digits = 4;
    ReadOptions read;
    // Several chains, standardisation and the layout of the results.
    std::int64_t chains = 4;
    int scale_mode = 1;        // 0 none, 1 auto, 2 the value below
    bool fixed_start = false;  // --start fixed
    double scale_value = 1.0;
    bool hrate_given = false, mvar_given = false, effvar_given = false;
    std::string sort = "score_mean";
    double fdr = 0.0;               // 0: the whole table; else the list at this level
    std::int64_t permutations = -1;  // -1: auto (the library's default)
    bool basic_columns = false;
    std::string diagnostics;
    bool help = false;
    bool version = false;
};

std::vector<std::string> split_list(const std::string& s) { return split_cells(s, ',').v; }

bool parse_int(const std::string& s, std::int64_t lo, std::int64_t hi, std::int64_t& v) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long x = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size() || x < lo || x > hi) return false;
    v = x;
    return true;
}

bool parse_double_list(const std::string& s, std::vector<double>& out) {
    out.clear();
    for (const std::string& cell : split_list(s)) {
        double v;
        if (classify(cell, v) != CellKind::number) return false;
        out.push_back(v);
    }
    return !out.empty();
}

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// One entry per option: its short letter (0 = none), long name, whether it
// takes a value, and what it does.  apply returns an empty string, or the
// usage error.
struct OptionDef {
    char short_name;
    const char* long_name;
    bool takes_value;
    std::string (*apply)(Options& o, const std::string& v);
};

std::string set_prior(double& target, const char* name, const std::string& v) {
    std::vector<double> x;
    if (!parse_double_list(v, x) || x.size() != 1 || !(x[0] >= 0.0))
        return std::string(name) + " needs one finite number >= 0";
    target = x[0];
    return {};
}

std::string set_variances(std::vector<double>& target, const char* name, const std::string& v) {
    std::vector<double> x;
    if (!parse_double_list(v, x)) return std::string(name) + " needs finite numbers separated by commas";
    for (double y : x)
        if (!(y > 0.0)) return std::string(name) + ": prior variances must be positive";
    target = x;
    return {};
}

const OptionDef kOptions[] = {
    {'h', "help", false, [](Options& o, const std::string&) { o.help = true; return std::string(); }},
    {'V', "version", false, [](Options& o, const std::string&) { o.version = true; return std::string(); }},
    {'g', "groups", true,
     [](Options& o, const std::string& v) {
         o.sizes.clear();
         for (const std::string& cell : split_list(v)) {
             std::int64_t n;
             if (!parse_int(cell, std::numeric_limits<std::int32_t>::min(), kInt32Max, n))
                 return "--groups: '" + cell + "' is not a whole number";
             o.sizes.push_back(n);
         }
         return std::string();
     }},
    {'l', "labels", true,
     [](Options& o, const std::string& v) {
         o.labels = split_list(v);
         for (std::size_t c = 0; c < o.labels.size(); ++c) {
             const std::string why = label_trouble(o.labels[c]);
             if (!why.empty()) return "--labels: data column " + std::to_string(c + 1) + ": " + why;
         }
         return std::string();
     }},
    {0, "labels-file", true,
     [](Options& o, const std::string& v) {
         if (v.empty()) return std::string("--labels-file needs a file name");
         o.labels_file = v;
         return std::string();
     }},
    {0, "header-labels", false, [](Options& o, const std::string&) { o.header_labels = true; return std::string(); }},
    {'b', "burn", true,
     [](Options& o, const std::string& v) {
         return parse_int(v, 0, kInt32Max, o.burn) ? std::string()
                                                    : "--burn needs a whole number from 0 to 2147483647";
     }},
    {'k', "keep", true,
     [](Options& o, const std::string& v) {
         if (!parse_int(v, std::numeric_limits<std::int64_t>::min(), kInt32Max, o.keep))
             return std::string("--keep needs a whole number up to 2147483647");
         if (o.keep < 2)
             return std::string("--keep must be at least 2 (the difference tests need the spread of "
                                "the kept draws)");
         return std::string();
     }},
    {'s', "seed", true,
     [](Options& o, const std::string& v) {
         return parse_int(v, 1, kInt32Max, o.seed) ? std::string()
                                                    : "--seed needs a whole number from 1 to 2147483647";
     }},
    {'t', "threads", true,
     [](Options& o, const std::string& v) {
         return parse_int(v, 1, 256, o.threads) ? std::string()
                                                 : "--threads needs a whole number from 1 to 256";
     }},
    {'p', "pooled", false, [](Options& o, const std::string&) { o.pooled = true; return std::string(); }},
    {0, "hshape", true, [](Options& o, const std::string& v) { return set_prior(o.hshape, "--hshape", v); }},
    {0, "hrate", true,
     [](Options& o, const std::string& v) {
         o.hrate_given = true;
         return set_prior(o.hrate, "--hrate", v);
     }},
    {0, "mvar", true,
     [](Options& o, const std::string& v) {
         std::vector<double> x;
         std::string e = set_variances(x, "--mvar", v);
         if (!e.empty()) return e;
         if (x.size() > 2) return std::string("--mvar takes one or two values");
         if (x.size() == 1) x.push_back(x[0]);
         o.mvar = x;
         o.mvar_given = true;
         return std::string();
     }},
    {0, "effvar", true,
     [](Options& o, const std::string& v) {
         o.effvar_given = true;
         return set_variances(o.effvar, "--effvar", v);
     }},
    {'d', "delimiter", true,
     [](Options& o, const std::string& v) {
         if (v == "tab" || v == "\t") {
             o.read.delimiter = '\t';
         } else if (v == "comma" || v == ",") {
             o.read.delimiter = ',';
         } else {
             return std::string("--delimiter is tab or comma");
         }
         return std::string();
     }},
    {0, "header", false, [](Options& o, const std::string&) { o.read.header = 1; return std::string(); }},
    {0, "no-header", false, [](Options& o, const std::string&) { o.read.header = 0; return std::string(); }},
    {0, "row-names", false, [](Options& o, const std::string&) { o.read.row_names = 1; return std::string(); }},
    {0, "no-row-names", false, [](Options& o, const std::string&) { o.read.row_names = 0; return std::string(); }},
    {0, "na", true,
     [](Options& o, const std::string& v) {
         if (v != "omit" && v != "fail") return std::string("--na is omit or fail");
         o.read.na_fail = v == "fail";
         return std::string();
     }},
    {'o', "output", true,
     [](Options& o, const std::string& v) {
         if (v.empty()) return std::string("--output needs a file name");
         o.output = v;
         return std::string();
     }},
    {0, "digits", true,
     [](Options& o, const std::string& v) {
         std::int64_t d;
         if (!parse_int(v, 1, 17, d)) return std::string("--digits needs a whole number from 1 to 17");
         o.digits = static_cast<int>(d);
         return std::string();
     }},
    {'c', "chains", true,
     [](Options& o, const std::string& v) {
         return parse_int(v, 1, 1024, o.chains) ? std::string()
                                                 : "--chains needs a whole number from 1 to 1024";
     }},
    {0, "start", true,
     [](Options& o, const std::string& v) {
         if (v != "data" && v != "fixed") return std::string("--start needs data or fixed");
         o.fixed_start = v == "fixed";
         return std::string();
     }},
    {0, "scale", true,
     [](Options& o, const std::string& v) {
         std::vector<double> x;
         if (v == "auto") {
             o.scale_mode = 1;
         } else if (v == "none") {
             o.scale_mode = 0;
         } else if (parse_double_list(v, x) && x.size() == 1 && x[0] > 0.0) {
             // The priors are divided by S^2 and the variances multiplied
             // by it: a square beyond a double's range cannot be undone.
             if (!usable_scale(x[0]))
                 return "--scale " + v + ": its square under- or overflows a double (S from about "
                        "1e-154 to 1e154)";
             o.scale_mode = 2;
             o.scale_value = x[0];
         } else {
             return std::string("--scale needs auto, none or a number > 0");
         }
         return std::string();
     }},
    {0, "sort", true,
     [](Options& o, const std::string& v) {
         if (v != "score_mean" && v != "score_joint" && v != "p_mean" && v != "p_joint" && v != "none")
             return std::string("--sort is score_mean, score_joint, p_mean, p_joint or none");
         o.sort = v;
         return std::string();
     }},
    {0, "fdr", true,
     [](Options& o, const std::string& v) {
         std::vector<double> x;
         if (!parse_double_list(v, x) || x.size() != 1 || !(x[0] > 0.0 && x[0] < 1.0))
             return std::string("--fdr needs a false-discovery rate between 0 and 1 (such as 0.05)");
         o.fdr = x[0];
         return std::string();
     }},
    {0, "permutations", true,
     [](Options& o, const std::string& v) {
         if (v == "auto") {
             o.permutations = -1;
             return std::string();
         }
         return parse_int(v, 0, 1024, o.permutations) ? std::string()
                                                       : "--permutations needs auto or a whole number from 0 to 1024";
     }},
    {0, "columns", true,
     [](Options& o, const std::string& v) {
         if (v != "full" && v != "basic") return std::string("--columns is full or basic");
         o.basic_columns = v == "basic";
         return std::string();
     }},
    {0, "diagnostics", true,
     [](Options& o, const std::string& v) {
         if (v.empty()) return std::string("--diagnostics needs a file name");
         o.diagnostics = v;
         return std::string();
     }},
};

const OptionDef* find_long(const std::string& name) {
    for (const auto& s : kOptions)
        if (name == s.long_name) return &s;
    return nullptr;
}

const OptionDef* find_short(char c) {
    for (const auto& s : kOptions)
        if (s.short_name != 0 && s.short_name == c) return &s;
    return nullptr;
}

// Returns -1 to stop with success (help, version), 0 to go on, or an exit
// status.
int parse_options(int argc, const char* const* argv, Options& o, std::ostream& out,
                  std::ostream& err) {
    auto usage_error = [&](const std::string& msg) {
        err << "kestrum: " << msg << "\n(kestrum --help shows the options)\n";
        return 2;
    };
    auto positional = [&](const std::string& arg) {
        if (!o.input.empty()) return usage_error("more than one input file");
        o.input = arg;
        return 0;
    };
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
            if (const int s = positional(arg)) return s;
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg[1] == '-') {
            const std::size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const OptionDef* def = find_long(name);
            if (def == nullptr) return usage_error("unknown option --" + name);
            std::string value;
            if (!def->takes_value) {
                if (eq != std::string::npos) return usage_error("--" + name + " takes no value");
            } else if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return usage_error("--" + name + " needs a value");
            }
            const std::string e = def->apply(o, value);
            if (!e.empty()) return usage_error(e);
            continue;
        }
        // A cluster of short options: -pk200 is -p -k 200.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const OptionDef* def = find_short(arg[k]);
            if (def == nullptr) return usage_error(std::string("unknown option -") + arg[k]);
            std::string value;
            if (def->takes_value) {
                if (k + 1 < arg.size()) {
                    value = arg.substr(k + 1);
                } else if (i + 1 < argc) {
                    value = argv[++i];
                } else {
                    return usage_error(std::string("-") + arg[k] + " needs a value");
                }
            }
            const std::string e = def->apply(o, value);
            if (!e.empty()) return usage_error(e);
            if (def->takes_value) break;
        }
    }
    if (o.help || o.version) {
        // Quietly, whatever happens: a reader that went away (kestrum
        // --help | head -1) is the usual end of a pipe.
        errno = 0;
        if (o.help) {
            out << kUsage;
        } else {
            out << "kestrum " << KESTRUM_VERSION << '\n';
        }
        out.flush();
        if (out) return -1;
        return errno == EPIPE ? kReaderGone : 1;
    }
    if (o.input.empty()) return usage_error("no input file");
    const int ways = (o.sizes.empty() ? 0 : 1) + (o.labels.empty() ? 0 : 1) +
                     (o.labels_file.empty() ? 0 : 1) + (o.header_labels ? 1 : 0);
    if (ways != 1)
        return usage_error(
            "give the groups one way: --groups, --labels, --labels-file or --header-labels");
    if (o.header_labels && o.read.header == 0)
        return usage_error("--header-labels needs a header line");
    if (o.header_labels) o.read.header = 1;
    if (o.fdr > 0.0 && o.permutations == 0)
        return usage_error("--fdr needs the null analyses: give --permutations of at least 1");
    return 0;
}

std::string where(const std::string& name, std::size_t line, std::size_t column) {
    std::ostringstream o;
    o << name << ':' << line << ':' << column << ": ";
    return o.str();
}

// Appends x with the given significant digits (NaN, Inf, -Inf spelled out).
void append_number(std::string& text, double x, int digits) {
    if (std::isnan(x)) {
        text += "NaN";
    } else if (std::isinf(x)) {
        text += x > 0 ? "Inf" : "-Inf";
    } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*g", digits, x);
        text += buf;
    }
}

// "1 row", "12 345 rows": a count of rows for the messages.
std::string rows_counted(std::size_t n) { return format_count(n) + (n == 1 ? " row" : " rows"); }

std::string format_number(double x, int digits) {
    std::string s;
    append_number(s, x, digits);
    return s;
}

// The results by input row, column by column (leading dimension L); a row
// without results (run_index -1) holds NaN.
struct Results {
    std::size_t L = 0, J = 0;
    std::vector<double> prob, pmeanbar, pvarbar, gmeanbar, gvarbar;
    // Of several chains (pooled by the library): Monte-Carlo standard
    // errors (p_mean's, then p_joint's), differences with their credible
    // bounds, R-hat, and the joint frequency.
    std::vector<double> mcse, diff, lower, upper, rhat, joint;
    std::vector<double> ess, rhat_flag;  // the smallest ESS of a row, its R-hat flag
    // The evidence scores and their q-values (mean test, then joint).
    std::vector<double> score, q;
    std::int32_t permutations = 0;  // the null analyses behind the q-values
    Results(std::size_t rows, std::size_t groups) : L(rows), J(groups) {}
};

// One column of the output table: its name and its value for each row
// that ran.
struct OutputColumn {
    std::string name;
    const double* values;
};

// The null analyses the run asks for (-1: the library's automatic
// count): as --permutations gives, except none for --columns basic
// without --fdr, which writes no q-values.
std::int64_t permutations_of(const Options& o) {
    if (o.permutations >= 0) return o.permutations;
    return o.basic_columns && o.fdr <= 0.0 ? 0 : -1;
}
bool permutations_run(const Options& o) { return permutations_of(o) != 0; }

// Whether the list at --fdr is the joint test's (else the mean test's).
bool joint_list(const Options& o) { return o.sort == "score_joint" || o.sort == "p_joint"; }

std::vector<OutputColumn> output_columns(const Options& o, const Grouping& g, const Results& r) {
    std::vector<OutputColumn> cols;
    for (std::size_t j = 0; j < r.J; ++j) cols.push_back({"mean_" + g.names[j], r.gmeanbar.data() + j * r.L});
    for (std::size_t j = 0; j < r.J; ++j) cols.push_back({"var_" + g.names[j], r.gvarbar.data() + j * r.L});
    if (o.pooled) {
        cols.push_back({"pooled_mean", r.pmeanbar.data()});
        cols.push_back({"pooled_var", r.pvarbar.data()});
    }
    const bool full = !o.basic_columns;
    if (full)
        for (const auto* v : {&r.diff, &r.lower, &r.upper}) {
            const char* what = v == &r.diff ? "diff_" : v == &r.lower ? "lo_" : "hi_";
            for (std::size_t j = 1; j < r.J; ++j) cols.push_back({what + g.names[j], v->data() + (j - 1) * r.L});
        }
    if (r.J >= 2) cols.push_back({"p_mean", r.prob.data()});
    if (r.J >= 2 && full) cols.push_back({"p_mean_mcse", r.mcse.data()});
    if (r.J >= 3 || (r.J == 2 && full)) cols.push_back({"p_joint", r.joint.data()});
    if (r.J >= 2 && full) cols.push_back({"p_joint_mcse", r.mcse.data() + r.L});
    if (r.J >= 2 && full) cols.push_back({"rhat", r.rhat.data()});
    if (r.J >= 2 && full) cols.push_back({"ess", r.ess.data()});
    if (r.J >= 2 && full) cols.push_back({"rhat_flag", r.rhat_flag.data()});
    // The scores with the full columns, and with the list at a chosen
    // false-discovery rate; the q-values when they were calibrated.
    if (r.J >= 2 && (full || o.fdr > 0.0)) {
        cols.push_back({"score_mean", r.score.data()});
        cols.push_back({"score_joint", r.score.data() + r.L});
        if (permutations_run(o)) {
            cols.push_back({"q_mean", r.q.data()});
            cols.push_back({"q_joint", r.q.data() + r.L});
        }
    }
    return cols;
}

struct Progress {
    ProgressLine* line;
    std::int64_t iterations;  // of one chain
};

// The iterations of all chains together, shown as those of one chain (the
// chains run side by side).
void report_progress(void* context, std::int64_t done, std::int64_t total) {
    const auto* p = static_cast<Progress*>(context);
    const std::int64_t T = p->iterations;
    p->line->sampling(total > 0 ? static_cast<std::int64_t>(static_cast<double>(done) / static_cast<double>(total) * static_cast<double>(T)) : T, T);
}

// The session's progress callback (called on this thread): the progress
// line, when there is one, and a nonzero answer once Ctrl-C was pressed.
int progress_of_run(void* context, std::int64_t done, std::int64_t total) {
    if (static_cast<Progress*>(context)->line->enabled()) report_progress(context, done, total);
    return interrupt_flag.load() ? 1 : 0;
}

// The threads a run uses when --threads is not given, as the library
// counts them: the machine's cores (1 when unknown), at most 256.
std::int64_t machine_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : std::min<std::int64_t>(n, 256);
}

void message_to_err(void* context, const char* text) { *static_cast<std::ostream*>(context) << text << '\n'; }

// The rate update's trace of one chain, kept for --diagnostics once the
// chains' stored draws are freed.
struct RateTrace {
    std::int64_t J = 0, T = 0, B = 0;
    std::vector<double> rate;  // in the data's units
    std::vector<std::int32_t> accepted;
};

// Appends a whole number in decimal.
void append_count(std::string& text, std::int64_t n) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n);
    text.append(buf, r.ptr);
}

// The rate trace of every chain into sink: one line per chain, iteration
// and group with the phase, the rate (in the data's units) and the number of the rate update's ten trials accepted.  Returns 0, 1
// after a failure (the message in error, the sink's temporary file gone) or
// 130 when interrupted.
int write_diagnostics(OutputSink& sink, const std::vector<RateTrace>& traces,
                      const std::vector<std::string>& names, std::string& error) {
    std::string text = "chain\titeration\tphase\tgroup\trate\taccepted\n";
    if (!sink.write(text, error)) return 1;
    char buf[64];
    std::size_t lines = 0;
    for (std::size_t c = 0; c < traces.size(); ++c) {
        const RateTrace& r = traces[c];
        for (std::int64_t it = 0; it < r.T; ++it)
            for (std::int64_t j = 0; j < r.J; ++j) {
                if (++lines % 4096 == 0 && interrupt_flag.load()) {
                    sink.abandon();
                    return 130;
                }
                const auto at = static_cast<std::size_t>(it * r.J + j);
                text.clear();
                append_count(text, static_cast<std::int64_t>(c + 1));
                text += '\t';
                append_count(text, it + 1);
                text += it < r.B ? "\tburn\t" : "\tkeep\t";
                text += names[static_cast<std::size_t>(j)];
                std::snprintf(buf, sizeof buf, "\t%.10g\t%d\n", r.rate[at],
                              static_cast<int>(r.accepted[at]));
                text += buf;
                if (!sink.write(text, error)) return 1;
            }
    }
    return sink.commit(error) ? 0 : 1;
}

// The order of the output rows (input rows g; run_index[g] their place in
// the results, or -1 for a row left out): by the chosen frequency, largest
// first, ties by the largest absolute difference of means, then input
// order; rows without a value (left out, or NaN) come last.  "none" (or
// one group) keeps the input order.
std::vector<std::size_t> row_order(const Results& r, const std::vector<std::int64_t>& run_index,
                                   const std::string& sort) {
    std::vector<std::size_t> order(run_index.size());
    for (std::size_t g = 0; g < order.size(); ++g) order[g] = g;
    if (sort == "none" || r.J < 2) return order;
    const double* key = sort == "p_mean"        ? r.prob.data()
                        : sort == "p_joint"     ? r.joint.data()
                        : sort == "score_mean"  ? r.score.data()
                                                : r.score.data() + r.L;
    auto key_of = [&](std::size_t g) {
        return run_index[g] < 0 ? std::numeric_limits<double>::quiet_NaN()
                                : key[static_cast<std::size_t>(run_index[g])];
    };
    auto size_of = [&](std::size_t g) {
        double m = 0.0;
        if (run_index[g] < 0) return m;
        for (std::size_t i = 0; i + 1 < r.J; ++i)
            m = std::max(m, std::fabs(r.diff[static_cast<std::size_t>(run_index[g]) + i * r.L]));
        return m;
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        const double kx = key_of(x), ky = key_of(y);
        const bool nx = std::isnan(kx), ny = std::isnan(ky);
        if (nx != ny) return ny;
        if (!nx && kx != ky) return kx > ky;
        return size_of(x) > size_of(y);
    });
    return order;
}

// Why a row cannot run although every value is present (the library's
// classification, kestrumr_analysis_screen_row, worded with the group names):
// its group statistics overflow, rounding makes a variance negative, or a
// group's values are all equal (such a group's variance and its prior's
// rate, which all rows share, shrink towards 0 together until the row's
// draws become NaN and stop the rates of every row).
// Empty when the row is fine.
std::string trouble_text(std::int32_t why, std::int32_t group, const Grouping& g) {
    const std::string name = group >= 0 ? g.names[static_cast<std::size_t>(group)] : std::string();
    switch (why) {
        case KESTRUMR_ROW_OK: return {};
        case KESTRUMR_ROW_OVERFLOW:
            return group < 0 ? "the pooled mean or variance overflows (values too large)"
                             : "the mean or variance of group " + name + " overflows (values too large)";
        case KESTRUMR_ROW_ROUNDING:
            return "the variance of group " + name +
                   " comes out negative from rounding (large values with a small spread: "
                   "centre or scale the data)";
        default:
            return "the values of group " + name + " are all equal (no spread to estimate its variance from)";
    }
}

std::string row_trouble(const double* x, const Options& o, const Grouping& g, double* ybar,
                        double* s2) {
    std::int32_t group = -1, why = KESTRUMR_ROW_OK;
    kestrumr_analysis_screen_row(x, o.pooled ? 1 : 0, static_cast<std::int32_t>(g.sizes.size()),
                                 static_cast<std::int32_t>(g.columns.size()), g.sizes.data(), &why, &group, ybar, s2);
    return trouble_text(why, group, g);
}



std::string line_list(const std::vector<std::size_t>& lines) {
    std::string s;
    for (std::size_t i = 0; i < lines.size() && i < 10; ++i) s += (i ? ", " : "") + std::to_string(lines[i]);
    if (lines.size() > 10) s += ", ...";
    return s;
}

// Appends a row name; the table's own separators inside it become blanks.
void append_name(std::string& text, const std::string& s) {
    for (char c : s) text += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
}

}  // namespace

void install_interrupt_handler() {
    // A program started with Ctrl-C ignored (in the background of a shell
    // without job control, under nohup) leaves it ignored.
    if (std::signal(SIGINT, on_interrupt) == SIG_IGN) std::signal(SIGINT, SIG_IGN);
}
void request_interrupt(bool on) { interrupt_flag.store(on); }

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    Options o;
    const int status = parse_options(argc, argv, o, out, err);
    if (status == -1) return 0;
    if (status != 0) return status;

    Table t;
    std::string error;
    if (!read_table(o.input, o.read, t, error)) {
        err << "kestrum: " << error << '\n';
        return 1;
    }
    const std::string source = o.input == "-" ? "<stdin>" : o.input;
    if (t.rows > static_cast<std::size_t>(kInt32Max)) {
        err << "kestrum: " << source << ": too many rows\n";
        return 1;
    }

    // Groups.
    Grouping groups;
    bool ok;
    if (!o.sizes.empty()) {
        ok = groups_from_sizes(o.sizes, t.cols, groups, error, t.header);
    } else {
        std::vector<std::string> labels = o.header_labels ? t.header : o.labels;
        ok = true;
        if (!o.labels_file.empty()) {
            if (!labels_from_file(o.labels_file, t.header, t.cols, labels, error)) {
                err << "kestrum: " << error << '\n';
                return 1;
            }
        } else if (!o.header_labels && labels.size() != t.cols) {
            error = "--labels gives " + std::to_string(labels.size()) +
                    " labels but the rows have " + std::to_string(t.cols) + " data columns";
            ok = false;
        } else if (o.header_labels) {
            for (std::size_t c = 0; c < labels.size(); ++c) {
                const std::string why = label_trouble(labels[c]);
                if (!why.empty()) {
                    err << "kestrum: " << where(source, t.header_line, c + (t.has_row_names ? 2 : 1)) << why
                        << '\n';
                    return 1;
                }
            }
        }
        if (ok) ok = groups_from_labels(labels, groups, error);
    }
    if (!ok) {
        // Name the place in the file the groups were checked against.
        const std::size_t line = o.header_labels ? t.header_line : t.first_data_line;
        err << "kestrum: " << where(source, line, (t.has_row_names ? 2 : 1)) << error << '\n';
        return 1;
    }
    const std::size_t Jz = groups.sizes.size();
    if (Jz < 1) {
        err << "kestrum: no groups\n";
        return 2;
    }
    std::vector<double> effvar(Jz > 1 ? Jz - 1 : 1, o.effvar[0]);
    if (o.effvar.size() != 1) {
        if (o.effvar.size() != Jz - 1) {
            err << "kestrum: --effvar gives " << o.effvar.size() << " values; there are " << Jz - 1
                << " groups after the first\n";
            return 2;
        }
        effvar = o.effvar;
    }

    // The rows that run: every value present and statistics a double can
    // hold.  run_index[g] is the row's place in the run, or -1.
    const std::size_t N = t.cols;
    std::vector<std::int64_t> run_index(t.rows, -1);
    std::vector<double> row(N), ybar(Jz), s2(Jz);
    std::vector<std::size_t> missing_lines, trouble_lines;
    std::size_t Lz = 0;
    double largest_mean = 0.0;
    for (std::size_t g = 0; g < t.rows; ++g) {
        if (t.missing[g]) {
            missing_lines.push_back(t.lines[g]);
            continue;
        }
        for (std::size_t c = 0; c < N; ++c) row[c] = t.values[g * N + groups.columns[c]];
        const std::string why = row_trouble(row.data(), o, groups, ybar.data(), s2.data());
        if (!why.empty()) {
            if (o.read.na_fail) {
                err << "kestrum: " << source << ':' << t.lines[g] << ": " << why
                    << " (--na omit leaves such rows out)\n";
                return 1;
            }
            if (trouble_lines.size() < 5)
                err << "kestrum: warning: " << source << ':' << t.lines[g] << ": row '"
                    << t.row_names[g] << "' left out: " << why << '\n';
            trouble_lines.push_back(t.lines[g]);
            continue;
        }
        for (std::size_t j = 0; j < Jz; ++j) largest_mean = std::max(largest_mean, std::fabs(ybar[j]));
        run_index[g] = static_cast<std::int64_t>(Lz++);
    }
    if (!missing_lines.empty())
        err << "kestrum: " << rows_counted(missing_lines.size()) << " with missing values left out (written with empty results); lines "
            << line_list(missing_lines) << '\n';
    if (trouble_lines.size() > 5)
        err << "kestrum: warning: " << format_count(trouble_lines.size())
            << " rows left out in all for statistics that overflow or a group of equal values; lines "
            << line_list(trouble_lines)
            << '\n';
    if (Lz == 0) {
        err << "kestrum: " << source << ": no row left to analyse (" << t.rows
            << (t.rows == 1 ? " row" : " rows") << " read, all left out)\n";
        return 1;
    }

    // The priors are vague only for data within about 100 prior standard
    // deviations of 0: far beyond, the results are pulled towards 0.
    // (Standardised runs are checked in their own units below.)
    if (o.scale_mode == 0 && largest_mean > 100.0 * std::sqrt(std::min(o.mvar[0], o.mvar[1])))
        err << "kestrum: warning: group means reach " << format_number(largest_mean, 3)
            << ", far beyond the prior variance --mvar " << format_number(std::min(o.mvar[0], o.mvar[1]), 6)
            << ": the results are pulled towards 0; rescale --mvar, --effvar and --hrate with the "
               "square of the data's scale\n";

    // The output is opened before the run, so that a target that cannot be
    // written is reported before the sampling time is spent.
    // So is the diagnostics file; neither may replace an input, nor may
    // the two be one file (same device and inode, through any links).
    for (const std::string* target : {&o.output, &o.diagnostics}) {
        const char* what = target == &o.output ? "the results" : "the diagnostics";
        if (target->empty()) continue;
        if (o.input != "-" && same_file(o.input, *target)) {
            err << "kestrum: " << *target << ": is the input file; " << what << " would replace the data\n";
            return 1;
        }
        if (!o.labels_file.empty() && same_file(o.labels_file, *target)) {
            err << "kestrum: " << *target << ": is the labels file; " << what << " would replace it\n";
            return 1;
        }
    }
    if (!o.diagnostics.empty() && same_destination(o.output, o.diagnostics)) {
        err << "kestrum: --diagnostics " << o.diagnostics << " is where the results go ("
            << (o.output.empty() ? std::string("standard output") : "-o " + o.output)
            << "); give the diagnostics a file of their own\n";
        return 1;
    }
    OutputSink sink;
    if (!sink.open(o.output, out, error)) {
        err << "kestrum: " << error << '\n';
        return 1;
    }
    OutputSink trace_sink;
    if (!o.diagnostics.empty() && !trace_sink.open(o.diagnostics, out, error)) {
        err << "kestrum: --diagnostics " << error << '\n';
        return 1;
    }

    // The analysis is the library's (kestrumr_analyse): the rows left out
    // above are left out there too (missing ones are passed as NaN), the
    // data standardised with the rule that a prior given on the command
    // line is in the data's units and a default one is meant for
    // standardised data, the chains run and pooled.
    std::vector<double> ydata(t.rows * N, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t g = 0; g < t.rows; ++g) {
        if (t.missing[g]) continue;
        for (std::size_t c = 0; c < N; ++c) ydata[g + c * t.rows] = t.values[g * N + groups.columns[c]];
    }
    std::vector<double>().swap(t.values);
    // The analysis runs over a session of its own: a new session starts
    // from the generator's built-in table, and --seed seeds it as zbqlini_
    // seeds the process's (kestrumr_seed), so that with one chain the run
    // draws exactly what a single call of the sampler would.
    const std::unique_ptr<kestrumr_session, void (*)(kestrumr_session*)> session(kestrumr_session_new(),
                                                                               kestrumr_session_free);
    const std::unique_ptr<kestrumr_analysis_options, void (*)(kestrumr_analysis_options*)> options(
        kestrumr_analysis_options_new(), kestrumr_analysis_options_free);
    if (!session || !options) {
        err << "kestrum: not enough memory for the analysis\n";
        return 1;
    }
    kestrumr_analysis_options* ao = options.get();
    // The values were checked when the options were read: a setter that
    // refuses one all the same is reported as it says.
    int set = kestrumr_analysis_set_chains(ao, static_cast<std::int32_t>(o.chains));
    if (set == KESTRUMR_OK)
        set = kestrumr_analysis_set_scale(ao, o.scale_mode == 0   ? KESTRUMR_SCALE_NONE
                                              : o.scale_mode == 1 ? KESTRUMR_SCALE_AUTO
                                                                  : KESTRUMR_SCALE_VALUE,
                                          o.scale_value);
    if (set == KESTRUMR_OK)
        set = kestrumr_analysis_set_iterations(ao, static_cast<std::int32_t>(o.burn), static_cast<std::int32_t>(o.keep));
    if (set == KESTRUMR_OK) set = kestrumr_analysis_set_pooled(ao, o.pooled ? 1 : 0);
    if (set == KESTRUMR_OK) set = kestrumr_analysis_set_hshape(ao, o.hshape);
    // A prior set is one in the data's units; the others keep the
    // defaults, meant for standardised data (the same values as ours).
    if (set == KESTRUMR_OK && o.hrate_given) set = kestrumr_analysis_set_hrate(ao, o.hrate);
    if (set == KESTRUMR_OK && o.mvar_given) set = kestrumr_analysis_set_mvar(ao, o.mvar[0], o.mvar[1]);
    if (set == KESTRUMR_OK && o.effvar_given) set = kestrumr_analysis_set_effvar(ao, effvar.data(), effvar.size());
    if (set == KESTRUMR_OK) set = kestrumr_analysis_set_threads(ao, static_cast<std::int32_t>(o.threads));
    if (set == KESTRUMR_OK) set = kestrumr_analysis_set_seed(ao, o.seed);
    if (set == KESTRUMR_OK) set = kestrumr_analysis_set_draws(ao, o.basic_columns ? 0 : 1);
    if (set == KESTRUMR_OK) set = kestrumr_analysis_set_traces(ao, o.diagnostics.empty() ? 0 : 1);
    if (set == KESTRUMR_OK)
        set = kestrumr_analysis_set_start(ao, o.fixed_start ? KESTRUMR_START_FIXED : KESTRUMR_START_DATA);
    if (set == KESTRUMR_OK)
        set = kestrumr_analysis_set_permutations(
            ao, permutations_of(o) >= 0 ? static_cast<std::int32_t>(permutations_of(o)) : KESTRUMR_PERMUTATIONS_AUTO);
    if (set == KESTRUMR_OK && o.fdr > 0.0) set = kestrumr_analysis_set_fdr(ao, o.fdr);
    if (set != KESTRUMR_OK) {
        err << "kestrum: " << kestrumr_analysis_options_errmsg(ao) << '\n';
        return 2;
    }

#if defined(_WIN32)
    const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
#endif
    ProgressLine line(terminal, stderr, o.burn);
    Progress context{&line, o.burn + o.keep};
    kestrumr_set_progress_callback(session.get(), progress_of_run, &context);
    // Library messages (seeding, the workspace failure) go to standard
    // error with the others, never into the results.
    kestrumr_set_message_callback(session.get(), message_to_err, &err);
    kestrumr_analysis_results* analysed = nullptr;
    const int status_of_run =
        kestrumr_analyse(session.get(), ao, static_cast<std::int32_t>(t.rows), static_cast<std::int32_t>(Jz),
                         groups.sizes.data(), static_cast<std::int32_t>(N), ydata.data(), &analysed);
    const std::unique_ptr<kestrumr_analysis_results, void (*)(kestrumr_analysis_results*)> res(
        analysed, kestrumr_analysis_results_free);
    std::vector<double>().swap(ydata);
    if (line.enabled()) line.clear();

    // The library's warnings, worded for the command line, in the order
    // they arose (the rows left out, and means far beyond the prior of
    // unscaled data, were told above).
    // A failed analysis tells what it met before it stopped.
    const kestrumr_analysis_results* met = res ? res.get() : kestrumr_analysis_failed_results(session.get());
    const double scale = kestrumr_analysis_scale(met);
    const std::size_t warnings = kestrumr_analysis_warning_count(met);
    for (std::size_t i = 0; i < warnings; ++i) {
        const double value = kestrumr_analysis_warning_value(met, i, 0);
        const double value2 = kestrumr_analysis_warning_value(met, i, 1);
        switch (kestrumr_analysis_warning_kind(met, i)) {
            case KESTRUMR_WARNING_SCALE:
                err << "kestrum: data divided by the scale " << format_number(value, 6)
                    << (o.scale_mode == 1 ? " (median over rows of the pooled within-group sd)" : "")
                    << "; results are in the data's units\n";
                break;
            case KESTRUMR_WARNING_MEAN_PRIOR:
                if (o.scale_mode != 0)
                    err << "kestrum: warning: group means reach " << format_number(value, 3)
                        << ", far beyond the prior variance of the means (" << format_number(value2, 6)
                        << " in the data's units): the results are pulled towards 0; give a larger --mvar "
                           "(in the data's units)\n";
                break;
            case KESTRUMR_WARNING_NOT_TRACED:
                err << "kestrum: warning: the rate traces of " << o.chains << " chains would take "
                    << format_number(value, 4)
                    << " MiB, beyond the run's memory budget for them: the rate update is not checked\n";
                break;
            case KESTRUMR_WARNING_STUCK_RATE:
                err << "kestrum: warning: chain " << kestrumr_analysis_warning_chain(met, i) + 1 << ", group "
                    << groups.names[static_cast<std::size_t>(kestrumr_analysis_warning_group(met, i))]
                    << ": the rate of the variance prior "
                    << (std::isnan(value) || value == 0.0 ? "stopped moving" : "hardly moves") << " ("
                    << format_number(100.0 * value, 3)
                    << "% of its trials accepted late in the burn-in, rate " << format_number(value2, 4)
                    << "); the results are not to be trusted.  Standardise the data (--scale auto, "
                       "the default), or give --hrate of the order of the within-group variances, "
                       "and a longer --burn.\n";
                break;
            case KESTRUMR_WARNING_RHAT: {
                // The rows flagged, named as the input names them (the first ten).
                std::vector<double> flag(t.rows, 0.0);
                kestrumr_analysis_column(met, KESTRUMR_COLUMN_RHAT_FLAG, 0, flag.data(), flag.size());
                std::string names;
                std::size_t named = 0;
                for (std::size_t g = 0; g < t.rows; ++g) {
                    if (flag[g] != 1.0) continue;
                    if (named++ == 10) {
                        names += ", ...";
                        break;
                    }
                    names += (named > 1 ? ", '" : "'") + t.row_names[g] + "'";
                }
                err << "kestrum: warning: "
                    << format_count(static_cast<std::size_t>(kestrumr_analysis_warning_rows(met, i))) << " of "
                    << format_count(static_cast<std::size_t>(value))
                    << " rows have R-hat beyond what mixing chains give (the chains disagree on them, "
                       "rhat_flag 1): "
                    << names
                    << "; run longer chains (--burn, --keep) before trusting those rows.\n";
                break;
            }
            default:
                break;
        }
    }
    if (status_of_run != KESTRUMR_OK) {
        line.clear();
        const kestrumr_session* ss = session.get();
        const std::string scaled_by = "divided by the scale " + format_number(scale, 6);
        switch (kestrumr_analysis_failure(ss)) {
            case KESTRUMR_FAILURE_SCALED_ROW: {
                const auto g = static_cast<std::size_t>(kestrumr_analysis_failure_row(ss));
                err << "kestrum: " << source << ':' << t.lines[g] << ": row '" << t.row_names[g] << "' "
                    << scaled_by << ": "
                    << trouble_text(kestrumr_analysis_failure_reason(ss), kestrumr_analysis_failure_group(ss), groups)
                    << "; give --scale none or a --scale that suits every row\n";
                return 1;
            }
            case KESTRUMR_FAILURE_SCALED_PRIOR: {
                const std::string prior = kestrumr_analysis_failure_prior(ss);
                const bool positive = prior != "hrate";
                err << "kestrum: --" << prior << " comes out as "
                    << format_number(kestrumr_analysis_failure_value(ss, 0), 6) << " in the units of the data "
                    << scaled_by << " (a prior "
                    << (positive ? "variance must be finite and > 0" : "rate must be finite and >= 0")
                    << "); give --scale none or a --scale nearer the data's spread\n";
                return 1;
            }
            case KESTRUMR_FAILURE_UNUSABLE_SCALE:
                err << "kestrum: the data's scale " << format_number(scale, 6)
                    << " is too small or too large: its square under- or overflows a double; "
                       "multiply the data by a power of 10, or give --scale none\n";
                return 1;
            case KESTRUMR_FAILURE_OVER_BUDGET:
                err << "kestrum: the stored draws of " << o.chains << " chains for " << Lz << " rows and "
                    << Jz << " groups do not fit in the run's memory budget of "
                    << format_number(kestrumr_analysis_failure_value(ss, 0), 6) << " MiB, not even "
                    << format_number(kestrumr_analysis_failure_value(ss, 1), 6)
                    << " a chain; use fewer --chains, or --columns basic (no credible bounds or R-hat)\n";
                return 1;
            case KESTRUMR_FAILURE_TRACES:
                err << "kestrum: the rate traces of " << o.chains << " chains of " << o.burn + o.keep
                    << " iterations would take " << format_number(kestrumr_analysis_failure_value(ss, 0), 4)
                    << " MiB, more than an eighth of the run's memory budget of "
                    << format_number(kestrumr_analysis_failure_value(ss, 1), 6)
                    << " MiB: use fewer --chains or iterations, or leave out --diagnostics\n";
                return 1;
            case KESTRUMR_FAILURE_MEMORY:
            case KESTRUMR_FAILURE_CANCELLED: {
                if (status_of_run == KESTRUMR_ERR_CANCELLED || interrupt_flag.load()) {
                    err << "kestrum: interrupted\n";
                    return 130;
                }
                const std::int64_t threads = o.threads > 0 ? o.threads : machine_threads();
                err << "kestrum: not enough memory for " << Lz << " rows, " << Jz << " groups and " << o.keep
                    << " kept iterations in " << o.chains << " chains ("
                    << std::min<std::int64_t>(o.chains, threads) << " at once: try --threads 1)\n";
                return 1;
            }
            default:
                err << "kestrum: " << kestrumr_errmsg(ss) << '\n';
                return 1;
        }
    }

    // The results, by input row (leading dimension t.rows).  Rows whose
    // draws became non-finite all the same (a group whose spread is far
    // below the row's others) have no results: written empty, and the run
    // ends with status 3.
    const kestrumr_analysis_results* r = res.get();
    const std::size_t L = t.rows;
    Results results(L, Jz);
    // One column of the analysis, for every group it has, one after the
    // other (leading dimension L).
    auto column = [&](std::vector<double>& v, std::int32_t which, std::size_t first, std::size_t groups_of) {
        v.assign(L * groups_of, std::numeric_limits<double>::quiet_NaN());
        for (std::size_t j = 0; j < groups_of; ++j)
            kestrumr_analysis_column(r, which, static_cast<std::int32_t>(first + j), v.data() + j * L, L);
    };
    column(results.gmeanbar, KESTRUMR_COLUMN_MEAN, 0, Jz);
    column(results.gvarbar, KESTRUMR_COLUMN_VAR, 0, Jz);
    column(results.pmeanbar, KESTRUMR_COLUMN_POOLED_MEAN, 0, 1);
    column(results.pvarbar, KESTRUMR_COLUMN_POOLED_VAR, 0, 1);
    column(results.diff, KESTRUMR_COLUMN_DIFF, 1, Jz - 1);
    column(results.lower, KESTRUMR_COLUMN_LO, 1, Jz - 1);
    column(results.upper, KESTRUMR_COLUMN_HI, 1, Jz - 1);
    column(results.rhat, KESTRUMR_COLUMN_RHAT, 0, 1);
    column(results.ess, KESTRUMR_COLUMN_ESS, 0, 1);
    column(results.rhat_flag, KESTRUMR_COLUMN_RHAT_FLAG, 0, 1);
    column(results.joint, KESTRUMR_COLUMN_P_JOINT, 0, 1);
    column(results.prob, KESTRUMR_COLUMN_P_MEAN, 0, 1);
    results.mcse.assign(2 * L, std::numeric_limits<double>::quiet_NaN());
    kestrumr_analysis_column(r, KESTRUMR_COLUMN_P_MEAN_MCSE, 0, results.mcse.data(), L);
    kestrumr_analysis_column(r, KESTRUMR_COLUMN_P_JOINT_MCSE, 0, results.mcse.data() + L, L);
    results.score.assign(2 * L, std::numeric_limits<double>::quiet_NaN());
    results.q.assign(2 * L, std::numeric_limits<double>::quiet_NaN());
    kestrumr_analysis_column(r, KESTRUMR_COLUMN_SCORE_MEAN, 0, results.score.data(), L);
    kestrumr_analysis_column(r, KESTRUMR_COLUMN_SCORE_JOINT, 0, results.score.data() + L, L);
    kestrumr_analysis_column(r, KESTRUMR_COLUMN_Q_MEAN, 0, results.q.data(), L);
    kestrumr_analysis_column(r, KESTRUMR_COLUMN_Q_JOINT, 0, results.q.data() + L, L);
    results.permutations = kestrumr_analysis_permutations(r);
    std::vector<std::int32_t> row_status(L, 0);
    kestrumr_analysis_row_status(r, row_status.data(), L);
    std::vector<RateTrace> traces;
    const std::size_t trace_size = kestrumr_analysis_rate_trace_size(r);
    if (!o.diagnostics.empty())
        for (std::int32_t c = 0; c < kestrumr_analysis_nchains(r); ++c) {
            RateTrace tr;
            tr.J = static_cast<std::int64_t>(Jz);
            tr.T = o.burn + o.keep;
            tr.B = o.burn;
            tr.rate.resize(trace_size);
            tr.accepted.resize(trace_size);
            kestrumr_analysis_rate_trace(r, c, tr.rate.data(), tr.accepted.data(), trace_size);
            traces.push_back(std::move(tr));
        }
    std::vector<std::size_t> broken_lines;
    for (std::size_t g = 0; g < t.rows; ++g) {
        if (run_index[g] < 0) continue;
        run_index[g] = static_cast<std::int64_t>(g);
        if (row_status[g] != KESTRUMR_ROW_NOT_FINITE) continue;
        if (broken_lines.size() < 5)
            err << "kestrum: warning: " << source << ':' << t.lines[g] << ": row '"
                << t.row_names[g] << "': its draws became non-finite; written with empty results\n";
        broken_lines.push_back(t.lines[g]);
        run_index[g] = -1;
    }
    if (!broken_lines.empty())
        err << "kestrum: warning: " << rows_counted(broken_lines.size()) << " with non-finite draws written with empty results; lines " << line_list(broken_lines)
            << ".  The variance rates shared by all rows may have stopped moving then, so the "
               "other rows' results are doubtful too (exit status 3)\n";


    // The results, row by row in the order of the input; rows left out get
    // empty cells.
    const std::vector<OutputColumn> cols = output_columns(o, groups, results);
    std::string text = "row";
    for (const auto& c : cols) text += '\t' + c.name;
    text += '\n';
    bool written = sink.write(text, error);
    std::vector<std::size_t> order = row_order(results, run_index, o.sort);
    // The list at the chosen false-discovery rate: the rows called, in the
    // order of their evidence.
    if (o.fdr > 0.0 && Jz >= 2) {
        const double* q = results.q.data() + (joint_list(o) ? L : 0);
        order.erase(std::remove_if(order.begin(), order.end(),
                                   [&](std::size_t g) { return run_index[g] < 0 || !(q[run_index[g]] <= o.fdr); }),
                    order.end());
        err << "kestrum: " << rows_counted(order.size()) << " of " << format_count(Lz)
            << " called at false-discovery rate " << format_number(o.fdr, 6) << " ("
            << (joint_list(o) ? "q_joint" : "q_mean") << " <= " << format_number(o.fdr, 6) << ", "
            << results.permutations << " null analyses)\n";
    }
    for (std::size_t n = 0; written && n < order.size(); ++n) {
        const std::size_t g = order[n];
        if (n % 1024 == 0) {
            line.writing(n, order.size());
            if (interrupt_flag.load()) {
                sink.abandon();
                line.clear();
                err << "kestrum: interrupted\n";
                return 130;
            }
        }
        // One line, built in the same string every time.
        text.clear();
        append_name(text, t.row_names[g]);
        const std::int64_t i = run_index[g];
        for (const auto& c : cols) {
            text += '\t';
            if (i >= 0) append_number(text, c.values[i], o.digits);
        }
        text += '\n';
        written = sink.write(text, error);
    }
    // The results first, then the diagnostics: a failure of either leaves
    // the other written.  A reader that went away (EPIPE) ends the run
    // quietly, as command-line tools end.
    if (written) written = sink.commit(error);
    bool failed = false, reader_gone = false;
    if (!written) {
        line.clear();
        if (sink.reader_gone()) {
            reader_gone = true;
        } else {
            err << "kestrum: " << error << '\n';
            failed = true;
        }
    }
    if (!o.diagnostics.empty()) {
        const int s = write_diagnostics(trace_sink, traces, groups.names, error);
        if (s != 0) line.clear();
        if (s == 130) {
            err << "kestrum: interrupted\n";
            return 130;
        }
        if (s != 0 && trace_sink.reader_gone()) {
            reader_gone = true;
        } else if (s != 0) {
            err << "kestrum: --diagnostics " << error
                << (written ? " (the results are written)" : "") << '\n';
            failed = true;
        }
    }
    if (failed) return 1;
    if (reader_gone) return kReaderGone;
    const std::string listed = o.fdr > 0.0 && Jz >= 2
                                   ? rows_counted(order.size()) + " called at FDR " + format_number(o.fdr, 6) +
                                         " of " + format_count(Lz) + ", "
                                   : rows_counted(t.rows) + " ";
    line.finish(listed + "written to " + sink.display_name() + " in " + format_duration(line.elapsed()));
    return broken_lines.empty() ? 0 : 3;
}

}  // namespace kestrum::cli
