#pragma once

// Threads: record* on the clock's thread, never blocking or allocating; summary on any thread; writeOverruns on one
// reporting thread at a time.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>

// How the software clock keeps time: each tick's wake-up lateness, and the
// ticks that ended past the next one's deadline. The clock only records;
// another thread writes the late ticks out and summarises, so the clock
// never waits on a stream.
class ClockTimings {
public:
    struct Summary {
        // Wake-up lateness over the last 10 s, in seconds.
        double medianLateness = 0;
        double p99Lateness = 0;
        double maxLateness = 0;
        uint64_t lateBlocks = 0; // ticks that ended past the next deadline, ever
        uint64_t ticks = 0;
    };

    // Clock thread: a tick began `lateness` after its deadline.
    void recordWakeUp(std::chrono::nanoseconds lateness);
    // Clock thread: a tick took `took` and ended `pastDeadline` after the next tick's deadline.
    void recordOverrun(std::chrono::nanoseconds took, std::chrono::nanoseconds pastDeadline);

    // Any thread: `ticksPerSecond` gives the 10 s window.
    Summary summary(double ticksPerSecond) const;

    // One reporting thread: writes each late tick recorded since the last
    // call as "callbacks taking too long!" and its two numbers (how long the
    // tick took, how far past the deadline it ended, in ns).
    void writeOverruns(std::FILE* stream);

private:
    static constexpr size_t kLatenesses = 1024; // more than 10 s of ticks
    static constexpr size_t kOverruns = 256; // late ticks held until written; beyond, only counted

    std::array<std::atomic<int64_t>, kLatenesses> latenesses{};
    std::atomic<uint64_t> wakeUps{0};

    struct Overrun {
        int64_t took = 0, pastDeadline = 0;
    };
    std::array<Overrun, kOverruns> overruns{};
    std::atomic<uint64_t> overrunsRecorded{0}; // written by the clock
    std::atomic<uint64_t> overrunsLost{0}; // not held: the reporter had not caught up
    std::atomic<uint64_t> overrunsWrittenShared{0}; // the reporter's progress, for the clock
    uint64_t overrunsWritten = 0; // reporter's
    uint64_t lostReported = 0; // reporter's
};
