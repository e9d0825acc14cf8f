// With a sound output, "Monitor" exists and plays its routed channels on it.
// The output here is ALSA's file plugin, which writes every block it is given.

#include "engine/AudioController.h"
#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;

TEST(MonitorOutput, monitorPlaysItsRoutedChannelOnTheOutputAndNothingElse)
{
    TestSource source("For The Monitor", {.channels = 2});
    {
        ControllerListener listener;
        AudioController controller(&listener);
        ASSERT_TRUE(controller.hasOutputDevice());
        ASSERT_TRUE(controller.waitForCommands(5s)); // the start reloads the file it wrote
        EXPECT_EQ(controller.routingSnapshot().mappings.at("Monitor").size(), 2u);
        controller.ndiProcessingStarted = true;
        ASSERT_TRUE(listener.waitFor({"added", source.publishedName(), kNoChannel}));
        controller.addAudioConnection(source.publishedName(), 1, "Monitor", 0);
        std::this_thread::sleep_for(3s);
    }

    // Interleaved float stereo. The sink runs far faster than real time, so the
    // source cannot fill every block: look for blocks that carry the tone.
    std::ifstream file(MONITOR_SINK_FILE, std::ios::binary);
    std::vector<float> samples;
    samples.assign(std::filesystem::file_size(MONITOR_SINK_FILE) / sizeof(float), 0.0f);
    file.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
    ASSERT_GT(samples.size(), 2u * 512 * 100);

    int toneBlocks = 0;
    float rightPeak = 0;
    for (size_t start = 0; start + 2 * 512 <= samples.size(); start += 2 * 512) {
        std::vector<float> left(512);
        for (size_t i = 0; i < 512; ++i) {
            left[i] = samples[start + 2 * i];
            rightPeak = std::max(rightPeak, std::abs(samples[start + 2 * i + 1]));
        }
        const ToneFit fit = fitTone(left, 750.0, 48000); // 8 whole cycles a block
        toneBlocks += fit.toneFraction > 0.99 && std::abs(fit.amplitude - 1.0) < 0.02 ? 1 : 0;
    }
    EXPECT_GT(toneBlocks, 10) << "source channel 1 plays on output channel 0";
    EXPECT_EQ(rightPeak, 0.0f) << "the unconnected monitor channel is silent";
}

TEST(MonitorOutput, anOutputThatStopsHandsTheClockToTheSoftwareDevice)
{
    ControllerListener listener;
    AudioController controller(&listener);
    ASSERT_TRUE(controller.hasOutputDevice());
    controller.ndiProcessingStarted = true;
    controller.audioClock().devices().closeAudioDevice(); // as when the sound card goes away

    for (int i = 0; i < 100 && !controller.runsOnVirtualClock(); ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(controller.runsOnVirtualClock());
    EXPECT_FALSE(controller.hasOutputDevice());

    // The senders go on: blocks keep coming, one per tick.
    ASSERT_TRUE(controller.waitForCommands(5s)); // the start reloads the file it wrote
    NDIlib_find_create_t settings;
    NDIlib_find_instance_t finder = ndi().find_create_v3(&settings, nullptr);
    uint32_t count = 0;
    const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(finder, &count);
    std::string sender;
    for (uint32_t i = 0; i < count; ++i)
        if (std::string(list[i].p_ndi_name).find("(Plover Sender 1)") != std::string::npos)
            sender = list[i].p_ndi_name;
    ndi().find_destroy(finder);
    ASSERT_FALSE(sender.empty());
    RawReceiver out(sender);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(out.nextBlock().samples, 512);
}

int main(int argc, char** argv)
{
    // Before ALSA reads its configuration: alsa.conf first, then our file sink as the default device.
    setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" ALSA_SINK_CONFIG, 1);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
