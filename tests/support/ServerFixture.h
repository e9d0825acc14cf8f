#pragma once

// kestrix-server as a test meets it: the real program on 127.0.0.1 with two
// loopback test sources (one with a name full of markup and quotes), its own
// token, mapping file and discovery folder; and what the tests say of it.

#include "ChildProcess.h"
#include "HttpClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

inline const std::string kTones = "STUDIO (Tones)";
// Data, wherever it shows: quotes, a backslash, markup, an entity and letters beyond ASCII.
inline const std::string kHostileStream = "Evil \"q\" \\ <script>alert(1)</script> &amp; ünï ✓";
inline const std::string kHostileSource = "STUDIO (" + kHostileStream + ")";
inline const std::string kHostileSender = "Stage \"B\" <b>&amp;</b> \\ ünï ✓";

// Passes when `text` holds `part`; a failure shows the whole text.
inline testing::AssertionResult contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos ? testing::AssertionSuccess()
                                                : testing::AssertionFailure() << "no " << part << " in:\n"
                                                                              << text;
}

inline json parsed(const HttpClient::Response& response)
{
    return json::parse(response.body, nullptr, false);
}

inline json sender(const std::string& name, int channels, int delayMs = 0, json video = nullptr)
{
    return {{"channels", channels}, {"delayMs", delayMs}, {"name", name}, {"videoSource", video}};
}

inline json connection(const std::string& source, int sourceChannel, const std::string& senderName, int senderChannel)
{
    return {{"senderChannel", senderChannel}, {"senderName", senderName}, {"sourceChannel", sourceChannel},
        {"sourceName", source}};
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
        // A routing of the test's own: what the server starts with is read from --mapping-file.
        const json empty = {{"sourceName", ""}, {"sourceChannel", 0}};
        std::ofstream(folder / "routing.ploverc")
            << json{{"senderChannelMappings",
                        {{{"senderName", "Desk"}, {"senderChannelMappings", json(4, empty)}, {"videoSource", ""}},
                            {{"senderName", "Spare"}, {"senderChannelMappings", json(2, empty)}, {"videoSource", ""}}}},
                   {"senderDelayMappings", json::array()}};
        sources = std::make_unique<ChildProcess>(KESTRIX_TESTSRC,
            std::vector<std::string>{"--source", "Tones:4", "--source", kHostileStream + ":2"},
            environment({"KESTRIX_LOOPBACK_HOSTNAME=STUDIO"}), (folder / "sources.log").string());
        port = freeLoopbackPort();
        startServer();
        // Ready once it made its token and found both sources with their channels.
        HttpClient client(port);
        for (const auto deadline = std::chrono::steady_clock::now() + 60s;; std::this_thread::sleep_for(200ms)) {
            token = slurp(folder / "token").substr(0, 32);
            const json found = get(client, "/sources");
            if (token.size() == 32 && found.is_object() && found["sources"].size() == 2 &&
                found["sources"][0]["state"] == "ready" && found["sources"][1]["state"] == "ready")
                break;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << slurp(folder / "server.log");
        }
    }

    // The server on `port`, with the test's token, mapping file and options.
    void startServer(std::vector<std::string> extraEnv = {})
    {
        std::vector<std::string> options{"--listen", "127.0.0.1:" + std::to_string(port), "--token-file",
            (folder / "token").string(), "--mapping-file", (folder / "routing.ploverc").string(),
            // Ember+ is tested by the page tests, each on a free port; here it would contend for the default one.
            "--ember", "off"};
        for (std::string& option : moreOptions())
            options.push_back(std::move(option));
        server = std::make_unique<ChildProcess>(
            KESTRIX_SERVER, options, environment(std::move(extraEnv)), (folder / "server.log").string());
    }

    // Options a test adds to the server's command line.
    virtual std::vector<std::string> moreOptions() const { return {}; }

    // The server's resident memory now, in KiB (from /proc). Under AddressSanitizer it says little: freed memory is
    // held back there (kSanitized).
    long residentKiB() const
    {
        std::ifstream status("/proc/" + std::to_string(server->id()) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmRSS:"))
                return std::stol(line.substr(6));
        return -1;
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

    HttpClient::Headers bearer(HttpClient::Headers more = {}) const
    {
        more.emplace_back("Authorization", "Bearer " + token);
        return more;
    }

    // A change as a program makes it: JSON, with the token.
    HttpClient::Response post(HttpClient& client, const std::string& call, const json& body) const
    {
        return client.request("POST", "/api/v1" + call, body.dump(), bearer({{"Content-Type", "application/json"}}));
    }

    json get(HttpClient& client, const std::string& call) const
    {
        return parsed(client.request("GET", "/api/v1" + call, {}, bearer()));
    }

    fs::path folder;
    int port = 0;
    std::string token;
    std::unique_ptr<ChildProcess> sources;
    std::unique_ptr<ChildProcess> server;
};
