#pragma once

#include "engine/AVDelayLine.h"
#include "engine/ChannelLevels.h"
#include "engine/ChannelMapping.h"
#include "engine/RoutingRules.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class ReceiveSlot;

// A sender's presence on the network: its NDI send instance and its delay
// line. Shared by the audio thread, the video pass and the operations that
// set delays; whoever lets go of it last frees it, never the audio thread.
class SenderOutput {
public:
    static constexpr const char* kMonitorName = "Monitor";

    SenderOutput(std::string name, size_t channels);
    // Destroys the NDI instance, then frees its name for a sender created after it.
    ~SenderOutput();
    SenderOutput(const SenderOutput&) = delete;
    SenderOutput& operator=(const SenderOutput&) = delete;

    // Worker thread. Creates the NDI instance once no other instance of ours
    // publishes this name (a sender removed just before may still be going);
    // false while the name is still taken: try again later. The network then
    // sees exactly the name the user chose, never one with a number added.
    bool tryPublish();

    // Any thread: null for "Monitor" and until published.
    NDIlib_send_instance_t instance() const { return sendInstance.load(std::memory_order_acquire); }
    bool isMonitor() const { return ndiName == kMonitorName; }

    const std::string ndiName;
    AVDelayLine delayLine;
    // What goes out, for whoever watches: written by the audio thread and the video pass.
    ChannelLevels levels;
    std::atomic<uint64_t> audioBlocksSent{0};
    std::atomic<uint64_t> videoFramesSent{0};
    std::atomic<int64_t> lastVideoSentNanos{0}; // steady clock

private:
    std::atomic<NDIlib_send_instance_t> sendInstance{nullptr};
    bool holdsName = false;
};

// Where one sender channel's samples come from, resolved on the audio thread
// whenever the routing changes, so the per-block copy looks nothing up.
struct ChannelFeed {
    const ReceiveSlot* slot = nullptr;
    uint32_t channel = kNoChannel;
};

// One sender as the audio thread routes it. Built whole off the audio thread;
// once handed over, only the audio thread touches it until it is handed back.
class SenderState {
public:
    // Most channels one sender may have.
    static constexpr uint32_t kMaxChannels = RoutingRules::kMaxSenderChannels;
    static constexpr const char* kMonitorName = SenderOutput::kMonitorName;

    SenderState() = default;
    ~SenderState();
    SenderState(SenderState&& other) noexcept;
    SenderState& operator=(SenderState&& other) noexcept;
    SenderState(const SenderState&) = delete;
    SenderState& operator=(const SenderState&) = delete;

    // Any thread but the audio thread; allocates. Prepares the block buffer
    // and an unconnected mapping per channel. False (with a log line) for a
    // channel count beyond kMaxChannels.
    bool initialise(const std::string& name, uint32_t channels, int sampleRate, int samplesPerBlock);
    // While no block runs (the device restarts): the block buffer for a new format.
    void reformat(int sampleRate, int samplesPerBlock);

    bool isMonitor() const { return output && output->isMonitor(); }
    uint32_t channelCount() const { return static_cast<uint32_t>(mappings.size()); }

    NDIlib_audio_frame_v2_t audioFrame; // the block sent next; owns its buffer
    std::vector<ChannelMapping> mappings;
    std::vector<ChannelFeed> feeds; // one per channel, resolved from `mappings`
    std::string videoSource;
    std::shared_ptr<SenderOutput> output;

private:
    void release();
};
