#pragma once

// Threads: constructed, operated and destroyed on the user-interface thread; its audio callback runs on the clock's
// thread.

#include "engine/AudioClock.h"
#include "engine/AutomaticMappingFile.h"
#include "engine/MappingFileStore.h"
#include "engine/RoutingCore.h"
#include "engine/RoutingRules.h"
#include "ndi/NDISourceFinder.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace detail {
// The NDI library's lifetime: initialised first, destroyed after every NDI object.
struct NdiSession {
    NdiSession();
    ~NdiSession();
};
} // namespace detail

// The router: the routing, its files, the source finder and the audio clock
// that drives them, put together and started in the right order. The bridge
// and the tests operate it through these operations.
class AudioController : public juce::AudioIODeviceCallback {
public:
    using Listener = RoutingCore::Listener;

    static constexpr const char* kMonitor = RoutingCore::kMonitor;
    static constexpr int kPreferredRate = AudioClock::kPreferredRate;
    static constexpr int kPreferredBlock = AudioClock::kPreferredBlock;
    static constexpr auto kRemoveAllPause = RoutingCore::kRemoveAllPause;

    // Opens the audio clock, which starts the engine; the routing is read from
    // `automaticFile` at start and written there at the end.
    explicit AudioController(Listener* listener, std::string automaticFile = defaultMappingFilePath());
    // Writes the automatic mapping file, stops the clock, joins every task, frees every NDI object.
    ~AudioController() override;

    // Changes of the routing; the user-interface thread (or any but the audio
    // thread). Each is held to the routing rules (engine/RoutingRules.h) and
    // to the routing the queued changes make (the sender must be there, and
    // have the channel); refused, it changes nothing, logs nothing and returns
    // the reason. Accepted, it returns at once and the audio thread applies it
    // after its next block.
    Outcome addSender(const std::string& name, uint32_t channels);
    void removeSender(const std::string& name);
    Outcome addAudioConnection(
        const std::string& source, uint32_t sourceChannel, const std::string& sender, uint32_t senderChannel);
    void removeAudioConnection(
        const std::string& source, uint32_t sourceChannel, const std::string& sender, uint32_t senderChannel);
    Outcome setVideoConnection(const std::string& source, const std::string& sender);
    // Returns once the change executed, or after about two blocks, whichever is first.
    void removeVideoConnection(const std::string& sender);
    // Applied before it returns; refused also when the sender's delay line cannot hold it.
    Outcome setAVDelay(const std::string& sender, int32_t milliseconds);

    // Any thread: a copy of the routing the queued changes make.
    RoutingSnapshot routingSnapshot() { return routing.routingSnapshot(); }
    // Any thread: each sender's delay as its delay line holds it, in whole milliseconds.
    std::map<std::string, int32_t> delaysMilliseconds();
    // Any thread: waits until every change queued so far has run and been
    // reported to the listener; false on time-out.
    bool waitForCommands(std::chrono::milliseconds timeout) { return routing.waitForCommands(timeout); }

    // The channel-mapping file; each reads or writes it on the calling thread
    // and logs and returns the reason when it fails.
    Outcome writeMappingFile(const std::string& path) { return files.write(path); }
    Outcome readMappingFile(const std::string& path) { return files.read(path); }
    bool mappingFileExists() const { return MappingFileStore::exists(automaticFile); }
    // The automatic mapping file, written now as the exit writes it (it is
    // also written within a second of every change).
    Outcome writeAutomaticMappingFile() { return automatic.writeNow(); }
    std::string mappingFilePath() { return files.path(); }
    void setMappingFilePath(const std::string& path) { files.setPath(path); }
    // The path of the automatic mapping file, in the user's application-data folder.
    static std::string defaultMappingFilePath();

    // Any thread, once the page is ready: from then on every block receives,
    // routes and sends, and the delays read from a file are applied.
    void startNdiProcessing();

    // Any thread but the audio thread: `source` is received for its meters
    // even while nothing routes it ("" for none), and let go a few seconds
    // after another is previewed.
    Outcome previewSource(const std::string& source);

    // What is flowing and what drives it. Any thread.
    struct Status {
        std::string runtime; // the NDI runtime's file name, "none" without one
        std::string runtimeVersion; // its version text
        bool hardwareClock = false; // a sound output drives the engine
        bool clockStandsIn = false; // the software clock stands in for an output that went away
        std::string outputDevice; // the sound output that opened at start, "" when none did
        std::string mappingFile; // the automatic mapping file
        std::optional<std::string> mappingFileWriteError; // why its last write failed, while writes fail
        RealtimeScheduling::Grant clockScheduling; // of the thread that ticks the engine
        // How the software clock keeps time (wake-up lateness, late ticks), while it drives.
        std::optional<ClockTimings::Summary> softwareClock;
        RoutingCore::Status routing; // the capture workers' scheduling and dropouts among it
    };
    Status status();
    // One reader at a time: the levels since the last call.
    RoutingCore::Levels levels() { return routing.levels(); }

    // Set once, when the page is ready: from then on every block receives, routes and sends.
    std::atomic<bool> ndiProcessingStarted{false};

    bool hasOutputDevice() const { return clock.hasOutputDevice(); }
    bool runsOnVirtualClock() const { return clock.runsOnVirtualClock(); }
    int currentSampleRate() const { return routing.sampleRate(); }
    int currentBufferSize() const { return routing.bufferSize(); }
    // How long the last block waited for the capture of its sources.
    int64_t lastCaptureWaitNanos() const { return routing.lastCaptureWaitNanos(); }
    AudioClock& audioClock() { return clock; }

    // juce::AudioIODeviceCallback — the clock's thread.
    void audioDeviceIOCallbackWithContext(const float* const* inputs, int numInputs, float* const* outputs,
        int numOutputs, int numSamples, const juce::AudioIODeviceCallbackContext& context) override;
    void audioDeviceAboutToStart(juce::AudioIODevice* device) override;
    void audioDeviceStopped() override { }

private:
    void addDefaultSenders();
    void drainCommandsBeforeStart();

    detail::NdiSession ndiSession;
    NDISourceFinder sourceFinder;
    RoutingCore routing;
    MappingFileStore files;
    bool started = false;
    const std::string automaticFile;
    AutomaticMappingFile automatic{files, automaticFile};
    AudioClock clock{
        *this, [this](const RealtimeScheduling::Grant& grant) { routing.followClockScheduling(grant.realtime); }};
};
