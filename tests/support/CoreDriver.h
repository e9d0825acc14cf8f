#pragma once

// The real routing core without a clock: the test's thread is its audio
// thread and ticks it at the engine's pace.

#include "ControllerListener.h"
#include "engine/RoutingCore.h"

#include <algorithm>
#include <chrono>
#include <ctime>
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

    // Ticks on an absolute schedule until `done` or the time is up, each block
    // as the audio callback runs it with NDI processing on, into `outputs`.
    template <typename Done> bool tickUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        const auto period = std::chrono::microseconds(kBlock * 1000000LL / kRate);
        const auto end = std::chrono::steady_clock::now() + limit;
        for (auto due = std::chrono::steady_clock::now(); due < end; due += period) {
            const auto started = threadCpuTime();
            core.processBlock(outputs.data(), static_cast<int>(outputs.size()), kBlock, true);
            longestBlockCpu = std::max(longestBlockCpu, threadCpuTime() - started);
            if (done())
                return true;
            std::this_thread::sleep_until(due + period);
        }
        return false;
    }

    std::vector<float*> outputs;
    // The most CPU time a block tickUntil ran took: what the block itself cost, however the machine preempted it.
    std::chrono::nanoseconds longestBlockCpu{};

private:
    static std::chrono::nanoseconds threadCpuTime()
    {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    }

public:
    ControllerListener listener;
    NDISourceFinder finder;
    RoutingCore core{&listener, finder};
};
