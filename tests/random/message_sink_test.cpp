// Where messages go: C stdout by default, a sink installed on the calling
// thread otherwise (one call per line), the previous sink back afterwards.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "random/messages.h"
#include "support/capture.h"

namespace {

void collect(void* ctx, const char* line) {
    *static_cast<std::string*>(ctx) += std::string(line) + "|";
}

// A sink that takes whole messages gets each message in one call, so a
// sink shared by threads can keep its lines together.
TEST(MessageSink, ASinkOfWholeMessagesTakesEachInOneCall) {
    std::string got;
    kestrum::MessageSink sink;
    sink.line = collect;  // not called while whole messages are taken
    sink.context = &got;
    sink.lines = [](void* ctx, const char* const* lines, std::size_t n) {
        std::string& s = *static_cast<std::string*>(ctx);
        s += "[";
        for (std::size_t i = 0; i < n; ++i) s += std::string(lines[i]) + "|";
        s += "]";
    };
    kestrum::ScopedMessageSink scope(sink);
    kestrum::write_gamma_parameter_message();
    EXPECT_EQ(got, "[|     ****ERROR**** Illegal parameter value in  ZBQLGAM|     (both parameters must be positive)||]");
}

TEST(MessageSink, RoutesLinesOnTheInstallingThreadOnly) {
    std::string got, inner, other_thread_out;
    const std::string stdout_text = kestrum::test::capture_stdout([&] {
        {
            kestrum::ScopedMessageSink outer({collect, &got});
            kestrum::write_gamma_parameter_message();
            {
                kestrum::ScopedMessageSink nested({collect, &inner});
                kestrum::random::write_geometric_parameter_message();
            }
            kestrum::random::write_poisson_parameter_message();
            // Another thread has no sink: its message goes to stdout.
            std::thread([] { kestrum::random::write_exponential_parameter_message(); }).join();
        }
        kestrum::random::write_binomial_parameter_message();  // sink gone again
    });
    EXPECT_EQ(got,
              "|     ****ERROR**** Illegal parameter value in  ZBQLGAM|"
              "     (both parameters must be positive)||"
              "|     ****ERROR**** Illegal parameter value in  ZBQLPOI||");
    EXPECT_EQ(inner, "|     ****ERROR**** Illegal parameter value in  ZBQLGEO||");
    EXPECT_EQ(stdout_text,
              "\n     ****ERROR**** Illegal parameter value in  ZBQLEXP\n\n"
              "\n     ****ERROR**** Illegal parameter value in  ZBQLBIN\n\n");
    EXPECT_EQ(kestrum::current_message_sink().line, nullptr);
}

}  // namespace
