// The A/V delay line: block by block and picture by picture on its own, and on
// the real engine while the delay slider moves.

#include "engine/AVDelayLine.h"
#include "engine/AudioController.h"
#include "engine/ReceiveSlot.h"
#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"
#include "support/TestSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stop_token>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000, kBlock = 512, kChannels = 2;

// Block k of the test signal: every sample tells its block, channel and place, exactly.
float sampleOf(int k, int channel, int i)
{
    return static_cast<float>(k) + 0.25f * static_cast<float>(channel) + static_cast<float>(i) / 1024.0f;
}

// Feeds blocks through a line the way the send step does, keeping what went
// out. The line swaps buffers with the frame it is given, so the frame stays.
struct Feeder {
    AVDelayLine& line;
    NDIlib_audio_frame_v2_t frame;
    int next = 0;

    explicit Feeder(AVDelayLine& l) : line(l)
    {
        frame.sample_rate = kRate;
        frame.no_channels = kChannels;
        frame.no_samples = kBlock;
        frame.channel_stride_in_bytes = kBlock * 4;
        frame.p_data = new float[kChannels * kBlock]();
    }
    ~Feeder() { delete[] frame.p_data; }

    std::vector<float> feed()
    {
        for (int c = 0; c < kChannels; ++c)
            for (int i = 0; i < kBlock; ++i)
                frame.p_data[c * kBlock + i] = sampleOf(next, c, i);
        ++next;
        const NDIlib_audio_frame_v2_t& out = line.delayAudio(frame);
        return std::vector<float>(out.p_data, out.p_data + kChannels * kBlock);
    }
};

// Whether `out` is block k exactly (k < 0: silence) from sample `from` on.
bool isBlock(const std::vector<float>& out, int k, int from = 0)
{
    for (int c = 0; c < kChannels; ++c)
        for (int i = from; i < kBlock; ++i)
            if (out[c * kBlock + i] != (k < 0 ? 0.0f : sampleOf(k, c, i)))
                return false;
    return true;
}

float peak(const RawReceiver::Block& block, int channel)
{
    float p = 0;
    for (int i = 0; i < block.samples; ++i)
        p = std::max(p, std::abs(block.at(channel, i)));
    return p;
}

} // namespace

TEST(DelayLine, movesItsReadPositionWithinItsRoomAndKeepsWhatItHoldsWhenItGrows)
{
    AVDelayLine line;
    line.setFormat(kRate, kBlock, kChannels);
    Feeder f(line);
    std::vector<float> out;

    EXPECT_TRUE(isBlock(f.feed(), 0)) << "no delay: the block just filled";
    // 100 ms at 48000/512 is 9 whole blocks; positions never filled go out silent.
    ASSERT_TRUE(line.setDelay(0.1));
    line.prepare();
    EXPECT_TRUE(isBlock(f.feed(), -1, 240)) << "fades out towards a position never filled";
    for (int k = 2; k < 30; ++k)
        ASSERT_TRUE(isBlock(f.feed(), k < 10 ? -1 : k - 9)) << "block " << k;
    EXPECT_EQ(line.audioBlocks(), 9u);

    // Within the ring's room: one crossfade of at most 5 ms, then exactly the new delay.
    ASSERT_TRUE(line.setDelay(0.05)); // 4 blocks
    out = f.feed();
    EXPECT_LT(std::abs(out[0] - sampleOf(30 - 9, 0, 0)), 0.01f) << "starts where the old delay was";
    EXPECT_FALSE(isBlock(out, 30 - 4, 239));
    EXPECT_TRUE(isBlock(out, 30 - 4, 240)) << "the new delay from 5 ms on";
    for (int k = 31; k < 35; ++k)
        ASSERT_TRUE(isBlock(f.feed(), k - 4)) << "block " << k;

    // A burst between two blocks: only the latest counts, and asks for no larger ring.
    ASSERT_TRUE(line.setDelay(0.2));
    ASSERT_TRUE(line.setDelay(0.03));
    ASSERT_TRUE(line.setDelay(0.07)); // 6 blocks
    line.prepare();
    EXPECT_TRUE(isBlock(f.feed(), 35 - 6, 240));
    EXPECT_TRUE(isBlock(f.feed(), 36 - 6));
    EXPECT_EQ(line.audioBlocks(), 9u);

    // Beyond its room the ring grows off the audio thread, keeping blocks 27..36;
    // the blocks it never held go out silent, never as anything older.
    ASSERT_TRUE(line.setDelay(0.15)); // 14 blocks
    line.prepare();
    EXPECT_TRUE(isBlock(f.feed(), -1, 240)) << "fades out towards a block never held";
    for (int k = 38; k < 41; ++k)
        ASSERT_TRUE(isBlock(f.feed(), -1)) << "block " << k;
    for (int k = 41; k < 60; ++k)
        ASSERT_TRUE(isBlock(f.feed(), k - 14)) << "block " << k;
    EXPECT_EQ(line.audioBlocks(), 14u);

    // Refused delays change nothing.
    EXPECT_FALSE(line.setDelay(5.001));
    EXPECT_FALSE(line.setDelay(-6.0));
    EXPECT_FALSE(line.setDelay(std::nan("")));
    EXPECT_EQ(line.delaySeconds(), 0.15);
    EXPECT_TRUE(isBlock(f.feed(), 60 - 14));

    // A negative delay sends the audio undelayed.
    ASSERT_TRUE(line.setDelay(-0.5));
    EXPECT_TRUE(isBlock(f.feed(), 61, 240));
    EXPECT_TRUE(isBlock(f.feed(), 62));
}

TEST(DelayLine, picturesMoveTheirReadPositionGrowKeepingThemAndAnotherSourceFlushes)
{
    auto a = std::make_shared<SourceReceiver>("Nowhere A", NDIlib_recv_bandwidth_highest);
    auto b = std::make_shared<SourceReceiver>("Nowhere B", NDIlib_recv_bandwidth_highest);
    ASSERT_TRUE(a->valid() && b->valid());
    std::vector<uint8_t> pixels(64);
    // Passes picture n of `from`; the number of the picture to send, or -1 for none.
    AVDelayLine line;
    int given = 0;
    auto pass = [&](int n, const std::shared_ptr<SourceReceiver>& from) {
        HeldPicture picture{NDIlib_video_frame_v2_t{}, from};
        picture.frame.p_data = &pixels[n];
        line.setPictureRate(25, 1);
        const NDIlib_video_frame_v2_t* out = line.delayVideo(picture);
        given += picture.frame.p_data != nullptr ? 1 : 0;
        return out != nullptr ? static_cast<int>(out->p_data - pixels.data()) : -1;
    };

    ASSERT_TRUE(line.setDelay(-0.2)); // 5 pictures at 25 per second
    for (int n = 0; n < 10; ++n)
        EXPECT_EQ(pass(n, a), n < 5 ? -1 : n - 5);
    ASSERT_TRUE(line.setDelay(-0.12)); // 3: within the ring's room
    for (int n = 10; n < 13; ++n)
        EXPECT_EQ(pass(n, a), n - 3);
    ASSERT_TRUE(line.setDelay(-0.4)); // 10: grows, keeping pictures 7..12
    for (int n = 13; n < 25; ++n)
        EXPECT_EQ(pass(n, a), n < 17 ? -1 : n - 10);
    EXPECT_EQ(given, 25 - 11) << "each picture is held (10 back and the latest) or handed back";
    ASSERT_TRUE(line.setDelay(0.1));
    EXPECT_EQ(pass(25, a), 25) << "a positive delay leaves the video undelayed";
    ASSERT_TRUE(line.setDelay(-0.08)); // 2
    EXPECT_EQ(pass(26, b), -1) << "another source's picture starts the ring afresh";
    EXPECT_EQ(pass(27, b), -1);
    EXPECT_EQ(pass(28, b), 26);
    line.releasePictures();
}

TEST(DelayLine, sixtyDelayChangesASecondForThreeSecondsNeverSilenceARoutedSender)
{
    TestSource source("Slider Tone", {.channels = 1});
    ControllerListener listener;
    AudioController controller{&listener};
    controller.ndiProcessingStarted = true;
    ASSERT_TRUE(controller.waitForCommands(5s));
    ASSERT_TRUE(listener.waitFor({"added", source.publishedName(), kNoChannel}));
    controller.addAudioConnection(source.publishedName(), 0, "Plover Sender 1", 0);
    controller.addAudioConnection(source.publishedName(), 0, "Plover Sender 2", 0);
    RawReceiver out(RawReceiver::listed("Plover Sender 1"));
    // The same tone, undelayed on another sender, shows whether the source itself
    // ever paused (a starved machine).
    std::atomic<int> sourceGaps{0};
    std::jthread direct([&](std::stop_token stop) {
        RawReceiver undelayed(RawReceiver::listed("Plover Sender 2"));
        for (bool heard = false; !stop.stop_requested();) {
            const RawReceiver::Block block = undelayed.nextBlock(100);
            const bool tone = block.samples > 0 && peak(block, 0) >= 0.5f;
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
            inRow = (peak(block, 0) >= 0.5f) == tone ? inRow + 1 : 0;
            if (inRow == run)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(controller.setAVDelay("Plover Sender 1", 200));
    ASSERT_TRUE(until(true, 1));
    // The ring grows to a second, silent where it holds nothing (far longer than
    // a pause of the source), and fills before the slider moves.
    ASSERT_TRUE(controller.setAVDelay("Plover Sender 1", 1000));
    ASSERT_TRUE(until(false, 20));
    ASSERT_TRUE(until(true, 1));

    // The slider dragged from 1000 ms down to 200 ms and back up, a step every 1/60 s.
    std::thread slider([&] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 180; ++i) {
            std::this_thread::sleep_until(start + i * 1s / 60);
            controller.setAVDelay("Plover Sender 1", 200 + std::abs(800 - 8 * i));
        }
    });
    int silent = 0, received = 0;
    for (int i = 0; i < 300; ++i) {
        const RawReceiver::Block block = out.nextBlock();
        received += block.samples > 0 ? 1 : 0;
        silent += block.samples > 0 && peak(block, 0) < 0.5f ? 1 : 0;
    }
    slider.join();
    direct.request_stop();
    direct.join();
    EXPECT_EQ(received, 300);
    EXPECT_DOUBLE_EQ(controller.routingSnapshot().delaySeconds.at("Plover Sender 1"), 0.832);
    // Only the source's own pauses may silence a block; while the delay grows, a
    // block of the source may go out again, so one pause at most three times.
    EXPECT_LE(silent, 3 * sourceGaps) << "blocks without the tone on the routed channel; the source paused "
                                      << sourceGaps << " times";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
