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
};

// A data matrix as read: rows x cols numbers, row by row.
struct Table {
    std::vector<std::string> header;     // names of the data columns (empty without header)
    std::vector<std::string> row_names;  // one per row (generated when absent)
    std::vector<double> values;          // row-major
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t first_data_line = 0;     // 1-based line number of the first data row
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

// From sizes in column order ("4,4,4").
bool groups_from_sizes(const std::vector<std::int64_t>& sizes, std::size_t cols,
                       Grouping& g, std::string& error);
// From one label per column; groups in order of first appearance, each
// group's columns in their original order.
bool groups_from_labels(const std::vector<std::string>& labels, Grouping& g,
                        std::string& error);

// Runs the front end with the given arguments (argv[0] is the program
// name).  Results go to the --output file (written to a temporary file
// beside it and renamed at the end) or to out; messages go to err.
// Returns the process exit status: 0 on success, 1 on bad input or a failed
// run, 2 on bad usage.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace kestrum::cli
