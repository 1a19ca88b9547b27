// Fixed-text messages on the process's standard output.
//
// Every message of the random-variate routines lives here,
// line for line, exactly as fixed; the driver also writes the
// gamma message.  Each message is a block of whole lines written to C
// stdout and flushed at once.
#pragma once

#include <cstddef>
#include <initializer_list>

namespace kestrum {

// Where messages go.  By default (no sink installed on the calling thread)
// each line followed by '\n' is written to C stdout, then stdout is flushed,
// so that the message interleaves correctly with the host's own output.  A
// host layer (a session, a front end, a worker thread of a run) installs a
// sink of its own for the duration of a call with ScopedMessageSink: every
// message written on that thread then goes to sink.line, one call per line,
// without the '\n'.
//
// Built with KESTRUMR_NO_STDIO_DEFAULT defined (the R package's build, whose
// every call installs a sink), the default path is absent: a message
// written on a thread without a sink is dropped, and the library never
// refers to C stdout.  Every other build writes to C stdout as above.
//
// A sink that serves several threads may also take a whole message at once
// (lines, n of them): write_message then hands it over in one call, so that
// the lines of one message are never interleaved with another thread's.
struct MessageSink {
    void (*line)(void* context, const char* text) = nullptr;
    void* context = nullptr;
    void (*lines)(void* context, const char* const* lines, std::size_t n) = nullptr;
};

// The sink installed on the calling thread (line == nullptr: C stdout).
MessageSink current_message_sink();

// Installs a sink on the calling thread and restores the previous one when
// it goes out of scope.  A run that hands work to other threads captures
// current_message_sink() on the calling thread and installs it in each.
class ScopedMessageSink {
public:
    explicit ScopedMessageSink(MessageSink sink);
    ~ScopedMessageSink();
    ScopedMessageSink(const ScopedMessageSink&) = delete;
    ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;

private:
    MessageSink previous_;
};

// Writes each line (an empty string is an empty line) to the calling
// thread's sink.
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

// The generator record gives no usable uniforms, or a rejection loop ran
// past its bound (this library's own text; see kestrumr.h).
void write_degenerate_table_message();

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
