// zbqlini_: seeding the generator's table, once per process.
//
// The table is filled from one number s in [1, B):
//     xtab(1) = s,  xtab(i) = fmod(xtab(i-1) * 30269, B)   for i = 2..43,
// exact in doubles (products below 2^47).  Seeding replaces the 43 words
// only: carry, the positions and the normal routine's saved deviate keep
// whatever values they had.
//
// s comes from the seed, or from the clock when the seed is 0:
//   - seed != 0: s = fmod(seed, B), the truncated remainder; a negative
//     remainder (a negative seed) is moved into [0, B) by adding B once, so
//     s = seed + B.  (Without that the table would hold negative words and
//     the stream could leave (0, 1).)
//   - seed == 0: the first clock command writes "zbql1234.tmp" in the current
//     directory; the file is opened under the "file numbers" 80..999, one
//     fopen(name, "a+") attempt per number (an existing file is used, a
//     missing one created; a failed open is fopen returning NULL); the first
//     line is read as the record (3(I2),I3); the file is closed, keeping it;
//     then the second command removes it.  With SS, MM, HH, DDD:
//         T1 = trunc((SS/60)*B), T2 = trunc((MM/60)*B),
//         T3 = trunc((HH/24)*B), T4 = trunc((DDD/365)*B),
//         s  = fmod(((T1 + T2) + T3) + T4, B).
//     The record must be exactly nine decimal digits at the start of the
//     first line (followed by nothing but the line end), with SS 00-60,
//     MM 00-59, HH 00-23 and DDD 001-366.  When it cannot be read or does
//     not hold that, the clock-record message is written after the file has
//     been closed and removed, and the table is left unchanged.  When all
//     920 opens fail, the file-number message is written, nothing is
//     removed and the table is left unchanged.
//   - The one clock reading whose s is 0 (00:00:00, SS 00 or 60, on day 365)
//     would fill the table with zeros, from which the generator could never
//     step to a nonzero word: zbqlu01_ would loop for ever.  s = 1 is used
//     in its place.
#pragma once

#include <cstdint>

#include "random/clock_commands.h"
#include "random/stream.h"

namespace kestrum::random {

enum class SeedOutcome {
    seeded,            // the table was filled
    no_file_number,    // all 920 opens failed; message written
    bad_clock_record,  // the clock file held no valid record; message written
};

// The table from s (in [1, B)), as above.
void fill_table(Record& rec, double s);

// s for a nonzero seed, as above.
double seed_value(int32_t seed, double base);

// The table from all 64 bits of a seed, for the streams of host sessions
// and of additional chains (zbqlini_ never uses it): 43 words in [0, B)
// from the high halves of a 64-bit mixing function (an additive counter
// through two xor-shift-multiply rounds; a half of B or more, 5 values in
// 2^32, is skipped), borrow 0.  A table of zeros with borrow 0 is the one
// state the recurrence never leaves; it cannot come out in practice, but
// should it, the first word becomes 1.
void fill_table_mixed(Record& rec, std::uint64_t seed);

// Reads the nine-digit record at the start of text; false if it is not one.
bool parse_clock_record(const char* text, int& ss, int& mm, int& hh, int& ddd);

// s from a clock record, as above (0 replaced by 1).
double clock_seed_value(int ss, int mm, int hh, int ddd, double base);

// Steps 3-6 of zbqlini_, without the call counter.
SeedOutcome seed_table(Record& rec, int32_t seed,
                       const ClockCommands& commands = platform_clock_commands());

// The whole of zbqlini_ on a process state: the counter (0 -> 1 -> 2), the
// second-call warning, the silent later calls, then seed_table on the
// state's record.
void initialise(ProcessState& state, int32_t seed,
                const ClockCommands& commands = platform_clock_commands());

}  // namespace kestrum::random
