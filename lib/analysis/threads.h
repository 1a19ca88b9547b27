// Threads of the analysis: std::thread where the C++ library has it.  A
// toolchain built without threads (such as mingw's win32 thread model) has
// KESTRUM_ANALYSIS_THREADS 0: the chains and the null analyses then run one
// after the other on the calling thread, with the same bits either way.
#pragma once

#include <cstddef>  // the C++ library's configuration (__GLIBCXX__ and its thread model)

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

}  // namespace kestrum::analysis
