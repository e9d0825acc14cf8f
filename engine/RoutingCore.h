#pragma once

// Threads: public operations on any thread but the audio thread (they wait for nothing the audio thread holds);
// processBlock on the audio thread, which never waits; reports on the worker, discovery and probe threads.

#include "engine/MappingFile.h"
#include "engine/NDIRx.h"
#include "engine/NDITx.h"
#include "engine/RoutingCommand.h"
#include "engine/VideoPassThrough.h"
#include "ndi/NDISourceFinder.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The routing as other threads see it: what the queued changes make of it.
struct RoutingSnapshot {
    SenderChannelMappings mappings;
    SenderVideoSources videoSources;
    std::map<std::string, double> delaySeconds;
    SourceUseCounts useCounts;
};

// The heart of the router: the senders, the sources and the routing between
// them, changed only by commands that the audio thread executes in order,
// after its block.
//
// Other threads never touch what the audio thread routes with: an operation
// builds everything a change needs (buffers, map entries, the routing it will
// report) and queues it; the audio thread only moves prepared things in and
// out; a worker thread then frees what came out, makes and destroys NDI
// instances, and reports to the listener. The only locks the audio thread
// takes are held by others just long enough to splice a list.
class RoutingCore : private NDIRx::Listener, private NDISourceFinder::Listener {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // Worker thread, when a PublishRouting has run.
        virtual void routingPublished(const SenderChannelMappings& mappings, const SenderVideoSources& video) = 0;
        // Discovery thread.
        virtual void sourceAdded(const std::string& source, uint32_t channelCount) = 0;
        virtual void sourceRemoved(const std::string& source) = 0;
        // Worker thread.
        virtual void sourceChannelCountChanged(const std::string& source, uint32_t channelCount) = 0;
        // The thread that restores stored delays.
        virtual void senderDelayChanged(const std::string& sender, int32_t milliseconds) = 0;
    };

    static constexpr const char* kMonitor = "Monitor";
    // Between clearing the senders for a load and the routing that follows.
    static constexpr auto kRemoveAllPause = std::chrono::seconds(1);
    // The share of a block that queued changes may take; the rest wait for the next block.
    static constexpr double kCommandShare = 0.1;

    RoutingCore(Listener* listener, NDISourceFinder& finder);
    // After the clock stopped: joins every task and frees every NDI object.
    ~RoutingCore() override;
    RoutingCore(const RoutingCore&) = delete;
    RoutingCore& operator=(const RoutingCore&) = delete;

    // Changes of the routing; any thread but the audio thread.
    void addSender(const std::string& name, uint32_t channels);
    void removeSender(const std::string& name);
    void addAudioConnection(
        const std::string& source, uint32_t sourceChannel, const std::string& sender, uint32_t senderChannel);
    void removeAudioConnection(const std::string& sender, uint32_t senderChannel);
    void setVideoConnection(const std::string& source, const std::string& sender);
    void removeVideoConnection(const std::string& sender);
    // Replaces the whole routing with a stored one: every sender goes, the 1 s
    // pause keeps the network from mixing old and new, then the stored senders
    // come and the routing is reported. One batch: the audio thread sees none or all of it.
    void replaceRouting(StoredRouting routing);
    // False when the sender is unknown or the delay out of bounds.
    bool setAVDelay(const std::string& sender, int32_t milliseconds);

    // Any thread: a copy of the routing the queued changes make.
    RoutingSnapshot routingSnapshot();
    // Any thread: waits until every change queued so far has run and been
    // reported; false on time-out.
    bool waitForCommands(std::chrono::milliseconds timeout);
    // Only while no block runs (checks after the clock stopped): the routing as
    // the audio thread has executed it, video sources only where set, and the
    // use counts it routes with.
    RoutingSnapshot executedRouting() const;

    // Worker thread, after a PublishRouting was reported (the stored delays
    // wait for it). Once replaced, the former callback is not running and never runs again.
    void onRoutingPublished(std::function<void()> callback);
    // The thread that made the change, after every change of the senders, the
    // routing or the delays; it must return at once. Replaced as above.
    void onRoutingChanged(std::function<void()> callback);

    // While no block runs: the device's block format, at its first start and
    // at every restart (senders are re-sized, the show goes on).
    void setFormat(int sampleRate, int samplesPerBlock);
    int sampleRate() const { return rate.load(); }
    int bufferSize() const { return block.load(); }

    // Audio thread, once per block; never waits on another thread. With NDI
    // running it receives, routes and sends; it always plays "Monitor" on the
    // outputs, executes the queued changes and starts the next capture.
    void processBlock(float* const* outputs, int numOutputs, int numSamples, bool ndiRunning);
    // The thread that drives the engine (the audio thread, or the device's
    // thread before its first block): runs the queued changes.
    void processCommands();

    // Routes the finder's reports here; before this, they reach nobody.
    void listenToFinder();

    // Any thread but the audio thread, when the clock's thread got its
    // scheduling: the capture workers follow it (see CaptureWorkers).
    void followClockScheduling(bool clockIsRealtime);

    // Any thread but the audio thread: `source` is received for its meters even
    // while nothing routes it, until another is previewed ("" for none) and a
    // few seconds after.
    void previewSource(const std::string& source);

    // What is flowing, for whoever watches. Any thread.
    struct SourceStatus {
        bool online = false;
        uint32_t channelCount = kNoChannel; // kNoChannel: still being probed (or gone)
        int sampleRate = 0; // as the source sends it; 0 = not known yet
        bool receiving = false; // captured in the last second
        uint64_t recentDropouts = 0; // blocks the frame-sync filled in, in the last seconds
        uint64_t dropouts = 0; // the same, since the router started
        uint64_t captureDropouts = 0; // blocks whose capture missed its deadline, ever
    };
    struct SenderStatus {
        uint32_t channels = 0;
        int connections = 0;
        uint64_t audioBlocksSent = 0;
        uint64_t videoFramesSent = 0;
        bool videoLive = false; // a picture went out in the last second
    };
    struct BlockStats {
        double medianLoad = 0; // share of the block period, over the last 10 s
        double p99Load = 0;
        uint64_t lateBlocks = 0; // blocks that took longer than their period, ever
        uint64_t blocks = 0;
        uint64_t captureDropouts = 0; // source blocks whose capture missed its deadline, ever
    };
    struct Status {
        std::map<std::string, SourceStatus> sources;
        std::map<std::string, SenderStatus> senders;
        BlockStats blocks;
        RealtimeScheduling::Grant captureScheduling; // the capture workers'
    };
    Status status();

    // One reader at a time: per source and per sender, by name, the levels of
    // each channel since the last call (nothing where nothing was received).
    using ChannelLevelList = std::vector<std::optional<ChannelLevels::Level>>;
    struct Levels {
        std::map<std::string, ChannelLevelList> sources;
        std::map<std::string, ChannelLevelList> senders;
    };
    Levels levels();

    int64_t lastCaptureWaitNanos() const { return ndiRx.lastCaptureWaitNanos.load(std::memory_order_relaxed); }

private:
    struct SourceEntry {
        bool online = true;
        uint32_t channelCount = kNoChannel;
        uint64_t index = 0;
        int sampleRate = 0;
        const ReceiveSlot* slot = nullptr; // lives as long as the core
        std::shared_ptr<ChannelLevels> levels;
    };
    // The routing the queued changes make; under modelMutex, never touched by the audio thread.
    struct Model {
        SenderChannelMappings mappings;
        SenderVideoSources videoSources;
        std::map<std::string, std::shared_ptr<SenderOutput>> outputs;
        std::map<std::string, SourceEntry> sources;
        size_t slotCapacity = 0;
    };
    using CommandList = std::list<RoutingCommand>;

    // NDIRx::Listener
    bool videoWanted() override { return true; }
    std::vector<NDIRx::ProbeItem> sourcesToProbe() override;
    void sourceChannelCountDetected(const std::string& source, uint32_t count) override;
    void sourceSampleRateDetected(const std::string& source, int sampleRate) override;
    // NDISourceFinder::Listener
    void sourcesChanged(NDISourceFinder& finder) override;
    std::set<std::string> senderChannelMappings() override;

    // Under modelMutex: the model's side of a change, and the command that makes it.
    bool modelAddSender(CommandList& batch, const std::string& name, SenderState state);
    void post(CommandList batch);
    void routingChanged();

    // Audio thread.
    // Whether `command` would change a slot that a capture worker still has: it waits for a later block.
    bool waitsForCapture(const RoutingCommand& command) const;
    bool execute(RoutingCommand& command);
    void executeSourceAdded(RoutingCommand& command);
    void afterRoutingChanged();
    void playMonitor(float* const* outputs, int numOutputs, int numSamples);
    void recordBlockTime(std::chrono::steady_clock::duration took);

    // Worker thread.
    void runWorker();
    void finish(RoutingCommand& command);
    void serveReceivers();
    void publishOutputs();
    void prepareDelayLines();

    Listener* listener = nullptr;
    NDISourceFinder& finder;
    std::atomic<int> rate{0};
    std::atomic<int> block{0};

    std::mutex modelMutex;
    Model model;

    // Queued changes: posters splice batches in, the audio thread splices them out.
    std::mutex postMutex;
    CommandList posted;
    std::atomic<uint64_t> postedCount{0};
    uint64_t takenCount = 0; // audio thread
    CommandList pending; // audio thread: taken, not yet run
    CommandList ranUnreported; // audio thread: run, not yet handed to the worker
    std::chrono::steady_clock::time_point holdCommandsUntil{};

    // Run changes on their way to the worker.
    std::mutex doneMutex;
    CommandList done;

    // The audio thread's routing. Declared before the parts that use it.
    ReceiveSlotList _ndiRecvDataList;
    SourceIndex sourceIndex;
    SenderMap senders;
    SenderState* monitor = nullptr;

    // Block times, written by the audio thread.
    static constexpr size_t kBlockTimes = 1024; // more than 10 s of blocks
    std::array<std::atomic<float>, kBlockTimes> blockLoads{};
    std::atomic<uint64_t> blockCount{0};
    std::atomic<uint64_t> lateBlocks{0};

    // The status reader's memory of sources' counters, to tell what changed lately.
    struct Seen {
        std::chrono::steady_clock::time_point at;
        uint64_t dropouts = 0;
    };
    std::mutex statusMutex;
    std::map<std::string, std::vector<Seen>> seenSources; // under statusMutex

    // Worker thread.
    std::mutex workerMutex;
    std::condition_variable workerWake;
    std::condition_variable reported;
    uint64_t reportedCount = 0; // under workerMutex
    bool stopping = false; // under workerMutex
    std::mutex callbackMutex; // held while the callback runs, so it can be taken away safely
    std::function<void()> publishedCallback;
    std::mutex changedCallbackMutex;
    std::function<void()> changedCallback;
    std::vector<ReceiveSlot*> knownSlots; // worker's
    std::vector<std::shared_ptr<SenderOutput>> unpublished; // worker's: outputs waiting for their name
    std::map<const ReceiveSlot*, std::chrono::steady_clock::time_point> retryReceiverAt; // worker's

    NDITx ndiTx{senders};
    VideoPassThrough videoPassThrough{senders, sourceIndex};
    NDIRx ndiRx{_ndiRecvDataList, finder, *this};
    std::thread worker;
};
