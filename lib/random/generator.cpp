// The generator record, its load-time table and the process-wide stream.
#include "random/stream.h"

namespace kestrum::random {

// Lag table, base and borrow of a freshly loaded library, so that an
// unseeded process always sees the same stream.
constexpr Record kLoadTimeRecord = {
    {80014410.0,  553218010.0, 169570999.0, 288589940.0, 291581871.0,
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

const Record& load_time_record() { return kLoadTimeRecord; }

}  // namespace kestrum::random

extern "C" {

// The process's record starts as the load-time record.
KESTRUMR_API kestrumr_zbql0001 zbql0001_ = kestrum::random::kLoadTimeRecord;

// Names the unit that supplies the load-time values above.
const int32_t zbqlbd01_ = 1;

}  // extern "C"

namespace kestrum::random {

// Constant initialisation: the record's address is a constant, so the
// stream exists before any code of the process runs.
ProcessState process_state_instance{Stream(&zbql0001_), 0};

}  // namespace kestrum::random
