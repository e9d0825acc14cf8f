#pragma once

// Threads: any. raise() may wait on D-Bus for a moment, so it never runs in a block.

#include <cstdint>
#include <string>

// Real-time scheduling for the threads that keep the engine's time, asked for
// where the system allows it: as root or with CAP_SYS_NICE, within an
// RLIMIT_RTPRIO grant, or from RealtimeKit over D-Bus in a desktop session.
// Where nothing grants it the thread keeps its ordinary priority, and the
// grant says why.
class RealtimeScheduling {
public:
    // The clock above the capture workers it waits for.
    static constexpr int kClockPriority = 70;
    static constexpr int kCapturePriority = 69;

    struct Grant {
        bool realtime = false;
        std::string policy = "ordinary"; // "SCHED_FIFO", "SCHED_RR" (RealtimeKit's) or "ordinary"
        int priority = 0; // within the policy; 0 when ordinary
        std::string how; // what granted it, or why nothing did
        // "SCHED_FIFO priority 70 (CAP_SYS_NICE)", "ordinary priority (…)"
        std::string describe() const;
    };

    // The system's id of the calling thread, as raise() takes it.
    static int64_t currentThread();
    // Gives the thread `thread` of this process a real-time policy at
    // `priority`, or at the highest one the system grants below it.
    static Grant raise(int64_t thread, int priority);
    // Gives the thread `thread` of this process its ordinary priority back.
    static void lower(int64_t thread);
};
