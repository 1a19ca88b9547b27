// zbqlu01_ and zbqluab_: the exported uniform routines.
#include "random/messages.h"
#include "random/stream.h"
#include "random/variates.h"

namespace kestrum::random {

void report_degenerate_table() { write_degenerate_table_message(); }

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

double zbqlu01_(const double* /*dummy: never read*/) {
    kestrum::random::Stream& s = process_stream();
    const double u = s.uniform();
    s.flush_report();
    return u;
}

double zbqluab_(const double* lower, const double* upper) {
    kestrum::random::Stream& s = process_stream();
    const double v = kestrum::random::uniform_between(s, *lower, *upper);
    s.flush_report();
    return v;
}

}  // extern "C"
