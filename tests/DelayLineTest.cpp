// The A/V delay line: block by block and picture by picture on its own, and on
// the real engine while the delay slider moves.

#include "engine/AVDelayLine.h"
#include "engine/ReceiveSlot.h"
#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/TestSource.h"
#include "support/Tone.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stop_token>
#include <thread>

using namespace std::chrono_literals;

// The loopback runtime's own folders, before any test uses it.
[[maybe_unused]] const auto* const kLoopback = testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

namespace {

constexpr int kRate = 48000, kBlock = 512, kChannels = 2;

// Block k of the test signal: every sample tells its block, channel and place, exactly.
float sampleOf(int k, int channel, int i)
{
    return static_cast<float>(k) + 0.25f * static_cast<float>(channel) + static_cast<float>(i) / 1024.0f;
}

// Whether `out` is block k exactly (k < 0: silence) from sample `from` on.
bool isBlock(const std::vector<float>& out, int k, int from = 0)
{
    for (int c = 0; c < kChannels; ++c)
        for (int i = from; i < kBlock; ++i)
            if (out[c * kBlock + i] != (k < 0 ? 0.0f : sampleOf(k, c, i)))
                return false;
    return true;
}

// From block (or picture) `from` up to `until`, with `delays` set at `from`, of
// which only the last counts: k goes out as k - back, or as nothing when the
// ring never held that one because it is older than `oldest`.
struct Step {
    std::vector<double> delays;
    int from, until, back, oldest;
    int expected(int k) const { return k - back >= oldest ? k - back : -1; }
};

} // namespace

TEST(DelayLine, movesItsReadPositionWithinItsRoomAndKeepsWhatItHoldsWhenItGrows)
{
    AVDelayLine line;
    line.setFormat(kRate, kBlock, kChannels);
    // The line swaps buffers with the frame it is given, so the frame outlives every call.
    NDIlib_audio_frame_v2_t frame{.sample_rate = kRate,
        .no_channels = kChannels,
        .no_samples = kBlock,
        .p_data = new float[kChannels * kBlock](),
        .channel_stride_in_bytes = kBlock * 4};
    std::vector<std::vector<float>> sent;
    auto feed = [&] {
        for (int c = 0; c < kChannels; ++c)
            for (int i = 0; i < kBlock; ++i)
                frame.p_data[c * kBlock + i] = sampleOf(static_cast<int>(sent.size()), c, i);
        const NDIlib_audio_frame_v2_t& out = line.delayAudio(frame);
        return sent.emplace_back(out.p_data, out.p_data + kChannels * kBlock);
    };
    EXPECT_TRUE(isBlock(feed(), 0)) << "no delay: the block just filled";

    // A block is 10.67 ms; after a change the first block is exact past the 5 ms crossfade.
    const std::pair<Step, uint64_t> steps[] = {
        {{{0.1}, 1, 30, 9, 1}, 9}, // positions never filled go out silent
        {{{0.05}, 30, 35, 4, 1}, 9}, // within the ring's room
        {{{0.2, 0.03, 0.07}, 35, 37, 6, 1}, 9}, // a burst between two blocks asks for no larger ring
        {{{0.15}, 37, 60, 14, 27}, 14}, // grown off the audio thread, keeping blocks 27..36
        {{{-0.5}, 60, 62, 0, 0}, 14}, // a negative delay sends the audio undelayed
    };
    for (const auto& [step, room] : steps) {
        for (const double delay : step.delays)
            ASSERT_TRUE(line.setDelay(delay));
        line.prepare();
        for (int k = step.from; k < step.until; ++k)
            ASSERT_TRUE(isBlock(feed(), step.expected(k), k == step.from ? 240 : 0)) << "block " << k;
        EXPECT_EQ(line.audioBlocks(), room) << "from block " << step.from;
    }
    EXPECT_LT(std::abs(sent[30][0] - sampleOf(30 - 9, 0, 0)), 0.01f) << "the crossfade starts at the old delay";
    EXPECT_FALSE(isBlock(sent[30], 30 - 4, 239)) << "and ends at 5 ms";

    for (const double refused : {5.001, std::nan("")})
        EXPECT_FALSE(line.setDelay(refused)) << refused;
    EXPECT_EQ(line.delaySeconds(), -0.5);
    EXPECT_TRUE(isBlock(feed(), 62)) << "refused delays change nothing";
    delete[] frame.p_data;
}

TEST(DelayLine, picturesMoveTheirReadPositionGrowKeepingThemAndAnotherSourceFlushes)
{
    auto a = std::make_shared<SourceReceiver>("Nowhere A", NDIlib_recv_bandwidth_highest);
    auto b = std::make_shared<SourceReceiver>("Nowhere B", NDIlib_recv_bandwidth_highest);
    ASSERT_TRUE(a->valid() && b->valid());
    std::vector<uint8_t> pixels(64);
    AVDelayLine line;
    int given = 0;
    // At 25 pictures a second; the last step's pictures come from another source.
    const Step steps[] = {
        {{-0.2}, 0, 10, 5, 0}, // 5 pictures back
        {{-0.12}, 10, 13, 3, 0}, // within the ring's room
        {{-0.4}, 13, 25, 10, 7}, // grows, keeping pictures 7..12
        {{0.1}, 25, 26, 0, 0}, // a positive delay leaves the video undelayed
        {{-0.08}, 26, 29, 2, 26}, // another source's picture starts the ring afresh
    };
    for (const Step& step : steps) {
        ASSERT_TRUE(line.setDelay(step.delays[0]));
        for (int n = step.from; n < step.until; ++n) {
            HeldPicture picture{NDIlib_video_frame_v2_t{}, n < 26 ? a : b};
            picture.frame.p_data = &pixels[n];
            line.setPictureRate(25, 1);
            const NDIlib_video_frame_v2_t* out = line.delayVideo(picture);
            EXPECT_EQ(out != nullptr ? out->p_data - pixels.data() : -1, step.expected(n)) << "picture " << n;
            given += picture.frame.p_data != nullptr && n < 25 ? 1 : 0;
        }
    }
    EXPECT_EQ(given, 25 - 11) << "each picture is held (10 back and the latest) or handed back";
    line.releasePictures();
}

TEST(DelayLine, sixtyDelayChangesASecondForThreeSecondsNeverSilenceARoutedSender)
{
    TestSource source("Slider Tone", {.channels = 1});
    RunningController e;
    ASSERT_TRUE(e.found(source.publishedName()));
    e.controller.addAudioConnection(source.publishedName(), 0, "Plover Sender 1", 0);
    e.controller.addAudioConnection(source.publishedName(), 0, "Plover Sender 2", 0);
    RawReceiver out(RawReceiver::listed("Plover Sender 1"));
    // The same tone, undelayed on another sender, shows whether the source itself
    // ever paused (a starved machine).
    std::atomic<int> sourceGaps{0};
    std::jthread direct([&](std::stop_token stop) {
        RawReceiver undelayed(RawReceiver::listed("Plover Sender 2"));
        for (bool heard = false; !stop.stop_requested();) {
            const RawReceiver::Block block = undelayed.nextBlock(100);
            const bool tone = peak(block.data) >= 0.5f;
            sourceGaps += heard && block.samples > 0 && !tone ? 1 : 0;
            heard = heard || tone;
        }
    });
    // Receives until `run` blocks in a row with (or without) the tone on the routed channel.
    auto until = [&](bool tone, int run) {
        for (int i = 0, inRow = 0; i < 400; ++i) {
            const RawReceiver::Block block = out.nextBlock();
            if (block.samples == 0)
                return false;
            inRow = (peak(block.data) >= 0.5f) == tone ? inRow + 1 : 0;
            if (inRow == run)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(e.controller.setAVDelay("Plover Sender 1", 200));
    ASSERT_TRUE(until(true, 1));
    // The ring grows to a second, silent where it holds nothing (far longer than
    // a pause of the source), and fills before the slider moves.
    ASSERT_TRUE(e.controller.setAVDelay("Plover Sender 1", 1000));
    ASSERT_TRUE(until(false, 20));
    ASSERT_TRUE(until(true, 1));

    // The slider dragged from 1000 ms down to 200 ms and back up, a step every 1/60 s.
    std::thread slider([&] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 180; ++i) {
            std::this_thread::sleep_until(start + i * 1s / 60);
            e.controller.setAVDelay("Plover Sender 1", 200 + std::abs(800 - 8 * i));
        }
    });
    int silent = 0, received = 0;
    for (int i = 0; i < 300; ++i) {
        const RawReceiver::Block block = out.nextBlock();
        received += block.samples > 0 ? 1 : 0;
        silent += block.samples > 0 && peak(block.data) < 0.5f ? 1 : 0;
    }
    slider.join();
    direct.request_stop();
    direct.join();
    EXPECT_EQ(received, 300);
    EXPECT_DOUBLE_EQ(e.controller.routingSnapshot().delaySeconds.at("Plover Sender 1"), 0.832);
    // Only the source's own pauses may silence a block; while the delay grows, a
    // block of the source may go out again, so one pause at most three times.
    EXPECT_LE(silent, 3 * sourceGaps) << "blocks without the tone on the routed channel; the source paused "
                                      << sourceGaps << " times";
}
