// Progress of a run on standard error, rewritten in place on one line:
//   kestrum: sampling  37% (burn-in 740/1000), about 1 min 5 s left
//   kestrum: sampling 100% in 31 s; summaries...
//   kestrum: writing  52% (6 500/12 625 rows)
// and, at the end, a closing line such as
//   kestrum: 12 625 rows written to out.tsv in 33 s
// The estimate of the time left is the elapsed time scaled by the share of
// the iterations still to run.  Nothing is shown unless enabled (the
// program enables it when standard error is a terminal).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrum::cli {

// Whole numbers with a space between groups of three digits: 12 625.
std::string format_count(std::uint64_t n);
// A duration for people: "8 s", "2 min 5 s", "1 h 3 min".
std::string format_duration(double seconds);
// "about 30 s left" after elapsed seconds for done of total steps; empty
// before the first second (too early to tell).
std::string time_left(double elapsed, std::int64_t done, std::int64_t total);

class ProgressLine {
public:
    ProgressLine(bool enabled, std::FILE* to, std::int64_t burn);

    bool enabled() const { return enabled_; }
    // After every sampling iteration (done of total; the first burn ones
    // are the burn-in).
    void sampling(std::int64_t done, std::int64_t total);
    // While the results are written.
    void writing(std::uint64_t done, std::uint64_t total);
    // The closing line, replacing the progress line.
    void finish(const std::string& text);
    // Clears the progress line (before a message).
    void clear();
    double elapsed() const;

private:
    void show(const std::string& text, bool force);

    bool enabled_;
    std::FILE* to_;
    std::int64_t burn_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_{};
    std::size_t shown_length_ = 0;
    int last_percent_ = -1;
};

}  // namespace kestrum::cli
