#pragma once

// Threads: constructed and destroyed on the user-interface thread, around its event loop.

#include <functional>

// When the display goes away (the X server stops, a session ends abruptly),
// Qt's display platform or Xlib ends the process with exit(), from the event
// loop or from a rendering thread. Closing the window never happens then:
// the routing is not written, and the audio thread runs on while exit()
// unloads the libraries it calls, so the process often dies of a
// segmentation fault. While a guard lives, such an exit() runs `asClosing`
// when it comes on the user-interface thread, `routingOnly` (which any thread
// may run) when it comes on another, and ends the process with code 0 before
// anything else is torn down. Its destruction starts the entry function's own end.
class LostDisplayGuard {
public:
    LostDisplayGuard(std::function<void()> asClosing, std::function<void()> routingOnly);
    ~LostDisplayGuard();
    LostDisplayGuard(const LostDisplayGuard&) = delete;
    LostDisplayGuard& operator=(const LostDisplayGuard&) = delete;
};
