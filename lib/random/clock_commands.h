// The platform layer of zbqlini_'s clock path: the two commands that write
// and remove the clock file.
//
// The command texts are fixed:
//     first:  " date +%S%M%H%j > zbql1234.tmp"   (30 characters, one leading blank)
//     second: "rm zbql1234.tmp"
// On Linux (any platform but Windows) both run through the system's shell
// with std::system; their exit statuses are not examined.
//
// Under _WIN32 (the DLL, cross-built with mingw-w64) no command is run: the
// Windows command processor's own `date` would prompt for input.  The two
// commands' effects are carried out in code instead: the first writes the
// nine-digit clock record SSMMHHDDD (seconds, minutes, hours, day of the year
// 001-366, strftime's %S%M%H%j on the local time) and a newline to
// "zbql1234.tmp" in the current directory; the second removes that file.
//
// The seeding code takes the commands through ClockCommands, so a test can
// put its own in their place (a file with a bad record, a directory where
// the file should be, ...).
#pragma once

namespace kestrum::random {

inline constexpr char kClockFileName[] = "zbql1234.tmp";
inline constexpr char kClockCommand[] = " date +%S%M%H%j > zbql1234.tmp";
inline constexpr char kRemoveCommand[] = "rm zbql1234.tmp";

struct ClockCommands {
    void (*write_clock_file)();   // the first command
    void (*remove_clock_file)();  // the second command
};

// The platform's pair, as described above.
const ClockCommands& platform_clock_commands();

}  // namespace kestrum::random
