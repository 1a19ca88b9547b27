// zbqlu01_ and zbqluab_: the exported uniform routines.
#include "random/messages.h"
#include "random/stream.h"
#include "random/variates.h"

namespace kestrum::random {

double Stream::uniform_slow(double x) {
    const double base = rec->base;
    double divisor = base;
    for (int32_t run = 0;; ++run) {
        // The test of the fast path, with the divisor of this run: for a
        // sane record a run of k zero words gives x/B^(k+1), as always.
        const double r = x / divisor;
        if (r > 0.0 && r < 1.0) return r;
        if (run == kMaxZeroRun) break;
        divisor = divisor * base;
        x = step();
    }
    degenerate();
    return kDegenerateUniform;
}

void Stream::degenerate() {
    faults = faults + 1u;
    if (!fault_reported) {
        fault_reported = true;
        write_degenerate_table_message();
    }
}

double uniform_between(Stream& s, double lower, double upper) {
    // Equal limits: warning, the lower limit, nothing drawn.  A comparison
    // with NaN counts as not equal and goes on to the draw.
    if (lower == upper) {
        write_uniform_limits_message();
        return lower;
    }
    const double u = s.uniform();
    return lower + u * (upper - lower);
}

}  // namespace kestrum::random

using kestrum::random::process_stream;

extern "C" {

double zbqlu01_(const double* /*dummy: never read*/) { return process_stream().uniform(); }

double zbqluab_(const double* lower, const double* upper) {
    return kestrum::random::uniform_between(process_stream(), *lower, *upper);
}

}  // extern "C"
