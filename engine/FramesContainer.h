#pragma once

#include "ndi/NdiApi.h"

// The block of a source captured last, and the frame-sync it came from, so it
// can be given back to that same instance.
class FramesContainer {
public:
    FramesContainer();
    ~FramesContainer();
    FramesContainer(const FramesContainer&) = delete;
    FramesContainer& operator=(const FramesContainer&) = delete;

    // Capture task (or any thread while no capture runs): gives the held
    // block back and resets the frame to the empty block.
    void releaseAudio();
    // Hands the held block over instead of giving it back; the container is
    // then empty. For whoever frees it later, off the audio thread.
    NDIlib_audio_frame_v2_t takeAudio();

    bool active = true;
    NDIlib_audio_frame_v2_t audioFrame;
    NDIlib_framesync_instance_t frameSync = nullptr;
};
