#pragma once

#include "engine/MappingFile.h"
#include "engine/RoutingCommand.h"
#include "engine/VirtualAudioDevice.h"
#include "ndi/NDIRx.h"
#include "ndi/NDISourceFinder.h"
#include "ndi/NDITx.h"
#include "ndi/VideoPassThrough.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace detail {
// JUCE's runtime must outlive the device manager: a base constructed before it.
struct JuceRuntime {
    juce::ScopedJuceInitialiser_GUI juce;
};
// The NDI library's lifetime: initialised first, destroyed after every NDI object.
struct NdiSession {
    NdiSession();
    ~NdiSession();
};
} // namespace detail

// Where a source's receive slot is, and whether the last finder report listed it.
struct SourceSlotRef {
    bool online = false;
    uint64_t index = 0;
};

// The routing as other threads may see it: a copy taken under the command mutex.
struct RoutingSnapshot {
    SenderChannelMappings mappings;
    SenderVideoSources videoSources;
    std::map<std::string, double> delaySeconds;
    SourceUseCounts useCounts;
};

// The heart of the router: owns the routing state and every NDI object, and
// is the audio clock's callback. Only the audio thread changes the routing
// maps, by executing the commands that other threads queue; other threads
// read them under `commandMutex` or from a snapshot.
class AudioController : private detail::JuceRuntime,
                        public juce::AudioDeviceManager,
                        public juce::AudioIODeviceCallback,
                        private NDIRx::Listener,
                        private NDISourceFinder::Listener {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // Audio thread, after the commands of a block ran (never with a lock of ours held).
        virtual void routingPublished(const SenderChannelMappings& mappings, const SenderVideoSources& video) = 0;
        // Probe thread.
        virtual void sourceAdded(const std::string& source, uint32_t channelCount) = 0;
        virtual void sourceRemoved(const std::string& source) = 0;
        // Audio or probe thread.
        virtual void sourceChannelCountChanged(const std::string& source, uint32_t channelCount) = 0;
        // The thread that restores stored delays.
        virtual void senderDelayChanged(const std::string& sender, int32_t milliseconds) = 0;
    };

    static constexpr const char* kMonitor = "Monitor";
    static constexpr int kPreferredRate = 48000;
    static constexpr int kPreferredBlock = 512;
    // Between clearing the senders for a load and the routing that follows.
    static constexpr auto kRemoveAllPause = std::chrono::seconds(1);

    // User-interface thread: opens the audio clock, which starts the engine.
    explicit AudioController(Listener* listener);
    // User-interface thread: stops the clock, joins every task, frees every NDI object.
    ~AudioController() override;

    // User-interface thread; each waits at most for `commandMutex`.
    void addSender(const std::string& name, uint32_t channels);
    void removeSender(const std::string& name);
    void addAudioConnection(const std::string& source, uint32_t sourceChannel, const std::string& sender,
                            uint32_t senderChannel);
    void removeAudioConnection(const std::string& source, uint32_t sourceChannel, const std::string& sender,
                               uint32_t senderChannel);
    void setVideoConnection(const std::string& source, const std::string& sender);
    // Returns once the change executed, or after about two blocks, whichever is first.
    void removeVideoConnection(const std::string& sender);
    // Builds the new delay line on the calling thread and hands it to the audio
    // thread; false when the sender is unknown or the delay out of bounds.
    bool setAVDelay(const std::string& sender, int32_t milliseconds);

    // Any thread: a consistent copy of the routing.
    RoutingSnapshot routingSnapshot();
    // Any thread: waits until every command queued so far has executed and been
    // reported to the listener; false on time-out.
    bool waitForCommands(std::chrono::milliseconds timeout);

    // The channel-mapping file. User-interface thread (and the device's thread at
    // start); each reads or writes the file on the calling thread.
    // Writes the routing once the changes queued so far have run (a load under way
    // included), replacing the file only once it is complete.
    bool writeMappingFile(const std::string& path);
    // Replaces the routing with the file's, through the command queue; a file
    // that cannot be read or understood changes nothing (false, logged).
    bool readMappingFile(const std::string& path);
    bool mappingFileExists() const;
    void setMappingFilePath(const std::string& path);

    // Any thread, once the page is ready: from then on every block receives,
    // routes and sends, and the delays read from a file are applied.
    void startNdiProcessing();

    // Set once, when the page is ready: from then on every block receives, routes and sends.
    std::atomic<bool> ndiProcessingStarted{false};

    bool hasOutputDevice() const { return outputDevice; }
    // Whether the software clock drives the engine (from the start, or since the output stopped).
    bool runsOnVirtualClock() const { return virtualClockRunning; }
    int currentSampleRate() const { return sampleRate; }
    int currentBufferSize() const { return bufferSize; }
    std::string mappingFilePath();
    // The path of the automatic mapping file, in the user's application-data folder.
    static std::string defaultMappingFilePath();
    size_t captureTaskCount() const { return ndiRx.captureTaskCount(); }
    // How long the last block waited for the capture of its sources (audio thread writes it).
    int64_t lastCaptureWaitNanos() const { return ndiRx.lastCaptureWaitNanos.load(std::memory_order_relaxed); }

    // juce::AudioIODeviceCallback — audio thread.
    void audioDeviceIOCallbackWithContext(const float* const* inputs, int numInputs, float* const* outputs,
                                          int numOutputs, int numSamples,
                                          const juce::AudioIODeviceCallbackContext& context) override;
    void audioDeviceAboutToStart(juce::AudioIODevice* device) override;
    void audioDeviceStopped() override {}

private:
    // NDIRx::Listener
    bool videoWanted() override { return true; }
    bool isVideoSourceInUse(const std::string& source) override;
    void sourceChannelCountChanged(const std::string& source, uint32_t count) override;
    void sourceChannelCountDetected(const std::string& source, uint32_t count) override;
    // NDISourceFinder::Listener
    void sourcesChanged(NDISourceFinder& finder) override;
    SenderChannelMappings senderChannelMappings() override;

    struct Notification {
        enum class Kind { routingPublished, sourceChannelCountChanged } kind;
        std::string name;
        uint32_t count = 0;
        SenderChannelMappings mappings;
        SenderVideoSources video;
    };

    void setUpAudioClock();
    void drainCommandsBeforeStart();
    StoredRouting storedRouting();
    // The delays a file asked for, applied once its routing is in place and NDI runs.
    void restoreDelays();
    // Watchdog thread: a sound output that stops ticking outside shutdown hands
    // the clock over to the software device, so the NDI outputs never stop.
    void watchOutputDevice();
    void handOverToVirtualClock();
    void addDefaultSenders();
    void post(RoutingCommand command);
    void processCommands();
    // False when the command cannot run yet (the video pass is on its sender): it stays queued.
    bool execute(RoutingCommand& command, std::vector<Notification>& notifications);
    bool executeSourceAdded(RoutingCommand& command);
    void recountUseCounts();
    void playMonitor(float* const* outputs, int numOutputs, int numSamples);
    void reformatSenders();

    detail::NdiSession ndiSession;
    // Written when the device starts, read by the operations that prepare senders.
    std::atomic<int> bufferSize{0};
    std::atomic<int> sampleRate{0};
    std::string mappingPath;
    SenderChannelMappings senderChannelMappingsMap;
    SenderVideoSources senderVideoSources;
    SourceUseCounts sourceUseCounts;
    std::map<std::string, SourceSlotRef> sourceSlots;
    SenderMap senders;
    ReceiveSlotList _ndiRecvDataList;
    SourceFreshAudio sourceFreshAudio;
    SourceFramesMap sourceFrames;
    Listener* listener = nullptr;

    std::mutex commandMutex;
    std::deque<RoutingCommand> commandQueue;
    std::condition_variable commandsExecuted;
    uint64_t postedCount = 0;   // under commandMutex
    uint64_t executedCount = 0; // under commandMutex
    uint64_t reportedCount = 0; // under commandMutex: executed and told to the listener
    std::chrono::steady_clock::time_point holdCommandsUntil{};
    // Delays read from a file, waiting to be applied (under commandMutex).
    std::optional<std::map<std::string, int32_t>> pendingDelays;
    bool pendingDelaysPublished = false;
    std::set<std::string> unreadableFiles; // paths whose last load failed (under commandMutex)

    std::unique_ptr<VirtualAudioDevice> virtualDevice;
    std::atomic<bool> outputDevice{false};
    std::atomic<bool> virtualClockRunning{false};
    bool started = false;

    std::atomic<int64_t> lastTickNanos{0};
    std::mutex watchdogMutex;
    std::condition_variable watchdogWake;
    bool shuttingDown = false; // under watchdogMutex
    std::thread watchdog;

    NDISourceFinder sourceFinder;
    VideoPassThrough videoPassThrough{senders, senderVideoSources, sourceFrames, _ndiRecvDataList};
    NDIRx ndiRx{_ndiRecvDataList, sourceFrames, sourceUseCounts, sourceFreshAudio, sourceFinder, videoPassThrough,
                *this};
    NDITx ndiTx{senders, sourceFrames, sourceFreshAudio, senderChannelMappingsMap};
    BackgroundTask delayRestoreTask{[this] { restoreDelays(); }};
};
