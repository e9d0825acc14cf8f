// kestrix-server as browsers and programs meet it: the real program over
// 127.0.0.1 with loopback test sources, driven through HTTP and WebSockets.

#include "support/ChildProcess.h"
#include "support/FreePort.h"
#include "support/HttpClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Sources are announced as "machine (stream)".
const std::string kTonesStream = "Tones";
const std::string kTones = "STUDIO (" + kTonesStream + ")";
// Data, wherever it shows: quotes, a backslash, markup, an entity and letters beyond ASCII.
const std::string kHostileStream = "Evil \"q\" \\ <script>alert(1)</script> &amp; ünï ✓";
const std::string kHostileSource = "STUDIO (" + kHostileStream + ")";
const std::string kHostileSender = "Stage \"B\" <b>&amp;</b> \\ ünï ✓";

std::string slurp(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

json parsed(const HttpClient::Response& response)
{
    return json::parse(response.body, nullptr, false);
}

class Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrix-server-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        for (const char* sub : {"loopback", "tmp", "data"})
            fs::create_directory(folder / sub);
        fs::permissions(folder / "loopback", fs::perms::owner_all, fs::perm_options::replace);
        sources = std::make_unique<ChildProcess>(KESTRIX_TESTSRC,
            std::vector<std::string>{"--source", kTonesStream + ":4", "--source", kHostileStream + ":2"},
            environment({"KESTRIX_LOOPBACK_HOSTNAME=STUDIO"}), (folder / "sources.log").string());
        port = freeLoopbackPort();
        server = startServer("server.log");
        ASSERT_TRUE(server->started());
        token = readToken();
        ASSERT_EQ(token.size(), 32u) << slurp(folder / "server.log");
        // Ready once both sources are found with their channels.
        HttpClient client(port);
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        for (;;) {
            const json found = parsed(client.request("GET", "/api/v1/sources", {}, bearer()));
            if (found.is_object() && found["sources"].size() == 2 && !found["sources"][0]["channels"].is_null() &&
                !found["sources"][1]["channels"].is_null())
                break;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << slurp(folder / "server.log");
            std::this_thread::sleep_for(200ms);
        }
    }

    void TearDown() override
    {
        server.reset();
        sources.reset();
        fs::remove_all(folder);
    }

    std::vector<std::string> environment(std::vector<std::string> extra = {}) const
    {
        extra.insert(extra.end(),
            {"KESTRIX_LOOPBACK_DIR=" + (folder / "loopback").string(), "KESTRIX_NDI_RUNTIME=" KESTRIX_LOOPBACK_RUNTIME,
                "TMPDIR=" + (folder / "tmp").string(), "XDG_DATA_HOME=" + (folder / "data").string(),
                "QT_QPA_PLATFORM=offscreen"});
        return extra;
    }

    std::unique_ptr<ChildProcess> startServer(const std::string& log, std::vector<std::string> args = {})
    {
        if (args.empty())
            args = {"--listen", "127.0.0.1:" + std::to_string(port), "--token-file", (folder / "token").string(),
                "--mapping-file", (folder / "routing.ploverc").string()};
        return std::make_unique<ChildProcess>(KESTRIX_SERVER, args, environment(), (folder / log).string());
    }

    std::string readToken()
    {
        for (int i = 0; i < 100 && !fs::exists(folder / "token"); ++i)
            std::this_thread::sleep_for(100ms);
        std::string text = slurp(folder / "token");
        return text.substr(0, text.find('\n'));
    }

    HttpClient::Headers bearer(HttpClient::Headers more = {}) const
    {
        more.push_back({"Authorization", "Bearer " + token});
        return more;
    }

    // A change as a program makes it: JSON, with the token.
    HttpClient::Response post(HttpClient& client, const std::string& call, const json& body)
    {
        return client.request("POST", "/api/v1" + call, body.dump(), bearer({{"Content-Type", "application/json"}}));
    }

    json routing(HttpClient& client) { return parsed(client.request("GET", "/api/v1/routing", {}, bearer())); }

    fs::path folder;
    int port = 0;
    std::string token;
    std::unique_ptr<ChildProcess> sources;
    std::unique_ptr<ChildProcess> server;
};

json sender(const std::string& name, int channels, int delayMs = 0, json video = nullptr)
{
    return {{"channels", channels}, {"delayMs", delayMs}, {"name", name}, {"videoSource", video}};
}

json connection(const std::string& source, int sourceChannel, const std::string& senderName, int senderChannel)
{
    return {{"senderChannel", senderChannel}, {"senderName", senderName}, {"sourceChannel", sourceChannel},
        {"sourceName", source}};
}

const json kDefaultSenders = {sender("Plover Sender 1", 4), sender("Plover Sender 2", 2), sender("Plover Sender 3", 6)};

} // namespace

TEST_F(Server, withoutTheTokenNothingIsServedAndPagesOfOtherOriginsAreRefused)
{
    EXPECT_EQ(
        fs::status(folder / "token").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(slurp(folder / "server.log").find("Access token (kept in " + (folder / "token").string() + "): " + token),
        std::string::npos)
        << "shown at the start that made it";

    HttpClient client(port);
    const auto api = client.request("GET", "/api/v1/routing");
    EXPECT_EQ(api.status, 401);
    EXPECT_EQ(api.header("www-authenticate"), "Bearer");
    EXPECT_EQ(api.header("connection"), "close");
    const auto page = client.request("GET", "/");
    EXPECT_EQ(page.status, 401) << "the page comes with the 401, to sign in";
    EXPECT_EQ(page.header("content-type"), "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("id=\"signInPopup\""), std::string::npos);
    EXPECT_EQ(client.request("GET", "/assets/logo.png").status, 401);
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, {{"Authorization", "Bearer " + token + "x"}}).status, 401);

    const std::string own = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(client.upgrade("/channel").status, 401);
    EXPECT_EQ(client.upgrade("/channel", bearer({{"Origin", "http://elsewhere.example"}})).status, 403);
    EXPECT_EQ(client.upgrade("/channel", bearer({{"Origin", own}})).status, 101);
    EXPECT_EQ(client.upgrade("/api/v1/events", bearer()).status, 101);
    client.disconnect();

    // A page of another site may post a form or a fetch: refused, and nothing changes.
    const json before = routing(client);
    EXPECT_EQ(client
                  .request("POST", "/api/v1/senders/add", R"({"senderName":"Forged","channels":2})",
                      bearer({{"Origin", "http://elsewhere.example"}, {"Content-Type", "application/json"}}))
                  .status,
        403);
    EXPECT_EQ(client
                  .request("POST", "/api/v1/senders/add", "senderName=Forged&channels=2",
                      bearer({{"Content-Type", "application/x-www-form-urlencoded"}}))
                  .status,
        415);
    EXPECT_EQ(routing(client), before);

    // The page's sign-in: the token for a session cookie, which works until it is given back.
    EXPECT_EQ(client.request("POST", "/api/v1/session", R"({"token":"guess"})", {{"Content-Type", "application/json"}})
                  .status,
        401);
    const auto signedIn = client.request(
        "POST", "/api/v1/session", json{{"token", token}}.dump(), {{"Content-Type", "application/json"}});
    ASSERT_EQ(signedIn.status, 200);
    const std::string cookie = signedIn.header("set-cookie");
    EXPECT_EQ(cookie.substr(cookie.find(';')), "; Path=/; HttpOnly; SameSite=Strict");
    EXPECT_EQ(cookie.find("kestrix_session="), 0u);
    const HttpClient::Headers session{{"Cookie", cookie.substr(0, cookie.find(';'))}};
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, session).status, 200);
    const auto pageSignedIn = client.request("GET", "/", {}, session);
    EXPECT_EQ(pageSignedIn.status, 200);
    EXPECT_EQ(pageSignedIn.body, page.body);
    EXPECT_EQ(client.upgrade("/channel", session).status, 101);
    EXPECT_EQ(client.request("DELETE", "/api/v1/session", {}, session).status, 200);
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, session).status, 401);
}

TEST_F(Server, everyCallDoesWhatItSaysAndARefusedOneChangesNothing)
{
    HttpClient client(port);
    EXPECT_EQ(parsed(client.request("GET", "/api/v1/sources", {}, bearer())),
        json::parse(R"j({"sources":[{"channels":2,"name":)j" + json(kHostileSource).dump() +
            R"j(,"routed":false,"state":"ready"},{"channels":4,"name":"STUDIO (Tones)","routed":false,"state":"ready"}]})j"));
    EXPECT_EQ(routing(client), (json{{"connections", json::array()}, {"senders", kDefaultSenders}}));

    EXPECT_EQ(parsed(post(client, "/senders/add", {{"senderName", "Booth"}, {"channels", 2}})), (json{{"done", true}}));
    EXPECT_EQ(post(client, "/connect", connection(kTones, 1, "Booth", 0)).status, 200);
    EXPECT_EQ(post(client, "/connect", connection(kTones, 3, "Booth", 0)).status, 200)
        << "it replaces what the channel carried";
    EXPECT_EQ(post(client, "/connect", connection(kTones, 0, "Booth", 1)).status, 200);
    EXPECT_EQ(post(client, "/disconnect", {{"senderName", "Booth"}, {"senderChannel", 1}}).status, 200);
    EXPECT_EQ(post(client, "/senders/delay", {{"senderName", "Booth"}, {"delayMs", -120}}).status, 200);
    EXPECT_EQ(post(client, "/senders/video", {{"senderName", "Plover Sender 2"}, {"sourceName", kTones}}).status, 200);
    EXPECT_EQ(post(client, "/senders/video", {{"senderName", "Booth"}, {"sourceName", kTones}}).status, 200);
    EXPECT_EQ(post(client, "/senders/video", {{"senderName", "Plover Sender 2"}, {"sourceName", nullptr}}).status, 200);
    EXPECT_EQ(post(client, "/senders/remove", {{"senderName", "Plover Sender 3"}}).status, 200);
    const json senders = {sender("Booth", 2, -120, kTones), sender("Plover Sender 1", 4), sender("Plover Sender 2", 2)};
    const json expected = {{"connections", {connection(kTones, 3, "Booth", 0)}}, {"senders", senders}};
    EXPECT_EQ(routing(client), expected);
    EXPECT_EQ(parsed(client.request("GET", "/api/v1/senders", {}, bearer())), (json{{"senders", senders}}));
    EXPECT_EQ(parsed(client.request("GET", "/api/v1/sources", {}, bearer()))["sources"][1]["routed"], true);

    // Refused: the status, the reason, and the routing as it was.
    const auto refused = [&](const std::string& call, const json& body) {
        const auto answer = post(client, call, body);
        return std::make_pair(answer.status, parsed(answer).value("error", std::string()));
    };
    using Refusal = std::pair<int, std::string>;
    EXPECT_EQ(refused("/connect", connection(kTones, 0, "Nobody", 0)), (Refusal{404, "there is no sender \"Nobody\""}));
    EXPECT_EQ(refused("/connect", connection("STUDIO (Gone)", 0, "Booth", 0)),
        (Refusal{404, "there is no source \"STUDIO (Gone)\""}));
    EXPECT_EQ(refused("/connect", connection(kTones, 0, "Booth", 2)), (Refusal{400, "\"Booth\" has 2 channels"}));
    EXPECT_EQ(refused("/connect", connection(kTones, -1, "Booth", 0)),
        (Refusal{400, "a source channel must be a whole number from 0 to 2147483646"}));
    EXPECT_EQ(
        refused("/disconnect", {{"senderName", "Booth"}, {"senderChannel", "0"}}), (Refusal{400, "not a number"}));
    EXPECT_EQ(refused("/disconnect", {{"senderName", "Booth"}}), (Refusal{400, "not a number"}));
    EXPECT_EQ(refused("/senders/add", {{"senderName", "Booth"}, {"channels", 2}}),
        (Refusal{400, "a sender named \"Booth\" exists already"}));
    EXPECT_EQ(refused("/senders/add", {{"senderName", "Monitor"}, {"channels", 2}}),
        (Refusal{400, "\"Monitor\" is reserved for the local sound output"}));
    EXPECT_EQ(refused("/senders/add", {{"senderName", "Half"}, {"channels", 2.5}}),
        (Refusal{400, "a channel count must be a whole number from 0 to 1024"}));
    EXPECT_EQ(refused("/senders/add", {{"senderName", "Bell\a"}, {"channels", 2}}),
        (Refusal{400, "the name holds control or invisible characters"}));
    EXPECT_EQ(
        refused("/senders/add", {{"senderName", 7}, {"channels", 2}}), (Refusal{400, "\"senderName\" must be a text"}));
    EXPECT_EQ(refused("/senders/delay", {{"senderName", "Booth"}, {"delayMs", 6000}}),
        (Refusal{400, "a delay must be a whole number of milliseconds from -5000 to 5000"}));
    EXPECT_EQ(refused("/senders/remove", {{"senderName", "Nobody"}}), (Refusal{404, "there is no sender \"Nobody\""}));
    EXPECT_EQ(refused("/senders/video", {{"senderName", "Booth"}, {"sourceName", "STUDIO (Gone)"}}),
        (Refusal{404, "there is no source \"STUDIO (Gone)\""}));
    EXPECT_EQ(refused("/mapping/load", {{"path", (folder / "none.ploverc").string()}}),
        (Refusal{404, "there is no file \"" + (folder / "none.ploverc").string() + "\""}));
    EXPECT_EQ(refused("/mapping/save", {{"path", (folder / "show.txt").string()}}),
        (Refusal{400, "a mapping file's name ends in \".ploverc\""}));
    const auto notJson = client.request("POST", "/api/v1/connect", "{", bearer({{"Content-Type", "application/json"}}));
    EXPECT_EQ(std::make_pair(notJson.status, parsed(notJson).value("error", std::string())),
        (Refusal{400, "the body must be a JSON object"}));
    EXPECT_EQ(client.request("GET", "/api/v1/connect", {}, bearer()).status, 405);
    EXPECT_EQ(
        client.request("POST", "/api/v1/routing", "{}", bearer({{"Content-Type", "application/json"}})).status, 405);
    EXPECT_EQ(client.request("GET", "/api/v1/nothing", {}, bearer()).status, 404);
    EXPECT_EQ(routing(client), expected);

    // Save As, then Save to the same file; a load brings its routing back.
    const std::string show = (folder / "show.ploverc").string();
    EXPECT_EQ(parsed(post(client, "/mapping/save", {{"path", show}})), (json{{"done", true}, {"path", show}}));
    EXPECT_EQ(parsed(post(client, "/mapping/save", json::object())), (json{{"done", true}, {"path", show}}));
    EXPECT_EQ(post(client, "/senders/remove", {{"senderName", "Booth"}}).status, 200);
    EXPECT_EQ(parsed(post(client, "/mapping/load", {{"path", show}})), (json{{"done", true}, {"path", show}}));
    json loaded;
    for (int i = 0; i < 100 && (loaded = routing(client)) != expected; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(loaded, expected);
}

TEST_F(Server, namesFromTheNetworkAreDataInTheJsonAndTheLog)
{
    HttpClient client(port);
    ASSERT_EQ(post(client, "/senders/add", {{"senderName", kHostileSender}, {"channels", 2}}).status, 200);
    ASSERT_EQ(post(client, "/connect", connection(kHostileSource, 1, kHostileSender, 0)).status, 200);
    ASSERT_EQ(
        post(client, "/senders/video", {{"senderName", kHostileSender}, {"sourceName", kHostileSource}}).status, 200);
    const json answer = routing(client);
    EXPECT_EQ(answer["connections"], json::array({connection(kHostileSource, 1, kHostileSender, 0)}));
    EXPECT_EQ(answer["senders"][3], sender(kHostileSender, 2, 0, kHostileSource)) << "listed by name, after \"Plover\"";

    // A name that tries to start a log line of its own stays inside the line that quotes it.
    const std::string forged = "STUDIO (x)\n00:00 kestrix [critical] forged";
    EXPECT_EQ(post(client, "/connect", connection(forged, 0, kHostileSender, 0)).status, 404);
    std::string log;
    for (int i = 0; i < 50 && log.find("API call refused") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        log = slurp(folder / "server.log");
    }
    EXPECT_NE(log.find(R"j(there is no source \"STUDIO (x)\n00:00 kestrix [critical] forged\")j"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("\n00:00 kestrix [critical] forged"), std::string::npos) << log;
}

TEST_F(Server, theEventStreamSendsTheRoutingAsItChangesAndTheLevelsWhenAsked)
{
    HttpClient events(port);
    ASSERT_EQ(events.upgrade("/api/v1/events", bearer()).status, 101);
    const auto opened = std::chrono::steady_clock::now();
    HttpClient client(port);
    const auto next = [&events] { return json::parse(events.readText().value_or("null")); };
    EXPECT_EQ(next(), (json{{"event", "routing"}, {"routing", routing(client)}}));
    EXPECT_EQ(next()["event"], "sources");

    ASSERT_EQ(post(client, "/connect", connection(kTones, 2, "Plover Sender 1", 0)).status, 200);
    // A source list may come in between whenever a probe ends.
    json event = next();
    while (event["event"] == "sources")
        event = next();
    EXPECT_EQ(event["event"], "routing");
    EXPECT_EQ(event["routing"]["connections"], json::array({connection(kTones, 2, "Plover Sender 1", 0)}));

    ASSERT_TRUE(events.sendText(R"({"levels":true})"));
    // The tone of channel 2 (-20 dBFS; its RMS reads the same, to AES17) reaches the sender's first channel.
    const auto rms = [](const json& levels) {
        const json channels = levels["senders"].value("Plover Sender 1", json::array());
        return !channels.empty() && channels[0].is_array() ? channels[0][1].get<double>() : -100.0;
    };
    // Once the tone fills whole blocks, that is.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!(event["event"] == "levels" && std::abs(rms(event["levels"]) + 20.0) <= 1.0) &&
        std::chrono::steady_clock::now() < deadline)
        event = next();
    ASSERT_EQ(event["event"], "levels");
    EXPECT_NEAR(rms(event["levels"]), -20.0, 1.0) << event.dump();

    // A stream stays open longer than a connection that has not shown the token may.
    std::this_thread::sleep_until(opened + 12s);
    ASSERT_EQ(post(client, "/disconnect", {{"senderName", "Plover Sender 1"}, {"senderChannel", 0}}).status, 200);
    const auto later = std::chrono::steady_clock::now() + 30s;
    while (!(event["event"] == "routing" && event["routing"]["connections"].empty()) &&
        std::chrono::steady_clock::now() < later)
        event = next();
    EXPECT_EQ(event["routing"]["connections"], json::array());
}

// 20 programs change the routing at once, each its own sender; at the end the
// router holds exactly what a plain model of the same changes holds.
TEST_F(Server, twentyClientsMakingAHundredChangesEachLoseNothing)
{
    constexpr int kClients = 20;
    constexpr int kChanges = 100;
    constexpr int kChannels = 8;
    struct Model {
        std::map<int, int> channels; // sender channel -> source channel
        int delayMs = 0;
    };
    std::vector<Model> models(kClients);
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            HttpClient client(port, 30);
            const std::string name = "Load " + std::to_string(c);
            std::mt19937 random(static_cast<unsigned>(c));
            Model& model = models[static_cast<size_t>(c)];
            failures += post(client, "/senders/add", {{"senderName", name}, {"channels", kChannels}}).status != 200;
            for (int i = 1; i < kChanges; ++i) {
                const int channel = static_cast<int>(random() % kChannels);
                switch (random() % 3) {
                case 0: {
                    const int from = static_cast<int>(random() % 4);
                    failures += post(client, "/connect", connection(kTones, from, name, channel)).status != 200;
                    model.channels[channel] = from;
                    break;
                }
                case 1:
                    failures +=
                        post(client, "/disconnect", {{"senderName", name}, {"senderChannel", channel}}).status != 200;
                    model.channels.erase(channel);
                    break;
                default:
                    model.delayMs = static_cast<int>(random() % 2001) - 1000;
                    failures +=
                        post(client, "/senders/delay", {{"senderName", name}, {"delayMs", model.delayMs}}).status !=
                        200;
                    break;
                }
            }
        });
    }
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(failures, 0);

    json senders = kDefaultSenders;
    json connections = json::array();
    std::map<std::string, size_t> order; // the router lists senders by name
    for (int c = 0; c < kClients; ++c)
        order["Load " + std::to_string(c)] = static_cast<size_t>(c);
    for (const auto& [name, c] : order) {
        senders.push_back(sender(name, kChannels, models[c].delayMs));
        for (const auto& [channel, from] : models[c].channels)
            connections.push_back(connection(kTones, from, name, channel));
    }
    std::sort(senders.begin(), senders.end(), [](const json& a, const json& b) { return a["name"] < b["name"]; });
    HttpClient client(port);
    const json held = routing(client);
    json expectedConnections = json::array();
    for (const json& s : senders)
        for (const json& c : connections)
            if (c["senderName"] == s["name"])
                expectedConnections.push_back(c);
    EXPECT_EQ(held["senders"], senders);
    EXPECT_EQ(held["connections"], expectedConnections);
}

TEST_F(Server, oneEngineAMachineAndATerminationSignalWritesTheMappingFile)
{
    HttpClient client(port);
    ASSERT_EQ(post(client, "/senders/add", {{"senderName", "Kept"}, {"channels", 1}}).status, 200);

    for (const std::string program : {KESTRIX_SERVER, KESTRIX_PROGRAM}) {
        ChildProcess second(program, {"--listen", "127.0.0.1:" + std::to_string(freeLoopbackPort())}, environment(),
            (folder / "second.log").string());
        int code = -1;
        ASSERT_TRUE(second.waitFor(60s, code)) << program;
        EXPECT_EQ(code, 0) << program;
        EXPECT_NE(slurp(folder / "second.log").find("Another instance is running"), std::string::npos) << program;
    }
    ChildProcess confused(KESTRIX_SERVER, {"--listen", "somewhere"}, environment(), (folder / "confused.log").string());
    int code = -1;
    ASSERT_TRUE(confused.waitFor(30s, code));
    EXPECT_EQ(code, 2);
    EXPECT_NE(slurp(folder / "confused.log").find("--listen needs an IP address and a port"), std::string::npos);
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, bearer()).status, 200) << "the first runs on";

    fs::remove(folder / "routing.ploverc");
    server->kill(SIGHUP);
    ASSERT_TRUE(server->waitFor(60s, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(slurp(folder / "routing.ploverc").find("\"senderName\": \"Kept\""), std::string::npos)
        << slurp(folder / "server.log");
    EXPECT_FALSE(fs::exists(folder / "data/Morvane/Kestrix/sendersChannelMappings.ploverc"))
        << "the automatic file is the one --mapping-file names";
}
