#include "ndi/SenderState.h"

#include "ndi/NdiLibrary.h"

#include <QtCore/QDebug>

#include <utility>

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
        sendInstance = std::exchange(other.sendInstance, nullptr);
        sendSettings = other.sendSettings;
        audioFrame = std::exchange(other.audioFrame, NDIlib_audio_frame_v2_t{});
        delayLine = std::move(other.delayLine);
        ndiName = std::move(other.ndiName);
        fixedChannelCount = other.fixedChannelCount;
        sendSettings.p_ndi_name = ndiName.c_str();
    }
    return *this;
}

void SenderState::release()
{
    if (sendInstance != nullptr)
        ndi().send_destroy(sendInstance);
    sendInstance = nullptr;
    delete[] audioFrame.p_data;
    audioFrame.p_data = nullptr;
}

bool SenderState::initialise(const std::string& name, uint32_t channels, int sampleRate, int samplesPerBlock)
{
    if (channels > kMaxChannels) {
        qWarning().noquote() << "Sender" << QString::fromStdString(name) << "refused:" << channels
                             << "channels, at most" << kMaxChannels;
        return false;
    }
    release();
    ndiName = name;
    fixedChannelCount = channels;
    sendSettings = NDIlib_send_create_t{};
    sendSettings.p_ndi_name = ndiName.c_str();
    sendSettings.clock_video = true;
    sendSettings.clock_audio = false; // the audio clock paces the audio

    audioFrame = NDIlib_audio_frame_v2_t{};
    audioFrame.sample_rate = sampleRate;
    audioFrame.no_channels = static_cast<int>(channels);
    audioFrame.no_samples = samplesPerBlock;
    audioFrame.channel_stride_in_bytes = samplesPerBlock * static_cast<int>(sizeof(float));
    audioFrame.p_data = new float[static_cast<size_t>(channels) * static_cast<size_t>(samplesPerBlock)]();

    if (!delayLine)
        delayLine = std::make_shared<AVDelayLine>();
    if (delayLine->delaySeconds() > 0)
        delayLine->setDelay(delayLine->delaySeconds(), sampleRate, samplesPerBlock, static_cast<int>(channels));
    return true;
}

void SenderState::createSendInstance()
{
    if (isMonitor() || sendInstance != nullptr)
        return;
    sendSettings.p_ndi_name = ndiName.c_str();
    sendInstance = ndi().send_create_v2(&sendSettings, nullptr);
    if (sendInstance == nullptr)
        qWarning().noquote() << "NDI sender" << QString::fromStdString(ndiName) << "could not be created";
}
