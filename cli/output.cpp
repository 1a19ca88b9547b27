#include "cli/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cctype>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kestrum::cli {

namespace {

constexpr std::size_t kBufferSize = 1 << 16;

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

#if !defined(_WIN32)
// "/dev/fd/N" and the like: the descriptor number, or -1.
int descriptor_path(const std::string& p) {
    if (p == "/dev/stdout") return 1;
    if (p == "/dev/stderr") return 2;
    std::string digits;
    if (starts_with(p, "/dev/fd/")) {
        digits = p.substr(8);
    } else if (starts_with(p, "/proc/self/fd/")) {
        digits = p.substr(14);
    } else {
        return -1;
    }
    if (digits.empty() || digits.size() > 9) return -1;
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    return std::atoi(digits.c_str());
}
#endif

#if defined(_WIN32)
// The reserved device names of Windows (NUL, CON, COM1, ...), with or
// without a folder or an extension.
bool windows_device_name(const std::string& p) {
    std::size_t b = p.find_last_of("\\/:");
    std::string base = p.substr(b == std::string::npos ? 0 : b + 1);
    const std::size_t dot = base.find('.');
    if (dot != std::string::npos) base = base.substr(0, dot);
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "NUL" || base == "CON" || base == "PRN" || base == "AUX" || base == "CONOUT$")
        return true;
    return base.size() == 4 && (starts_with(base, "COM") || starts_with(base, "LPT")) &&
           base[3] >= '1' && base[3] <= '9';
}

// Whether a and b name one path once made absolute (case aside, as the
// file system compares names).
bool same_full_path(const std::string& a, const std::string& b) {
    char fa[_MAX_PATH], fb[_MAX_PATH];
    if (_fullpath(fa, a.c_str(), sizeof fa) == nullptr || _fullpath(fb, b.c_str(), sizeof fb) == nullptr)
        return false;
    return _stricmp(fa, fb) == 0;
}

int write_some(int fd, const char* p, std::size_t n) {
    const unsigned chunk = n > (1u << 30) ? (1u << 30) : static_cast<unsigned>(n);
    return _write(fd, p, chunk);
}
#else
// Follows symbolic links to the final name (which may not exist yet).  A
// link into /dev/fd or /proc is not followed further: those are the
// kernel's names of open descriptors, handled by descriptor_path.
std::string follow_links(const std::string& path) {
    std::string p = path;
    for (int depth = 0; depth < 40; ++depth) {
        if (descriptor_path(p) >= 0) return p;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
        const ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size() - 1);
        if (n < 0) return p;
        const std::string target(buf.data(), static_cast<std::size_t>(n));
        if (!target.empty() && target[0] == '/') {
            p = target;
        } else {
            const std::size_t slash = p.rfind('/');
            p = (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + target;
        }
    }
    return p;  // a loop: the open below reports it
}

ssize_t write_some(int fd, const char* p, std::size_t n) { return ::write(fd, p, n); }
#endif

int open_exclusive(const std::string& path) {
#if defined(_WIN32)
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
}

int close_fd(int fd) {
#if defined(_WIN32)
    return _close(fd);
#else
    return ::close(fd);
#endif
}

int process_id() {
#if defined(_WIN32)
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

// The temporary files being written, for remove_pending_temporary (fixed
// buffers: a signal handler can neither allocate nor lock).  One slot per
// sink open at once: the results and the diagnostics.
constexpr int kPendingSlots = 4;
char pending_temp[kPendingSlots][4096];
volatile std::sig_atomic_t pending_set[kPendingSlots] = {};

// Records path in a free slot; returns the slot, or -1 when none is free or
// the path does not fit (the file is then only removed on a normal exit).
int claim_pending(const std::string& path) {
    if (path.empty() || path.size() >= sizeof pending_temp[0]) return -1;
    for (int k = 0; k < kPendingSlots; ++k) {
        if (pending_set[k] != 0) continue;
        std::memcpy(pending_temp[k], path.c_str(), path.size() + 1);
        pending_set[k] = 1;
        return k;
    }
    return -1;
}

void release_pending(int& slot) {
    if (slot >= 0) pending_set[slot] = 0;
    slot = -1;
}

}  // namespace

void remove_pending_temporary() {
    for (int k = 0; k < kPendingSlots; ++k) {
        if (pending_set[k] == 0) continue;
#if defined(_WIN32)
        _unlink(pending_temp[k]);
#else
        ::unlink(pending_temp[k]);
#endif
        pending_set[k] = 0;
    }
}

bool same_file(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    return same_full_path(a, b);
#else
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

namespace {

bool standard_output_name(const std::string& t) {
    return t.empty() || t == "-" || t == "/dev/stdout";
}

#if !defined(_WIN32)
// Where a target writes: the file it names after following links, or the
// folder and name of a file not there yet.
struct Place {
    bool exists = false;
    struct stat st {};
    bool dir_known = false;
    struct stat dir {};
    std::string base;
};

Place locate(const std::string& target) {
    Place p;
    int fd = standard_output_name(target) ? 1 : descriptor_path(target);
    std::string path;
    if (fd < 0) {
        path = follow_links(target);
        fd = descriptor_path(path);
    }
    if (fd >= 0) {
        p.exists = ::fstat(fd, &p.st) == 0;
        return p;
    }
    if (::stat(path.c_str(), &p.st) == 0) {
        p.exists = true;
        return p;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    p.base = slash == std::string::npos ? path : path.substr(slash + 1);
    p.dir_known = ::stat(folder.c_str(), &p.dir) == 0;
    return p;
}
#endif

}  // namespace

bool same_destination(const std::string& a, const std::string& b) {
    if (standard_output_name(a) && standard_output_name(b)) return true;
#if defined(_WIN32)
    if (standard_output_name(a) || standard_output_name(b)) return false;
    return same_full_path(a, b) && !windows_device_name(a);
#else
    const Place pa = locate(a), pb = locate(b);
    if (pa.exists && pb.exists) {
        const mode_t m = pa.st.st_mode;
        return pa.st.st_dev == pb.st.st_dev && pa.st.st_ino == pb.st.st_ino &&
               (S_ISREG(m) || S_ISFIFO(m) || S_ISSOCK(m));
    }
    return !pa.exists && !pb.exists && pa.dir_known && pb.dir_known && pa.base == pb.base &&
           pa.dir.st_dev == pb.dir.st_dev && pa.dir.st_ino == pb.dir.st_ino;
#endif
}

OutputSink::~OutputSink() { abandon(); }

bool OutputSink::fail(const std::string& what, int err, std::string& error) {
    failed_ = true;
    failure_errno_ = err;
    failure_ = display_ + ": " + what + (err != 0 ? std::string(": ") + std::strerror(err) : "");
    error = failure_;
    abandon();
    return false;
}

bool OutputSink::use_descriptor(int fd, const char* what, std::string& error) {
    if (fd < 0) return fail(what, errno, error);
    fd_ = fd;
    owns_fd_ = true;
    mode_ = Mode::descriptor;
    return true;
}

bool OutputSink::open(const std::string& target, std::ostream& stdout_stream, std::string& error) {
    abandon();
    failed_ = false;
    failure_errno_ = 0;
    used_ = 0;
    buffer_.assign(kBufferSize, '\0');
    if (standard_output_name(target)) {
        display_ = "standard output";
        mode_ = Mode::stream;
        stream_ = &stdout_stream;
        return true;
    }
    display_ = target;
#if defined(_WIN32)
    final_path_ = target;
    if (target.back() == '/' || target.back() == '\\') return fail("cannot write", EISDIR, error);
    const bool device = windows_device_name(target);
    struct _stat64 st;
    const bool exists = !device && _stat64(target.c_str(), &st) == 0;
    if (device || (exists && (st.st_mode & _S_IFMT) != _S_IFREG)) {
        if (exists && (st.st_mode & _S_IFMT) == _S_IFDIR) return fail("cannot write", EISDIR, error);
        return use_descriptor(_open(target.c_str(), _O_WRONLY | _O_BINARY), "cannot open", error);
    }
    if (exists && _access(target.c_str(), 2) != 0) return fail("cannot write", errno, error);
#else
    const int fdnum = descriptor_path(target);
    if (fdnum >= 0) return use_descriptor(::fcntl(fdnum, F_DUPFD_CLOEXEC, 3), "cannot write", error);
    final_path_ = follow_links(target);
    if (descriptor_path(final_path_) >= 0) {
        // A link to one of the kernel's descriptor names.
        return use_descriptor(::open(final_path_.c_str(), O_WRONLY | O_CLOEXEC), "cannot open", error);
    }
    struct stat st;
    const bool exists = ::stat(final_path_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return fail("cannot open", errno, error);
    if (exists && S_ISDIR(st.st_mode)) return fail("cannot write", EISDIR, error);
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, FIFO or socket: written in place (opening a FIFO waits
        // for its reader, as a shell redirection does).
        return use_descriptor(::open(final_path_.c_str(), O_WRONLY | O_CLOEXEC), "cannot open", error);
    }
    if (exists && ::access(final_path_.c_str(), W_OK) != 0) return fail("cannot write", errno, error);
#endif
    // A regular file or a new one: a temporary file beside it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_path_ = final_path_ + ".tmp" + std::to_string(process_id()) + "_" + std::to_string(attempt);
        fd_ = open_exclusive(temp_path_);
        if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) {
        const int e = errno;
        temp_path_.clear();
        return fail("cannot create a temporary file beside it", e, error);
    }
    owns_fd_ = true;
    mode_ = Mode::replace;
    pending_slot_ = claim_pending(temp_path_);
#if !defined(_WIN32)
    if (exists) {
        // Keep the file's permission bits and, where allowed, its owner.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid())
            if (::fchown(fd_, st.st_uid, st.st_gid) != 0) { /* not allowed: ours it is */ }
        if (::fchmod(fd_, st.st_mode & 07777) != 0)
            return fail("cannot set the permissions of the temporary file", errno, error);
    }
#endif
    return true;
}

bool OutputSink::flush_buffer(std::string& error) {
    if (used_ == 0) return true;
    if (mode_ == Mode::stream) {
        errno = 0;
        stream_->write(buffer_.data(), static_cast<std::streamsize>(used_));
        used_ = 0;
        if (!*stream_) return fail("cannot write", errno, error);
        return true;
    }
    std::size_t done = 0;
    while (done < used_) {
        const auto n = write_some(fd_, buffer_.data() + done, used_ - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("cannot write", errno, error);
        }
        if (n == 0) return fail("cannot write", ENOSPC, error);
        done += static_cast<std::size_t>(n);
    }
    used_ = 0;
    return true;
}

bool OutputSink::writable(std::string& error) const {
    if (!failed_ && mode_ != Mode::none) return true;
    error = failed_ ? failure_ : display_ + ": not open";
    return false;
}

bool OutputSink::write(const char* data, std::size_t n, std::string& error) {
    if (!writable(error)) return false;
    while (n > 0) {
        const std::size_t room = buffer_.size() - used_;
        const std::size_t k = n < room ? n : room;
        std::memcpy(buffer_.data() + used_, data, k);
        used_ += k;
        data += k;
        n -= k;
        if (used_ == buffer_.size() && !flush_buffer(error)) return false;
    }
    return true;
}

bool OutputSink::commit(std::string& error) {
    if (!writable(error)) return false;
    if (!flush_buffer(error)) return false;
    if (mode_ == Mode::stream) {
        errno = 0;
        stream_->flush();
        if (!*stream_) return fail("cannot write", errno, error);
        mode_ = Mode::none;
        return true;
    }
    if (mode_ == Mode::replace) {
        // On disk before it replaces anything.
#if defined(_WIN32)
        if (_commit(fd_) != 0) return fail("cannot write", errno, error);
#else
        if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS)
            return fail("cannot write", errno, error);
#endif
    }
    const int fd = fd_;
    fd_ = -1;
    owns_fd_ = false;
    if (close_fd(fd) != 0) return fail("cannot write", errno, error);
    if (mode_ == Mode::replace) {
#if defined(_WIN32)
        if (!MoveFileExA(temp_path_.c_str(), final_path_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD code = GetLastError();
            return fail("cannot replace the file (Windows error " + std::to_string(code) + ")", 0,
                        error);
        }
#else
        if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0)
            return fail("cannot replace the file", errno, error);
#endif
        release_pending(pending_slot_);
        temp_path_.clear();
    }
    mode_ = Mode::none;
    return true;
}

void OutputSink::abandon() {
    if (owns_fd_ && fd_ >= 0) close_fd(fd_);
    fd_ = -1;
    owns_fd_ = false;
    if (!temp_path_.empty()) {
        release_pending(pending_slot_);
        std::remove(temp_path_.c_str());
        temp_path_.clear();
    }
    mode_ = Mode::none;
    used_ = 0;
}

}  // namespace kestrum::cli
