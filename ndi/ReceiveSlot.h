#pragma once

#include "engine/ChannelMapping.h"
#include "ndi/FramesContainer.h"

#include <memory>
#include <string>

// One per source ever seen. Slots are only appended, so an index stays valid.
struct ReceiveSlot {
    explicit ReceiveSlot(std::string name);

    NDIlib_recv_instance_t receiver = nullptr;
    NDIlib_recv_create_v3_t receiverSettings; // its source name is pointed at sourceName before each creation
    NDIlib_framesync_instance_t frameSync = nullptr;
    std::string sourceName;
    bool active = true;
    uint32_t channelCount = kNoChannel; // 0 = video only

    // Creates the receiver and its frame-sync; leaves neither when either fails.
    void openReceiver();
    // Destroys the frame-sync, then the receiver.
    void closeReceiver();
};

// What a source that appears brings to the routing state.
struct ReceiveSeed {
    std::string sourceName;
    bool returning = false;
    ReceiveSlot slot;
    std::unique_ptr<AVFramesContainer> frames;
    bool freshAudio = false;
};
