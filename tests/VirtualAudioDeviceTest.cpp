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

// Records every call; one tick may be made to sleep, and the entry to a
// chosen tick can be announced.
class RecordingCallback : public juce::AudioIODeviceCallback {
public:
    struct Tick {
        Clock::time_point entered, left;
    };

    explicit RecordingCallback(int reserve = 1000) { ticks.reserve(static_cast<size_t>(reserve)); }

    void audioDeviceAboutToStart(juce::AudioIODevice* d) override
    {
        device = d;
        aboutToStartThread = std::this_thread::get_id();
        rateAtStart = d->getCurrentSampleRate();
        blockAtStart = d->getCurrentBufferSizeSamples();
        ticksBeforeStart = tickCount.load();
        std::this_thread::sleep_for(preparationTime); // as loading the routing would
        started = true;
    }

    void audioDeviceIOCallbackWithContext(const float* const* in, int numIn, float* const* out, int numOut,
        int numSamples, const juce::AudioIODeviceCallbackContext& context) override
    {
        const auto entered = Clock::now();
        inTick = true;
        if (!started)
            ++ticksBeforePrepared;
        if (in != nullptr || numIn != 0 || out != nullptr || numOut != 0 || numSamples != 0 ||
            context.hostTimeNs != nullptr)
            ++malformedTicks;
        const auto* thread = juce::Thread::getCurrentThread();
        if (thread == nullptr || thread->getThreadName() != "Virtual Audio Device")
            ++ticksOffTheClockThread;
        const int index = tickCount.load();
        if (index == announceTick)
            announced.set_value();
        if (index == slowTick)
            std::this_thread::sleep_for(slowFor);
        {
            const std::lock_guard lock(mutex);
            ticks.push_back({entered, Clock::now()});
        }
        inTick = false;
        ++tickCount;
    }

    void audioDeviceStopped() override { ++stoppedCalls; }

    std::vector<Tick> recorded()
    {
        const std::lock_guard lock(mutex);
        return ticks;
    }

    // Set before start.
    Clock::duration preparationTime{};
    int slowTick = -1;
    Clock::duration slowFor{};
    int announceTick = -1;
    std::promise<void> announced;

    std::atomic<juce::AudioIODevice*> device{nullptr};
    std::thread::id aboutToStartThread;
    double rateAtStart = 0;
    int blockAtStart = 0;
    int ticksBeforeStart = -1;
    std::atomic<bool> started{false};
    std::atomic<bool> inTick{false};
    std::atomic<int> tickCount{0};
    std::atomic<int> ticksBeforePrepared{0};
    std::atomic<int> malformedTicks{0};
    std::atomic<int> ticksOffTheClockThread{0};
    std::atomic<int> stoppedCalls{0};

private:
    std::mutex mutex;
    std::vector<Tick> ticks;
};

void waitForTicks(const RecordingCallback& callback, int count)
{
    while (callback.tickCount.load() < count)
        std::this_thread::sleep_for(1ms);
}

struct OverrunReport {
    long long tickNs = 0, lateNs = 0;
};

// Every report must be the heading line followed by two integers.
std::vector<OverrunReport> parseReports(const std::string& text)
{
    std::vector<OverrunReport> reports;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line, "callbacks taking too long!") << "stray output on standard error";
        if (line != "callbacks taking too long!")
            continue;
        std::string first, second;
        EXPECT_TRUE(std::getline(lines, first) && std::getline(lines, second)) << "a report has three lines";
        OverrunReport r;
        size_t used1 = 0, used2 = 0;
        r.tickNs = std::stoll(first, &used1);
        r.lateNs = std::stoll(second, &used2);
        EXPECT_EQ(used1, first.size()) << first;
        EXPECT_EQ(used2, second.size()) << second;
        reports.push_back(r);
    }
    return reports;
}

} // namespace

TEST(VirtualAudioDevice, reportsOneFixedFormatWithNoChannelsAndOpensWithoutFailing)
{
    VirtualAudioDevice device;
    EXPECT_EQ(device.getName(), "Virtual Audio Device");
    EXPECT_EQ(device.getTypeName(), "Virtual Audio Device");
    EXPECT_EQ(device.getThreadName(), "Virtual Audio Device");

    EXPECT_TRUE(device.getOutputChannelNames().isEmpty());
    EXPECT_TRUE(device.getInputChannelNames().isEmpty());
    EXPECT_EQ(device.getActiveOutputChannels().countNumberOfSetBits(), 0);
    EXPECT_EQ(device.getActiveInputChannels().countNumberOfSetBits(), 0);
    EXPECT_EQ(device.getAvailableSampleRates(), juce::Array<double>{48000.0});
    EXPECT_EQ(device.getAvailableBufferSizes(), juce::Array<int>{512});
    EXPECT_EQ(device.getDefaultBufferSize(), 512);
    EXPECT_EQ(device.getCurrentBufferSizeSamples(), 512);
    EXPECT_EQ(device.getCurrentSampleRate(), 48000.0);
    EXPECT_EQ(device.getCurrentBitDepth(), 16);
    EXPECT_EQ(device.getOutputLatencyInSamples(), 0);
    EXPECT_EQ(device.getInputLatencyInSamples(), 0);

    juce::BigInteger channels;
    channels.setRange(0, 8, true);
    EXPECT_EQ(device.open(channels, channels, 44100.0, 64), juce::String());
    EXPECT_TRUE(device.isOpen());
    device.close();
    EXPECT_TRUE(device.isOpen());
    EXPECT_EQ(device.getLastError(), juce::String());
    EXPECT_EQ(device.getCurrentSampleRate(), 48000.0) << "open changes nothing";
    EXPECT_EQ(device.getCurrentBufferSizeSamples(), 512);

    EXPECT_FALSE(device.hasControlPanel());
    EXPECT_EQ(device.getXRunCount(), -1);
    EXPECT_FALSE(device.isPlaying());
}

TEST(VirtualAudioDevice, startPreparesTheCallbackThenTicksItWithNoBuffersAtNoMoreThanTheBlockRate)
{
    RecordingCallback callback;
    callback.preparationTime = 3 * kPeriod;
    VirtualAudioDevice device;
    const auto before = Clock::now();
    device.start(&callback);
    EXPECT_TRUE(device.isPlaying());
    EXPECT_EQ(callback.device.load(), &device);
    EXPECT_EQ(callback.aboutToStartThread, std::this_thread::get_id()) << "prepared on the caller's thread";
    EXPECT_EQ(callback.rateAtStart, 48000.0);
    EXPECT_EQ(callback.blockAtStart, 512);
    EXPECT_EQ(callback.ticksBeforeStart, 0);
    EXPECT_EQ(callback.ticksBeforePrepared.load(), 0) << "no tick until audioDeviceAboutToStart has returned";

    std::this_thread::sleep_for(1s);
    device.stop();
    const auto elapsed = Clock::now() - before;

    const int ticks = callback.tickCount.load();
    EXPECT_GE(ticks, 80) << "about 94 a second";
    // An absolute schedule never gets ahead of itself, however late it ran.
    EXPECT_LE(ticks, elapsed / kPeriod + 1);
    EXPECT_EQ(callback.malformedTicks.load(), 0) << "ticks carry no buffers and no samples";
    EXPECT_EQ(callback.ticksOffTheClockThread.load(), 0);
    EXPECT_EQ(callback.stoppedCalls.load(), 0);

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
    waitForTicks(callback, 20);
    device.stop();
    const auto reports = parseReports(testing::internal::GetCapturedStderr());

    const auto recorded = callback.recorded();
    ASSERT_GE(recorded.size(), 20u);
    const auto slow = recorded[5];
    const long long slowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(slow.left - slow.entered).count();

    // Other ticks may be late too on a busy machine, but none of them sleeps.
    int slowReports = 0;
    for (const auto& r : reports) {
        EXPECT_GT(r.lateNs, 0);
        if (r.tickNs >= slowNs) {
            ++slowReports;
            EXPECT_GE(r.lateNs, slowNs - kPeriod.count()) << "it began no earlier than its deadline";
        }
    }
    EXPECT_EQ(slowReports, 1);

    // Catching up would tick again at once for every block missed; a fresh
    // schedule ticks the late block now and the next one a period later.
    int ticksWithinAPeriod = 0;
    for (size_t i = 6; i < recorded.size(); ++i)
        if (recorded[i].entered - slow.left < kPeriod)
            ++ticksWithinAPeriod;
    EXPECT_LE(ticksWithinAPeriod, 1);
}

TEST(VirtualAudioDevice, aNullCallbackKeepsTheClockRunningWithNothingTickedUntilACallbackIsGiven)
{
    RecordingCallback first, second;
    second.preparationTime = 3 * kPeriod;
    VirtualAudioDevice device;
    device.start(&first);
    waitForTicks(first, 3);

    device.start(nullptr);
    const int firstTicks = first.tickCount.load();
    std::this_thread::sleep_for(10 * kPeriod);
    EXPECT_TRUE(device.isPlaying());
    EXPECT_EQ(first.tickCount.load(), firstTicks) << "the former callback is no longer ticked";

    device.start(&second);
    EXPECT_EQ(second.device.load(), &device);
    waitForTicks(second, 3);
    device.stop();
    EXPECT_EQ(first.tickCount.load(), firstTicks);
    EXPECT_EQ(second.ticksBeforePrepared.load(), 0) << "a running clock stops before preparing the new callback";
    EXPECT_EQ(second.malformedTicks.load(), 0);
}

TEST(VirtualAudioDevice, stopWaitsForTheTickInProgressAndNothingTicksAfterIt)
{
    RecordingCallback callback;
    callback.announceTick = 3;
    callback.slowTick = 3;
    callback.slowFor = 50ms;
    auto entered = callback.announced.get_future();
    VirtualAudioDevice device;

    testing::internal::CaptureStderr(); // the slow tick is reported
    device.start(&callback);
    entered.wait();
    device.stop();
    testing::internal::GetCapturedStderr();

    EXPECT_FALSE(device.isPlaying());
    EXPECT_FALSE(callback.inTick.load()) << "the tick ran to its end";
    const int ticks = callback.tickCount.load();
    EXPECT_EQ(ticks, 4) << "the blocked tick finished and no other began";
    std::this_thread::sleep_for(5 * kPeriod);
    EXPECT_EQ(callback.tickCount.load(), ticks);
    ASSERT_EQ(callback.recorded().size(), 4u);
    EXPECT_GE(callback.recorded()[3].left - callback.recorded()[3].entered, 50ms);
}

TEST(VirtualAudioDevice, destroyingARunningDeviceStopsItFirst)
{
    RecordingCallback callback;
    auto device = std::make_unique<VirtualAudioDevice>();
    device->start(&callback);
    waitForTicks(callback, 3);
    device.reset();

    EXPECT_FALSE(callback.inTick.load());
    const int ticks = callback.tickCount.load();
    std::this_thread::sleep_for(5 * kPeriod);
    EXPECT_EQ(callback.tickCount.load(), ticks);
}

TEST(VirtualAudioDevice, blockStartsAreExactAtAnyDistanceFromTheScheduleStart)
{
    // 375 blocks of 512 samples are exactly 4 s at 48 kHz; 3 blocks 32 ms.
    EXPECT_EQ(VirtualAudioDevice::blockStart(0, 48000, 512), 0ns);
    EXPECT_EQ(VirtualAudioDevice::blockStart(3, 48000, 512), 32ms);
    EXPECT_EQ(VirtualAudioDevice::blockStart(375, 48000, 512), 4s);
    // Between whole milliseconds the time is cut to the nanosecond below.
    EXPECT_EQ(VirtualAudioDevice::blockStart(1, 48000, 512), 10'666'666ns);
    EXPECT_EQ(VirtualAudioDevice::blockStart(2, 48000, 512), 21'333'333ns);
    // A year of blocks, where adding up a period rounded to the nanosecond
    // would be about a second out, lands on the whole second.
    const int64_t yearOfBlocks = 375LL * 24 * 3600 * 365 / 4;
    EXPECT_EQ(VirtualAudioDevice::blockStart(yearOfBlocks, 48000, 512), std::chrono::seconds(24 * 3600 * 365));
    EXPECT_EQ(VirtualAudioDevice::blockStart(yearOfBlocks + 1, 48000, 512) - std::chrono::seconds(24 * 3600 * 365),
        10'666'666ns);
}
