#include "tools/StopRequest.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int)
{
    stopFlag.store(true);
}

} // namespace

void installStopHandlers()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool stopRequested()
{
    return stopFlag.load();
}

bool sleepUntilOrStopped(std::chrono::steady_clock::time_point deadline)
{
    // Short naps keep the reaction to a signal quick without a self-pipe.
    while (!stopRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return true;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(20)));
    }
    return false;
}
