// Helpers of the front end's tests: a private scratch folder, files, and
// running the front end in-process.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "random/stream.h"
#include "cli/cli.h"

namespace cli_test {

// Saves the process-wide generator on construction and puts it back on
// destruction, so each in-process run starts from the same state.
struct GeneratorGuard {
    kestrum::random::Record rec;
    kestrum::random::Stream pos;
    GeneratorGuard()
        : rec(*kestrum::random::process_stream().rec), pos(kestrum::random::process_stream()) {}
    void restore() {
        *kestrum::random::process_stream().rec = rec;
        kestrum::random::process_stream() = pos;
    }
    ~GeneratorGuard() { restore(); }
};

inline std::string make_scratch() {
#if defined(_WIN32)
    std::string d = ::testing::TempDir() + "kestrum_cli_" + std::to_string(_getpid());
    _mkdir(d.c_str());
    return d + "\\";
#else
    std::string tmpl = ::testing::TempDir() + "kestrum_cli_XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const char* d = ::mkdtemp(name.data());
    return std::string(d != nullptr ? d : ::testing::TempDir().c_str()) + "/";
#endif
}

inline std::string*& scratch_to_remove() {
    static std::string* path = nullptr;
    return path;
}

inline void remove_scratch() {
    std::error_code ec;
    if (scratch_to_remove() != nullptr) std::filesystem::remove_all(*scratch_to_remove(), ec);
}

// A folder of this process alone (several builds may run the suite at
// once), made on first use and removed with everything in it at exit;
// every test file lives in it.
inline const std::string& scratch_dir() {
    static const std::string dir = [] {
        const std::string d = make_scratch();
        scratch_to_remove() = new std::string(d);
        std::atexit(remove_scratch);
        return d;
    }();
    return dir;
}

inline std::string temp_path(const std::string& name) { return scratch_dir() + name; }

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool exists(const std::string& path) { return std::ifstream(path).good(); }

struct Result {
    int status;
    std::string out, err;
};

inline Result run_cli(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"kestrum"};
    for (const auto& s : args) argv.push_back(s.c_str());
    std::ostringstream out, err;
    const int status = kestrum::cli::run(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

inline std::vector<std::vector<std::string>> parse_tsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::size_t start = 0;
        for (;;) {
            const std::size_t at = line.find('\t', start);
            cells.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
            if (at == std::string::npos) break;
            start = at + 1;
        }
        rows.push_back(cells);
    }
    return rows;
}

const std::string kExample = std::string(KESTRUM_SOURCE_DIR) + "/examples/example.tsv";

}  // namespace cli_test
