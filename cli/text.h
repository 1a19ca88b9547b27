// Cells of a delimited text line, and what a cell holds.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace kestrum::cli {

inline std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\r' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\r' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

// The cells of one line, with surrounding blanks removed.  A cell may be
// quoted ("a b", "x,y"; "" inside stands for one "): the quotes are not part
// of the value, and quoted[c] records that they were there.
struct Cells {
    std::vector<std::string> v;
    std::vector<char> quoted;
};

inline Cells split_cells(const std::string& line, char delim) {
    Cells out;
    std::size_t i = 0;
    const std::size_t n = line.size();
    for (;;) {
        while (i < n && line[i] == ' ' && line[i] != delim) ++i;
        std::string cell;
        bool quoted = false;
        if (i < n && line[i] == '"') {
            quoted = true;
            ++i;
            while (i < n) {
                if (line[i] == '"') {
                    if (i + 1 < n && line[i + 1] == '"') {
                        cell += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                cell += line[i++];
            }
            // Anything between the closing quote and the delimiter is kept.
            const std::size_t at = line.find(delim, i);
            const std::string rest = trim(line.substr(i, at == std::string::npos ? std::string::npos : at - i));
            if (!rest.empty()) {
                cell = '"' + cell + '"' + rest;
                quoted = false;
            }
            i = at == std::string::npos ? n : at;
        } else {
            const std::size_t at = line.find(delim, i);
            cell = trim(line.substr(i, at == std::string::npos ? std::string::npos : at - i));
            i = at == std::string::npos ? n : at;
        }
        out.v.push_back(cell);
        out.quoted.push_back(quoted ? 1 : 0);
        if (i >= n) break;
        ++i;  // the delimiter
        if (i == n) {
            out.v.emplace_back();
            out.quoted.push_back(0);
            break;
        }
    }
    return out;
}

enum class CellKind { number, missing, text, infinite };

// Reads a cell as a number.  Missing: empty, NA, N/A, #N/A, NaN in any case
// (and whatever strtod reads as NaN).  Infinite: inf, infinity, or a number
// too large for a double (1e400).
inline CellKind classify(const std::string& s, double& value) {
    if (s.empty()) return CellKind::missing;
    std::string lower;
    for (char c : s) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == "na" || lower == "n/a" || lower == "#n/a" || lower == "nan" || lower == "-nan" ||
        lower == "+nan")
        return CellKind::missing;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return CellKind::text;
    if (std::isnan(value)) return CellKind::missing;
    if (std::isinf(value)) return CellKind::infinite;
    return CellKind::number;
}

}  // namespace kestrum::cli
