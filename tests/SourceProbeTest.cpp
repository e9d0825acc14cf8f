// The source probe: what it reports about real loopback sources, measured
// through a receiver of its own, and that it stops when asked.

#include "engine/NDIRx.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/TestSource.h"

#include <gtest/gtest.h>

#include <future>

using namespace std::chrono_literals;

namespace {

// The receive side on its own, keeping the counts it reports (from the thread that probes).
struct Prober : NDIRx::Listener {
    Prober() { ndiActive = true; }
    bool videoWanted() override { return true; }
    std::vector<NDIRx::ProbeItem> sourcesToProbe() override { return {}; }
    void sourceChannelCountDetected(const std::string& source, uint32_t count) override
    {
        reports.emplace_back(source, count);
    }
    void sourceSampleRateDetected(const std::string&, int) override { }

    std::vector<std::pair<std::string, uint32_t>> reports;
    ReceiveSlotList slots;
    NDISourceFinder finder;
    NDIRx rx{slots, finder, *this};
};

} // namespace

TEST(SourceProbe, theProbeReportsAudioCountsVideoOnlyAndGoneSourcesOnlyWhenTheyChange)
{
    TestSource audio("Four Channels", {.channels = 4});
    TestSource pictures("Pictures Only", {.channels = 0, .frameRateN = 25});
    TestSource silent("Says Nothing", {.channels = 0});
    ASSERT_FALSE(RawReceiver::listed("Says Nothing").empty());
    Prober p;

    p.rx.probeSources({{audio.publishedName(), kNoChannel}, {audio.publishedName(), 4},
        {pictures.publishedName(), kNoChannel}, {silent.publishedName(), 2}, {"NOWHERE (Gone)", 4}});
    const std::vector<std::pair<std::string, uint32_t>> expected{
        {audio.publishedName(), 4},
        {pictures.publishedName(), 0},
        {silent.publishedName(), kNoChannel}, // sent no audio in time
        {silent.publishedName(), kNoChannel}, // and no picture either
        {"NOWHERE (Gone)", kNoChannel},
    };
    EXPECT_EQ(p.reports, expected);
}

TEST(SourceProbe, aStopRequestEndsTheProbeBeforeItsNextSource)
{
    std::vector<std::unique_ptr<TestSource>> silent;
    std::vector<NDIRx::ProbeItem> items;
    for (int i = 0; i < 6; ++i) {
        silent.push_back(std::make_unique<TestSource>("Mute " + std::to_string(i), TestSource::Options{.channels = 0}));
        items.push_back({silent.back()->publishedName(), 2});
    }
    ASSERT_FALSE(RawReceiver::listed("Mute 5").empty());
    Prober p;
    auto probing = std::async(std::launch::async, [&] { p.rx.probeSources(items); });
    std::this_thread::sleep_for(300ms);
    p.rx.stopRequested = true;
    probing.get();
    // Every source would report twice (no audio, no picture); a stop leaves most unprobed.
    EXPECT_LT(p.reports.size(), 4u);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
