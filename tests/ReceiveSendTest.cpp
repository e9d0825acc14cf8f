// The receive and send sides together, driven tick by tick as the audio
// callback drives them, with real loopback sources and a real receiver of
// the router's own sender.

#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/RoutingHarness.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

#include <future>

using namespace std::chrono_literals;

namespace {

// Waits until the finder lists `name`, polling as the probe would.
bool discovered(NDISourceFinder& finder, const std::string& name)
{
    for (int i = 0; i < 100; ++i) {
        finder.poll();
        if (finder.sources.count(name) != 0)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

} // namespace

TEST(ReceiveSend, aRoutedSourceGetsItsReceiverOneTickAfterUseAndLosesItOneTickAfterItsLastRoute)
{
    TestSource source("Lazy", {.channels = 2});
    RoutingHarness h;
    h.addSource(source.publishedName());
    h.addSender("Out", 2);
    for (int i = 0; i < 3; ++i)
        h.tick();
    EXPECT_EQ(h.slot(source.publishedName()).receiver, nullptr) << "an unused source has no receiver";

    h.connect(source.publishedName(), 0, "Out", 0);
    h.tick();
    EXPECT_NE(h.slot(source.publishedName()).frameSync, nullptr) << "the capture after first use creates it";
    EXPECT_FALSE(h.freshAudio[source.publishedName()]) << "its first block comes a tick later";
    h.tick();
    h.slot(source.publishedName()); // the capture is complete
    EXPECT_TRUE(h.freshAudio[source.publishedName()]);

    h.disconnect("Out", 0);
    h.tick();
    EXPECT_EQ(h.slot(source.publishedName()).frameSync, nullptr);
    EXPECT_EQ(h.slot(source.publishedName()).receiver, nullptr);
}

TEST(ReceiveSend, aSourceChannelRoutedToASenderIsHeardThereAndNowhereElse)
{
    TestSource source("Tones", {.channels = 4});
    RoutingHarness h;
    h.addSource(source.publishedName());
    h.addSender("Stage", 2);
    h.connect(source.publishedName(), 2, "Stage", 0);

    RawReceiver out(h.senders.at("Stage").sendInstance);
    auto ticking = std::async(std::launch::async, [&] { h.run(2500ms); });
    // Skip the start (receiver creation and the frame-sync's first fill), then keep one second.
    for (int i = 0; i < 60; ++i)
        out.nextBlock();
    std::vector<float> left, right;
    for (int i = 0; i < 94; ++i) {
        const auto block = out.nextBlock();
        ASSERT_EQ(block.channels, 2);
        left.insert(left.end(), block.data.begin(), block.data.begin() + block.samples);
        right.insert(right.end(), block.data.begin() + block.samples, block.data.end());
    }
    ticking.get();

    const ToneFit fit = fitTone(left, 1125.0, 48000);
    EXPECT_NEAR(fit.amplitude, 1.0, 0.02);
    EXPECT_GT(fit.toneFraction, 0.99);
    EXPECT_EQ(*std::max_element(right.begin(), right.end()), 0.0f) << "an unconnected channel is silent";
}

TEST(ReceiveSend, theProbeReportsAudioCountsVideoOnlyAndGoneSourcesOnlyWhenTheyChange)
{
    TestSource audio("Four Channels", {.channels = 4});
    TestSource pictures("Pictures Only", {.channels = 0, .frameRateN = 25});
    TestSource silent("Says Nothing", {.channels = 0});
    RoutingHarness h;
    ASSERT_TRUE(discovered(h.finder, silent.publishedName()));

    h.rx.probeSources({{audio.publishedName(), kNoChannel},
                       {audio.publishedName(), 4},
                       {pictures.publishedName(), kNoChannel},
                       {silent.publishedName(), 2},
                       {"NOWHERE (Gone)", 4}});
    const std::vector<std::pair<std::string, uint32_t>> expected{
        {audio.publishedName(), 4},
        {pictures.publishedName(), 0},
        {silent.publishedName(), kNoChannel}, // sent no audio in time
        {silent.publishedName(), kNoChannel}, // and no picture either
        {"NOWHERE (Gone)", kNoChannel},
    };
    EXPECT_EQ(h.detectedCounts(), expected);
}

TEST(ReceiveSend, aStopRequestEndsTheProbeBeforeItsNextSource)
{
    std::vector<std::unique_ptr<TestSource>> silent;
    std::vector<NDIRx::ProbeItem> items;
    for (int i = 0; i < 6; ++i) {
        silent.push_back(std::make_unique<TestSource>("Mute " + std::to_string(i), TestSource::Options{.channels = 0}));
        items.push_back({silent.back()->publishedName(), 2});
    }
    RoutingHarness h;
    ASSERT_TRUE(discovered(h.finder, items.back().sourceName));
    auto probing = std::async(std::launch::async, [&] { h.rx.probeSources(items); });
    std::this_thread::sleep_for(300ms);
    h.rx.stopRequested = true;
    probing.get();
    // Every source would report twice (no audio, no picture); a stop leaves most unprobed.
    EXPECT_LT(h.detectedCounts().size(), 4u);
}

TEST(ReceiveSend, videoOfASourceIsPassedThroughAndASenderIsKeptFromThePassWhileItIsBusy)
{
    TestSource source("Camera", {.channels = 2, .frameRateN = 10});
    RoutingHarness h;
    h.addSource(source.publishedName());
    h.addSender("With Video", 2);
    h.setVideoSource("With Video", source.publishedName());
    RawReceiver out(h.senders.at("With Video").sendInstance);

    auto ticking = std::async(std::launch::async, [&] { h.run(3000ms); });
    // The frame-sync repeats or drops pictures to match the sender's pace: counters never go back.
    std::vector<uint64_t> counters;
    for (int i = 0; i < 12; ++i)
        counters.push_back(out.nextPictureCounter());
    ticking.get();
    EXPECT_GT(counters.front(), 0u) << "pictures of the video source reach the sender";
    EXPECT_TRUE(std::is_sorted(counters.begin(), counters.end()));
    EXPECT_GT(counters.back(), counters.front());

    // With clock_video on, each send waits for the sender's next frame time:
    // the pass is on the sender for most of 100 ms, and meanwhile it cannot go.
    bool sawBusy = false, refusedWhileBusy = false;
    auto stepping = std::async(std::launch::async, [&] { h.run(1500ms); });
    for (int i = 0; i < 300 && !sawBusy; ++i) {
        if (h.video.isBusyWith("With Video")) {
            sawBusy = true;
            refusedWhileBusy = !h.video.tryKeepOff("With Video") || !h.video.isBusyWith("With Video");
        }
        std::this_thread::sleep_for(2ms);
    }
    stepping.get();
    EXPECT_TRUE(sawBusy);
    EXPECT_TRUE(refusedWhileBusy);
    while (!h.tryRemoveSender("With Video"))
        h.tick();
    h.tick();
    EXPECT_EQ(h.senders.count("With Video"), 0u);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
