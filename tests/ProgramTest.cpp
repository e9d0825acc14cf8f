// The program itself, off screen: a start after a killed one, a page that
// comes up and talks to the bridge, and an orderly end that writes the routing,
// on a termination signal and when the display goes away.

#include "support/ChildProcess.h"
#include "support/HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrix-program-XXXXXX").string();
        folder = mkdtemp(pattern.data());
        for (const char* sub : {"tmp", "loopback"})
            fs::create_directories(folder / sub);
    }
    void TearDown() override { fs::remove_all(folder); }

    // The program, with the web engine's remote-debugging port at `port`, off screen or on `display`.
    std::unique_ptr<ChildProcess> start(int port, const std::string& log, const std::string& display = {})
    {
        return std::make_unique<ChildProcess>(KESTRIX_PROGRAM, std::vector<std::string>{"--ignored", "arguments"},
            std::vector<std::string>{display.empty() ? "QT_QPA_PLATFORM=offscreen" : "DISPLAY=" + display,
                "QTWEBENGINE_DISABLE_SANDBOX=1", "QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:" + std::to_string(port),
                "TMPDIR=" + (folder / "tmp").string(), "XDG_DATA_HOME=" + (folder / "data").string(),
                "KESTRIX_LOOPBACK_DIR=" + (folder / "loopback").string(),
                "KESTRIX_NDI_RUNTIME=" KESTRIX_LOOPBACK_RUNTIME,
                // Under the sanitizers: the web engine's own findings are not ours.
                "LSAN_OPTIONS=suppressions=" LSAN_SUPPRESSIONS,
                "ASAN_OPTIONS=abort_on_error=1:new_delete_type_mismatch=0"},
            (folder / log).string());
    }

    // The page sets its title from the bridge once the web channel is up; the
    // web engine lists its pages on the remote-debugging port.
    static bool pageIsReady(int port)
    {
        for (const auto deadline = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(200ms)) {
            const std::string list = HttpClient(port, 1).request("GET", "/json/list").body;
            if (list.find("\"title\": \"Vireo\"") != std::string::npos &&
                list.find("qrc:/routing-web-ui.html") != std::string::npos)
                return true;
        }
        return false;
    }

    fs::path folder;
};

} // namespace

// The single-instance rule is the server test's, which starts this program beside a running server.
TEST_F(Program, aStartAfterAKillSucceedsAndATerminationSignalWritesTheRouting)
{
    const int port = freeLoopbackPort();
    auto killed = start(port, "killed.log");
    ASSERT_TRUE(pageIsReady(port)) << slurp(folder / "killed.log");
    killed->kill(SIGKILL);
    killed->wait();

    const int again = freeLoopbackPort();
    auto program = start(again, "program.log");
    ASSERT_TRUE(pageIsReady(again)) << slurp(folder / "program.log");
    const fs::path file = folder / "data/Morvane/Kestrix/sendersChannelMappings.ploverc";
    fs::remove(file); // written at start; it must come back at the end
    program->kill(SIGTERM);
    int code = -1;
    ASSERT_TRUE(program->waitFor(60s, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(slurp(file).find("\"senderName\": "), std::string::npos) << slurp(folder / "program.log");
    EXPECT_NE(slurp(folder / "program.log").find("[info] NDI source finder stopped"), std::string::npos)
        << "log lines carry the program's pattern";
}

// The X server going away, as when it stops or a session ends abruptly.
TEST_F(Program, aLostDisplayEndsTheProgramAsClosingTheWindowDoes)
{
    // Xvfb names the free display it took on its standard output.
    ChildProcess x(XVFB, {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {},
        (folder / "xvfb.log").string());
    std::string display;
    for (const auto deadline = std::chrono::steady_clock::now() + 30s;
         display.empty() && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
        std::istringstream lines(slurp(folder / "xvfb.log"));
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
                display = ":" + line;
    }
    ASSERT_FALSE(display.empty()) << slurp(folder / "xvfb.log");

    const int port = freeLoopbackPort();
    auto program = start(port, "program.log", display);
    ASSERT_TRUE(pageIsReady(port)) << slurp(folder / "program.log");
    const fs::path file = folder / "data/Morvane/Kestrix/sendersChannelMappings.ploverc";
    fs::remove(file); // written at start; it must come back at the end
    x.kill(SIGTERM);
    int code = -1;
    ASSERT_TRUE(program->waitFor(60s, code));
    EXPECT_EQ(code, 0) << slurp(folder / "program.log");
    EXPECT_NE(slurp(file).find("\"senderName\": "), std::string::npos) << slurp(folder / "program.log");
    EXPECT_NE(slurp(folder / "program.log").find("[warning] The display went away"), std::string::npos);
}
