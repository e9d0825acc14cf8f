#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

inline constexpr uint32_t kNoChannel = 0xFFFFFFFFu;

// The source channel that feeds one sender channel.
struct ChannelMapping {
    uint32_t sourceChannel = kNoChannel; // 0-based; kNoChannel = not connected
    std::string sourceName; // empty = not connected

    bool operator==(const ChannelMapping&) const = default;
};

// Sender name -> one mapping per sender channel. Ordered, so that everything
// built from it (files, page rows) comes out in name order.
using SenderChannelMappings = std::map<std::string, std::vector<ChannelMapping>>;
