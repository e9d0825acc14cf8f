#include "engine/NDITx.h"

#include "ndi/NdiLibrary.h"

#include <algorithm>
#include <cstring>

NDITx::NDITx(SenderMap& sendersMap) : senders(sendersMap) { }

void NDITx::processBlock()
{
    copyChannels();
    delayAndSend();
}

namespace {

// The captured block of a feed's source, when it may be heard now: a source is
// heard only with a fresh block, the previous block is never repeated.
const NDIlib_audio_frame_v2_t* usableBlock(const ChannelFeed& feed)
{
    const ReceiveSlot* slot = feed.slot;
    if (slot == nullptr || !slot->active || !slot->freshAudio || !slot->frames.active)
        return nullptr;
    const NDIlib_audio_frame_v2_t& in = slot->frames.audioFrame;
    if (in.p_data == nullptr || in.no_samples <= 0 || feed.channel >= static_cast<uint32_t>(in.no_channels))
        return nullptr;
    return &in;
}

} // namespace

void NDITx::copyChannels()
{
    for (auto& [name, sender] : senders) {
        NDIlib_audio_frame_v2_t& out = sender.audioFrame;
        if (out.p_data == nullptr)
            continue;
        const size_t length = static_cast<size_t>(std::max(out.no_samples, 0));
        const size_t channels = std::min(static_cast<size_t>(std::max(out.no_channels, 0)), sender.feeds.size());
        for (size_t ch = 0; ch < channels; ++ch) {
            float* destination = out.p_data + ch * length;
            const ChannelFeed& feed = sender.feeds[ch];
            const NDIlib_audio_frame_v2_t* in = usableBlock(feed);
            if (in == nullptr) {
                std::fill_n(destination, length, 0.0f);
                continue;
            }
            const size_t available = std::min(length, static_cast<size_t>(in->no_samples));
            const auto* from = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(in->p_data) +
                static_cast<size_t>(feed.channel) * static_cast<size_t>(in->channel_stride_in_bytes));
            std::memcpy(destination, from, available * sizeof(float));
            std::fill(destination + available, destination + length, 0.0f);
        }
    }
}

void NDITx::delayAndSend()
{
    for (auto& [name, sender] : senders) {
        if (!sender.output)
            continue;
        if (sender.isMonitor()) {
            meter(sender, sender.audioFrame); // played locally, never sent or delayed
            continue;
        }
        const NDIlib_audio_frame_v2_t& out = sender.output->delayLine.delayAudio(sender.audioFrame);
        NDIlib_send_instance_t instance = sender.output->instance();
        if (out.p_data != nullptr && instance != nullptr) {
            ndi().send_send_audio_v2(instance, &out);
            sender.output->audioBlocksSent.fetch_add(1, std::memory_order_relaxed);
        }
        meter(sender, out);
    }
}

void NDITx::meter(SenderState& sender, const NDIlib_audio_frame_v2_t& out)
{
    ChannelLevels& levels = sender.output->levels;
    levels.beginBlock();
    // A block sent as it was copied has its sources' levels, measured once already at the capture.
    const bool asCopied = out.p_data == sender.audioFrame.p_data;
    const size_t channels = std::min(sender.feeds.size(), levels.channels());
    for (size_t ch = 0; ch < channels; ++ch) {
        const ChannelFeed& feed = sender.feeds[ch];
        float peak = 0;
        double sumSquares = 0;
        size_t samples = 0;
        if (asCopied) {
            if (usableBlock(feed) != nullptr && feed.slot->levels->lastBlock(feed.channel, peak, sumSquares, samples))
                levels.add(ch, peak, sumSquares, samples);
        } else if (feed.slot != nullptr && out.p_data != nullptr && static_cast<int>(ch) < out.no_channels) {
            // Delayed: what goes out is an earlier block.
            const size_t n = static_cast<size_t>(std::max(out.no_samples, 0));
            ChannelLevels::measure(out.p_data + ch * n, n, peak, sumSquares);
            levels.add(ch, peak, sumSquares, n);
        }
    }
}
