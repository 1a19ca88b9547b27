// The front end's table reader on arbitrary text, with the reading options
// taken from the first bytes.  Reading either fails with a message
// "NAME:LINE:COLUMN: what" or gives a consistent table: at least one row
// and one data column, rows x cols values, one name, line number and
// missing flag per row (line numbers rising), NaN exactly in the rows
// marked missing (none with na_fail), every other value finite, a header
// of one name per data column or none, and the switches given obeyed.
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

#include "cli/cli.h"
#include "fuzz_input.h"

using kestrum::fuzz::Input;

namespace {

// "NAME:LINE:COLUMN: " with LINE and COLUMN positive whole numbers.
bool located(const std::string& error, const std::string& name) {
    if (error.compare(0, name.size() + 1, name + ":") != 0) return false;
    std::size_t i = name.size() + 1;
    for (int part = 0; part < 2; ++part) {
        const std::size_t from = i;
        while (i < error.size() && error[i] >= '0' && error[i] <= '9') ++i;
        if (i == from || error[from] == '0' || i >= error.size() || error[i] != ':') return false;
        ++i;
    }
    return error.compare(i, 1, " ") == 0 && error.size() > i + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::size_t skip = size < 16 ? size : 16;  // the four switches' bytes
    Input in(data, skip);
    static const char delimiters[] = {0, '\t', ','};
    kestrum::cli::ReadOptions opt;
    opt.delimiter = delimiters[in.small(0, 2)];
    opt.header = in.small(-1, 1);
    opt.row_names = in.small(-1, 1);
    opt.na_fail = in.small(0, 1) == 1;
    const std::string text(reinterpret_cast<const char*>(data) + skip, size - skip);

    const std::string name = "in.tsv";
    std::istringstream stream(text);
    kestrum::cli::Table t;
    std::string error;
    const bool ok = kestrum::cli::read_table(stream, name, opt, t, error);
    if (!ok) {
        FUZZ_CHECK(located(error, name));
        return 0;
    }
    FUZZ_CHECK(t.rows >= 1 && t.cols >= 1);
    FUZZ_CHECK(t.values.size() == t.rows * t.cols);
    FUZZ_CHECK(t.row_names.size() == t.rows && t.lines.size() == t.rows &&
               t.missing.size() == t.rows);
    FUZZ_CHECK(t.header.empty() || t.header.size() == t.cols);
    FUZZ_CHECK(t.delimiter == (opt.delimiter != 0 ? opt.delimiter : t.delimiter));
    FUZZ_CHECK(t.delimiter == '\t' || t.delimiter == ',');
    if (opt.header == 0) FUZZ_CHECK(t.header.empty());
    if (opt.header == 1) FUZZ_CHECK(t.header.size() == t.cols);
    if (opt.row_names != -1) FUZZ_CHECK(t.has_row_names == (opt.row_names == 1));
    FUZZ_CHECK(t.first_data_line == t.lines[0] && t.lines[0] >= 1);
    std::size_t missing = 0;
    for (std::size_t r = 0; r < t.rows; ++r) {
        if (r > 0) FUZZ_CHECK(t.lines[r] > t.lines[r - 1]);
        if (!t.has_row_names) FUZZ_CHECK(t.row_names[r] == std::to_string(r + 1));
        bool any_nan = false;
        for (std::size_t c = 0; c < t.cols; ++c) {
            const double v = t.values[r * t.cols + c];
            any_nan = any_nan || std::isnan(v);
            FUZZ_CHECK(!std::isinf(v));
        }
        FUZZ_CHECK(any_nan == (t.missing[r] != 0));
        if (t.missing[r]) ++missing;
    }
    FUZZ_CHECK(t.missing_rows == missing);
    if (opt.na_fail) FUZZ_CHECK(missing == 0);
    return 0;
}
