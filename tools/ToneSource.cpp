#include "tools/ToneSource.h"

#include <cmath>
#include <numbers>

ToneSource::ToneSource(int channels, int stampedRate, double ppmOffset) : channelCount(channels), rate(stampedRate)
{
    // Parts per billion: ±100 ppm stays exact and 192 kHz still fits in 64 bits.
    const int64_t billion = 1'000'000'000;
    const auto offset = static_cast<int64_t>(std::llround(ppmOffset * 1000.0));
    numerator = static_cast<int64_t>(stampedRate) * tickSamples * (billion + offset);
    denominator = static_cast<int64_t>(tickRate) * billion;
    maxSamples = static_cast<int>(numerator / denominator) + 1;

    for (int c = 0; c < channels; ++c) {
        phase.push_back(0.0);
        increment.push_back(toneFrequency(c) / stampedRate);
        const double step = 2.0 * std::numbers::pi * increment.back();
        rotation.emplace_back(std::cos(step), std::sin(step));
    }
    buffer.assign(static_cast<size_t>(maxSamples) * static_cast<size_t>(channels), 0.0f);

    frame.sample_rate = stampedRate;
    frame.no_channels = channels;
    frame.p_data = buffer.data();
}

const NDIlib_audio_frame_v2_t& ToneSource::nextBlock()
{
    remainder += numerator;
    const auto samples = static_cast<int>(remainder / denominator);
    remainder %= denominator;

    // A rotating phasor makes each sample a few multiplications instead of a
    // sine; re-anchoring it to the accumulated phase every block keeps its
    // rounding from ever adding up.
    for (int c = 0; c < channelCount; ++c) {
        float* out = buffer.data() + static_cast<size_t>(c) * static_cast<size_t>(samples);
        const double angle = 2.0 * std::numbers::pi * phase[c];
        double re = std::cos(angle);
        double im = std::sin(angle);
        const double wr = rotation[c].first;
        const double wi = rotation[c].second;
        for (int i = 0; i < samples; ++i) {
            out[i] = static_cast<float>(amplitude * im);
            const double nextRe = re * wr - im * wi;
            im = re * wi + im * wr;
            re = nextRe;
        }
        const double p = phase[c] + samples * increment[c];
        phase[c] = p - std::floor(p);
    }
    frame.no_samples = samples;
    frame.channel_stride_in_bytes = samples * static_cast<int>(sizeof(float));
    return frame;
}
