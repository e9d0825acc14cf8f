// The whole audio callback at scale, on the virtual clock with real loopback
// sources: 64 sources × 8 channels published by a kestrix-testsrc process,
// 32 senders × 16 channels, 512 routes. Prints the callback time per block,
// the process's CPU, and the latency from a step in a source to the same step
// on a sender.
//
//   build/bin/kestrix-bench-engine [seconds]

#include "BenchmarkRun.h"
#include "ProcessCpu.h"
#include "engine/AudioController.h"
#include "ndi/NdiLibrary.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RawReceiver.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kSources = 64, kSourceChannels = 8, kSenders = 32, kSenderChannels = 16;

// Callback durations, written by the audio thread only (static storage: the
// clock may tick before the controller below is fully built).
std::vector<double> callbackMicros, ownWorkMicros, cpuMicros;
std::atomic<bool> recording{false};

class TimedController : public AudioController {
public:
    using AudioController::AudioController;
    void audioDeviceIOCallbackWithContext(const float* const* in, int numIn, float* const* out, int numOut, int n,
                                          const juce::AudioIODeviceCallbackContext& context) override
    {
        const auto t0 = Clock::now();
        const double cpu0 = threadCpuSeconds();
        AudioController::audioDeviceIOCallbackWithContext(in, numIn, out, numOut, n, context);
        if (recording) {
            cpuMicros.push_back(1e6 * (threadCpuSeconds() - cpu0));
            const double total = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            callbackMicros.push_back(total);
            ownWorkMicros.push_back(total - static_cast<double>(lastCaptureWaitNanos()) / 1000);
        }
    }
};

class Quiet : public AudioController::Listener {
    void routingPublished(const SenderChannelMappings&, const SenderVideoSources&) override {}
    void sourceAdded(const std::string&, uint32_t) override {}
    void sourceRemoved(const std::string&) override {}
    void sourceChannelCountChanged(const std::string&, uint32_t) override {}
    void senderDelayChanged(const std::string&, int32_t) override {}
};

std::string findSource(const std::string& suffix, Clock::time_point deadline)
{
    NDIlib_find_create_t settings;
    NDIlib_find_instance_t finder = ndi().find_create_v3(&settings, nullptr);
    std::string found;
    while (found.empty() && Clock::now() < deadline) {
        uint32_t count = 0;
        const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(finder, &count);
        for (uint32_t i = 0; i < count; ++i)
            if (std::string(list[i].p_ndi_name).ends_with(suffix))
                found = list[i].p_ndi_name;
        std::this_thread::sleep_for(50ms);
    }
    ndi().find_destroy(finder);
    return found;
}

// A source that is silent, then steps to 1.0 at a moment it records.
struct StepSource {
    NDIlib_send_instance_t instance = nullptr;
    std::atomic<bool> running{true};
    std::atomic<int64_t> stepTimestamp{0};
    std::atomic<bool> stepNow{false};
    std::thread thread;

    StepSource()
    {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = "Step";
        settings.clock_audio = false;
        instance = ndi().send_create_v2(&settings, nullptr);
        thread = std::thread([this] {
            std::vector<float> block(512);
            auto due = Clock::now();
            while (running) {
                const bool step = stepNow;
                std::fill(block.begin(), block.end(), step ? 1.0f : 0.0f);
                NDIlib_audio_frame_v2_t frame;
                frame.no_channels = 1;
                frame.no_samples = 512;
                frame.p_data = block.data();
                frame.channel_stride_in_bytes = 512 * 4;
                if (step && stepTimestamp == 0)
                    stepTimestamp = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count() /
                                    100;
                ndi().send_send_audio_v2(instance, &frame);
                due += std::chrono::microseconds(512 * 1000000LL / 48000);
                std::this_thread::sleep_until(due);
            }
        });
    }
    ~StepSource()
    {
        running = false;
        thread.join();
        ndi().send_destroy(instance);
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 20;
    const std::string folder = isolateDiscovery();
    callbackMicros.reserve(static_cast<size_t>(seconds) * 100 + 1000);
    ownWorkMicros.reserve(callbackMicros.capacity());
    cpuMicros.reserve(callbackMicros.capacity());

    std::error_code ec;
    const auto ownFolder = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    std::vector<std::string> args;
    for (int s = 0; s < kSources; ++s) {
        args.push_back("--source");
        args.push_back("bench-" + std::to_string(s) + ":" + std::to_string(kSourceChannels));
    }
    ChildProcess sources((ownFolder / "kestrix-testsrc").string(), args, {"KESTRIX_LOOPBACK_DIR=" + folder},
                         folder + "/testsrc.log");

    Quiet quiet;
    TimedController controller(&quiet);
    controller.ndiProcessingStarted = true;
    std::vector<std::string> names;
    for (int s = 0; s < kSources; ++s)
        names.push_back(findSource("(bench-" + std::to_string(s) + ")", Clock::now() + 20s));
    for (int k = 0; k < kSenders; ++k) {
        const std::string sender = "Bench Sender " + std::to_string(k);
        controller.addSender(sender, kSenderChannels);
        for (int ch = 0; ch < kSenderChannels; ++ch) {
            const int route = k * kSenderChannels + ch;
            controller.addAudioConnection(names[static_cast<size_t>(route / kSourceChannels)],
                                          static_cast<uint32_t>(route % kSourceChannels), sender,
                                          static_cast<uint32_t>(ch));
        }
    }
    controller.waitForCommands(10s);
    std::this_thread::sleep_for(5s); // every source found and probed, every receiver running

    const double cpu0 = ownCpuSeconds();
    const auto t0 = Clock::now();
    recording = true;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    recording = false;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = ownCpuSeconds() - cpu0;
    std::vector<double> times = callbackMicros, own = ownWorkMicros, onCpu = cpuMicros;

    // Latency: a step in a source, routed at delay 0, timed on the sender.
    StepSource step;
    const std::string stepName = findSource("(Step)", Clock::now() + 10s);
    controller.addAudioConnection(stepName, 0, "Bench Sender 0", 0);
    controller.waitForCommands(2s);
    RawReceiver out(findSource("(Bench Sender 0)", Clock::now() + 5s));
    std::this_thread::sleep_for(2s);
    for (int i = 0; i < 300; ++i) // drain what queued
        out.nextBlock(20);
    step.stepNow = true;
    int64_t arrived = 0;
    for (int i = 0; i < 500 && arrived == 0; ++i) {
        const auto block = out.nextBlock();
        if (!block.data.empty() && block.at(0, 0) == 1.0f)
            arrived = block.timestamp;
    }

    const double blockUs = 1e6 * 512 / 48000;
    std::printf("engine: %d sources x %d channels (another process), %d senders x %d channels, %d routes, %d s\n",
                kSources, kSourceChannels, kSenders, kSenderChannels, kSenders * kSenderChannels, seconds);
    std::printf("  callback: %zu blocks, median %.1f us (%.2f %%), p99 %.1f us (%.2f %%), max %.1f us\n", times.size(),
                percentile(times, 0.5), 100 * percentile(times, 0.5) / blockUs, percentile(times, 0.99),
                100 * percentile(times, 0.99) / blockUs, percentile(times, 1.0));
    std::printf("  without waiting for the capture: median %.1f us (%.2f %%), p99 %.1f us (%.2f %%)\n",
                percentile(own, 0.5), 100 * percentile(own, 0.5) / blockUs, percentile(own, 0.99),
                100 * percentile(own, 0.99) / blockUs);
    std::printf("  CPU time of the audio thread in the callback: median %.1f us (%.2f %%), p99 %.1f us (%.2f %%)\n",
                percentile(onCpu, 0.5), 100 * percentile(onCpu, 0.5) / blockUs, percentile(onCpu, 0.99),
                100 * percentile(onCpu, 0.99) / blockUs);
    std::printf("  process CPU: %.1f %% of one core (callback, capture and resampling of 64 sources, probe, sends)\n",
                100 * cpu / wall);
    std::printf("  blocks per second: %.2f (48000 / 512 = 93.75)\n", static_cast<double>(times.size()) / wall);
    if (arrived != 0 && step.stepTimestamp != 0)
        std::printf("  latency from a step in a source to the same step on a sender (delay 0): %.1f blocks (%.1f ms)\n",
                    static_cast<double>(arrived - step.stepTimestamp) / 1e4 / (blockUs / 1000),
                    static_cast<double>(arrived - step.stepTimestamp) / 1e4);
    else
        std::printf("  latency: the step did not arrive\n");
    std::printf("reproduce: build/bin/kestrix-bench-engine %d\n", seconds);
    sources.kill(SIGTERM);
    sources.wait();
    return 0;
}
