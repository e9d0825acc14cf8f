#include "ndi/NDITx.h"

#include "ndi/NdiLibrary.h"

#include <algorithm>
#include <cstring>

NDITx::NDITx(SenderMap& sendersMap, SourceFramesMap& framesMap, SourceFreshAudio& fresh,
             SenderChannelMappings& mappings)
    : senders(sendersMap)
    , frames(framesMap)
    , freshAudio(fresh)
    , channelMappings(mappings)
{
}

void NDITx::setFormat(int rate, int blockLength)
{
    sampleRate = rate;
    bufferSize = blockLength;
}

void NDITx::processBlock()
{
    copyChannels();
    delayAndSend();
}

void NDITx::copyChannels()
{
    for (auto& [name, sender] : senders) {
        NDIlib_audio_frame_v2_t& out = sender.audioFrame;
        if (out.p_data == nullptr)
            continue;
        const auto mappings = channelMappings.find(name);
        const size_t length = static_cast<size_t>(std::max(out.no_samples, 0));
        for (int ch = 0; ch < out.no_channels; ++ch) {
            float* destination = out.p_data + static_cast<size_t>(ch) * length;
            const FramesContainer* source = nullptr;
            uint32_t sourceChannel = kNoChannel;
            if (mappings != channelMappings.end() && static_cast<size_t>(ch) < mappings->second.size()) {
                const ChannelMapping& m = mappings->second[ch];
                const auto holder = frames.find(m.sourceName);
                const auto fresh = freshAudio.find(m.sourceName);
                if (m.sourceChannel != kNoChannel && holder != frames.end() && holder->second->active &&
                    fresh != freshAudio.end() && fresh->second) {
                    const NDIlib_audio_frame_v2_t& in = holder->second->audioFrame;
                    if (in.p_data != nullptr && in.no_samples > 0 && m.sourceChannel < static_cast<uint32_t>(in.no_channels)) {
                        source = holder->second.get();
                        sourceChannel = m.sourceChannel;
                    }
                }
            }
            if (source == nullptr) {
                std::fill_n(destination, length, 0.0f);
                continue;
            }
            const NDIlib_audio_frame_v2_t& in = source->audioFrame;
            const size_t available = std::min(length, static_cast<size_t>(in.no_samples));
            const auto* from = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(in.p_data) +
                                                              static_cast<size_t>(sourceChannel) * in.channel_stride_in_bytes);
            std::memcpy(destination, from, available * sizeof(float));
            std::fill(destination + available, destination + length, 0.0f);
        }
    }
}

void NDITx::delayAndSend()
{
    for (auto& [name, sender] : senders) {
        if (sender.isMonitor())
            continue; // played locally, never sent or delayed
        sender.delayLine->delayAudio(sender.audioFrame);
        if (sender.audioFrame.p_data != nullptr && sender.sendInstance != nullptr)
            ndi().send_send_audio_v2(sender.sendInstance, &sender.audioFrame);
    }
}
