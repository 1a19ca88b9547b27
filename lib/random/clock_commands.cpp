#include "random/clock_commands.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace kestrum::random {

namespace {

#ifdef _WIN32

// " date +%S%M%H%j > zbql1234.tmp", in code.
void write_clock_file() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    char record[16];
    if (local == nullptr || std::strftime(record, sizeof record, "%S%M%H%j", local) == 0) {
        record[0] = '\0';  // leaves an empty file: reported as a bad record
    }
    if (std::FILE* f = std::fopen(kClockFileName, "w")) {
        std::fputs(record, f);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

// "rm zbql1234.tmp", in code.
void remove_clock_file() { std::remove(kClockFileName); }

#else

void run(const char* command) {
    // The status is not examined (by design); it is kept
    // in a variable only because the C library asks callers to use it.
    const int status = std::system(command);
    (void)status;
}

void write_clock_file() { run(kClockCommand); }
void remove_clock_file() { run(kRemoveCommand); }

#endif

const ClockCommands kPlatform{write_clock_file, remove_clock_file};

}  // namespace

const ClockCommands& platform_clock_commands() { return kPlatform; }

}  // namespace kestrum::random
