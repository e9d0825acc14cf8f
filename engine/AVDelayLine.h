#pragma once

#include "ndi/NdiApi.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class SourceReceiver;

// The format a delay line's rings are built for.
struct DelayFormat {
    int sampleRate = 0;
    int samplesPerBlock = 0;
    int channels = 0;
    int frameRateN = 0;
    int frameRateD = 0;
};

// A picture held back by a delay line, with the receiver whose frame-sync it
// must go back to; holding the receiver keeps that frame-sync alive meanwhile.
struct HeldPicture {
    NDIlib_video_frame_v2_t frame;
    std::shared_ptr<SourceReceiver> from;
};

// A sender's A/V delay. A positive delay holds the audio back by whole
// blocks, a negative one holds the video back by whole pictures.
//
// Threads: the delay is set off the audio thread, which builds a complete new
// audio ring and hands it over whole; the audio thread swaps it in at its next
// block and the old ring is freed off the audio thread by the next change or
// by the line's destruction. The video ring belongs to the video pass.
class AVDelayLine {
public:
    // Longest delay either way; beyond it a ring would hold more than a show needs.
    static constexpr double kMaxSeconds = 5.0;
    // Most memory one audio ring may take.
    static constexpr uint64_t kMaxAudioRingBytes = 256ull << 20;

    AVDelayLine() = default;
    ~AVDelayLine();
    AVDelayLine(const AVDelayLine&) = delete;
    AVDelayLine& operator=(const AVDelayLine&) = delete;

    // Any thread but the audio thread, while no block runs: the block format
    // of the sender; a delay in effect is rebuilt for it.
    void setFormat(int sampleRate, int samplesPerBlock, int channels);
    // Any thread but the audio thread; may allocate. False (and nothing
    // changed) when the delay is out of bounds or its ring too large.
    bool setDelay(double seconds);
    double delaySeconds() const { return delay.load(std::memory_order_acquire); }

    // Audio thread; allocates nothing. `frame` holds the block just filled; on
    // return it holds the block to send, filled `count` blocks earlier.
    void delayAudio(NDIlib_audio_frame_v2_t& frame);
    // Whether the audio ring in use has entries (the delay is in effect).
    bool audioReady() const { return audioCount.load(std::memory_order_acquire) != 0; }
    uint64_t audioBlocks() const { return audioCount.load(std::memory_order_acquire); }

    // Video pass thread (or any thread while no pass runs). `picture` came
    // from `from`; on return it holds the picture to send, with its own source.
    void delayVideo(HeldPicture& picture);
    // Video pass thread (or any thread while no pass runs): gives every held
    // picture back to the frame-sync it came from.
    void releasePictures();
    uint64_t videoPictures() const { return videoCount; }

    // The routing's worker thread, every few milliseconds: slow work the line
    // asked for (nothing yet).
    void prepare() {}

    // Video pass thread: the rate of the pictures now arriving.
    void setPictureRate(int numerator, int denominator);

private:
    struct AudioRing {
        ~AudioRing();
        std::vector<NDIlib_audio_frame_v2_t> entries; // each owns its buffer
        uint64_t index = 0;
        int sampleRate = 0, samplesPerBlock = 0, channels = 0;
    };

    void rebuildVideoRing();
    bool buildAudioRing(double seconds);

    std::atomic<double> delay{0.0};
    DelayFormat format; // under changeMutex

    std::mutex changeMutex;                   // one change at a time
    AudioRing* current = nullptr;             // audio thread's
    std::atomic<AudioRing*> pending{nullptr}; // built, not yet taken
    std::atomic<AudioRing*> retired{nullptr}; // taken out, to be freed off the audio thread
    std::atomic<uint64_t> audioCount{0};

    // Video side, the pass's.
    std::vector<HeldPicture> videoRing;
    uint64_t videoCount = 0;
    uint64_t videoIndex = 0;
    int frameRateN = 0, frameRateD = 0;
    double videoBuiltFor = 0.0;
    const SourceReceiver* videoFrom = nullptr;
};
