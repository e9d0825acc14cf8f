#pragma once

// Threads: start and stop on the user-interface thread; the watchdog on a thread of its own; ticks on the sound
// output's thread or the software device's, one at a time.

#include "engine/ClockTimings.h"
#include "engine/RealtimeScheduling.h"
#include "engine/VirtualAudioDevice.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// What drives the engine: a sound output opened at 48000 Hz with 512-sample
// blocks when there is one, otherwise the software device. Either way the
// engine's callback is ticked by one thread at a time, and its
// audioDeviceAboutToStart runs before the first tick of each driver.
//
// A sound output that stops ticking for 500 ms outside shutdown hands the
// clock to the software device, so the NDI outputs never stop. The output is
// then reopened every 3 s beside the software device, and takes the clock
// back once its callbacks really arrive. A machine where no output opened at
// start stays on the software device without retrying.
//
// The thread that ticks the engine asks for real-time scheduling: the
// software device's as it starts, the sound output's callback thread through
// the watchdog, once its first callback named it.
class AudioClock {
public:
    static constexpr int kPreferredRate = 48000;
    static constexpr int kPreferredBlock = 512;
    static constexpr std::chrono::milliseconds kSilenceBeforeHandOver{500};
    static constexpr std::chrono::seconds kRetryInterval{3};

    // `schedulingChanged` hears the scheduling of each thread that comes to
    // tick the engine, on the thread that starts the clock or the watchdog's.
    using SchedulingListener = std::function<void(const RealtimeScheduling::Grant&)>;
    AudioClock(juce::AudioIODeviceCallback& engine, SchedulingListener schedulingChanged = {});
    ~AudioClock(); // stops

    // User-interface thread; blocks while a device opens and the engine starts.
    // Opens a sound output, or the software device when none opens.
    void start();
    // User-interface thread; blocks until a retry or hand-back in progress has
    // ended. No tick comes after it returns.
    void stop();

    // Any thread; never blocks. Whether the sound output drives the engine now.
    bool hasOutputDevice() const { return outputDevice; }
    // Any thread; never blocks. Whether the software clock drives the engine
    // (from the start, or while the output is away).
    bool runsOnVirtualClock() const { return virtualClockRunning; }
    // Any thread after start(); never blocks. The sound output that opened at
    // start ("" when none did), whether or not it drives now.
    const std::string& outputName() const { return openedOutputName; }
    // The sound output's manager, for whoever must act as the hardware would;
    // the watchdog keeps off it while the handle lives.
    class Devices {
    public:
        Devices(std::mutex& mutex, juce::AudioDeviceManager& devices) : lock(mutex), manager(devices) { }
        juce::AudioDeviceManager* operator->() const { return &manager; }

    private:
        std::unique_lock<std::mutex> lock;
        juce::AudioDeviceManager& manager;
    };
    // Any thread but the watchdog's; blocks while the watchdog opens or closes the output.
    Devices devices() { return {devicesMutex, deviceManager}; }

    // Any thread; never waits on the clock. The scheduling of the thread that
    // ticks the engine now (the output's, before its first callback: not yet known).
    RealtimeScheduling::Grant scheduling();
    // Any thread; never waits on the clock. How the software clock keeps
    // time, while it drives the engine.
    std::optional<ClockTimings::Summary> softwareClockTimings();

private:
    enum class Driver { none, output, software };

    // Hands a driver's ticks to the engine only while that driver has the clock.
    class Forwarder : public juce::AudioIODeviceCallback {
    public:
        Forwarder(AudioClock& owner, Driver which) : clock(owner), driver(which) { }
        void audioDeviceIOCallbackWithContext(const float* const* inputs, int numInputs, float* const* outputs,
            int numOutputs, int numSamples, const juce::AudioIODeviceCallbackContext& context) override;
        void audioDeviceAboutToStart(juce::AudioIODevice* device) override;
        void audioDeviceStopped() override { }

    private:
        AudioClock& clock;
        const Driver driver;
    };

    // Watchdog thread, from here on.
    void watchOutputDevice();
    void handOverToVirtualClock();
    // Reopens the output beside the software device and gives it the clock
    // once it ticks; closes it again when it does not. Called and returns
    // with `lock` held; releases it while devices open and close.
    bool tryHandBack(std::unique_lock<std::mutex>& lock);
    // Waits while the lock is released; false when stop() asks to end.
    bool sleepUnlessStopping(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds duration);
    // Takes the clock from whatever drives it and waits for its tick in progress.
    void takeClockAway();
    // Starts the software device, which then drives the engine.
    void startVirtualClock();
    // Watchdog thread: raises the output's callback thread once it is known
    // and ticks at the pace of real time.
    void raiseOutputThread();

    // JUCE's runtime must outlive the device manager.
    juce::ScopedJuceInitialiser_GUI juceRuntime;
    juce::AudioIODeviceCallback& engine;
    const SchedulingListener schedulingChanged;
    juce::AudioDeviceManager deviceManager;
    std::unique_ptr<VirtualAudioDevice> virtualDevice;
    // Shared by every software device in turn, so figures survive a hand-over.
    const std::shared_ptr<ClockTimings> virtualClockTimings = std::make_shared<ClockTimings>();
    Forwarder outputTicks{*this, Driver::output};
    Forwarder softwareTicks{*this, Driver::software};

    std::atomic<Driver> driver{Driver::none};
    std::atomic<int> ticksInProgress{0};
    std::atomic<bool> outputDevice{false};
    std::atomic<bool> virtualClockRunning{false};
    std::atomic<int64_t> lastOutputTickNanos{0};
    // Every callback of the output, whether or not it drives: proof that a reopened output plays.
    std::atomic<uint64_t> outputCallbacks{0};
    // The system's id of the thread the output's callbacks came from last; the watchdog raises it.
    std::atomic<int64_t> outputThread{0};
    // The watchdog's: what it saw at its last look, and the thread it last raised (or left ordinary).
    int64_t threadAtLastLook = 0, handledOutputThread = 0;
    uint64_t callbacksAtLastLook = 0;
    std::chrono::steady_clock::time_point lastLook{};

    std::mutex schedulingMutex;
    RealtimeScheduling::Grant softwareScheduling, outputScheduling; // under schedulingMutex

    // Whoever uses the device manager once the watchdog runs holds it. Never
    // held while taking watchdogMutex.
    std::mutex devicesMutex;
    // The output that opened at start: what a retry reopens. Watchdog thread after start.
    juce::AudioDeviceManager::AudioDeviceSetup openedOutput;
    std::string openedOutputName; // written once, in start()
    std::chrono::steady_clock::time_point handedOverAt;
    bool retryFailureLogged = false;

    std::mutex watchdogMutex;
    std::condition_variable watchdogWake;
    bool shuttingDown = false; // under watchdogMutex
    std::thread watchdog;
};
