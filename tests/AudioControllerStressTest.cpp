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

namespace {

// What the operations mean, without threads, queues or NDI.
struct RoutingModel {
    SenderChannelMappings mappings;
    SenderVideoSources video;

    void addSender(const std::string& name, uint32_t channels)
    {
        if (mappings.count(name) != 0)
            return;
        mappings[name] = std::vector<ChannelMapping>(channels);
        video[name] = "";
    }
    void removeSender(const std::string& name)
    {
        mappings.erase(name);
        video.erase(name);
    }
    void connect(const std::string& source, uint32_t sourceChannel, const std::string& sender, uint32_t channel)
    {
        if (auto it = mappings.find(sender); it != mappings.end() && channel < it->second.size())
            it->second[channel] = {sourceChannel, source};
    }
    void disconnect(const std::string& sender, uint32_t channel)
    {
        if (auto it = mappings.find(sender); it != mappings.end() && channel < it->second.size())
            it->second[channel] = {};
    }
    void setVideo(const std::string& source, const std::string& sender)
    {
        if (sender != "Monitor" && !source.empty() && mappings.count(sender) != 0)
            video[sender] = source;
    }
    void removeVideo(const std::string& sender) { video.erase(sender); }
};

} // namespace

TEST(AudioControllerStress, randomOperationsWhileSourcesComeAndGoEndWhereTheModelEnds)
{
    CoreDriver engine;
    RoutingCore& core = engine.core;

    const std::vector<std::string> streams{"Churn A", "Churn B", "Churn C"};
    std::vector<std::string> sourceNames{"GHOST (Nobody)", ""};
    {
        // Learn the published names once.
        for (const auto& s : streams)
            sourceNames.push_back(TestSource(s, {.channels = 1}).publishedName());
    }

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
                live[i] = std::make_unique<TestSource>(
                    streams[i], TestSource::Options{.channels = 1 + static_cast<int>(random() % 3),
                                                    .frameRateN = (i == 0 ? 25 : 0)});
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
        }
    });

    const std::vector<std::string> senderNames{"Plover Sender 1", "Stage", "Booth", "Monitor", "Stage (L)"};
    RoutingModel model;
    std::mt19937 random(5);
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    for (int op = 0; op < 3000; ++op) {
        const std::string sender = pick(senderNames);
        const std::string source = pick(sourceNames);
        const uint32_t channel = random() % 6;
        const uint32_t sourceChannel = random() % 4;
        switch (random() % 10) {
        case 0: {
            const uint32_t channels = 1 + random() % 5;
            core.addSender(sender, channels);
            model.addSender(sender, channels);
            break;
        }
        case 1:
            core.removeSender(sender);
            model.removeSender(sender);
            break;
        case 2:
        case 3:
        case 4:
            core.addAudioConnection(source, sourceChannel, sender, channel);
            model.connect(source, sourceChannel, sender, channel);
            break;
        case 5:
        case 6:
            core.removeAudioConnection(sender, channel);
            model.disconnect(sender, channel);
            break;
        case 7:
            core.setVideoConnection(source, sender);
            model.setVideo(source, sender);
            break;
        case 8:
            core.removeVideoConnection(sender);
            model.removeVideo(sender);
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
    EXPECT_EQ(executed.mappings, model.mappings);
    SenderVideoSources video;
    for (const auto& [sender, source] : model.video)
        if (!source.empty())
            video[sender] = source;
    EXPECT_EQ(executed.videoSources, video);
    // Every source's use count is the number of sender channels connected to it.
    EXPECT_FALSE(executed.useCounts.empty());
    for (const auto& [source, count] : executed.useCounts) {
        int32_t connected = 0;
        for (const auto& [sender, channels] : model.mappings)
            for (const auto& m : channels)
                connected += m.sourceName == source && m.sourceChannel != kNoChannel ? 1 : 0;
        EXPECT_EQ(count, connected) << source;
    }
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
