// kestrix-bench-engine: the whole router at scale, on the software clock, with
// real loopback sources: 64 sources × 8 channels published by a
// kestrix-testsrc process, 32 senders × 16 channels, 512 routes. Prints, each
// with its aim:
//   - the audio thread's CPU per block with the loopback's send, with a send
//     that does nothing (the engine alone), and for a plain copy of the same
//     bytes;
//   - the latency of a step from a source to a sender, split into the
//     loopback frame-sync's part and the engine's own;
//   - the longest block and the clock's restarts while a file with
//     32 senders × 16 channels is loaded under the running routes;
//   - how long one write of the automatic mapping file of that routing takes,
//     and how often it is written under a burst of changes.
// It never fails on a slow machine; it only reports.
//
//   build/bin/kestrix-bench-engine [seconds]   (each steady phase; default 10)

#include "benchmarks/BenchmarkRun.h"
#include "benchmarks/ProcessCpu.h"
#include "engine/AudioController.h"
#include "engine/ChannelLevels.h"
#include "engine/MappingFile.h"
#include "ndi/NdiLibrary.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ControllerListener.h"
#include "tests/support/RawReceiver.h"
#include "tools/SourceDirectory.h"
#include "tools/StopRequest.h"
#include "tools/ToolStartup.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 48000, kBlock = 512;
constexpr int kSources = 64, kSourceChannels = 8, kSenders = 32, kSenderChannels = 16;
constexpr int kRoutes = kSenders * kSenderChannels;
constexpr double kBlockMicros = 1e6 * kBlock / kRate;
constexpr int kSteps = 5; // latency steps measured, for a median
const char* const kHost = "BENCH";

enum class Phase : uint8_t { idle, withSend, engineAlone, latency, load };

// What one callback did. Written by the audio thread only, into storage made
// before the clock starts, so that recording allocates nothing.
struct BlockRecord {
    int64_t startNs = 0, endNs = 0; // steady clock
    double cpuUs = 0, captureWaitUs = 0;
    double copyCpuUs = 0, warmCopyCpuUs = 0; // the engine-alone phase only
};

// A plain copy of the bytes the routes move: 512 channels of one block, from
// 64 source-sized buffers into 32 sender-sized ones, channel by channel.
struct PlainCopy {
    std::vector<std::vector<float>> sources, senders;

    PlainCopy()
        : sources(kSources, std::vector<float>(kSourceChannels * kBlock, 0.5f)),
          senders(kSenders, std::vector<float>(kSenderChannels * kBlock))
    {
    }
    void run()
    {
        for (int route = 0; route < kRoutes; ++route)
            std::memcpy(senders[route / kSenderChannels].data() + route % kSenderChannels * kBlock,
                sources[route / kSourceChannels].data() + route % kSourceChannels * kBlock, kBlock * sizeof(float));
    }
};

// Static storage: the clock ticks from inside the controller's constructor,
// before the derived controller below exists.
std::vector<BlockRecord> records;
std::atomic<size_t> recordCount{0};
std::atomic<Phase> requestedPhase{Phase::idle};
std::atomic<Phase> appliedPhase{Phase::idle};
decltype(NdiFunctions::send_send_audio_v2) loopbackSend = nullptr;
PlainCopy* plainCopy = nullptr;

// The latency steps: the step source's frame-sync of our own, pulled right
// after each callback, so at the engine's pace and phase.
std::atomic<NDIlib_framesync_instance_t> stepSync{nullptr};
// The step goes from a low level, which tells a live route from one not yet
// heard, to one well above the threshold.
constexpr float kBeforeStep = 0.1f, kStep = 1.0f, kThreshold = 0.5f;
std::atomic<float> stepLevel{kBeforeStep};
std::atomic<bool> stepSyncHeard{false}; // our frame-sync delivers the level before the step
std::atomic<int> stepWanted{0}, stepCaptured{0};
std::atomic<int64_t> stepCapturedAt{0}; // UTC, 100 ns, of the step's first sample

int64_t nanos(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

int64_t utcNow100ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
               .count() /
        100;
}

// The first sample of the step; -1 if none.
int stepIndex(const float* samples, int count)
{
    for (int i = 0; i < count; ++i)
        if (samples[i] > kThreshold)
            return i;
    return -1;
}

// Whether a block carries the level before the step from its first sample to its last.
bool beforeStep(const float* samples, int count)
{
    return count > 0 && samples[0] > kBeforeStep / 2 && samples[0] < kThreshold &&
        samples[count - 1] > kBeforeStep / 2 && samples[count - 1] < kThreshold;
}

void sendNothing(NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t*) { }

class TimedController : public AudioController {
public:
    using AudioController::AudioController;

    void audioDeviceIOCallbackWithContext(const float* const* in, int numIn, float* const* out, int numOut, int n,
        const juce::AudioIODeviceCallbackContext& context) override
    {
        const Phase phase = requestedPhase.load(std::memory_order_acquire);
        if (phase != appliedPhase.load(std::memory_order_relaxed)) {
            // A benchmark's measuring trick: the engine alone is the engine
            // with a send that does nothing. The audio thread is the only
            // caller of this entry while the swap is in place, and the
            // function table is not a const object.
            const_cast<NdiFunctions&>(ndi()).send_send_audio_v2 =
                phase == Phase::engineAlone ? &sendNothing : loopbackSend;
            appliedPhase.store(phase, std::memory_order_release);
        }

        const auto start = Clock::now();
        const double cpu0 = threadCpuSeconds();
        AudioController::audioDeviceIOCallbackWithContext(in, numIn, out, numOut, n, context);
        const double cpu = threadCpuSeconds() - cpu0;
        const auto end = Clock::now();

        const size_t index = recordCount.load(std::memory_order_relaxed);
        if (index == records.size())
            return;
        BlockRecord& r = records[index];
        r.startNs = nanos(start);
        r.endNs = nanos(end);
        r.cpuUs = 1e6 * cpu;
        r.captureWaitUs = static_cast<double>(lastCaptureWaitNanos()) / 1000;
        if (phase == Phase::engineAlone && plainCopy != nullptr) {
            r.copyCpuUs = timeCopy();
            r.warmCopyCpuUs = timeCopy();
        }
        if (phase == Phase::latency)
            if (NDIlib_framesync_instance_t sync = stepSync.load(std::memory_order_acquire))
                pullStep(sync);
        recordCount.store(index + 1, std::memory_order_release);
    }

private:
    static double timeCopy()
    {
        const double cpu0 = threadCpuSeconds();
        plainCopy->run();
        return 1e6 * (threadCpuSeconds() - cpu0);
    }

    static void pullStep(NDIlib_framesync_instance_t sync)
    {
        NDIlib_audio_frame_v2_t frame;
        ndi().framesync_capture_audio(sync, &frame, kRate, 0, kBlock);
        const int64_t capturedAt = utcNow100ns();
        const int wanted = stepWanted.load(std::memory_order_acquire);
        if (frame.p_data != nullptr && frame.no_channels > 0 && beforeStep(frame.p_data, frame.no_samples))
            stepSyncHeard.store(true, std::memory_order_relaxed);
        if (wanted != stepCaptured.load(std::memory_order_relaxed) && frame.p_data != nullptr &&
            frame.no_channels > 0) {
            const int i = stepIndex(frame.p_data, frame.no_samples);
            if (i >= 0) {
                stepCapturedAt.store(capturedAt + int64_t{i} * 10'000'000 / kRate, std::memory_order_relaxed);
                stepCaptured.store(wanted, std::memory_order_release);
            }
        }
        ndi().framesync_free_audio(sync, &frame);
    }
};

// A one-channel source in this process that sends a constant level in blocks
// paced like a real source, and notes when a block at a new level went out.
class StepSource {
public:
    StepSource()
    {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = "Step";
        settings.clock_audio = false;
        instance = ndi().send_create_v2(&settings, nullptr);
        thread = std::thread([this] { run(); });
    }
    ~StepSource()
    {
        running = false;
        thread.join();
        ndi().send_destroy(instance);
    }
    std::atomic<int64_t> levelSentAt{0}; // UTC, 100 ns; 0 until a block at the new level went out

private:
    void run()
    {
        std::vector<float> block(kBlock);
        float sent = stepLevel.load();
        auto due = Clock::now();
        while (running) {
            const float level = stepLevel.load();
            std::fill(block.begin(), block.end(), level);
            NDIlib_audio_frame_v2_t frame;
            frame.sample_rate = kRate;
            frame.no_channels = 1;
            frame.no_samples = kBlock;
            frame.p_data = block.data();
            frame.channel_stride_in_bytes = kBlock * 4;
            if (level != sent)
                levelSentAt = utcNow100ns();
            sent = level;
            ndi().send_send_audio_v2(instance, &frame);
            due += std::chrono::nanoseconds(int64_t{kBlock} * 1'000'000'000 / kRate);
            std::this_thread::sleep_until(due);
        }
    }

    NDIlib_send_instance_t instance = nullptr;
    std::atomic<bool> running{true};
    std::thread thread;
};

std::string sourceName(int s)
{
    char name[32];
    std::snprintf(name, sizeof name, "bench-%02d", s);
    return name;
}

std::string published(const std::string& name)
{
    return std::string(kHost) + " (" + name + ")";
}

// Looks every `interval` until `done` holds; false after `timeout` or a stop signal.
bool waitUntil(const std::function<bool()>& done, Clock::duration timeout, Clock::duration interval = 1ms)
{
    const auto deadline = Clock::now() + timeout;
    while (!done())
        if (Clock::now() > deadline || !sleepUntilOrStopped(Clock::now() + interval))
            return false;
    return true;
}

// Asks the audio thread for a phase and waits until a callback took it up.
bool enterPhase(Phase phase)
{
    requestedPhase.store(phase, std::memory_order_release);
    return waitUntil([&] { return appliedPhase.load(std::memory_order_acquire) == phase; }, 2s);
}

std::string loadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::vector<double> field(size_t first, size_t end, double BlockRecord::*member)
{
    std::vector<double> values;
    for (size_t i = first; i < end; ++i)
        values.push_back(records[i].*member);
    return values;
}

struct ClockCheck {
    int restarts = 0;
    // The callback that ended latest past the next block's deadline: by how
    // much, how late it started, and how long it ran.
    double latestEndUs = 0, itsLateStartUs = 0, itsDurationUs = 0;
};

// Replays the software clock's schedule from the callbacks' start and end
// times: it restarts only after a callback ends more than a period past the
// next block's deadline. Starts are never earlier than their deadline, so
// the earliest (start − n·period) is the schedule's origin.
ClockCheck replaySchedule(size_t first, size_t end)
{
    const auto period = static_cast<double>(kBlock) * 1e9 / kRate;
    ClockCheck check;
    double origin = 0;
    int64_t n = 0;
    for (size_t i = first; i < end; ++i) {
        const auto start = static_cast<double>(records[i].startNs), finish = static_cast<double>(records[i].endNs);
        origin = i == first ? start : std::min(origin, start - static_cast<double>(n) * period);
        const double late = finish - (origin + static_cast<double>(n + 1) * period);
        if (i == first || late / 1000 > check.latestEndUs) {
            check.latestEndUs = late / 1000;
            check.itsLateStartUs = (start - (origin + static_cast<double>(n) * period)) / 1000;
            check.itsDurationUs = (finish - start) / 1000;
        }
        if (late > period) {
            ++check.restarts;
            origin = finish;
            n = 0;
        } else {
            ++n;
        }
    }
    return check;
}

// The routing a Load brings: the same senders, every channel fed from another
// source channel than now, four senders delayed and four carrying pictures.
const std::vector<std::pair<std::string, int32_t>> fileDelays{
    {"Bench Sender 3", 40}, {"Bench Sender 11", 100}, {"Bench Sender 19", 250}, {"Bench Sender 27", 500}};

StoredRouting fileRouting(const std::vector<std::string>& videoSources)
{
    StoredRouting routing;
    for (int k = 0; k < kSenders; ++k) {
        StoredSender sender;
        sender.name = "Bench Sender " + std::to_string(k);
        for (int ch = 0; ch < kSenderChannels; ++ch) {
            const int from = kRoutes - 1 - (k * kSenderChannels + ch);
            sender.mappings.push_back(
                {static_cast<uint32_t>(from % kSourceChannels), published(sourceName(from / kSourceChannels))});
        }
        if (k % 8 == 5) // one in eight
            sender.videoSource = videoSources[static_cast<size_t>(k / 8) % videoSources.size()];
        routing.senders.push_back(std::move(sender));
    }
    routing.delays = fileDelays;
    return routing;
}

// A stretch of callbacks, with what the processes used meanwhile.
struct Span {
    size_t first = 0, end = 0;
    double wallSeconds = 0, ownCpuSeconds = 0, sourceCpuSeconds = 0;
};

Span measureSteady(Phase phase, int seconds, const ChildProcess& sources)
{
    Span span;
    if (!enterPhase(phase))
        return span;
    span.first = recordCount.load();
    const double own0 = ownCpuSeconds(), source0 = processCpuSeconds(sources.id());
    const auto t0 = Clock::now();
    sleepUntilOrStopped(t0 + std::chrono::seconds(seconds));
    span.end = recordCount.load();
    span.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    span.ownCpuSeconds = ownCpuSeconds() - own0;
    span.sourceCpuSeconds = processCpuSeconds(sources.id()) - source0;
    return span;
}

// Latencies of rising steps, in blocks: on the sender, and in our frame-sync.
struct Latency {
    std::vector<double> whole, frameSync, engine;
};

// A step source routed at delay 0 to a sender, seen on that sender and in a
// frame-sync of our own pulled right after each callback. For each step the
// route and our frame-sync are made afresh, so that the engine's frame-sync
// and ours start together and live through the same moments: a dropout that
// widened one margin and not the other would make the difference meaningless.
Latency measureLatency(AudioController& controller, SourceDirectory& directory)
{
    Latency latency;
    StepSource step;
    const std::string stepName = published("Step"), sender = "Bench Sender 0";
    directory.waitFor({stepName}, Clock::now() + 10s);
    RawReceiver output(published(sender));
    const double blockTicks = kBlockMicros * 10; // in the runtime's 100 ns
    for (int n = 1; n <= kSteps && !stopRequested(); ++n) {
        controller.addAudioConnection(stepName, 0, sender, 0);
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_ndi_name = stepName.c_str();
        NDIlib_recv_instance_t receiver = ndi().recv_create_v4(&settings, nullptr);
        NDIlib_framesync_instance_t sync = ndi().framesync_create(receiver);
        stepSyncHeard = false;
        stepSync.store(sync, std::memory_order_release);
        enterPhase(Phase::latency);
        // Both carry the source, and are past the pulls that learn where their queues settle.
        waitUntil(
            [&] {
                const RawReceiver::Block block = output.nextBlock(200);
                return beforeStep(block.data.data(), block.samples);
            },
            5s);
        waitUntil([&] { return stepSyncHeard.load(); }, 5s);
        sleepUntilOrStopped(Clock::now() + 1500ms);

        step.levelSentAt = 0;
        stepLevel = kStep;
        stepWanted.store(n, std::memory_order_release);
        // Blocks the sender sent before the step left its source cannot hold it.
        int64_t arrived = 0;
        for (const auto deadline = Clock::now() + 3s; arrived == 0 && Clock::now() < deadline;) {
            const RawReceiver::Block block = output.nextBlock(200);
            const int64_t sentAt = step.levelSentAt;
            const int at = block.samples > 0 && sentAt != 0 && block.timestamp >= sentAt
                ? stepIndex(block.data.data(), block.samples)
                : -1;
            if (at >= 0)
                arrived = block.timestamp + int64_t{at} * 10'000'000 / kRate;
        }
        waitUntil([&] { return stepCaptured.load(std::memory_order_acquire) == n; }, 2s);
        const int64_t sent = step.levelSentAt;
        if (arrived != 0 && sent != 0 && stepCaptured.load() == n) {
            const double whole = static_cast<double>(arrived - sent) / blockTicks;
            const double frameSync = static_cast<double>(stepCapturedAt.load() - sent) / blockTicks;
            latency.whole.push_back(whole);
            latency.frameSync.push_back(frameSync);
            latency.engine.push_back(whole - frameSync);
        }

        stepSync.store(nullptr);
        enterPhase(Phase::idle); // the callback in progress has let go of our frame-sync
        ndi().framesync_destroy(sync);
        ndi().recv_destroy(receiver);
        controller.removeAudioConnection(stepName, 0, sender, 0); // the engine lets its receiver go
        stepLevel = kBeforeStep;
        sleepUntilOrStopped(Clock::now() + 500ms);
    }
    return latency;
}

struct Load {
    Span span;
    double inPlaceSeconds = -1;
    RoutingSnapshot routing;
    std::map<std::string, int32_t> delays;
    std::string problem;
};

// Reads the file while the routes run, and keeps recording until the new
// routing was reported, its delays restored, and a second more.
Load measureLoad(AudioController& controller, ControllerListener& listener, const std::string& file)
{
    Load load;
    const ControllerListener::Report published{"published", "", 0};
    auto publishedCount = [&] {
        const auto reports = listener.reports();
        return std::count(reports.begin(), reports.end(), published);
    };
    if (!enterPhase(Phase::load))
        return load;
    const auto before = publishedCount();
    load.span.first = recordCount.load();
    const auto t0 = Clock::now();
    if (const Outcome read = controller.readMappingFile(file); !read) {
        load.problem = "the file " + file + " was not loaded: " + read.reason;
        return load;
    }
    const auto lastDelay = fileDelays.back();
    waitUntil(
        [&] {
            return publishedCount() != before && controller.delaysMilliseconds()[lastDelay.first] == lastDelay.second;
        },
        10s, 10ms); // polled lightly: the load is measured on the cores this thread shares
    load.inPlaceSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    sleepUntilOrStopped(Clock::now() + 1s);
    load.span.end = recordCount.load();
    load.routing = controller.routingSnapshot();
    load.delays = controller.delaysMilliseconds();
    enterPhase(Phase::idle);
    return load;
}

void printPerBlock(const char* what, const std::vector<double>& values, const char* aim)
{
    const double median = percentile(values, 0.5), p99 = percentile(values, 0.99), max = percentile(values, 1.0);
    std::printf("  %-50s %7.1f us %5.2f %%  %7.1f us %5.2f %%  %7.1f us   %s\n", what, median,
        100 * median / kBlockMicros, p99, 100 * p99 / kBlockMicros, max, aim);
}

std::vector<double> wallMicros(const Span& span)
{
    std::vector<double> values;
    for (size_t i = span.first; i < span.end; ++i)
        values.push_back(static_cast<double>(records[i].endNs - records[i].startNs) / 1000);
    return values;
}

void printCpu(const Span& withSend, const Span& alone)
{
    std::printf("\naudio thread per block (a block is %.0f us; %zu and %zu blocks)        median"
                "             p99                max\n",
        kBlockMicros, withSend.end - withSend.first, alone.end - alone.first);
    const auto cpuWithSend = field(withSend.first, withSend.end, &BlockRecord::cpuUs);
    const auto cpuAlone = field(alone.first, alone.end, &BlockRecord::cpuUs);
    const auto copy = field(alone.first, alone.end, &BlockRecord::copyCpuUs);
    const auto warmCopy = field(alone.first, alone.end, &BlockRecord::warmCopyCpuUs);
    printPerBlock("CPU, whole callback with the loopback's send", cpuWithSend, "aim: p99 <= 3 %");
    printPerBlock("CPU, the engine alone (a send that does nothing)", cpuAlone, "");
    printPerBlock("CPU, a plain copy of the same bytes, after it", copy, "");
    printPerBlock("CPU, the same copy again at once (caches warm)", warmCopy, "");
    std::printf("  the engine alone / the plain copy, medians: %.1f x, warm %.1f x   aim: <= 2 x\n",
        percentile(cpuAlone, 0.5) / percentile(copy, 0.5), percentile(cpuAlone, 0.5) / percentile(warmCopy, 0.5));
    std::printf("  (the copy: %d memcpy of %d floats, one per route, from %d source-sized buffers into %d "
                "sender-sized ones)\n",
        kRoutes, kBlock, kSources, kSenders);
    printPerBlock("wall time, whole callback with the loopback's send", wallMicros(withSend), "");
    printPerBlock(
        "  of which waiting for the capture", field(withSend.first, withSend.end, &BlockRecord::captureWaitUs), "");
    std::printf("  process CPU with the send: %.1f %% of one core (callback, capture and resampling of %d sources, "
                "probe, sends); kestrix-testsrc: %.1f %%\n",
        100 * withSend.ownCpuSeconds / withSend.wallSeconds, kSources,
        100 * withSend.sourceCpuSeconds / withSend.wallSeconds);
}

void printLatency(const Latency& latency)
{
    std::printf("\nlatency of a step from a source to a sender at delay 0 (median of %zu steps, each with fresh "
                "frame-syncs)\n",
        latency.whole.size());
    if (latency.whole.empty()) {
        std::printf("  the step did not arrive\n");
        return;
    }
    const double ms = kBlockMicros / 1000;
    auto line = [&](const char* what, const std::vector<double>& blocks, const char* aim) {
        const double median = percentile(blocks, 0.5);
        std::printf("  %-43s %5.2f blocks (%4.1f ms; %.2f to %.2f)   %s\n", what, median, median * ms,
            percentile(blocks, 0.0), percentile(blocks, 1.0), aim);
    };
    line("whole:", latency.whole, "");
    line("the loopback frame-sync (send to capture):", latency.frameSync,
        "aim: as small as keeps kestrix-bench-transport free of dropouts");
    line("the engine's own (capture to send):", latency.engine, "aim: <= 1 block");
}

void printLoad(const Load& load, size_t recorded)
{
    std::printf("\nload of a file with %d senders x %d channels (%zu delayed, %zu with pictures) while the %d routes "
                "run\n",
        kSenders, kSenderChannels, fileDelays.size(), static_cast<size_t>(kSenders / 8), kRoutes);
    size_t longest = load.span.first, longestCpu = load.span.first;
    for (size_t i = load.span.first; i < load.span.end; ++i) {
        if (records[i].endNs - records[i].startNs > records[longest].endNs - records[longest].startNs)
            longest = i;
        if (records[i].cpuUs > records[longestCpu].cpuUs)
            longestCpu = i;
    }
    const auto after = [&](size_t i) {
        return static_cast<double>(records[i].startNs - records[load.span.first].startNs) / 1e9;
    };
    std::printf("  %zu blocks, from the read until 1 s after the new routing was in place (%.2f s after the read)\n",
        load.span.end - load.span.first, load.inPlaceSeconds);
    const BlockRecord& l = records[longest];
    const double wall = static_cast<double>(l.endNs - l.startNs) / 1000;
    std::printf("  longest block: %.0f us wall (%.1f %% of a block) at %.2f s: CPU %.0f us, waiting for the capture "
                "%.0f us, off the CPU otherwise %.0f us   aim: < 50 %% of a block (%.0f us)\n",
        wall, 100 * wall / kBlockMicros, after(longest), l.cpuUs, l.captureWaitUs,
        std::max(0.0, wall - l.cpuUs - l.captureWaitUs), kBlockMicros / 2);
    std::printf("  most CPU in a block: %.0f us at %.2f s\n", records[longestCpu].cpuUs, after(longestCpu));
    const ClockCheck clock = replaySchedule(load.span.first, load.span.end);
    const ClockCheck wholeRun = replaySchedule(0, recorded);
    std::printf("  software clock restarts: %d   aim: none\n", clock.restarts);
    std::printf("  (a restart takes a callback that ends more than %.0f us past the next block's deadline; the latest "
                "ended %.0f us past it: it started %.0f us late and ran %.0f us)\n",
        kBlockMicros, clock.latestEndUs, clock.itsLateStartUs, clock.itsDurationUs);
    std::printf("  over the whole run: %d restarts; the latest end %.0f us past the next deadline (started %.0f us "
                "late, ran %.0f us)\n",
        wholeRun.restarts, wholeRun.latestEndUs, wholeRun.itsLateStartUs, wholeRun.itsDurationUs);
    int routes = 0, delayed = 0, withPictures = 0;
    for (const auto& [name, channels] : load.routing.mappings)
        for (const ChannelMapping& m : channels)
            routes += m.sourceChannel != kNoChannel ? 1 : 0;
    for (const auto& [name, ms] : load.delays)
        delayed += ms != 0 ? 1 : 0;
    for (const auto& [name, source] : load.routing.videoSources)
        withPictures += source.empty() ? 0 : 1;
    std::printf("  in place after the load: %zu senders, %d routes, %d delayed, %d with pictures\n",
        load.routing.mappings.size(), routes, delayed, withPictures);
}

} // namespace

// The meters' share of a block, measured apart on this thread with the same
// calls the engine makes: every received source channel measured at the
// capture, every sender channel taking its source's values (a delayed one
// would be measured again, as a source channel is).
// The automatic mapping file of the loaded routing: one write timed on its
// own, then a burst of changes with every new file (a new inode) counted.
struct FileWrites {
    std::vector<double> writeMs;
    uintmax_t bytes = 0;
    int changes = 0, writes = 0;
    double burstSeconds = 0;
    double lastChangeToFileMs = -1;
};

FileWrites measureAutomaticFile(AudioController& controller, const std::string& source, int seconds)
{
    FileWrites result;
    const std::string path = AudioController::defaultMappingFilePath();
    for (int i = 0; i < 20 && !stopRequested(); ++i) {
        const auto began = Clock::now();
        controller.writeAutomaticMappingFile();
        result.writeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
        std::this_thread::sleep_for(50ms);
    }
    std::error_code ec;
    result.bytes = std::filesystem::file_size(path, ec);

    const auto inode = [&path] {
        struct stat status { };
        return ::stat(path.c_str(), &status) == 0 ? status.st_ino : ino_t{0};
    };
    ino_t seen = inode();
    const auto began = Clock::now();
    Clock::time_point lastChange = began;
    for (; Clock::now() < began + std::chrono::seconds(seconds) && !stopRequested(); ++result.changes) {
        controller.addAudioConnection(source, static_cast<uint32_t>(result.changes % 2), "Bench Sender 0", 0);
        lastChange = Clock::now();
        std::this_thread::sleep_for(2ms);
        if (const ino_t now = inode(); now != seen) {
            seen = now;
            ++result.writes;
        }
    }
    result.burstSeconds = std::chrono::duration<double>(lastChange - began).count();
    for (const auto until = lastChange + 3s; Clock::now() < until; std::this_thread::sleep_for(1ms))
        if (inode() != seen) {
            result.lastChangeToFileMs = std::chrono::duration<double, std::milli>(Clock::now() - lastChange).count();
            break;
        }
    return result;
}

void printAutomaticFile(const FileWrites& file)
{
    std::printf("\nthe automatic mapping file of that routing (%ju bytes), on the calling thread\n", file.bytes);
    std::printf("  one write (the routing taken, rendered, written, synced with its folder): median %.2f ms, "
                "p99 %.2f ms over %zu\n",
        percentile(file.writeMs, 0.5), percentile(file.writeMs, 0.99), file.writeMs.size());
    std::printf("  a burst of %d changes in %.1f s (%.0f a second): %d writes, %.2f a second   aim: at most 1\n",
        file.changes, file.burstSeconds, file.changes / file.burstSeconds, file.writes,
        file.writes / file.burstSeconds);
    std::printf("  the last change in the file after %.0f ms   aim: within 1000 ms\n", file.lastChangeToFileMs);
}

void printMetering()
{
    constexpr int kBlocks = 3000;
    std::vector<float> samples(static_cast<size_t>(kSourceChannels * kBlock));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = std::sin(static_cast<float>(i) * 0.05f);
    std::vector<std::unique_ptr<ChannelLevels>> sources, senders;
    for (int s = 0; s < kSources; ++s)
        sources.push_back(std::make_unique<ChannelLevels>(kSourceChannels));
    for (int k = 0; k < kSenders; ++k)
        senders.push_back(std::make_unique<ChannelLevels>(kSenderChannels));
    std::vector<double> capture, send;
    std::vector<std::optional<ChannelLevels::Level>> read;
    for (int b = 0; b < kBlocks; ++b) {
        const auto t0 = Clock::now();
        for (auto& levels : sources) {
            levels->beginBlock();
            for (int ch = 0; ch < kSourceChannels; ++ch) {
                float peak = 0;
                double sum = 0;
                ChannelLevels::measure(samples.data() + ch * kBlock, kBlock, peak, sum);
                levels->add(static_cast<size_t>(ch), peak, sum, kBlock);
            }
        }
        const auto t1 = Clock::now();
        for (int k = 0; k < kSenders; ++k) {
            senders[static_cast<size_t>(k)]->beginBlock();
            for (int ch = 0; ch < kSenderChannels; ++ch) {
                const int route = k * kSenderChannels + ch;
                float peak = 0;
                double sum = 0;
                size_t n = 0;
                if (sources[static_cast<size_t>(route / kSourceChannels)]->lastBlock(
                        static_cast<size_t>(route % kSourceChannels), peak, sum, n))
                    senders[static_cast<size_t>(k)]->add(static_cast<size_t>(ch), peak, sum, n);
            }
        }
        const auto t2 = Clock::now();
        capture.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        send.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
        if (b % 4 == 0) // a reader about 20 times a second
            for (auto& levels : senders)
                levels->read(read);
    }
    std::printf("\nmetering per block, measured apart (%d blocks)                          median             p99"
                "                max\n",
        kBlocks);
    printPerBlock("sender channels (32 x 16), on the audio thread", send, "aim: <= 0.1 %");
    printPerBlock("source channels (64 x 8), on the capture tasks", capture, "");
}

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::clamp(std::atoi(argv[1]), 2, 600) : 10;
    prepareToolProcess();
    const std::string folder = isolateDiscovery();
    if (folder.empty()) {
        std::perror("kestrix-bench-engine: cannot make a discovery folder");
        return 1;
    }
    // The router's automatic mapping file goes there too, never the user's.
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    setenv("KESTRIX_LOOPBACK_HOSTNAME", kHost, 1);
    const std::string loadAtStart = loadAverage();

    std::error_code ec;
    const auto testsrc =
        (std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "kestrix-testsrc").string();
    std::vector<std::string> args, names;
    for (int s = 0; s < kSources; ++s) {
        args.insert(args.end(), {"--source", sourceName(s) + ":" + std::to_string(kSourceChannels)});
        names.push_back(published(sourceName(s)));
    }
    const std::vector<std::string> environment{
        "KESTRIX_LOOPBACK_DIR=" + folder, std::string("KESTRIX_LOOPBACK_HOSTNAME=") + kHost};
    ChildProcess sources(testsrc, args, environment, folder + "/testsrc.log");
    // Two small sources with pictures, for the senders of the loaded file that carry video.
    ChildProcess pictures(testsrc,
        {"--source", "bench-video-0:2", "--source", "bench-video-1:2", "--video", "320x180@25/1"}, environment,
        folder + "/testsrc-video.log");
    const std::vector<std::string> videoSources{published("bench-video-0"), published("bench-video-1")};

    // Room for every callback of the run, made before the clock starts.
    records.resize(static_cast<size_t>((90 + 3 * seconds) * kRate / kBlock));
    PlainCopy copy;
    plainCopy = &copy;
    loopbackSend = ndi().send_send_audio_v2;

    std::string problem;
    bool printed = false;
    {
        ControllerListener listener;
        TimedController controller(&listener);
        SourceDirectory directory;
        std::vector<std::string> wanted = names;
        wanted.insert(wanted.end(), videoSources.begin(), videoSources.end());
        if (!directory.waitFor(wanted, Clock::now() + 20s) && !stopRequested())
            problem = "the sources did not all appear within 20 s (see " + folder + "/testsrc.log)";
        const std::string file = folder + "/bench-load.ploverc";
        std::string error;
        const auto text = MappingFile::render(fileRouting(videoSources), error);
        if (problem.empty() && (!text || !MappingFile::writeFile(file, *text, error)))
            problem = "cannot write " + file + ": " + error;

        // Exactly the 32 senders of the benchmark: the first start's own go.
        for (const auto& [name, channels] : controller.routingSnapshot().mappings)
            controller.removeSender(name);
        for (int k = 0; k < kSenders; ++k) {
            const std::string sender = "Bench Sender " + std::to_string(k);
            controller.addSender(sender, kSenderChannels);
            for (int ch = 0; ch < kSenderChannels; ++ch) {
                const int route = k * kSenderChannels + ch;
                controller.addAudioConnection(names[static_cast<size_t>(route / kSourceChannels)],
                    static_cast<uint32_t>(route % kSourceChannels), sender, static_cast<uint32_t>(ch));
            }
        }
        controller.startNdiProcessing();
        controller.waitForCommands(10s);
        sleepUntilOrStopped(Clock::now() + 5s); // every source probed, every receiver made and primed

        if (problem.empty() && !stopRequested()) {
            const Span withSend = measureSteady(Phase::withSend, seconds, sources);
            const Span alone = measureSteady(Phase::engineAlone, seconds, sources);
            const Latency latency = measureLatency(controller, directory);
            const Load load = measureLoad(controller, listener, file);
            const FileWrites writes = measureAutomaticFile(controller, names[0], seconds);
            problem = load.problem;
            if (problem.empty() && !stopRequested()) {
                std::printf("kestrix-bench-engine: %d sources x %d channels (kestrix-testsrc), %d senders x %d "
                            "channels, %d routes, %s, %d Hz / %d\n",
                    kSources, kSourceChannels, kSenders, kSenderChannels, kRoutes,
                    controller.runsOnVirtualClock() ? "software clock" : "sound output", kRate, kBlock);
                std::printf("  runtime: %s; load average %s at the start, %s at the end\n", ndiRuntimeVersion().c_str(),
                    loadAtStart.c_str(), loadAverage().c_str());
                printCpu(withSend, alone);
                printLatency(latency);
                printLoad(load, recordCount.load());
                printMetering();
                printAutomaticFile(writes);
                printed = true;
            }
        }
    }
    plainCopy = nullptr;

    for (ChildProcess* child : {&sources, &pictures}) {
        int code = 0;
        child->kill(SIGTERM);
        if (!child->waitFor(10s, code)) {
            child->kill(SIGKILL);
            child->wait();
        }
    }
    if (printed) {
        // A source that stalled longer than a block lost that time: its frame-syncs had to absorb it.
        std::printf("\nkestrix-testsrc's audio schedule restarted %lld times after stalls\n",
            testsrcScheduleRestarts(folder + "/testsrc.log"));
        std::printf("reproduce: build/bin/kestrix-bench-engine %d\n", seconds);
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "kestrix-bench-engine: %s\n", problem.c_str());
        return 1; // the sources' logs stay for a look
    }
    std::filesystem::remove_all(folder, ec);
    return 0;
}
