// The finder on the fake runtime, which lists exactly the names the test sets.

#include "ndi/NDISourceFinder.h"
#include "tests/fakes/FakeNdiRuntime.h"

#include <QtCore/QLoggingCategory>
#include <QtNetwork/QHostInfo>

#include <gtest/gtest.h>

using Names = std::set<std::string>;

namespace {

// Stands in for the routing controller: names its senders and keeps every set it is told about.
struct RecordingListener : NDISourceFinder::Listener {
    void sourcesChanged(NDISourceFinder& finder) override { reports.push_back(finder.sources); }
    Names senderChannelMappings() override { return senders; }
    Names senders;
    std::vector<Names> reports;
};

class FinderOnFakeRuntime : public testing::Test {
protected:
    void SetUp() override
    {
        networkLists({});
        ndiActive = true;
        finder.setListener(&listener);
    }
    void TearDown() override { ndiActive = false; }
    void networkLists(std::vector<std::optional<std::string>> names) { fake_ndi::state.sources = std::move(names); }

    RecordingListener listener;
    NDISourceFinder finder;
};

} // namespace

TEST_F(FinderOnFakeRuntime, ownSendersOfThisMachineAreLeftOutAndEveryOtherSourceKeptVerbatim)
{
    const std::string host = QHostInfo::localHostName().toUpper().toStdString();
    const std::string lowerHost = QHostInfo::localHostName().toLower().toStdString();
    ASSERT_NE(host, "OTHERHOST");
    const std::string hostile = "OTHERHOST (\"Booth\" <b>&amp;</b>\n\xff\\)";
    listener.senders = {"Plover Sender 1", "Stage (L)"};
    networkLists({
        host + " (Plover Sender 1)", // ours
        lowerHost + " (Plover Sender 1)", // ours, the machine in other letter case
        host + " (Stage (L))", // ours, parentheses inside the name
        "OTHERHOST (Plover Sender 1)", // the same name on another computer
        host + " (Plover Sender 2)", // a stream of this machine that is no sender of ours
        hostile, "", std::nullopt, "NoParentheses", "MACHINE Stream)", "MACHINE (Stream", // no source names
    });
    finder.poll();
    EXPECT_TRUE(fake_ndi::state.showLocalSources) << "streams of this machine are sources too";
    const Names expected{"OTHERHOST (Plover Sender 1)", host + " (Plover Sender 2)", hostile};
    EXPECT_EQ(listener.reports, std::vector<Names>{expected});

    listener.senders.erase("Stage (L)");
    finder.poll();
    EXPECT_EQ(finder.sources.count(host + " (Stage (L))"), 1u) << "a removed sender no longer hides its stream";
}

TEST_F(FinderOnFakeRuntime, eachChangeIsReportedOnceAndNothingIsAskedWhileNdiIsIdle)
{
    finder.poll();
    networkLists({"HOST B (Two)", "HOST A (One)"});
    finder.poll();
    networkLists({"HOST A (One)", "HOST B (Two)"});
    finder.poll();
    networkLists({});
    finder.poll();
    finder.poll();
    EXPECT_EQ(listener.reports, (std::vector<Names>{Names{"HOST A (One)", "HOST B (Two)"}, Names{}}));

    networkLists({"HOST A (One)"});
    ndiActive = false;
    const int listings = fake_ndi::state.listings;
    finder.poll();
    EXPECT_EQ(fake_ndi::state.listings, listings) << "no router lives to use the answer";
    EXPECT_TRUE(finder.sources.empty());

    ndiActive = true;
    finder.setListener(nullptr);
    finder.poll();
    EXPECT_EQ(finder.sources, Names{"HOST A (One)"}) << "the set is kept before a router listens";
    EXPECT_EQ(listener.reports.size(), 2u);
}

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    std::string error;
    if (!useNdiRuntime(fake_ndi::load(fake_ndi::standardTable(), error)))
        return 1;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
