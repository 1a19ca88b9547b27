// Writing the results to their destination without ever leaving a partial
// file behind.
//
// How a target is written depends on what it is:
//   - "" or "-" or "/dev/stdout": the caller's stream (standard output);
//   - "/dev/stderr", "/dev/fd/N", "/proc/self/fd/N" (Linux): the open file
//     descriptor itself, as the shell would (process substitution, 3>file);
//   - a symbolic link is followed to its final target, which is then
//     treated as below (the link itself stays a link);
//   - a regular file, or a name that does not exist yet: the results go to
//     a temporary file in the same folder, which replaces the target by a
//     rename only once everything is written, flushed and closed; an
//     existing file keeps its permission bits (and, where allowed, its
//     owner); a target that exists but is not writable is refused, as a
//     plain write would be; other hard links to the old file keep the old
//     contents; while the run lasts the temporary file (TARGET.tmpPID_N) is
//     there, and Ctrl-C or a failure removes it;
//   - anything else (a device such as /dev/null, a FIFO, a socket; on
//     Windows the reserved names NUL, CON, ...): written directly.
// Every failure to create, write, flush, close or rename gives a message
// naming the target and the system's reason; the temporary file is removed
// then, and an existing target is left as it was.  (The program ignores
// SIGPIPE and SIGXFSZ, so a vanished reader and a file size limit are such
// failures: EPIPE and EFBIG, "File too large".)
#pragma once

#include <cerrno>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace kestrum::cli {

// Removes the temporary files of the sinks now being written (the results
// and the diagnostics may be open at once), if any.  Safe to call from a
// signal handler (the program's second Ctrl-C).
void remove_pending_temporary();

// Whether path a and path b name the same existing file (after following
// links): the results must never replace their own input.
bool same_file(const std::string& a, const std::string& b);

// Whether two targets of OutputSink, as given, would write to the same
// place: both standard output ("", "-", "/dev/stdout"), or, after following
// links, the same existing regular file, FIFO or socket (device and inode:
// hard links and /dev/fd/N count), or the same name in the same folder when
// neither exists yet.  A device such as /dev/null may well take both.
bool same_destination(const std::string& a, const std::string& b);

class OutputSink {
public:
    OutputSink() = default;
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;
    ~OutputSink();  // abandons an uncommitted temporary file

    // Prepares target for writing; stdout_stream receives the results for
    // standard output.  Returns false with a message in error.
    bool open(const std::string& target, std::ostream& stdout_stream, std::string& error);

    // Buffered writes; false (with the message in error) after the first
    // failure, and every later call is a no-op that returns false.
    bool write(const char* data, std::size_t n, std::string& error);
    bool write(const std::string& s, std::string& error) { return write(s.data(), s.size(), error); }

    // Flushes, closes and (for a regular target) renames the temporary file
    // over the target.  Returns false with a message in error.
    bool commit(std::string& error);

    // Removes the temporary file (if any) and closes everything.
    void abandon();

    // What the messages call the destination: the target as given, or
    // "standard output".
    const std::string& display_name() const { return display_; }

    // Whether the last failure was the reader going away (EPIPE: a pipe or
    // FIFO closed at its other end, as by head).
    bool reader_gone() const { return failed_ && failure_errno_ == EPIPE; }

private:
    enum class Mode { none, stream, descriptor, replace };
    bool flush_buffer(std::string& error);
    bool fail(const std::string& what, int err, std::string& error);
    // Takes fd (from an open just made; -1 reports what with errno) as a
    // descriptor written in place.
    bool use_descriptor(int fd, const char* what, std::string& error);
    // Whether writes may go on: false (the first failure's message, or
    // "not open", in error) otherwise.
    bool writable(std::string& error) const;

    Mode mode_ = Mode::none;
    std::ostream* stream_ = nullptr;
    int fd_ = -1;
    bool owns_fd_ = false;
    std::string display_;
    std::string final_path_;  // the target after following symbolic links
    std::string temp_path_;   // the temporary file (replace mode)
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
    int failure_errno_ = 0;
    int pending_slot_ = -1;   // this sink's entry for remove_pending_temporary
    std::string failure_;
};

}  // namespace kestrum::cli
