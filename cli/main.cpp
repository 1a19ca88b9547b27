// kestrum: the command-line front end (see cli.h; kestrum --help).
#include <csignal>
#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
#if defined(SIGPIPE)
    // A reader that goes away makes the write fail with a message and exit
    // status 1, instead of a silent death by signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    kestrum::cli::install_interrupt_handler();
    return kestrum::cli::run(argc, argv, std::cout, std::cerr);
}
