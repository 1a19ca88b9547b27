#include "cli/progress.h"

#include <cmath>

namespace kestrum::cli {

std::string format_count(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
        out += digits[i];
    }
    return out;
}

std::string format_duration(double seconds) {
    if (!(seconds >= 0.0)) seconds = 0.0;
    const auto s = static_cast<std::uint64_t>(std::llround(seconds));
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) {
        const std::uint64_t m = s / 60, r = s % 60;
        return std::to_string(m) + " min" + (r != 0 ? " " + std::to_string(r) + " s" : "");
    }
    const std::uint64_t h = s / 3600, m = (s % 3600) / 60;
    return std::to_string(h) + " h" + (m != 0 ? " " + std::to_string(m) + " min" : "");
}

std::string time_left(double elapsed, std::int64_t done, std::int64_t total) {
    if (done <= 0 || !(elapsed >= 1.0)) return {};
    return "about " +
           format_duration(elapsed * static_cast<double>(total - done) / static_cast<double>(done)) +
           " left";
}

ProgressLine::ProgressLine(bool enabled, std::FILE* to, std::int64_t burn)
    : enabled_(enabled), to_(to), burn_(burn), start_(std::chrono::steady_clock::now()) {}

double ProgressLine::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressLine::show(const std::string& text, bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    std::string line = "\rkestrum: " + text;
    const std::size_t length = text.size();
    if (length < shown_length_) line.append(shown_length_ - length, ' ');
    shown_length_ = length;
    std::fputs(line.c_str(), to_);
    std::fflush(to_);
}

void ProgressLine::sampling(std::int64_t done, std::int64_t total) {
    if (!enabled_) return;
    const int pct = total > 0 ? static_cast<int>((100 * done) / total) : 100;
    if (done == total) {
        show("sampling 100% in " + format_duration(elapsed()) + "; summaries...", true);
        return;
    }
    const bool new_percent = pct != last_percent_;
    last_percent_ = pct;
    std::string text = "sampling " + std::string(pct < 10 ? "  " : pct < 100 ? " " : "") +
                       std::to_string(pct) + "% (";
    if (done <= burn_) {
        text += "burn-in " + format_count(static_cast<std::uint64_t>(done)) + "/" +
                format_count(static_cast<std::uint64_t>(burn_));
    } else {
        text += "kept " + format_count(static_cast<std::uint64_t>(done - burn_)) + "/" +
                format_count(static_cast<std::uint64_t>(total - burn_));
    }
    text += ")";
    const std::string left = time_left(elapsed(), done, total);
    if (!left.empty()) text += ", " + left;
    show(text, new_percent && done == 1);
}

void ProgressLine::writing(std::uint64_t done, std::uint64_t total) {
    if (!enabled_) return;
    const int pct = total > 0 ? static_cast<int>((100 * done) / total) : 100;
    show("writing " + std::string(pct < 10 ? "  " : pct < 100 ? " " : "") + std::to_string(pct) +
             "% (" + format_count(done) + "/" + format_count(total) + " rows)",
         done == 0);
}

void ProgressLine::finish(const std::string& text) {
    if (!enabled_) return;
    show(text, true);
    std::fputc('\n', to_);
    std::fflush(to_);
    shown_length_ = 0;
}

void ProgressLine::clear() {
    if (!enabled_ || shown_length_ == 0) return;
    std::string line = "\r" + std::string(shown_length_ + 9, ' ') + "\r";
    std::fputs(line.c_str(), to_);
    std::fflush(to_);
    shown_length_ = 0;
}

}  // namespace kestrum::cli
