// kestrum: the command-line front end (see cli.h; kestrum --help).
#include <csignal>
#include <signal.h>
#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
#if defined(SIGPIPE)
    // A reader that goes away makes a write fail with EPIPE, so that the
    // temporary files are removed and the other output is still written
    // before the program ends (quietly, by SIGPIPE: see below).
    std::signal(SIGPIPE, SIG_IGN);
#endif
#if defined(SIGXFSZ)
    // Beyond a file size limit (ulimit -f) a write fails with EFBIG ("File
    // too large"): a message, status 1 and no temporary file left behind,
    // instead of a silent death by signal.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    kestrum::cli::install_interrupt_handler();
    const int status = kestrum::cli::run(argc, argv, std::cout, std::cerr);
    if (status == kestrum::cli::kReaderGone) {
#if defined(SIGPIPE)
        // The end of a tool whose reader stopped reading (seq 1 100000 |
        // head -1): killed by SIGPIPE, which shells do not report.
        std::signal(SIGPIPE, SIG_DFL);
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        sigprocmask(SIG_UNBLOCK, &pipe_only, nullptr);
        std::raise(SIGPIPE);
#endif
        return 1;  // no SIGPIPE here: a quiet failure
    }
    return status;
}
