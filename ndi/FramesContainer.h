#pragma once

#include "ndi/NdiApi.h"

// The block of a source captured last, and the frame-sync it came from, so it
// can be given back to that same instance.
class FramesContainer {
public:
    FramesContainer();
    virtual ~FramesContainer();
    FramesContainer(const FramesContainer&) = delete;
    FramesContainer& operator=(const FramesContainer&) = delete;

    // Gives whatever is held back to its frame-sync.
    virtual void releaseFrames();

    // Gives the held audio back and resets the frame to the empty block.
    void releaseAudio();

    bool active = true;
    NDIlib_audio_frame_v2_t audioFrame;
    NDIlib_framesync_instance_t frameSync = nullptr;
};

// Every source gets one: the video pass-through keeps the source's latest
// picture here while it sends it.
class AVFramesContainer : public FramesContainer {
public:
    AVFramesContainer() = default;
    ~AVFramesContainer() override;
    void releaseFrames() override;

    NDIlib_video_frame_v2_t videoFrame;

private:
    void releaseVideo();
};
