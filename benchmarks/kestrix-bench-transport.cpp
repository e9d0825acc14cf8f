// kestrix-bench-transport: what carrying many sources costs. One
// kestrix-testsrc process publishes the sources; this process pulls every one
// of them through its own frame-sync at the engine's pace (512 samples at
// 48 kHz, absolute schedule) and reports CPU use, lost blocks and queue
// depths. It prints figures and never fails on a slow machine.

#include "benchmarks/BenchmarkRun.h"
#include "benchmarks/FrameSyncQueueDepth.h"
#include "benchmarks/ProcessCpu.h"
#include "ndi/NdiLibrary.h"
#include "tests/support/ChildProcess.h"
#include "tools/BlockSchedule.h"
#include "tools/NumberParsing.h"
#include "tools/SourceDirectory.h"
#include "tools/StopRequest.h"
#include "tools/ToolStartup.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int blockSamples = 512;
constexpr int sampleRate = 48000;
constexpr float silenceThreshold = 1e-6f;

const char* const usageText = R"(usage: kestrix-bench-transport [--seconds N] [--sources S] [--channels C]

Starts kestrix-testsrc (from this program's folder) with S sources of C
channels at 48 kHz (default 64 x 8), pulls all of them here through one
frame-sync each, 512 samples per block on an absolute 48 kHz schedule, for N
seconds (default 20) after a first second of warm-up, and prints: CPU of each
process as % of one core, blocks lost (a channel silent in a block although it
carries a tone), frame-sync queue depths, and the time one round of captures
took. Runs in a discovery folder of its own.
)";

struct Options {
    double seconds = 20.0;
    int sources = 64;
    int channels = 8;
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
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (option == "--seconds") {
            const auto v = parseSeconds(value, 1.0, 3600.0);
            if (!v)
                return false;
            options.seconds = *v;
        } else if (option == "--sources" || option == "--channels") {
            const auto v = parseInteger(value, 1, option == "--sources" ? 256 : 64);
            if (!v)
                return false;
            (option == "--sources" ? options.sources : options.channels) = static_cast<int>(*v);
        } else {
            return false;
        }
    }
    return true;
}

std::filesystem::path ownFolder()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
}

struct Pull {
    NDIlib_recv_instance_t receiver = nullptr;
    NDIlib_framesync_instance_t frameSync = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (std::string error; !parseArguments(argc, argv, options, error))
        return explainArguments("kestrix-bench-transport", error, usageText);
    prepareToolProcess();

    const std::string folder = isolateDiscovery();
    if (folder.empty()) {
        std::perror("kestrix-bench-transport: cannot make a discovery folder");
        return 1;
    }
    setenv("KESTRIX_LOOPBACK_HOSTNAME", "BENCH", 1);

    const std::string testsrc = (ownFolder() / "kestrix-testsrc").string();
    std::vector<std::string> sourceArgs;
    std::vector<std::string> names;
    for (int s = 0; s < options.sources; ++s) {
        char name[32];
        std::snprintf(name, sizeof name, "bench-%02d", s);
        sourceArgs.push_back("--source");
        sourceArgs.push_back(std::string(name) + ":" + std::to_string(options.channels));
        names.push_back(std::string("BENCH (") + name + ")");
    }
    std::string sourceCommand = "KESTRIX_LOOPBACK_DIR=" + folder + " KESTRIX_LOOPBACK_HOSTNAME=BENCH " + testsrc;
    for (const auto& a : sourceArgs)
        sourceCommand += " " + a;

    ChildProcess source(testsrc, sourceArgs, {"KESTRIX_LOOPBACK_DIR=" + folder, "KESTRIX_LOOPBACK_HOSTNAME=BENCH"},
        folder + "/testsrc.log");
    if (!source.started()) {
        std::fprintf(stderr, "kestrix-bench-transport: cannot start %s\n", testsrc.c_str());
        return 1;
    }

    int status = 0;
    std::vector<Pull> pulls;
    SourceDirectory directory;
    if (!directory.waitFor(names, Clock::now() + std::chrono::seconds(20))) {
        std::fprintf(stderr,
            "kestrix-bench-transport: the %d sources did not all appear within 20 s (see %s/testsrc.log)\n",
            options.sources, folder.c_str());
        status = 1;
    }
    for (size_t s = 0; status == 0 && s < names.size(); ++s) {
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to = directory.source(names[s]);
        Pull pull;
        pull.receiver = ndi().recv_create_v4(&settings, nullptr);
        pull.frameSync = pull.receiver != nullptr ? ndi().framesync_create(pull.receiver) : nullptr;
        pulls.push_back(pull);
        if (pull.frameSync == nullptr) {
            std::fprintf(stderr, "kestrix-bench-transport: cannot create receiver %zu\n", s);
            status = 1;
        }
    }

    const QueueDepthCall queueDepth = findQueueDepthCall();
    const auto warmUpBlocks = static_cast<int64_t>(sampleRate / blockSamples) + 1;
    const auto measuredBlocks = static_cast<int64_t>(std::llround(options.seconds * sampleRate / blockSamples));
    int64_t lostBlocks = 0;
    int64_t checkedBlocks = 0;
    int64_t lateRounds = 0;
    int depthMin = INT32_MAX;
    int depthMax = 0;
    double depthSum = 0.0;
    int64_t depthCount = 0;
    std::vector<double> roundMicros;
    double sourceCpu = 0.0;
    double ownCpu = 0.0;
    double wall = 0.0;
    int64_t restarts = 0;

    if (status == 0) {
        BlockSchedule schedule(blockSamples, sampleRate);
        double sourceCpuStart = 0.0;
        double ownCpuStart = 0.0;
        Clock::time_point measureStart;
        const double period = static_cast<double>(blockSamples) / sampleRate;
        for (int64_t block = 0; block < warmUpBlocks + measuredBlocks && !stopRequested(); ++block) {
            const bool measuring = block >= warmUpBlocks;
            if (block == warmUpBlocks) {
                sourceCpuStart = processCpuSeconds(source.id());
                ownCpuStart = ownCpuSeconds();
                measureStart = Clock::now();
                restarts = schedule.restarts();
            }
            const auto roundStart = Clock::now();
            for (const Pull& pull : pulls) {
                NDIlib_audio_frame_v2_t frame;
                ndi().framesync_capture_audio(pull.frameSync, &frame, sampleRate, options.channels, blockSamples);
                if (measuring) {
                    for (int c = 0; c < options.channels; ++c) {
                        float loudest = 0.0f;
                        if (frame.p_data != nullptr && c < frame.no_channels) {
                            const float* data =
                                frame.p_data + static_cast<size_t>(c) * (frame.channel_stride_in_bytes / 4);
                            for (int i = 0; i < frame.no_samples; ++i)
                                loudest = std::max(loudest, std::fabs(data[i]));
                        }
                        lostBlocks += loudest < silenceThreshold ? 1 : 0;
                        ++checkedBlocks;
                    }
                    if (queueDepth != nullptr) {
                        const int depth = queueDepth(pull.frameSync);
                        depthMin = std::min(depthMin, depth);
                        depthMax = std::max(depthMax, depth);
                        depthSum += depth;
                        ++depthCount;
                    }
                }
                ndi().framesync_free_audio(pull.frameSync, &frame);
            }
            const double took = std::chrono::duration<double>(Clock::now() - roundStart).count();
            if (measuring) {
                roundMicros.push_back(took * 1e6);
                lateRounds += took > period ? 1 : 0;
            }
            schedule.waitNext();
        }
        wall = std::chrono::duration<double>(Clock::now() - measureStart).count();
        sourceCpu = processCpuSeconds(source.id()) - sourceCpuStart;
        ownCpu = ownCpuSeconds() - ownCpuStart;
        restarts = schedule.restarts() - restarts;
    }

    for (const Pull& pull : pulls) {
        if (pull.frameSync != nullptr)
            ndi().framesync_destroy(pull.frameSync);
        if (pull.receiver != nullptr)
            ndi().recv_destroy(pull.receiver);
    }
    source.kill(SIGTERM);
    int sourceExit = 0;
    if (!source.waitFor(std::chrono::seconds(10), sourceExit)) {
        source.kill(SIGKILL);
        sourceExit = source.wait();
    }

    if (status == 0) {
        std::printf("kestrix-bench-transport: %d sources x %d channels at %d Hz, %zu blocks of %d measured over %.1f s "
                    "(after 1 s warm-up)\n",
            options.sources, options.channels, sampleRate, roundMicros.size(), blockSamples, wall);
        std::printf("  runtime:                 %s\n", ndiRuntimeVersion().c_str());
        std::printf("  CPU, kestrix-testsrc:    %.1f %% of one core\n", wall > 0 ? 100.0 * sourceCpu / wall : 0.0);
        std::printf("  CPU, capture process:    %.1f %% of one core\n", wall > 0 ? 100.0 * ownCpu / wall : 0.0);
        std::printf("  blocks lost:             %lld of %lld channel-blocks (%.4f %%)\n",
            static_cast<long long>(lostBlocks), static_cast<long long>(checkedBlocks),
            checkedBlocks > 0 ? 100.0 * static_cast<double>(lostBlocks) / static_cast<double>(checkedBlocks) : 0.0);
        if (depthCount > 0)
            std::printf("  frame-sync queue depth:  min %d, mean %.0f, max %d samples after a capture (mean %.1f "
                        "blocks)\n",
                depthMin, depthSum / static_cast<double>(depthCount), depthMax,
                depthSum / static_cast<double>(depthCount) / blockSamples);
        else
            std::printf("  frame-sync queue depth:  not available from this runtime\n");
        std::printf("  one round of %d captures: median %.0f us, 99th percentile %.0f us, max %.0f us; "
                    "%lld rounds longer than a block, %lld schedule restarts\n",
            options.sources, percentile(roundMicros, 0.5), percentile(roundMicros, 0.99), percentile(roundMicros, 1.0),
            static_cast<long long>(lateRounds), static_cast<long long>(restarts));
        std::printf("  source process exit:     %d; its audio schedule restarted %lld times after stalls\n", sourceExit,
            testsrcScheduleRestarts(folder + "/testsrc.log"));
        std::printf("reproduce: %s --seconds %g --sources %d --channels %d\n", argv[0], options.seconds,
            options.sources, options.channels);
        std::printf("  (it runs: %s)\n", sourceCommand.c_str());
    }

    if (status == 0) { // on failure the source's log stays for a look
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    return status;
}
