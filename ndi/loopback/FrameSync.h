#pragma once

#include "Receiver.h"

#include <samplerate.h>

#include <memory>
#include <mutex>
#include <vector>

namespace loopback {

// Turns a receiver's pushed stream into one that is pulled at the caller's
// pace: audio is resampled to the requested rate and its queue is held near a
// target depth by small changes of the resampling ratio, so clocks that
// differ a little never cause dropped or repeated blocks; video is simply the
// latest picture.
class FrameSync {
public:
    FrameSync();
    ~FrameSync();
    FrameSync(const FrameSync&) = delete;
    FrameSync& operator=(const FrameSync&) = delete;

    // Receiver's thread.
    void pushAudio(const ReceivedFrame& frame);
    void pushVideo(std::unique_ptr<ReceivedFrame> frame);

    // Caller's thread; never waits for the network.
    void captureAudio(NDIlib_audio_frame_v2_t& out, int sampleRate, int channels, int samples);
    void freeAudio(NDIlib_audio_frame_v2_t& frame);
    void captureVideo(NDIlib_video_frame_v2_t& out);
    void freeVideo(NDIlib_video_frame_v2_t& frame);
    int queueDepth();

private:
    size_t queuedFrames() const { return inChannels == 0 ? 0 : fifo.size() / inChannels - fifoStart; }
    double targetDepth(double neededInput) const;
    void dropOldest(size_t frames);
    void resetConverter();
    int resample(int outRate, int samples);
    float* takeBuffer(size_t floats);

    std::mutex mutex;

    // Audio as it came, interleaved, at the source's rate.
    int inRate = 0;
    int inChannels = 0;
    int lastInputFrames = 512;
    std::vector<float> fifo;
    size_t fifoStart = 0; // frames already consumed at the front

    SRC_STATE* converter = nullptr;
    int converterOutRate = 0;
    bool primed = false;
    double jitterMargin; // seconds
    int learnedPulls = 0;
    double setPoint = 0;
    double depthAverage = 0;
    double correction = 1.0;
    std::vector<float> interleavedOut;

    struct Buffer {
        std::unique_ptr<float[]> data;
        size_t floats = 0;
    };
    std::vector<Buffer> spareBuffers, audioHandedOut;

    std::shared_ptr<ReceivedFrame> latestVideo;
    std::vector<std::shared_ptr<ReceivedFrame>> videoHandedOut;
};

} // namespace loopback
