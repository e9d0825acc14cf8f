// The audio callback allocates and frees nothing: the thread that runs the
// blocks counts every allocation and free while sources are routed, delayed and
// sent, and while routing changes run. The NDI runtime's own calls count too
// once routing runs steadily: a new sender's first blocks may set up buffers.

#include "support/CoreDriver.h"
#include "support/LoopbackEnvironment.h"
#include "support/TestSource.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

// The loopback runtime's own folders, before any test uses it.
[[maybe_unused]] const auto* const kLoopback = testing::AddGlobalTestEnvironment(new LoopbackEnvironment);

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
    const TestSource camera("Camera", {.channels = 8, .frameRateN = 25}), mixer("Mixer", {.channels = 8});
    const std::string a = camera.publishedName(), b = mixer.publishedName();
    CoreDriver engine;
    RoutingCore& core = engine.core;
    ASSERT_TRUE(
        engine.tickUntil([&] { return !engine.listener.about(a).empty() && !engine.listener.about(b).empty(); }));
    for (const char* sender : {"Out 0", "Out 1", "Out 2", "Out 3"}) {
        core.addSender(sender, 8);
        for (uint32_t ch = 0; ch < 8; ++ch)
            core.addAudioConnection(ch % 2 != 0 ? a : b, ch, sender, ch);
    }
    core.addSender("Monitor", 2);
    core.addAudioConnection(b, 0, "Monitor", 0);
    core.setVideoConnection(a, "Out 2");
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

    // Every kind of change, executed by the counting thread; the counts go on from the steady run.
    countingRuntime = false;
    core.addSender("Late", 4);
    core.addAudioConnection(a, 7, "Late", 3);
    core.removeAudioConnection("Out 0", 0);
    core.setVideoConnection(a, "Out 3");
    core.removeVideoConnection("Out 2");
    core.removeSender("Out 1");
    ASSERT_TRUE(core.setAVDelay("Out 3", 50)); // a ring grown off this thread and taken in a block
    run(5);
    ASSERT_TRUE(core.setAVDelay("Out 3", 20)); // within the ring: a crossfade alone
    run(5);
    StoredRouting reload;
    reload.senders.push_back({"Out 0", {{0, a}}, a});
    core.replaceRouting(reload);
    run(150);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(frees.load(), 0);
    EXPECT_TRUE(core.waitForCommands(std::chrono::seconds(1))) << "every change ran on the counting thread";
}
