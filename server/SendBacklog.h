#pragma once

// Threads: one thread per backlog (the one its client lives on).

#include <QtCore/QElapsedTimer>
#include <QtCore/QtGlobal>

// How much may wait to be sent to a client that reads slowly or not at all,
// so that it cannot make the server hold much: past kSkipAbove what can be
// left out (the levels) is, and a client whose backlog stays past it for
// kMostStuckMs, or reaches kCloseAbove, is closed. Others are not affected.
class SendBacklog {
public:
    static constexpr qint64 kSkipAbove = 256 * 1024;
    static constexpr qint64 kCloseAbove = 8 * 1024 * 1024;
    static constexpr qint64 kMostStuckMs = 10000;

    enum class Verdict { Send, Skip, Close };
    enum class Kind { Needed, Skippable };

    // Whether to send a message of `kind` while `waiting` bytes are yet to be sent.
    Verdict judge(qint64 waiting, Kind kind);

private:
    QElapsedTimer stuck; // since the backlog went past kSkipAbove
};
