// The program itself, off screen: one instance per machine, a page that comes
// up and talks to the bridge, and an orderly end that writes the routing.

#include "support/ChildProcess.h"
#include "support/HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

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

    // The program, with the web engine's remote-debugging port at `port`.
    std::unique_ptr<ChildProcess> start(int port, const std::string& log)
    {
        return std::make_unique<ChildProcess>(KESTRIX_PROGRAM, std::vector<std::string>{"--ignored", "arguments"},
            std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_DISABLE_SANDBOX=1",
                "QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:" + std::to_string(port), "TMPDIR=" + (folder / "tmp").string(),
                "XDG_DATA_HOME=" + (folder / "data").string(), "KESTRIX_LOOPBACK_DIR=" + (folder / "loopback").string(),
                "KESTRIX_NDI_RUNTIME=" KESTRIX_LOOPBACK_RUNTIME,
                // Under the sanitizers: the web engine's own findings are not ours.
                "LSAN_OPTIONS=suppressions=" LSAN_SUPPRESSIONS,
                "ASAN_OPTIONS=abort_on_error=1:new_delete_type_mismatch=0"},
            (folder / log).string());
    }

    // The page sets its title from the bridge once the web channel is up; the
    // web engine lists its pages on the remote-debugging port.
    static bool pageIsReady(int port, std::chrono::seconds timeout = 60s)
    {
        for (const auto deadline = std::chrono::steady_clock::now() + timeout;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(200ms)) {
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

// A second start leaves at once and the first runs on; a start after a killed one finds the instance left behind
// gone; a termination signal ends it as closing the window does, writing the routing.
TEST_F(Program, aSecondStartLeavesAStartAfterAKillSucceedsAndATerminationSignalWritesTheRouting)
{
    const int port = freeLoopbackPort();
    auto first = start(port, "first.log");
    ASSERT_TRUE(pageIsReady(port)) << slurp(folder / "first.log");
    int code = -1;
    ASSERT_TRUE(start(freeLoopbackPort(), "second.log")->waitFor(30s, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(slurp(folder / "second.log").find("Another instance is running"), std::string::npos);
    EXPECT_TRUE(pageIsReady(port, 5s)) << "the first window is undisturbed";
    first->kill(SIGKILL);
    first->wait();

    const int again = freeLoopbackPort();
    auto program = start(again, "program.log");
    ASSERT_TRUE(pageIsReady(again)) << slurp(folder / "program.log");
    const fs::path file = folder / "data/Morvane/Kestrix/sendersChannelMappings.ploverc";
    fs::remove(file); // written at start; it must come back at the end
    program->kill(SIGTERM);
    ASSERT_TRUE(program->waitFor(60s, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(slurp(file).find("\"senderName\": "), std::string::npos) << slurp(folder / "program.log");
    EXPECT_NE(slurp(folder / "program.log").find("[info] NDI source finder stopped"), std::string::npos)
        << "log lines carry the program's pattern";
}
