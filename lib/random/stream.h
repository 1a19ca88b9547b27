// The uniform stream: a subtract-with-borrow generator with lags 22 and 43
// on the base B = 2^32 - 5, and the variates everything else is built on.
//
// Recurrence, in sequence terms:
//     word(n) = word(n-22) - word(n-43) - borrow(n-1)   (mod B)
// where borrow(n) is 1 exactly when the subtraction went below zero.  The
// 43 most recent words live in a lag table in a record laid out as the
// exported generator block (43 doubles, base, carry); all words are
// integers held in doubles, so the arithmetic is exact.  The positions that
// walk the table are kept beside the record.
//
// A Stream is a value: the process-wide stream binds the exported record,
// tests and extensions may run private ones.  Code that consumes variates
// is written against the four member functions below, so a test can hand it
// a scripted source with the same members instead.
#pragma once

#include <cstdint>
#include <cstring>

#include "kestrumr.h"
#include "random/ratio_bound.h"

namespace kestrum::random {

using Record = kestrumr_zbql0001;

// Writes the degenerate-table message (uniform.cpp).
void report_degenerate_table();

struct Stream {
    Record* rec;           // lag table, base and borrow
    int32_t ilag22 = 22;   // index of the word written 22 steps ago
    int32_t ilag43 = 43;   // index of the word written 43 steps ago
    int32_t icount = 1;    // countdown: wraps so that one check per step suffices
    int32_t nstat = -1;    // 1 while a saved normal deviate waits
    double nspare = 0.0;   // the saved deviate, unscaled

    // The gamma ratio-of-uniforms method (shapes 1..10) first works out
    // bounds that depend on the shape alone.  A row sweep draws the same
    // few shapes row after row, so the last few set-ups are kept: a value
    // computed again would have the same bits, so this saves time and
    // changes no result.  g = 0 marks an empty entry (the method never
    // sees it).
    struct RatioSetup {
        double g = 0.0;
        double a = 0.0;     // the shift
        double hmax = 0.0;  // bound of the first coordinate
        double vlo = 0.0;   // bounds of the second coordinate
        double span = 0.0;
        // Trials of this shape so far; from kCellsAfter on, the acceptance
        // test goes first to the cells' bounds (ratio_bound.h), which are
        // worked out once then (a few microseconds: not worth it for a
        // shape drawn a few times).
        int32_t trials = 0;
        bool cells_ready = false;
    };
    // Up to 7 groups of different sizes and the pooled shape.
    static constexpr int kRatioCache = 8;
    static constexpr int32_t kCellsAfter = 1024;
    RatioSetup ratio_cache[kRatioCache] = {};
    RatioCells ratio_cells[kRatioCache] = {};  // beside ratio_cache[i]
    int ratio_next = 0;  // entry to replace next

    // The same for the method of shapes above 10: its constants take a
    // square root and four divisions, which one draw's first trial waits
    // for.  g = 0 marks an empty entry.
    struct LargeSetup {
        double g = 0.0;
        double a1 = 0.0, b1 = 0.0, m1 = 0.0, d1 = 0.0, s = 0.0;
    };
    static constexpr int kLargeCache = 8;
    LargeSetup large_cache[kLargeCache] = {};
    int large_next = 0;

    explicit constexpr Stream(Record* r) : rec(r) {}

    // One step of the recurrence; returns the new word, in [0, B).  No
    // modulo: one comparison decides the borrow, and the positions move by
    // decrementing with at most one wrap applied per step.  The word is
    // x + B when x < 0 (borrow 1.0) and x otherwise (borrow +0.0); both are
    // computed and the bits of one are kept, without a branch: the borrow
    // is a coin toss no branch predictor can learn, and a mispredicted
    // branch costs more than the spare addition.
    double step() {
        double* const xt = rec->xtab;
        const double x = (xt[ilag22 - 1] - xt[ilag43 - 1]) - rec->carry;
        const double y = x + rec->base;
        uint64_t xb, yb;
        std::memcpy(&xb, &x, sizeof xb);
        std::memcpy(&yb, &y, sizeof yb);
        const uint64_t mask = 0 - static_cast<uint64_t>(x < 0.0);
        const uint64_t wb = (xb & ~mask) | (yb & mask);
        const uint64_t cb = mask & 0x3ff0000000000000u;  // 1.0 or +0.0
        double w, c;
        std::memcpy(&w, &wb, sizeof w);
        std::memcpy(&c, &cb, sizeof c);
        rec->carry = c;
        xt[ilag43 - 1] = w;
        // The three positions move together; the invariant
        // ilag43 = ilag22 + 21 and icount = ilag43 + 1 (mod 43, in 1..43)
        // means at most one of them reaches 0 per step, and when icount
        // does neither of the others can.
        --icount;
        --ilag22;
        --ilag43;
        if (icount == 0) {
            icount = 43;
        } else if (ilag22 == 0) {
            ilag22 = 43;
        } else if (ilag43 == 0) {
            ilag43 = 43;
        }
        return w;
    }

    // n steps of the recurrence, the new words to out[0..n): the record,
    // borrow and positions afterwards are those of n calls of step(), and
    // every word is computed by the same operations on the same operands.
    // Between two wraps of the positions the table slots move down by one
    // per step, and the 22 words of a stretch depend only on older words:
    // their differences and both possible borrow tests are worked out side
    // by side, the borrows follow by a look-ahead chain, and the words are
    // written without branches (uniform.cpp).  A step that wraps a position,
    // or one from a borrow a host wrote that is neither +0.0 nor 1.0, is
    // step() itself.  The table is written as the words are made, in its own
    // layout, so nothing is ever generated ahead of the stream.
    void steps(double* out, int32_t n);

    // n variates to out[0..n): the values, record, positions and degenerate
    // events of n calls of uniform(), with the words made by steps() in
    // blocks.  Never more words than the n uniforms take are made: each
    // uniform takes at least one word, so a block is at most as long as the
    // uniforms still owed.
    void uniforms(double* out, int32_t n);

    // The next variate on (0, 1).  Normally one step and x/B for a word x
    // in 1..B-1.  A zero word (x < 1/B) is never returned as 0: the
    // generator steps again and scales that word down by one more factor B
    // (zero words drawn earlier in the same call add nothing).  A word
    // whose scaled value is not in (0, 1) -- from a record a host wrote
    // with words, base or borrow that give none -- counts as a zero word
    // too.  At most kMaxZeroRun such words in a row are skipped (B^32 is the
    // last power of the standard base below the largest double); after
    // that the table is degenerate: degenerate() and the result
    // kDegenerateUniform.  This is the body of zbqlu01_; internal callers
    // use it directly.  It calls nothing, so that a caller's loop can keep
    // the positions in registers.
    static constexpr int32_t kMaxZeroRun = 31;
    static constexpr double kDegenerateUniform = 0.5;
    double uniform() {
        if (ahead_on) {
            if (ahead_pos < ahead_len) return ahead_buf[ahead_pos++];
            return ahead_refill();
        }
        const double base = rec->base;
        double divisor = base;
        double x = step();
        int32_t run = 0;
        while (x < 1.0 / base) {
            if (run == kMaxZeroRun) {
                degenerate();
                return kDegenerateUniform;
            }
            ++run;
            divisor = divisor * base;
            x = step();
        }
        const double r = x / divisor;
        if (__builtin_expect(r > 0.0 && r < 1.0, 1)) return r;
        return uniform_rest(run, divisor);
    }

    // uniform() after a word that is not below 1/B but gives no value in
    // (0, 1): run words skipped so far, divisor B^(run+1).
    double uniform_rest(int32_t run, double divisor) {
        const double base = rec->base;
        for (;;) {
            if (run == kMaxZeroRun) {
                degenerate();
                return kDegenerateUniform;
            }
            ++run;
            divisor = divisor * base;
            double r;
            if (word_variate(step(), base, divisor, &r)) return r;
        }
    }

    // The variate a word x gives with divisor B^(run+1) after run skipped
    // words: true, and *r = x / divisor, when x is not below 1/B and that
    // value lies in (0, 1); false when x counts as a zero word.  The test
    // of uniform_rest() and uniforms() (uniform() makes it in two steps).
    static bool word_variate(double x, double base, double divisor, double* r) {
        if (x < 1.0 / base) return false;
        *r = x / divisor;
        return *r > 0.0 && *r < 1.0;
    }

    // Degenerate record: no usable uniforms (a run of zero words past the
    // limit) or a rejection loop past its bound.  Counts the event in
    // faults (a caller compares the count before and after a draw) and
    // marks the message as pending; nothing is called here.
    // flush_report() writes the degenerate-table message for a pending
    // event unless it was written since the current exported call began
    // (fault_reported; process_stream() clears both flags).  It runs at the
    // end of normal(), gamma_core() and of every exported variate routine,
    // so each exported call that met a degenerate record writes the
    // message once.
    void degenerate() {
        faults = faults + 1u;
        report_pending = true;
    }
    void flush_report() {
        if (report_pending) {
            report_pending = false;
            if (!fault_reported) {
                fault_reported = true;
                report_degenerate_table();
            }
        }
    }
    uint32_t faults = 0;          // degenerate events, wrapping
    bool fault_reported = false;  // message written during this call
    bool report_pending = false;  // an event whose message is not written yet

    // Lookahead: the uniforms made in blocks.  While it is on, uniform()
    // serves the variates from a block that uniforms() made ahead of use,
    // so the record and positions stand up to kAhead uniforms beyond the
    // variates taken.  ahead_sync() puts them exactly where the variates
    // taken leave them: it goes back to the generator state from before the
    // block (kept in ahead_mark) and makes the taken uniforms again, the
    // same values by the same steps.  A block whose making met a degenerate
    // record (faults moved) is not used: the state from before it comes
    // back and lookahead goes off, so the event happens in the variate that
    // meets it, as without lookahead.  Only the engine turns it on (see
    // driver/engine.h), and it syncs wherever anything may look at the
    // record: before a checkpoint, at the end of every iteration and of
    // the run.  The normal routine's saved deviate and the gamma set-ups
    // are untouched by all this.
    static constexpr int32_t kAhead = 128;
    struct AheadMark {
        Record rec{};
        int32_t ilag22 = 22, ilag43 = 43, icount = 1;
    };
    bool ahead_on = false;
    int32_t ahead_pos = 0;  // uniforms of the block taken
    int32_t ahead_len = 0;  // uniforms in the block (0: no block)
    AheadMark ahead_mark{};
    double ahead_buf[kAhead] = {};

    void ahead_begin() {
        ahead_sync();
        ahead_on = true;
    }
    void ahead_end() {
        ahead_sync();
        ahead_on = false;
    }
    void ahead_sync();     // uniform.cpp
    double ahead_refill(); // uniform.cpp: a new block, its first variate

    // mu + sigma*z, z standard normal (Box-Muller, the sine deviate saved
    // unscaled for the next call).
    double normal(double mu, double sigma);

    // Gamma(g) / h with the parameter check of zbqlgam_: g or h not > 0
    // (that is <= 0 or NaN) writes the gamma message and returns 0.0
    // without drawing.  0.0 also after a degenerate record (faults moved).
    double gamma(double g, double h);

    // The ratio-of-uniforms set-up for shape g, cached (see RatioSetup).
    RatioSetup& ratio_setup(double g);
    // The set-up of the method for shapes above 10, cached likewise.
    const LargeSetup& large_setup(double g);

    // Gamma(g) / h without the parameter check.  Guards that keep a bad
    // shape from hanging the rejection loops (no uniform is drawn in
    // either case): a shape that is NaN or not > 0 returns NaN; g = +inf
    // returns +inf / h.  h is used as it comes (X / h in IEEE arithmetic).
    // Rejection loops past their bound (see gamma.cpp) also return NaN.
    double gamma_core(double g, double h) {
        const double x = gamma_draw(g, h);
        flush_report();
        return x;
    }
    double gamma_draw(double g, double h);  // the methods

    // degenerate(), then NaN: the result of a refused gamma draw.
    double refused();
};

// The record as the library is loaded: the built-in table, base B and
// borrow 0.
const Record& load_time_record();

// Everything of the unit that lives as long as the process: the stream bound
// to the exported record (with the positions and the normal routine's saved
// deviate) and zbqlini_'s call counter (0 never called, 1 seeded or seeding
// tried, 2 the second-call warning given).
struct ProcessState {
    Stream stream;
    int32_t initcount = 0;
};

// The one process-wide instance, constant-initialised at load time.
extern ProcessState process_state_instance;

inline ProcessState& process_state() { return process_state_instance; }

// The process-wide stream, bound to the exported record.  Every exported
// routine takes it here once, at entry, so this also starts a new call for
// the degenerate-table message (written at most once per call).
inline Stream& process_stream() {
    process_state_instance.stream.fault_reported = false;
    process_state_instance.stream.report_pending = false;
    return process_state_instance.stream;
}

}  // namespace kestrum::random
