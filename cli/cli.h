// The command-line front end of kestrum_: read a delimited matrix of data
// rows, gather its columns into groups, run the sampler, write one line of
// posterior summaries per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kestrum::cli {

// How to read the input.  Tri-state switches: -1 = detect, 0 = no, 1 = yes.
struct ReadOptions {
    char delimiter = 0;   // '\t' or ','; 0 = detect from the first line
    int header = -1;      // first line holds column names
    int row_names = -1;   // first column holds row names
    bool na_fail = false; // a missing value rejects the input (else: the row is left out)
};

// A data matrix as read: rows x cols numbers, row by row.
//
// Header detection (header = -1).  The first line is a header when
//   - any of its data cells (every cell after the first; the only cell of a
//     one-column line) is text: not a number and not a missing value, or
//     quoted while the next line holds unquoted numbers (R's write.table
//     quotes its column names), or
//   - its first cell is empty (or "") and all the others are present (R's
//     write.csv and col.names = NA: the corner over the row names).
// When every cell is a number, the first line is data, unless it looks
// like a line of numeric sample names: it has a different number of cells
// from the next line, or all its cells are plain whole numbers of which
// one has a leading zero ("01005"), or all are plain whole numbers while the
// next line has fractional ones.  Then reading stops with a message asking
// for --header or --no-header rather than guessing.
//
// Row names (row_names = -1): the first column holds row names when the
// first cell of the first data row is text, or is quoted while other cells
// of that row are not, or when the header has one name fewer than the data
// rows have cells, or its first name is empty.
//
// Missing values: an empty cell, NA, N/A, #N/A, NaN (any case), -nan.  The
// row is marked missing (or, with na_fail, reading stops at the cell).
// Infinite values and text in a data cell always stop the reading.
struct Table {
    std::vector<std::string> header;     // names of the data columns (empty without header)
    std::size_t header_line = 0;         // 1-based line number of the header (0: none)
    std::vector<std::string> row_names;  // one per row (its number 1, 2, ... when absent)
    std::vector<double> values;          // row-major; NaN where a value is missing
    std::vector<std::size_t> lines;      // 1-based line number of each row
    std::vector<char> missing;           // per row: some value is missing
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t first_data_line = 0;     // 1-based line number of the first data row
    std::size_t missing_rows = 0;
    bool has_row_names = false;
    char delimiter = '\t';
};

// Reads path (or standard input for "-") into t.  On bad input returns false
// with a message "FILE:LINE:COLUMN: what" in error.
bool read_table(const std::string& path, const ReadOptions& opt, Table& t, std::string& error);
bool read_table(std::istream& in, const std::string& name, const ReadOptions& opt, Table& t,
                std::string& error);

// The groups of the data columns.
struct Grouping {
    std::vector<std::string> names;     // group names in group order
    std::vector<std::int32_t> sizes;    // columns per group
    std::vector<std::size_t> columns;   // data columns in group order (0-based)
};

// From sizes in column order ("4,4,4").  The groups are named 1..J, or,
// when header holds the column names and the names of every group share a
// prefix (trailing digits and separators _ . - dropped) that tells the
// groups apart and holds no control character, by those prefixes:
// a1..a4,b1..b4 give groups a and b.
bool groups_from_sizes(const std::vector<std::int64_t>& sizes, std::size_t cols,
                       Grouping& g, std::string& error,
                       const std::vector<std::string>& header = {});
// From one label per column; groups in order of first appearance, each
// group's columns in their original order.
bool groups_from_labels(const std::vector<std::string>& labels, Grouping& g,
                        std::string& error);

// Why a label cannot name a group, or empty when it can: the group names
// head the output's columns, so a label holding a control character (a tab
// or a line break would break the table; any byte below 0x20, or 0x7F) is
// refused, never cleaned (two labels differing only there would become two
// groups of the same name).  The message shows the label with its control
// characters escaped: "label 'a\tb' holds a tab".
std::string label_trouble(const std::string& label);

// The labels of the data columns from a labels file: either one label per
// line (as many lines as data columns), or a sample sheet of two columns
// (tab- or comma-separated: column name, label) in which every name of the
// header must appear once; lines of the sheet that name no column (such as
// a header line of its own) are ignored.  Empty lines and lines starting
// with # are skipped.  A label that label_trouble refuses is an error
// naming FILE:LINE:COLUMN.
bool labels_from_file(const std::string& path, const std::vector<std::string>& header,
                      std::size_t cols, std::vector<std::string>& labels, std::string& error);

// Runs the front end with the given arguments (argv[0] is the program
// name).  Results go to the --output target (see output.h: a regular file
// is replaced only when complete) or to out; messages go to err.
// Returns the process exit status: 0 on success, 1 on bad input or a failed
// run or write, 2 on bad usage, 130 when interrupted, kReaderGone when the
// reader of the results or of the diagnostics went away (EPIPE, as in
// kestrum ... | head -1) and nothing else failed: no message then, and the
// program ends by SIGPIPE itself.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// What a shell shows for a program that SIGPIPE ended (128 + 13): the
// quiet end of a command-line tool whose reader stopped reading, as seq 1
// 100000 | head -1 ends.  The program raises SIGPIPE when run() returns it.
constexpr int kReaderGone = 141;

// Makes Ctrl-C (SIGINT) stop a run between iterations or rows: the
// temporary output file is removed and run() returns 130.  For the program
// only; tests call request_interrupt() instead.
void install_interrupt_handler();
void request_interrupt(bool on);

}  // namespace kestrum::cli
