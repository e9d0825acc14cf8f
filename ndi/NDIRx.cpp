#include "ndi/NDIRx.h"

#include "ndi/NdiLibrary.h"

#include <algorithm>
#include <iostream>
#include <thread>

namespace {

unsigned captureWorkers()
{
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

} // namespace

NDIRx::NDIRx(ReceiveSlotList& slotList, SourceFramesMap& framesMap, SourceUseCounts& counts,
             SourceFreshAudio& fresh, NDISourceFinder& sourceFinder, VideoPassThrough& videoPass,
             Listener& rxListener)
    : slots(slotList)
    , frames(framesMap)
    , useCounts(counts)
    , freshAudio(fresh)
    , finder(sourceFinder)
    , video(videoPass)
    , listener(rxListener)
    , videoWanted(rxListener.videoWanted())
    , probeTask([this] { probeSources(probeItems); })
    , captureTasks(
          [this](size_t k) {
              captureRange(k * kSlotsPerCaptureTask, std::min((k + 1) * kSlotsPerCaptureTask, slots.size()));
          },
          captureWorkers())
{
}

NDIRx::~NDIRx()
{
    stop();
}

void NDIRx::stop()
{
    stopRequested = true;
    probeTask.wait();
    captureTasks.wait();
}

std::unique_ptr<ReceiveSeed> NDIRx::makeReceiveSeed(const std::string& sourceName) const
{
    auto seed = std::unique_ptr<ReceiveSeed>(new ReceiveSeed{sourceName, false, ReceiveSlot(sourceName),
                                                             std::make_unique<AVFramesContainer>(), false});
    return seed;
}

void NDIRx::setFormat(int rate, int blockLength)
{
    sampleRate = rate;
    bufferSize = blockLength;
}

bool NDIRx::inUse(const ReceiveSlot& slot)
{
    const auto count = useCounts.find(slot.sourceName);
    return (count != useCounts.end() && count->second > 0) || listener.isVideoSourceInUse(slot.sourceName);
}

void NDIRx::tearDown(ReceiveSlot& slot)
{
    if (const auto container = frames.find(slot.sourceName); container != frames.end()) {
        container->second->releaseFrames();
        container->second->frameSync = nullptr;
    }
    video.releasePicturesOf(slot.frameSync);
    slot.closeReceiver();
}

void NDIRx::processBlock()
{
    // The capture of the last block must be complete before its frames are read,
    // and before a slot's receiver may go.
    const auto beforeWait = std::chrono::steady_clock::now();
    captureTasks.wait();
    const auto now = std::chrono::steady_clock::now();
    lastCaptureWaitNanos.store(std::chrono::duration_cast<std::chrono::nanoseconds>(now - beforeWait).count(),
                               std::memory_order_relaxed);

    if (!probeClockStarted) {
        lastProbeTime = now; // the first probe starts 2 s after the first block
        probeClockStarted = true;
    }
    const bool probeDue = now - lastProbeTime >= kProbeInterval;
    // Pictures of a frame-sync may sit in a running pass: tear down only while none runs.
    const bool mayTearDown = !video.running();
    for (ReceiveSlot& slot : slots)
        if (slot.frameSync != nullptr && mayTearDown && !inUse(slot))
            tearDown(slot);

    if (probeDue) {
        lastProbeTime = now;
        if (!probeTask.running()) {
            probeItems.clear();
            for (const ReceiveSlot& slot : slots)
                if (slot.frameSync == nullptr || inUse(slot))
                    probeItems.push_back({slot.sourceName, slot.channelCount});
            probeTask.tryStart();
        }
    }
}

void NDIRx::startCapture()
{
    captureTasks.start(captureTaskCount());
}

void NDIRx::waitForCapture()
{
    captureTasks.wait();
}

void NDIRx::captureRange(size_t first, size_t end)
{
    for (size_t i = first; i < end; ++i) {
        ReceiveSlot& slot = slots[i];
        const auto container = frames.find(slot.sourceName);
        if (container == frames.end())
            continue;
        FramesContainer& c = *container->second;
        c.releaseAudio();
        if (!inUse(slot) || !slot.active)
            continue;
        if (slot.frameSync == nullptr) {
            slot.openReceiver(); // its first block is captured in the next block
            continue;
        }
        NDIlib_audio_frame_v2_t frame;
        ndi().framesync_capture_audio(slot.frameSync, &frame, sampleRate, 0, bufferSize);
        c.audioFrame = frame;
        c.frameSync = slot.frameSync;
        if (const auto flag = freshAudio.find(slot.sourceName); flag != freshAudio.end())
            flag->second = true;
    }
}

void NDIRx::probeSources(const std::vector<ProbeItem>& items)
{
    finder.poll();
    for (const std::string& name : finder.sources)
        std::cerr << name << '\n';
    std::cerr << std::flush;

    for (const ProbeItem& item : items) {
        if (stopRequested)
            return;
        probeOne(item, finder.sources);
    }
}

uint32_t NDIRx::probeOne(const ProbeItem& item, const std::set<std::string>& present)
{
    const std::string& name = item.sourceName;
    if (present.count(name) == 0) {
        listener.sourceChannelCountDetected(name, kNoChannel);
        return kNoChannel;
    }
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_ndi_name = name.c_str();
    settings.color_format = NDIlib_recv_color_format_UYVY_BGRA;
    settings.bandwidth = NDIlib_recv_bandwidth_highest;
    NDIlib_recv_instance_t receiver = ndi().recv_create_v4(&settings, nullptr);
    if (receiver == nullptr)
        return item.channelCount;

    const auto known = static_cast<int32_t>(item.channelCount);
    int32_t ch = known;
    NDIlib_audio_frame_v3_t audio;
    NDIlib_frame_type_e type;
    do
        type = ndi().recv_capture_v3(receiver, nullptr, &audio, nullptr, known < 1 ? 100 : 1000);
    while (type == NDIlib_frame_type_status_change && !stopRequested);

    if (type == NDIlib_frame_type_audio) {
        const int32_t n = audio.no_channels;
        if (n != known) {
            ch = n;
            if (n != 0)
                listener.sourceChannelCountDetected(name, static_cast<uint32_t>(n));
        }
        ndi().recv_free_audio_v3(receiver, &audio);
    } else if (ch > 0) {
        listener.sourceChannelCountDetected(name, kNoChannel);
        ch = -1;
    }

    if (videoWanted && ch < 1) {
        NDIlib_video_frame_v2_t picture;
        do
            type = ndi().recv_capture_v2(receiver, &picture, nullptr, nullptr, 1000);
        while (type == NDIlib_frame_type_status_change && !stopRequested);
        if (type == NDIlib_frame_type_video) {
            if (item.channelCount != 0)
                listener.sourceChannelCountDetected(name, 0);
            ndi().recv_free_video_v2(receiver, &picture);
            ndi().recv_destroy(receiver);
            return 0;
        }
        if (item.channelCount != kNoChannel)
            listener.sourceChannelCountDetected(name, kNoChannel);
    }
    ndi().recv_destroy(receiver);
    return static_cast<uint32_t>(ch);
}
