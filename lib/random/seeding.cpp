#include "random/seeding.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "random/messages.h"

namespace kestrum::random {

void fill_table(Record& rec, double s) {
    const double base = rec.base;
    rec.xtab[0] = s;
    for (int i = 1; i < 43; ++i) rec.xtab[i] = std::fmod(rec.xtab[i - 1] * 30269.0, base);
}

void fill_table_mixed(Record& rec, std::uint64_t seed) {
    std::uint64_t counter = seed;
    bool any = false;
    for (double& word : rec.xtab) {
        std::uint64_t w;
        do {
            counter += 0x9E3779B97F4A7C15ULL;
            std::uint64_t z = counter;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            w = (z ^ (z >> 31)) >> 32;
        } while (static_cast<double>(w) >= rec.base);
        word = static_cast<double>(w);
        any = any || w != 0;
    }
    if (!any) rec.xtab[0] = 1.0;
    rec.carry = 0.0;
}

double seed_value(int32_t seed, double base) {
    double s = std::fmod(static_cast<double>(seed), base);
    if (s < 0.0) s = s + base;
    return s;
}

namespace {
bool digit(char c) { return c >= '0' && c <= '9'; }
int field(const char* t, int width) {
    int v = 0;
    for (int i = 0; i < width; ++i) v = v * 10 + (t[i] - '0');
    return v;
}
}  // namespace

bool parse_clock_record(const char* text, int& ss, int& mm, int& hh, int& ddd) {
    for (int i = 0; i < 9; ++i) {
        if (!digit(text[i])) return false;  // also stops at the terminator
    }
    for (const char* rest = text + 9; *rest != '\0'; ++rest) {
        if (*rest != '\n' && *rest != '\r') return false;
    }
    ss = field(text, 2);
    mm = field(text + 2, 2);
    hh = field(text + 4, 2);
    ddd = field(text + 6, 3);
    return ss <= 60 && mm <= 59 && hh <= 23 && ddd >= 1 && ddd <= 366;
}

double clock_seed_value(int ss, int mm, int hh, int ddd, double base) {
    const double t1 = std::trunc((static_cast<double>(ss) / 60.0) * base);
    const double t2 = std::trunc((static_cast<double>(mm) / 60.0) * base);
    const double t3 = std::trunc((static_cast<double>(hh) / 24.0) * base);
    const double t4 = std::trunc((static_cast<double>(ddd) / 365.0) * base);
    const double s = std::fmod(((t1 + t2) + t3) + t4, base);
    return s == 0.0 ? 1.0 : s;
}

SeedOutcome seed_table(Record& rec, int32_t seed, const ClockCommands& commands) {
    if (seed != 0) {
        fill_table(rec, seed_value(seed, rec.base));
        return SeedOutcome::seeded;
    }
    // 1. The first command writes the clock file.
    commands.write_clock_file();
    // 2. File numbers LFLNO = 80..999, one open attempt each.
    std::FILE* file = nullptr;
    for (int lflno = 80; lflno <= 999 && file == nullptr; ++lflno) {
        file = std::fopen(kClockFileName, "a+");
    }
    if (file == nullptr) {
        write_seed_file_number_message();
        return SeedOutcome::no_file_number;
    }
    // 3. One record, (3(I2),I3).
    std::rewind(file);
    char line[64];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    // 4. Close (keeping the file), then the second command removes it.
    std::fclose(file);
    commands.remove_clock_file();
    int ss = 0, mm = 0, hh = 0, ddd = 0;
    if (!read || !parse_clock_record(line, ss, mm, hh, ddd)) {
        write_seed_clock_record_message();
        return SeedOutcome::bad_clock_record;
    }
    // 5.-6. s from the four fields; then the table.
    fill_table(rec, clock_seed_value(ss, mm, hh, ddd, rec.base));
    return SeedOutcome::seeded;
}

void initialise(ProcessState& state, int32_t seed, const ClockCommands& commands) {
    if (state.initcount >= 1) {
        if (state.initcount == 1) {
            write_seed_second_call_message();
            state.initcount = 2;
        }
        return;
    }
    state.initcount = 1;
    seed_table(*state.stream.rec, seed, commands);
}

}  // namespace kestrum::random

extern "C" void zbqlini_(const int32_t* seed) {
    kestrum::random::initialise(kestrum::random::process_state(), *seed);
}
