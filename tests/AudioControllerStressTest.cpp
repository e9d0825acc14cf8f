// Thousands of random routing changes from one thread while sources come and
// go and the engine ticks: the routing ends exactly where a plain model of the
// same operations ends, and ThreadSanitizer sees no race on the way.

#include "engine/AudioController.h"
#include "support/ControllerListener.h"
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
    ControllerListener listener;
    AudioController controller(&listener);
    controller.ndiProcessingStarted = true;

    const std::vector<std::string> streams{"Churn A", "Churn B", "Churn C"};
    std::vector<std::string> sourceNames{"GHOST (Nobody)", ""};
    {
        // Learn the published names once.
        for (const auto& s : streams)
            sourceNames.push_back(TestSource(s, {.channels = 1}).publishedName());
    }

    std::atomic<bool> churning{true};
    auto churn = std::async(std::launch::async, [&] {
        std::mt19937 random(11);
        std::vector<std::unique_ptr<TestSource>> live(streams.size());
        while (churning) {
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
    model.addSender("Plover Sender 1", 4);
    model.addSender("Plover Sender 2", 2);
    model.addSender("Plover Sender 3", 6);

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
            controller.addSender(sender, channels);
            model.addSender(sender, channels);
            break;
        }
        case 1:
            controller.removeSender(sender);
            model.removeSender(sender);
            break;
        case 2:
        case 3:
        case 4:
            controller.addAudioConnection(source, sourceChannel, sender, channel);
            model.connect(source, sourceChannel, sender, channel);
            break;
        case 5:
        case 6:
            controller.removeAudioConnection(source, sourceChannel, sender, channel);
            model.disconnect(sender, channel);
            break;
        case 7:
            controller.setVideoConnection(source, sender);
            model.setVideo(source, sender);
            break;
        case 8:
            controller.removeVideoConnection(sender);
            model.removeVideo(sender);
            break;
        case 9:
            controller.setAVDelay(sender, static_cast<int32_t>(random() % 4001) - 2000);
            controller.routingSnapshot();
            break;
        }
        // Spread over several probe cycles, so reports of sources interleave with the changes.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    }
    ASSERT_TRUE(controller.waitForCommands(10s));
    churning = false;
    churn.get();

    const RoutingSnapshot routing = controller.routingSnapshot();
    EXPECT_EQ(routing.mappings, model.mappings);
    EXPECT_EQ(routing.videoSources, model.video);
    // Every use count is the number of sender channels connected to its source.
    for (const auto& [source, count] : routing.useCounts) {
        int32_t connected = 0;
        for (const auto& [sender, channels] : routing.mappings)
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
