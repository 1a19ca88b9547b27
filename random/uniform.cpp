// zbqlu01_ and zbqluab_: the exported uniform routines.
#include "random/messages.h"
#include "random/stream.h"
#include "random/variates.h"

namespace kestrum::random {

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
