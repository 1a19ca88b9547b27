// Reading a fuzzer's bytes as the arguments of one call: fixed-size
// fields taken in order, zeros once the input runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "random/messages.h"

namespace kestrum::fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    template <class T>
    T take() {
        T v{};
        const size_t k = n_ < sizeof v ? n_ : sizeof v;
        std::memcpy(&v, p_, k);
        p_ += k;
        n_ -= k;
        return v;
    }
    // An int32 in [lo, hi].
    int32_t small(int32_t lo, int32_t hi) {
        const uint32_t u = take<uint32_t>();
        return lo + static_cast<int32_t>(u % static_cast<uint32_t>(hi - lo + 1));
    }
    size_t left() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

// Collects the messages of the calls made while it lives (instead of
// writing them to standard output).
class Messages {
public:
    Messages() : scope_(MessageSink{&Messages::line, this}) {}
    const std::string& text() const { return text_; }
    int count(const char* what) const {
        int c = 0;
        for (auto p = text_.find(what); p != std::string::npos; p = text_.find(what, p + 1)) ++c;
        return c;
    }

private:
    static void line(void* self, const char* t) {
        static_cast<Messages*>(self)->text_ += t;
        static_cast<Messages*>(self)->text_ += '\n';
    }
    std::string text_;
    ScopedMessageSink scope_;
};

// A documented result that does not hold: report and stop (libFuzzer keeps
// the input as a crash).
#define FUZZ_CHECK(cond)                                                         \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                        \
        }                                                                        \
    } while (0)

}  // namespace kestrum::fuzz
