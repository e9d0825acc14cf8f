#pragma once

// The real routing core without a clock: the test's thread is its audio
// thread and ticks it, at the engine's pace or as fast as it likes.

#include "engine/RoutingCore.h"
#include "ControllerListener.h"

#include <chrono>
#include <thread>

class CoreDriver {
public:
    static constexpr int kRate = 48000;
    static constexpr int kBlock = 512;

    CoreDriver()
    {
        ndiActive = true;
        core.setFormat(kRate, kBlock);
        core.listenToFinder();
    }
    ~CoreDriver() { ndiActive = false; }

    // One block, as the audio callback runs it, with NDI processing on.
    void tick(float* const* outputs = nullptr, int numOutputs = 0) { core.processBlock(outputs, numOutputs, kBlock, true); }

    // Ticks at the engine's pace, on an absolute schedule, until `done` or the time is up.
    template <typename Done>
    bool tickUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        const auto period = std::chrono::microseconds(kBlock * 1000000LL / kRate);
        const auto end = std::chrono::steady_clock::now() + limit;
        for (auto due = std::chrono::steady_clock::now(); due < end; due += period) {
            tick();
            if (done())
                return true;
            std::this_thread::sleep_until(due + period);
        }
        return false;
    }

    // Ticks until the probe has found the source (the first probe runs 2 s after the first block).
    bool tickUntilFound(const std::string& source)
    {
        return tickUntil([&] { return !listener.about(source).empty(); });
    }

    // Ticks until every change queued so far has run and been reported.
    bool tickUntilApplied()
    {
        return tickUntil([&] { return core.waitForCommands(std::chrono::milliseconds(0)); });
    }

    ControllerListener listener;
    NDISourceFinder finder;
    RoutingCore core{&listener, finder};
};
