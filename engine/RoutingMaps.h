#pragma once

#include "engine/ChannelMapping.h"
#include "engine/ReceiveSlot.h"
#include "engine/SenderState.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// Sender name -> name of the source whose video it carries; empty = none.
using SenderVideoSources = std::map<std::string, std::string>;
// Source name -> sender channels connected to it.
using SourceUseCounts = std::map<std::string, int32_t>;

// The audio thread's routing: ordered maps, so everything built from them
// comes out in name order. New entries arrive as nodes built off the audio
// thread, and removed ones leave as nodes, so changing them allocates nothing.
using SenderMap = std::map<std::string, SenderState>;
using SourceIndex = std::map<std::string, ReceiveSlot*>;
using ReceiveSlotList = std::vector<std::unique_ptr<ReceiveSlot>>;
