// With a sound output, "Monitor" exists and plays its routed channels on it.
// The output here is ALSA's file plugin, which writes every block it is given.

#include "engine/AudioController.h"
#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
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

int main(int argc, char** argv)
{
    // Before ALSA reads its configuration: alsa.conf first, then our file sink as the default device.
    setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" ALSA_SINK_CONFIG, 1);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
