#include "cli/StopSignal.h"

#include <csignal>
#include <cstdlib>

namespace chongma::cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onStopSignal(int signal)
{
    if (g_stop)
        std::_Exit(128 + signal);
    g_stop = 1;
}

} // namespace

void installStopHandlers()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool stopRequested() { return g_stop != 0; }

} // namespace chongma::cli
