// The routing survives a kill: kestrix-server ended with SIGKILL, as the
// out-of-memory killer or a power cut ends it, starts again with what was done.

#include "engine/MappingFile.h"
#include "support/ServerFixture.h"

#include <algorithm>
#include <map>
#include <random>

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
};

} // namespace

// 2,000 changes of the senders, their channels and delays, with the server
// killed after random ones 20 times meanwhile: every time the file reads,
// holds the routing as it stood at some moment since the start, and is what
// the next start begins with; the last kill, a second and a half after the
// last change, loses nothing.
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
        const bool last = kill == kKills - 1;
        if (last)
            std::this_thread::sleep_for(1500ms);
        killAndStartAgain();

        const std::optional<RoutingModel> kept = readFile(folder / "routing.ploverc", error);
        ASSERT_TRUE(kept) << "kill " << kill << ": " << error;
        EXPECT_NE(std::ranges::find(moments, *kept), moments.end())
            << "kill " << kill << " after " << moments.size() - 1 << " changes";
        if (last) {
            EXPECT_EQ(*kept, moments.back()) << "the last change, made 1.5 s before the kill";
        }
    }
}
