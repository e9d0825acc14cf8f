// The per-block send path allocates nothing: every allocation made by this
// thread while it runs the channel copy, the delay and the send is counted.

#include "engine/NDITx.h"
#include "support/LoopbackEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
std::atomic<int> allocations{0};
} // namespace

void* operator new(std::size_t size)
{
    if (counting)
        ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

TEST(NoAllocation, channelCopyDelayAndSendAllocateNothing)
{
    constexpr int kRate = 48000, kBlock = 512;
    SenderMap senders;
    SourceFramesMap frames;
    SourceFreshAudio fresh;
    SenderChannelMappings mappings;
    NDITx tx(senders, frames, fresh, mappings);
    tx.setFormat(kRate, kBlock);

    std::vector<float> sourceData(8 * kBlock, 0.25f);
    for (int s = 0; s < 4; ++s) {
        const std::string name = "SOURCE (" + std::to_string(s) + ")";
        auto holder = std::make_unique<AVFramesContainer>();
        holder->audioFrame.no_channels = 8;
        holder->audioFrame.no_samples = kBlock;
        holder->audioFrame.channel_stride_in_bytes = kBlock * 4;
        holder->audioFrame.p_data = sourceData.data();
        frames[name] = std::move(holder);
        fresh[name] = true;
    }
    for (int k = 0; k < 4; ++k) {
        const std::string name = "Out " + std::to_string(k);
        SenderState state;
        ASSERT_TRUE(state.initialise(name, 8, kRate, kBlock));
        state.createSendInstance();
        if (k == 1) {
            ASSERT_TRUE(state.delayLine->setDelay(0.1, kRate, kBlock, 8));
        }
        if (k == 2) {
            ASSERT_TRUE(state.delayLine->setDelay(-0.1, kRate, kBlock, 8));
        }
        senders.emplace(name, std::move(state));
        auto& m = mappings[name];
        for (uint32_t ch = 0; ch < 8; ++ch)
            m.push_back({ch, "SOURCE (" + std::to_string((k + ch) % 4) + ")"});
    }
    SenderState monitor;
    ASSERT_TRUE(monitor.initialise("Monitor", 2, kRate, kBlock));
    senders.emplace("Monitor", std::move(monitor));
    mappings["Monitor"] = {{0, "SOURCE (0)"}, {1, "SOURCE (1)"}};

    for (int i = 0; i < 50; ++i)
        tx.processBlock(); // takes the handed-over rings, warms the runtime's buffers

    counting = true;
    for (int i = 0; i < 500; ++i)
        tx.processBlock();
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
