#pragma once

#include "engine/ChannelMapping.h"
#include "ndi/ReceiveSlot.h"
#include "ndi/SenderState.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class CommandType : uint32_t {
    SourceRemoved = 0,
    SourceAdded = 1,
    RemoveSender = 2,
    AddSender = 3,
    SourceChannelCount = 4,
    SetChannelMapping = 5,
    SetVideoSource = 6,
    RemoveAllSenders = 7,
    PublishRouting = 8,
    RemoveVideoSource = 9,
};

// A new sender, prepared off the audio thread.
struct SenderSeed {
    SenderState state;
    std::vector<ChannelMapping> mappings;
    std::string videoSource;
};

// One queued change of the routing state; executed on the audio thread.
struct RoutingCommand {
    CommandType type = CommandType::PublishRouting;
    std::string name;
    std::string key;
    std::unique_ptr<ReceiveSeed> receiveSeed;
    std::unique_ptr<SenderSeed> senderSeed;
    uint32_t count = kNoChannel;
    std::string sourceName;
    std::string senderName;
    uint32_t sourceChannel = kNoChannel;
    uint32_t senderChannel = kNoChannel;
};
