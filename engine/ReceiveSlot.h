#pragma once

#include "engine/ChannelMapping.h"
#include "engine/FramesContainer.h"

#include <atomic>
#include <memory>
#include <string>

// A source's NDI receiver and its frame-sync. Created and destroyed off the
// audio thread (frame-sync first); shared by the source's slot, the video
// pass and every picture held back from it, so whichever lets go last frees it.
class SourceReceiver {
public:
    // Worker thread. Asks for compressed video where the runtime can hand it
    // over untouched, else for a format every runtime has.
    explicit SourceReceiver(const std::string& sourceName);
    ~SourceReceiver();
    SourceReceiver(const SourceReceiver&) = delete;
    SourceReceiver& operator=(const SourceReceiver&) = delete;

    bool valid() const { return frameSync != nullptr; }

    NDIlib_recv_instance_t receiver = nullptr;
    NDIlib_framesync_instance_t frameSync = nullptr;
};
using SourceReceiverRef = std::shared_ptr<SourceReceiver>;

// One per source ever seen. Slots are only appended and live as long as the
// router, so a pointer to one stays valid.
//
// Threads: the audio thread owns the plain fields; capture tasks use them while
// it waits for them. A receiver crosses between the audio thread and the
// worker thread through the two boxes, each owned by one side at a time.
class ReceiveSlot {
public:
    explicit ReceiveSlot(std::string name);
    ~ReceiveSlot();

    bool inUse() const { return useCount > 0 || videoInUse; }

    const std::string sourceName;
    bool active = true;
    SourceReceiverRef receiver;
    FramesContainer frames;
    bool freshAudio = false;
    int32_t useCount = 0;    // sender channels connected to this source
    bool videoInUse = false; // some sender carries its video

    // Audio thread: wants a receiver. Worker: puts one in `incoming` and sets
    // `incomingReady`; the audio thread takes it and clears both flags.
    std::atomic<bool> wantsReceiver{false};
    std::atomic<bool> incomingReady{false};
    SourceReceiverRef incoming;

    // Audio thread: puts a receiver it no longer uses in `outgoing`, with the
    // block still held from it, and sets `outgoingFull`. Worker: gives the
    // block back, lets go of the receiver and clears the flag.
    std::atomic<bool> outgoingFull{false};
    SourceReceiverRef outgoing;
    NDIlib_audio_frame_v2_t outgoingAudio;
};

// What a source seen for the first time brings to the routing.
struct ReceiveSeed {
    std::unique_ptr<ReceiveSlot> slot;
    bool returning = false;
};
