// Capture of what a piece of code writes to the process's standard output.
#pragma once

#include <functional>
#include <string>

namespace kestrum::test {

// Runs fn with file descriptor 1 redirected to a temporary file and returns
// everything written there (C stdio is flushed before and after).
std::string capture_stdout(const std::function<void()>& fn);

}  // namespace kestrum::test
