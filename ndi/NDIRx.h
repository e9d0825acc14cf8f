#pragma once

#include "ndi/BackgroundTask.h"
#include "ndi/NDISourceFinder.h"
#include "ndi/RoutingMaps.h"
#include "ndi/TaskBatch.h"
#include "ndi/VideoPassThrough.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The receive side: one receiver and frame-sync per source in use, one block
// of each captured per tick, and a slow probe that measures channel counts.
class NDIRx {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual bool videoWanted() = 0;
        // Audio thread and capture workers.
        virtual bool isVideoSourceInUse(const std::string& source) = 0;
        virtual void sourceChannelCountChanged(const std::string& source, uint32_t count) = 0;
        // Probe thread.
        virtual void sourceChannelCountDetected(const std::string& source, uint32_t count) = 0;
    };

    struct ProbeItem {
        std::string sourceName;
        uint32_t channelCount = kNoChannel;
    };

    static constexpr size_t kSlotsPerCaptureTask = 8;
    static constexpr auto kProbeInterval = std::chrono::seconds(2);

    NDIRx(ReceiveSlotList& slots, SourceFramesMap& frames, SourceUseCounts& useCounts, SourceFreshAudio& freshAudio,
          NDISourceFinder& finder, VideoPassThrough& video, Listener& listener);
    ~NDIRx(); // stops the probe and waits for every task

    // Teardown: ends the probe at its next source and waits for every task.
    void stop();

    // Probe thread (finder report): what a new source brings.
    std::unique_ptr<ReceiveSeed> makeReceiveSeed(const std::string& sourceName) const;

    // Audio thread, first in every block: joins the capture, tears down the
    // receivers of sources no longer used, starts the probe every 2 s.
    void processBlock();

    // Audio thread: starts the next block's capture, one task per 8 slots.
    void startCapture();
    // Audio thread: waits for the capture; after it, slots and maps may change.
    void waitForCapture();
    size_t captureTaskCount() const { return slots.size() / kSlotsPerCaptureTask + 1; }

    // Capture workers.
    void captureRange(size_t first, size_t end);
    // Probe thread.
    void probeSources(const std::vector<ProbeItem>& items);

    // Audio thread, when the device starts.
    void setFormat(int rate, int blockLength);

    // How long the last block waited for the capture to finish, for whoever measures.
    std::atomic<int64_t> lastCaptureWaitNanos{0};

    std::atomic<bool> sourceSetChanged{false};
    std::atomic<bool> stopRequested{false};

private:
    bool inUse(const ReceiveSlot& slot);
    void tearDown(ReceiveSlot& slot);
    uint32_t probeOne(const ProbeItem& item, const std::set<std::string>& present);

    ReceiveSlotList& slots;
    SourceFramesMap& frames;
    SourceUseCounts& useCounts;
    SourceFreshAudio& freshAudio;
    NDISourceFinder& finder;
    VideoPassThrough& video;
    Listener& listener;

    bool videoWanted = true;
    std::atomic<int> sampleRate{48000};
    std::atomic<int> bufferSize{512};
    bool probeClockStarted = false;
    std::chrono::steady_clock::time_point lastProbeTime;
    std::vector<ProbeItem> probeItems; // written only while no probe runs
    BackgroundTask probeTask;
    TaskBatch captureTasks;
};
