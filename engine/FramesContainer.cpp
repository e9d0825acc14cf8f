#include "engine/FramesContainer.h"

#include "ndi/NdiLibrary.h"

#include <utility>

namespace {

NDIlib_audio_frame_v2_t emptyBlock(int channels)
{
    NDIlib_audio_frame_v2_t frame;
    frame.sample_rate = 48000;
    frame.no_channels = channels;
    frame.no_samples = 0;
    return frame;
}

} // namespace

FramesContainer::FramesContainer() : audioFrame(emptyBlock(0)) { }

FramesContainer::~FramesContainer()
{
    releaseAudio();
}

void FramesContainer::releaseAudio()
{
    if (audioFrame.p_data != nullptr && frameSync != nullptr)
        ndi().framesync_free_audio(frameSync, &audioFrame);
    audioFrame = emptyBlock(2);
}

NDIlib_audio_frame_v2_t FramesContainer::takeAudio()
{
    return std::exchange(audioFrame, emptyBlock(2));
}
