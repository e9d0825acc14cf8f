#include "ndi/NDISourceFinder.h"
#include "ndi/NdiLibrary.h"
#include "tests/fakes/FakeNdiRuntime.h"
#include "tests/support/ChildProcess.h"

#include <QtCore/QLoggingCategory>
#include <QtNetwork/QHostInfo>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::set<std::string>;

namespace {

// Stands in for the routing controller: names its senders and keeps every
// set it is told about.
class RecordingListener : public NDISourceFinder::Listener {
public:
    explicit RecordingListener(Names senders)
        : senderNames(std::move(senders))
    {
    }

    void sourcesChanged(NDISourceFinder& finder) override { reports.push_back(finder.sources); }

    Names senderChannelMappings() override { return senderNames; }

    Names senderNames;
    std::vector<Names> reports;
};

std::string localMachine() { return QHostInfo::localHostName().toUpper().toStdString(); }

std::string localMachineLowerCase() { return QHostInfo::localHostName().toLower().toStdString(); }

std::string readFile(const fs::path& file)
{
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

// ---- On the fake runtime: exact lists, chosen by the test -------------------

class FinderOnFakeRuntime : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ndiRuntimeVersion(), "FAKE NDI 9.9.9") << "KESTRIX_NDI_RUNTIME must name the fake runtime";
        fake = std::make_unique<FakeNdiRuntime>(std::getenv("KESTRIX_NDI_RUNTIME"));
        ndiActive = true;
    }

    void TearDown() override
    {
        ndiActive = false;
        if (fake)
            fake->setSources(nullptr, 0);
    }

    // The runtime lists these names, in this order, from now on.
    void networkLists(const std::vector<std::string>& names)
    {
        std::vector<const char*> pointers;
        for (const auto& name : names)
            pointers.push_back(name.c_str());
        fake->setSources(pointers.data(), static_cast<uint32_t>(pointers.size()));
    }

    std::unique_ptr<FakeNdiRuntime> fake;
};

TEST_F(FinderOnFakeRuntime, OwnSendersOfThisMachineAreHiddenAndAllOthersReported)
{
    const std::string host = localMachine();
    const std::string lowerHost = localMachineLowerCase();
    ASSERT_NE(host, "OTHERHOST");

    RecordingListener listener({"Plover Sender 1", "Stage (L)"});
    NDISourceFinder finder;
    finder.setListener(&listener);
    EXPECT_TRUE(fake->lastShowLocalSources()) << "own senders can only be hidden if local sources are listed";

    networkLists({
        host + " (Plover Sender 1)",      // ours
        "OTHERHOST (Plover Sender 1)",    // same name, other computer
        lowerHost + " (Plover Sender 1)", // ours, machine part in other letter case
        host + " (Stage (L))",            // ours, parentheses inside the name
        host + " (Stage)",                // a local stream that is no sender of ours
        host + " (Plover Sender 2)",      // likewise
        "OTHERHOST (Stage (L))",
    });
    finder.poll();

    const Names expected{"OTHERHOST (Plover Sender 1)", "OTHERHOST (Stage (L))", host + " (Plover Sender 2)",
                         host + " (Stage)"};
    EXPECT_EQ(finder.sources, expected);
    ASSERT_EQ(listener.reports.size(), 1u);
    EXPECT_EQ(listener.reports[0], expected);

    // A sender that is removed no longer hides its stream.
    listener.senderNames.erase("Stage (L)");
    finder.poll();
    Names withStage = expected;
    withStage.insert(host + " (Stage (L))");
    EXPECT_EQ(finder.sources, withStage);
}

TEST_F(FinderOnFakeRuntime, NamesThatAreNoSourceNamesAreNeverReported)
{
    RecordingListener listener({});
    NDISourceFinder finder;
    finder.setListener(&listener);

    const char* names[] = {"", nullptr, "NoParentheses", "MACHINE Stream)", "MACHINE (Stream", "OTHERHOST (Good)"};
    fake->setSources(names, static_cast<uint32_t>(std::size(names)));
    finder.poll();

    EXPECT_EQ(finder.sources, Names{"OTHERHOST (Good)"});
    EXPECT_EQ(listener.reports, std::vector<Names>{Names{"OTHERHOST (Good)"}});
}

TEST_F(FinderOnFakeRuntime, EachChangeIsReportedOnceUntilTheLastSourceIsGone)
{
    RecordingListener listener({});
    NDISourceFinder finder;
    finder.setListener(&listener);

    finder.poll();
    EXPECT_TRUE(listener.reports.empty()) << "an empty network at start is no change";

    networkLists({"HOST B (Two)", "HOST A (One)"});
    finder.poll();
    networkLists({"HOST A (One)", "HOST B (Two)"});
    finder.poll();
    finder.poll();
    ASSERT_EQ(listener.reports.size(), 1u);
    EXPECT_EQ(listener.reports[0], (Names{"HOST A (One)", "HOST B (Two)"}));

    networkLists({"HOST A (One)"});
    finder.poll();
    ASSERT_EQ(listener.reports.size(), 2u);
    EXPECT_EQ(listener.reports[1], Names{"HOST A (One)"});

    networkLists({});
    finder.poll();
    finder.poll();
    ASSERT_EQ(listener.reports.size(), 3u);
    EXPECT_TRUE(listener.reports[2].empty());
    EXPECT_TRUE(finder.sources.empty());
}

TEST_F(FinderOnFakeRuntime, FinderIsIdleWhileNdiIsInactive)
{
    const int instancesBefore = fake->liveInstances();
    {
        RecordingListener listener({});
        NDISourceFinder finder;
        EXPECT_EQ(fake->liveInstances(), instancesBefore + 1);
        networkLists({"HOST A (One)"});

        ndiActive = false;
        finder.setListener(&listener);
        finder.poll();
        EXPECT_TRUE(finder.sources.empty());
        EXPECT_TRUE(listener.reports.empty());
        EXPECT_EQ(fake->callCount("NDIlib_find_get_current_sources"), 0) << "an idle poll must not ask the network";

        ndiActive = true;
        finder.poll();
        EXPECT_EQ(listener.reports, std::vector<Names>{Names{"HOST A (One)"}});

        // Before the controller attaches its listener, polls keep the set all the same.
        finder.setListener(nullptr);
        networkLists({"HOST A (One)", "HOST B (Two)"});
        finder.poll();
        EXPECT_EQ(finder.sources, (Names{"HOST A (One)", "HOST B (Two)"}));
        EXPECT_EQ(listener.reports.size(), 1u);
    }
    EXPECT_EQ(fake->liveInstances(), instancesBefore) << "the finder destroys its NDI finder";
}

// ---- On the loopback runtime: real senders, real processes ------------------

namespace {

// Polls as the probe task would, only faster, until `done` holds or the
// deadline passes; true if it held.
template <typename Condition>
bool pollUntil(NDISourceFinder& finder, Condition done, std::chrono::steady_clock::duration limit = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done(finder.poll().sources))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
}

// Every name the runtime lists now, own senders included.
Names listedByRuntime(NDIlib_find_instance_t instance)
{
    uint32_t count = 0;
    const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(instance, &count);
    Names names;
    for (uint32_t i = 0; list != nullptr && i < count; ++i)
        if (list[i].p_ndi_name != nullptr)
            names.insert(list[i].p_ndi_name);
    return names;
}

bool contains(const Names& names, const std::string& name) { return names.count(name) != 0; }

std::string thisProgram() { return fs::read_symlink("/proc/self/exe").string(); }

} // namespace

class FinderOnLoopback : public testing::Test {
protected:
    void SetUp() override
    {
        const char* runtime = std::getenv("KESTRIX_NDI_RUNTIME");
        ASSERT_TRUE(runtime != nullptr && fs::path(runtime).filename() == "libkestrix-ndi-loopback.so")
            << "KESTRIX_NDI_RUNTIME must name the loopback runtime";
        ndi().initialize();
        ndiActive = true;
        output = fs::path(std::getenv("KESTRIX_LOOPBACK_DIR")) / "children.log";
    }

    void TearDown() override { ndiActive = false; }

    fs::path output;
};

TEST_F(FinderOnLoopback, SenderOfAnotherProcessIsFoundAndGoneSoonAfterThatProcessIsKilled)
{
    const std::string childSource = localMachine() + " (Child Sender)";
    RecordingListener listener({"Some Sender Of Ours"});
    NDISourceFinder finder;
    finder.setListener(&listener);

    ChildProcess child(thisProgram(), {"--publish", "Child Sender"}, {}, output.string());
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(pollUntil(finder, [&](const Names& s) { return contains(s, childSource); }))
        << "not found: " << childSource << "\n" << readFile(output);
    EXPECT_EQ(listener.reports.back(), finder.sources);

    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(pollUntil(finder, [&](const Names& s) { return !contains(s, childSource); }));
    const auto gone = std::chrono::steady_clock::now() - killed;
    // The runtime lets a source go within 3 s; the rest is room for a busy machine.
    EXPECT_LT(gone, 5s) << std::chrono::duration_cast<std::chrono::milliseconds>(gone).count() << " ms";
    EXPECT_EQ(listener.reports.back(), finder.sources);
}

TEST_F(FinderOnLoopback, OwnSendersAreHiddenOnlyWhenPublishedFromThisMachine)
{
    const std::string host = localMachine();
    RecordingListener listener({"Own Sender", "Second Own"});
    NDISourceFinder finder;
    finder.setListener(&listener);

    NDIlib_send_create_t own;
    own.p_ndi_name = "Own Sender";
    own.clock_audio = false;
    NDIlib_send_create_t spare = own;
    spare.p_ndi_name = "Spare Stream";
    NDIlib_send_instance_t ownSender = ndi().send_create_v2(&own, nullptr);
    NDIlib_send_instance_t spareSender = ndi().send_create_v2(&spare, nullptr);
    ASSERT_NE(ownSender, nullptr);
    ASSERT_NE(spareSender, nullptr);

    ChildProcess otherComputer(thisProgram(), {"--publish", "Own Sender"}, {"KESTRIX_LOOPBACK_HOSTNAME=OTHERHOST"},
                               output.string());
    ChildProcess lowerCaseHost(thisProgram(), {"--publish", "Second Own"},
                               {"KESTRIX_LOOPBACK_HOSTNAME=" + localMachineLowerCase()},
                               (output.parent_path() / "children-2.log").string());

    // Wait until the runtime lists everything, so that what the finder leaves
    // out is left out by choice and not for being late.
    const Names everything{host + " (Own Sender)", host + " (Spare Stream)", "OTHERHOST (Own Sender)",
                           localMachineLowerCase() + " (Second Own)"};
    NDIlib_find_create_t settings;
    NDIlib_find_instance_t raw = ndi().find_create_v3(&settings, nullptr);
    ASSERT_NE(raw, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    Names listed;
    while ((listed = listedByRuntime(raw)) != everything && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    ndi().find_destroy(raw);
    ASSERT_EQ(listed, everything) << readFile(output);

    EXPECT_EQ(finder.poll().sources, (Names{host + " (Spare Stream)", "OTHERHOST (Own Sender)"}));

    ndi().send_destroy(spareSender);
    ndi().send_destroy(ownSender);
}

// `--publish NAME...` makes this program a sender process for the tests above:
// it publishes the names and stays until it is killed (or a minute passes).
static int publish(int argc, char** argv)
{
    ndi().initialize();
    std::vector<NDIlib_send_instance_t> senders;
    for (int i = 2; i < argc; ++i) {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = argv[i];
        settings.clock_audio = false;
        NDIlib_send_instance_t sender = ndi().send_create_v2(&settings, nullptr);
        if (sender == nullptr) {
            std::cerr << "cannot publish " << argv[i] << std::endl;
            return 1;
        }
        const NDIlib_source_t* published = ndi().send_get_source_name(sender);
        std::cerr << "published " << (published != nullptr ? published->p_ndi_name : "?") << std::endl;
        senders.push_back(sender);
    }
    std::this_thread::sleep_for(60s);
    for (auto* sender : senders)
        ndi().send_destroy(sender);
    return 0;
}

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    if (argc >= 3 && std::string(argv[1]) == "--publish")
        return publish(argc, argv);

    // Every run gets a registry of its own; the sender processes inherit it.
    std::string folder = (fs::temp_directory_path() / "kestrix-finder-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::cerr << "cannot create a temporary folder" << std::endl;
        return 1;
    }
    setenv("KESTRIX_LOOPBACK_DIR", folder.c_str(), 1);

    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return result;
}
