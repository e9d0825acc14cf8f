#pragma once

#include "engine/ChannelMapping.h"
#include "ndi/FramesContainer.h"
#include "ndi/ReceiveSlot.h"
#include "ndi/SenderState.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The routing state the controller owns and the NDI side reads. Ordered maps,
// so everything built from them comes out in name order.
using SenderMap = std::map<std::string, SenderState>;
using SenderVideoSources = std::map<std::string, std::string>;
using SourceFramesMap = std::map<std::string, std::unique_ptr<AVFramesContainer>>;
using SourceUseCounts = std::map<std::string, int32_t>;
using SourceFreshAudio = std::map<std::string, bool>;
using ReceiveSlotList = std::vector<ReceiveSlot>;
