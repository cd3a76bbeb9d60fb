#include "cli/StopSignal.h"

#include "data/Job.h"

#include <csignal>
#include <cstdlib>

namespace chongma::cli {

namespace {

// A lock-free atomic store is safe in a signal handler.
CancelToken g_stop;
volatile std::sig_atomic_t g_signalled = 0;

extern "C" void onStopSignal(int signal)
{
    if (g_signalled)
        std::_Exit(128 + signal);
    g_signalled = 1;
    g_stop.cancel();
}

} // namespace

void installStopHandlers()
{
    static_assert(std::atomic_bool::is_always_lock_free);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

const CancelToken &stopToken() { return g_stop; }

bool stopRequested() { return g_stop.isCancelled(); }

} // namespace chongma::cli
