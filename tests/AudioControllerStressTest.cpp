// Random routing changes while sources come and go (one of them with
// pictures, routed as video) and the engine ticks: the routing the audio
// thread ends with is exactly where a plain model of the operations ends.

#include "support/CoreDriver.h"
#include "support/LoopbackEnvironment.h"
#include "support/TestSource.h"

#include <gtest/gtest.h>

#include <future>
#include <random>

using namespace std::chrono_literals;

// The loopback runtime's own folders, before any test uses it.
[[maybe_unused]] const auto* const kLoopback = testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

TEST(AudioControllerStress, randomOperationsWhileSourcesComeAndGoEndWhereTheModelEnds)
{
    CoreDriver engine;
    RoutingCore& core = engine.core;

    const std::vector<std::string> streams{"Churn A", "Churn B", "Churn C"};
    std::vector<std::string> sourceNames{"GHOST (Nobody)", ""};
    for (const auto& s : streams) // learns the published names once
        sourceNames.push_back(TestSource(s, {.channels = 1}).publishedName());

    std::atomic<bool> running{true};
    auto ticking = std::async(std::launch::async, [&] { engine.tickUntil([&] { return !running; }, 10min); });
    auto churn = std::async(std::launch::async, [&] {
        std::mt19937 random(11);
        std::vector<std::unique_ptr<TestSource>> live(streams.size());
        while (running) {
            const size_t i = random() % streams.size();
            if (live[i])
                live[i].reset();
            else
                live[i] = std::make_unique<TestSource>(streams[i],
                    TestSource::Options{
                        .channels = 1 + static_cast<int>(random() % 3), .frameRateN = (i == 0 ? 25 : 0)});
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
        }
    });

    const std::vector<std::string> senderNames{"Plover Sender 1", "Stage", "Booth", "Monitor", "Stage (L)"};
    // What the operations mean, without threads, queues or NDI.
    SenderChannelMappings mappings;
    SenderVideoSources video;
    auto set = [&](const std::string& sender, uint32_t channel, ChannelMapping mapping) {
        if (auto it = mappings.find(sender); it != mappings.end() && channel < it->second.size())
            it->second[channel] = std::move(mapping);
    };
    std::mt19937 random(5);
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    for (int op = 0; op < 3000; ++op) {
        const std::string sender = pick(senderNames), source = pick(sourceNames);
        const uint32_t channel = random() % 6, sourceChannel = random() % 4, channels = 1 + random() % 5;
        switch (random() % 10) {
        case 0:
            core.addSender(sender, channels);
            mappings.try_emplace(sender, channels);
            break;
        case 1:
            core.removeSender(sender);
            mappings.erase(sender);
            video.erase(sender);
            break;
        case 2:
        case 3:
        case 4:
            core.addAudioConnection(source, sourceChannel, sender, channel);
            set(sender, channel, {sourceChannel, source});
            break;
        case 5:
        case 6:
            core.removeAudioConnection(sender, channel);
            set(sender, channel, {});
            break;
        case 7:
            core.setVideoConnection(source, sender);
            if (sender != "Monitor" && !source.empty() && mappings.count(sender) != 0)
                video[sender] = source;
            break;
        case 8:
            core.removeVideoConnection(sender);
            video.erase(sender);
            break;
        case 9:
            core.setAVDelay(sender, static_cast<int32_t>(random() % 4001) - 2000);
            core.routingSnapshot();
            break;
        }
        // Spread over several probe cycles, so reports of sources interleave with the changes.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    }
    ASSERT_TRUE(core.waitForCommands(10s));
    running = false;
    ticking.get();
    churn.get();

    const RoutingSnapshot executed = core.executedRouting();
    EXPECT_EQ(executed.mappings, mappings);
    EXPECT_EQ(executed.videoSources, video);
    // Every source's use count is the number of sender channels connected to it.
    EXPECT_FALSE(executed.useCounts.empty());
    for (const auto& [source, count] : executed.useCounts) {
        int32_t connected = 0;
        for (const auto& [sender, channels] : mappings)
            for (const auto& m : channels)
                connected += m.sourceName == source && m.sourceChannel != kNoChannel ? 1 : 0;
        EXPECT_EQ(count, connected) << source;
    }
}

TEST(AudioControllerStress, aBurstOfAHundredThousandChangesRunsInOrderInPortionsThatKeepEveryBlockShort)
{
    CoreDriver engine;
    RoutingCore& core = engine.core;
    constexpr uint32_t kChannels = 64;
    core.addSender("Burst", kChannels);
    ASSERT_TRUE(engine.tickUntil([&] { return core.waitForCommands(0ms); }));

    // What a script sends at once, all queued before the next block, changing the same channels again and
    // again. Ten thousand take under 0.5 ms here, whole or not: a hundred thousand can show a long block.
    std::vector<ChannelMapping> model(kChannels);
    std::mt19937 random(19);
    for (int change = 0; change < 100'000; ++change) {
        const uint32_t channel = random() % kChannels;
        if (random() % 4 == 0) {
            core.removeAudioConnection("Burst", channel);
            model[channel] = {};
        } else {
            const std::string source = "SCRIPT (Source " + std::to_string(random() % 100) + ")";
            const uint32_t sourceChannel = random() % 16;
            core.addAudioConnection(source, sourceChannel, "Burst", channel);
            model[channel] = {sourceChannel, source};
        }
    }
    engine.longestBlockCpu = {};
    ASSERT_TRUE(engine.tickUntil([&] { return core.waitForCommands(0ms); }));
    EXPECT_EQ(core.executedRouting().mappings.at("Burst"), model);
    // Run whole, the burst takes about 40 % of a block here; in portions, a tenth of a block and one change.
    const auto period = std::chrono::microseconds(1'000'000 * CoreDriver::kBlock / CoreDriver::kRate);
    EXPECT_LT(engine.longestBlockCpu, period / 4);
}
