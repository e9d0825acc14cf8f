#include "FrameSync.h"

#include "Log.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace loopback {

namespace {

// Audio kept beyond one block against scheduling jitter, in seconds. 40 ms
// carries 64 sources × 8 channels from another process through a 2-core
// machine that builds meanwhile as well as 50 ms did (kestrix-bench-transport);
// 20 ms is enough only while nothing else runs. A busier machine can stall a
// sender for longer, so every dropout widens the margin, up to a bound.
constexpr double kFirstJitterMargin = 0.040;
constexpr double kJitterMarginStep = 0.025;
constexpr double kMaxJitterMargin = 0.250;
constexpr double kGainPerSecond = 0.05; // ratio change per second of queue error
constexpr double kMaxCorrection = 0.005; // never bend the pitch by more than 0.5 %
constexpr double kAverageWeight = 0.02; // smoothing of the measured depth (about 50 pulls)
constexpr int kLearningPulls = 100; // pulls that measure where the queue settles after priming
constexpr double kMaxQueueSeconds = 1.0; // beyond this nobody is pulling: drop the oldest

} // namespace

FrameSync::FrameSync() : jitterMargin(kFirstJitterMargin) { }

FrameSync::~FrameSync()
{
    if (converter != nullptr)
        src_delete(converter);
}

double FrameSync::targetDepth(double neededInput) const
{
    return neededInput + std::max(lastInputFrames, 256) + jitterMargin * inRate;
}

void FrameSync::dropOldest(size_t frames)
{
    fifoStart += std::min(frames, queuedFrames());
    if (fifoStart * 2 > fifo.size() / std::max(inChannels, 1) || queuedFrames() == 0) {
        fifo.erase(fifo.begin(), fifo.begin() + static_cast<std::ptrdiff_t>(fifoStart * inChannels));
        fifoStart = 0;
    }
}

void FrameSync::resetConverter()
{
    if (converter != nullptr)
        src_delete(converter);
    converter = nullptr;
    primed = false;
    correction = 1.0;
}

void FrameSync::pushAudio(const ReceivedFrame& frame)
{
    const WireHeader& h = frame.wire.header;
    std::lock_guard lock(mutex);
    if (h.channels != inChannels || h.sampleRate != inRate) {
        // A new format starts afresh; the caller hears a short silence.
        fifo.clear();
        fifoStart = 0;
        inChannels = h.channels;
        inRate = h.sampleRate;
        resetConverter();
    }
    lastInputFrames = h.samples;
    const size_t start = fifo.size();
    fifo.resize(start + static_cast<size_t>(h.channels) * h.samples);
    const auto* planar = reinterpret_cast<const float*>(frame.wire.payload);
    float* out = fifo.data() + start;
    for (int i = 0; i < h.samples; ++i)
        for (int c = 0; c < h.channels; ++c)
            *out++ = planar[static_cast<size_t>(c) * h.samples + i];
    if (queuedFrames() > kMaxQueueSeconds * inRate) {
        dropOldest(queuedFrames() - static_cast<size_t>(targetDepth(0)));
        primed = false;
    }
}

void FrameSync::pushVideo(std::unique_ptr<ReceivedFrame> frame)
{
    std::shared_ptr<ReceivedFrame> previous;
    std::lock_guard lock(mutex);
    previous = std::move(latestVideo); // freed after the lock is released
    latestVideo = std::move(frame);
}

int FrameSync::resample(int outRate, int samples)
{
    if (converter == nullptr || converterOutRate != outRate) {
        if (converter != nullptr)
            src_delete(converter);
        // Equal rates only need the small drift correction; a cheap converter does that well.
        const int type = outRate == inRate ? SRC_LINEAR : SRC_SINC_FASTEST;
        int error = 0;
        converter = src_new(type, inChannels, &error);
        converterOutRate = outRate;
        if (converter == nullptr) {
            logLine("resampler unavailable: %s", src_strerror(error));
            return 0;
        }
    }
    const double ratio = static_cast<double>(outRate) / inRate / correction;
    interleavedOut.resize(static_cast<size_t>(samples) * inChannels);
    int produced = 0;
    while (produced < samples) {
        // Feed only what this block needs, so the queue depth stays a true measure.
        const long wanted = static_cast<long>(std::ceil((samples - produced) / ratio)) + 2;
        SRC_DATA d{};
        d.data_in = fifo.data() + fifoStart * inChannels;
        d.input_frames = std::min<long>(wanted, static_cast<long>(queuedFrames()));
        d.data_out = interleavedOut.data() + static_cast<size_t>(produced) * inChannels;
        d.output_frames = samples - produced;
        d.src_ratio = ratio;
        if (src_process(converter, &d) != 0)
            break;
        fifoStart += static_cast<size_t>(d.input_frames_used);
        produced += static_cast<int>(d.output_frames_gen);
        if (d.input_frames_used == 0 && d.output_frames_gen == 0)
            break;
    }
    dropOldest(0);
    return produced;
}

float* FrameSync::takeBuffer(size_t floats)
{
    Buffer buffer;
    auto fits =
        std::find_if(spareBuffers.begin(), spareBuffers.end(), [&](const Buffer& b) { return b.floats >= floats; });
    if (fits != spareBuffers.end()) {
        buffer = std::move(*fits);
        spareBuffers.erase(fits);
    } else {
        buffer.data.reset(new float[floats]);
        buffer.floats = floats;
    }
    std::fill_n(buffer.data.get(), floats, 0.0f);
    float* data = buffer.data.get();
    audioHandedOut.push_back(std::move(buffer));
    return data;
}

void FrameSync::captureAudio(NDIlib_audio_frame_v2_t& out, int sampleRate, int channels, int samples)
{
    std::lock_guard lock(mutex);
    out = NDIlib_audio_frame_v2_t{};
    const int outRate = sampleRate > 0 ? sampleRate : inRate;
    const int outChannels = channels > 0 ? channels : inChannels;
    out.sample_rate = outRate;
    out.no_channels = outChannels;
    out.no_samples = 0;
    if (samples <= 0 || samples > kMaxSamples || outChannels <= 0 || outChannels > kMaxChannels || outRate < 0 ||
        outRate > kMaxSampleRate) {
        out.no_channels = std::max(outChannels, 0); // nothing to give: no audio yet, or an impossible request
        return;
    }

    float* planar = takeBuffer(static_cast<size_t>(outChannels) * samples);
    out.p_data = planar;
    out.no_samples = samples;
    out.channel_stride_in_bytes = samples * 4;
    if (inChannels == 0 || outRate == 0)
        return; // silence of the requested shape

    const double neededInput = static_cast<double>(samples) * inRate / outRate;
    const double target = targetDepth(neededInput);
    if (!primed && queuedFrames() >= target) {
        dropOldest(queuedFrames() - static_cast<size_t>(target)); // start with the margin, not more
        primed = true;
        correction = 1.0;
        learnedPulls = 0;
        depthAverage = 0;
    } else if (primed && queuedFrames() > 2 * target + 0.1 * inRate) {
        // The caller stopped pulling for a while: catch up at once rather than bend the pitch for minutes.
        dropOldest(queuedFrames() - static_cast<size_t>(target));
    }
    if (!primed)
        return;

    const int produced = resample(outRate, samples);
    const int copied = std::min(outChannels, inChannels);
    for (int c = 0; c < copied; ++c) {
        float* dst = planar + static_cast<size_t>(c) * samples;
        const float* src = interleavedOut.data() + c;
        for (int i = 0; i < produced; ++i)
            dst[i] = src[static_cast<size_t>(i) * inChannels];
    }
    if (produced < samples) {
        primed = false; // ran dry: wait until a wider margin is back before playing again
        jitterMargin = std::min(jitterMargin + kJitterMarginStep, kMaxJitterMargin);
        return;
    }
    // Where the queue settles depends on how arrivals and pulls interleave and on
    // what the resampler holds; so the set point is measured, not assumed, and
    // only a drift away from it (clocks that differ) bends the ratio.
    const double depth = static_cast<double>(queuedFrames());
    if (learnedPulls < kLearningPulls) {
        depthAverage += depth / kLearningPulls;
        if (++learnedPulls == kLearningPulls)
            setPoint = depthAverage;
        return;
    }
    depthAverage += kAverageWeight * (depth - depthAverage);
    const double errorSeconds = (depthAverage - setPoint) / inRate;
    correction = 1.0 + std::clamp(kGainPerSecond * errorSeconds, -kMaxCorrection, kMaxCorrection);
}

void FrameSync::freeAudio(NDIlib_audio_frame_v2_t& frame)
{
    std::lock_guard lock(mutex);
    auto it = std::find_if(
        audioHandedOut.begin(), audioHandedOut.end(), [&](const Buffer& b) { return b.data.get() == frame.p_data; });
    if (it == audioHandedOut.end())
        return;
    if (spareBuffers.size() < 8)
        spareBuffers.push_back(std::move(*it));
    audioHandedOut.erase(it);
    frame.p_data = nullptr;
}

void FrameSync::captureVideo(NDIlib_video_frame_v2_t& out)
{
    std::lock_guard lock(mutex);
    if (!latestVideo) {
        std::memset(static_cast<void*>(&out), 0, sizeof out); // no picture yet: all zero
        return;
    }
    out = latestVideo->videoFrame();
    videoHandedOut.push_back(latestVideo);
}

void FrameSync::freeVideo(NDIlib_video_frame_v2_t& frame)
{
    std::shared_ptr<ReceivedFrame> released;
    std::lock_guard lock(mutex);
    auto it = std::find_if(
        videoHandedOut.begin(), videoHandedOut.end(), [&](const auto& f) { return f->wire.payload == frame.p_data; });
    if (it != videoHandedOut.end()) {
        released = std::move(*it);
        videoHandedOut.erase(it);
    }
}

int FrameSync::queueDepth()
{
    std::lock_guard lock(mutex);
    return static_cast<int>(queuedFrames());
}

} // namespace loopback
