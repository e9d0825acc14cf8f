// kestrix-bench-server: kestrix-server at scale, as its clients meet it.
// 64 loopback sources × 8 channels (a kestrix-testsrc process) are routed into
// 32 senders × 16 channels (a mapping file the server reads at start), and 10
// pages hold the web channel open the way the page's qwebchannel.js does
// (every signal the page listens to, pageReady, idle after property updates).
// Prints:
//   - the API's change-to-sender latency: from sending POST /api/v1/connect to
//     the first block of the sender that carries the new source channel, as
//     this process receives the sender (median, p99);
//   - how long the pages take to hear of that change (routingChanged);
//   - the server's CPU with the routes running, without pages and with 10;
//   - the same change through Ember+: from an Ember+ consumer's connect
//     request sent to the first block of the sender that carries the new
//     source channel (median, p99), its answer, and how soon a second
//     consumer, which read the matrix's directory, hears of it.
// It never fails on a slow machine; it only reports.
//
//   build/bin/kestrix-bench-server [seconds]   (each CPU phase; default 20)

#include "benchmarks/BenchmarkRun.h"
#include "benchmarks/EmberConsumer.h"
#include "benchmarks/ProcessCpu.h"
#include "engine/MappingFile.h"
#include "ndi/NdiLibrary.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HttpClient.h"
#include "tests/support/RawReceiver.h"
#include "tools/StopRequest.h"
#include "tools/ToolStartup.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr int kSources = 64, kSourceChannels = 8, kSenders = 32, kSenderChannels = 16;
constexpr int kPages = 10;
constexpr int kTrials = 100;
const char* const kSourceHost = "BENCH";
// The signals the page connects to; the server sends a page only those.
const std::vector<std::string> kPageSignals{"sourcesUpdated", "sendersUpdated", "connectionsUpdated",
    "setAVDelaySignal", "changeRefused", "fileOperationDone", "levelsUpdated", "statusUpdated", "routingChanged"};

std::string sourceName(int s)
{
    return std::string(kSourceHost) + " (bench-src-" + std::to_string(s) + ")";
}

std::string senderName(int k)
{
    return "Bench Sender " + std::to_string(k);
}

// The router announces its senders under the machine's own name, as the loopback runtime gives it.
std::string routerHost()
{
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::string name = host;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    return name;
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

StoredRouting benchRouting()
{
    StoredRouting routing;
    for (int k = 0; k < kSenders; ++k) {
        StoredSender sender{senderName(k), {}, {}};
        for (int ch = 0; ch < kSenderChannels; ++ch) {
            const int route = k * kSenderChannels + ch;
            sender.mappings.push_back(
                {static_cast<uint32_t>(route % kSourceChannels), sourceName(route / kSourceChannels)});
        }
        routing.senders.push_back(sender);
        routing.delays.emplace_back(sender.name, 0);
    }
    return routing;
}

// One page on the web channel, as qwebchannel.js drives it; notes when it
// heard routingChanged.
class Page {
public:
    Page(int port, const std::string& token) : client(port, 2)
    {
        if (client.upgrade("/channel", {{"Authorization", "Bearer " + token}}).status != 101)
            return;
        client.sendText(R"({"type":3,"id":0})"); // init
        for (int i = 0; i < 50; ++i) {
            const auto text = client.readText();
            if (!text)
                continue;
            const json message = json::parse(*text, nullptr, false);
            if (message.value("type", 0) != 10 || message.value("id", -1) != 0)
                continue;
            for (const json& signal : message["data"]["qmlWrapper"]["signals"]) {
                const std::string name = signal[0];
                if (name == "routingChanged")
                    routingSignal = signal[1];
                if (std::find(kPageSignals.begin(), kPageSignals.end(), name) != kPageSignals.end())
                    client.sendText(json{{"type", 7}, {"object", "qmlWrapper"}, {"signal", signal[1]}}.dump());
            }
            client.sendText(R"({"type":6,"object":"qmlWrapper","method":"pageReady","args":[],"id":1})");
            client.sendText(R"({"type":4})"); // idle
            connected = true;
            break;
        }
    }

    bool isConnected() const { return connected; }

    // Reads until `stop`; each routingChanged is stamped.
    void listen(const std::atomic<bool>& stop)
    {
        while (!stop && !stopRequested()) {
            const auto text = client.readText();
            if (!text)
                continue;
            // Only the end is read, where the keys (written in order) follow the arguments: ten
            // pages that parsed every levels message would compete with the server for two cores.
            const auto tail = text->substr(text->size() - std::min<size_t>(text->size(), 40));
            if (tail.find("\"type\":2}") != std::string::npos) {
                client.sendText(R"({"type":4})");
            } else if (tail.find("\"signal\":" + std::to_string(routingSignal) + ",\"type\":1}") != std::string::npos) {
                std::lock_guard lock(mutex);
                heard.push_back(Clock::now());
            }
            ++messages;
        }
    }

    // The first routingChanged in [since, until), if any. Once the page stopped listening.
    std::optional<Clock::time_point> heardBetween(Clock::time_point since, Clock::time_point until)
    {
        std::lock_guard lock(mutex);
        for (const auto at : heard)
            if (at >= since && at < until)
                return at;
        return std::nullopt;
    }

    std::atomic<long> messages{0};

private:
    HttpClient client;
    bool connected = false;
    int routingSignal = -1;
    std::mutex mutex;
    std::deque<Clock::time_point> heard;
};

// Receives the first benchmark sender raw and notes, per block, when it
// arrived and how often channel 0 crosses zero: 8 times a block for the tone of
// source channel 0 (375 Hz), 16 for channel 1's (750 Hz).
class SenderWatch {
public:
    explicit SenderWatch(const std::string& name) : receiver(name) { }

    void run(const std::atomic<bool>& stop)
    {
        while (!stop && !stopRequested()) {
            const RawReceiver::Block block = receiver.nextBlock(200);
            if (block.samples == 0)
                continue;
            int crossings = 0;
            for (int i = 1; i < block.samples; ++i)
                crossings += (block.at(0, i - 1) < 0) != (block.at(0, i) < 0);
            std::lock_guard lock(mutex);
            blocks.push_back({Clock::now(), crossings});
            if (blocks.size() > 4096)
                blocks.pop_front();
        }
    }

    // When the first block after `since` carried source channel `channel`.
    std::optional<Clock::time_point> carried(int channel, Clock::time_point since)
    {
        const int wanted = channel == 0 ? 8 : 16;
        std::lock_guard lock(mutex);
        for (const auto& [at, crossings] : blocks)
            if (at >= since && std::abs(crossings - wanted) <= 2)
                return at;
        return std::nullopt;
    }

private:
    RawReceiver receiver;
    std::mutex mutex;
    std::deque<std::pair<Clock::time_point, int>> blocks;
};

// The matrix's labels: label -> signal number, read from the node of target or source labels.
std::map<std::string, int64_t> labelNumbers(EmberConsumer& consumer, const GlowPath& labels)
{
    std::map<std::string, int64_t> numbers;
    if (!consumer.send(EmberConsumer::getDirectory(labels)))
        return numbers;
    if (const auto answer = consumer.next(5s))
        for (const GlowRequest& value : *answer)
            if (const auto* label = std::get_if<std::string>(&value.value); label && !value.path.empty())
                numbers[*label] = value.path.back();
    return numbers;
}

// A consumer that read the matrix's directory: notes when each report said what `target` carries.
class MatrixWatch {
public:
    MatrixWatch(int port, int64_t watched) : consumer(port), target(watched) { }

    bool start() { return consumer.send(EmberConsumer::getDirectory(kMatrix)) && consumer.next(5s).has_value(); }

    void run(const std::atomic<bool>& stop)
    {
        while (!stop && !stopRequested() && consumer.isConnected()) {
            const auto message = consumer.next(200ms);
            if (!message)
                continue;
            const auto at = Clock::now();
            for (const GlowRequest& report : *message)
                for (const GlowConnection& connection : report.connections)
                    if (connection.target == target && !connection.sources.empty()) {
                        std::lock_guard lock(mutex);
                        heard.emplace_back(at, connection.sources.front());
                    }
        }
    }

    // When a report first said, in [since, until), that the target carries `source`.
    std::optional<Clock::time_point> heardBetween(uint32_t source, Clock::time_point since, Clock::time_point until)
    {
        std::lock_guard lock(mutex);
        for (const auto& [at, carried] : heard)
            if (carried == source && at >= since && at < until)
                return at;
        return std::nullopt;
    }

    static inline const GlowPath kMatrix{1, 2};

private:
    EmberConsumer consumer;
    const int64_t target;
    std::mutex mutex;
    std::deque<std::pair<Clock::time_point, uint32_t>> heard;
};

struct Cpu {
    double percent = 0;
    long messagesPerPagePerSecond = 0;
};

Cpu serverCpu(pid_t server, int seconds, std::vector<std::unique_ptr<Page>>& pages)
{
    long messagesBefore = 0;
    for (auto& page : pages)
        messagesBefore += page->messages;
    const double cpu0 = processCpuSeconds(server);
    const auto start = Clock::now();
    sleepUntilOrStopped(start + std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    Cpu result;
    result.percent = 100.0 * (processCpuSeconds(server) - cpu0) / wall;
    long messages = -messagesBefore;
    for (auto& page : pages)
        messages += page->messages;
    if (!pages.empty())
        result.messagesPerPagePerSecond =
            static_cast<long>(static_cast<double>(messages) / wall / static_cast<double>(pages.size()));
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::clamp(std::atoi(argv[1]), 5, 600) : 20;
    prepareToolProcess();
    const std::string folder = isolateDiscovery();
    if (folder.empty()) {
        std::perror("kestrix-bench-server: cannot make a discovery folder");
        return 1;
    }
    const std::string loadAtStart = loadAverage();
    std::error_code ec;
    const auto here = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();

    std::vector<std::string> args;
    for (int s = 0; s < kSources; ++s)
        args.insert(args.end(), {"--source", "bench-src-" + std::to_string(s) + ":" + std::to_string(kSourceChannels)});
    ChildProcess sources((here / "kestrix-testsrc").string(), args,
        {"KESTRIX_LOOPBACK_DIR=" + folder, std::string("KESTRIX_LOOPBACK_HOSTNAME=") + kSourceHost},
        folder + "/testsrc.log");

    const std::string file = folder + "/bench.ploverc";
    std::string error;
    const auto text = MappingFile::render(benchRouting(), error);
    if (!text || !MappingFile::writeFile(file, *text, error)) {
        std::fprintf(stderr, "kestrix-bench-server: cannot write %s: %s\n", file.c_str(), error.c_str());
        return 1;
    }
    // A port of its own; its guard and files in the run's folder, so another Kestrix on the machine does not matter.
    const int port = freeLoopbackPort();
    const int emberPort = freeLoopbackPort();
    std::filesystem::create_directories(folder + "/tmp");
    ChildProcess server((here / "kestrix-server").string(),
        {"--listen", "127.0.0.1:" + std::to_string(port), "--token-file", folder + "/token", "--mapping-file", file,
            "--ember", "127.0.0.1:" + std::to_string(emberPort)},
        {"KESTRIX_LOOPBACK_DIR=" + folder, "XDG_DATA_HOME=" + folder, "TMPDIR=" + folder + "/tmp"},
        folder + "/server.log");

    std::string problem;
    HttpClient api(port);
    std::string token;
    const auto deadline = Clock::now() + 180s;
    for (;;) {
        std::ifstream in(folder + "/token");
        std::getline(in, token);
        const json found = token.empty()
            ? json()
            : json::parse(api.request("GET", "/api/v1/sources", {}, {{"Authorization", "Bearer " + token}}).body,
                  nullptr, false);
        int ready = 0;
        if (found.is_object())
            for (const json& source : found["sources"])
                ready += source["state"] == "ready";
        if (ready == kSources)
            break;
        if (Clock::now() > deadline || stopRequested()) {
            problem = "the server found " + std::to_string(ready) + " of the " + std::to_string(kSources) +
                " sources with their channels within 180 s (see " + folder + "/server.log)";
            break;
        }
        std::this_thread::sleep_for(200ms);
    }
    const HttpClient::Headers headers{{"Authorization", "Bearer " + token}, {"Content-Type", "application/json"}};
    sleepUntilOrStopped(Clock::now() + 5s); // every receiver made and primed

    std::vector<std::unique_ptr<Page>> noPages;
    const Cpu alone = problem.empty() ? serverCpu(server.id(), seconds, noPages) : Cpu{};

    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Page>> pages;
    std::vector<std::thread> listeners;
    for (int i = 0; i < kPages && problem.empty(); ++i) {
        pages.push_back(std::make_unique<Page>(port, token));
        if (!pages.back()->isConnected())
            problem = "page " + std::to_string(i) + " could not join the web channel";
        else
            listeners.emplace_back([&stop, page = pages.back().get()] { page->listen(stop); });
    }
    sleepUntilOrStopped(Clock::now() + 2s);
    const Cpu withPages = problem.empty() ? serverCpu(server.id(), seconds, pages) : Cpu{};

    // Latency: Bench Sender 0's channel 0 switched between source channels 0 and 1 of the first source.
    std::vector<double> toSender, toPages, answered;
    std::vector<Clock::time_point> changes;
    int lost = 0;
    std::vector<double> emberToSender, emberAnswered, emberHeard;
    std::vector<Clock::time_point> emberChanges;
    int emberLost = 0;
    if (problem.empty()) {
        SenderWatch watch(routerHost() + " (" + senderName(0) + ")");
        std::thread watching([&] { watch.run(stop); });
        std::mt19937 random(7);
        for (int trial = 1; trial <= kTrials && !stopRequested(); ++trial) {
            const int channel = trial % 2;
            const json change{{"sourceName", sourceName(0)}, {"sourceChannel", channel}, {"senderName", senderName(0)},
                {"senderChannel", 0}};
            const auto sent = Clock::now();
            changes.push_back(sent);
            const int status = api.request("POST", "/api/v1/connect", change.dump(), headers).status;
            answered.push_back(millis(Clock::now() - sent));
            std::optional<Clock::time_point> carried;
            for (const auto until = sent + 2s; !carried && Clock::now() < until;) {
                std::this_thread::sleep_for(1ms);
                carried = watch.carried(channel, sent);
            }
            if (status != 200 || !carried)
                ++lost;
            else
                toSender.push_back(millis(*carried - sent));
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 100));
        }
        changes.push_back(Clock::now()); // the end of the last change's window

        // The same switch made by an Ember+ consumer; a second one listens.
        EmberConsumer asking(emberPort);
        const auto targets = labelNumbers(asking, {1, 3, 1});
        const auto sourceSignals = labelNumbers(asking, {1, 3, 2});
        const auto target = targets.find(senderName(0) + " CH 1");
        const bool named = target != targets.end() && sourceSignals.count(sourceName(0) + " CH 1") != 0 &&
            sourceSignals.count(sourceName(0) + " CH 2") != 0;
        if (!named) {
            problem = "the Ember+ labels do not name the benchmark's senders and sources";
        } else {
            MatrixWatch hearing(emberPort, target->second);
            std::atomic<bool> stopHearing{false};
            std::thread heard;
            if (hearing.start())
                heard = std::thread([&] { hearing.run(stopHearing); });
            else
                problem = "the second Ember+ consumer could not read the matrix";
            std::vector<std::pair<Clock::time_point, uint32_t>> sent;
            for (int trial = 1; trial <= kTrials && problem.empty() && !stopRequested(); ++trial) {
                const int channel = trial % 2;
                const auto source =
                    static_cast<uint32_t>(sourceSignals.at(sourceName(0) + " CH " + std::to_string(channel + 1)));
                const auto at = Clock::now();
                sent.emplace_back(at, source);
                const bool answer = asking.send(EmberConsumer::connect(MatrixWatch::kMatrix, target->second, source)) &&
                    asking.next(2s).has_value();
                if (answer)
                    emberAnswered.push_back(millis(Clock::now() - at));
                std::optional<Clock::time_point> carried;
                for (const auto until = at + 2s; !carried && Clock::now() < until;) {
                    std::this_thread::sleep_for(1ms);
                    carried = watch.carried(channel, at);
                }
                if (!answer || !carried)
                    ++emberLost;
                else
                    emberToSender.push_back(millis(*carried - at));
                std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 100));
            }
            stopHearing = true;
            if (heard.joinable())
                heard.join();
            sent.emplace_back(Clock::now(), 0);
            for (size_t i = 0; i + 1 < sent.size(); ++i) {
                emberChanges.push_back(sent[i].first);
                if (const auto first = hearing.heardBetween(sent[i].second, sent[i].first, sent[i + 1].first))
                    emberHeard.push_back(millis(*first - sent[i].first));
            }
            emberChanges.push_back(sent.back().first);
        }
        stop = true;
        watching.join();
    }
    stop = true;
    for (auto& listener : listeners)
        listener.join();
    // Each change's news, from the first page that heard it before the next change was made (`made` ends with the
    // end of the last one's window).
    const auto pagesHeard = [&pages](const std::vector<Clock::time_point>& made) {
        std::vector<double> after;
        for (size_t i = 0; i + 1 < made.size(); ++i) {
            std::optional<Clock::time_point> first;
            for (auto& page : pages)
                if (const auto heard = page->heardBetween(made[i], made[i + 1]); heard && (!first || *heard < *first))
                    first = heard;
            if (first)
                after.push_back(millis(*first - made[i]));
        }
        return after;
    };
    toPages = pagesHeard(changes);
    const std::vector<double> emberToPages = pagesHeard(emberChanges);
    pages.clear();

    const std::string loadAtEnd = loadAverage();
    for (ChildProcess* child : {&server, &sources}) {
        int code = 0;
        child->kill(SIGTERM);
        if (!child->waitFor(20s, code)) {
            child->kill(SIGKILL);
            child->wait();
        }
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "kestrix-bench-server: %s\n", problem.c_str());
        return 1; // the logs stay for a look
    }
    std::printf("kestrix-bench-server: %d sources x %d channels (kestrix-testsrc) routed into %d senders x %d channels "
                "by kestrix-server on the software clock, runtime %s\n",
        kSources, kSourceChannels, kSenders, kSenderChannels, ndiRuntimeVersion().c_str());
    std::printf("  load average %s at the start, %s at the end\n", loadAtStart.c_str(), loadAtEnd.c_str());
    std::printf(
        "  API change to sender (POST /api/v1/connect sent -> first block of the new source channel received):\n"
        "    median %.1f ms, p99 %.1f ms over %zu changes, %d lost (aim: within a few blocks, ~10.7 ms each)\n",
        percentile(toSender, 0.5), percentile(toSender, 0.99), toSender.size(), lost);
    std::printf("  the POST answered after: median %.1f ms, p99 %.1f ms\n", percentile(answered, 0.5),
        percentile(answered, 0.99));
    std::printf(
        "  the first of %d pages heard routingChanged after: median %.1f ms, p99 %.1f ms for %zu of the changes "
        "(aim: under 100 ms)\n",
        kPages, percentile(toPages, 0.5), percentile(toPages, 0.99), toPages.size());
    std::printf("  kestrix-server CPU, %d s each: %.1f %% of a core without pages, %.1f %% with %d pages "
                "(each page received %ld messages a second)\n",
        seconds, alone.percent, withPages.percent, kPages, withPages.messagesPerPagePerSecond);
    std::printf(
        "  Ember+ change to sender (a consumer's connect request sent -> first block of the new source channel "
        "received):\n"
        "    median %.1f ms, p99 %.1f ms over %zu changes, %d lost; answered after: median %.1f ms, p99 %.1f ms\n",
        percentile(emberToSender, 0.5), percentile(emberToSender, 0.99), emberToSender.size(), emberLost,
        percentile(emberAnswered, 0.5), percentile(emberAnswered, 0.99));
    std::printf("  a second Ember+ consumer heard of it after: median %.1f ms, p99 %.1f ms for %zu of the changes "
                "(aim: under 100 ms)\n",
        percentile(emberHeard, 0.5), percentile(emberHeard, 0.99), emberHeard.size());
    std::printf(
        "  the first of %d pages heard of it (routingChanged) after: median %.1f ms, p99 %.1f ms for %zu of the "
        "changes (aim: under 100 ms)\n",
        kPages, percentile(emberToPages, 0.5), percentile(emberToPages, 0.99), emberToPages.size());
    std::printf("reproduce: build/bin/kestrix-bench-server %d\n", seconds);
    std::filesystem::remove_all(folder, ec);
    return 0;
}
