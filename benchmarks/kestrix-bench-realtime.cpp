// kestrix-bench-realtime: whether the engine keeps time on a busy machine.
// Prints, each with its aim:
//   - the software clock's wake-up lateness (median, p99, max) and its late
//     blocks while the router routes one loopback source, idle and with four
//     CPU-bound processes at ordinary priority, with real-time scheduling as
//     the system grants it and with it refused, `seconds` each. Refused is
//     real: that run's process gives up CAP_SYS_NICE and sets RLIMIT_RTPRIO
//     to 0 before it starts, so the system says no as it would to a user;
//   - with one of three sources whose audio capture is made to take 30 ms,
//     the audio thread's blocks and the other senders' sends.
// Each run is a process of its own. It never fails on a slow machine; it only
// reports. (The Load's longest block is kestrix-bench-engine's.)
//
//   build/bin/kestrix-bench-realtime [seconds]   (each clock run; default 60)

#include "benchmarks/BenchmarkRun.h"
#include "engine/AudioController.h"
#include "engine/RealtimeScheduling.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ControllerListener.h"
#include "tests/support/RawReceiver.h"
#include "tests/support/RealtimeRefusal.h"
#include "tests/support/SlowCaptureRuntime.h"
#include "tests/support/TestSource.h"
#include "tools/StopRequest.h"
#include "tools/ToolStartup.h"

#include <sys/prctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 48000, kBlock = 512;
constexpr double kPeriodNs = 1e9 * kBlock / kRate;
constexpr auto kSlowCapture = 30ms;

std::string loadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The scheduling policy of one of this process's threads, as the kernel has it.
std::string threadPolicy(pid_t thread)
{
    std::string stat;
    std::getline(std::ifstream("/proc/self/task/" + std::to_string(thread) + "/stat"), stat);
    // The fields after the command's closing parenthesis, from field 3 on: priority is field 40, policy 41.
    std::vector<std::string> fields;
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    for (std::string f; rest >> f;)
        fields.push_back(f);
    if (fields.size() < 39)
        return "(not known)";
    const int priority = std::atoi(fields[37].c_str()), policy = std::atoi(fields[38].c_str());
    switch (policy) {
    case SCHED_FIFO: return "SCHED_FIFO " + std::to_string(priority);
    case SCHED_RR: return "SCHED_RR " + std::to_string(priority);
    default: return "ordinary";
    }
}

// Every callback's entry and exit while recording, into room made before the clock starts.
struct Tick {
    int64_t entered = 0, left = 0;
};
std::vector<Tick> ticks;
std::atomic<size_t> tickCount{0};
std::atomic<bool> recording{false};
std::atomic<pid_t> clockThread{0};

int64_t nanos(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

class RecordingController : public AudioController {
public:
    using AudioController::AudioController;

    void audioDeviceIOCallbackWithContext(const float* const* in, int numIn, float* const* out, int numOut, int n,
        const juce::AudioIODeviceCallbackContext& context) override
    {
        const int64_t entered = nanos(Clock::now());
        if (clockThread.load(std::memory_order_relaxed) == 0)
            clockThread.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_relaxed);
        AudioController::audioDeviceIOCallbackWithContext(in, numIn, out, numOut, n, context);
        const size_t i = tickCount.load(std::memory_order_relaxed);
        if (recording.load(std::memory_order_relaxed) && i < ticks.size()) {
            ticks[i] = {entered, nanos(Clock::now())};
            tickCount.store(i + 1, std::memory_order_release);
        }
    }
};

struct ClockFigures {
    std::vector<double> latenessUs;
    int lateBlocks = 0; // ended past the next block's deadline
};

// Replays the software clock's absolute schedule from the ticks: a tick
// never starts before its deadline, so the earliest (entry − n·period) of a
// stretch is its origin; a tick that ends more than a period past the next
// deadline starts a new schedule at its end, as the clock does.
ClockFigures replay(const std::vector<Tick>& recorded)
{
    ClockFigures figures;
    size_t first = 0;
    while (first < recorded.size()) {
        double origin = static_cast<double>(recorded[first].entered);
        size_t end = first;
        for (int64_t n = 0; end < recorded.size(); ++end, ++n) {
            origin = std::min(origin, static_cast<double>(recorded[end].entered) - static_cast<double>(n) * kPeriodNs);
            const double late =
                static_cast<double>(recorded[end].left) - (origin + static_cast<double>(n + 1) * kPeriodNs);
            figures.lateBlocks += late > 0 ? 1 : 0;
            if (late > kPeriodNs) {
                ++end;
                break;
            }
        }
        for (size_t i = first; i < end; ++i)
            figures.latenessUs.push_back(
                (static_cast<double>(recorded[i].entered) - origin - static_cast<double>(i - first) * kPeriodNs) /
                1000);
        first = end;
    }
    return figures;
}

// One clock run: the router on the software clock routing one source, recorded for `seconds`.
int runClock(int seconds, bool refused)
{
    if (refused && !refuseRealtime()) {
        std::perror("kestrix-bench-realtime: cannot give up real-time scheduling");
        return 1;
    }
    prepareToolProcess();
    const std::string folder = isolateDiscovery();
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    ticks.resize(static_cast<size_t>(seconds + 5) * kRate / kBlock);
    {
        TestSource source("Clock Bench", {.channels = 2});
        ControllerListener listener;
        RecordingController controller(&listener);
        controller.startNdiProcessing(); // the probe that finds sources runs from here on
        if (!listener.waitFor({"added", source.publishedName(), kNoChannel}, 10s)) {
            std::fprintf(stderr, "kestrix-bench-realtime: the source was not found\n");
            return 1;
        }
        controller.addAudioConnection(source.publishedName(), 0, "Plover Sender 1", 0);
        controller.waitForCommands(5s);
        sleepUntilOrStopped(Clock::now() + 3s); // the source received and primed
        // Meanwhile a bare thread, one priority below the clock where that is granted, sleeps to the same
        // deadlines and does nothing else: the latest it wakes is what the machine itself allows.
        std::vector<double> floorUs;
        floorUs.reserve(ticks.size());
        recording = true;
        std::thread floor([&] {
            RealtimeScheduling::raise(RealtimeScheduling::currentThread(), RealtimeScheduling::kClockPriority - 1);
            const auto period = std::chrono::nanoseconds(static_cast<int64_t>(kPeriodNs));
            for (auto due = Clock::now() + period; recording.load() && floorUs.size() < floorUs.capacity();
                 due += period) {
                std::this_thread::sleep_until(due);
                floorUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - due).count());
            }
        });
        sleepUntilOrStopped(Clock::now() + std::chrono::seconds(seconds));
        recording = false;
        floor.join();
        const std::string policy = threadPolicy(clockThread.load());
        const ClockFigures clock = replay({ticks.begin(), ticks.begin() + static_cast<long>(tickCount.load())});
        std::printf("| %-24s %9.0f us %9.0f us %9.0f us %6d of %zu   %9.0f us\n", policy.c_str(),
            percentile(clock.latenessUs, 0.5), percentile(clock.latenessUs, 0.99), percentile(clock.latenessUs, 1.0),
            clock.lateBlocks, clock.latenessUs.size(), percentile(floorUs, 1.0));
        std::fflush(stdout);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}

// Among three routed sources, one's capture takes 30 ms each time.
int runSlowCapture(int seconds)
{
    prepareToolProcess();
    if (!installSlowCaptureRuntime("Slow", kSlowCapture)) {
        std::fprintf(stderr, "kestrix-bench-realtime: cannot load the loopback runtime\n");
        return 1;
    }
    const std::string folder = isolateDiscovery();
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    ticks.resize(static_cast<size_t>(seconds + 5) * kRate / kBlock);
    {
        TestSource slow("Slow", {.channels = 1}), steadyA("Steady A", {.channels = 1}),
            steadyB("Steady B", {.channels = 1});
        ControllerListener listener;
        RecordingController controller(&listener);
        controller.startNdiProcessing();
        const std::vector<std::pair<TestSource*, std::string>> routes{
            {&slow, "Plover Sender 1"}, {&steadyA, "Plover Sender 2"}, {&steadyB, "Plover Sender 3"}};
        for (const auto& [source, sender] : routes) {
            if (!listener.waitFor({"added", source->publishedName(), kNoChannel}, 10s)) {
                std::fprintf(stderr, "kestrix-bench-realtime: a source was not found\n");
                return 1;
            }
            controller.addAudioConnection(source->publishedName(), 0, sender, 0);
        }
        controller.waitForCommands(5s);
        sleepUntilOrStopped(Clock::now() + 3s);

        // What each sender sent while recording: blocks with the tone, silent ones, others, and the longest gap.
        struct Sent {
            int tone = 0, silent = 0, other = 0;
            double longestGapMs = 0;
        };
        std::vector<Sent> sent(routes.size());
        std::vector<std::thread> readers;
        recording = true;
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        for (size_t k = 0; k < routes.size(); ++k)
            readers.emplace_back([&, k] {
                RawReceiver rx(RawReceiver::listed(routes[k].second));
                int64_t previous = 0;
                while (Clock::now() < end && !stopRequested()) {
                    const RawReceiver::Block block = rx.nextBlock(500);
                    if (block.samples == 0)
                        continue;
                    float peak = 0;
                    for (int i = 0; i < block.samples; ++i)
                        peak = std::max(peak, std::abs(block.at(0, i)));
                    (peak > 0.99f ? sent[k].tone : peak == 0 ? sent[k].silent : sent[k].other) += 1;
                    if (previous != 0)
                        sent[k].longestGapMs =
                            std::max(sent[k].longestGapMs, static_cast<double>(block.timestamp - previous) / 1e4);
                    previous = block.timestamp;
                }
            });
        for (auto& reader : readers)
            reader.join();
        recording = false;

        const size_t count = tickCount.load();
        std::vector<double> wallUs;
        for (size_t i = 0; i < count; ++i)
            wallUs.push_back(static_cast<double>(ticks[i].left - ticks[i].entered) / 1000);
        const auto over = std::count_if(wallUs.begin(), wallUs.end(), [](double us) { return us > kPeriodNs / 1000; });
        std::printf("| audio thread: %zu blocks, median %.0f us, p99 %.0f us, longest %.0f us (%.0f %% of a block); "
                    "%ld over their period   aim: none\n",
            count, percentile(wallUs, 0.5), percentile(wallUs, 0.99), percentile(wallUs, 1.0),
            100 * percentile(wallUs, 1.0) * 1000 / kPeriodNs, static_cast<long>(over));
        for (size_t k = 0; k < routes.size(); ++k)
            std::printf("| %-16s from %-9s sent %5d blocks: %5d with the tone, %5d silent, %3d other; longest gap "
                        "between two sends %.1f ms%s\n",
                routes[k].second.c_str(),
                k == 0       ? "the slow"
                    : k == 1 ? "steady A"
                             : "steady B",
                sent[k].tone + sent[k].silent + sent[k].other, sent[k].tone, sent[k].silent, sent[k].other,
                sent[k].longestGapMs, k == 0 ? "" : "   aim: every block with the tone, no gap over 1.5 blocks");
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}

// Four processes that only burn CPU, at ordinary priority, until killed or `limit` passes.
std::vector<pid_t> startBusyProcesses(std::chrono::seconds limit)
{
    std::vector<pid_t> busy;
    for (int i = 0; i < 4; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const auto end = Clock::now() + limit;
            volatile uint64_t spins = 0;
            while (Clock::now() < end)
                spins = spins + 1;
            _exit(0);
        }
        if (pid > 0)
            busy.push_back(pid);
    }
    return busy;
}

void stopBusyProcesses(const std::vector<pid_t>& busy)
{
    for (pid_t pid : busy)
        kill(pid, SIGKILL);
    for (pid_t pid : busy)
        waitpid(pid, nullptr, 0);
}

int runChild(const std::string& self, const std::vector<std::string>& args, const std::string& folder)
{
    const std::string output = folder + "/" + args[0].substr(2) + std::to_string(std::rand()) + ".txt";
    ChildProcess child(self, args, {}, output);
    const int code = child.wait();
    // The run's own lines; its log stays out.
    std::istringstream lines(slurp(output));
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("| ") || line.starts_with("kestrix-bench-realtime:"))
            std::printf("  %s\n", line.c_str() + (line[0] == '|' ? 2 : 0));
    if (code != 0)
        std::printf("  (the run ended with %d; its output stays in %s)\n", code, output.c_str());
    else
        std::filesystem::remove(output);
    std::fflush(stdout);
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--clock")
        return runClock(std::clamp(std::atoi(args[1].c_str()), 1, 3600), args.size() > 2);
    if (args.size() >= 2 && args[0] == "--slow-capture")
        return runSlowCapture(std::clamp(std::atoi(args[1].c_str()), 1, 3600));

    const int seconds = !args.empty() ? std::clamp(std::atoi(args[0].c_str()), 2, 3600) : 60;
    prepareToolProcess();
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    std::string folder = (std::filesystem::temp_directory_path() / "kestrix-bench-rt-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::perror("kestrix-bench-realtime: cannot make a folder");
        return 1;
    }

    int failed = 0;
    std::printf("kestrix-bench-realtime: the software clock routing one source, %d s per run, %d Hz / %d (a block "
                "is %.0f us)\n",
        seconds, kRate, kBlock, kPeriodNs / 1000);
    std::printf("\nwake-up lateness of the software clock      the clock thread's policy   median        p99        "
                "max   late blocks   a bare thread's max\n");
    for (const bool refused : {false, true})
        for (const bool loaded : {false, true}) {
            if (stopRequested())
                break;
            std::printf("%s, %s; load average %s\n",
                refused ? "real-time refused (no CAP_SYS_NICE, RLIMIT_RTPRIO 0)" : "real-time as granted",
                loaded ? "four CPU-bound processes" : "idle", loadAverage().c_str());
            std::fflush(stdout);
            const auto busy = loaded ? startBusyProcesses(std::chrono::seconds(seconds + 60)) : std::vector<pid_t>{};
            std::vector<std::string> childArgs{"--clock", std::to_string(seconds)};
            if (refused)
                childArgs.push_back("--refuse-realtime");
            failed += runChild(self, childArgs, folder) != 0;
            stopBusyProcesses(busy);
        }
    std::printf("  aims: with real-time scheduling, max under 1000 us and no late block, under the four processes too\n"
                "  (a bare thread's max: one that only sleeps to the same deadlines meanwhile, a priority below the\n"
                "  clock where real-time is granted; no clock wakes earlier than the machine lets it)\n");

    const int slowSeconds = std::max(5, seconds / 4);
    std::printf("\none of three routed sources takes %lld ms to capture, %d s; load average %s\n",
        static_cast<long long>(kSlowCapture.count()), slowSeconds, loadAverage().c_str());
    std::fflush(stdout);
    if (!stopRequested())
        failed += runChild(self, {"--slow-capture", std::to_string(slowSeconds)}, folder) != 0;

    std::printf("\nreproduce: build/bin/kestrix-bench-realtime %d\n", seconds);
    if (failed == 0)
        std::filesystem::remove_all(folder, ec);
    return failed == 0 ? 0 : 1;
}
