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
                                                             float* const* outputs, int numOutputs, int numSamples,
                                                             const juce::AudioIODeviceCallbackContext& context)
{
    if (driver == Driver::output)
        clock.lastOutputTickNanos.store(nowNanos(), std::memory_order_relaxed);
    bool ticked = false;
    if (clock.driver.load() == driver) {
        clock.ticksInProgress.fetch_add(1);
        // Checked again: the clock may have been taken away in between.
        if (clock.driver.load() == driver) {
            clock.engine.audioDeviceIOCallbackWithContext(inputs, numInputs, outputs, numOutputs, numSamples,
                                                          context);
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

AudioClock::AudioClock(juce::AudioIODeviceCallback& engineCallback) : engine(engineCallback) {}

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
        driver = Driver::output;
        deviceManager.addAudioCallback(&outputTicks); // the engine's start-up runs here
        const auto setup = deviceManager.getAudioDeviceSetup();
        qInfo().noquote() << "Added audio callback: out dev" << setup.outputDeviceName.toStdString().c_str()
                          << ",\n in dev" << setup.inputDeviceName.toStdString().c_str() << ",\n sample rate"
                          << setup.sampleRate << ",\n buffer size" << setup.bufferSize << ",\n in ch"
                          << static_cast<qint64>(setup.inputChannels.toInt64()) << ",\n out ch"
                          << static_cast<qint64>(setup.outputChannels.toInt64()) << "\n use default input"
                          << setup.useDefaultInputChannels << "\n use default output"
                          << setup.useDefaultOutputChannels;
        watchdog = std::thread([this] { watchOutputDevice(); });
        return;
    }
    qCritical().noquote() << "Cannot init audio" << error.toStdString().c_str();
    outputDevice = false;
    virtualDevice = std::make_unique<VirtualAudioDevice>();
    virtualClockRunning = true;
    driver = Driver::software;
    virtualDevice->start(&softwareTicks);
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
    constexpr auto kSilenceBeforeHandOver = milliseconds(500);
    std::unique_lock lock(watchdogMutex);
    while (!shuttingDown) {
        watchdogWake.wait_for(lock, milliseconds(100));
        const auto last = nanoseconds(lastOutputTickNanos.load());
        const auto now = steady_clock::now().time_since_epoch();
        if (!shuttingDown && last.count() != 0 && now - last > kSilenceBeforeHandOver) {
            lock.unlock();
            handOverToVirtualClock();
            return;
        }
    }
}

void AudioClock::handOverToVirtualClock()
{
    qWarning() << "The audio output stopped; the software clock drives the NDI outputs from now on";
    takeClockAway();
    deviceManager.removeAudioCallback(&outputTicks);
    deviceManager.closeAudioDevice();
    outputDevice = false;
    virtualDevice = std::make_unique<VirtualAudioDevice>();
    virtualClockRunning = true;
    driver = Driver::software;
    virtualDevice->start(&softwareTicks);
}
