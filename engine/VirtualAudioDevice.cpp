#include "engine/VirtualAudioDevice.h"

#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// How often the late ticks are written out.
constexpr auto kReportInterval = std::chrono::milliseconds(20);

} // namespace

VirtualAudioDevice::VirtualAudioDevice(std::shared_ptr<ClockTimings> timings)
    : juce::Thread(kName), juce::AudioIODevice(kName, kName), clockTimings(std::move(timings))
{
}

VirtualAudioDevice::~VirtualAudioDevice()
{
    stop();
}

std::chrono::nanoseconds VirtualAudioDevice::blockStart(int64_t block, int rate, int blockLength)
{
    // Whole seconds and the remainder apart: exact, and no overflow for
    // centuries of blocks.
    const int64_t samples = block * blockLength;
    return std::chrono::nanoseconds(samples / rate * 1'000'000'000 + samples % rate * 1'000'000'000 / rate);
}

juce::StringArray VirtualAudioDevice::getOutputChannelNames()
{
    return {};
}
juce::StringArray VirtualAudioDevice::getInputChannelNames()
{
    return {};
}
juce::Array<double> VirtualAudioDevice::getAvailableSampleRates()
{
    return {48000.0};
}
juce::Array<int> VirtualAudioDevice::getAvailableBufferSizes()
{
    return {bufferSize};
}
int VirtualAudioDevice::getDefaultBufferSize()
{
    return bufferSize;
}
juce::String VirtualAudioDevice::open(const juce::BigInteger&, const juce::BigInteger&, double, int)
{
    return {};
}
void VirtualAudioDevice::close() { }
bool VirtualAudioDevice::isOpen()
{
    return true;
}
bool VirtualAudioDevice::isPlaying()
{
    return isThreadRunning();
}
juce::String VirtualAudioDevice::getLastError()
{
    return {};
}
int VirtualAudioDevice::getCurrentBufferSizeSamples()
{
    return bufferSize;
}
double VirtualAudioDevice::getCurrentSampleRate()
{
    return sampleRate;
}
int VirtualAudioDevice::getCurrentBitDepth()
{
    return 16;
}
// Empty: the callback is given no channels.
juce::BigInteger VirtualAudioDevice::getActiveOutputChannels() const
{
    return {};
}
juce::BigInteger VirtualAudioDevice::getActiveInputChannels() const
{
    return {};
}
int VirtualAudioDevice::getOutputLatencyInSamples()
{
    return 0;
}
int VirtualAudioDevice::getInputLatencyInSamples()
{
    return 0;
}

void VirtualAudioDevice::start(juce::AudioIODeviceCallback* newCallback)
{
    // The thread reads `callback` without a lock, so it must not be running
    // while it changes.
    stop();
    callback = newCallback;
    if (callback != nullptr)
        callback->audioDeviceAboutToStart(this);
    {
        std::lock_guard lock(wakeMutex);
        raised = false;
    }
    {
        std::lock_guard lock(reportMutex);
        reporterStopping = false;
    }
    if (!startThread())
        return;
    std::unique_lock lock(wakeMutex);
    wakeUp.wait(lock, [this] { return raised; });
    lock.unlock();
    reporter = std::thread([this] { reportLateTicks(); });
}

void VirtualAudioDevice::stop()
{
    {
        const std::lock_guard lock(wakeMutex);
        signalThreadShouldExit();
    }
    wakeUp.notify_all();
    stopThread(-1); // waits without a time-out, so never kills
    {
        const std::lock_guard lock(reportMutex);
        reporterStopping = true;
    }
    reportWake.notify_all();
    if (reporter.joinable())
        reporter.join();
}

void VirtualAudioDevice::reportLateTicks()
{
    std::unique_lock lock(reportMutex);
    for (bool last = false; !last;) {
        last = reportWake.wait_for(lock, kReportInterval, [this] { return reporterStopping; });
        lock.unlock();
        clockTimings->writeOverruns(stderr); // after the clock ended, the last ones too
        lock.lock();
    }
}

void VirtualAudioDevice::run()
{
    juce::Thread::setCurrentThreadName(kName);
    grant = RealtimeScheduling::raise(RealtimeScheduling::currentThread(), RealtimeScheduling::kClockPriority);
    {
        std::lock_guard lock(wakeMutex);
        raised = true;
    }
    wakeUp.notify_all();

    // Deadlines are counted from the start of the schedule, never from the
    // previous wake-up, so lateness does not add up and the clock keeps
    // exactly one block per bufferSize / sampleRate seconds.
    const auto period = blockStart(1, sampleRate, bufferSize);
    auto scheduleStart = Clock::now();
    auto deadline = scheduleStart;
    int64_t block = 0;
    while (!threadShouldExit()) {
        const auto t0 = Clock::now();
        clockTimings->recordWakeUp(t0 - deadline);
        if (callback != nullptr)
            callback->audioDeviceIOCallbackWithContext(nullptr, 0, nullptr, 0, 0, {});
        const auto t2 = Clock::now();

        deadline = scheduleStart + blockStart(++block, sampleRate, bufferSize);
        if (deadline < t2) {
            clockTimings->recordOverrun(t2 - t0, t2 - deadline);
            // Catching up more than one block would be a burst of ticks;
            // the late block goes now and the schedule restarts from it.
            if (t2 - deadline > period) {
                scheduleStart = t2;
                block = 0;
                deadline = t2;
            }
        }
        sleepUntil(deadline);
    }
}

void VirtualAudioDevice::sleepUntil(Clock::time_point deadline)
{
    std::unique_lock lock(wakeMutex);
    wakeUp.wait_until(lock, deadline, [this] { return threadShouldExit(); });
}
