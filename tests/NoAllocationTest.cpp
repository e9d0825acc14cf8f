// The audio callback allocates and frees nothing: every allocation and every
// free made by the thread that runs the blocks is counted, while sources are
// routed, delayed and sent, and while routing changes execute. Once routing
// runs steadily, the NDI runtime's own calls count too; a runtime may set up
// buffers when a new sender sends its first blocks, which is its own affair.

#include "support/CoreDriver.h"
#include "support/LoopbackEnvironment.h"
#include "support/TestSource.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {
thread_local bool counting = false;
bool countingRuntime = true;
std::atomic<int> allocations{0};
std::atomic<int> frees{0};

bool calledByRuntime(void* caller)
{
    Dl_info info;
    return dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
        std::strstr(info.dli_fname, "ndi-loopback") != nullptr;
}
} // namespace

void* operator new(std::size_t size)
{
    if (counting && (countingRuntime || !calledByRuntime(__builtin_return_address(0))))
        ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void operator delete(void* p) noexcept
{
    if (counting && p != nullptr)
        ++frees;
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    operator delete(p);
}

TEST(NoAllocation, blocksAllocateAndFreeNothingWhileTheyRouteAndWhileChangesRun)
{
    std::vector<std::unique_ptr<TestSource>> sources;
    for (int s = 0; s < 4; ++s)
        sources.push_back(std::make_unique<TestSource>(
            "Eight " + std::to_string(s), TestSource::Options{.channels = 8, .frameRateN = s == 0 ? 25 : 0}));
    CoreDriver engine;
    RoutingCore& core = engine.core;
    for (const auto& source : sources)
        ASSERT_TRUE(engine.tickUntil([&] { return !engine.listener.about(source->publishedName()).empty(); }));

    for (int k = 0; k < 4; ++k) {
        const std::string sender = "Out " + std::to_string(k);
        core.addSender(sender, 8);
        for (uint32_t ch = 0; ch < 8; ++ch)
            core.addAudioConnection(sources[(k + ch) % 4]->publishedName(), ch, sender, ch);
    }
    core.addSender("Monitor", 2);
    core.addAudioConnection(sources[1]->publishedName(), 0, "Monitor", 0);
    core.setVideoConnection(sources[0]->publishedName(), "Out 2");
    ASSERT_TRUE(core.setAVDelay("Out 1", 100));
    ASSERT_TRUE(core.setAVDelay("Out 2", -100));
    std::vector<float> left(CoreDriver::kBlock), right(CoreDriver::kBlock);
    engine.outputs = {left.data(), right.data()};
    // Receivers arrive, rings are handed over, the runtime's buffers warm up.
    ASSERT_TRUE(engine.tickUntil([&] { return core.waitForCommands(std::chrono::milliseconds(0)); }));
    engine.tickUntil([] { return false; }, std::chrono::milliseconds(1500));

    // At the engine's pace, so the pause after clearing the senders passes too.
    auto run = [&](int blocks) {
        counting = true;
        engine.tickUntil([&] { return --blocks == 0; });
        counting = false;
    };
    run(200);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(frees.load(), 0);

    // Every kind of change, executed by the counting thread.
    countingRuntime = false;
    core.addSender("Late", 4);
    core.addAudioConnection(sources[3]->publishedName(), 7, "Late", 3);
    core.removeAudioConnection("Out 0", 0);
    core.setVideoConnection(sources[0]->publishedName(), "Out 3");
    core.removeVideoConnection("Out 2");
    core.removeSender("Out 1");
    ASSERT_TRUE(core.setAVDelay("Out 3", 50)); // a ring grown off this thread and taken in a block
    run(5);
    ASSERT_TRUE(core.setAVDelay("Out 3", 20)); // within the ring: a crossfade alone
    run(5);
    StoredRouting reload;
    reload.senders.push_back({"Out 0", {{0, sources[0]->publishedName()}}, sources[0]->publishedName()});
    core.replaceRouting(reload);
    run(150);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(frees.load(), 0);
    EXPECT_TRUE(core.waitForCommands(std::chrono::seconds(1))) << "every change ran on the counting thread";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
