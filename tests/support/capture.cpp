#include "support/capture.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace kestrum::test {

std::string capture_stdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    std::FILE* tmp = std::tmpfile();
    if (tmp == nullptr) throw std::runtime_error("tmpfile failed");
    const int saved = dup(1);
    dup2(fileno(tmp), 1);
    try {
        fn();
    } catch (...) {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::fclose(tmp);
        throw;
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    std::rewind(tmp);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
    std::fclose(tmp);
    return out;
}

}  // namespace kestrum::test
