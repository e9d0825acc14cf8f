#include "engine/AVDelayLine.h"

#include "engine/ReceiveSlot.h"
#include "ndi/NdiLibrary.h"

#include <QtCore/QDebug>

#include <cmath>

AVDelayLine::AudioRing::~AudioRing()
{
    for (auto& e : entries)
        delete[] e.p_data;
}

AVDelayLine::~AVDelayLine()
{
    delete current;
    delete pending.load();
    delete retired.load();
    releasePictures();
}

void AVDelayLine::setFormat(int sampleRate, int samplesPerBlock, int channels)
{
    std::lock_guard lock(changeMutex);
    format.sampleRate = sampleRate;
    format.samplesPerBlock = samplesPerBlock;
    format.channels = channels;
    if (delaySeconds() > 0)
        buildAudioRing(delaySeconds());
}

bool AVDelayLine::setDelay(double seconds)
{
    if (!std::isfinite(seconds) || std::abs(seconds) > kMaxSeconds) {
        qWarning() << "Delay refused:" << seconds * 1000 << "ms is beyond" << kMaxSeconds * 1000 << "ms";
        return false;
    }
    std::lock_guard lock(changeMutex);
    return buildAudioRing(seconds);
}

bool AVDelayLine::buildAudioRing(double seconds)
{
    const int sampleRate = format.sampleRate, samplesPerBlock = format.samplesPerBlock, channels = format.channels;
    uint64_t blocks = 0;
    if (seconds > 0 && sampleRate > 0 && samplesPerBlock > 0)
        blocks = static_cast<uint64_t>(sampleRate * seconds / samplesPerBlock);
    const uint64_t bytes = blocks * static_cast<uint64_t>(std::max(channels, 0)) * samplesPerBlock * sizeof(float);
    if (bytes > kMaxAudioRingBytes) {
        qWarning() << "Delay refused:" << seconds * 1000 << "ms for" << channels << "channels needs" << bytes
                   << "bytes";
        return false;
    }

    delete retired.exchange(nullptr, std::memory_order_acq_rel);
    // A new ring of silence: a changed delay never replays old audio.
    auto* ring = new AudioRing;
    ring->sampleRate = sampleRate;
    ring->samplesPerBlock = samplesPerBlock;
    ring->channels = channels;
    ring->entries.resize(blocks);
    for (auto& e : ring->entries) {
        e.sample_rate = sampleRate;
        e.no_channels = channels;
        e.no_samples = samplesPerBlock;
        e.channel_stride_in_bytes = samplesPerBlock * static_cast<int>(sizeof(float));
        e.p_data = new float[static_cast<size_t>(channels) * samplesPerBlock]();
    }
    delay.store(seconds, std::memory_order_release);
    delete pending.exchange(ring, std::memory_order_acq_rel); // one that was never taken
    return true;
}

void AVDelayLine::delayAudio(NDIlib_audio_frame_v2_t& frame)
{
    // Take a new ring only when the old one has somewhere to go but the audio thread.
    if (retired.load(std::memory_order_acquire) == nullptr) {
        if (AudioRing* fresh = pending.exchange(nullptr, std::memory_order_acq_rel)) {
            retired.store(current, std::memory_order_release);
            current = fresh;
            audioCount.store(current->entries.size(), std::memory_order_release);
        }
    }
    if (current == nullptr || current->entries.empty())
        return;
    // A ring built for another format (the device changed) is bypassed until rebuilt.
    if (frame.sample_rate != current->sampleRate || frame.no_samples != current->samplesPerBlock ||
        frame.no_channels != current->channels)
        return;
    // Swapping descriptors keeps the delay free of sample copies.
    std::swap(frame, current->entries[current->index]);
    current->index = (current->index + 1) % current->entries.size();
}

void AVDelayLine::setPictureRate(int numerator, int denominator)
{
    if (numerator == frameRateN && denominator == frameRateD)
        return;
    frameRateN = numerator;
    frameRateD = denominator;
    if (delaySeconds() < 0)
        rebuildVideoRing();
}

void AVDelayLine::rebuildVideoRing()
{
    releasePictures();
    const double seconds = delaySeconds();
    videoBuiltFor = seconds;
    videoIndex = 0;
    videoCount = 0;
    if (seconds < 0 && frameRateN != 0 && frameRateD != 0)
        videoCount = static_cast<uint64_t>(std::abs(frameRateN * seconds / frameRateD));
    if (videoCount > videoRing.size())
        videoRing.resize(videoCount);
}

void AVDelayLine::delayVideo(HeldPicture& picture)
{
    // A ring holds pictures of one source: another source starts it afresh.
    if (picture.from.get() != videoFrom) {
        videoFrom = picture.from.get();
        rebuildVideoRing();
    } else if (videoBuiltFor != delaySeconds()) {
        rebuildVideoRing();
    }
    if (videoCount == 0)
        return;
    videoIndex = (videoIndex + 1) % videoCount;
    std::swap(picture, videoRing[videoIndex]);
}

void AVDelayLine::releasePictures()
{
    for (auto& held : videoRing) {
        if (held.frame.p_data == nullptr)
            continue;
        if (held.from != nullptr)
            ndi().framesync_free_video(held.from->frameSync, &held.frame);
        held = HeldPicture{};
        held.frame.timecode = NDIlib_send_timecode_synthesize;
    }
}
