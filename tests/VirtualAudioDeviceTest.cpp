// The software clock with a recording callback: what it tells the callback
// before the first tick, what each tick carries, how fast it ticks, how it
// reports and recovers from a late tick, and how it stops.

#include "engine/VirtualAudioDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const auto kPeriod = VirtualAudioDevice::blockStart(1, 48000, 512);

// Records every call; tick `slowTick` announces its entry and sleeps `slowFor`.
class RecordingCallback : public juce::AudioIODeviceCallback {
public:
    struct Tick {
        Clock::time_point entered, left;
    };

    void audioDeviceAboutToStart(juce::AudioIODevice*) override
    {
        std::this_thread::sleep_for(preparationTime); // as loading the routing would
        started = true;
    }

    void audioDeviceIOCallbackWithContext(const float* const* in, int numIn, float* const* out, int numOut,
        int numSamples, const juce::AudioIODeviceCallbackContext& context) override
    {
        const auto entered = Clock::now();
        // No tick before the preparation has ended, and none carries buffers or samples.
        if (!started || in != nullptr || numIn != 0 || out != nullptr || numOut != 0 || numSamples != 0 ||
            context.hostTimeNs != nullptr)
            ++malformedTicks;
        if (tickCount.load() == slowTick) {
            slowEntered.set_value();
            std::this_thread::sleep_for(slowFor);
        }
        {
            const std::lock_guard lock(mutex);
            ticks.push_back({entered, Clock::now()});
        }
        ++tickCount;
    }

    void audioDeviceStopped() override { }

    std::vector<Tick> recorded()
    {
        const std::lock_guard lock(mutex);
        return ticks;
    }

    void waitForTicks(int count) const
    {
        while (tickCount.load() < count)
            std::this_thread::sleep_for(1ms);
    }

    // Set before start.
    Clock::duration preparationTime{};
    int slowTick = -1;
    Clock::duration slowFor{};
    std::promise<void> slowEntered;

    std::atomic<bool> started{false};
    std::atomic<int> tickCount{0}, malformedTicks{0};

private:
    std::mutex mutex;
    std::vector<Tick> ticks;
};

} // namespace

TEST(VirtualAudioDevice, startPreparesTheCallbackThenTicksItWithNoBuffersAtNoMoreThanTheBlockRate)
{
    RecordingCallback callback;
    callback.preparationTime = 3 * kPeriod;
    VirtualAudioDevice device;
    const auto before = Clock::now();
    device.start(&callback);
    EXPECT_TRUE(callback.started.load()) << "prepared before start returns";

    std::this_thread::sleep_for(1s);
    device.stop();
    const auto elapsed = Clock::now() - before;

    const int ticks = callback.tickCount.load();
    EXPECT_GE(ticks, 80) << "about 94 a second";
    // An absolute schedule never gets ahead of itself, however late it ran.
    EXPECT_LE(ticks, elapsed / kPeriod + 1);
    EXPECT_EQ(callback.malformedTicks.load(), 0);
    const auto recorded = callback.recorded();
    for (size_t i = 1; i < recorded.size(); ++i)
        ASSERT_GE(recorded[i].entered, recorded[i - 1].left) << "ticks never overlap";
}

TEST(VirtualAudioDevice, aLateTickIsReportedOnceAndTheClockRestartsAfterItWithoutABurst)
{
    RecordingCallback callback;
    callback.slowTick = 5;
    callback.slowFor = 3 * kPeriod;
    VirtualAudioDevice device;

    testing::internal::CaptureStderr();
    device.start(&callback);
    callback.waitForTicks(20);
    device.stop();
    std::istringstream report(testing::internal::GetCapturedStderr());

    const auto recorded = callback.recorded();
    ASSERT_GE(recorded.size(), 20u);
    const auto slow = recorded[5];
    const long long slowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(slow.left - slow.entered).count();

    // A report is the heading, then how long the tick took and how late it ended, in ns. Other ticks may
    // be late too on a busy machine, but none of them sleeps.
    int slowReports = 0;
    for (std::string heading, took, late;
         std::getline(report, heading) && std::getline(report, took) && std::getline(report, late);) {
        ASSERT_EQ(heading, "callbacks taking too long!") << "stray output on standard error";
        if (std::stoll(took) >= slowNs) {
            ++slowReports;
            EXPECT_GE(std::stoll(late), slowNs - kPeriod.count()) << "it began no earlier than its deadline";
        }
    }
    EXPECT_EQ(slowReports, 1);

    // Catching up would tick again at once for every block missed; a fresh
    // schedule ticks the late block now and the next one a period later.
    int ticksWithinAPeriod = 0;
    for (size_t i = 6; i < recorded.size(); ++i)
        ticksWithinAPeriod += recorded[i].entered - slow.left < kPeriod ? 1 : 0;
    EXPECT_LE(ticksWithinAPeriod, 1);
}

TEST(VirtualAudioDevice, stopAndDestructionWaitForTheTickInProgressAndNothingTicksAfter)
{
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "stopped");
        RecordingCallback callback;
        callback.slowTick = 3;
        callback.slowFor = 50ms;
        auto entered = callback.slowEntered.get_future();
        auto device = std::make_unique<VirtualAudioDevice>();

        testing::internal::CaptureStderr(); // the slow tick is reported
        device->start(&callback);
        entered.wait();
        if (destroy)
            device.reset();
        else
            device->stop();
        testing::internal::GetCapturedStderr();

        EXPECT_TRUE(device == nullptr || !device->isPlaying());
        EXPECT_EQ(callback.tickCount.load(), 4) << "the blocked tick ran to its end and no other began";
        std::this_thread::sleep_for(5 * kPeriod);
        EXPECT_EQ(callback.tickCount.load(), 4);
    }
}

TEST(VirtualAudioDevice, blockStartsAreExactAtAnyDistanceFromTheScheduleStart)
{
    // 375 blocks of 512 samples are exactly 4 s at 48 kHz; between whole
    // milliseconds the time is cut to the nanosecond below.
    EXPECT_EQ(VirtualAudioDevice::blockStart(375, 48000, 512), 4s);
    EXPECT_EQ(VirtualAudioDevice::blockStart(2, 48000, 512), 21'333'333ns);
    // A year of blocks, where adding up a period rounded to the nanosecond
    // would be about a second out, lands on the whole second.
    const int64_t yearOfBlocks = 375LL * 24 * 3600 * 365 / 4;
    const std::chrono::nanoseconds year = std::chrono::seconds(24 * 3600 * 365);
    EXPECT_EQ(VirtualAudioDevice::blockStart(yearOfBlocks, 48000, 512), year);
    EXPECT_EQ(VirtualAudioDevice::blockStart(yearOfBlocks + 1, 48000, 512), year + 10'666'666ns);
}
