// With a sound output, "Monitor" exists and plays its routed channels on it,
// and again after the output went away and came back. The output here is
// ALSA's file plugin, which writes every block it is given.

#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Before ALSA reads its configuration: alsa.conf first, then our file sink as the default device.
[[maybe_unused]] const bool kSink = setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" ALSA_SINK_CONFIG, 1) == 0;
[[maybe_unused]] const auto* const kLoopback = testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

namespace {

// What the sink file holds since the output last opened: interleaved float stereo.
struct SinkContents {
    int toneBlocks = 0; // `toneChannel` carries source channel 1's tone
    float otherPeak = 0;
};

SinkContents readSink(int toneChannel)
{
    // The sink runs far faster than real time, so the source cannot fill
    // every block: count the blocks that carry the tone.
    std::ifstream file(MONITOR_SINK_FILE, std::ios::binary);
    std::vector<float> interleaved(2 * 512), tone(512);
    SinkContents sink;
    while (file.read(reinterpret_cast<char*>(interleaved.data()),
        static_cast<std::streamsize>(interleaved.size() * sizeof(float)))) {
        for (size_t i = 0; i < 512; ++i) {
            tone[i] = interleaved[2 * i + toneChannel];
            sink.otherPeak = std::max(sink.otherPeak, std::abs(interleaved[2 * i + 1 - toneChannel]));
        }
        const ToneFit fit = fitTone(tone, 750.0, 48000); // 8 whole cycles a block
        sink.toneBlocks += fit.toneFraction > 0.99 && std::abs(fit.amplitude - 1.0) < 0.02 ? 1 : 0;
    }
    return sink;
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
    TestSource source("For The Monitor", {.channels = 2});
    {
        RunningController e;
        ASSERT_TRUE(e.controller.hasOutputDevice());
        EXPECT_EQ(e.controller.routingSnapshot().mappings.at("Monitor").size(), 2u);
        ASSERT_TRUE(e.found(source.publishedName()));
        e.controller.addAudioConnection(source.publishedName(), 1, "Monitor", 1);
        std::this_thread::sleep_for(3s);
        e.controller.audioClock().devices()->closeAudioDevice(); // as when the sound card goes away
        const SinkContents sink = readSink(1); // read before the output reopens and empties it
        EXPECT_GT(sink.toneBlocks, 10) << "source channel 1 plays on output channel 1";

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
        std::this_thread::sleep_for(1s);
    }

    const SinkContents sink = readSink(0);
    EXPECT_GT(sink.toneBlocks, 10) << "source channel 1 plays on output channel 0 since the output is back";
    EXPECT_EQ(sink.otherPeak, 0.0f) << "the connection removed meanwhile is silent";
}
