#include "app/LostDisplayGuard.h"

#include <QtCore/QDebug>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

enum class Watch { Off, On, Taken };

struct Endings {
    std::function<void()> asClosing;
    std::function<void()> routingOnly;
};

// Who ends the process takes the watch: an exit() on the user-interface thread,
// one on another thread, or the entry function ending in order. Plain objects:
// nothing here is torn down by exit() itself.
std::atomic<Watch> watch{Watch::Off};
Endings* endings = nullptr; // set before the watch is on, read by whoever takes it
std::atomic<bool> endedInOrder{false};
std::thread::id userInterfaceThread;
// How long an exit() elsewhere leaves the entry function to end in order.
constexpr auto kOrderlyEndGrace = std::chrono::seconds(2);
// The user-interface thread, a rendering thread and the web engine's may all meet the broken connection.
constexpr int kConcurrentExits = 8;

bool take()
{
    Watch on = Watch::On;
    return watch.compare_exchange_strong(on, Watch::Taken);
}

[[noreturn]] void leave()
{
    std::fflush(nullptr);
    // What exit() would do next (the other handlers, static objects, unloading
    // libraries under running threads) is what the end just did, or what crashes.
    std::_Exit(0);
}

[[noreturn]] void waitForTheEnd()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

void onExit()
{
    const bool userInterface = std::this_thread::get_id() == userInterfaceThread;
    if (take()) {
        qWarning() << "The display went away: Kestrix ends as when its window is closed";
        // Xlib ends the process on whichever thread met the broken connection
        // (a rendering thread): the window's side can be taken down only where it lives.
        (userInterface ? endings->asClosing : endings->routingOnly)();
        leave();
    }
    if (watch.load() == Watch::Off)
        return; // never guarded
    if (!endedInOrder.load()) {
        waitForTheEnd(); // another exit() is ending the process; going on here would tear down what it uses
    }
    if (!userInterface) {
        // The entry function is ending in order, perhaps waiting for this thread.
        std::this_thread::sleep_for(kOrderlyEndGrace);
        leave();
    }
    // The entry function returned: its exit() goes its way.
}

} // namespace

LostDisplayGuard::LostDisplayGuard(std::function<void()> asClosing, std::function<void()> routingOnly)
{
    userInterfaceThread = std::this_thread::get_id();
    endings = new Endings{std::move(asClosing), std::move(routingOnly)};
    // Registered now, after everything the program made: exit() runs it before their teardown.
    // Threads calling exit() at once take the handlers one each: every one of them must meet it.
    for (int i = 0; i < kConcurrentExits; ++i)
        std::atexit(onExit);
    watch = Watch::On;
}

LostDisplayGuard::~LostDisplayGuard()
{
    // The program ends in order from here. Should an exit() elsewhere have
    // taken the watch, that one is writing the routing and ends the process.
    if (!take())
        waitForTheEnd();
    endedInOrder = true;
}
