// The send side with exact values: what NDITx copies, delays and sends, read
// back block by block through a real loopback receiver of the sender.

#include "engine/NDITx.h"
#include "ndi/NDISourceFinder.h"
#include "ndi/NdiLibrary.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 512;

// The maps around NDITx, with sources whose blocks the test writes itself.
struct SendSide {
    SenderMap senders;
    SourceFramesMap frames;
    SourceFreshAudio fresh;
    SenderChannelMappings mappings;
    NDITx tx{senders, frames, fresh, mappings};
    std::map<std::string, std::vector<float>> buffers;

    SendSide() { tx.setFormat(kRate, kBlock); }

    SenderState& addSender(const std::string& name, uint32_t channels)
    {
        SenderState state;
        EXPECT_TRUE(state.initialise(name, channels, kRate, kBlock));
        state.createSendInstance();
        mappings[name] = std::vector<ChannelMapping>(channels);
        return senders.emplace(name, std::move(state)).first->second;
    }

    // A source block whose channel c holds value(c) in every sample.
    void setSourceBlock(const std::string& name, int channels, int samples, float base, bool isFresh = true)
    {
        auto& holder = frames[name];
        if (!holder)
            holder = std::make_unique<AVFramesContainer>();
        auto& data = buffers[name];
        data.assign(static_cast<size_t>(channels) * samples, 0.0f);
        for (int c = 0; c < channels; ++c)
            std::fill_n(data.begin() + c * samples, samples, base + static_cast<float>(c));
        holder->audioFrame.no_channels = channels;
        holder->audioFrame.no_samples = samples;
        holder->audioFrame.channel_stride_in_bytes = samples * 4;
        holder->audioFrame.p_data = data.data();
        fresh[name] = isFresh;
    }

    NDIlib_send_instance_t instance(const std::string& sender) { return senders.at(sender).sendInstance; }
};

} // namespace

TEST(SendSide, eachSenderChannelCarriesItsOneSourceChannelOrSilence)
{
    SendSide side;
    side.addSender("Copy", 5);
    RawReceiver out(side.instance("Copy"));
    side.mappings["Copy"][0] = {2, "X"};  // channel 2 of X
    side.mappings["Copy"][1] = {};        // unconnected
    side.mappings["Copy"][2] = {7, "X"};  // X has no channel 7
    side.mappings["Copy"][3] = {0, "Y"};  // Y sent nothing fresh this block
    side.mappings["Copy"][4] = {0, "Short"};
    side.setSourceBlock("X", 3, kBlock, 10.0f);
    side.setSourceBlock("Y", 1, kBlock, 20.0f, false);
    side.setSourceBlock("Short", 1, 100, 30.0f);

    side.tx.processBlock();
    const auto block = out.nextBlock();
    ASSERT_EQ(block.channels, 5);
    ASSERT_EQ(block.samples, kBlock);
    for (int i = 0; i < kBlock; ++i) {
        ASSERT_EQ(block.at(0, i), 12.0f);
        ASSERT_EQ(block.at(1, i), 0.0f);
        ASSERT_EQ(block.at(2, i), 0.0f);
        ASSERT_EQ(block.at(3, i), 0.0f);
        ASSERT_EQ(block.at(4, i), i < 100 ? 30.0f : 0.0f) << "a short block is followed by silence";
    }

    // The same source goes silent when it leaves; a fresh block of Y is heard.
    side.frames["X"]->active = false;
    side.fresh["Y"] = true;
    side.tx.processBlock();
    const auto next = out.nextBlock();
    EXPECT_EQ(next.at(0, 0), 0.0f);
    EXPECT_EQ(next.at(3, kBlock - 1), 20.0f);
}

TEST(SendSide, positiveDelayHoldsAudioBackByWholeBlocksAndNeverReplaysOldAudio)
{
    SendSide side;
    SenderState& sender = side.addSender("Delayed", 1);
    RawReceiver out(side.instance("Delayed"));
    side.mappings["Delayed"][0] = {0, "Counter"};
    float block = 0;
    auto sendNext = [&] {
        side.setSourceBlock("Counter", 1, kBlock, ++block);
        side.tx.processBlock();
        return out.nextBlock().at(0, kBlock - 1);
    };

    for (int i = 1; i <= 20; ++i)
        ASSERT_EQ(sendNext(), static_cast<float>(i)) << "delay 0 sends the current block";

    // 100 ms at 48000 Hz and 512 samples is 9 whole blocks; the new ring goes out silent first.
    ASSERT_TRUE(sender.delayLine->setDelay(0.100, kRate, kBlock, 1));
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(sendNext(), 0.0f) << "entry " << i << " of the new ring";
    for (int i = 0; i < 10; ++i) {
        const float sent = sendNext();
        ASSERT_EQ(sent, block - 9) << "the block routed 9 blocks earlier";
    }
    EXPECT_EQ(sender.delayLine->audioBlocks(), 9u);

    // A shorter delay: silence, then the new path; nothing sent twice, nothing out of order.
    const float lastBefore = block - 9;
    ASSERT_TRUE(sender.delayLine->setDelay(0.050, kRate, kBlock, 1));
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(sendNext(), 0.0f);
    const float firstAfter = sendNext();
    EXPECT_GT(firstAfter, lastBefore);
    EXPECT_EQ(firstAfter, block - 4);

    // Back to 0: the current block goes out again at once.
    ASSERT_TRUE(sender.delayLine->setDelay(0.0, kRate, kBlock, 1));
    const float now = sendNext();
    EXPECT_EQ(now, block);
    EXPECT_FALSE(sender.delayLine->audioReady());
}

TEST(SendSide, negativeDelayLeavesAudioAloneAndHoldsPicturesBack)
{
    SendSide side;
    SenderState& sender = side.addSender("Video Late", 1);
    RawReceiver out(side.instance("Video Late"));
    side.mappings["Video Late"][0] = {0, "Counter"};
    ASSERT_TRUE(sender.delayLine->setDelay(-0.100, kRate, kBlock, 1));
    side.setSourceBlock("Counter", 1, kBlock, 5.0f);
    side.tx.processBlock();
    EXPECT_EQ(out.nextBlock().at(0, 0), 5.0f) << "audio is not delayed";

    AVDelayLine& line = *sender.delayLine;
    std::vector<std::vector<uint8_t>> storage(40, std::vector<uint8_t>(16));
    auto picture = [&](int n, int rateN) {
        HeldPicture p;
        storage[static_cast<size_t>(n)][0] = static_cast<uint8_t>(n);
        p.frame.p_data = storage[static_cast<size_t>(n)].data();
        p.frame.frame_rate_N = rateN;
        p.frame.frame_rate_D = 1;
        return p;
    };
    auto pass = [&](int n, int rateN) {
        HeldPicture p = picture(n, rateN);
        line.setPictureRate(rateN, 1);
        line.delayVideo(p);
        return p.frame.p_data == nullptr ? -1 : p.frame.p_data[0];
    };

    // −100 ms at 25 pictures a second: 2 pictures late, nothing sent while the ring fills.
    EXPECT_EQ(pass(1, 25), -1);
    EXPECT_EQ(pass(2, 25), -1);
    for (int n = 3; n <= 10; ++n)
        ASSERT_EQ(pass(n, 25), n - 2);
    EXPECT_EQ(line.videoPictures(), 2u);

    // A new picture rate rebuilds the ring: 5 late at 50 a second, starting afresh.
    for (int n = 11; n <= 15; ++n)
        ASSERT_EQ(pass(n, 50), -1) << "the rebuilt ring fills before anything is sent";
    EXPECT_EQ(pass(16, 50), 11);
    EXPECT_EQ(line.videoPictures(), 5u);
}

TEST(SendSide, monitorIsNeverPublishedSentOrDelayed)
{
    SendSide side;
    SenderState& monitor = side.addSender("Monitor", 2);
    EXPECT_EQ(monitor.sendInstance, nullptr);
    ASSERT_TRUE(monitor.delayLine->setDelay(0.100, kRate, kBlock, 2));
    side.mappings["Monitor"][1] = {0, "Counter"};
    for (float b = 1; b <= 12; ++b) {
        side.setSourceBlock("Counter", 1, kBlock, b);
        side.tx.processBlock();
        ASSERT_EQ(monitor.audioFrame.p_data[kBlock], b) << "the monitor plays the current block";
    }

    NDIlib_find_create_t settings;
    NDIlib_find_instance_t finder = ndi().find_create_v3(&settings, nullptr);
    uint32_t count = 0;
    const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(finder, &count);
    for (uint32_t i = 0; i < count; ++i)
        EXPECT_EQ(std::string(list[i].p_ndi_name).find("(Monitor)"), std::string::npos);
    ndi().find_destroy(finder);
}

TEST(SendSide, absurdSendersAndDelaysAreRefusedAndTheRestRuns)
{
    SenderState huge;
    EXPECT_FALSE(huge.initialise("Huge", 1000000, kRate, kBlock));
    EXPECT_EQ(huge.sendInstance, nullptr);

    SendSide side;
    SenderState& sender = side.addSender("Bounded", 1024);
    EXPECT_FALSE(sender.delayLine->setDelay(10.0, kRate, kBlock, 1024)) << "beyond the bound";
    EXPECT_FALSE(sender.delayLine->setDelay(2.0, kRate, kBlock, 1024)) << "a ring of 393 MB";
    EXPECT_FALSE(sender.delayLine->setDelay(std::nan(""), kRate, kBlock, 1024));
    EXPECT_EQ(sender.delayLine->delaySeconds(), 0.0);
    EXPECT_TRUE(sender.delayLine->setDelay(-2.0, kRate, kBlock, 1024)) << "a video delay holds no audio";
    EXPECT_TRUE(side.addSender("Stereo", 2).delayLine->setDelay(2.0, kRate, kBlock, 2));
    side.tx.processBlock();
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
