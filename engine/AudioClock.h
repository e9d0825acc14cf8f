#pragma once

// Threads: start and stop on the user-interface thread; the watchdog on a thread of its own; ticks on the sound output's thread or the software device's, one at a time.

#include "engine/VirtualAudioDevice.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// What drives the engine: a sound output opened at 48000 Hz with 512-sample
// blocks when there is one, otherwise the software device. Either way the
// engine's callback is ticked by one thread at a time, and its
// audioDeviceAboutToStart runs before the first tick of each driver.
//
// A sound output that stops ticking for 500 ms outside shutdown hands the
// clock to the software device, so the NDI outputs never stop.
class AudioClock {
public:
    static constexpr int kPreferredRate = 48000;
    static constexpr int kPreferredBlock = 512;

    explicit AudioClock(juce::AudioIODeviceCallback& engine);
    ~AudioClock(); // stops

    // Opens a sound output, or the software device when none opens.
    void start();
    // No tick comes after it returns.
    void stop();

    bool hasOutputDevice() const { return outputDevice; }
    // Whether the software clock drives the engine (from the start, or since the output stopped).
    bool runsOnVirtualClock() const { return virtualClockRunning; }
    // The sound output's manager, for whoever must act as the hardware would.
    juce::AudioDeviceManager& devices() { return deviceManager; }

private:
    enum class Driver { none, output, software };

    // Hands a driver's ticks to the engine only while that driver has the clock.
    class Forwarder : public juce::AudioIODeviceCallback {
    public:
        Forwarder(AudioClock& owner, Driver which) : clock(owner), driver(which) {}
        void audioDeviceIOCallbackWithContext(const float* const* inputs, int numInputs, float* const* outputs,
                                              int numOutputs, int numSamples,
                                              const juce::AudioIODeviceCallbackContext& context) override;
        void audioDeviceAboutToStart(juce::AudioIODevice* device) override;
        void audioDeviceStopped() override {}

    private:
        AudioClock& clock;
        const Driver driver;
    };

    // Watchdog thread.
    void watchOutputDevice();
    void handOverToVirtualClock();
    // Takes the clock from whatever drives it and waits for its tick in progress.
    void takeClockAway();

    // JUCE's runtime must outlive the device manager.
    juce::ScopedJuceInitialiser_GUI juceRuntime;
    juce::AudioIODeviceCallback& engine;
    juce::AudioDeviceManager deviceManager;
    std::unique_ptr<VirtualAudioDevice> virtualDevice;
    Forwarder outputTicks{*this, Driver::output};
    Forwarder softwareTicks{*this, Driver::software};

    std::atomic<Driver> driver{Driver::none};
    std::atomic<int> ticksInProgress{0};
    std::atomic<bool> outputDevice{false};
    std::atomic<bool> virtualClockRunning{false};
    std::atomic<int64_t> lastOutputTickNanos{0};

    std::mutex watchdogMutex;
    std::condition_variable watchdogWake;
    bool shuttingDown = false; // under watchdogMutex
    std::thread watchdog;
};
