// Helpers of the random-variate tests: private streams, the load-time
// state, a guard that restores the process-wide state, step counting by
// replay, and a watchdog against hangs.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "kestrumr.h"
#include "random/stream.h"

namespace kestrum::test {

using random::Record;
using random::Stream;

inline constexpr double kB = 4294967291.0;

// The record's load-time contents, typed in from the documented table.
inline Record load_time_record() {
    Record r = {{80014410.0,  553218010.0, 169570999.0, 288589940.0, 291581871.0,
                 103842493.0, 79952507.0,  381202335.0, 311575334.0, 402878631.0,
                 249757109.0, 115192595.0, 210629619.0, 399952890.0, 412280521.0,
                 133873288.0, 71345525.0,  223467704.0, 282934796.0, 99756750.0,
                 168564303.0, 286817366.0, 114310713.0, 347045253.0, 93762426.0,
                 109670477.0, 320029657.0, 326369301.0, 9441177.0,   353244738.0,
                 244771580.0, 159804337.0, 207319904.0, 337342907.0, 375423178.0,
                 70893571.0,  426059785.0, 395854390.0, 20081010.0,  59250059.0,
                 162176640.0, 320429173.0, 263576576.0},
                4294967291.0,
                0.0};
    return r;
}

// A stream with a record of its own.  Copies get their own record too (the
// copy's stream points at the copy's record), so a copy replays exactly.
struct PrivateStream {
    Record rec;
    Stream s;

    PrivateStream() : rec(load_time_record()), s(&rec) {}
    explicit PrivateStream(const Record& r) : rec(r), s(&rec) {}
    PrivateStream(const PrivateStream& o) : rec(o.rec), s(o.s) { s.rec = &rec; }
    PrivateStream& operator=(const PrivateStream& o) {
        rec = o.rec;
        s = o.s;
        s.rec = &rec;
        return *this;
    }

    bool same_state(const PrivateStream& o) const {
        return std::memcmp(&rec, &o.rec, sizeof rec) == 0 && s.ilag22 == o.s.ilag22 &&
               s.ilag43 == o.s.ilag43 && s.icount == o.s.icount;
    }
};

// The number of generator steps that lead from `before` to `after` (the
// table, borrow and positions; not the normal routine's pair), or -1 when
// none up to `limit` does.  A uniform is one step unless it met a zero word.
inline long steps_between(const PrivateStream& before, const PrivateStream& after,
                          long limit = 100000) {
    PrivateStream p(before);
    for (long n = 0; n <= limit; ++n) {
        if (p.same_state(after)) return n;
        p.s.step();
    }
    return -1;
}

// Saves the whole process-wide state of the unit (record, positions, normal
// pair, seeding counter) and puts it back on destruction, so tests that use
// the exported routines do not depend on the order they run in.
class ProcessStateGuard {
public:
    ProcessStateGuard() : rec_(zbql0001_), state_(random::process_state()) {}
    ~ProcessStateGuard() {
        zbql0001_ = rec_;
        random::process_state() = state_;
        random::process_state().stream.rec = &zbql0001_;
    }
    ProcessStateGuard(const ProcessStateGuard&) = delete;
    ProcessStateGuard& operator=(const ProcessStateGuard&) = delete;

    // The state a process has at load time.
    static void reset_to_load_time() {
        zbql0001_ = load_time_record();
        random::ProcessState& st = random::process_state();
        st.stream = Stream(&zbql0001_);
        st.initcount = 0;
    }

    // A snapshot of the process-wide generator as a private stream.
    static PrivateStream snapshot() {
        PrivateStream p(zbql0001_);
        p.s = random::process_stream();
        p.s.rec = &p.rec;
        return p;
    }

private:
    Record rec_;
    random::ProcessState state_;
};

// Ends the process with SIGALRM if the scope is not left within `seconds`:
// a call that hangs fails the test instead of stalling the run.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
};

// x^k mod B for the seeding checks, in exact integer arithmetic (x < 2^32:
// every product stays below 2^64).
inline uint64_t pow_mod_b(uint64_t x, int k) {
    const uint64_t b = 4294967291ULL;
    uint64_t r = 1;
    for (int i = 0; i < k; ++i) r = (r * x) % b;
    return r;
}

}  // namespace kestrum::test
