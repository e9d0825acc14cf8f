#include "engine/NDIRx.h"

#include "engine/PrintableText.h"
#include "ndi/NdiLibrary.h"

#include <algorithm>
#include <iostream>
#include <thread>

namespace {

unsigned workers()
{
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

} // namespace

NDIRx::NDIRx(ReceiveSlotList& slotList, NDISourceFinder& sourceFinder, Listener& rxListener)
    : slots(slotList), finder(sourceFinder), listener(rxListener), videoWanted(rxListener.videoWanted()),
      discoveryTask([this] { discoverSources(); }), probeTask([this] { probeSources(); }),
      captureWorkers([this](ReceiveSlot& slot) { captureSlot(slot); }, workers())
{
}

NDIRx::~NDIRx()
{
    stop();
}

void NDIRx::stop()
{
    stopRequested = true;
    discoveryTask.stop();
    probeTask.stop();
    captureWorkers.waitForAll();
}

std::unique_ptr<ReceiveSeed> NDIRx::makeReceiveSeed(const std::string& sourceName)
{
    auto seed = std::make_unique<ReceiveSeed>();
    seed->slot = std::make_unique<ReceiveSlot>(sourceName);
    return seed;
}

void NDIRx::setFormat(int rate, int blockLength)
{
    sampleRate = rate;
    bufferSize = blockLength;
}

void NDIRx::exchangeReceiver(ReceiveSlot& slot, std::chrono::steady_clock::time_point now)
{
    const bool wanted = slot.wanted(now);
    // Routed sources get everything the source sends; one only previewed, its audio alone.
    const NDIlib_recv_bandwidth_e bandwidth =
        slot.routed() ? NDIlib_recv_bandwidth_highest : NDIlib_recv_bandwidth_audio_only;
    const bool tooNarrow = slot.receiver && slot.receiver->bandwidth != NDIlib_recv_bandwidth_highest &&
        bandwidth == NDIlib_recv_bandwidth_highest;
    if (slot.incomingReady.load(std::memory_order_acquire)) {
        const bool take = wanted && (!slot.receiver || tooNarrow);
        if (!slot.outgoingFull.load(std::memory_order_acquire)) {
            // The one given up (or one made after the source stopped being wanted) goes back.
            if (take && slot.receiver) {
                slot.outgoingAudio = slot.frames.takeAudio();
                slot.frames.frameSync = nullptr;
                slot.outgoing = std::move(slot.receiver);
            }
            if (take)
                slot.receiver = std::move(slot.incoming);
            else
                slot.outgoing = std::move(slot.incoming);
            slot.outgoingFull.store(slot.outgoing != nullptr, std::memory_order_release);
            slot.wantsReceiver.store(false, std::memory_order_relaxed);
            slot.incomingReady.store(false, std::memory_order_release);
        } else if (take && !slot.receiver) {
            slot.receiver = std::move(slot.incoming);
            slot.wantsReceiver.store(false, std::memory_order_relaxed);
            slot.incomingReady.store(false, std::memory_order_release);
        }
    }
    if (slot.receiver && !wanted && !slot.outgoingFull.load(std::memory_order_acquire)) {
        // The block still held goes with the receiver: both are freed off this thread.
        slot.outgoingAudio = slot.frames.takeAudio();
        slot.frames.frameSync = nullptr;
        slot.outgoing = std::move(slot.receiver);
        slot.outgoingFull.store(true, std::memory_order_release);
    }
    const bool needed = wanted &&
        (!slot.receiver ||
            (slot.receiver->bandwidth != NDIlib_recv_bandwidth_highest && bandwidth == NDIlib_recv_bandwidth_highest));
    if (!slot.incomingReady.load(std::memory_order_relaxed)) {
        if (needed)
            slot.wantedBandwidth.store(bandwidth, std::memory_order_relaxed);
        slot.wantsReceiver.store(needed, std::memory_order_release);
    }
    slot.capturing = wanted && slot.receiver != nullptr;
}

void NDIRx::processBlock(std::chrono::steady_clock::time_point blockStart)
{
    // A capture must be complete before its frames are read, and before its slot's receiver may go.
    const auto beforeWait = std::chrono::steady_clock::now();
    waitForCapture(blockStart);
    const auto now = std::chrono::steady_clock::now();
    lastCaptureWaitNanos.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - beforeWait).count(), std::memory_order_relaxed);

    for (auto& slot : slots)
        if (!slot->busyCapturing())
            exchangeReceiver(*slot, now);

    if (!probeClockStarted) {
        lastProbeTime = lastDiscoveryTime = now; // discovery begins a second after the first block
        probeClockStarted = true;
    }
    // Never waits: a run still going starts its next turn as soon as it has ended.
    if (now - lastDiscoveryTime >= kDiscoveryInterval && discoveryTask.tryStartNow())
        lastDiscoveryTime = now;
    if (now - lastProbeTime >= kProbeInterval && probeTask.tryStartNow())
        lastProbeTime = now;
}

void NDIRx::startCapture()
{
    ReceiveSlot* first = nullptr;
    ReceiveSlot** last = &first;
    size_t count = 0;
    for (auto& slot : slots) {
        if (slot->busyCapturing())
            continue; // still being captured for an earlier block
        slot->captureState.store(ReceiveSlot::CaptureState::queued, std::memory_order_relaxed);
        *last = slot.get();
        last = &slot->nextToCapture;
        ++count;
    }
    *last = nullptr;
    captureWorkers.start(first, count);
}

void NDIRx::waitForCapture(std::chrono::steady_clock::time_point blockStart)
{
    const int rate = sampleRate.load(std::memory_order_relaxed), samples = bufferSize.load(std::memory_order_relaxed);
    const auto wait = std::chrono::duration<double>(kCaptureWaitShare * samples / std::max(rate, 1));
    captureWorkers.waitUntil(blockStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait));
    collectCapture();
}

void NDIRx::collectCapture()
{
    for (auto& slot : slots) {
        if (slot->captureState.load(std::memory_order_acquire) == ReceiveSlot::CaptureState::captured) {
            slot->captureState.store(ReceiveSlot::CaptureState::idle, std::memory_order_relaxed);
            slot->freshAudio = slot->capturedAudio;
        } else if (slot->capturing) {
            // Not begun, or not ended: this block is silent; a capture that ends late is heard in a later one.
            slot->captureDropouts.fetch_add(1, std::memory_order_relaxed);
            captureDropouts.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void NDIRx::captureSlot(ReceiveSlot& slot)
{
    FramesContainer& c = slot.frames;
    c.releaseAudio();
    slot.capturedAudio = false;
    if (!slot.capturing)
        return;
    NDIlib_audio_frame_v2_t frame;
    NDIlib_framesync_instance_t frameSync = slot.receiver->frameSync;
    ndi().framesync_capture_audio(frameSync, &frame, sampleRate, 0, bufferSize);
    c.audioFrame = frame;
    c.frameSync = frameSync;
    slot.capturedAudio = true;
    slot.lastCaptureNanos.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count(),
        std::memory_order_relaxed);
    // Nothing left queued after a whole block: the frame-sync filled in what had not arrived.
    if (ndi().framesync_audio_queue_depth != nullptr && ndi().framesync_audio_queue_depth(frameSync) <= 0)
        slot.dropouts.fetch_add(1, std::memory_order_relaxed);
    measure(slot);
}

void NDIRx::measure(ReceiveSlot& slot)
{
    ChannelLevels& levels = *slot.levels;
    const NDIlib_audio_frame_v2_t& frame = slot.frames.audioFrame;
    levels.beginBlock();
    if (frame.p_data == nullptr || frame.no_samples <= 0)
        return;
    const size_t channels = std::min(static_cast<size_t>(std::max(frame.no_channels, 0)), levels.channels());
    for (size_t ch = 0; ch < channels; ++ch) {
        const auto* samples = reinterpret_cast<const float*>(
            reinterpret_cast<const uint8_t*>(frame.p_data) + ch * static_cast<size_t>(frame.channel_stride_in_bytes));
        float peak = 0;
        double sumSquares = 0;
        ChannelLevels::measure(samples, static_cast<size_t>(frame.no_samples), peak, sumSquares);
        levels.add(ch, peak, sumSquares, static_cast<size_t>(frame.no_samples));
    }
}

void NDIRx::discoverSources()
{
    const std::set<std::string> before = presentSources();
    finder.poll();
    const std::set<std::string> after = presentSources();
    std::vector<ProbeItem> found = listener.sourcesToProbe();
    std::erase_if(found,
        [&](const ProbeItem& item) { return after.count(item.sourceName) == 0 || before.count(item.sourceName) != 0; });
    probeEach(found, after);
}

void NDIRx::probeSources()
{
    const std::set<std::string> present = presentSources();
    for (const std::string& name : present)
        std::cerr << printableText(name) << '\n';
    std::cerr << std::flush;
    probeEach(listener.sourcesToProbe(), present);
}

void NDIRx::probeSources(const std::vector<ProbeItem>& items)
{
    finder.poll();
    probeEach(items, presentSources());
}

std::set<std::string> NDIRx::presentSources()
{
    std::lock_guard lock(finder.mutex);
    return finder.sources;
}

void NDIRx::probeEach(const std::vector<ProbeItem>& items, const std::set<std::string>& present)
{
    for (const ProbeItem& item : items) {
        if (stopRequested)
            return;
        probeOne(item, present);
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
        listener.sourceSampleRateDetected(name, audio.sample_rate);
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
