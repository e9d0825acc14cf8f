// The source probe: what it reports about real loopback sources, measured
// through a receiver of its own, and that it stops when asked.

#include "engine/NDIRx.h"
#include "support/LoopbackEnvironment.h"
#include "support/TestSource.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

using namespace std::chrono_literals;

namespace {

// The receive side on its own, with the counts it reports.
struct Prober : NDIRx::Listener {
    Prober() { ndiActive = true; }
    bool videoWanted() override { return true; }
    std::vector<NDIRx::ProbeItem> sourcesToProbe() override { return {}; }
    void sourceChannelCountDetected(const std::string& source, uint32_t count) override
    {
        std::lock_guard lock(mutex);
        detected.emplace_back(source, count);
    }
    void sourceSampleRateDetected(const std::string&, int) override { }
    std::vector<std::pair<std::string, uint32_t>> reports()
    {
        std::lock_guard lock(mutex);
        return detected;
    }
    // Polls the finder as the probe would, until it lists `name`.
    bool discovered(const std::string& name)
    {
        for (int i = 0; i < 100 && finder.poll().sources.count(name) == 0; ++i)
            std::this_thread::sleep_for(50ms);
        return finder.sources.count(name) != 0;
    }

    std::mutex mutex;
    std::vector<std::pair<std::string, uint32_t>> detected;
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
    Prober p;
    ASSERT_TRUE(p.discovered(silent.publishedName()));

    p.rx.probeSources({{audio.publishedName(), kNoChannel}, {audio.publishedName(), 4},
        {pictures.publishedName(), kNoChannel}, {silent.publishedName(), 2}, {"NOWHERE (Gone)", 4}});
    const std::vector<std::pair<std::string, uint32_t>> expected{
        {audio.publishedName(), 4},
        {pictures.publishedName(), 0},
        {silent.publishedName(), kNoChannel}, // sent no audio in time
        {silent.publishedName(), kNoChannel}, // and no picture either
        {"NOWHERE (Gone)", kNoChannel},
    };
    EXPECT_EQ(p.reports(), expected);
}

TEST(SourceProbe, aStopRequestEndsTheProbeBeforeItsNextSource)
{
    std::vector<std::unique_ptr<TestSource>> silent;
    std::vector<NDIRx::ProbeItem> items;
    for (int i = 0; i < 6; ++i) {
        silent.push_back(std::make_unique<TestSource>("Mute " + std::to_string(i), TestSource::Options{.channels = 0}));
        items.push_back({silent.back()->publishedName(), 2});
    }
    Prober p;
    ASSERT_TRUE(p.discovered(items.back().sourceName));
    auto probing = std::async(std::launch::async, [&] { p.rx.probeSources(items); });
    std::this_thread::sleep_for(300ms);
    p.rx.stopRequested = true;
    probing.get();
    // Every source would report twice (no audio, no picture); a stop leaves most unprobed.
    EXPECT_LT(p.reports().size(), 4u);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
