#include "engine/SenderState.h"

#include "ndi/NdiLibrary.h"

#include <QtCore/QDebug>

#include <mutex>
#include <set>
#include <utility>

namespace {

// Names our own NDI instances publish now, across every router of the process.
struct PublishedNames {
    std::mutex mutex;
    std::set<std::string> names;
};

PublishedNames& publishedNames()
{
    static PublishedNames names;
    return names;
}

NDIlib_audio_frame_v2_t silentBlock(uint32_t channels, int sampleRate, int samplesPerBlock)
{
    NDIlib_audio_frame_v2_t frame;
    frame.sample_rate = sampleRate;
    frame.no_channels = static_cast<int>(channels);
    frame.no_samples = samplesPerBlock;
    frame.channel_stride_in_bytes = samplesPerBlock * static_cast<int>(sizeof(float));
    frame.p_data = new float[static_cast<size_t>(channels) * static_cast<size_t>(samplesPerBlock)]();
    return frame;
}

} // namespace

SenderOutput::SenderOutput(std::string name, size_t channels) : ndiName(std::move(name)), levels(channels) { }

SenderOutput::~SenderOutput()
{
    if (NDIlib_send_instance_t instance = sendInstance.exchange(nullptr))
        ndi().send_destroy(instance);
    if (holdsName) {
        PublishedNames& published = publishedNames();
        std::lock_guard lock(published.mutex);
        published.names.erase(ndiName);
    }
}

bool SenderOutput::tryPublish()
{
    if (isMonitor() || instance() != nullptr)
        return true;
    if (!holdsName) {
        PublishedNames& published = publishedNames();
        std::lock_guard lock(published.mutex);
        if (!published.names.insert(ndiName).second)
            return false;
        holdsName = true;
    }
    NDIlib_send_create_t settings;
    settings.p_ndi_name = ndiName.c_str();
    settings.p_groups = nullptr;
    settings.clock_video = true;
    settings.clock_audio = false; // the audio clock paces the audio
    NDIlib_send_instance_t created = ndi().send_create_v2(&settings, nullptr);
    if (created == nullptr)
        qWarning() << "NDI sender" << QString::fromStdString(ndiName) << "could not be created";
    sendInstance.store(created, std::memory_order_release);
    return true;
}

SenderState::~SenderState()
{
    release();
}

SenderState::SenderState(SenderState&& other) noexcept
{
    *this = std::move(other);
}

SenderState& SenderState::operator=(SenderState&& other) noexcept
{
    if (this != &other) {
        release();
        audioFrame = std::exchange(other.audioFrame, NDIlib_audio_frame_v2_t{});
        mappings = std::move(other.mappings);
        feeds = std::move(other.feeds);
        videoSource = std::move(other.videoSource);
        output = std::move(other.output);
    }
    return *this;
}

void SenderState::release()
{
    delete[] audioFrame.p_data;
    audioFrame.p_data = nullptr;
}

bool SenderState::initialise(const std::string& name, uint32_t channels, int sampleRate, int samplesPerBlock)
{
    if (channels > kMaxChannels) {
        qWarning() << "Sender" << QString::fromStdString(name) << "refused:" << channels << "channels, at most"
                   << kMaxChannels;
        return false;
    }
    release();
    audioFrame = silentBlock(channels, sampleRate, samplesPerBlock);
    mappings.assign(channels, ChannelMapping{});
    feeds.assign(channels, ChannelFeed{});
    videoSource.clear();
    output = std::make_shared<SenderOutput>(name, channels);
    output->delayLine.setFormat(sampleRate, samplesPerBlock, static_cast<int>(channels));
    return true;
}

void SenderState::reformat(int sampleRate, int samplesPerBlock)
{
    release();
    audioFrame = silentBlock(channelCount(), sampleRate, samplesPerBlock);
    if (output)
        output->delayLine.setFormat(sampleRate, samplesPerBlock, static_cast<int>(channelCount()));
}
