// zbqlini_ -- the seed path, the call counter and its messages,
// negative seeds, and the clock path (through the shell in a temporary
// directory, and with scripted commands for the failure paths).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "random/clock_commands.h"
#include "random/seeding.h"
#include "random_support.h"
#include "support/capture.h"

namespace kestrum::test {
namespace {

const char kSecondCallWarning[] =
    "\n"
    "\n"
    "     ****WARNING**** You have called routine ZBQLINI more than\n"
    "     once. I'm ignoring any subsequent calls.\n"
    "\n"
    "\n";

const char kFileNumberError[] =
    "\n"
    "\n"
    "     **** ERROR **** In routine ZBQLINI, I couldn't find an\n"
    "     available file number. To rectify the problem, decrease the value of\n"
    "     the parameter LFLNO at the start of this routine (in file randgen)\n"
    "     and recompile. Any number less than 100 should work.\n";

const char kClockRecordError[] =
    "\n"
    "\n"
    "     ****ERROR**** In routine ZBQLINI, the clock file zbql1234.tmp did\n"
    "     not hold the expected nine digits (seconds, minutes, hours, day of\n"
    "     the year). The generator's table is left unchanged.\n";

// The table that seeding from s must give.
void expect_table_from(const Record& rec, double s) {
    ASSERT_EQ(rec.xtab[0], s);
    for (int i = 1; i < 43; ++i) {
        const uint64_t want =
            (static_cast<uint64_t>(rec.xtab[i - 1]) * 30269u) % 4294967291u;
        ASSERT_EQ(rec.xtab[i], static_cast<double>(want)) << i;
    }
}

bool same_table(const Record& a, const Record& b) {
    return std::memcmp(a.xtab, b.xtab, sizeof a.xtab) == 0;
}

bool file_exists(const char* name) {
    struct stat st;
    return stat(name, &st) == 0;
}

// Runs the test body in a fresh temporary directory and returns to the old
// working directory afterwards.
class InTempDir {
public:
    InTempDir() {
        char* old = getcwd(nullptr, 0);
        old_ = old;
        std::free(old);
        char tmpl[] = "/tmp/kestrumr-seed-XXXXXX";
        const char* d = mkdtemp(tmpl);
        if (d == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = d;
        if (chdir(dir_.c_str()) != 0) throw std::runtime_error("chdir failed");
    }
    ~InTempDir() {
        if (chdir(old_.c_str()) != 0) std::perror("chdir back");
        std::remove((dir_ + "/zbql1234.tmp").c_str());  // a file or an empty directory
        rmdir(dir_.c_str());
    }

private:
    std::string old_;
    std::string dir_;
};

TEST(Seeding, CommandTextsAreExact) {
    EXPECT_STREQ(random::kClockCommand, " date +%S%M%H%j > zbql1234.tmp");
    EXPECT_EQ(std::strlen(random::kClockCommand), 30u);
    EXPECT_STREQ(random::kRemoveCommand, "rm zbql1234.tmp");
    EXPECT_STREQ(random::kClockFileName, "zbql1234.tmp");
}

// The exported routine's counter walks 0 -> 1 -> 2 -> 2 in one test, with
// the process-wide state saved before and restored after.
TEST(Seeding, ZbqliniSeedsOnceWarnsOnTheSecondCallAndIsSilentAfter) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    const double zero = 0.0;
    for (int i = 0; i < 5; ++i) zbqlu01_(&zero);  // positions and borrow move
    const random::Stream before = random::process_stream();
    const double carry = zbql0001_.carry;

    const int32_t seed = 12345;
    std::string out = capture_stdout([&] { zbqlini_(&seed); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(random::process_state().initcount, 1);
    expect_table_from(zbql0001_, 12345.0);
    EXPECT_EQ(zbql0001_.carry, carry);
    EXPECT_EQ(zbql0001_.base, kB);
    EXPECT_EQ(random::process_stream().ilag22, before.ilag22);
    EXPECT_EQ(random::process_stream().ilag43, before.ilag43);
    EXPECT_EQ(random::process_stream().icount, before.icount);
    const Record seeded = zbql0001_;

    const int32_t other = 777;
    out = capture_stdout([&] { zbqlini_(&other); });
    EXPECT_EQ(out, kSecondCallWarning);
    EXPECT_EQ(random::process_state().initcount, 2);
    EXPECT_TRUE(same_table(zbql0001_, seeded));

    out = capture_stdout([&] { zbqlini_(&other); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(random::process_state().initcount, 2);
    EXPECT_TRUE(same_table(zbql0001_, seeded));
    const int32_t clock = 0;
    out = capture_stdout([&] { zbqlini_(&clock); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(same_table(zbql0001_, seeded));
}

TEST(Seeding, NegativeSeedsAreMovedIntoTheBaseRange) {
    EXPECT_EQ(random::seed_value(-1, kB), kB - 1.0);
    EXPECT_EQ(random::seed_value(INT32_MIN, kB), kB - 2147483648.0);
    EXPECT_EQ(random::seed_value(INT32_MAX, kB), 2147483647.0);
    EXPECT_EQ(random::seed_value(5, kB), 5.0);

    for (const int32_t seed : {-1, -30269, INT32_MIN}) {
        PrivateStream p;
        ASSERT_EQ(random::seed_table(p.rec, seed), random::SeedOutcome::seeded);
        expect_table_from(p.rec, static_cast<double>(seed) + kB);
        for (int i = 0; i < 43; ++i) {
            ASSERT_GE(p.rec.xtab[i], 0.0);
            ASSERT_LT(p.rec.xtab[i], kB);
        }
        for (int i = 0; i < 100000; ++i) {
            const double u = p.s.uniform();
            ASSERT_GT(u, 0.0) << seed;
            ASSERT_LT(u, 1.0) << seed;
        }
    }
}

TEST(Seeding, NegativeSeedThroughZbqlini) {
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    const int32_t seed = -42;
    const std::string out = capture_stdout([&] { zbqlini_(&seed); });
    EXPECT_EQ(out, "");
    expect_table_from(zbql0001_, kB - 42.0);
}

TEST(Seeding, ClockRecordLayout) {
    int ss, mm, hh, ddd;
    ASSERT_TRUE(random::parse_clock_record("300415123\n", ss, mm, hh, ddd));
    EXPECT_EQ(ss, 30);
    EXPECT_EQ(mm, 4);
    EXPECT_EQ(hh, 15);
    EXPECT_EQ(ddd, 123);
    EXPECT_TRUE(random::parse_clock_record("000000001", ss, mm, hh, ddd));
    EXPECT_TRUE(random::parse_clock_record("605923366\r\n", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record("", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record("\n", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record("12345678\n", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record("1234567890\n", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record(" 12345678\n", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record("123456789 \n", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record("1234a6789\n", ss, mm, hh, ddd));
    EXPECT_FALSE(random::parse_clock_record("610000001\n", ss, mm, hh, ddd));  // SS 61
    EXPECT_FALSE(random::parse_clock_record("006000001\n", ss, mm, hh, ddd));  // MM 60
    EXPECT_FALSE(random::parse_clock_record("000024001\n", ss, mm, hh, ddd));  // HH 24
    EXPECT_FALSE(random::parse_clock_record("000000000\n", ss, mm, hh, ddd));  // DDD 0
    EXPECT_FALSE(random::parse_clock_record("000000367\n", ss, mm, hh, ddd));  // DDD 367
    EXPECT_FALSE(random::parse_clock_record("date: not found\n", ss, mm, hh, ddd));
}

TEST(Seeding, ClockSeedValue) {
    // T1..T4 formed in double precision, truncated, summed, reduced.
    const double t1 = std::trunc((30.0 / 60.0) * kB);
    const double t2 = std::trunc((4.0 / 60.0) * kB);
    const double t3 = std::trunc((15.0 / 24.0) * kB);
    const double t4 = std::trunc((123.0 / 365.0) * kB);
    EXPECT_EQ(random::clock_seed_value(30, 4, 15, 123, kB), std::fmod(t1 + t2 + t3 + t4, kB));
    // The readings whose remainder is 0 would give an all-zero table.
    EXPECT_EQ(random::clock_seed_value(0, 0, 0, 365, kB), 1.0);
    EXPECT_EQ(random::clock_seed_value(60, 0, 0, 365, kB), 1.0);
    EXPECT_NE(random::clock_seed_value(1, 0, 0, 365, kB), 0.0);
}

// --- scripted clock commands ---------------------------------------------

std::string g_log;            // W = first command, R = second command
std::string g_record;         // what the first command writes
bool g_file_at_remove = false;

void write_record() {
    g_log += 'W';
    if (std::FILE* f = std::fopen("zbql1234.tmp", "w")) {
        std::fputs(g_record.c_str(), f);
        std::fclose(f);
    }
}
void write_nothing() { g_log += 'W'; }
void make_directory() {
    g_log += 'W';
    mkdir("zbql1234.tmp", 0700);
}
void remove_file() {
    g_log += 'R';
    g_file_at_remove = file_exists("zbql1234.tmp");
    std::remove("zbql1234.tmp");
}

TEST(Seeding, ScriptedClockRecordSeedsInTheOrderOfTheSteps) {
    InTempDir dir;
    g_log.clear();
    g_record = "300415123\n";
    const random::ClockCommands cmds{write_record, remove_file};
    PrivateStream p;
    std::string out = capture_stdout([&] {
        EXPECT_EQ(random::seed_table(p.rec, 0, cmds), random::SeedOutcome::seeded);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(g_log, "WR");
    EXPECT_TRUE(g_file_at_remove);
    EXPECT_FALSE(file_exists("zbql1234.tmp"));
    expect_table_from(p.rec, random::clock_seed_value(30, 4, 15, 123, kB));
}

TEST(Seeding, BadClockRecordIsReportedAndLeavesTheTable) {
    for (const char* record : {"12345678\n", "", "abcdefghi\n", "999999999\n"}) {
        InTempDir dir;
        g_log.clear();
        g_record = record;
        const random::ClockCommands cmds{write_record, remove_file};
        PrivateStream p;
        const Record before = p.rec;
        std::string out = capture_stdout([&] {
            EXPECT_EQ(random::seed_table(p.rec, 0, cmds), random::SeedOutcome::bad_clock_record);
        });
        EXPECT_EQ(out, kClockRecordError) << record;
        EXPECT_TRUE(same_table(p.rec, before));
        EXPECT_EQ(g_log, "WR");  // closed and removed all the same
        EXPECT_FALSE(file_exists("zbql1234.tmp"));
    }
}

TEST(Seeding, MissingClockFileIsCreatedByTheOpenAndReportedAsBad) {
    InTempDir dir;
    g_log.clear();
    const random::ClockCommands cmds{write_nothing, remove_file};
    PrivateStream p;
    const Record before = p.rec;
    std::string out = capture_stdout([&] {
        EXPECT_EQ(random::seed_table(p.rec, 0, cmds), random::SeedOutcome::bad_clock_record);
    });
    EXPECT_EQ(out, kClockRecordError);
    EXPECT_TRUE(g_file_at_remove);  // the open created it
    EXPECT_TRUE(same_table(p.rec, before));
}

TEST(Seeding, NoFileNumberWhenEveryOpenFails) {
    InTempDir dir;
    g_log.clear();
    // A directory where the file should be: every fopen(..., "a+") fails.
    const random::ClockCommands cmds{make_directory, remove_file};
    PrivateStream p;
    const Record before = p.rec;
    std::string out = capture_stdout([&] {
        EXPECT_EQ(random::seed_table(p.rec, 0, cmds), random::SeedOutcome::no_file_number);
    });
    EXPECT_EQ(out, kFileNumberError);
    EXPECT_EQ(g_log, "W");  // returns before the second command
    EXPECT_TRUE(same_table(p.rec, before));
    rmdir("zbql1234.tmp");
}

TEST(Seeding, FailedClockSeedingStillCountsAsTheFirstCall) {
    InTempDir dir;
    g_log.clear();
    g_record = "bad\n";
    const random::ClockCommands cmds{write_record, remove_file};
    PrivateStream p;
    random::ProcessState state{p.s, 0};
    const Record before = p.rec;
    std::string out = capture_stdout([&] { random::initialise(state, 0, cmds); });
    EXPECT_EQ(out, kClockRecordError);
    EXPECT_EQ(state.initcount, 1);
    out = capture_stdout([&] { random::initialise(state, 5, cmds); });
    EXPECT_EQ(out, kSecondCallWarning);
    EXPECT_EQ(state.initcount, 2);
    EXPECT_TRUE(same_table(p.rec, before));
}

// --- the real clock path -------------------------------------------------

// The seeds that the clock could have given between two instants.
std::set<double> clock_seeds_between(std::time_t t0, std::time_t t1) {
    std::set<double> seeds;
    for (std::time_t t = t0; t <= t1; ++t) {
        const std::tm* tm = std::localtime(&t);
        seeds.insert(random::clock_seed_value(tm->tm_sec, tm->tm_min, tm->tm_hour,
                                              tm->tm_yday + 1, kB));
    }
    return seeds;
}

TEST(Seeding, ClockPathThroughTheShellInATemporaryDirectory) {
    InTempDir dir;
    PrivateStream p;
    const Record before = p.rec;
    const std::time_t t0 = std::time(nullptr);
    std::string out = capture_stdout([&] {
        EXPECT_EQ(random::seed_table(p.rec, 0), random::SeedOutcome::seeded);
    });
    const std::time_t t1 = std::time(nullptr);
    EXPECT_EQ(out, "");
    EXPECT_FALSE(same_table(p.rec, before));
    EXPECT_FALSE(file_exists("zbql1234.tmp"));
    EXPECT_EQ(clock_seeds_between(t0, t1).count(p.rec.xtab[0]), 1u);
    expect_table_from(p.rec, p.rec.xtab[0]);
}

TEST(Seeding, ZbqliniClockPathThroughTheExportedRoutine) {
    InTempDir dir;
    ProcessStateGuard guard;
    ProcessStateGuard::reset_to_load_time();
    const Record before = zbql0001_;
    const int32_t seed = 0;
    const std::time_t t0 = std::time(nullptr);
    std::string out = capture_stdout([&] { zbqlini_(&seed); });
    const std::time_t t1 = std::time(nullptr);
    EXPECT_EQ(out, "");
    EXPECT_EQ(random::process_state().initcount, 1);
    EXPECT_FALSE(same_table(zbql0001_, before));
    EXPECT_FALSE(file_exists("zbql1234.tmp"));
    EXPECT_EQ(clock_seeds_between(t0, t1).count(zbql0001_.xtab[0]), 1u);
    expect_table_from(zbql0001_, zbql0001_.xtab[0]);
    // The stream from a clock seed stays in (0, 1).
    const double zero = 0.0;
    for (int i = 0; i < 10000; ++i) {
        const double u = zbqlu01_(&zero);
        ASSERT_GT(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

}  // namespace
}  // namespace kestrum::test
