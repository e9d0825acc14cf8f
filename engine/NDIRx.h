#pragma once

#include "engine/BackgroundTask.h"
#include "engine/CaptureWorkers.h"
#include "engine/RoutingMaps.h"
#include "ndi/NDISourceFinder.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The receive side: one receiver and frame-sync per source in use, one block
// of each captured per tick; discovery every second, which measures the
// channel counts of what it finds at once, and a slower probe that measures
// every known source again.
//
// Threads: processBlock, startCapture and waitForCapture on the audio thread;
// captureSlot on the capture workers, while the audio thread keeps off the
// slot; discovery and the probe each on a thread of its own. Receivers are made and freed by the
// routing's worker thread, which hands them over through the slots.
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
        // Discovery or probe thread: every known source, in slot order, with the count it is known by.
        virtual std::vector<ProbeItem> sourcesToProbe() = 0;
        // Discovery or probe thread: a count measured (kNoChannel: gone or silent).
        virtual void sourceChannelCountDetected(const std::string& source, uint32_t count) = 0;
        // Discovery or probe thread: the sample rate the source sends at.
        virtual void sourceSampleRateDetected(const std::string& source, int sampleRate) = 0;
    };

    static constexpr auto kProbeInterval = std::chrono::seconds(2);
    // A source that comes on line is found, measured and routed within this, and a block or so.
    static constexpr auto kDiscoveryInterval = std::chrono::seconds(1);
    // How far into its block the audio thread waits for the capture; what
    // is not captured by then is a dropout of that block.
    static constexpr double kCaptureWaitShare = 0.25;

    NDIRx(ReceiveSlotList& slots, NDISourceFinder& finder, Listener& listener);
    ~NDIRx(); // stops discovery and the probe and waits for every task

    // Teardown: ends discovery and the probe at their next source and waits for every task.
    void stop();

    // Any thread: what a source seen for the first time brings.
    static std::unique_ptr<ReceiveSeed> makeReceiveSeed(const std::string& sourceName);

    // Audio thread, first in every block that began at `blockStart`: joins
    // the capture, hands receivers over (taking new ones in, letting unused
    // ones go), starts discovery every second and the probe every 2 s.
    void processBlock(std::chrono::steady_clock::time_point blockStart);

    // Audio thread: starts the next block's capture of every slot no worker has.
    void startCapture();
    // Audio thread: waits for the capture, at most into the block begun at
    // `blockStart`; after it, the slots no worker has may change.
    void waitForCapture(std::chrono::steady_clock::time_point blockStart);

    // Capture workers.
    void captureSlot(ReceiveSlot& slot);
    // Discovery thread: polls the finder, then measures the sources it has
    // just found, so they are routable at once.
    void discoverSources();
    // Probe thread: measures every known source.
    void probeSources();
    // Probe thread: polls the finder, then measures `items`.
    void probeSources(const std::vector<ProbeItem>& items);

    // While no block runs (the device starts).
    void setFormat(int rate, int blockLength);

    // How long the last block waited for the capture to finish, for whoever measures.
    std::atomic<int64_t> lastCaptureWaitNanos{0};
    // Blocks of sources whose capture missed its deadline, ever.
    std::atomic<uint64_t> captureDropouts{0};
    std::atomic<bool> stopRequested{false};

    // Any thread but the audio thread: see CaptureWorkers::followClock.
    RealtimeScheduling::Grant followClock(bool clockIsRealtime) { return captureWorkers.followClock(clockIsRealtime); }
    RealtimeScheduling::Grant captureScheduling() { return captureWorkers.scheduling(); }
    size_t captureWorkerCount() const { return captureWorkers.count(); }

private:
    // Audio thread: takes back the slots whose capture ended, and counts a
    // dropout for each captured source whose capture has not.
    void collectCapture();
    void exchangeReceiver(ReceiveSlot& slot, std::chrono::steady_clock::time_point now);
    // Capture workers: the levels of the block just captured.
    static void measure(ReceiveSlot& slot);
    // What the finder lists now, as a copy.
    std::set<std::string> presentSources();
    void probeEach(const std::vector<ProbeItem>& items, const std::set<std::string>& present);
    uint32_t probeOne(const ProbeItem& item, const std::set<std::string>& present);

    ReceiveSlotList& slots;
    NDISourceFinder& finder;
    Listener& listener;

    bool videoWanted = true;
    std::atomic<int> sampleRate{48000};
    std::atomic<int> bufferSize{512};
    bool probeClockStarted = false;
    std::chrono::steady_clock::time_point lastProbeTime, lastDiscoveryTime;
    BackgroundTask discoveryTask;
    BackgroundTask probeTask;
    CaptureWorkers captureWorkers;
};
