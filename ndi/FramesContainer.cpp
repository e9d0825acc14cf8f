#include "ndi/FramesContainer.h"

#include "ndi/NdiLibrary.h"

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

FramesContainer::FramesContainer() : audioFrame(emptyBlock(0)) {}

FramesContainer::~FramesContainer()
{
    if (audioFrame.p_data != nullptr && frameSync != nullptr)
        ndi().framesync_free_audio(frameSync, &audioFrame);
    audioFrame = emptyBlock(0);
}

void FramesContainer::releaseAudio()
{
    if (audioFrame.p_data != nullptr && frameSync != nullptr)
        ndi().framesync_free_audio(frameSync, &audioFrame);
    audioFrame = emptyBlock(2);
}

void FramesContainer::releaseFrames()
{
    releaseAudio();
}

AVFramesContainer::~AVFramesContainer()
{
    releaseVideo();
}

void AVFramesContainer::releaseVideo()
{
    if (videoFrame.p_data != nullptr && frameSync != nullptr)
        ndi().framesync_free_video(frameSync, &videoFrame);
    videoFrame = NDIlib_video_frame_v2_t{};
}

void AVFramesContainer::releaseFrames()
{
    releaseVideo();
    FramesContainer::releaseAudio();
}
