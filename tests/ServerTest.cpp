// kestrix-server as browsers and programs meet it: the real program over
// 127.0.0.1 with loopback test sources, driven through HTTP and WebSockets.

#include "support/ServerFixture.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;

namespace {

// What a Prometheus server reads from a page of metrics: {"types": {family: type}, "samples": [[name, labels,
// value]]}, by the parser of Debian's prometheus_client; null, with the parser's complaint in `why`, when it refuses
// it.
json scraped(const std::string& exposition, const fs::path& folder, std::string& why)
{
    std::ofstream(folder / "metrics.txt", std::ios::binary) << exposition;
    ChildProcess parser(DEBIAN_PYTHON3, {PROMETHEUS_SAMPLES, (folder / "metrics.txt").string()}, {},
        (folder / "samples.json").string());
    why = parser.wait() == 0 ? "" : slurp(folder / "samples.json");
    return why.empty() ? json::parse(slurp(folder / "samples.json")) : json();
}

// The value of the sample with this name and these labels; NaN when there is none.
double sampleValue(const json& scrape, const std::string& name, const json& labels = json::object())
{
    for (const json& sample : scrape.value("samples", json::array()))
        if (sample[0] == name && sample[1] == labels)
            return sample[2].get<double>();
    return std::nan("");
}

} // namespace

TEST_F(Server, withoutTheTokenNothingIsServedAndPagesOfOtherOriginsAreRefused)
{
    EXPECT_EQ(
        fs::status(folder / "token").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(
        contains(slurp(folder / "server.log"), "Access token (kept in " + (folder / "token").string() + "): " + token));

    HttpClient client(port);
    const auto api = client.request("GET", "/api/v1/routing");
    EXPECT_EQ(api.status, 401);
    EXPECT_EQ(api.header("www-authenticate"), "Bearer");
    EXPECT_EQ(api.header("connection"), "close");
    // The page comes with its 401, to sign in: the served page's test signs in on it in a browser.
    EXPECT_EQ(client.request("GET", "/").status, 401);
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, {{"Authorization", "Bearer " + token + "x"}}).status, 401);

    const HttpClient::Headers elsewhere{{"Origin", "http://elsewhere.example"}};
    EXPECT_EQ(client.upgrade("/channel").status, 401);
    EXPECT_EQ(client.upgrade("/channel", bearer(elsewhere)).status, 403);
    client.disconnect();

    // A page of another site may post a form or a fetch: refused, and nothing changes.
    const json before = get(client, "/routing");
    const auto forge = [&](const std::string& body, const HttpClient::Headers& headers) {
        return client.request("POST", "/api/v1/senders/add", body, bearer(headers)).status;
    };
    EXPECT_EQ(
        forge(R"({"senderName":"Forged","channels":2})", {elsewhere[0], {"Content-Type", "application/json"}}), 403);
    EXPECT_EQ(forge("senderName=Forged&channels=2", {{"Content-Type", "application/x-www-form-urlencoded"}}), 415);
    EXPECT_EQ(get(client, "/routing"), before);

    // The sign-in's session cookie (a browser's use of it is the served page's test) works until it is given back.
    const std::string cookie =
        client.request("POST", "/api/v1/session", json{{"token", token}}.dump(), {{"Content-Type", "application/json"}})
            .header("set-cookie");
    EXPECT_TRUE(cookie.starts_with("kestrix_session=")) << cookie;
    EXPECT_EQ(cookie.substr(cookie.find(';')), "; Path=/; HttpOnly; SameSite=Strict");
    const HttpClient::Headers session{{"Cookie", cookie.substr(0, cookie.find(';'))}};
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, session).status, 200);
    // Signing out closes the session's pages too.
    HttpClient page(port);
    ASSERT_EQ(page.upgrade("/channel", session).status, 101);
    client.request("DELETE", "/api/v1/session", {}, session);
    const auto signedOut = std::chrono::steady_clock::now();
    EXPECT_EQ(page.readText(), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - signedOut, 5s) << "the page's WebSocket stayed open";
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, session).status, 401);

    // The scheme's name in any case; HEAD without a body; the page under a policy that runs its own script alone.
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, {{"Authorization", "bEARER " + token}}).status, 200);
    const auto served = client.request("GET", "/", {}, bearer()), head = client.request("HEAD", "/", {}, bearer());
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.header("content-length"), std::to_string(served.body.size()));
    const std::string policy = served.header("content-security-policy");
    EXPECT_TRUE(contains(policy, "default-src 'none'; script-src 'self' 'sha256-"));
    EXPECT_TRUE(contains(policy, "connect-src 'self' ws://127.0.0.1:" + std::to_string(port) + " "));
    EXPECT_EQ(head.header("content-security-policy"), policy);
}

// Every call with names from the network among the others: they are data in the JSON and the log.
TEST_F(Server, everyCallDoesWhatItSaysAndARefusedOneChangesNothing)
{
    HttpClient client(port);
    EXPECT_EQ(get(client, "/sources"),
        json::parse(R"j({"sources":[{"channels":2,"name":)j" + json(kHostileSource).dump() +
            R"j(,"routed":false,"state":"ready"},{"channels":4,"name":"STUDIO (Tones)","routed":false,"state":"ready"}]})j"));
    EXPECT_EQ(get(client, "/routing"),
        (json{{"connections", json::array()}, {"senders", {sender("Desk", 4), sender("Spare", 2)}}}));

    const std::pair<std::string, json> changes[] = {
        {"/senders/add", {{"senderName", "Booth"}, {"channels", 2}}},
        {"/connect", connection(kTones, 1, "Booth", 0)},
        {"/connect", connection(kTones, 3, "Booth", 0)}, // replaces what the channel carried
        {"/connect", connection(kTones, 0, "Booth", 1)},
        {"/disconnect", {{"senderName", "Booth"}, {"senderChannel", 1}}},
        {"/senders/delay", {{"senderName", "Booth"}, {"delayMs", "-120"}}}, // a number as decimal text
        {"/senders/video", {{"senderName", "Spare"}, {"sourceName", kTones}}},
        {"/senders/video", {{"senderName", "Spare"}, {"sourceName", nullptr}}},
        {"/senders/remove", {{"senderName", "Desk"}}},
        {"/senders/add", {{"senderName", kHostileSender}, {"channels", 2}}},
        {"/connect", connection(kHostileSource, 1, kHostileSender, 0)},
        {"/senders/video", {{"senderName", kHostileSender}, {"sourceName", kHostileSource}}},
    };
    for (const auto& [call, body] : changes)
        EXPECT_EQ(parsed(post(client, call, body)), (json{{"done", true}})) << call << " " << body;
    const json senders = {sender("Booth", 2, -120), sender("Spare", 2), sender(kHostileSender, 2, 0, kHostileSource)};
    const json expected = {
        {"connections", {connection(kTones, 3, "Booth", 0), connection(kHostileSource, 1, kHostileSender, 0)}},
        {"senders", senders}};
    EXPECT_EQ(get(client, "/routing"), expected);
    EXPECT_EQ(get(client, "/senders"), (json{{"senders", senders}}));
    EXPECT_EQ(get(client, "/sources")["sources"][1]["routed"], true);

    // Refused: the status, the reason, and the routing as it was. One unknown sender and one unknown source stand for
    // every call that looks names up; a delay, for the values the bridge refuses.
    const std::string none = (folder / "none.ploverc").string();
    // Mapping files stay in the shows folder (by default the mapping file's): neither a path nor a link leads out.
    const std::string shows = folder.string(), elsewhere = (fs::temp_directory_path() / "elsewhere.ploverc").string();
    fs::create_directory_symlink(fs::temp_directory_path(), folder / "out");
    const std::tuple<std::string, json, int, std::string> refusals[] = {
        {"/connect", connection(kTones, 0, "Nobody", 0), 404, "there is no sender \"Nobody\""},
        {"/connect", connection("STUDIO (Nobody)", 0, "Booth", 0), 404, "there is no source \"STUDIO (Nobody)\""},
        {"/connect", {{"senderName", "Booth"}, {"senderChannel", "2"}, {"sourceName", kTones}, {"sourceChannel", 0}},
            400, "\"Booth\" has 2 channels"},
        {"/senders/add", {{"senderName", "Booth"}, {"channels", 2}}, 400, "a sender named \"Booth\" exists already"},
        {"/senders/add", {{"senderName", 7}, {"channels", 2}}, 400, "\"senderName\" must be a text"},
        {"/senders/delay", {{"senderName", "Booth"}, {"delayMs", 6000}}, 400,
            "a delay must be a whole number of milliseconds from -5000 to 5000"},
        {"/connect", "not an object", 400, "the body must be a JSON object"},
        {"/mapping/load", {{"path", none}}, 404, "there is no file \"" + none + "\""},
        {"/mapping/save", {{"path", (folder / "show.txt").string()}}, 400,
            "a mapping file's name ends in \".ploverc\" and holds no control characters"},
        {"/mapping/save", {{"path", elsewhere}}, 403,
            "\"" + elsewhere + "\" is outside the shows folder \"" + shows +
                "\", where mapping files are loaded and saved"},
        {"/mapping/load", {{"path", "../elsewhere.ploverc"}}, 403,
            "\"../elsewhere.ploverc\" is outside the shows folder \"" + shows +
                "\", where mapping files are loaded and saved"},
        {"/mapping/save", {{"path", "out/elsewhere.ploverc"}}, 403,
            "\"out/elsewhere.ploverc\" leads out of the shows folder \"" + shows +
                "\", where mapping files are loaded and saved"},
    };
    for (const auto& [call, body, status, error] : refusals) {
        const auto answer = post(client, call, body);
        EXPECT_EQ(answer.status, status) << call << " " << body;
        EXPECT_EQ(parsed(answer).value("error", ""), error) << call << " " << body;
    }
    EXPECT_EQ(client.request("GET", "/api/v1/connect", {}, bearer()).status, 405);
    EXPECT_EQ(
        client.request("POST", "/api/v1/routing", "{}", bearer({{"Content-Type", "application/json"}})).status, 405);
    EXPECT_EQ(client.request("GET", "/api/v1/nothing", {}, bearer()).status, 404);
    EXPECT_EQ(get(client, "/routing"), expected);

    // Save As, then Save to the same file; a load brings its routing back.
    const std::string show = (folder / "show.ploverc").string();
    const json savedThere = {{"done", true}, {"path", show}};
    EXPECT_EQ(parsed(post(client, "/mapping/save", {{"path", "show.ploverc"}})), savedThere);
    EXPECT_EQ(parsed(post(client, "/mapping/save", json::object())), savedThere);
    EXPECT_EQ(post(client, "/senders/remove", {{"senderName", "Booth"}}).status, 200);
    EXPECT_EQ(parsed(post(client, "/mapping/load", {{"path", show}})), savedThere);
    json loaded;
    for (int i = 0; i < 100 && (loaded = get(client, "/routing")) != expected; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(loaded, expected);
}

TEST_F(Server, theEventStreamSendsTheRoutingAsItChangesAndTheLevelsAndTheStatusWhenAsked)
{
    HttpClient events(port);
    ASSERT_EQ(events.upgrade("/api/v1/events", bearer()).status, 101);
    const auto opened = std::chrono::steady_clock::now();
    HttpClient client(port);
    // The next event for which `wanted` holds (it takes a copy: a time-out reads as null), within 30 s: a source list
    // may come in between whenever a probe ends.
    const auto next = [&events](const std::function<bool(json)>& wanted) {
        json event;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        do
            event = json::parse(events.readText().value_or("null"));
        while (!wanted(event) && std::chrono::steady_clock::now() < deadline);
        return event;
    };
    const auto any = [](json) { return true; };
    EXPECT_EQ(next(any), (json{{"event", "routing"}, {"routing", get(client, "/routing")}}));
    EXPECT_EQ(next(any)["event"], "sources");

    ASSERT_EQ(post(client, "/connect", connection(kTones, 2, "Desk", 0)).status, 200);
    json event = next([](json e) { return e["event"] != "sources"; });
    EXPECT_EQ(event["routing"]["connections"], json::array({connection(kTones, 2, "Desk", 0)}));

    // The tone of channel 2 (-20 dBFS; its RMS reads the same, to AES17) reaches the sender's first
    // channel, once it fills whole blocks.
    ASSERT_TRUE(events.sendText(R"({"levels":true})"));
    const json::json_pointer rms("/levels/senders/Desk/0/1");
    event = next([&](json e) { return e.contains(rms) && std::abs(e[rms].get<double>() + 20.0) <= 1.0; });
    EXPECT_NEAR(event.contains(rms) ? event[rms].get<double>() : -100.0, -20.0, 1.0) << event.dump();

    // The status at once when asked, then as the pages get it.
    ASSERT_TRUE(events.sendText(R"({"status":true})"));
    const auto isStatus = [](json e) { return e["event"] == "status"; };
    event = next(isStatus);
    EXPECT_EQ(event["status"]["engine"]["clock"], "software") << event.dump();
    EXPECT_EQ(event["status"]["senders"]["Desk"]["channels"], 4) << event.dump();
    EXPECT_TRUE(isStatus(next(isStatus)));

    // A stream stays open longer than a connection that has not shown the token may.
    std::this_thread::sleep_until(opened + 12s);
    ASSERT_EQ(post(client, "/disconnect", {{"senderName", "Desk"}, {"senderChannel", 0}}).status, 200);
    event = next([](json e) { return e["event"] == "routing" && e["routing"]["connections"].empty(); });
    EXPECT_EQ(event["routing"]["connections"], json::array());
}

// Names from the network are label values: quotes, a backslash and a line break among them.
TEST_F(Server, theStatusAndThePrometheusMetricsTellHowTheRouterRuns)
{
    const std::string lineBreak = "STUDIO (Line\nbreak)";
    ChildProcess moreSources(KESTRIX_TESTSRC, {"--source", "Line\nbreak:1"},
        environment({"KESTRIX_LOOPBACK_HOSTNAME=STUDIO"}), (folder / "more-sources.log").string());
    HttpClient client(port), page(port), stream(port);
    ASSERT_EQ(post(client, "/connect", connection(kTones, 2, "Desk", 0)).status, 200);
    ASSERT_EQ(page.upgrade("/channel", bearer()).status, 101);
    ASSERT_EQ(stream.upgrade("/api/v1/events", bearer()).status, 101);

    json status;
    for (int i = 0; i < 100 && !(status = get(client, "/status"))["sources"].contains(lineBreak); ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(status["sources"][kHostileSource],
        (json{{"captureDropouts", 0}, {"channels", 2}, {"dropouts", 0}, {"online", true}, {"receiving", false},
            {"sampleRate", 48000}}));

    EXPECT_EQ(HttpClient(port).request("GET", "/metrics").status, 401);
    const auto scrape = [&] {
        const auto answer = client.request("GET", "/metrics", {}, bearer());
        EXPECT_EQ(answer.header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
        std::string why;
        const json read = scraped(answer.body, folder, why);
        EXPECT_EQ(why, "") << answer.body;
        return read;
    };
    json metrics;
    const json tones = {{"source", kTones}};
    for (const auto deadline = std::chrono::steady_clock::now() + 30s;
         !(sampleValue(metrics = scrape(), "kestrix_source_receiving", tones) == 1 &&
             sampleValue(metrics, "kestrix_source_online", {{"source", lineBreak}}) == 1) &&
         std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(200ms);
    const std::tuple<std::string, json, double> expected[] = {
        {"kestrix_build_info", {{"version", KESTRIX_VERSION}}, 1},
        {"kestrix_ndi_runtime_info",
            {{"runtime", "libkestrix-ndi-loopback.so"}, {"version", "KESTRIX NDI LOOPBACK RUNTIME 1.0.0"}}, 1},
        {"kestrix_engine_clock", {{"kind", "software"}}, 1},
        {"kestrix_engine_clock", {{"kind", "hardware"}}, 0},
        {"kestrix_engine_clock_stands_in", json::object(), 0},
        {"kestrix_source_online", {{"source", kHostileSource}}, 1},
        {"kestrix_source_online", {{"source", lineBreak}}, 1},
        {"kestrix_source_receiving", tones, 1},
        {"kestrix_source_receiving", {{"source", kHostileSource}}, 0},
        {"kestrix_source_channels", tones, 4},
        {"kestrix_source_sample_rate_hertz", {{"source", kHostileSource}}, 48000},
        {"kestrix_source_dropouts_total", {{"source", kHostileSource}}, 0},
        {"kestrix_sender_channels", {{"sender", "Desk"}}, 4},
        {"kestrix_sender_connections", {{"sender", "Desk"}}, 0},
        {"kestrix_sender_video_frames_sent_total", {{"sender", "Desk"}}, 0},
        {"kestrix_pages_connected", json::object(), 1},
        {"kestrix_api_clients_connected", json::object(), 1},
        {"kestrix_mapping_file_write_failing", json::object(), 0},
        {"kestrix_source_capture_dropouts_total", {{"source", kHostileSource}}, 0},
    };
    for (const auto& [name, labels, value] : expected)
        EXPECT_EQ(sampleValue(metrics, name, labels), value) << name << " " << labels;
    for (const auto& [family, type] :
        {std::pair{"kestrix_engine_blocks", "counter"}, {"kestrix_sender_audio_blocks_sent", "counter"},
            {"kestrix_source_dropouts", "counter"}, {"kestrix_engine_block_load_p99_ratio", "gauge"},
            {"kestrix_engine_capture_dropouts", "counter"}, {"kestrix_engine_thread_realtime", "gauge"}})
        EXPECT_EQ(metrics["types"][family], type) << family;
    const double median = sampleValue(metrics, "kestrix_engine_block_load_median_ratio");
    EXPECT_TRUE(median > 0 && median <= sampleValue(metrics, "kestrix_engine_block_load_p99_ratio")) << median;
    const double lateness[] = {sampleValue(metrics, "kestrix_engine_clock_wakeup_lateness_median_seconds"),
        sampleValue(metrics, "kestrix_engine_clock_wakeup_lateness_p99_seconds"),
        sampleValue(metrics, "kestrix_engine_clock_wakeup_lateness_max_seconds")};
    EXPECT_TRUE(lateness[0] >= 0 && lateness[0] <= lateness[1] && lateness[1] <= lateness[2] && lateness[2] < 1)
        << lateness[0] << " " << lateness[1] << " " << lateness[2];

    // The counters move on; a page that goes is no longer counted.
    const json desk = {{"sender", "Desk"}};
    const double sent = sampleValue(metrics, "kestrix_sender_audio_blocks_sent_total", desk);
    const double blocks = sampleValue(metrics, "kestrix_engine_blocks_total");
    page.disconnect();
    for (int i = 0; i < 50 && sampleValue(metrics = scrape(), "kestrix_pages_connected") != 0; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sampleValue(metrics, "kestrix_pages_connected"), 0);
    EXPECT_GT(sampleValue(metrics, "kestrix_sender_audio_blocks_sent_total", desk), sent);
    EXPECT_GT(sampleValue(metrics, "kestrix_engine_blocks_total"), blocks);
    // Nor does a name from the network start a log line of its own.
    EXPECT_FALSE(contains(slurp(folder / "server.log"), "\nbreak)"));
}

// 20 programs change the routing at once, each its own sender; at the end the
// router holds exactly what a plain model of the same changes holds.
TEST_F(Server, twentyClientsMakingAHundredChangesEachLoseNothing)
{
    constexpr int kClients = 20, kChanges = 100, kChannels = 8;
    struct Model {
        std::map<int, int> channels; // sender channel -> source channel
        int delayMs = 0;
    };
    std::map<std::string, Model> models; // by name, as the router lists its senders
    for (int c = 0; c < kClients; ++c)
        models["Load " + std::to_string(c)];
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    unsigned seed = 0;
    for (auto& [name, model] : models)
        clients.emplace_back([&, name = name, model = &model, seed = seed++] {
            HttpClient client(port, 30);
            std::mt19937 random(seed);
            const auto change = [&](const std::string& call, const json& body) {
                failures += post(client, call, body).status != 200;
            };
            change("/senders/add", {{"senderName", name}, {"channels", kChannels}});
            for (int i = 1; i < kChanges; ++i) {
                const int channel = static_cast<int>(random() % kChannels), kind = static_cast<int>(random() % 3);
                if (kind == 0) {
                    const int from = model->channels[channel] = static_cast<int>(random() % 4);
                    change("/connect", connection(kTones, from, name, channel));
                } else if (kind == 1) {
                    model->channels.erase(channel);
                    change("/disconnect", {{"senderName", name}, {"senderChannel", channel}});
                } else {
                    model->delayMs = static_cast<int>(random() % 2001) - 1000;
                    change("/senders/delay", {{"senderName", name}, {"delayMs", model->delayMs}});
                }
            }
        });
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(failures, 0);

    json senders = {sender("Desk", 4)}, connections = json::array();
    for (const auto& [name, model] : models) {
        senders.push_back(sender(name, kChannels, model.delayMs));
        for (const auto& [channel, from] : model.channels)
            connections.push_back(connection(kTones, from, name, channel));
    }
    senders.push_back(sender("Spare", 2));
    HttpClient client(port);
    EXPECT_EQ(get(client, "/routing"), (json{{"connections", connections}, {"senders", senders}}));
}

TEST_F(Server, oneEngineAMachineAndATerminationSignalWritesTheMappingFile)
{
    HttpClient client(port);
    ASSERT_EQ(post(client, "/senders/add", {{"senderName", "Kept"}, {"channels", 1}}).status, 200);

    int code = -1;
    for (const std::string program : {KESTRIX_SERVER, KESTRIX_PROGRAM}) {
        ChildProcess second(program, {"--listen", "127.0.0.1:" + std::to_string(freeLoopbackPort())}, environment(),
            (folder / "second.log").string());
        ASSERT_TRUE(second.waitFor(60s, code)) << program;
        EXPECT_EQ(code, 0) << program;
        EXPECT_TRUE(contains(slurp(folder / "second.log"), "Another instance is running")) << program;
    }
    ChildProcess confused(KESTRIX_SERVER, {"--listen", "somewhere"}, environment(), (folder / "confused.log").string());
    ASSERT_TRUE(confused.waitFor(30s, code));
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(contains(slurp(folder / "confused.log"), "--listen needs an IP address and a port"));
    EXPECT_EQ(client.request("GET", "/api/v1/routing", {}, bearer()).status, 200) << "the first runs on";

    fs::remove(folder / "routing.ploverc");
    server->kill(SIGHUP);
    ASSERT_TRUE(server->waitFor(60s, code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(contains(slurp(folder / "routing.ploverc"), "\"senderName\": \"Kept\""))
        << slurp(folder / "server.log");
    EXPECT_FALSE(fs::exists(folder / "data/Morvane/Kestrix/sendersChannelMappings.ploverc"))
        << "the automatic file is the one --mapping-file names";
}
