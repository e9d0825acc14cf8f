// kestrix-bench-framesync: what one frame-sync costs and how it holds up
// when the source's clock is off. A 44.1 kHz 8-channel source in this process
// is pulled at 48 kHz in 512-sample blocks, as the engine pulls its sources.
// It prints figures and never fails on a slow machine.

#include "benchmarks/BenchmarkRun.h"
#include "benchmarks/FrameSyncQueueDepth.h"
#include "benchmarks/ProcessCpu.h"
#include "ndi/NdiLibrary.h"
#include "tools/BlockSchedule.h"
#include "tools/NumberParsing.h"
#include "tools/SourceDirectory.h"
#include "tools/StopRequest.h"
#include "tools/ToneSource.h"
#include "tools/ToolStartup.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int pullRate = 48000;
constexpr int pullBlock = 512;
constexpr int sourceRate = 44100;
constexpr int sourceChannels = 8;
constexpr float silenceThreshold = 1e-6f;
// A sine has single samples near zero at its crossings; a run this long is a gap.
constexpr int gapSamples = 16;

const char* const usageText = R"(usage: kestrix-bench-framesync [--cpu-seconds S] [--minutes M] [--ppm P]
                               [--budget B] [--real-time]

1. CPU per capture: a 44.1 kHz 8-channel source in this process, pulled at
   48 kHz in 512-sample blocks on the real clock for S seconds (default 5):
   thread CPU time of each capture-and-free, after one second of warm-up.
2. Clock offset: the source stamps 44100 Hz but sends 44100 x (1 +/- P ppm)
   samples (default P = 100) per 48000 pulled samples, for M minutes (default
   10) each way. Unless --real-time is given the minutes are simulated: each
   tick sends the source's block, waits until the frame-sync holds it, then
   pulls one block, so the frame-sync sees the sequence of a real run, only
   sooner; a simulated run stops early, saying so, once it has taken B
   seconds (default 25) of real time. Prints the frame-sync queue depth
   (min/max/mean) after the first 10 s, the dropouts: blocks with 16 or more
   silent samples in a row in any channel after the first second, and how
   long each block took to reach the frame-sync once the send returned.
)";

struct Options {
    double cpuSeconds = 5.0;
    double minutes = 10.0;
    double ppm = 100.0;
    double budget = 25.0;
    bool realTime = false;
};

bool parseArguments(int argc, char** argv, Options& options, std::string& error)
{
    error = "arguments not understood";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            error.clear();
            return false;
        }
        if (option == "--real-time") {
            options.realTime = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        std::optional<double> v;
        if (option == "--cpu-seconds" && (v = parseSeconds(value, 1.0, 3600.0)))
            options.cpuSeconds = *v;
        else if (option == "--minutes" && (v = parseSeconds(value, 0.05, 1440.0)))
            options.minutes = *v;
        else if (option == "--ppm" && (v = parseSeconds(value, 0.0, 5000.0)))
            options.ppm = *v;
        else if (option == "--budget" && (v = parseSeconds(value, 1.0, 86400.0)))
            options.budget = *v;
        else
            return false;
    }
    return true;
}

// A sender and, in the same process, a receiver with a frame-sync on it.
class Rig {
public:
    explicit Rig(const std::string& name)
    {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = name.c_str();
        settings.clock_video = true;
        settings.clock_audio = false; // the callers pace (or simulate) the audio themselves
        sender = ndi().send_create_v2(&settings, nullptr);
        if (sender == nullptr)
            return;
        const NDIlib_source_t* published = ndi().send_get_source_name(sender);
        const std::string fullName =
            published != nullptr && published->p_ndi_name != nullptr ? published->p_ndi_name : name;
        SourceDirectory directory;
        if (!directory.waitFor({fullName}, Clock::now() + std::chrono::seconds(10)))
            return;
        NDIlib_recv_create_v3_t receiveSettings;
        receiveSettings.source_to_connect_to = directory.source(fullName);
        receiveSettings.bandwidth = NDIlib_recv_bandwidth_audio_only;
        receiver = ndi().recv_create_v4(&receiveSettings, nullptr);
        frameSync = receiver != nullptr ? ndi().framesync_create(receiver) : nullptr;
        // Frames sent before the receiver is connected reach nobody.
        if (frameSync != nullptr && ndi().send_get_no_connections(sender, 5000) < 1)
            std::fprintf(stderr, "kestrix-bench-framesync: %s: no receiver connected after 5 s\n", fullName.c_str());
    }

    ~Rig()
    {
        if (frameSync != nullptr)
            ndi().framesync_destroy(frameSync);
        if (receiver != nullptr)
            ndi().recv_destroy(receiver);
        if (sender != nullptr)
            ndi().send_destroy(sender);
    }

    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool valid() const { return frameSync != nullptr; }

    NDIlib_send_instance_t sender = nullptr;
    NDIlib_recv_instance_t receiver = nullptr;
    NDIlib_framesync_instance_t frameSync = nullptr;
};

// The capture cost, on the real clock: the sender runs on its own thread as a real
// source would; the pulling thread times its own captures.
bool measureCaptureCost(const Options& options)
{
    Rig rig("framesync cost");
    if (!rig.valid())
        return false;

    std::atomic<bool> running{true};
    std::thread sending([&] {
        ToneSource tone(sourceChannels, sourceRate);
        BlockSchedule schedule(ToneSource::tickSamples, ToneSource::tickRate);
        while (running.load() && !stopRequested()) {
            ndi().send_send_audio_v2(rig.sender, &tone.nextBlock());
            schedule.waitNext();
        }
    });

    const int64_t warmUp = pullRate / pullBlock;
    const auto blocks = warmUp + static_cast<int64_t>(std::llround(options.cpuSeconds * pullRate / pullBlock));
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(blocks));
    BlockSchedule schedule(pullBlock, pullRate);
    for (int64_t b = 0; b < blocks && !stopRequested(); ++b) {
        NDIlib_audio_frame_v2_t frame;
        const double before = threadCpuSeconds();
        ndi().framesync_capture_audio(rig.frameSync, &frame, pullRate, 0, pullBlock);
        ndi().framesync_free_audio(rig.frameSync, &frame);
        const double after = threadCpuSeconds();
        if (b >= warmUp)
            micros.push_back((after - before) * 1e6);
        schedule.waitNext();
    }
    running.store(false);
    sending.join();

    double sum = 0.0;
    for (double m : micros)
        sum += m;
    std::printf("capture cost: %d ch %d Hz pulled at %d Hz / %d, %zu blocks on the real clock\n", sourceChannels,
        sourceRate, pullRate, pullBlock, micros.size());
    std::printf("  CPU per capture block: mean %.1f us, median %.1f us, 99th percentile %.1f us, max %.1f us "
                "(%.2f %% of one core at %.2f blocks/s)\n",
        micros.empty() ? 0.0 : sum / static_cast<double>(micros.size()), percentile(micros, 0.5),
        percentile(micros, 0.99), percentile(micros, 1.0),
        micros.empty() ? 0.0 : 100.0 * sum / static_cast<double>(micros.size()) * 1e-6 * pullRate / pullBlock,
        static_cast<double>(pullRate) / pullBlock);
    return true;
}

struct DriftResult {
    int64_t blocks = 0;
    int64_t dropouts = 0;
    int64_t deliveryTimeouts = 0;
    int depthMin = INT32_MAX;
    int depthMax = 0;
    double depthSum = 0.0;
    int64_t depthCount = 0;
    int depthLast = 0;
    double seconds = 0.0;
    bool overBudget = false;
    std::vector<double> deliveryMicros; // from the send's return to the frame-sync, simulated runs only
};

bool blockHasGap(const NDIlib_audio_frame_v2_t& frame, int channels)
{
    if (frame.p_data == nullptr || frame.no_channels < channels || frame.no_samples < pullBlock)
        return true;
    for (int c = 0; c < channels; ++c) {
        const float* data = frame.p_data + static_cast<size_t>(c) * (frame.channel_stride_in_bytes / 4);
        int run = 0;
        for (int i = 0; i < frame.no_samples; ++i) {
            run = std::fabs(data[i]) < silenceThreshold ? run + 1 : 0;
            if (run >= gapSamples)
                return true;
        }
    }
    return false;
}

// The queue depth under one direction of clock offset.
bool runDrift(const Options& options, double ppm, QueueDepthCall queueDepth, DriftResult& result)
{
    char name[48];
    std::snprintf(name, sizeof name, "framesync drift %+g ppm", ppm);
    Rig rig(name);
    if (!rig.valid())
        return false;

    ToneSource tone(sourceChannels, sourceRate, ppm);
    BlockSchedule schedule(pullBlock, pullRate);
    const auto blocks = static_cast<int64_t>(std::llround(options.minutes * 60.0 * pullRate / pullBlock));
    const int64_t firstSecond = pullRate / pullBlock;
    const int64_t firstTenSeconds = 10 * firstSecond;
    const auto start = Clock::now();
    const auto budgetEnd =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.budget));
    for (int64_t b = 0; b < blocks && !stopRequested(); ++b) {
        if (!options.realTime && Clock::now() > budgetEnd) {
            result.overBudget = true;
            break;
        }
        const NDIlib_audio_frame_v2_t& sent = tone.nextBlock();
        const int before = queueDepth(rig.frameSync);
        ndi().send_send_audio_v2(rig.sender, &sent);
        if (!options.realTime) {
            // Wait for the block to land so that the frame-sync sees the same
            // order of arrivals and pulls as on the real clock.
            const auto sentAt = Clock::now();
            const auto giveUp = sentAt + std::chrono::seconds(2);
            while (queueDepth(rig.frameSync) < before + sent.no_samples) {
                if (Clock::now() > giveUp) {
                    ++result.deliveryTimeouts;
                    break;
                }
                // Sleeping rather than spinning leaves the cores to the sender's and receiver's threads.
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
            result.deliveryMicros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sentAt).count());
        }

        NDIlib_audio_frame_v2_t frame;
        ndi().framesync_capture_audio(rig.frameSync, &frame, pullRate, sourceChannels, pullBlock);
        if (b >= firstSecond && blockHasGap(frame, sourceChannels))
            ++result.dropouts;
        ndi().framesync_free_audio(rig.frameSync, &frame);

        const int depth = queueDepth(rig.frameSync);
        result.depthLast = depth;
        if (b >= firstTenSeconds || blocks <= firstTenSeconds) {
            result.depthMin = std::min(result.depthMin, depth);
            result.depthMax = std::max(result.depthMax, depth);
            result.depthSum += depth;
            ++result.depthCount;
        }
        ++result.blocks;
        if (options.realTime)
            schedule.waitNext();
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (std::string error; !parseArguments(argc, argv, options, error))
        return explainArguments("kestrix-bench-framesync", error, usageText);
    prepareToolProcess();

    const std::string folder = isolateDiscovery();
    if (folder.empty()) {
        std::perror("kestrix-bench-framesync: cannot make a discovery folder");
        return 1;
    }

    std::printf("kestrix-bench-framesync on %s\n", ndiRuntimeVersion().c_str());
    int status = 0;
    if (!measureCaptureCost(options)) {
        std::fprintf(stderr, "kestrix-bench-framesync: could not set up a sender and frame-sync\n");
        status = 1;
    }

    const QueueDepthCall queueDepth = findQueueDepthCall();
    if (status == 0 && queueDepth == nullptr) {
        std::printf("clock offset: skipped, this runtime has no frame-sync queue depth call\n");
    } else if (status == 0) {
        const std::vector<double> offsets =
            options.ppm > 0.0 ? std::vector<double>{options.ppm, -options.ppm} : std::vector<double>{0.0};
        for (const double ppm : offsets) {
            DriftResult r;
            if (!runDrift(options, ppm, queueDepth, r)) {
                status = 1;
                break;
            }
            const double simulated = static_cast<double>(r.blocks) * pullBlock / pullRate;
            std::printf("clock offset %+g ppm: %.2f %s minutes (%lld blocks) in %.1f s%s\n", ppm, simulated / 60.0,
                options.realTime ? "real" : "simulated", static_cast<long long>(r.blocks), r.seconds,
                r.overBudget ? ", stopped by the --budget" : "");
            std::printf("  frame-sync queue depth %s: min %d, mean %.0f, max %d, last %d samples at %d Hz\n",
                r.blocks > 10 * pullRate / pullBlock ? "after 10 s" : "over the run", r.depthCount > 0 ? r.depthMin : 0,
                r.depthCount > 0 ? r.depthSum / static_cast<double>(r.depthCount) : 0.0, r.depthMax, r.depthLast,
                sourceRate);
            std::printf("  dropouts after the first second: %lld blocks", static_cast<long long>(r.dropouts));
            if (r.deliveryTimeouts > 0)
                std::printf(" (%lld blocks never reached the frame-sync)", static_cast<long long>(r.deliveryTimeouts));
            std::printf("\n");
            if (!r.deliveryMicros.empty())
                std::printf("  wait from the send's return until the frame-sync held the block: median %.0f us, "
                            "99th percentile %.0f us, max %.0f us\n",
                    percentile(r.deliveryMicros, 0.5), percentile(r.deliveryMicros, 0.99),
                    percentile(r.deliveryMicros, 1.0));
        }
    }
    std::printf("reproduce: %s --cpu-seconds %g --minutes %g --ppm %g --budget %g%s\n", argv[0], options.cpuSeconds,
        options.minutes, options.ppm, options.budget, options.realTime ? " --real-time" : "");

    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return status;
}
