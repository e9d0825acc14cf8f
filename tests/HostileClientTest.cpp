// kestrix-server against clients that mean it harm, each on 127.0.0.1 against
// the real program: what one client sends never ends the server, never
// reaches another client, and never makes the server hold much.

#include "support/ServerFixture.h"

#include <functional>
#include <map>
#include <set>

#include <sys/resource.h>

namespace {

const std::string kWide = "STUDIO (Wide)";
// What the server may grow by, whatever a client does.
constexpr long kMostGrowthKiB = 64 * 1024;

// A page on the web channel, speaking Qt's web-channel protocol as the page's
// qwebchannel.js does, or as a hostile client would.
class ChannelPage {
public:
    ChannelPage(int port, const std::string& token, int receiveBuffer = 0) : client(port, 5)
    {
        client.setReceiveBuffer(receiveBuffer);
        if (client.upgrade("/channel", {{"Authorization", "Bearer " + token}}).status != 101 ||
            !send({{"type", 3}, {"id", 0}}))
            return;
        for (int i = 0; i < 100 && objects.is_null(); ++i) {
            const json message = json::parse(client.readText().value_or("null"));
            if (message.is_object() && message.value("type", 0) == 10 && message.value("id", -1) == 0)
                objects = message["data"];
        }
        send({{"type", 4}});
    }

    bool isOpen() const { return objects.is_object(); }
    const json& published() const { return objects; }

    bool send(const json& message) { return client.sendText(message.dump()); }

    // The index of the published object's signal `name`.
    int signal(const std::string& name) const
    {
        for (const json& entry : objects["qmlWrapper"]["signals"])
            if (entry[0] == name)
                return entry[1];
        return -1;
    }

    void connect(const std::vector<std::string>& signalNames)
    {
        for (const std::string& name : signalNames)
            send({{"type", 7}, {"object", "qmlWrapper"}, {"signal", signal(name)}});
    }

    void call(const std::string& slot, json args = json::array())
    {
        send({{"type", 6}, {"object", "qmlWrapper"}, {"method", slot}, {"args", args}, {"id", ++calls}});
    }

    // The names of the signals heard until `enough` holds or `within` passed.
    std::set<std::string> hear(
        std::chrono::milliseconds within,
        const std::function<bool(const std::set<std::string>&)>& enough = [](const auto&) { return false; })
    {
        std::map<int, std::string> names;
        for (const json& entry : objects["qmlWrapper"]["signals"])
            if (entry[0].get<std::string>().find('(') == std::string::npos) // each is listed by name and by signature
                names[entry[1]] = entry[0];
        std::set<std::string> heard;
        for (const auto deadline = std::chrono::steady_clock::now() + within;
             !enough(heard) && std::chrono::steady_clock::now() < deadline;) {
            const auto text = client.readText(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (!text)
                break;
            const json message = json::parse(*text, nullptr, false);
            if (message.value("type", 0) == 1)
                heard.insert(names[message.value("signal", -1)]);
            else if (message.value("type", 0) == 2)
                send({{"type", 4}}); // property updates wait for the page to be idle
        }
        return heard;
    }

    HttpClient client;

private:
    json objects;
    int calls = 0;
};

const std::vector<std::string> kPageSignals{"sourcesUpdated", "sendersUpdated", "connectionsUpdated",
    "setAVDelaySignal", "changeRefused", "fileOperationDone", "levelsUpdated", "statusUpdated", "routingChanged"};

// Every object a client is handed: the published ones and every QObject a property or a reply hands out.
void collectObjects(const json& value, std::map<std::string, json>& found)
{
    if (value.is_object() && value.contains("__QObject*__") && value.contains("id") && value.contains("data"))
        found[value["id"]] = value["data"];
    if (value.is_structured())
        for (const json& child : value)
            collectObjects(child, found);
}

class HostileClient : public Server {
protected:
    std::vector<std::string> moreOptions() const override { return {"--allowed-host", "kestrix.example"}; }

    // After the start of something huge on `client`: the server stops reading it within 128 MiB, its resident memory
    // (`before` it began) grows by less than 64 MiB, and it serves on.
    void expectRefusedBeforeItIsHeld(HttpClient& client, long before, const char* what)
    {
        const std::string mebibyte(1 << 20, ' ');
        int sent = 0;
        while (sent < 128 && client.sendRaw(mebibyte))
            ++sent;
        const long grown = residentKiB() - before;
        EXPECT_LT(sent, 128) << "the server went on reading " << what;
        EXPECT_TRUE(kSanitized || grown < kMostGrowthKiB) << grown << " KiB";
        std::printf("[ resident ] the server grew by %ld KiB while a client sent %d MiB of %s\n", grown, sent, what);
        EXPECT_TRUE(serves());
    }

    bool serves()
    {
        HttpClient api(port);
        return api.request("GET", "/api/v1/routing", {}, bearer()).status == 200;
    }
};

} // namespace

TEST_F(HostileClient, noMessageDestroysDeregistersBlocksOrWritesAnythingAnotherPageUses)
{
    HttpClient api(port);
    ASSERT_EQ(post(api, "/connect", connection(kTones, 0, "Desk", 0)).status, 200);
    ASSERT_EQ(post(api, "/senders/delay", {{"senderName", "Desk"}, {"delayMs", 20}}).status, 200);
    ChannelPage attacker(port, token);
    ASSERT_TRUE(attacker.isOpen());
    std::map<std::string, json> objects;
    for (const auto& [name, data] : attacker.published().items())
        objects[name] = data;
    collectObjects(attacker.published(), objects);
    for (const auto& [id, data] : objects) {
        for (const json& method : data["methods"]) {
            const std::string name = method[0];
            if (name.starts_with("deregister"))
                attacker.send({{"type", 6}, {"object", id}, {"method", method[1]}, {"id", 1},
                    {"args", {{{"__QObject*__", true}, {"id", "qmlWrapper"}}}}});
        }
        for (const json& property : data["properties"])
            for (const json& value : {json(true), json("forged")})
                attacker.send({{"type", 9}, {"object", id}, {"property", property[0]}, {"value", value}});
        attacker.send({{"type", 6}, {"object", id}, {"method", "deleteLater"}, {"args", json::array()}, {"id", 2}});
        for (const json& signal : data["signals"])
            attacker.send({{"type", 8}, {"object", id}, {"signal", signal[1]}});
    }
    attacker.send({{"type", 5}, {"data", "debug"}});
    attacker.send({{"type", 6}, {"object", "qmlWrapper"}, {"method", "sourcesUpdated"}, {"args", {"{}"}}, {"id", 3}});

    ChannelPage page(port, token);
    ASSERT_TRUE(page.isOpen()) << slurp(folder / "server.log");
    const json& properties = page.published()["qmlWrapper"]["properties"];
    EXPECT_TRUE(std::ranges::any_of(properties, [](const json& p) {
        return p[1] == "productVersion" && p[3] == "1.5.2";
    })) << properties.dump();
    // The page gets every signal it listens to: with a delay kept and a tone routed, a page that comes up and asks
    // for a refusal and a save hears each of them within a few seconds.
    page.connect(kPageSignals);
    page.call("uiReady");
    page.call("senderAdded", {"", 1});
    page.call("saveFileButtonPressed");
    post(api, "/senders/delay", {{"senderName", "Spare"}, {"delayMs", 40}});
    EXPECT_EQ(page.hear(20s, [](const auto& heard) { return heard.size() == kPageSignals.size(); }),
        std::set<std::string>(kPageSignals.begin(), kPageSignals.end()));
    EXPECT_TRUE(serves());
    EXPECT_EQ(objects.size(), 1u) << "no object but the published one is handed out";
    EXPECT_TRUE(contains(slurp(folder / "server.log"), "Ignored web-channel messages from a page at"));
}

TEST_F(HostileClient, aFloodOfDisconnectsFromOnePageLeavesAnotherPagesSignals)
{
    ChannelPage flooder(port, token), page(port, token);
    ASSERT_TRUE(flooder.isOpen() && page.isOpen());
    flooder.connect(kPageSignals);
    page.connect({"statusUpdated"});
    ASSERT_EQ(page.hear(5s, [](const auto& heard) { return heard.contains("statusUpdated"); }).size(), 1u);
    for (int i = 0; i < 3000; ++i)
        flooder.send({{"type", 8}, {"object", "qmlWrapper"}, {"signal", flooder.signal("statusUpdated")}});
    // Whatever was sent before the flood is read first; then a status goes out every second.
    page.hear(1500ms);
    EXPECT_TRUE(
        page.hear(5s, [](const auto& heard) { return heard.contains("statusUpdated"); }).contains("statusUpdated"));
}

// The one long case: 30 s of levels that one page never reads.
TEST_F(HostileClient, aPageThatNeverReadsIsClosedWhileLevelsFlowAndAnotherPageHearsThem)
{
    ChildProcess wide(KESTRIX_TESTSRC, {"--source", "Wide:64"}, environment({"KESTRIX_LOOPBACK_HOSTNAME=STUDIO"}),
        (folder / "wide.log").string());
    HttpClient api(port);
    ASSERT_EQ(post(api, "/senders/add", {{"senderName", "Wide"}, {"channels", 64}}).status, 200);
    for (int i = 0; i < 600 && get(api, "/sources")["sources"].size() < 3; ++i)
        std::this_thread::sleep_for(100ms);
    for (int channel = 0; channel < 64; ++channel)
        ASSERT_EQ(post(api, "/connect", connection(kWide, channel, "Wide", channel)).status, 200);

    const long before = residentKiB();
    ChannelPage sleeper(port, token, 4096), page(port, token);
    ASSERT_TRUE(sleeper.isOpen() && page.isOpen());
    sleeper.connect(kPageSignals);
    page.connect({"levelsUpdated"});
    // A steady tone reads the same from one levels document to the next, and an unchanged document is not sent:
    // a channel linked and unlinked five times a second keeps the levels (and the routing) moving.
    long most = 0;
    int levelsHeard = 0;
    bool linked = true;
    for (const auto start = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() < start + 30s;) {
        const auto second = std::chrono::steady_clock::now() + 1s;
        bool heard = false;
        while (std::chrono::steady_clock::now() < second) {
            linked = !linked;
            post(api, linked ? "/connect" : "/disconnect",
                linked ? connection(kWide, 0, "Wide", 0) : json{{"senderName", "Wide"}, {"senderChannel", 0}});
            heard = page.hear(200ms).contains("levelsUpdated") || heard;
        }
        levelsHeard += heard;
        most = std::max(most, residentKiB() - before);
    }
    EXPECT_GE(levelsHeard, 20) << "seconds of the 30 in which the reading page heard levels";
    EXPECT_TRUE(kSanitized || most < kMostGrowthKiB) << most << " KiB";
    std::printf("[ resident ] the server grew by at most %ld KiB in 30 s of levels to a page that never reads\n", most);
    EXPECT_TRUE(contains(slurp(folder / "server.log"), "does not read what it is sent; it is closed"));
}

TEST_F(HostileClient, aThousandIdleConnectionsFromOneAddressKeepNoClientWithTheTokenWaiting)
{
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    ::setrlimit(RLIMIT_NOFILE, &files);
    const long before = residentKiB();
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopbackAddress(port);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            idle.push_back(fd);
        else
            ::close(fd);
    }
    EXPECT_EQ(idle.size(), 1000u);
    std::chrono::steady_clock::duration slowest{};
    for (int i = 0; i < 20; ++i) {
        HttpClient client(port);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.request("GET", "/api/v1/senders", {}, bearer()).status, 200);
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    }
    const long grown = residentKiB() - before;
    for (const int fd : idle)
        ::close(fd);
    EXPECT_LT(slowest, 100ms);
    EXPECT_TRUE(kSanitized || grown < kMostGrowthKiB) << grown << " KiB";
    std::printf("[ resident ] the server grew by %ld KiB with 1000 idle connections; the slowest of 20 bearer requests "
                "took %.1f ms\n",
        grown, std::chrono::duration<double, std::milli>(slowest).count());
}

TEST_F(HostileClient, aFrameDeclaring2GiBOrABodyDeclaring4GBEvenAfterAnAuthenticatedRequestIsRefusedBeforeItIsHeld)
{
    long before = residentKiB();
    ChannelPage page(port, token);
    ASSERT_TRUE(page.isOpen());
    std::string header{'\x81', '\xff'};
    // Just under 2 GiB: what Qt would otherwise take, and hold until it has all of it.
    const uint64_t declared = (uint64_t{1} << 31) - 16;
    for (int i = 7; i >= 0; --i)
        header += static_cast<char>(declared >> (8 * i));
    header += std::string{'\x01', '\x02', '\x03', '\x04'};
    ASSERT_TRUE(page.client.sendRaw(header));
    expectRefusedBeforeItIsHeld(page.client, before, "a 2 GiB frame");

    before = residentKiB();
    HttpClient client(port);
    ASSERT_EQ(client.request("GET", "/api/v1/routing", {}, bearer()).status, 200);
    ASSERT_TRUE(client.sendRaw("POST /api/v1/connect HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nAuthorization: Bearer " + token +
        "\r\nContent-Type: application/json\r\nContent-Length: 4000000000\r\n\r\n"));
    expectRefusedBeforeItIsHeld(client, before, "a 4 GB body");
}

// A page of another site whose name was pointed at 127.0.0.1 (DNS rebinding) cannot even sign in.
TEST_F(HostileClient, aRequestForAHostNameTheServerWasNotGivenIsRefusedBeforeAnythingElse)
{
    const std::string own = ":" + std::to_string(port);
    const std::pair<std::string, int> hosts[] = {{"rebinding.example" + own, 421}, {"127.0.0.1:1", 421}, {"", 421},
        {"localhost" + own, 200}, {"[::1]" + own, 200}, {"KESTRIX.example", 200}, {"kestrix.example:443", 200}};
    for (const auto& [host, status] : hosts) {
        HttpClient client(port);
        EXPECT_EQ(client.request("GET", "/api/v1/senders", {}, bearer({{"Host", host}})).status, status) << host;
    }
    HttpClient client(port);
    const auto signIn = client.request("POST", "/api/v1/session", json{{"token", token}}.dump(),
        {{"Host", "rebinding.example" + own}, {"Content-Type", "application/json"}});
    EXPECT_EQ(signIn.status, 421);
    EXPECT_EQ(signIn.header("set-cookie"), "");
    EXPECT_EQ(HttpClient(port).upgrade("/channel", bearer({{"Host", "rebinding.example" + own}})).status, 421);
}

TEST_F(HostileClient, aLineBreakInAPathNeverStartsALogLineOfItsOwn)
{
    HttpClient client(port);
    const std::string forged = "\n00:00 kestrix [critical] forged";
    EXPECT_EQ(client.request("GET", "/api/v1/no%0A00:00%20kestrix%20[critical]%20forged", {}, bearer()).status, 404);
    for (const char* call : {"/mapping/save", "/mapping/load"})
        post(client, call, {{"path", "show" + forged + ".ploverc"}});
    post(client, "/mapping/load", {{"path", (folder / ("gone" + forged + ".ploverc")).string()}});
    ChannelPage page(port, token);
    page.client.sendText("not the page's" + forged);
    std::this_thread::sleep_for(500ms);
    const std::string log = slurp(folder / "server.log");
    EXPECT_FALSE(contains(log, forged)) << log;
    EXPECT_TRUE(contains(log, "no\\n00:00 kestrix [critical] forged"));
}
