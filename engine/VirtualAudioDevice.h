#pragma once

#include "engine/ClockTimings.h"
#include "engine/RealtimeScheduling.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

// The audio clock when no sound output opened: a thread that ticks the
// routing callback once per block of audio time, touching no hardware. The
// callback gets no buffers; it works from the rate and block length it read
// in audioDeviceAboutToStart.
//
// The clock's thread asks for real-time scheduling as it starts, and only
// records how it keeps time: a thread of its own writes the late ticks out.
class VirtualAudioDevice : public juce::Thread, public juce::AudioIODevice {
public:
    static constexpr const char* kName = "Virtual Audio Device";

    // `timings` records how the clock keeps time; whoever watches may share it.
    explicit VirtualAudioDevice(std::shared_ptr<ClockTimings> timings = std::make_shared<ClockTimings>());
    // Controlling thread (not the clock's own); may block while a tick ends, as stop() does.
    ~VirtualAudioDevice() override;

    // Start of block `block` counted from the start of a schedule, to the
    // nanosecond below, without rounding error however many blocks have passed.
    static std::chrono::nanoseconds blockStart(int64_t block, int sampleRate, int bufferSize);

    // Any thread; never blocks. Fixed answers: the device has no channels.
    juce::StringArray getOutputChannelNames() override;
    juce::StringArray getInputChannelNames() override;
    juce::Array<double> getAvailableSampleRates() override;
    juce::Array<int> getAvailableBufferSizes() override;
    int getDefaultBufferSize() override;
    // Ignores what it is asked for and succeeds: there is nothing to open.
    juce::String open(const juce::BigInteger&, const juce::BigInteger&, double, int) override;
    void close() override;
    bool isOpen() override;
    bool isPlaying() override;
    juce::String getLastError() override;
    int getCurrentBufferSizeSamples() override;
    double getCurrentSampleRate() override;
    int getCurrentBitDepth() override;
    juce::BigInteger getActiveOutputChannels() const override;
    juce::BigInteger getActiveInputChannels() const override;
    int getOutputLatencyInSamples() override;
    int getInputLatencyInSamples() override;

    // Controlling thread (not the clock's own). Blocks while a running clock
    // stops, as stop() does, and while the callback's audioDeviceAboutToStart
    // runs on this thread, and while the clock's thread asks for real-time
    // scheduling; the first tick comes after that. A null callback keeps the
    // clock running with nothing ticked.
    void start(juce::AudioIODeviceCallback* newCallback) override;
    // Controlling thread, never from inside a tick, which it would wait for
    // forever. Blocks until a tick in progress has finished and the thread
    // has ended by itself: about one tick at most, as the sleep is cut short.
    // Never kills the thread: it may be inside the callback, holding a lock.
    void stop() override;

    // Controlling thread, after start(): the scheduling the clock's thread got.
    const RealtimeScheduling::Grant& scheduling() const { return grant; }
    const std::shared_ptr<ClockTimings>& timings() const { return clockTimings; }

private:
    // The device's own thread: the timing loop.
    void run() override;
    void sleepUntil(std::chrono::steady_clock::time_point deadline);
    // The reporter's thread: writes the late ticks out until stop().
    void reportLateTicks();

    const int sampleRate = 48000;
    const int bufferSize = 512;
    // Written only while the thread is not running.
    juce::AudioIODeviceCallback* callback = nullptr;

    const std::shared_ptr<ClockTimings> clockTimings;

    // Lets stop() cut a sleep short; the exit request itself is the
    // thread's own flag, set under this mutex so no wake-up is lost.
    std::mutex wakeMutex;
    std::condition_variable wakeUp;
    RealtimeScheduling::Grant grant; // written by the clock's thread before `raised`
    bool raised = false; // under wakeMutex

    // The reporter's own: a real-time clock must never wait for a lock an
    // ordinary thread may be holding while it is preempted.
    std::mutex reportMutex;
    std::condition_variable reportWake;
    bool reporterStopping = false; // under reportMutex
    std::thread reporter;
};
