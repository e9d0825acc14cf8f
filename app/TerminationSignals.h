#pragma once

// Threads: constructed and destroyed on the user-interface thread, after the application object.

#include <QtCore/QObject>

#include <memory>

class QSocketNotifier;

// A logout or a service stop (SIGTERM, SIGINT, SIGHUP) ends the event loop as
// closing the window does, so the routing is written as at every exit. The
// signal handler only writes a byte; the event loop does the rest.
class TerminationSignals {
public:
    TerminationSignals();
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    std::unique_ptr<QSocketNotifier> notifier;
};

// The pattern of every log line of the programs.
inline constexpr const char* kLogPattern =
    "%{time process} %{appname} [%{threadid}] [%{type}] %{message} (%{file}:%{line})";
