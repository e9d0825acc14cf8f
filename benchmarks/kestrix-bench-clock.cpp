// The software audio clock over a long run: how many samples a second it
// really gives the engine (each tick is a 512-sample block), and how far tick
// starts stray from the ideal schedule. With --cadence-94 the same figures for
// the former loop: 94 ticks a second timed by a 510/511-sample table, each
// deadline counted from the clock read after the previous tick.
//
//   build/bin/kestrix-bench-clock [--seconds N] [--cadence-94]

#include "BenchmarkRun.h"
#include "ProcessCpu.h"
#include "engine/VirtualAudioDevice.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000, kBlock = 512;

// Records the entry time of every tick into room reserved up front.
class EntryRecorder : public juce::AudioIODeviceCallback {
public:
    explicit EntryRecorder(double seconds) { entries.reserve(static_cast<size_t>(seconds * 100) + 1000); }

    void audioDeviceIOCallbackWithContext(
        const float* const*, int, float* const*, int, int, const juce::AudioIODeviceCallbackContext&) override
    {
        const auto now = Clock::now();
        if (entries.size() < entries.capacity())
            entries.push_back(now);
    }
    void audioDeviceAboutToStart(juce::AudioIODevice*) override { }
    void audioDeviceStopped() override { }

    // Read only after the clock has stopped.
    std::vector<Clock::time_point> entries;
};

// The former loop: a table of 94 block lengths adding up to 48000 samples,
// each period rounded to the nanosecond and slept from the clock read after
// the previous tick, so lateness is never made up.
class Cadence94Loop {
public:
    static constexpr const char* kTable =
        "0110110110101101101101011011011011010110110110110101101101101101011011011011010110110110110101";

    std::chrono::nanoseconds period(size_t index) const
    {
        const int samples = kTable[index] == '1' ? 511 : 510;
        return std::chrono::nanoseconds(std::llround(samples * 1e9 / 48000.0));
    }

    void run(juce::AudioIODeviceCallback& callback)
    {
        size_t index = 0;
        while (!exit) {
            index = (index + 1) % 94;
            const auto t0 = Clock::now();
            const auto deadline = Clock::now() + period(index);
            deadlines.push_back(deadline);
            callback.audioDeviceIOCallbackWithContext(nullptr, 0, nullptr, 0, 0, {});
            const auto t2 = Clock::now();
            if (deadline < t2)
                std::fprintf(stderr, "callbacks taking too long!\n%lld\n%lld\n",
                    static_cast<long long>((t2 - t0).count()), static_cast<long long>((t2 - deadline).count()));
            std::this_thread::sleep_until(deadline);
        }
    }

    std::atomic<bool> exit{false};
    std::vector<Clock::time_point> deadlines;
};

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

std::string loadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void printSpread(const char* what, const std::vector<double>& values)
{
    double worst = 0;
    for (double v : values)
        worst = std::max(worst, std::fabs(v));
    std::printf("  %s: median %.1f us, p99 %.1f us, max |dev| %.1f us\n", what, percentile(values, 0.5),
        percentile(values, 0.99), worst);
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    bool cadence94 = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1.0, std::atof(argv[++i]));
        else if (std::strcmp(argv[i], "--cadence-94") == 0)
            cadence94 = true;
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--cadence-94]\n", argv[0]);
            return 2;
        }
    }

    std::printf("%s for %g s; load average before: %s\n",
        cadence94 ? "former loop, 94 ticks/s from the 510/511 table" : "VirtualAudioDevice, absolute schedule", seconds,
        loadAverage().c_str());
    EntryRecorder recorder(seconds);
    Cadence94Loop former;
    former.deadlines.reserve(recorder.entries.capacity() + 1);
    const double cpuBefore = ownCpuSeconds();
    double stopMs = 0;

    if (cadence94) {
        std::thread thread([&] { former.run(recorder); });
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        former.exit = true;
        thread.join();
    } else {
        VirtualAudioDevice device;
        device.start(&recorder);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const auto stopCalled = Clock::now();
        device.stop();
        stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stopCalled).count();
    }
    const double cpu = ownCpuSeconds() - cpuBefore;

    const auto& entries = recorder.entries;
    if (entries.size() < 2) {
        std::printf("fewer than two ticks recorded\n");
        return 0;
    }
    // Rate over whole tick intervals, so the partial one at each end does not count.
    const double span = std::chrono::duration<double>(entries.back() - entries.front()).count();
    const double samplesPerSecond = static_cast<double>(entries.size() - 1) * kBlock / span;
    std::printf("  ticks: %zu over %.3f s (%.3f ticks/s)\n", entries.size(), span,
        static_cast<double>(entries.size() - 1) / span);
    std::printf("  samples/s at %d per tick: %.2f against %d (%+.0f ppm)\n", kBlock, samplesPerSecond, kRate,
        (samplesPerSecond / kRate - 1) * 1e6);

    // The schedule each loop aims at, from its first tick: k blocks of
    // 512/48000 s for the device; the table's periods added up for the former loop.
    std::vector<double> fromSchedule, fromOwnDeadline;
    std::chrono::nanoseconds ideal{0};
    for (size_t k = 0; k < entries.size(); ++k) {
        if (cadence94) {
            if (k > 0)
                ideal += former.period(k % 94);
        } else
            ideal = VirtualAudioDevice::blockStart(static_cast<int64_t>(k), kRate, kBlock);
        fromSchedule.push_back(micros(entries[k] - (entries.front() + ideal)));
        if (cadence94 && k > 0)
            fromOwnDeadline.push_back(micros(entries[k] - former.deadlines[k - 1]));
    }
    printSpread("tick start against first tick + k periods", fromSchedule);
    if (cadence94)
        printSpread("tick start against the deadline it slept to", fromOwnDeadline);
    else
        std::printf("  stop returned after %.2f ms\n", stopMs);
    std::printf("  process CPU: %.2f s; load average after: %s\n", cpu, loadAverage().c_str());
    std::printf("reproduce: %s --seconds %g%s\n", argv[0], seconds, cadence94 ? " --cadence-94" : "");
    return 0;
}
