#pragma once

#include "engine/BackgroundTask.h"
#include "engine/RoutingMaps.h"
#include "engine/TaskBatch.h"
#include "ndi/NDISourceFinder.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The receive side: one receiver and frame-sync per source in use, one block
// of each captured per tick, and a slow probe that measures channel counts.
//
// Threads: processBlock and startCapture on the audio thread; captureRange on
// the capture workers, while the audio thread does not touch the slots; the
// probe on a thread of its own. Receivers are made and freed by the routing's
// worker thread, which hands them over through the slots.
class NDIRx {
public:
    struct ProbeItem {
        std::string sourceName;
        uint32_t channelCount = kNoChannel;
    };

    class Listener {
    public:
        virtual ~Listener() = default;
        virtual bool videoWanted() = 0;
        // Probe thread: every known source, in slot order, with the count it is known by.
        virtual std::vector<ProbeItem> sourcesToProbe() = 0;
        // Probe thread: a count measured (kNoChannel: gone or silent).
        virtual void sourceChannelCountDetected(const std::string& source, uint32_t count) = 0;
        // Probe thread: the sample rate the source sends at.
        virtual void sourceSampleRateDetected(const std::string& source, int sampleRate) = 0;
    };

    static constexpr size_t kSlotsPerCaptureTask = 8;
    static constexpr auto kProbeInterval = std::chrono::seconds(2);

    NDIRx(ReceiveSlotList& slots, NDISourceFinder& finder, Listener& listener);
    ~NDIRx(); // stops the probe and waits for every task

    // Teardown: ends the probe at its next source and waits for every task.
    void stop();

    // Any thread: what a source seen for the first time brings.
    static std::unique_ptr<ReceiveSeed> makeReceiveSeed(const std::string& sourceName);

    // Audio thread, first in every block: joins the capture, hands receivers
    // over (taking new ones in, letting unused ones go), starts the probe every 2 s.
    void processBlock();

    // Audio thread: starts the next block's capture, one task per 8 slots.
    void startCapture();
    // Audio thread: waits for the capture; after it, slots may change.
    void waitForCapture();
    size_t captureTaskCount() const { return slots.size() / kSlotsPerCaptureTask + 1; }

    // Capture workers.
    void captureRange(size_t first, size_t end);
    // Probe thread.
    void probeSources(const std::vector<ProbeItem>& items);

    // While no block runs (the device starts).
    void setFormat(int rate, int blockLength);

    // How long the last block waited for the capture to finish, for whoever measures.
    std::atomic<int64_t> lastCaptureWaitNanos{0};
    std::atomic<bool> stopRequested{false};

private:
    void exchangeReceiver(ReceiveSlot& slot, std::chrono::steady_clock::time_point now);
    // Capture workers: the levels of the block just captured.
    static void measure(ReceiveSlot& slot);
    uint32_t probeOne(const ProbeItem& item, const std::set<std::string>& present);

    ReceiveSlotList& slots;
    NDISourceFinder& finder;
    Listener& listener;

    bool videoWanted = true;
    std::atomic<int> sampleRate{48000};
    std::atomic<int> bufferSize{512};
    bool probeClockStarted = false;
    std::chrono::steady_clock::time_point lastProbeTime;
    BackgroundTask probeTask;
    TaskBatch captureTasks;
};
