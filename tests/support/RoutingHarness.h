#pragma once

// Plays the routing controller's part around the real receive and send sides:
// owns the routing maps, changes them only while no capture runs, and runs
// one tick as the audio callback does.

#include "ndi/NDIRx.h"
#include "ndi/NDISourceFinder.h"
#include "ndi/NDITx.h"
#include "ndi/VideoPassThrough.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class RoutingHarness : public NDIRx::Listener, public NDISourceFinder::Listener {
public:
    static constexpr int kRate = 48000;
    static constexpr int kBlock = 512;

    RoutingHarness()
    {
        ndiActive = true;
        rx.setFormat(kRate, kBlock);
        tx.setFormat(kRate, kBlock);
        finder.setListener(this);
    }

    ~RoutingHarness() override
    {
        video.stop();
        rx.stop();
        senders.clear();
        frames.clear();
        for (auto& slot : slots)
            slot.closeReceiver();
    }

    void addSource(const std::string& name)
    {
        rx.waitForCapture();
        auto seed = rx.makeReceiveSeed(name);
        slots.push_back(std::move(seed->slot));
        frames[name] = std::move(seed->frames);
        freshAudio[name] = seed->freshAudio;
        useCounts[name] = 0;
    }

    SenderState& addSender(const std::string& name, uint32_t channels)
    {
        rx.waitForCapture();
        SenderState state;
        state.initialise(name, channels, kRate, kBlock);
        state.createSendInstance();
        mappings[name] = std::vector<ChannelMapping>(channels);
        return senders.emplace(name, std::move(state)).first->second;
    }

    void connect(const std::string& source, uint32_t sourceChannel, const std::string& sender, uint32_t senderChannel)
    {
        rx.waitForCapture();
        mappings[sender][senderChannel] = {sourceChannel, source};
        recount();
    }

    void disconnect(const std::string& sender, uint32_t senderChannel)
    {
        rx.waitForCapture();
        mappings[sender][senderChannel] = {};
        recount();
    }

    void setVideoSource(const std::string& sender, const std::string& source)
    {
        rx.waitForCapture();
        videoSources[sender] = source;
    }

    // As a command would: only once the pass keeps off the sender.
    bool tryRemoveSender(const std::string& name)
    {
        rx.waitForCapture();
        if (!video.tryKeepOff(name))
            return false;
        senders.erase(name);
        mappings.erase(name);
        videoSources.erase(name);
        recount();
        return true;
    }

    // One block, in the order of the audio callback.
    void tick()
    {
        rx.processBlock();
        tx.processBlock();
        video.processBlock();
        for (const auto& slot : slots)
            if (slot.active)
                freshAudio[slot.sourceName] = false;
        rx.startCapture();
    }

    // Ticks at the engine's pace, on an absolute schedule.
    void run(std::chrono::milliseconds duration)
    {
        const auto period = std::chrono::microseconds(kBlock * 1000000LL / kRate);
        const auto end = std::chrono::steady_clock::now() + duration;
        for (auto due = std::chrono::steady_clock::now(); due < end; due += period) {
            tick();
            std::this_thread::sleep_until(due + period);
        }
    }

    const ReceiveSlot& slot(const std::string& source)
    {
        rx.waitForCapture();
        for (const auto& s : slots)
            if (s.sourceName == source)
                return s;
        throw std::runtime_error("no slot for " + source);
    }

    std::vector<std::pair<std::string, uint32_t>> detectedCounts()
    {
        std::lock_guard lock(reportMutex);
        return detected;
    }

    // NDIRx::Listener
    bool videoWanted() override { return true; }
    bool isVideoSourceInUse(const std::string& source) override
    {
        for (const auto& [sender, name] : videoSources)
            if (name == source)
                return true;
        return false;
    }
    void sourceChannelCountChanged(const std::string&, uint32_t) override {}
    void sourceChannelCountDetected(const std::string& source, uint32_t count) override
    {
        std::lock_guard lock(reportMutex);
        detected.emplace_back(source, count);
    }

    // NDISourceFinder::Listener
    void sourcesChanged(NDISourceFinder&) override {}
    SenderChannelMappings senderChannelMappings() override
    {
        std::lock_guard lock(reportMutex);
        return ownSenders;
    }

    SenderMap senders;
    SenderVideoSources videoSources;
    SourceFramesMap frames;
    SourceUseCounts useCounts;
    SourceFreshAudio freshAudio;
    ReceiveSlotList slots;
    SenderChannelMappings mappings;
    SenderChannelMappings ownSenders;

    NDISourceFinder finder;
    VideoPassThrough video{senders, videoSources, frames, slots};
    NDIRx rx{slots, frames, useCounts, freshAudio, finder, video, *this};
    NDITx tx{senders, frames, freshAudio, mappings};

private:
    void recount()
    {
        for (auto& [name, count] : useCounts)
            count = 0;
        for (const auto& [sender, channels] : mappings)
            for (const auto& m : channels)
                if (m.sourceChannel != kNoChannel && useCounts.count(m.sourceName) != 0)
                    ++useCounts[m.sourceName];
    }

    std::mutex reportMutex;
    std::vector<std::pair<std::string, uint32_t>> detected;
};
