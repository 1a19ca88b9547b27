#include "random/messages.h"

#include <cstdio>

namespace kestrum {

void write_message(std::initializer_list<const char*> lines) {
    for (const char* line : lines) {
        std::fputs(line, stdout);
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}

void write_gamma_parameter_message() {
    write_message({"",
                   "     ****ERROR**** Illegal parameter value in  ZBQLGAM",
                   "     (both parameters must be positive)",
                   ""});
}

}  // namespace kestrum
