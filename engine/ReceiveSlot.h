#pragma once

#include "engine/ChannelLevels.h"
#include "engine/ChannelMapping.h"
#include "engine/FramesContainer.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

// A source's NDI receiver and its frame-sync. Created and destroyed off the
// audio thread (frame-sync first); shared by the source's slot, the video
// pass and every picture held back from it, so whichever lets go last frees it.
class SourceReceiver {
public:
    // Worker thread. Asks for compressed video where the runtime can hand it
    // over untouched, else for a format every runtime has.
    SourceReceiver(const std::string& sourceName, NDIlib_recv_bandwidth_e bandwidth);
    ~SourceReceiver();
    SourceReceiver(const SourceReceiver&) = delete;
    SourceReceiver& operator=(const SourceReceiver&) = delete;

    bool valid() const { return frameSync != nullptr; }

    NDIlib_recv_instance_t receiver = nullptr;
    NDIlib_framesync_instance_t frameSync = nullptr;
    const NDIlib_recv_bandwidth_e bandwidth;
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
    // Room for the levels of this many channels until the source is known to have more.
    static constexpr size_t kInitialMeteredChannels = 64;
    // How long a source stays received once it is no longer previewed.
    static constexpr auto kPreviewLinger = std::chrono::seconds(3);

    explicit ReceiveSlot(std::string name);
    ~ReceiveSlot();

    bool routed() const { return useCount > 0 || videoInUse; }
    // Audio thread, once per block: whether the source is received now.
    bool wanted(std::chrono::steady_clock::time_point now) const
    {
        return active && (routed() || previewed || now < previewUntil);
    }

    const std::string sourceName;
    bool active = true;
    SourceReceiverRef receiver;
    // The capture's while a worker has the slot (see CaptureWorkers), else the audio thread's.
    FramesContainer frames;
    bool freshAudio = false; // a block captured in time for this one; the audio thread's
    bool capturing = false; // set by the audio thread for the capture that follows
    int32_t useCount = 0; // sender channels connected to this source
    bool videoInUse = false; // some sender carries its video
    bool previewed = false; // selected on a page: received for its meters
    std::chrono::steady_clock::time_point previewUntil{};
    // Written by the capture, read by anyone holding it.
    std::shared_ptr<ChannelLevels> levels = std::make_shared<ChannelLevels>(kInitialMeteredChannels);
    std::atomic<int64_t> lastCaptureNanos{0}; // steady clock
    std::atomic<uint64_t> dropouts{0}; // blocks the frame-sync had too little audio for
    std::atomic<uint64_t> captureDropouts{0}; // blocks whose capture missed its deadline

    // Who has the slot for the capture: see CaptureWorkers.
    enum class CaptureState : uint8_t { idle, queued, capturing, captured };
    std::atomic<CaptureState> captureState{CaptureState::idle};
    ReceiveSlot* nextToCapture = nullptr; // the queue the audio thread hands over
    bool capturedAudio = false; // the worker's: its capture brought a block
    // Audio thread: a worker still has it, so nothing of it may change.
    bool busyCapturing() const { return captureState.load(std::memory_order_acquire) != CaptureState::idle; }

    // Audio thread: wants a receiver. Worker: puts one in `incoming` and sets
    // `incomingReady`; the audio thread takes it and clears both flags.
    std::atomic<bool> wantsReceiver{false};
    std::atomic<bool> incomingReady{false};
    std::atomic<NDIlib_recv_bandwidth_e> wantedBandwidth{NDIlib_recv_bandwidth_highest};
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
