#pragma once

#include "ndi/NdiApi.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class SourceReceiver;

// The format a delay line's audio ring is built for.
struct DelayFormat {
    int sampleRate = 0;
    int samplesPerBlock = 0;
    int channels = 0;
    bool operator==(const DelayFormat&) const = default;
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
// Each ring keeps the most recent blocks (or pictures) it has room for, every
// one stamped with its number, and reads the one `delay` back; so a new delay
// within the ring's room only moves the read position (the audio with a short
// crossfade), and a position the ring never filled reads as silence. Rings
// never shrink, and once made they keep being written whatever the delay.
//
// Threads: setDelay stores the target and asks for a larger ring when needed;
// the routing's worker builds it in prepare() and hands it over through an
// atomic; the audio thread takes it at its next block, moving the blocks it
// holds into it, and hands the old ring back the same way to be freed by the
// worker. The video ring belongs to the video pass.
class AVDelayLine {
public:
    // Longest delay either way; beyond it a ring would hold more than a show needs.
    static constexpr double kMaxSeconds = 5.0;
    // Most memory one audio ring may take.
    static constexpr uint64_t kMaxAudioRingBytes = 256ull << 20;
    // Longest crossfade between the old and the new read position.
    static constexpr double kCrossfadeSeconds = 0.005;

    AVDelayLine() = default;
    ~AVDelayLine();
    AVDelayLine(const AVDelayLine&) = delete;
    AVDelayLine& operator=(const AVDelayLine&) = delete;

    // Any thread but the audio thread, while no block runs; may allocate. The
    // block format of the sender; a delay in effect gets a ring for it.
    void setFormat(int sampleRate, int samplesPerBlock, int channels);
    // Any thread but the audio thread; never allocates a ring, never waits
    // for one. False (with a log line, nothing changed) when the delay is out
    // of bounds or its ring would be too large.
    bool setDelay(double seconds);
    // Any thread: the delay last set.
    double delaySeconds() const { return delay.load(std::memory_order_acquire); }

    // The routing's worker thread, every few milliseconds; may allocate and
    // free. Builds the larger ring a delay asked for, frees rings handed back.
    void prepare();

    // Audio thread; allocates and frees nothing. `frame` holds the block just
    // filled; returns the block to send now, valid until the next call: `frame`
    // itself while there is no ring, else a block of the ring, and `frame`
    // then holds another buffer of the same format to fill next.
    const NDIlib_audio_frame_v2_t& delayAudio(NDIlib_audio_frame_v2_t& frame);
    // Any thread: the longest delay, in blocks, the audio ring in use holds
    // (0 before the first ring is taken).
    uint64_t audioBlocks() const { return audioRoom.load(std::memory_order_acquire); }

    // Video pass thread: the rate of the pictures now arriving.
    void setPictureRate(int numerator, int denominator);
    // Video pass thread. `picture` came from `picture.from`; returns the
    // picture to send now (null while the ring holds none for this moment),
    // and leaves in `picture` what to give back to its frame-sync once sent.
    const NDIlib_video_frame_v2_t* delayVideo(HeldPicture& picture);
    // Video pass thread (or any thread while no pass runs): gives every held
    // picture back to the frame-sync it came from.
    void releasePictures();

private:
    struct AudioRing {
        AudioRing(const DelayFormat& format, uint64_t room); // holds delays up to `room` blocks
        ~AudioRing();
        AudioRing(const AudioRing&) = delete;
        AudioRing& operator=(const AudioRing&) = delete;

        const DelayFormat format;
        std::vector<NDIlib_audio_frame_v2_t> blocks; // each owns its buffer
        std::vector<uint64_t> written; // the number of the block each holds
        NDIlib_audio_frame_v2_t mixed; // a crossfade or silence is computed here
        std::vector<float> fadeIn; // the new position's gain over the crossfade
    };
    struct PictureSlot {
        HeldPicture held;
        uint64_t written;
    };

    static uint64_t blocksFor(double seconds, const DelayFormat& format);
    static uint64_t blockBytes(const DelayFormat& format);
    static uint64_t ringBytes(uint64_t room, const DelayFormat& format);
    // Any thread but the audio thread: builds the ring asked for, if any.
    void buildAskedRing();
    // Audio thread.
    void takeNewRing();
    const NDIlib_audio_frame_v2_t* heldBlock(uint64_t blocksBack) const;
    const NDIlib_audio_frame_v2_t& crossfade(const NDIlib_audio_frame_v2_t* from, const NDIlib_audio_frame_v2_t* to);
    // Video pass thread.
    uint64_t picturesBack() const;
    void growPictureRing(uint64_t room);

    std::atomic<double> delay{0.0};

    // Control side, under changeMutex.
    std::mutex changeMutex;
    DelayFormat format;
    uint64_t formatGeneration = 0;
    uint64_t blocksAsked = 0; // room the delay last set needs
    uint64_t blocksBuilt = 0; // room of the newest ring built for `format`, in blocks

    // Handed over whole: built, not yet taken / taken out, to be freed off the audio thread.
    std::atomic<AudioRing*> pending{nullptr};
    std::atomic<AudioRing*> retired{nullptr};
    std::atomic<uint64_t> audioRoom{0};

    // The audio thread's.
    AudioRing* current = nullptr;
    uint64_t blockNumber = 0; // of the next block written
    uint64_t lastBlocksBack = 0; // the delay the previous block went out with

    // The video pass's.
    std::vector<PictureSlot> pictures;
    uint64_t pictureNumber = 0;
    int frameRateN = 0, frameRateD = 0;
    const SourceReceiver* picturesFrom = nullptr;
};
