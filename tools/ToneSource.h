#pragma once

#include "ndi/NdiApi.h"

#include <cstdint>
#include <utility>
#include <vector>

// The audio of one test source: channel c (0-based) carries a sine at
// 375·(c+1) Hz with peak amplitude 1.0, which NDI's level convention reads as
// −20 dBFS (float 10.0 is digital full scale).
//
// The sender ticks once per 512 samples of 48 kHz. A source at another rate
// sends floor((k+1)·r·512/48000) − floor(k·r·512/48000) samples at tick k,
// so its long-term rate is exact without fractional samples.
class ToneSource {
public:
    static constexpr int tickSamples = 512;
    static constexpr int tickRate = 48000;
    static constexpr double amplitude = 1.0;

    static double toneFrequency(int channel) { return 375.0 * (channel + 1); }

    // `stampedRate` is the rate written on the frames. `ppmOffset` makes the
    // source send that many parts per million more (or fewer) samples per
    // tick than it stamps, as a sender with a drifting clock would.
    ToneSource(int channels, int stampedRate, double ppmOffset = 0.0);

    // Fills the next tick's block and returns the frame that carries it. The
    // buffer was sized here at construction and is reused. Sender thread.
    const NDIlib_audio_frame_v2_t& nextBlock();

    int channels() const { return channelCount; }
    int stampedRate() const { return rate; }

private:
    int channelCount;
    int rate;
    // Samples per tick as the exact fraction numerator / denominator; the
    // remainder carries the fractional part from tick to tick.
    int64_t numerator;
    int64_t denominator;
    int64_t remainder = 0;
    // Phase in cycles, one per channel; double so hours of blocks stay in tune.
    std::vector<double> phase;
    std::vector<double> increment;
    std::vector<std::pair<double, double>> rotation; // cos, sin of one sample's step
    std::vector<float> buffer;
    int maxSamples;
    NDIlib_audio_frame_v2_t frame;
};
