#include "engine/AVDelayLine.h"

#include "engine/ReceiveSlot.h"
#include "ndi/NdiLibrary.h"

#include <QtCore/QDebug>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

// The stamp of a position no block or picture was ever written to.
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
// Beyond this a picture rate is a fault of the source, and its ring would be absurd.
constexpr double kMaxPictureRate = 300.0;

NDIlib_audio_frame_v2_t silentBlock(const DelayFormat& format)
{
    NDIlib_audio_frame_v2_t block;
    block.sample_rate = format.sampleRate;
    block.no_channels = format.channels;
    block.no_samples = format.samplesPerBlock;
    block.channel_stride_in_bytes = format.samplesPerBlock * static_cast<int>(sizeof(float));
    block.p_data = new float[static_cast<size_t>(format.channels) * static_cast<size_t>(format.samplesPerBlock)]();
    return block;
}

const float* samplesOf(const NDIlib_audio_frame_v2_t* block, int channel)
{
    if (block == nullptr)
        return nullptr;
    return reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(block->p_data) +
        static_cast<size_t>(channel) * static_cast<size_t>(block->channel_stride_in_bytes));
}

} // namespace

AVDelayLine::AudioRing::AudioRing(const DelayFormat& ringFormat, uint64_t room)
    : format(ringFormat), written(room + 1, kNever), mixed(silentBlock(ringFormat))
{
    blocks.reserve(room + 1);
    for (uint64_t i = 0; i <= room; ++i)
        blocks.push_back(silentBlock(format));
    const int fade = std::min(format.samplesPerBlock, static_cast<int>(format.sampleRate * kCrossfadeSeconds));
    fadeIn.resize(static_cast<size_t>(std::max(fade, 0)));
    for (size_t i = 0; i < fadeIn.size(); ++i)
        fadeIn[i] = static_cast<float>(0.5 -
            0.5 * std::cos(std::numbers::pi * (static_cast<double>(i) + 0.5) / static_cast<double>(fadeIn.size())));
}

AVDelayLine::AudioRing::~AudioRing()
{
    for (auto& block : blocks)
        delete[] block.p_data;
    delete[] mixed.p_data;
}

AVDelayLine::~AVDelayLine()
{
    delete current;
    delete pending.load();
    delete retired.load();
    releasePictures();
}

uint64_t AVDelayLine::blocksFor(double seconds, const DelayFormat& format)
{
    if (!(seconds > 0) || format.sampleRate <= 0 || format.samplesPerBlock <= 0)
        return 0;
    return static_cast<uint64_t>(format.sampleRate * seconds / format.samplesPerBlock);
}

uint64_t AVDelayLine::blockBytes(const DelayFormat& format)
{
    return static_cast<uint64_t>(std::max(format.channels, 0)) *
        static_cast<uint64_t>(std::max(format.samplesPerBlock, 0)) * sizeof(float);
}

uint64_t AVDelayLine::ringBytes(uint64_t room, const DelayFormat& format)
{
    // One block more than the delay: the block just written stays while the oldest goes out.
    return room == 0 ? 0 : (room + 1) * blockBytes(format);
}

void AVDelayLine::setFormat(int sampleRate, int samplesPerBlock, int channels)
{
    {
        std::lock_guard lock(changeMutex);
        const DelayFormat next{sampleRate, samplesPerBlock, std::max(channels, 0)};
        if (next == format)
            return;
        format = next;
        ++formatGeneration;
        blocksBuilt = 0;
        blocksAsked = blocksFor(delaySeconds(), format);
        if (ringBytes(blocksAsked, format) > kMaxAudioRingBytes) {
            qWarning() << "Delay of" << delaySeconds() * 1000 << "ms not in effect: its ring for" << channels
                       << "channels at" << sampleRate << "Hz would take" << ringBytes(blocksAsked, format) << "bytes";
            blocksAsked = 0;
        }
        // A ring built for the old format and not taken yet is of no use any more.
        delete pending.exchange(nullptr, std::memory_order_acq_rel);
    }
    buildAskedRing(); // here, so the delay holds from the first block in the new format
}

bool AVDelayLine::setDelay(double seconds)
{
    if (!std::isfinite(seconds) || std::abs(seconds) > kMaxSeconds) {
        qWarning() << "Delay refused:" << seconds * 1000 << "ms is beyond" << kMaxSeconds * 1000 << "ms";
        return false;
    }
    uint64_t bytes = 0;
    int channels = 0;
    {
        std::lock_guard lock(changeMutex);
        const uint64_t blocks = blocksFor(seconds, format);
        bytes = ringBytes(blocks, format);
        channels = format.channels;
        if (bytes <= kMaxAudioRingBytes) {
            delay.store(seconds, std::memory_order_release);
            blocksAsked = blocks; // a burst asks only for the room its last delay needs
            return true;
        }
    }
    qWarning() << "Delay refused:" << seconds * 1000 << "ms for" << channels << "channels needs" << bytes << "bytes";
    return false;
}

void AVDelayLine::prepare()
{
    delete retired.exchange(nullptr, std::memory_order_acq_rel);
    buildAskedRing();
}

void AVDelayLine::buildAskedRing()
{
    DelayFormat ringFormat;
    uint64_t blocks = 0, generation = 0;
    {
        std::lock_guard lock(changeMutex);
        if (blocksAsked <= blocksBuilt)
            return;
        ringFormat = format;
        generation = formatGeneration;
        // Growing by half again at least spares a slider moving up a new ring at every step.
        const uint64_t bytes = blockBytes(format);
        const uint64_t most =
            std::min(blocksFor(kMaxSeconds, format), bytes != 0 ? kMaxAudioRingBytes / bytes - 1 : kNever);
        blocks = std::max(blocksAsked, std::min(blocksBuilt + blocksBuilt / 2, most));
    }
    // Built without the lock: setting a delay never waits for an allocation.
    auto ring = std::make_unique<AudioRing>(ringFormat, blocks);
    std::unique_ptr<AudioRing> untaken; // freed after the lock is let go
    std::lock_guard lock(changeMutex);
    if (generation != formatGeneration || blocks <= blocksBuilt)
        return; // the format changed meanwhile, or another thread built as large a ring
    blocksBuilt = blocks;
    untaken.reset(pending.exchange(ring.release(), std::memory_order_acq_rel));
}

void AVDelayLine::takeNewRing()
{
    // The old ring must have somewhere to go but the audio thread.
    if (retired.load(std::memory_order_acquire) != nullptr)
        return;
    AudioRing* fresh = pending.exchange(nullptr, std::memory_order_acq_rel);
    if (fresh == nullptr)
        return;
    if (current != nullptr && current->format == fresh->format) {
        // Moving descriptors keeps the audio held without copying a sample;
        // the new ring's silent buffers leave with the old ring.
        const uint64_t from = current->blocks.size(), to = fresh->blocks.size();
        const uint64_t kept = std::min({from, to, blockNumber});
        for (uint64_t number = blockNumber - kept; number < blockNumber; ++number) {
            const uint64_t i = number % from, j = number % to;
            if (current->written[i] != number)
                continue;
            std::swap(current->blocks[i], fresh->blocks[j]);
            fresh->written[j] = number;
        }
    }
    retired.store(current, std::memory_order_release);
    current = fresh;
    audioRoom.store(fresh->blocks.size() - 1, std::memory_order_release);
}

const NDIlib_audio_frame_v2_t* AVDelayLine::heldBlock(uint64_t blocksBack) const
{
    const uint64_t number = blockNumber - 1; // the block just written
    if (blocksBack > number || blocksBack >= current->blocks.size())
        return nullptr;
    const uint64_t slot = (number - blocksBack) % current->blocks.size();
    return current->written[slot] == number - blocksBack ? &current->blocks[slot] : nullptr;
}

const NDIlib_audio_frame_v2_t& AVDelayLine::crossfade(
    const NDIlib_audio_frame_v2_t* from, const NDIlib_audio_frame_v2_t* to)
{
    // A block the ring does not hold is silence, so a fade to or from it is a fade out or in.
    NDIlib_audio_frame_v2_t& out = current->mixed;
    const size_t length = static_cast<size_t>(out.no_samples);
    const size_t fade = std::min(current->fadeIn.size(), length);
    for (int c = 0; c < out.no_channels; ++c) {
        float* o = out.p_data + static_cast<size_t>(c) * length;
        const float* a = samplesOf(from, c);
        const float* b = samplesOf(to, c);
        for (size_t i = 0; i < fade; ++i) {
            const float x = a != nullptr ? a[i] : 0.0f, y = b != nullptr ? b[i] : 0.0f;
            o[i] = x + current->fadeIn[i] * (y - x);
        }
        if (b != nullptr)
            std::copy(b + fade, b + length, o + fade);
        else
            std::fill(o + fade, o + length, 0.0f);
    }
    return out;
}

const NDIlib_audio_frame_v2_t& AVDelayLine::delayAudio(NDIlib_audio_frame_v2_t& frame)
{
    takeNewRing();
    if (current == nullptr)
        return frame; // no delay yet: the block goes out undelayed
    if (frame.p_data == nullptr ||
        current->format != DelayFormat{frame.sample_rate, frame.no_samples, frame.no_channels}) {
        // A ring built for another format (the device changed) is bypassed. The
        // block still counts, so what the ring held never passes for recent audio.
        ++blockNumber;
        lastBlocksBack = 0;
        return frame;
    }
    const uint64_t slot = blockNumber % current->blocks.size();
    // Swapping descriptors keeps the delay free of sample copies.
    std::swap(frame, current->blocks[slot]);
    current->written[slot] = blockNumber++;

    // Only the latest delay set counts, however many were set since the last block.
    const uint64_t back = blocksFor(delaySeconds(), current->format);
    const NDIlib_audio_frame_v2_t* out = heldBlock(back);
    if (back != lastBlocksBack) {
        const NDIlib_audio_frame_v2_t* before = heldBlock(lastBlocksBack);
        lastBlocksBack = back;
        if (before != nullptr || out != nullptr)
            return crossfade(before, out);
    }
    return out != nullptr ? *out : crossfade(nullptr, nullptr);
}

void AVDelayLine::setPictureRate(int numerator, int denominator)
{
    if (numerator == frameRateN && denominator == frameRateD)
        return;
    frameRateN = numerator;
    frameRateD = denominator;
    if (denominator != 0 && std::abs(static_cast<double>(numerator) / denominator) > kMaxPictureRate)
        qWarning() << "Picture rate" << numerator << "/" << denominator << "beyond" << kMaxPictureRate
                   << "per second: the video delay holds at most" << kMaxPictureRate * kMaxSeconds << "pictures";
}

uint64_t AVDelayLine::picturesBack() const
{
    const double seconds = delaySeconds();
    if (!(seconds < 0) || frameRateN == 0 || frameRateD == 0)
        return 0;
    const double count = std::abs(static_cast<double>(frameRateN) * seconds / frameRateD);
    return static_cast<uint64_t>(std::min(count, kMaxPictureRate * kMaxSeconds));
}

void AVDelayLine::growPictureRing(uint64_t room)
{
    // The pictures held are the latest few: each keeps its own place in the larger ring.
    std::vector<PictureSlot> grown(room + 1, PictureSlot{HeldPicture{}, kNever});
    for (PictureSlot& slot : pictures)
        if (slot.written != kNever)
            grown[slot.written % grown.size()] = std::move(slot);
    pictures = std::move(grown);
}

const NDIlib_video_frame_v2_t* AVDelayLine::delayVideo(HeldPicture& picture)
{
    // A ring holds pictures of one source: another source's start it afresh.
    if (picture.from.get() != picturesFrom) {
        releasePictures();
        picturesFrom = picture.from.get();
    }
    const uint64_t back = picturesBack();
    if (back >= pictures.size() && back != 0)
        growPictureRing(back);
    if (pictures.empty())
        return &picture.frame;

    const uint64_t number = pictureNumber++;
    PictureSlot& into = pictures[number % pictures.size()];
    std::swap(picture, into.held);
    into.written = number;
    if (back > number)
        return nullptr;
    const PictureSlot& held = pictures[(number - back) % pictures.size()];
    return held.written == number - back ? &held.held.frame : nullptr;
}

void AVDelayLine::releasePictures()
{
    for (PictureSlot& slot : pictures) {
        if (slot.held.frame.p_data != nullptr && slot.held.from != nullptr)
            ndi().framesync_free_video(slot.held.from->frameSync, &slot.held.frame);
        slot = PictureSlot{HeldPicture{}, kNever};
    }
}
