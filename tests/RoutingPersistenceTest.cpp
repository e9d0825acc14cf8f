// The router and its mapping file: what a start reads and writes, every change
// kept within a second, Save As and exit, stored delays, a Load, a full disk,
// and bad files that must change nothing.

#include "engine/AudioController.h"
#include "support/ControllerListener.h"
#include "support/LoopbackEnvironment.h"
#include "support/RawReceiver.h"

#include <gtest/gtest.h>

#include <QtCore/QString>
#include <QtCore/qlogging.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Whether a copy of `file` holding `bytes` was kept beside it.
bool keptBeside(const fs::path& file, const std::string& bytes)
{
    return std::ranges::any_of(fs::directory_iterator(file.parent_path()), [&](const auto& entry) {
        return entry.path().filename().string().starts_with(file.filename().string() + ".bad-") &&
            slurp(entry.path()) == bytes;
    });
}

class RoutingPersistence : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrix-data-XXXXXX").string();
        dataHome = mkdtemp(pattern.data());
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        defaultFile = dataHome / "Morvane/Kestrix/sendersChannelMappings.ploverc";
    }
    void TearDown() override { fs::remove_all(dataHome); }

    fs::path dataHome;
    fs::path defaultFile;
};

// The log lines written while it lives, from whatever thread writes them.
struct LogLines {
    LogLines()
    {
        {
            std::lock_guard lock(mutex);
            lines.clear();
        }
        before = qInstallMessageHandler(&LogLines::keep);
    }
    ~LogLines() { qInstallMessageHandler(before); }
    static std::vector<std::string> containing(const std::string& part)
    {
        std::lock_guard lock(mutex);
        std::vector<std::string> found;
        std::ranges::copy_if(lines, std::back_inserter(found), [&](const auto& l) { return l.find(part) != l.npos; });
        return found;
    }
    static void keep(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        std::lock_guard lock(mutex);
        lines.push_back(message.toStdString());
    }
    QtMessageHandler before;
    static inline std::mutex mutex;
    static inline std::vector<std::string> lines;
};

const std::string storedRouting = R"json({"senderChannelMappings": [
    {"senderName": "Stage", "senderChannelMappings": [{"sourceChannel": 4, "sourceName": "FAR (Desk)"},
        {"sourceChannel": 0, "sourceName": ""}], "videoSource": "FAR (Camera)"},
    {"senderName": "Quiet", "senderChannelMappings": [], "videoSource": ""},
    {"senderName": "Booth", "senderChannelMappings": []}],
    "senderDelayMappings": [{"delay": -250, "senderName": "Stage"}, {"delay": 0, "senderName": "Quiet"},
        {"delay": 300, "senderName": "Booth"}]})json";
// A stored channel counts from 1, and 0 is none.
const SenderChannelMappings storedMappings{{"Booth", {}}, {"Quiet", {}}, {"Stage", {{3, "FAR (Desk)"}, {}}}};

} // namespace

TEST_F(RoutingPersistence, theDefaultFileFollowsEveryChangeWithinASecondAtMostOnceASecondEvenAfterSaveAs)
{
    const fs::path chosen = dataHome / "shows" / "tonight.ploverc";
    std::string last;
    {
        ControllerListener listener;
        AudioController controller(&listener);
        std::string error;
        const auto routing = MappingFile::parse(slurp(defaultFile), error); // written at start
        ASSERT_TRUE(routing) << error;
        EXPECT_EQ(routing->senders,
            (std::vector<StoredSender>{{"Plover Sender 1", std::vector<ChannelMapping>(4), ""},
                {"Plover Sender 2", std::vector<ChannelMapping>(2), ""},
                {"Plover Sender 3", std::vector<ChannelMapping>(6), ""}}));

        ASSERT_TRUE(controller.writeMappingFile(chosen.string())); // Save As
        controller.setMappingFilePath(chosen.string());
        const std::string savedAs = slurp(chosen);

        // A burst of 3 s: every text the default file shows while it lasts is one write.
        std::vector<std::chrono::steady_clock::time_point> writes;
        last = slurp(defaultFile);
        const auto began = std::chrono::steady_clock::now();
        for (uint32_t i = 0; std::chrono::steady_clock::now() < began + 3s; ++i) {
            ASSERT_TRUE(controller.addAudioConnection("FAR (Desk)", i, "Plover Sender 3", i % 6));
            std::this_thread::sleep_for(2ms);
            if (std::string now = slurp(defaultFile); now != last) {
                writes.push_back(std::chrono::steady_clock::now());
                last = std::move(now);
            }
        }
        const auto ended = std::chrono::steady_clock::now();
        // Seen when they land, so a slow write may shorten a gap a little: never by half.
        EXPECT_GE(writes.size(), 2u) << "written while the burst lasts";
        EXPECT_LE(writes.size(), 4u) << "at most once a second";
        for (size_t i = 1; i < writes.size(); ++i)
            EXPECT_GE(writes[i] - writes[i - 1], 500ms) << "write " << i;

        // The last change is in the file within a second (and a margin for a busy machine).
        const auto stored = [&] {
            const auto read = MappingFile::parse(slurp(defaultFile), error);
            return read && read->senders.size() == 3 ? read->senders[2].mappings : std::vector<ChannelMapping>{};
        };
        const std::vector<ChannelMapping> final = controller.routingSnapshot().mappings.at("Plover Sender 3");
        while (std::chrono::steady_clock::now() < ended + 1500ms && stored() != final)
            std::this_thread::sleep_for(5ms);
        EXPECT_EQ(stored(), final);
        EXPECT_EQ(slurp(chosen), savedAs) << "only the default file is kept";
        last = slurp(defaultFile);
        fs::remove(defaultFile);
    }
    EXPECT_EQ(slurp(defaultFile), last) << "exit writes the default file";
}

TEST_F(RoutingPersistence, aStoredRoutingIsRestoredWithItsDelaysOnceNdiRunsSaveOneSetByHandMeanwhile)
{
    put(defaultFile, storedRouting);
    ControllerListener listener;
    AudioController controller(&listener);
    ASSERT_TRUE(controller.waitForCommands(5s));
    const RoutingSnapshot routing = controller.routingSnapshot();
    EXPECT_EQ(routing.mappings, storedMappings);
    EXPECT_EQ(routing.videoSources, (SenderVideoSources{{"Booth", ""}, {"Quiet", ""}, {"Stage", "FAR (Camera)"}}));

    // Written at start before the delay was applied: a crash now must not lose it.
    EXPECT_NE(slurp(defaultFile).find("\"delay\": -250"), std::string::npos);
    ASSERT_TRUE(controller.setAVDelay("Booth", 100));
    std::this_thread::sleep_for(AutomaticMappingFile::kInterval + 500ms);
    EXPECT_NE(slurp(defaultFile).find("\"delay\": 100"), std::string::npos);

    controller.startNdiProcessing();
    ASSERT_TRUE(listener.waitFor({"delay", "Stage", -250}, 5s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(listener.about("Stage").size(), 1u) << "restored exactly once";
    EXPECT_TRUE(listener.about("Quiet").empty()) << "a delay of 0 is not applied";
    EXPECT_TRUE(listener.about("Booth").empty()) << "the stored 300 is not restored over the one set by hand";
    const RoutingSnapshot running = controller.routingSnapshot();
    EXPECT_DOUBLE_EQ(running.delaySeconds.at("Stage"), -0.25);
    EXPECT_DOUBLE_EQ(running.delaySeconds.at("Booth"), 0.1);
}

TEST_F(RoutingPersistence, aShowWithWhatTheRoutingCannotHoldStartsWithTheRestAndIsLoggedAndKept)
{
    std::string wide;
    for (int c = 0; c < 2000; ++c)
        wide += std::string(c ? "," : "") + R"j({"sourceChannel": 0, "sourceName": ""})j";
    const std::string show = R"j({"senderChannelMappings": [
        {"senderName": "Band", "senderChannelMappings": [{"sourceChannel": 3, "sourceName": "FAR (Desk)"}]},
        {"senderName": "Wide", "senderChannelMappings": [)j" +
        wide + R"j(]}], "senderDelayMappings": [{"delay": 9000, "senderName": "Band"}]})j";
    put(defaultFile, show);
    auto log = std::make_unique<LogLines>();
    {
        ControllerListener listener;
        AudioController controller(&listener);
        ASSERT_TRUE(controller.waitForCommands(5s));
        log.reset();
        const SenderChannelMappings loaded{{"Band", {{2, "FAR (Desk)"}}}, {"Wide", std::vector<ChannelMapping>(1024)}};
        EXPECT_EQ(controller.routingSnapshot().mappings, loaded);

        // Published, and written back as loaded.
        controller.startNdiProcessing();
        EXPECT_EQ(RawReceiver(RawReceiver::listed("Band")).nextBlock().data.size(), 512u);
        EXPECT_EQ(RawReceiver(RawReceiver::listed("Wide")).nextBlock().data.size(), 1024u * 512);
        ASSERT_TRUE(listener.waitFor({"delay", "Band", 5000}, 5s));
        std::string error;
        std::vector<std::string> notes;
        const auto written = MappingFile::parse(slurp(defaultFile), error, &notes);
        ASSERT_TRUE(written) << error;
        EXPECT_EQ(written->delays, (std::vector<std::pair<std::string, int32_t>>{{"Band", 5000}, {"Wide", 0}}));
        EXPECT_TRUE(notes.empty());
    }
    // The rest is logged, naming it, and the file as it was is kept.
    const std::string from = "Channel mappings from \"" + defaultFile.string() + "\" - ";
    for (const std::string& note :
        {std::string("sender 2 \"Wide\" has 2000 channels - a channel count must be a whole number from "
                     "0 to 1024; channels 1025 to 2000 are left out"),
            std::string("delay 1 of \"Band\": 9000 - a delay must be a whole number of milliseconds from -5000 to "
                        "5000; 5000 is used")})
        EXPECT_EQ(LogLines::containing(from + note).size(), 1u) << note;
    EXPECT_TRUE(keptBeside(defaultFile, show));
}

TEST_F(RoutingPersistence, aFileThatCannotBeLoadedChangesNothingAndIsNeverOverwrittenUnseen)
{
    // At start: the router begins as a first start does, and the bad file's bytes are kept.
    const std::string garbage = "{ \"senderChannelMappings\": [ {\"senderName\": ";
    put(defaultFile, garbage);
    {
        ControllerListener listener;
        AudioController controller(&listener);
        ASSERT_TRUE(controller.waitForCommands(3s));
        EXPECT_TRUE(keptBeside(defaultFile, garbage));

        // While running: a bad file and a folder (which opens, and reads as nothing) are refused; the routing stays.
        ASSERT_TRUE(controller.addAudioConnection("FAR (Desk)", 1, "Plover Sender 2", 1));
        ASSERT_TRUE(controller.waitForCommands(2s));
        const RoutingSnapshot before = controller.routingSnapshot();
        const fs::path bad = dataHome / "bad.ploverc";
        put(bad,
            R"({"senderChannelMappings": [{"senderName": "X", "senderChannelMappings": [{"sourceName": 1, "sourceChannel": 1}]}]})");
        EXPECT_FALSE(controller.readMappingFile(bad.string()));
        fs::create_directories(dataHome / "folder.ploverc");
        EXPECT_FALSE(controller.readMappingFile((dataHome / "folder.ploverc").string()));
        ASSERT_TRUE(controller.waitForCommands(2s));
        const RoutingSnapshot after = controller.routingSnapshot();
        EXPECT_EQ(after.mappings, before.mappings);
        EXPECT_EQ(after.videoSources, before.videoSources);
        EXPECT_EQ(after.useCounts, before.useCounts);
    }
    std::string error;
    EXPECT_TRUE(MappingFile::parse(slurp(defaultFile), error)) << "the default file is valid again: " << error;
}

TEST_F(RoutingPersistence, aDefaultFileThatCannotEvenBeOpenedIsAFailedLoadAndStaysUnlessACopyOfItIsKept)
{
    // A socket is there but opens for nobody, root included, so no copy of it can be kept either.
    fs::create_directories(defaultFile.parent_path());
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, defaultFile.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    {
        ControllerListener listener;
        AudioController controller(&listener);
        ASSERT_TRUE(controller.waitForCommands(3s));
        const Outcome saved = controller.writeMappingFile(defaultFile.string()); // a reason only when refused
        EXPECT_NE(saved.reason.find("it could not be loaded, and keeping a copy of it failed"), std::string::npos)
            << saved.reason;
    }
    EXPECT_TRUE(fs::is_socket(defaultFile)) << "neither the start, a save nor the exit replaced it";
    ::close(socket);
}

TEST_F(RoutingPersistence, aLoadReplacesTheRoutingAndTheClockKeepsTickingThroughItsPause)
{
    const fs::path show = dataHome / "show.ploverc";
    put(show, storedRouting);
    ControllerListener listener;
    AudioController controller(&listener);
    std::this_thread::sleep_for(1500ms); // past the start's own reload
    ASSERT_TRUE(controller.waitForCommands(3s));
    ASSERT_TRUE(controller.readMappingFile(show.string()));
    // The engine's block count, watched until the load's changes ran, the pause after clearing the senders included.
    uint64_t blocks = controller.status().routing.blocks.blocks;
    auto advanced = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestGap{};
    for (const auto giveUp = advanced + 3s; !controller.waitForCommands(1ms);) {
        ASSERT_LT(std::chrono::steady_clock::now(), giveUp);
        if (const uint64_t counted = controller.status().routing.blocks.blocks; counted != blocks) {
            longestGap = std::max(longestGap, std::chrono::steady_clock::now() - advanced);
            advanced = std::chrono::steady_clock::now();
            blocks = counted;
        }
    }
    EXPECT_EQ(controller.routingSnapshot().mappings, storedMappings);
    EXPECT_LT(longestGap, 300ms) << "the pause after clearing the senders never stalls a block";
}

namespace {

// Whether this process has mounts of its own (see main): a small tmpfs made
// there is gone with the process, however it ends.
bool privateMounts = false;

} // namespace

TEST_F(RoutingPersistence, aFullDiskKeepsTheLastFileAndTellsWhyOnceUntilAWriteWorksAgain)
{
    if (!privateMounts)
        GTEST_SKIP() << "mounting a small tmpfs needs a mount namespace (root, or user namespaces)";
    const fs::path disk = dataHome / "disk";
    fs::create_directories(disk);
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    const fs::path file = disk / "routing.ploverc";
    const LogLines log;
    {
        ControllerListener listener;
        AudioController controller(&listener, file.string());
        const std::string before = slurp(file); // written at start
        ASSERT_NE(before.find("Plover Sender 1"), std::string::npos);
        {
            const int filler = ::open((disk / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
            const std::string block(4096, 'x');
            while (::write(filler, block.data(), block.size()) > 0) { }
            ::close(filler);
        }

        ASSERT_TRUE(controller.addSender("Booth", 2));
        std::this_thread::sleep_for(2500ms); // tried again each second
        EXPECT_EQ(slurp(file), before);
        const auto failures = LogLines::containing("Cannot save channel mappings to");
        ASSERT_EQ(failures.size(), 1u);
        const std::optional<std::string> reason = controller.status().mappingFileWriteError;
        ASSERT_TRUE(reason);
        EXPECT_EQ(failures[0], "Cannot save channel mappings to \"" + file.string() + "\" - \"" + *reason + "\"");
        EXPECT_EQ(*reason, "No space left on device");

        fs::remove(disk / "filler");
        for (const auto giveUp = std::chrono::steady_clock::now() + 2s;
             slurp(file).find("\"Booth\"") == std::string::npos && std::chrono::steady_clock::now() < giveUp;)
            std::this_thread::sleep_for(10ms);
        EXPECT_NE(slurp(file).find("\"Booth\""), std::string::npos);
        EXPECT_EQ(controller.status().mappingFileWriteError, std::nullopt);
        EXPECT_EQ(LogLines::containing("Channel mappings saved to \"" + file.string() + "\" again").size(), 1u);
    }
    ::umount2(disk.c_str(), MNT_DETACH);
}

int main(int argc, char** argv)
{
    // Before any thread starts: mounts made from here on are this process's alone.
    privateMounts = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
