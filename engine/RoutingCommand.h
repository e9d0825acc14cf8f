#pragma once

#include "engine/RoutingMaps.h"

#include <cstdint>
#include <memory>
#include <string>

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
    PreviewSource = 10,
};

// The routing as reported to the listener when a PublishRouting runs.
struct PublishedRouting {
    SenderChannelMappings mappings;
    SenderVideoSources videoSources;
};

// One queued change of the routing. Everything it needs is built before it is
// queued; the audio thread only moves things in and out of it, so executing it
// neither allocates nor frees. Whatever it takes out travels back in the
// command to the worker thread, which frees it and reports what happened.
struct RoutingCommand {
    CommandType type = CommandType::PublishRouting;
    std::string name; // source name
    std::string key; // sender name

    // SourceAdded: a source seen for the first time brings its slot and index entry.
    std::unique_ptr<ReceiveSeed> receiveSeed;
    SourceIndex::node_type indexNode;
    // SourceAdded when the slot list is full: a larger, empty list to move into; the old one leaves in it.
    ReceiveSlotList slotList;
    // SourceAdded for a returning source: its former receiver and the block still held from it.
    SourceReceiverRef retiredReceiver;
    NDIlib_audio_frame_v2_t retiredAudio;

    // AddSender: the new sender (handed back when the name is taken); RemoveSender: the removed one.
    SenderMap::node_type senderNode;
    // RemoveAllSenders: every sender that was removed.
    SenderMap removedSenders;

    uint32_t count = kNoChannel; // SourceChannelCount
    // SourceChannelCount of a source with more channels than its meters had room for: larger ones.
    std::shared_ptr<ChannelLevels> levels;
    std::string sourceName; // SetChannelMapping, SetVideoSource; what they replaced, once run
    std::string senderName;
    uint32_t sourceChannel = kNoChannel;
    uint32_t senderChannel = kNoChannel;

    // For the worker, decided when the command was queued.
    std::shared_ptr<SenderOutput> output; // AddSender: to publish once it runs
    bool reportCount = false; // SourceChannelCount that changes the count
    std::shared_ptr<const PublishedRouting> published; // PublishRouting
    ReceiveSlot* slot = nullptr; // SourceAdded: the source's slot
};
