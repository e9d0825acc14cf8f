// With a sound output, "Monitor" exists and plays its routed channels on it,
// and again after the output went away and came back; every block of the
// output is written, with silence whenever nothing plays. The output here is
// ALSA's file plugin writing into a FIFO that the test drains at the pace of
// real time, as a sound card would.

#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Before ALSA reads its configuration: alsa.conf first, then our file sink as the default device.
[[maybe_unused]] const bool kSink = setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" ALSA_SINK_CONFIG, 1) == 0;
[[maybe_unused]] const auto* const kLoopback = testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

namespace {

constexpr int kRate = 48000, kBlock = 512;

// Takes what the output plays out of the FIFO at 48000 stereo frames a
// second, whoever opens it and however often, and keeps it.
class PacedSink {
public:
    PacedSink()
    {
        unlink(MONITOR_SINK_FILE);
        if (mkfifo(MONITOR_SINK_FILE, 0600) == 0)
            fd = open(MONITOR_SINK_FILE, O_RDONLY | O_NONBLOCK); // open before any writer, so theirs never blocks
        thread = std::thread([this] { drain(); });
    }
    ~PacedSink()
    {
        running = false;
        thread.join();
        close(fd);
        unlink(MONITOR_SINK_FILE);
    }
    bool ready() const { return fd >= 0; }

    // Frames played so far: where a stretch to look at begins.
    size_t mark()
    {
        std::lock_guard lock(mutex);
        return played.size() / 2;
    }
    // The blocks of output channel `channel` played since `from`.
    std::vector<std::vector<float>> blocksSince(size_t from, int channel)
    {
        std::lock_guard lock(mutex);
        std::vector<std::vector<float>> blocks;
        for (size_t frame = from; frame + kBlock <= played.size() / 2; frame += kBlock) {
            auto& b = blocks.emplace_back(kBlock);
            for (int i = 0; i < kBlock; ++i)
                b[static_cast<size_t>(i)] = played[2 * (frame + static_cast<size_t>(i)) + static_cast<size_t>(channel)];
        }
        return blocks;
    }

private:
    void drain()
    {
        constexpr size_t kFrameBytes = 2 * sizeof(float);
        constexpr auto kStep = std::chrono::microseconds(1'000'000 * kBlock / kRate);
        std::vector<char> pending;
        for (auto due = std::chrono::steady_clock::now(); running; due += kStep) {
            std::this_thread::sleep_until(due);
            if (std::chrono::steady_clock::now() - due > 100 * kStep)
                due = std::chrono::steady_clock::now(); // a stalled test thread does not make a burst
            // One block's worth a block period; a sound card takes no more than that.
            for (size_t room = kBlock * kFrameBytes; room > 0;) {
                char buffer[kBlock * kFrameBytes];
                const ssize_t n = fd >= 0 ? read(fd, buffer, room) : -1;
                if (n <= 0) // nothing written yet, or no writer: the card waits
                    break;
                pending.insert(pending.end(), buffer, buffer + n);
                room -= static_cast<size_t>(n);
            }
            const size_t whole = pending.size() / kFrameBytes * kFrameBytes;
            if (whole == 0)
                continue;
            std::lock_guard lock(mutex);
            const size_t at = played.size();
            played.resize(at + whole / sizeof(float));
            std::memcpy(played.data() + at, pending.data(), whole);
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(whole));
        }
    }

    int fd = -1;
    std::atomic<bool> running{true};
    std::mutex mutex;
    std::vector<float> played; // interleaved stereo
    std::thread thread;
};

// Blocks carrying source channel 1's tone: 750 Hz, 8 whole cycles a block.
int toneBlocks(const std::vector<std::vector<float>>& blocks)
{
    return static_cast<int>(std::ranges::count_if(blocks, [](const std::vector<float>& b) {
        const ToneFit fit = fitTone(b, 750.0, kRate);
        return fit.toneFraction > 0.99 && std::abs(fit.amplitude - 1.0) < 0.02;
    }));
}

// The longest run of blocks of exact silence.
int longestSilence(const std::vector<std::vector<float>>& blocks)
{
    int longest = 0, run = 0;
    for (const auto& b : blocks) {
        run = peak(b) == 0.0f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

template <typename Condition> bool waitUntil(std::chrono::milliseconds timeout, Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return condition();
}

} // namespace

TEST(MonitorOutput, monitorPlaysItsRoutedChannelOnTheOutputAndAgainAfterTheSoftwareClockStoodInForIt)
{
    PacedSink sink;
    ASSERT_TRUE(sink.ready());
    TestSource source("For The Monitor", {.channels = 2});
    RunningController e;
    ASSERT_TRUE(e.controller.hasOutputDevice());
    EXPECT_EQ(e.controller.routingSnapshot().mappings.at("Monitor").size(), 2u);
    ASSERT_TRUE(e.found(source.publishedName()));
    e.controller.addAudioConnection(source.publishedName(), 1, "Monitor", 1);
    std::this_thread::sleep_for(1500ms);
    size_t from = sink.mark();
    std::this_thread::sleep_for(1s);
    EXPECT_GT(toneBlocks(sink.blocksSince(from, 1)), 80) << "source channel 1 plays on output channel 1";
    const auto other = sink.blocksSince(from, 0);
    EXPECT_EQ(longestSilence(other), static_cast<int>(other.size())) << "the other channel is silent";

    // A Load clears the senders, pauses 1 s and brings them back: "Monitor" is
    // away meanwhile, and the output plays silence, not its last block again.
    const std::string file = LoopbackEnvironment::folder + "/monitor-routed.ploverc";
    ASSERT_TRUE(e.controller.writeMappingFile(file));
    from = sink.mark();
    ASSERT_TRUE(e.controller.readMappingFile(file));
    std::this_thread::sleep_for(2500ms);
    const auto aroundLoad = sink.blocksSince(from, 1);
    EXPECT_GT(longestSilence(aroundLoad), 70) << "about 94 blocks of silence while the senders are away";
    EXPECT_GT(toneBlocks(aroundLoad), 20) << "and the tone again once the loaded routing is in place";

    e.controller.audioClock().devices()->closeAudioDevice(); // as when the sound card goes away
    ASSERT_TRUE(waitUntil(3s, [&] { return e.controller.runsOnVirtualClock(); }));
    EXPECT_FALSE(e.controller.hasOutputDevice());
    // The senders go on: blocks keep coming, one per tick.
    RawReceiver out(RawReceiver::listed("Plover Sender 1"));
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(out.nextBlock().samples, 512);

    // Routed anew while the output is away, heard once it is back.
    e.controller.removeAudioConnection(source.publishedName(), 1, "Monitor", 1);
    e.controller.addAudioConnection(source.publishedName(), 1, "Monitor", 0);
    ASSERT_TRUE(waitUntil(10s, [&] { return !e.controller.runsOnVirtualClock(); }));
    EXPECT_TRUE(e.controller.hasOutputDevice());
    std::this_thread::sleep_for(500ms);
    from = sink.mark();
    std::this_thread::sleep_for(1s);
    EXPECT_GT(toneBlocks(sink.blocksSince(from, 0)), 80) << "source channel 1 plays on output channel 0 now";
    const auto removed = sink.blocksSince(from, 1);
    EXPECT_EQ(longestSilence(removed), static_cast<int>(removed.size()))
        << "the connection removed meanwhile is silent";
}
