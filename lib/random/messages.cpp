#include "random/messages.h"

#ifndef KESTRUMR_NO_STDIO_DEFAULT
#include <cstdio>
#endif

namespace kestrum {

namespace {
thread_local MessageSink thread_sink;
}  // namespace

MessageSink current_message_sink() { return thread_sink; }

ScopedMessageSink::ScopedMessageSink(MessageSink sink) : previous_(thread_sink) {
    thread_sink = sink;
}

ScopedMessageSink::~ScopedMessageSink() { thread_sink = previous_; }

void write_message(std::initializer_list<const char*> lines) {
    const MessageSink sink = thread_sink;
    if (sink.lines != nullptr) {
        sink.lines(sink.context, lines.begin(), lines.size());
        return;
    }
    if (sink.line != nullptr) {
        for (const char* line : lines) sink.line(sink.context, line);
        return;
    }
#ifdef KESTRUMR_NO_STDIO_DEFAULT
    // A host that always installs a sink (the R package) builds without
    // the default path, so that its code never refers to C stdout.
    (void)lines;
#else
    for (const char* line : lines) {
        std::fputs(line, stdout);
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
#endif
}

void write_gamma_parameter_message() {
    write_message({"",
                   "     ****ERROR**** Illegal parameter value in  ZBQLGAM",
                   "     (both parameters must be positive)",
                   ""});
}

namespace random {

void write_uniform_limits_message() {
    write_message({"",
                   "     ****WARNING**** (function ZBQLUAB) Upper and lower limits on uniform",
                   "     distribution are identical",
                   ""});
}

void write_seed_second_call_message() {
    write_message({"",
                   "",
                   "     ****WARNING**** You have called routine ZBQLINI more than",
                   "     once. I'm ignoring any subsequent calls.",
                   "",
                   ""});
}

void write_seed_file_number_message() {
    write_message({"",
                   "",
                   "     **** ERROR **** In routine ZBQLINI, I couldn't find an",
                   "     available file number. To rectify the problem, decrease the value of",
                   "     the parameter LFLNO at the start of this routine (in file randgen)",
                   "     and recompile. Any number less than 100 should work."});
}

void write_seed_clock_record_message() {
    write_message({"",
                   "",
                   "     ****ERROR**** In routine ZBQLINI, the clock file zbql1234.tmp did",
                   "     not hold the expected nine digits (seconds, minutes, hours, day of",
                   "     the year). The generator's table is left unchanged."});
}

void write_degenerate_table_message() {
    write_message({"",
                   "     ****ERROR**** The generator table is degenerate: the record",
                   "     ZBQL0001 gives no usable uniform variates. Seed it or restore it.",
                   ""});
}

void write_exponential_parameter_message() {
    write_message({"", "     ****ERROR**** Illegal parameter value in  ZBQLEXP", ""});
}

void write_beta_parameter_message() {
    write_message({"",
                   "     ****ERROR**** Illegal parameter value in  ZBQLBET1",
                   "     (both degrees of freedom must be positive)",
                   ""});
}

void write_weibull_parameter_message() {
    write_message({"",
                   "     ****ERROR**** Illegal parameter value in  ZBQLWEI",
                   "     (both parameters must be positive)",
                   ""});
}

void write_pareto_parameter_message() {
    write_message({"",
                   "     ****ERROR**** Illegal parameter value in  ZBQLPAR",
                   "     (both parameters must be positive)",
                   ""});
}

void write_geometric_parameter_message() {
    write_message({"", "     ****ERROR**** Illegal parameter value in  ZBQLGEO", ""});
}

void write_binomial_parameter_message() {
    write_message({"", "     ****ERROR**** Illegal parameter value in  ZBQLBIN", ""});
}

void write_poisson_parameter_message() {
    write_message({"", "     ****ERROR**** Illegal parameter value in  ZBQLPOI", ""});
}

void write_negative_binomial_parameter_message() {
    write_message({"", "     ****ERROR**** Illegal parameter value in  ZBQLNB"});
}

}  // namespace random
}  // namespace kestrum
