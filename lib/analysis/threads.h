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

// The sink a run's threads install: every message, a line or a whole one,
// goes under the run's lock (run.lock) to the calling thread's sink
// (run.sink) by relay_to.
template <class Run>
MessageSink relaying_sink(Run& run) {
    return MessageSink{[](void* context, const char* text) {
                           Run& r = *static_cast<Run*>(context);
                           Hold hold(r.lock);
                           relay_to(r.sink, &text, 1);
                       },
                       &run,
                       [](void* context, const char* const* lines, std::size_t n) {
                           Run& r = *static_cast<Run*>(context);
                           Hold hold(r.lock);
                           relay_to(r.sink, lines, n);
                       }};
}

}  // namespace kestrum::analysis
