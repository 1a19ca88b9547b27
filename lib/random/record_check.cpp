#include "random/record_check.h"

#include <cmath>

#include "common/pmath.h"
#include "random/variates.h"

namespace kestrum::random {

namespace {

// A private copy of a stream with a record of its own; its degenerate
// events are counted but never written (the message counts as written).
struct Copy {
    Record rec;
    Stream s;
    explicit Copy(const Stream& from) : rec(*from.rec), s(from) {
        s.rec = &rec;
        s.faults = 0;
        s.fault_reported = true;
        s.report_pending = false;
    }
};

using Method = void (*)(Stream&);

const Method kMethods[] = {
    [](Stream& s) { (void)s.uniform(); },
    [](Stream& s) { (void)s.gamma_core(0.5, 1.0); },
    [](Stream& s) { (void)s.gamma_core(3.0, 1.0); },
    [](Stream& s) { (void)s.gamma_core(20.0, 1.0); },
    [](Stream& s) { (void)beta(s, 0.5, 0.5); },
    [](Stream& s) { (void)geometric(s, 0.95); },
    [](Stream& s) { (void)binomial(s, 20, 0.5); },
    [](Stream& s) { (void)binomial(s, 1000, 0.3); },
    [](Stream& s) { (void)poisson(s, 5.0); },
    [](Stream& s) { (void)poisson(s, 500.0); },
    [](Stream& s) { (void)poisson(s, 5000.0); },
};

}  // namespace

bool degenerate_early(const Stream& state) {
    for (Method draw : kMethods) {
        Copy c(state);
        for (int32_t i = 0; i < kProbeDraws; ++i) {
            draw(c.s);
            if (c.s.faults != 0) return true;
        }
    }
    return false;
}

double largest_normal_deviate() {
    // The divisor of Stream::uniform() after kMaxZeroRun zero words, formed
    // as it forms it.
    const double base = load_time_record().base;
    double divisor = base;
    for (int32_t run = 0; run < Stream::kMaxZeroRun; ++run) divisor = divisor * base;
    const double smallest = 1.0 / divisor;
    return std::sqrt(-2.0 * pmath::log(smallest));
}

}  // namespace kestrum::random
