// A source whose capture stalls costs only its own blocks: the audio thread
// waits for the capture until a deadline inside its block, counts the
// source's dropout and goes on, and the other sources and senders keep time.
// The runtime is the loopback one with one source's capture made slow.

#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/SlowCaptureRuntime.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

[[maybe_unused]] const auto* const kLoopback = testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

namespace {

std::vector<float> firstChannel(const RawReceiver::Block& block)
{
    return {block.data.begin(), block.data.begin() + std::min<size_t>(block.data.size(), block.samples)};
}

} // namespace

TEST(CaptureDeadline, aSourceWhoseCaptureStallsDropsOutAloneWhileTheOtherSendersKeepTimeAndTheirTone)
{
    ASSERT_TRUE(installSlowCaptureRuntime("Slow", 30ms));
    TestSource slow("Slow", {.channels = 1}), steady("Steady", {.channels = 1});
    RunningController e(LoopbackEnvironment::folder + "/deadline.ploverc");
    ASSERT_TRUE(e.found(slow.publishedName()));
    ASSERT_TRUE(e.found(steady.publishedName()));
    e.controller.addAudioConnection(slow.publishedName(), 0, "Plover Sender 1", 0);
    e.controller.addAudioConnection(steady.publishedName(), 0, "Plover Sender 2", 0);
    ASSERT_TRUE(e.controller.waitForCommands(2s));
    RawReceiver slowOut(RawReceiver::listed("Plover Sender 1")), steadyOut(RawReceiver::listed("Plover Sender 2"));
    for (int i = 0; i < 40; ++i) // receivers made and frame-syncs primed
        steadyOut.nextBlock();

    // Two seconds are 187 blocks; a clock that waited out every slow capture would send a third of them.
    int sent = 0, withTone = 0;
    for (const auto end = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < end;) {
        const RawReceiver::Block block = steadyOut.nextBlock();
        const ToneFit fit = fitTone(firstChannel(block), 375.0, 48000); // 4 whole cycles a block
        ++sent;
        withTone += fit.toneFraction > 0.99 && std::abs(fit.amplitude - 1.0) < 0.02 ? 1 : 0;
    }
    EXPECT_GT(sent, 150) << "the senders keep the clock's time";
    EXPECT_GE(withTone, sent * 95 / 100) << "the steady source is heard in its blocks";

    // The slow source's blocks are whole: silent where its capture was late, its tone where one had ended.
    int silent = 0, heard = 0;
    for (int i = 0; i < 100; ++i) {
        const float level = peak(firstChannel(slowOut.nextBlock()));
        silent += level == 0.0f ? 1 : 0;
        heard += level > 0.99f ? 1 : 0;
    }
    EXPECT_EQ(silent + heard, 100);
    EXPECT_GT(silent, 30);
    EXPECT_GT(heard, 5);

    const AudioController::Status status = e.controller.status();
    const uint64_t slowDropouts = status.routing.sources.at(slow.publishedName()).captureDropouts;
    EXPECT_GT(slowDropouts, 100u);
    EXPECT_LT(status.routing.sources.at(steady.publishedName()).captureDropouts, slowDropouts / 10);
    EXPECT_GE(status.routing.blocks.captureDropouts, slowDropouts);
}
