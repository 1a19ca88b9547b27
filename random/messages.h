// Fixed-text messages on the process's standard output.
//
// Every message of the random-variate routines (Parts 4.1-4.3) lives here,
// line for line, exactly as fixed; the driver also writes the
// gamma message.  Each message is a block of whole lines written to C
// stdout and flushed at once.
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

namespace random {

// zbqluab_: equal limits (the result is then the lower limit).
void write_uniform_limits_message();
// zbqlini_: the second call (only the second, never later).
void write_seed_second_call_message();
// zbqlini_: no file number from 80 to 999 could be opened.
void write_seed_file_number_message();
// zbqlini_: the clock file could not be read or did not hold the expected
// nine digits (this library's own text; see kestrumr.h).
void write_seed_clock_record_message();

// Parameter errors of the variate routines.
void write_exponential_parameter_message();  // ZBQLEXP
void write_beta_parameter_message();         // ZBQLBET1
void write_weibull_parameter_message();      // ZBQLWEI
void write_pareto_parameter_message();       // ZBQLPAR
void write_geometric_parameter_message();    // ZBQLGEO
void write_binomial_parameter_message();     // ZBQLBIN
void write_poisson_parameter_message();      // ZBQLPOI
void write_negative_binomial_parameter_message();  // ZBQLNB (no empty line after)

}  // namespace random
}  // namespace kestrum
