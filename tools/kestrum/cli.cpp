#include "tools/kestrum/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <thread>

#include "driver/callees.h"
#include "driver/estimate.h"
#include "kestrumr.h"
#include "random/stream.h"

namespace kestrum::cli {

namespace {

const char* const kUsage =
    "Usage: kestrum [options] INPUT\n"
    "\n"
    "Posterior group means and variances, and the evidence that the groups\n"
    "differ, for every row of a data matrix.  INPUT is a tab- or comma-\n"
    "delimited text file (\"-\" for standard input) with one data row per line,\n"
    "an optional header line and an optional first column of row names.\n"
    "\n"
    "Groups (one of these is required):\n"
    "  -g, --groups N,N,...    group sizes in column order, e.g. 4,4,4\n"
    "  -l, --labels A,B,...    one label per data column, e.g. c,c,t,t,t; the\n"
    "                          columns are gathered group by group, groups in\n"
    "                          order of first appearance\n"
    "      --header-labels     take the labels from the header line\n"
    "Sampler:\n"
    "  -b, --burn N            burn-in iterations (default 1000)\n"
    "  -k, --keep N            kept iterations, at least 2 (default 1000);\n"
    "                          the kept draws' contrasts take\n"
    "                          16*rows*(groups-1)*N bytes; beyond 256 MiB the\n"
    "                          kept iterations are run twice instead\n"
    "  -s, --seed N            seed the generator with N (1..2147483647);\n"
    "                          without it every run starts from the built-in\n"
    "                          table and so gives the same result\n"
    "  -p, --pooled            also fit one pooled mean and variance per row\n"
    "  -t, --threads N         threads that share the rows (default: the\n"
    "                          number of cores); results do not depend on it\n"
    "Priors:\n"
    "      --hshape X          shape of the hyper-prior of the group variance\n"
    "                          rates (default 1)\n"
    "      --hrate X           its rate (default 1, i.e. variances of order 1)\n"
    "      --mvar A[,B]        prior variance of the overall row mean and of the\n"
    "                          pooled mean (default 10000,10000: vague on data\n"
    "                          of order 1..100; B defaults to A)\n"
    "      --effvar X[,X...]   prior variance of each scaled group deviation,\n"
    "                          one value for all or one per group after the\n"
    "                          first (default 10000)\n"
    "Input and output:\n"
    "  -d, --delimiter tab|comma   (default: detected from the first line)\n"
    "      --header, --no-header   (default: a first line with any non-numeric\n"
    "                              data cell is a header)\n"
    "      --row-names, --no-row-names\n"
    "                              (default: a non-numeric first cell in the\n"
    "                              first data row means the first column\n"
    "                              holds row names)\n"
    "  -o, --output FILE       write the results there (default: standard\n"
    "                          output); the file appears only when complete\n"
    "      --digits N          significant digits of the results (default 10)\n"
    "  -h, --help              show this text\n"
    "\n"
    "Output: a tab-separated table with a header line and, per row: row,\n"
    "mean_<group> and var_<group> (posterior means of each group's mean and\n"
    "variance), pooled_mean and pooled_var (with --pooled), p_mean (share of\n"
    "kept draws whose mean contrasts lie beyond the threshold; 2+ groups) and\n"
    "p_joint (the same for means and cube-root variances jointly; 3+ groups).\n"
    "Progress is shown on standard error when it is a terminal.\n";

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\r' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\r' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

std::vector<std::string> split(const std::string& line, char delim) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = line.find(delim, start);
        if (at == std::string::npos) {
            out.push_back(line.substr(start));
            break;
        }
        out.push_back(line.substr(start, at - start));
        start = at + 1;
    }
    for (auto& cell : out) {
        // Cells may be quoted ("a b"); the quotes are not part of the value.
        std::string t = trim(cell);
        if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
        cell = t;
    }
    return out;
}

enum class Cell { ok, empty, not_numeric, not_finite };

Cell parse_number(const std::string& s, double& value) {
    if (s.empty()) return Cell::empty;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return Cell::not_numeric;
    if (!std::isfinite(value)) return Cell::not_finite;
    return Cell::ok;
}

bool is_number(const std::string& s) {
    double v;
    const Cell c = parse_number(s, v);
    return c == Cell::ok || c == Cell::not_finite;
}

std::string where(const std::string& name, std::size_t line, std::size_t column) {
    std::ostringstream o;
    o << name << ':' << line << ':' << column << ": ";
    return o.str();
}

}  // namespace

bool read_table(const std::string& path, const ReadOptions& opt, Table& t, std::string& error) {
    if (path == "-") return read_table(std::cin, "<stdin>", opt, t, error);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    return read_table(in, path, opt, t, error);
}

bool read_table(std::istream& in, const std::string& name, const ReadOptions& opt, Table& t,
                std::string& error) {
    t = Table{};
    std::string line;
    std::size_t lineno = 0;
    std::size_t width = 0;          // cells per data line
    bool first = true;              // no line seen yet
    std::size_t blank_line = 0;     // an empty line seen (allowed only at the end)
    while (std::getline(in, line)) {
        ++lineno;
        const std::string content = trim(line);
        if (content.empty()) {
            if (blank_line == 0) blank_line = lineno;
            continue;
        }
        if (content[0] == '#') continue;  // comment line
        if (blank_line != 0) {
            error = where(name, blank_line, 1) + "empty line between data rows";
            return false;
        }
        if (first) {
            first = false;
            t.delimiter = opt.delimiter != 0 ? opt.delimiter
                          : line.find('\t') != std::string::npos ? '\t'
                          : line.find(',') != std::string::npos  ? ','
                                                                 : '\t';
            const std::vector<std::string> cells = split(line, t.delimiter);
            bool header = opt.header == 1;
            if (opt.header == -1) {
                for (std::size_t c = 1; c < cells.size(); ++c) header = header || !is_number(cells[c]);
                if (cells.size() == 1) header = !is_number(cells[0]);
            }
            if (header) {
                t.header = cells;
                continue;
            }
        }
        const std::vector<std::string> cells = split(line, t.delimiter);
        if (t.rows == 0) {
            t.first_data_line = lineno;
            t.has_row_names = opt.row_names == 1 || (opt.row_names == -1 && !is_number(cells[0]));
            width = cells.size();
            const std::size_t skip = t.has_row_names ? 1 : 0;
            if (width <= skip) {
                error = where(name, lineno, width + 1) + "no data column";
                return false;
            }
            t.cols = width - skip;
            if (!t.header.empty()) {
                // The header names the data columns, with or without a name
                // over the row-name column.
                if (t.header.size() == t.cols + skip && skip == 1) {
                    t.header.erase(t.header.begin());
                } else if (t.header.size() != t.cols) {
                    error = where(name, t.first_data_line - 1, 1) + "the header has " +
                            std::to_string(t.header.size()) + " columns but the data rows have " +
                            std::to_string(width);
                    return false;
                }
            }
        }
        if (cells.size() != width) {
            const std::size_t col = cells.size() < width ? cells.size() + 1 : width + 1;
            error = where(name, lineno, col) + "expected " + std::to_string(width) +
                    " columns, found " + std::to_string(cells.size());
            return false;
        }
        const std::size_t skip = t.has_row_names ? 1 : 0;
        if (skip) {
            t.row_names.push_back(cells[0]);
        } else {
            t.row_names.push_back(std::to_string(t.rows + 1));
        }
        for (std::size_t c = skip; c < width; ++c) {
            double v = 0.0;
            switch (parse_number(cells[c], v)) {
                case Cell::ok:
                    break;
                case Cell::empty:
                    error = where(name, lineno, c + 1) + "empty cell";
                    return false;
                case Cell::not_numeric:
                    error = where(name, lineno, c + 1) + "not a number: '" + cells[c] + "'";
                    return false;
                case Cell::not_finite:
                    error = where(name, lineno, c + 1) + "not a finite number: '" + cells[c] + "'";
                    return false;
            }
            t.values.push_back(v);
        }
        ++t.rows;
    }
    if (in.bad()) {
        error = name + ": read error";
        return false;
    }
    if (t.rows == 0) {
        error = where(name, lineno + 1, 1) + "no data rows";
        return false;
    }
    return true;
}

bool groups_from_sizes(const std::vector<std::int64_t>& sizes, std::size_t cols, Grouping& g,
                       std::string& error) {
    g = Grouping{};
    std::int64_t total = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i] < 2) {
            error = "group " + std::to_string(i + 1) + " has " + std::to_string(sizes[i]) +
                    " columns; every group needs at least 2";
            return false;
        }
        total += sizes[i];
        if (total > std::numeric_limits<std::int32_t>::max()) {
            error = "the group sizes add up to too many columns";
            return false;
        }
        g.names.push_back(std::to_string(i + 1));
        g.sizes.push_back(static_cast<std::int32_t>(sizes[i]));
    }
    if (static_cast<std::size_t>(total) != cols) {
        error = "the group sizes add up to " + std::to_string(total) + " columns but the rows have " +
                std::to_string(cols) + " data columns";
        return false;
    }
    for (std::size_t c = 0; c < cols; ++c) g.columns.push_back(c);
    return true;
}

bool groups_from_labels(const std::vector<std::string>& labels, Grouping& g, std::string& error) {
    g = Grouping{};
    std::vector<std::vector<std::size_t>> members;
    for (std::size_t c = 0; c < labels.size(); ++c) {
        if (labels[c].empty()) {
            error = "the label of data column " + std::to_string(c + 1) + " is empty";
            return false;
        }
        std::size_t k = 0;
        while (k < g.names.size() && g.names[k] != labels[c]) ++k;
        if (k == g.names.size()) {
            g.names.push_back(labels[c]);
            members.emplace_back();
        }
        members[k].push_back(c);
    }
    for (std::size_t k = 0; k < g.names.size(); ++k) {
        if (members[k].size() < 2) {
            error = "group '" + g.names[k] + "' has " + std::to_string(members[k].size()) +
                    " column; every group needs at least 2";
            return false;
        }
        g.sizes.push_back(static_cast<std::int32_t>(members[k].size()));
        for (std::size_t c : members[k]) g.columns.push_back(c);
    }
    return true;
}

namespace {

struct Options {
    std::string input;
    std::string output;
    std::vector<std::int64_t> sizes;
    std::vector<std::string> labels;
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
    int digits = 10;
    ReadOptions read;
};

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
    for (const std::string& cell : split(s, ',')) {
        double v;
        if (parse_number(cell, v) != Cell::ok) return false;
        out.push_back(v);
    }
    return !out.empty();
}

// Returns 0 to go on, or an exit status.
int parse_options(int argc, const char* const* argv, Options& o, std::ostream& out,
                  std::ostream& err) {
    auto usage_error = [&](const std::string& msg) {
        err << "kestrum: " << msg << "\n(kestrum --help shows the options)\n";
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
        }
        auto take = [&](std::string& v) {
            if (has_value) {
                v = value;
                return true;
            }
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            out << kUsage;
            return -1;
        } else if (arg == "-g" || arg == "--groups") {
            if (!take(v)) return usage_error(arg + " needs a value");
            o.sizes.clear();
            for (const std::string& cell : split(v, ',')) {
                std::int64_t n;
                if (!parse_int(cell, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max(), n))
                    return usage_error("--groups: '" + cell + "' is not a whole number");
                o.sizes.push_back(n);
            }
        } else if (arg == "-l" || arg == "--labels") {
            if (!take(v)) return usage_error(arg + " needs a value");
            o.labels = split(v, ',');
        } else if (arg == "--header-labels") {
            o.header_labels = true;
        } else if (arg == "-b" || arg == "--burn") {
            if (!take(v) || !parse_int(v, 0, std::numeric_limits<std::int32_t>::max(), o.burn))
                return usage_error("--burn needs a whole number from 0 to 2147483647");
        } else if (arg == "-k" || arg == "--keep") {
            if (!take(v) || !parse_int(v, std::numeric_limits<std::int64_t>::min(),
                                       std::numeric_limits<std::int32_t>::max(), o.keep))
                return usage_error("--keep needs a whole number up to 2147483647");
            if (o.keep < 2)
                return usage_error("--keep must be at least 2 (the difference tests need the "
                                   "spread of the kept draws)");
        } else if (arg == "-s" || arg == "--seed") {
            if (!take(v) || !parse_int(v, 1, std::numeric_limits<std::int32_t>::max(), o.seed))
                return usage_error("--seed needs a whole number from 1 to 2147483647");
        } else if (arg == "-t" || arg == "--threads") {
            if (!take(v) || !parse_int(v, 1, 256, o.threads))
                return usage_error("--threads needs a whole number from 1 to 256");
        } else if (arg == "-p" || arg == "--pooled") {
            o.pooled = true;
        } else if (arg == "--hshape" || arg == "--hrate") {
            std::vector<double> x;
            if (!take(v) || !parse_double_list(v, x) || x.size() != 1 || !(x[0] >= 0.0))
                return usage_error(arg + " needs one finite number >= 0");
            (arg == "--hshape" ? o.hshape : o.hrate) = x[0];
        } else if (arg == "--mvar" || arg == "--effvar") {
            std::vector<double> x;
            if (!take(v) || !parse_double_list(v, x))
                return usage_error(arg + " needs finite numbers separated by commas");
            for (double y : x)
                if (!(y > 0.0)) return usage_error(arg + ": prior variances must be positive");
            if (arg == "--mvar") {
                if (x.size() > 2) return usage_error("--mvar takes one or two values");
                if (x.size() == 1) x.push_back(x[0]);
                o.mvar = x;
            } else {
                o.effvar = x;
            }
        } else if (arg == "-d" || arg == "--delimiter") {
            if (!take(v)) return usage_error(arg + " needs a value");
            if (v == "tab" || v == "\t") {
                o.read.delimiter = '\t';
            } else if (v == "comma" || v == ",") {
                o.read.delimiter = ',';
            } else {
                return usage_error("--delimiter is tab or comma");
            }
        } else if (arg == "--header") {
            o.read.header = 1;
        } else if (arg == "--no-header") {
            o.read.header = 0;
        } else if (arg == "--row-names") {
            o.read.row_names = 1;
        } else if (arg == "--no-row-names") {
            o.read.row_names = 0;
        } else if (arg == "-o" || arg == "--output") {
            if (!take(v) || v.empty()) return usage_error(arg + " needs a file name");
            o.output = v;
        } else if (arg == "--digits") {
            std::int64_t d;
            if (!take(v) || !parse_int(v, 1, 17, d))
                return usage_error("--digits needs a whole number from 1 to 17");
            o.digits = static_cast<int>(d);
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return usage_error("unknown option " + arg);
        } else {
            if (!o.input.empty()) return usage_error("more than one input file");
            o.input = arg;
        }
    }
    if (o.input.empty()) return usage_error("no input file");
    const int ways = (o.sizes.empty() ? 0 : 1) + (o.labels.empty() ? 0 : 1) + (o.header_labels ? 1 : 0);
    if (ways != 1)
        return usage_error("give the groups one way: --groups, --labels or --header-labels");
    if (o.header_labels && o.read.header == 0)
        return usage_error("--header-labels needs a header line");
    if (o.header_labels) o.read.header = 1;
    return 0;
}

// Progress on standard error: a percentage, rewritten in place.
struct ProgressState {
    std::int64_t shown = -1;
};

void show_progress(void* context, std::int64_t done, std::int64_t total) {
    auto* s = static_cast<ProgressState*>(context);
    const std::int64_t pct = total > 0 ? (100 * done) / total : 100;
    if (pct == s->shown) return;
    s->shown = pct;
    std::fprintf(stderr, "\rkestrum: sampling %3lld%%", static_cast<long long>(pct));
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string format_number(double x, int digits) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "Inf" : "-Inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", digits, x);
    return buf;
}

}  // namespace

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
    if (t.rows > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        err << "kestrum: " << source << ": too many rows\n";
        return 1;
    }

    // Groups.
    Grouping groups;
    bool ok;
    if (!o.sizes.empty()) {
        ok = groups_from_sizes(o.sizes, t.cols, groups, error);
    } else {
        std::vector<std::string> labels = o.header_labels ? t.header : o.labels;
        if (!o.header_labels && labels.size() != t.cols) {
            error = "--labels gives " + std::to_string(labels.size()) +
                    " labels but the rows have " + std::to_string(t.cols) + " data columns";
            ok = false;
        } else {
            ok = groups_from_labels(labels, groups, error);
        }
    }
    if (!ok) {
        // Name the place in the file the groups were checked against.
        const std::size_t line = o.header_labels ? t.first_data_line - 1 : t.first_data_line;
        err << "kestrum: " << where(source, line, (t.has_row_names ? 2 : 1)) << error << '\n';
        return 1;
    }
    const auto J = static_cast<std::int32_t>(groups.sizes.size());
    if (J < 1) {
        err << "kestrum: no groups\n";
        return 2;
    }
    std::vector<double> effvar(static_cast<std::size_t>(J > 1 ? J - 1 : 1), o.effvar[0]);
    if (o.effvar.size() != 1) {
        if (o.effvar.size() != static_cast<std::size_t>(J - 1)) {
            err << "kestrum: --effvar gives " << o.effvar.size() << " values; there are "
                << J - 1 << " groups after the first\n";
            return 2;
        }
        effvar = o.effvar;
    }

    // The data, gathered group by group, column by column (leading dimension L).
    const auto L = static_cast<std::int32_t>(t.rows);
    const auto N = static_cast<std::int32_t>(t.cols);
    std::vector<double> ydata(t.rows * t.cols);
    for (std::size_t g = 0; g < t.rows; ++g)
        for (std::size_t c = 0; c < t.cols; ++c)
            ydata[g + c * t.rows] = t.values[g * t.cols + groups.columns[c]];

    const std::size_t Lz = t.rows, Jz = groups.sizes.size();
    std::vector<double> prob(Lz * (Jz > 1 ? Jz - 1 : 1)), pmeanbar(Lz), pvarbar(Lz),
        gmeanbar(Lz * Jz), gvarbar(Lz * Jz);

    if (o.seed != 0) {
        const auto seed = static_cast<std::int32_t>(o.seed);
        zbqlini_(&seed);
    }

    const std::int32_t reserved = 0;
    driver::Arguments a;
    a.reserved = &reserved;
    a.ipool = o.pooled ? 1 : 0;
    a.nrow = L;
    a.ngrp = J;
    a.nobs = groups.sizes.data();
    a.ntot = N;
    a.ydata = ydata.data();
    a.nkeep = static_cast<std::int32_t>(o.keep);
    a.nburn = static_cast<std::int32_t>(o.burn);
    a.hshape = o.hshape;
    a.hrate = o.hrate;
    a.mvar = o.mvar.data();
    a.effvar = effvar.data();
    driver::Outputs res;
    res.prob = prob.data();
    res.pmeanbar = pmeanbar.data();
    res.pvarbar = pvarbar.data();
    res.gmeanbar = gmeanbar.data();
    res.gvarbar = gvarbar.data();

    ProgressState progress_state;
    driver::Progress progress;
    if (isatty(STDERR_FILENO)) {
        progress.report = show_progress;
        progress.context = &progress_state;
    }
    driver::CoreCallees callees;
    driver::EngineOptions engine;
    engine.threads = static_cast<int>(o.threads);
    if (engine.threads == 0) {
        const unsigned cores = std::thread::hardware_concurrency();
        engine.threads = cores == 0 ? 1 : static_cast<int>(cores < 256 ? cores : 256);
    }
    if (!driver::estimate(random::process_stream(), callees, a, res, progress,
                          driver::allocate_block, engine)) {
        err << "kestrum: not enough memory for " << t.rows << " rows, " << J << " groups and "
            << o.keep << " kept iterations\n";
        return 1;
    }

    // Results: written in full to a temporary file beside the output, which
    // is renamed at the end, so no half-written file is ever left.
    std::ostringstream text;
    text << "row";
    for (const auto& n : groups.names) text << "\tmean_" << n;
    for (const auto& n : groups.names) text << "\tvar_" << n;
    if (o.pooled) text << "\tpooled_mean\tpooled_var";
    if (J >= 2) text << "\tp_mean";
    if (J >= 3) text << "\tp_joint";
    text << '\n';
    for (std::size_t g = 0; g < Lz; ++g) {
        text << t.row_names[g];
        for (std::size_t j = 0; j < Jz; ++j) text << '\t' << format_number(gmeanbar[g + j * Lz], o.digits);
        for (std::size_t j = 0; j < Jz; ++j) text << '\t' << format_number(gvarbar[g + j * Lz], o.digits);
        if (o.pooled)
            text << '\t' << format_number(pmeanbar[g], o.digits) << '\t'
                 << format_number(pvarbar[g], o.digits);
        if (J >= 2) text << '\t' << format_number(prob[g], o.digits);
        if (J >= 3) text << '\t' << format_number(prob[g + Lz], o.digits);
        text << '\n';
    }
    const std::string body = text.str();

    if (o.output.empty() || o.output == "-") {
        out << body;
        out.flush();
        return out ? 0 : 1;
    }
    std::string tmpl = o.output + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        err << "kestrum: " << o.output << ": cannot create a temporary file beside it: "
            << std::strerror(errno) << '\n';
        return 1;
    }
    // mkstemp makes the file private; give it the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    bool written = true;
    std::size_t done = 0;
    while (done < body.size()) {
        const ssize_t n = ::write(fd, body.data() + done, body.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            written = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const int write_errno = errno;
    if (::close(fd) != 0) written = false;
    if (!written || std::rename(name.data(), o.output.c_str()) != 0) {
        const int e = written ? errno : write_errno;
        std::remove(name.data());
        err << "kestrum: " << o.output << ": cannot write: " << std::strerror(e) << '\n';
        return 1;
    }
    return 0;
}

}  // namespace kestrum::cli
