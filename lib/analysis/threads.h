// Threads of the analysis: std::thread where the C++ library has it.  A
// toolchain built without threads (such as mingw's win32 thread model) has
// KESTRUM_ANALYSIS_THREADS 0: the chains and the null analyses then run one
// after the other on the calling thread, with the same bits either way.
#pragma once

#include <cstddef>  // the C++ library's configuration (__GLIBCXX__ and its thread model)

#include "random/messages.h"

#if !defined(__GLIBCXX__) || defined(_GLIBCXX_HAS_GTHREADS)
#include <chrono>
#include <mutex>
#include <thread>
#define KESTRUM_ANALYSIS_THREADS 1
#else
#define KESTRUM_ANALYSIS_THREADS 0
#endif

namespace kestrum::analysis {

// The lock of what the threads share, and its scoped hold.
#if KESTRUM_ANALYSIS_THREADS
using Lock = std::mutex;
using Hold = std::lock_guard<std::mutex>;
#else
struct Lock {};  // one thread: nothing to exclude
struct Hold {
    explicit Hold(Lock&) {}
};
#endif

// Hands lines (n of them) written on a thread of a run to the sink of the
// run's calling thread, as one message where the sink takes whole
// messages; the caller holds the run's lock, so no other thread's lines
// come between them.  No sink: C stdout, as on the calling thread.
inline void relay_to(const MessageSink& sink, const char* const* lines, std::size_t n) {
    if (sink.lines != nullptr) {
        sink.lines(sink.context, lines, n);
    } else if (sink.line != nullptr) {
        for (std::size_t i = 0; i < n; ++i) sink.line(sink.context, lines[i]);
    } else {
        ScopedMessageSink standard_output(MessageSink{});  // the default: C stdout
        for (std::size_t i = 0; i < n; ++i) write_message({lines[i]});
    }
}

}  // namespace kestrum::analysis
