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
    // Neighbouring channels mostly come from one source: look it up once for the run.
    const std::string* lastName = nullptr;
    const FramesContainer* lastHolder = nullptr;
    for (auto& [name, sender] : senders) {
        NDIlib_audio_frame_v2_t& out = sender.audioFrame;
        if (out.p_data == nullptr)
            continue;
        const auto mappings = channelMappings.find(name);
        const size_t length = static_cast<size_t>(std::max(out.no_samples, 0));
        for (int ch = 0; ch < out.no_channels; ++ch) {
            float* destination = out.p_data + static_cast<size_t>(ch) * length;
            const ChannelMapping* m = mappings != channelMappings.end() && static_cast<size_t>(ch) < mappings->second.size()
                                          ? &mappings->second[static_cast<size_t>(ch)]
                                          : nullptr;
            if (m == nullptr || m->sourceChannel == kNoChannel) {
                std::fill_n(destination, length, 0.0f);
                continue;
            }
            if (lastName == nullptr || *lastName != m->sourceName) {
                lastName = &m->sourceName;
                lastHolder = usableSource(m->sourceName);
            }
            const NDIlib_audio_frame_v2_t* in = lastHolder != nullptr ? &lastHolder->audioFrame : nullptr;
            if (in == nullptr || m->sourceChannel >= static_cast<uint32_t>(in->no_channels)) {
                std::fill_n(destination, length, 0.0f);
                continue;
            }
            const size_t available = std::min(length, static_cast<size_t>(in->no_samples));
            const auto* from = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(in->p_data) +
                                                              static_cast<size_t>(m->sourceChannel) *
                                                                  static_cast<size_t>(in->channel_stride_in_bytes));
            std::memcpy(destination, from, available * sizeof(float));
            std::fill(destination + available, destination + length, 0.0f);
        }
    }
}

const FramesContainer* NDITx::usableSource(const std::string& sourceName) const
{
    // A source is heard only with a fresh block: the previous block is never repeated.
    const auto holder = frames.find(sourceName);
    const auto fresh = freshAudio.find(sourceName);
    if (holder == frames.end() || !holder->second->active || fresh == freshAudio.end() || !fresh->second)
        return nullptr;
    const NDIlib_audio_frame_v2_t& in = holder->second->audioFrame;
    return in.p_data != nullptr && in.no_samples > 0 ? holder->second.get() : nullptr;
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
