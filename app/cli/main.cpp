#include "app/cli/RksvTool.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void requestStop(int)
{
    stopRequested = true;
}

} // namespace

int main(int argc, char** argv)
{
    // Ctrl+C (or SIGTERM) ends a running export or check cleanly, nothing half-written stays behind; a status query's
    // exchange stops within about a second and an open session is logged out. The handler only sets the flag.
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const app::cli::Console console{std::cout, std::cerr, isatty(STDERR_FILENO) == 1, &stopRequested};
    return app::cli::run({argv + 1, argv + argc}, console);
}
