#pragma once

#include <chrono>

// SIGINT and SIGTERM end the tools cleanly: the handler only sets a flag, and
// the main thread notices it, stops its workers and destroys its NDI objects.

// Installs the handlers. Main thread, once, before any worker starts.
void installStopHandlers();

// True once a stop signal arrived. Any thread; never blocks.
bool stopRequested();

// Sleeps until `deadline` or a stop signal, whichever comes first; true if
// the deadline was reached. Any thread.
bool sleepUntilOrStopped(std::chrono::steady_clock::time_point deadline);
