#pragma once

#include <chrono>
#include <cstdint>

// Wakes its thread once per audio block on an absolute schedule: each
// deadline is the previous one plus one block, never the late wake-up plus
// one block, so lateness does not accumulate into a slower rate. After a
// stall longer than a block the schedule restarts from now instead of
// racing to catch up.
class BlockSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // One block of `blockSamples` at `sampleRate`, e.g. 512 at 48000.
    BlockSchedule(int blockSamples, int sampleRate);

    // Sets the first deadline to now. Owner thread only.
    void start();

    // Sleeps until the next deadline and advances it. Owner thread; blocks.
    void waitNext();

    // Times the schedule restarted after a stall. Owner thread.
    int64_t restarts() const { return restartCount; }

    // The deadline this schedule is waiting for next.
    Clock::time_point nextDeadline() const;

private:
    int64_t blockSamples;
    int64_t sampleRate;
    Clock::time_point epoch;
    // Blocks since `epoch`; the deadline is computed from it exactly, so the
    // 10.666… ms period never gathers rounding error.
    int64_t blocksSinceEpoch = 0;
    int64_t restartCount = 0;
};
