// The software clock with a recording callback: what it tells the callback
// before the first tick, what each tick carries, how fast it ticks, how it
// reports and recovers from a late tick, and how it stops; the scheduling it
// asks for, and a report stream that blocks without holding it up.

#include "engine/VirtualAudioDevice.h"

#include <gtest/gtest.h>

#if defined(__linux__)
#include "support/RealtimeRefusal.h"

#include <fcntl.h>
#endif

#include <atomic>
#include <future>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const auto kPeriod = VirtualAudioDevice::blockStart(1, 48000, 512);

// Records when each tick began and ended. The ticks in `slow` take as long as
// given there, the last of them after saying it has begun.
struct RecordingCallback : juce::AudioIODeviceCallback {
    void audioDeviceAboutToStart(juce::AudioIODevice*) override
    {
        std::this_thread::sleep_for(3 * kPeriod); // as loading the routing would
        started = true;
    }

    void audioDeviceIOCallbackWithContext(const float* const* in, int numIn, float* const* out, int numOut,
        int numSamples, const juce::AudioIODeviceCallbackContext& context) override
    {
        const auto entered = Clock::now();
        // No tick before the preparation has ended, and none carries buffers or samples.
        const bool empty = in == nullptr && numIn == 0 && out == nullptr && numOut == 0 && numSamples == 0;
        malformedTicks += started && empty && context.hostTimeNs == nullptr ? 0 : 1;
        if (const auto s = slow.find(tickCount.load()); s != slow.end()) {
            if (s->first == slow.rbegin()->first)
                lastSlowBegun.set_value();
            std::this_thread::sleep_for(s->second);
        }
        const std::lock_guard lock(mutex);
        ticks.emplace_back(entered, Clock::now());
        ++tickCount;
    }

    void audioDeviceStopped() override { }

    std::vector<std::pair<Clock::time_point, Clock::time_point>> recorded()
    {
        const std::lock_guard lock(mutex);
        return ticks;
    }

    std::map<int, Clock::duration> slow; // set before start
    std::promise<void> lastSlowBegun;
    std::atomic<bool> started{false};
    std::atomic<int> tickCount{0}, malformedTicks{0};
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> ticks; // entered, left
};

} // namespace

TEST(VirtualAudioDevice, ticksThePreparedCallbackAtTheBlockRateRestartsAfterALateTickAndEndsAfterTheTickInProgress)
{
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "ended by destruction" : "ended by stop()");
        RecordingCallback callback;
        callback.slow = {{5, 3 * kPeriod}, {94, 50ms}}; // a late tick; then one that is in progress at the end
        auto lastSlowBegun = callback.lastSlowBegun.get_future();
        auto device = std::make_unique<VirtualAudioDevice>();

        testing::internal::CaptureStderr();
        const auto before = Clock::now();
        device->start(&callback);
        EXPECT_TRUE(callback.started.load()) << "prepared before start returns";
        lastSlowBegun.wait();
        const auto elapsed = Clock::now() - before;
        if (destroy)
            device.reset();
        else
            device->stop();
        std::istringstream report(testing::internal::GetCapturedStderr());

        EXPECT_LE(elapsed, 1200ms) << "at least 80 ticks a second (about 94), with the preparation and a late one";
        EXPECT_GE(elapsed, 94 * kPeriod) << "an absolute schedule never gets ahead of itself, however late it ran";
        EXPECT_EQ(callback.tickCount.load(), 95) << "the tick in progress ran to its end and no other began";
        std::this_thread::sleep_for(5 * kPeriod);
        EXPECT_EQ(callback.malformedTicks.load(), 0);
        const auto recorded = callback.recorded();
        ASSERT_EQ(recorded.size(), 95u) << "none began after the end";
        for (size_t i = 1; i < recorded.size(); ++i)
            ASSERT_GE(recorded[i].first, recorded[i - 1].second) << "ticks never overlap";

        // A report is the heading, then how long the tick took and how late it ended, in ns; the last is
        // the tick in progress at the end. Other ticks may be late too on a busy machine, but none sleeps.
        const auto late = recorded[5];
        const long long lateNs = std::chrono::duration_cast<std::chrono::nanoseconds>(late.second - late.first).count();
        std::vector<std::pair<long long, long long>> reports;
        for (std::string heading, took, behind;
             std::getline(report, heading) && std::getline(report, took) && std::getline(report, behind);) {
            ASSERT_EQ(heading, "callbacks taking too long!") << "stray output on standard error";
            reports.emplace_back(std::stoll(took), std::stoll(behind));
        }
        ASSERT_FALSE(reports.empty());
        if (!destroy) {
            EXPECT_EQ(device->timings()->summary(93.75).lateBlocks, reports.size()) << "each report a late tick";
        }
        reports.pop_back();
        std::erase_if(reports, [&](const auto& r) { return r.first < lateNs; });
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_GE(reports[0].second, lateNs - kPeriod.count()) << "the late tick began no earlier than its deadline";

        // Catching up would tick again at once for every block missed; a fresh
        // schedule ticks the late block now and the next one a period later.
        int ticksWithinAPeriod = 0;
        for (size_t i = 6; i < recorded.size(); ++i)
            ticksWithinAPeriod += recorded[i].first - late.second < kPeriod ? 1 : 0;
        EXPECT_LE(ticksWithinAPeriod, 1);
    }

    // Block starts are exact at any distance from the schedule's start: 375 blocks
    // of 512 samples are 4 s at 48 kHz, and between whole milliseconds the time is
    // cut to the nanosecond below. A year of blocks, where adding up a period
    // rounded to the nanosecond would be about a second out, lands on the second.
    EXPECT_EQ(VirtualAudioDevice::blockStart(375, 48000, 512), 4s);
    EXPECT_EQ(VirtualAudioDevice::blockStart(2, 48000, 512), 21'333'333ns);
    const int64_t yearOfBlocks = 375LL * 24 * 3600 * 365 / 4;
    const std::chrono::nanoseconds year = std::chrono::seconds(24 * 3600 * 365);
    EXPECT_EQ(VirtualAudioDevice::blockStart(yearOfBlocks, 48000, 512), year);
    EXPECT_EQ(VirtualAudioDevice::blockStart(yearOfBlocks + 1, 48000, 512), year + 10'666'666ns);
}

#if defined(__linux__) // the refusal takes a capability away; the reports go through a pipe
TEST(VirtualAudioDevice, asksForRealTimeSchedulingKeepsOrdinaryPriorityWhereRefusedAndNeverWaitsForItsReports)
{
    RecordingCallback callback;
    auto granted = std::make_unique<VirtualAudioDevice>();
    granted->start(&callback);
    EXPECT_EQ(granted->scheduling().realtime, mayUseRealtime()) << granted->scheduling().describe();
    granted.reset();

    // A thread without CAP_SYS_NICE starts the clock, whose thread inherits that.
    RealtimeScheduling::Grant refused;
    std::thread([&] {
        ASSERT_TRUE(refuseRealtime());
        VirtualAudioDevice device;
        device.start(&callback);
        refused = device.scheduling();
    }).join();
    EXPECT_FALSE(refused.realtime);
    EXPECT_NE(refused.how.find("SCHED_FIFO refused"), std::string::npos) << refused.how;

    // Standard error that takes nothing more: the reports wait, the clock does not.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const char fill[4096] = {};
    while (write(ends[1], fill, sizeof fill) > 0) { }
    fcntl(ends[1], F_SETFL, 0);
    std::fflush(stderr);
    const int savedStderr = dup(2);
    dup2(ends[1], 2);

    RecordingCallback late;
    for (int tick = 0; tick < 200; ++tick)
        late.slow[tick] = kPeriod + 2ms; // every tick reports
    auto device = std::make_unique<VirtualAudioDevice>();
    device->start(&late);
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(late.tickCount.load(), 30) << "the clock ticks on while its reports cannot be written";

    std::thread drain([&] {
        char buffer[4096];
        while (read(ends[0], buffer, sizeof buffer) > 0) { }
    });
    device.reset(); // its reports written, to the pipe
    dup2(savedStderr, 2);
    close(savedStderr);
    close(ends[1]);
    drain.join();
    close(ends[0]);
}
#endif
