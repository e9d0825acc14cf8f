#pragma once

#include "ndi/AVDelayLine.h"

#include <memory>
#include <string>

// One sender the router publishes: its NDI instance, the block it sends next
// and its delay line. Owns all three.
class SenderState {
public:
    // Most channels one sender may have.
    static constexpr uint32_t kMaxChannels = 1024;
    static constexpr const char* kMonitorName = "Monitor";

    SenderState() = default;
    ~SenderState();
    SenderState(SenderState&& other) noexcept;
    SenderState& operator=(SenderState&& other) noexcept;
    SenderState(const SenderState&) = delete;
    SenderState& operator=(const SenderState&) = delete;

    // Any thread but the audio thread; allocates. Prepares the block buffer.
    // False (with a log line) for a channel count beyond kMaxChannels.
    bool initialise(const std::string& name, uint32_t channels, int sampleRate, int samplesPerBlock);

    // Creates the NDI instance if there is none yet ("Monitor" never has one).
    // Done when the sender joins the routing, once a sender of the same name
    // has gone: the network then sees exactly the name the user chose.
    void createSendInstance();

    bool isMonitor() const { return ndiName == kMonitorName; }
    // Fixed at initialise; safe to read beside the audio thread, which swaps audioFrame.
    uint32_t channelCount() const { return fixedChannelCount; }

    NDIlib_send_instance_t sendInstance = nullptr;
    NDIlib_send_create_t sendSettings;
    NDIlib_audio_frame_v2_t audioFrame; // owns its buffer
    // Shared with whoever sets a delay off the audio thread, so a sender removed
    // meanwhile never frees the line under it.
    std::shared_ptr<AVDelayLine> delayLine = std::make_shared<AVDelayLine>();
    std::string ndiName;

private:
    void release();

    uint32_t fixedChannelCount = 0;
};
