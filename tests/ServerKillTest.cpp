// The routing survives a kill: kestrix-server ended with SIGKILL, as the
// out-of-memory killer or a power cut ends it, starts again with what was done.

#include "engine/MappingFile.h"
#include "support/ServerFixture.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <random>
#include <set>

namespace {

// A sender as the mapping file holds it.
struct SenderModel {
    std::vector<ChannelMapping> channels;
    int32_t delayMs = 0;
    bool operator==(const SenderModel&) const = default;
};
using RoutingModel = std::map<std::string, SenderModel>;

std::optional<RoutingModel> readFile(const fs::path& path, std::string& error)
{
    const auto stored = MappingFile::parse(slurp(path), error);
    if (!stored)
        return std::nullopt;
    RoutingModel model;
    for (const StoredSender& s : stored->senders)
        model[s.name].channels = s.mappings;
    for (const auto& [name, ms] : stored->delays)
        model[name].delayMs = ms;
    return model;
}

std::string routerHost()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string host(name);
    std::ranges::transform(host, host.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return host;
}

class ServerKill : public Server {
protected:
    void killAndStartAgain()
    {
        server->kill(SIGKILL);
        server->wait();
        startServer();
        HttpClient client(port);
        for (const auto deadline = std::chrono::steady_clock::now() + 30s;
             client.request("GET", "/api/v1/routing", {}, bearer()).status != 200; std::this_thread::sleep_for(20ms))
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << slurp(folder / "server.log");
    }

    // Whether the router's sender `name` carries the tone of the test source's channel 1 (750 Hz, -20 dBFS) on its
    // channel 0, as kestrix-probe hears it within 30 s.
    bool carriesTheTone(const std::string& name)
    {
        for (const auto deadline = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < deadline;) {
            ChildProcess probe(KESTRIX_PROBE,
                {"--source", routerHost() + " (" + name + ")", "--seconds", "1.5", "--json"}, environment(),
                (folder / "probe.log").string());
            probe.wait();
            const std::string text = "\n" + slurp(folder / "probe.log");
            const size_t begin = text.find("\n{");
            const json report = begin == std::string::npos ? json() : json::parse(text.substr(begin), nullptr, false);
            if (report.is_object())
                for (const json& heard : report["channels"])
                    if (heard["channel"] == 0 && heard["silentFraction"] == 0 &&
                        std::abs(heard["frequencyHz"].get<double>() - 750) < 5 &&
                        std::abs(heard["levelDbfs"].get<double>() + 20) < 0.5)
                        return true;
        }
        return false;
    }
};

} // namespace

TEST_F(ServerKill, aChangeMadeASecondAndAHalfBeforeAKillIsThereAtTheNextStart)
{
    HttpClient client(port);
    ASSERT_EQ(post(client, "/senders/add", {{"senderName", "Booth"}, {"channels", 2}}).status, 200);
    ASSERT_EQ(post(client, "/connect", connection(kTones, 1, "Booth", 0)).status, 200);
    ASSERT_TRUE(carriesTheTone("Booth"));
    std::this_thread::sleep_for(1500ms);

    killAndStartAgain();
    const json routing = get(client, "/routing");
    EXPECT_EQ(routing["connections"], json::array({connection(kTones, 1, "Booth", 0)}));
    EXPECT_EQ(routing["senders"], json::array({sender("Booth", 2), sender("Desk", 4), sender("Spare", 2)}));
    EXPECT_TRUE(carriesTheTone("Booth")) << slurp(folder / "server.log");
}

// 2,000 changes of the senders, their channels and delays, with the server
// killed after random ones 20 times meanwhile: every time the file reads,
// holds the routing as it stood at some moment since the start, and is what
// the next start begins with.
TEST_F(ServerKill, killedTwentyTimesInABurstOfChangesTheFileAlwaysHoldsTheRoutingOfSomeMoment)
{
    constexpr int kKills = 20, kChanges = 2000;
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> names = {"Burst A", "Burst B", "Burst C", "Burst D", "Spare"};

    // The kills come after these many changes: at random, the last at the end of the burst.
    std::vector<int> cuts{kChanges};
    while (cuts.size() < kKills)
        cuts.push_back(1 + pick(kChanges - 1));
    std::ranges::sort(cuts);

    std::string error;
    int sent = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        std::optional<RoutingModel> model = readFile(folder / "routing.ploverc", error); // what this start read
        ASSERT_TRUE(model) << error;
        std::vector<RoutingModel> moments{*model};
        HttpClient client(port);
        for (; sent < cuts[kill]; ++sent) {
            const std::string name = names[pick(static_cast<int>(names.size()))];
            const auto known = model->find(name);
            const int channels = known == model->end() ? 1 : static_cast<int>(known->second.channels.size());
            const int channel = pick(std::max(channels, 1)), kind = pick(5);
            RoutingModel next = *model;
            HttpClient::Response answer;
            if (kind == 0) {
                const int count = 1 + pick(8);
                answer = post(client, "/senders/add", {{"senderName", name}, {"channels", count}});
                next[name] = {std::vector<ChannelMapping>(count), 0};
            } else if (kind == 1) {
                answer = post(client, "/senders/remove", {{"senderName", name}});
                next.erase(name);
            } else if (kind == 2) {
                const int ms = pick(2001) - 1000;
                answer = post(client, "/senders/delay", {{"senderName", name}, {"delayMs", ms}});
                next[name].delayMs = ms;
            } else if (kind == 3) {
                const int from = pick(4);
                answer = post(client, "/connect", connection(kTones, from, name, channel));
                next[name].channels.resize(channels);
                next[name].channels[channel] = {static_cast<uint32_t>(from), kTones};
            } else {
                answer = post(client, "/disconnect", {{"senderName", name}, {"senderChannel", channel}});
                next[name].channels.resize(channels);
                next[name].channels[channel] = {};
            }
            // A refused change (a sender there already or not there, a source not found yet) changes nothing.
            if (answer.status == 200) {
                *model = std::move(next);
                moments.push_back(*model);
            }
            // About a hundred a second: a segment spans the first write after a start, or ends before it.
            std::this_thread::sleep_for(5ms);
        }
        killAndStartAgain();

        const std::optional<RoutingModel> kept = readFile(folder / "routing.ploverc", error);
        ASSERT_TRUE(kept) << "kill " << kill << ": " << error;
        EXPECT_NE(std::ranges::find(moments, *kept), moments.end())
            << "kill " << kill << " after " << moments.size() - 1 << " changes";
    }
}
