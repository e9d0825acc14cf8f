#include "engine/AudioClock.h"

#include <QtCore/QDebug>

#include <chrono>

namespace {

int64_t nowNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void AudioClock::Forwarder::audioDeviceIOCallbackWithContext(const float* const* inputs, int numInputs,
    float* const* outputs, int numOutputs, int numSamples, const juce::AudioIODeviceCallbackContext& context)
{
    if (driver == Driver::output) {
        clock.lastOutputTickNanos.store(nowNanos(), std::memory_order_relaxed);
        clock.outputCallbacks.fetch_add(1, std::memory_order_relaxed);
        // Asked of the system once per thread, not per block.
        thread_local const int64_t self = RealtimeScheduling::currentThread();
        if (clock.outputThread.load(std::memory_order_relaxed) != self)
            clock.outputThread.store(self, std::memory_order_relaxed);
    }
    bool ticked = false;
    if (clock.driver.load() == driver) {
        clock.ticksInProgress.fetch_add(1);
        // Checked again: the clock may have been taken away in between.
        if (clock.driver.load() == driver) {
            clock.engine.audioDeviceIOCallbackWithContext(inputs, numInputs, outputs, numOutputs, numSamples, context);
            ticked = true;
        }
        clock.ticksInProgress.fetch_sub(1);
    }
    if (!ticked)
        for (int c = 0; c < numOutputs; ++c)
            if (outputs != nullptr && outputs[c] != nullptr)
                std::fill_n(outputs[c], numSamples, 0.0f);
}

void AudioClock::Forwarder::audioDeviceAboutToStart(juce::AudioIODevice* device)
{
    if (clock.driver.load() == driver)
        clock.engine.audioDeviceAboutToStart(device);
}

AudioClock::AudioClock(juce::AudioIODeviceCallback& engineCallback, SchedulingListener listener)
    : engine(engineCallback), schedulingChanged(std::move(listener))
{
}

AudioClock::~AudioClock()
{
    stop();
}

void AudioClock::start()
{
    juce::AudioDeviceManager::AudioDeviceSetup preferred;
    preferred.outputDeviceName = {};
    preferred.inputDeviceName = {};
    preferred.sampleRate = kPreferredRate;
    preferred.bufferSize = kPreferredBlock;
    preferred.useDefaultInputChannels = true;
    preferred.useDefaultOutputChannels = true;

    juce::String error = deviceManager.initialise(0, 2, nullptr, true, {}, &preferred);
    // With no sound hardware JUCE reports no error and opens nothing: that is a failure too.
    if (error.isEmpty() && deviceManager.getCurrentAudioDevice() == nullptr)
        error = "no audio output device is available";

    if (error.isEmpty()) {
        outputDevice = true;
        // Silence is counted from here, so an output that never ticks is given up too.
        lastOutputTickNanos = nowNanos();
        driver = Driver::output;
        deviceManager.addAudioCallback(&outputTicks); // the engine's start-up runs here
        openedOutput = deviceManager.getAudioDeviceSetup();
        openedOutputName = openedOutput.outputDeviceName.toStdString();
        const auto& setup = openedOutput;
        qInfo().noquote() << "Added audio callback: out dev" << setup.outputDeviceName.toStdString().c_str()
                          << ",\n in dev" << setup.inputDeviceName.toStdString().c_str() << ",\n sample rate"
                          << setup.sampleRate << ",\n buffer size" << setup.bufferSize << ",\n in ch"
                          << static_cast<qint64>(setup.inputChannels.toInt64()) << ",\n out ch"
                          << static_cast<qint64>(setup.outputChannels.toInt64()) << "\n use default input"
                          << setup.useDefaultInputChannels << "\n use default output" << setup.useDefaultOutputChannels;
        watchdog = std::thread([this] { watchOutputDevice(); });
        return;
    }
    qCritical().noquote() << "Cannot init audio" << error.toStdString().c_str();
    outputDevice = false;
    startVirtualClock();
}

void AudioClock::startVirtualClock()
{
    virtualDevice = std::make_unique<VirtualAudioDevice>(virtualClockTimings);
    virtualClockRunning = true;
    driver = Driver::software;
    virtualDevice->start(&softwareTicks);
    const RealtimeScheduling::Grant grant = virtualDevice->scheduling();
    qInfo().noquote() << "Real-time scheduling: the software clock runs at" << grant.describe().c_str();
    {
        std::lock_guard lock(schedulingMutex);
        softwareScheduling = grant;
    }
    if (schedulingChanged)
        schedulingChanged(grant);
}

RealtimeScheduling::Grant AudioClock::scheduling()
{
    const bool software = virtualClockRunning;
    std::lock_guard lock(schedulingMutex);
    if (software)
        return softwareScheduling;
    if (outputScheduling.how.empty())
        return {false, "ordinary", 0, "the sound output's callbacks have not begun"};
    return outputScheduling;
}

std::optional<ClockTimings::Summary> AudioClock::softwareClockTimings()
{
    if (!virtualClockRunning)
        return std::nullopt;
    return virtualClockTimings->summary(static_cast<double>(kPreferredRate) / kPreferredBlock);
}

void AudioClock::raiseOutputThread()
{
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const uint64_t callbacks = outputCallbacks.load(std::memory_order_relaxed);
    const int64_t thread = outputThread.load(std::memory_order_relaxed);
    const uint64_t since = callbacks - callbacksAtLastLook;
    const double seconds = duration<double>(now - lastLook).count();
    callbacksAtLastLook = callbacks;
    lastLook = now;
    // Judged over a whole look in which this thread already ticked.
    if (thread == 0 || thread == handledOutputThread || thread != threadAtLastLook) {
        threadAtLastLook = thread;
        return;
    }
    handledOutputThread = thread;
    // An output with no clock of its own calls back as fast as it can: at a
    // real-time priority that thread would hold a core. It stays ordinary.
    const double perSecond = openedOutput.sampleRate / std::max(openedOutput.bufferSize, 1);
    RealtimeScheduling::Grant grant;
    if (static_cast<double>(since) > 2 * perSecond * seconds + 2)
        grant.how = "its callbacks come faster than real time";
    else
        grant = RealtimeScheduling::raise(thread, RealtimeScheduling::kClockPriority);
    qInfo().noquote() << "Real-time scheduling: the sound output's callback thread runs at" << grant.describe().c_str();
    {
        std::lock_guard lock(schedulingMutex);
        outputScheduling = grant;
    }
    if (schedulingChanged)
        schedulingChanged(grant);
}

void AudioClock::stop()
{
    {
        std::lock_guard lock(watchdogMutex);
        shuttingDown = true;
    }
    watchdogWake.notify_all();
    if (watchdog.joinable())
        watchdog.join();
    takeClockAway();
    if (virtualDevice)
        virtualDevice->stop();
    std::lock_guard devicesLock(devicesMutex);
    deviceManager.removeAudioCallback(&outputTicks);
    deviceManager.closeAudioDevice();
}

void AudioClock::takeClockAway()
{
    driver = Driver::none;
    while (ticksInProgress.load() != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void AudioClock::watchOutputDevice()
{
    using namespace std::chrono;
    constexpr auto kLook = milliseconds(100);
    std::unique_lock lock(watchdogMutex);
    auto nextRetry = steady_clock::time_point::max();
    while (sleepUnlessStopping(lock, kLook)) {
        raiseOutputThread();
        const auto now = steady_clock::now();
        if (driver.load() == Driver::output) {
            if (now.time_since_epoch() - nanoseconds(lastOutputTickNanos.load()) > kSilenceBeforeHandOver) {
                lock.unlock();
                handOverToVirtualClock();
                lock.lock();
                nextRetry = steady_clock::now() + kRetryInterval;
            }
        } else if (now >= nextRetry && !tryHandBack(lock)) {
            nextRetry = steady_clock::now() + kRetryInterval;
        }
    }
}

bool AudioClock::sleepUnlessStopping(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds duration)
{
    return !watchdogWake.wait_for(lock, duration, [this] { return shuttingDown; });
}

void AudioClock::handOverToVirtualClock()
{
    qWarning() << "The audio output stopped; the software clock drives the NDI outputs until it comes back";
    handedOverAt = std::chrono::steady_clock::now();
    retryFailureLogged = false;
    takeClockAway();
    outputDevice = false;
    startVirtualClock();
    // Closed only now: closing a stuck output can take seconds, and the engine ticks meanwhile.
    std::lock_guard devicesLock(devicesMutex);
    deviceManager.closeAudioDevice();
}

bool AudioClock::tryHandBack(std::unique_lock<std::mutex>& lock)
{
    using namespace std::chrono;
    // A few blocks in a row show that the output plays, not just that it opened.
    constexpr uint64_t kCallbacksThatProve = 4;
    constexpr auto kProofWindow = milliseconds(1000);

    // The software device keeps the clock meanwhile: the reopened output's callbacks tick nothing yet.
    lock.unlock();
    const uint64_t before = outputCallbacks.load();
    juce::String error;
    {
        std::lock_guard devicesLock(devicesMutex);
        error = deviceManager.setAudioDeviceSetup(openedOutput, false);
        if (error.isEmpty() && deviceManager.getCurrentAudioDevice() == nullptr)
            error = "no audio output device is available";
    }
    lock.lock();

    const auto deadline = steady_clock::now() + kProofWindow;
    while (error.isEmpty() && outputCallbacks.load() - before < kCallbacksThatProve) {
        if (!sleepUnlessStopping(lock, milliseconds(5)))
            return false; // stop() closes the output
        if (steady_clock::now() > deadline)
            error = "it opened but its callbacks do not arrive";
    }
    lock.unlock();

    std::unique_lock devicesLock(devicesMutex);
    juce::AudioIODevice* const output = deviceManager.getCurrentAudioDevice();
    if (error.isEmpty() && output == nullptr)
        error = "it closed again";
    if (error.isNotEmpty()) {
        deviceManager.closeAudioDevice();
        devicesLock.unlock();
        // The first failure of an outage says why; the retries after it stay quiet.
        if (!retryFailureLogged)
            qInfo().noquote().nospace() << "The audio output cannot be reopened yet (" << error.toStdString().c_str()
                                        << "); retrying every " << kRetryInterval.count() << " s";
        retryFailureLogged = true;
        lock.lock();
        return false;
    }

    takeClockAway();
    virtualDevice->stop();
    // The output's format may differ from the software device's: the engine re-sizes its blocks here.
    engine.audioDeviceAboutToStart(output);
    lastOutputTickNanos = nowNanos();
    driver = Driver::output;
    devicesLock.unlock();
    virtualClockRunning = false;
    outputDevice = true;
    qInfo().noquote() << "The audio output is back after"
                      << duration_cast<milliseconds>(steady_clock::now() - handedOverAt).count()
                      << "ms; it drives the NDI outputs again";
    lock.lock();
    return true;
}
