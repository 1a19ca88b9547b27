// Reading the data matrix, and the groups of its columns (see cli.h for the
// rules of header, row-name and missing-value detection).
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "cli/cli.h"
#include "cli/text.h"

namespace kestrum::cli {

namespace {

std::string where(const std::string& name, std::size_t line, std::size_t column) {
    std::ostringstream o;
    o << name << ':' << line << ':' << column << ": ";
    return o.str();
}

bool plain_whole(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool fractional(const std::string& s) {
    return s.find_first_of(".eE") != std::string::npos;
}

// A cell that counts as text when deciding about a header line.
bool text_cell(const Cells& cells, std::size_t c, bool quotes_mean_text) {
    if (cells.quoted[c] && quotes_mean_text) return true;
    double v;
    return classify(cells.v[c], v) == CellKind::text;
}

// The next line that is neither a comment nor empty; blank lines before it
// are remembered in blank_line.
bool next_content(std::istream& in, std::string& line, std::size_t& lineno,
                  std::size_t& blank_line) {
    while (std::getline(in, line)) {
        ++lineno;
        const std::string content = trim(line);
        if (content.empty()) {
            if (blank_line == 0) blank_line = lineno;
            continue;
        }
        if (content[0] == '#') continue;
        return true;
    }
    return false;
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
    std::string line, second;
    std::size_t lineno = 0, blank_line = 0;
    if (!next_content(in, line, lineno, blank_line)) {
        if (in.bad()) {
            error = name + ": read error";
            return false;
        }
        error = where(name, lineno + 1, 1) + "no data rows";
        return false;
    }
    blank_line = 0;  // blank lines before the first line do not matter
    // A byte-order mark (spreadsheets write one) is not part of the first cell.
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    t.delimiter = opt.delimiter != 0 ? opt.delimiter
                  : line.find('\t') != std::string::npos ? '\t'
                  : line.find(',') != std::string::npos  ? ','
                                                         : '\t';
    const std::size_t first_line = lineno;
    Cells first = split_cells(line, t.delimiter);

    // The line after the first, when there is one, helps decide.
    std::size_t second_line = 0, second_blank = 0;
    std::size_t lineno2 = lineno;
    const bool have_second = next_content(in, second, lineno2, second_blank);
    Cells next;
    if (have_second) {
        second_line = lineno2;
        next = split_cells(second, t.delimiter);
    }

    bool header = opt.header == 1;
    if (opt.header == -1) {
        bool next_has_bare_number = false;
        for (std::size_t c = 1; c < next.v.size(); ++c) {
            double v;
            if (!next.quoted[c] && classify(next.v[c], v) == CellKind::number) next_has_bare_number = true;
        }
        const std::size_t n = first.v.size();
        if (n == 1) {
            header = text_cell(first, 0, next_has_bare_number);
        } else {
            for (std::size_t c = 1; c < n; ++c) header = header || text_cell(first, c, next_has_bare_number);
            bool others_present = true;
            for (std::size_t c = 1; c < n; ++c) others_present = others_present && !first.v[c].empty();
            if (first.v[0].empty() && others_present) header = true;
        }
        if (!header && have_second) {
            // Every cell is a number (or missing): data, unless the line
            // looks like numeric sample names.
            std::string why;
            double v;
            const std::size_t from = n > 1 && classify(first.v[0], v) == CellKind::text ? 1 : 0;
            bool all_whole = true, leading_zero = false;
            for (std::size_t c = from; c < n; ++c) {
                all_whole = all_whole && plain_whole(first.v[c]);
                leading_zero = leading_zero || (first.v[c].size() > 1 && first.v[c][0] == '0');
            }
            bool next_fractional = false;
            for (std::size_t c = 1; c < next.v.size(); ++c)
                next_fractional = next_fractional || fractional(next.v[c]);
            if (n != next.v.size()) {
                why = "it has " + std::to_string(n) + " cells and the next line " +
                      std::to_string(next.v.size());
            } else if (all_whole && leading_zero) {
                why = "its cells are whole numbers with leading zeros, like sample names";
            } else if (all_whole && next_fractional) {
                why = "its cells are whole numbers and the next line's are not, like sample names";
            }
            if (!why.empty()) {
                error = where(name, first_line, 1) +
                        "cannot tell whether the first line is a header: " + why +
                        "; give --header or --no-header";
                return false;
            }
        }
    }

    std::size_t width = 0;
    bool use_first_as_data = !header;
    if (header) {
        t.header = first.v;
        t.header_line = first_line;
    }
    bool more = true;
    std::size_t data_line = 0;
    Cells cells;
    while (more) {
        if (use_first_as_data) {
            cells = std::move(first);
            data_line = first_line;
            use_first_as_data = false;
        } else if (have_second && second_line != 0) {
            cells = std::move(next);
            data_line = second_line;
            if (second_blank != 0) blank_line = second_blank;
            second_line = 0;
        } else {
            blank_line = 0;
            std::size_t b = 0;
            if (!next_content(in, line, lineno2, b)) break;
            if (b != 0) blank_line = b;
            cells = split_cells(line, t.delimiter);
            data_line = lineno2;
        }
        if (blank_line != 0 && t.rows > 0) {
            error = where(name, blank_line, 1) + "empty line between data rows";
            return false;
        }
        blank_line = 0;
        if (t.rows == 0) {
            t.first_data_line = data_line;
            width = cells.v.size();
            if (opt.row_names != -1) {
                t.has_row_names = opt.row_names == 1;
            } else {
                double v;
                bool others_bare = false;
                for (std::size_t c = 1; c < width; ++c) others_bare = others_bare || !cells.quoted[c];
                t.has_row_names = classify(cells.v[0], v) == CellKind::text ||
                                  (cells.quoted[0] && others_bare) ||
                                  (!t.header.empty() && width >= 2 &&
                                   (t.header.size() + 1 == width ||
                                    (t.header.size() == width && t.header[0].empty())));
            }
            const std::size_t skip = t.has_row_names ? 1 : 0;
            if (width <= skip) {
                error = where(name, data_line, width + 1) + "no data column";
                return false;
            }
            t.cols = width - skip;
            if (!t.header.empty()) {
                // The header names the data columns, with or without a name
                // over the row-name column.
                if (t.header.size() == t.cols + skip && skip == 1) {
                    t.header.erase(t.header.begin());
                } else if (t.header.size() != t.cols) {
                    error = where(name, first_line, 1) + "the header has " +
                            std::to_string(t.header.size()) + " columns but the data rows have " +
                            std::to_string(width);
                    return false;
                }
            }
        }
        if (cells.v.size() != width) {
            const std::size_t col = cells.v.size() < width ? cells.v.size() + 1 : width + 1;
            error = where(name, data_line, col) + "expected " + std::to_string(width) +
                    " columns, found " + std::to_string(cells.v.size());
            return false;
        }
        const std::size_t skip = t.has_row_names ? 1 : 0;
        t.row_names.push_back(skip ? cells.v[0] : std::to_string(t.rows + 1));
        bool row_missing = false;
        for (std::size_t c = skip; c < width; ++c) {
            double v = 0.0;
            switch (classify(cells.v[c], v)) {
                case CellKind::number:
                    break;
                case CellKind::missing:
                    if (opt.na_fail) {
                        error = where(name, data_line, c + 1) +
                                (cells.v[c].empty() ? std::string("empty cell")
                                                    : "missing value '" + cells.v[c] + "'") +
                                " (--na omit leaves such rows out)";
                        return false;
                    }
                    row_missing = true;
                    v = std::numeric_limits<double>::quiet_NaN();
                    break;
                case CellKind::text:
                    error = where(name, data_line, c + 1) + "not a number: '" + cells.v[c] + "'";
                    return false;
                case CellKind::infinite:
                    error = where(name, data_line, c + 1) + "not a finite number: '" + cells.v[c] + "'";
                    return false;
            }
            t.values.push_back(v);
        }
        t.lines.push_back(data_line);
        t.missing.push_back(row_missing ? 1 : 0);
        if (row_missing) ++t.missing_rows;
        ++t.rows;
        more = true;
    }
    if (in.bad()) {
        error = name + ": read error";
        return false;
    }
    if (t.rows == 0) {
        error = where(name, lineno2 + 1, 1) + "no data rows";
        return false;
    }
    return true;
}

namespace {

// The part of a group's column names that they share, without trailing
// digits and separators; empty when there is none.
std::string common_stem(const std::vector<std::string>& header, const std::vector<std::size_t>& cols) {
    std::string stem = header[cols[0]];
    for (std::size_t c : cols) {
        const std::string& s = header[c];
        std::size_t k = 0;
        while (k < stem.size() && k < s.size() && stem[k] == s[k]) ++k;
        stem.resize(k);
    }
    while (!stem.empty() && std::strchr("0123456789_.- ", stem.back()) != nullptr) stem.pop_back();
    return stem;
}

}  // namespace

std::string label_trouble(const std::string& label) {
    std::string what;
    for (const char ch : label) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7f) continue;
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", c);
        what = c == '\t' ? "a tab" : c == '\n' ? "a line break" : c == '\r' ? "a carriage return"
                                                              : "the control character " + std::string(hex);
        break;
    }
    if (what.empty()) return {};
    std::string shown;
    for (const char ch : label) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\t') {
            shown += "\\t";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        } else {
            shown += ch;
        }
    }
    return "label '" + shown + "' holds " + what + " (labels name the output's columns)";
}

bool groups_from_sizes(const std::vector<std::int64_t>& sizes, std::size_t cols, Grouping& g,
                       std::string& error, const std::vector<std::string>& header) {
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
    if (header.size() == cols) {
        // Names from the header, when every group has one and they differ.
        std::vector<std::string> stems;
        std::size_t at = 0;
        for (std::int32_t n : g.sizes) {
            std::vector<std::size_t> members;
            for (std::int32_t k = 0; k < n; ++k) members.push_back(at++);
            stems.push_back(common_stem(header, members));
        }
        bool usable = true;
        for (std::size_t i = 0; i < stems.size(); ++i) {
            usable = usable && !stems[i].empty() && label_trouble(stems[i]).empty();
            for (std::size_t k = 0; k < i; ++k) usable = usable && stems[k] != stems[i];
        }
        if (usable) g.names = stems;
    }
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

bool labels_from_file(const std::string& path, const std::vector<std::string>& header,
                      std::size_t cols, std::vector<std::string>& labels, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    struct Entry {
        std::vector<std::string> cells;
        std::size_t line;
    };
    std::vector<Entry> entries;
    std::string line;
    std::size_t lineno = 0, width = 0;
    while (std::getline(in, line)) {
        ++lineno;
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        const char delim = line.find('\t') != std::string::npos ? '\t' : ',';
        Cells cells = split_cells(line, line.find_first_of("\t,") == std::string::npos ? '\t' : delim);
        if (width == 0) width = cells.v.size();
        if (cells.v.size() != width || width > 2) {
            error = where(path, lineno, 1) + "expected " +
                    (width > 2 ? std::string("one label, or a column name and a label,")
                               : std::to_string(width) + " cells") +
                    " per line, found " + std::to_string(cells.v.size());
            return false;
        }
        entries.push_back({std::move(cells.v), lineno});
    }
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    labels.clear();
    if (width <= 1) {
        if (entries.size() != cols) {
            error = path + ": " + std::to_string(entries.size()) + " labels but the rows have " +
                    std::to_string(cols) + " data columns";
            return false;
        }
        for (const auto& e : entries) {
            const std::string why = label_trouble(e.cells[0]);
            if (!why.empty()) {
                error = where(path, e.line, 1) + why;
                return false;
            }
            labels.push_back(e.cells[0]);
        }
        return true;
    }
    if (header.size() != cols) {
        error = path + ": a sample sheet needs a header line in the data naming the columns";
        return false;
    }
    labels.assign(cols, std::string());
    std::vector<std::size_t> seen(cols, 0);
    for (const auto& e : entries) {
        for (std::size_t c = 0; c < cols; ++c) {
            if (header[c] != e.cells[0]) continue;
            if (seen[c] != 0 && labels[c] != e.cells[1]) {
                error = where(path, e.line, 1) + "column '" + header[c] + "' is labelled again (line " +
                        std::to_string(seen[c]) + ")";
                return false;
            }
            const std::string why = label_trouble(e.cells[1]);
            if (!why.empty()) {
                error = where(path, e.line, 2) + why;
                return false;
            }
            seen[c] = e.line;
            labels[c] = e.cells[1];
        }
    }
    for (std::size_t c = 0; c < cols; ++c) {
        if (seen[c] == 0) {
            error = path + ": the sample sheet has no label for column '" + header[c] + "'";
            return false;
        }
    }
    return true;
}

}  // namespace kestrum::cli
