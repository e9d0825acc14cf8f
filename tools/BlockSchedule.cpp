#include "tools/BlockSchedule.h"

#include <thread>

BlockSchedule::BlockSchedule(int blockSamples_, int sampleRate_) : blockSamples(blockSamples_), sampleRate(sampleRate_)
{
    start();
}

void BlockSchedule::start()
{
    epoch = Clock::now();
    blocksSinceEpoch = 0;
}

BlockSchedule::Clock::time_point BlockSchedule::nextDeadline() const
{
    const int64_t nanoseconds = blocksSinceEpoch * blockSamples * 1'000'000'000 / sampleRate;
    return epoch + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds));
}

void BlockSchedule::waitNext()
{
    ++blocksSinceEpoch;
    if (blocksSinceEpoch == sampleRate) {
        // A whole number of seconds: move the epoch so the product above stays small on long runs.
        epoch += std::chrono::seconds(blockSamples);
        blocksSinceEpoch = 0;
    }
    const auto deadline = nextDeadline();
    const auto now = Clock::now();
    const auto period = std::chrono::nanoseconds(blockSamples * 1'000'000'000 / sampleRate);
    if (now - deadline > period) {
        ++restartCount;
        epoch = now;
        blocksSinceEpoch = 0;
        return;
    }
    std::this_thread::sleep_until(deadline);
}
