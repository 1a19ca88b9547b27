// Fixed-text messages on the process's standard output.
#pragma once

#include <initializer_list>

namespace kestrum {

// Writes each line followed by '\n' to C stdout, then flushes, so that the
// message interleaves correctly with the host's own output.  An empty string
// is an empty line.
void write_message(std::initializer_list<const char*> lines);

// The gamma routine's parameter message; the driver writes it too when the
// pooled-rate shape is not positive.
void write_gamma_parameter_message();

}  // namespace kestrum
