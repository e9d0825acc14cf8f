#include "engine/ClockTimings.h"

#include <algorithm>
#include <vector>

void ClockTimings::recordWakeUp(std::chrono::nanoseconds lateness)
{
    const uint64_t n = wakeUps.load(std::memory_order_relaxed);
    latenesses[n % kLatenesses].store(lateness.count(), std::memory_order_relaxed);
    wakeUps.store(n + 1, std::memory_order_release);
}

void ClockTimings::recordOverrun(std::chrono::nanoseconds took, std::chrono::nanoseconds pastDeadline)
{
    const uint64_t n = overrunsRecorded.load(std::memory_order_relaxed);
    // The reporter has not written the entry this one would replace: count it instead.
    if (n - overrunsWrittenShared.load(std::memory_order_acquire) >= kOverruns) {
        overrunsLost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    overruns[n % kOverruns] = {took.count(), pastDeadline.count()};
    overrunsRecorded.store(n + 1, std::memory_order_release);
}

ClockTimings::Summary ClockTimings::summary(double ticksPerSecond) const
{
    Summary result;
    const uint64_t count = wakeUps.load(std::memory_order_acquire);
    const auto window = std::min<uint64_t>(static_cast<uint64_t>(10 * ticksPerSecond), kLatenesses);
    std::vector<int64_t> recent;
    for (uint64_t i = count > window ? count - window : 0; i < count; ++i)
        recent.push_back(latenesses[i % kLatenesses].load(std::memory_order_relaxed));
    if (!recent.empty()) {
        std::sort(recent.begin(), recent.end());
        const auto seconds = [](int64_t ns) { return static_cast<double>(ns) / 1e9; };
        result.medianLateness = seconds(recent[recent.size() / 2]);
        result.p99Lateness = seconds(recent[std::min(recent.size() - 1, recent.size() * 99 / 100)]);
        result.maxLateness = seconds(recent.back());
    }
    result.lateBlocks = overrunsRecorded.load(std::memory_order_relaxed) + overrunsLost.load(std::memory_order_relaxed);
    result.ticks = count;
    return result;
}

void ClockTimings::writeOverruns(std::FILE* stream)
{
    const uint64_t recorded = overrunsRecorded.load(std::memory_order_acquire);
    for (; overrunsWritten < recorded; ++overrunsWritten) {
        const Overrun& o = overruns[overrunsWritten % kOverruns];
        // One write, so the three lines stay together.
        std::fprintf(stream, "callbacks taking too long!\n%lld\n%lld\n", static_cast<long long>(o.took),
            static_cast<long long>(o.pastDeadline));
    }
    overrunsWrittenShared.store(overrunsWritten, std::memory_order_release);
    const uint64_t lost = overrunsLost.load(std::memory_order_relaxed);
    if (lost != lostReported) {
        std::fprintf(stream, "callbacks taking too long! (%llu more late ticks not shown)\n",
            static_cast<unsigned long long>(lost - lostReported));
        lostReported = lost;
    }
}
