// The routing engine end to end: the real controller on the virtual clock,
// real loopback sources, and real receivers of the senders it publishes.

#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

// The loopback runtime's own folders, before any test uses it.
[[maybe_unused]] const auto* const kLoopback = testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

namespace {

// `count` blocks after the first `skip`, which the receiver's start and the frame-sync's first fill take.
std::vector<RawReceiver::Block> receive(RawReceiver& rx, int count, int skip = 0)
{
    std::vector<RawReceiver::Block> blocks;
    for (int i = 0; i < skip + count; ++i)
        if (RawReceiver::Block b = rx.nextBlock(); i >= skip)
            blocks.push_back(std::move(b));
    return blocks;
}

std::vector<float> channel(const std::vector<RawReceiver::Block>& blocks, int c)
{
    std::vector<float> x;
    for (const auto& b : blocks)
        x.insert(x.end(), b.data.begin() + c * b.samples, b.data.begin() + (c + 1) * b.samples);
    return x;
}

} // namespace

// Each test on a mapping file of its own, so that none starts with the routing another left.
class AudioControllerTest : public testing::Test {
protected:
    RunningController e{
        LoopbackEnvironment::folder + "/" + testing::UnitTest::GetInstance()->current_test_info()->name() + ".ploverc"};
};

TEST_F(AudioControllerTest, withoutAnOutputDeviceTheVirtualClockSendsTheRoutedChannelAloneUntilItIsRemoved)
{
    TestSource source("Four Tones", {.channels = 4});
    EXPECT_EQ(e.controller.routingSnapshot().mappings.count("Monitor"), 0u) << "no Monitor without an output";
    ASSERT_TRUE(e.found(source.publishedName()));
    e.controller.addAudioConnection(source.publishedName(), 2, "Plover Sender 1", 0);
    ASSERT_TRUE(e.controller.waitForCommands(2s));

    RawReceiver out(RawReceiver::listed("Plover Sender 1"));
    const auto blocks = receive(out, 100, 40);
    const ToneFit fit = fitTone(channel(blocks, 0), 1125.0, 48000);
    // A loaded machine may pause the source for a block or two.
    EXPECT_NEAR(fit.amplitude, 1.0, 0.05);
    EXPECT_GT(fit.toneFraction, 0.95);
    for (int c = 1; c < 4; ++c)
        EXPECT_EQ(peak(channel(blocks, c)), 0.0f) << "channel " << c;

    e.controller.removeAudioConnection(source.publishedName(), 2, "Plover Sender 1", 0);
    ASSERT_TRUE(e.controller.waitForCommands(2s));
    EXPECT_EQ(peak(channel(receive(out, 20, 5), 0)), 0.0f) << "removing the connection silences it";
}

TEST_F(AudioControllerTest, aSourceReturningWhileVideoPassesIsHeardWithinAProbePeriodAndChangesMeanwhileRunAtOnce)
{
    TestSource camera("Camera", {.channels = 0, .frameRateN = 30});
    ASSERT_TRUE(e.found(camera.publishedName()));
    e.controller.setVideoConnection(camera.publishedName(), "Plover Sender 1");
    RawReceiver out(RawReceiver::listed("Plover Sender 1"));
    ASSERT_TRUE(out.nextPicture(5000)) << "the camera's pictures pass through the sender";

    // KESTRIX_RETURNS=20 for the long proof; a few rounds catch a stall.
    const int rounds = std::getenv("KESTRIX_RETURNS") != nullptr ? std::atoi(std::getenv("KESTRIX_RETURNS")) : 3;
    std::string name;
    for (int round = 1; round <= rounds; ++round) {
        const auto times = static_cast<size_t>(round);
        const auto appeared = std::chrono::system_clock::now();
        auto tone = std::make_unique<TestSource>("Returns", TestSource::Options{.channels = 1});
        name = tone->publishedName();
        ASSERT_TRUE(e.listener.waitFor({"added", name, kNoChannel}, 10s, times));
        if (round == 1) // later rounds are heard through this connection: the slot stays, its receiver is new
            e.controller.addAudioConnection(name, 0, "Plover Sender 1", 0);

        const auto queued = std::chrono::steady_clock::now();
        e.controller.addAudioConnection(name, 0, "Plover Sender 2", static_cast<uint32_t>(round % 2));
        ASSERT_TRUE(e.controller.waitForCommands(2s));
        const auto applied = std::chrono::steady_clock::now() - queued;
        EXPECT_LT(applied, 100ms) << "round " << round << ": a change waited behind the returning source";

        // The blocks' send times are UTC in units of 100 ns. Within a probe period and a block of its coming.
        const int64_t appearedAt =
            std::chrono::duration_cast<std::chrono::nanoseconds>(appeared.time_since_epoch()).count() / 100;
        int64_t heardAfter = -1;
        for (int i = 0; i < 400 && heardAfter < 0; ++i) {
            const auto block = out.nextBlock();
            if (block.timestamp > appearedAt && peak(channel({block}, 0)) > 0.5f)
                heardAfter = (block.timestamp - appearedAt) / 10;
        }
        EXPECT_GE(heardAfter, 0) << "round " << round;
        EXPECT_LE(heardAfter, 2'010'667) << "round " << round << ": heard " << heardAfter << " us after it came";

        // The count it had was cleared when it left; the discovery that finds it measures it again, at once.
        ASSERT_TRUE(e.listener.waitFor({"count", name, 1}, 10s, times));
        EXPECT_LE(e.listener.madeAt({"count", name, 1}, times) - appeared, 2'010'667us) << "round " << round;
        tone.reset();
        ASSERT_TRUE(e.listener.waitFor({"removed", name, 0}, 10s, times));
    }
    EXPECT_EQ(std::ranges::count(e.listener.reports(), ControllerListener::Report{"added", name, kNoChannel}), rounds)
        << "announced once each time it came";
}

TEST_F(AudioControllerTest, aLoadNamingPublishedSendersRepublishesThemUnderTheSameNames)
{
    TestSource camera("Camera", {.channels = 0, .frameRateN = 30});
    ASSERT_TRUE(e.found(camera.publishedName()));
    // The video pass holds a sender for a frame period at a time, even as the sender goes.
    for (const char* sender : {"Plover Sender 1", "Plover Sender 2", "Plover Sender 3"})
        e.controller.setVideoConnection(camera.publishedName(), sender);
    ASSERT_TRUE(RawReceiver(RawReceiver::listed("Plover Sender 1")).nextPicture(5000));
    // The file names the senders already published: each goes and comes back under its own name.
    ASSERT_TRUE(e.controller.writeMappingFile(LoopbackEnvironment::folder + "/same-names.ploverc"));
    ASSERT_TRUE(e.controller.readMappingFile(LoopbackEnvironment::folder + "/same-names.ploverc"));
    ASSERT_TRUE(e.controller.waitForCommands(5s));
    EXPECT_EQ(RawReceiver(RawReceiver::listed("Plover Sender 3")).nextBlock().samples, 512) << "it sends again";
    for (const std::string& name : RawReceiver::listedNames())
        for (const char* taken : {"(Plover Sender 1 ", "(Plover Sender 2 ", "(Plover Sender 3 "})
            EXPECT_EQ(name.find(taken), std::string::npos) << name << ": never published with a number added";
}
