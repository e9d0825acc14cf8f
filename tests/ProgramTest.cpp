// The program itself, off screen: one instance per machine, a page that comes
// up and talks to the bridge, and an orderly end that writes the routing.

#include "support/ChildProcess.h"
#include "support/FreePort.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The web engine's list of pages, from its remote-debugging port; "" when it does not answer.
std::string pageList(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    timeval wait{1, 0}; // the server may keep the connection open after answering
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET /json/list HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        send(s, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, static_cast<size_t>(n));
    }
    close(s);
    return reply;
}

std::string slurp(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrix-program-XXXXXX").string();
        folder = mkdtemp(pattern.data());
        fs::create_directories(folder / "tmp");
        fs::create_directories(folder / "loopback");
    }
    void TearDown() override { fs::remove_all(folder); }

    std::unique_ptr<ChildProcess> start(int port, const std::string& log)
    {
        return std::make_unique<ChildProcess>(
            KESTRIX_PROGRAM, std::vector<std::string>{"--ignored", "arguments"},
            std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_DISABLE_SANDBOX=1",
                                     "QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:" + std::to_string(port),
                                     "TMPDIR=" + (folder / "tmp").string(), "XDG_DATA_HOME=" + (folder / "data").string(),
                                     "KESTRIX_LOOPBACK_DIR=" + (folder / "loopback").string(),
                                     "KESTRIX_NDI_RUNTIME=" KESTRIX_LOOPBACK_RUNTIME,
                                     // Under the sanitizers: the web engine's own findings are not ours.
                                     "LSAN_OPTIONS=suppressions=" LSAN_SUPPRESSIONS,
                                     "ASAN_OPTIONS=abort_on_error=1:new_delete_type_mismatch=0"},
            (folder / log).string());
    }

    // The page sets its title from the bridge once the web channel is up.
    bool pageIsReady(int port, std::chrono::seconds timeout = 60s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string list = pageList(port);
            if (list.find("\"title\": \"Vireo\"") != std::string::npos &&
                list.find("qrc:/routing-web-ui.html") != std::string::npos)
                return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }

    fs::path folder;
};

} // namespace

TEST_F(Program, aSecondStartLeavesAtOnceAndTheFirstRunsOn)
{
    const int port = freeLoopbackPort();
    auto first = start(port, "first.log");
    ASSERT_TRUE(pageIsReady(port)) << slurp(folder / "first.log");

    auto second = start(freeLoopbackPort(), "second.log");
    int code = -1;
    ASSERT_TRUE(second->waitFor(30s, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(slurp(folder / "second.log").find("Another instance is running"), std::string::npos);
    EXPECT_TRUE(first->running());
    EXPECT_TRUE(pageIsReady(port, 5s)) << "the first window is undisturbed";
}

TEST_F(Program, aStartAfterTheFirstWasKilledSucceeds)
{
    const int port = freeLoopbackPort();
    auto first = start(port, "first.log");
    ASSERT_TRUE(pageIsReady(port)) << slurp(folder / "first.log");
    first->kill(SIGKILL);
    first->wait();

    const int again = freeLoopbackPort();
    auto second = start(again, "second.log");
    EXPECT_TRUE(pageIsReady(again)) << slurp(folder / "second.log");
}

TEST_F(Program, aTerminationSignalEndsItAsClosingTheWindowDoesAndTheRoutingIsWritten)
{
    const int port = freeLoopbackPort();
    auto program = start(port, "program.log");
    ASSERT_TRUE(pageIsReady(port)) << slurp(folder / "program.log");
    const fs::path file = folder / "data/Morvane/Kestrix/sendersChannelMappings.ploverc";
    fs::remove(file); // written at start; it must come back at the end
    program->kill(SIGTERM);
    int code = -1;
    ASSERT_TRUE(program->waitFor(60s, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(slurp(file).find("\"senderName\": \"Plover Sender 1\""), std::string::npos) << slurp(folder / "program.log");
    EXPECT_NE(slurp(folder / "program.log").find("[info] NDI source finder stopped"), std::string::npos)
        << "log lines carry the program's pattern";
}
