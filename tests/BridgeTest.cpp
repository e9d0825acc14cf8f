// The bridge the page talks to, on the real controller: the documents it sends,
// byte for byte, and the values from the page it refuses.

#include "support/LoopbackEnvironment.h"
#include "ui/QMLWrapper.h"

#include <gtest/gtest.h>

#include <QtTest/QSignalSpy>
#include <QtWidgets/QApplication>

using namespace std::chrono_literals;

QT_BEGIN_NAMESPACE
// Readable failures: show the text, not its code units.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << text.toStdString();
}
QT_END_NAMESPACE

namespace {

class Bridge : public ::testing::Test {
protected:
    Bridge() : reports(bridge) {}

    // The controller's side of the bridge, as the engine's threads call it.
    AudioController::Listener& reports;
    QMLWrapper bridge;
};

QString last(QSignalSpy& spy)
{
    return spy.isEmpty() ? QString() : spy.last().at(0).toString();
}

} // namespace

TEST_F(Bridge, aPageThatIsReadyFirstGetsThreeEmptyDocuments)
{
    QSignalSpy sources(&bridge, &QMLWrapper::sourcesUpdated);
    QSignalSpy senders(&bridge, &QMLWrapper::sendersUpdated);
    QSignalSpy connections(&bridge, &QMLWrapper::connectionsUpdated);
    bridge.uiReady(); // before the start's routing is published
    EXPECT_EQ(last(sources), "{}");
    EXPECT_EQ(last(senders), "{}");
    EXPECT_EQ(last(connections), "[]");
    EXPECT_EQ(bridge.property("getTitle").toString(), "Vireo");
    EXPECT_EQ(bridge.property("productVersion").toString(), "1.5.2");
    EXPECT_EQ(bridge.property("ndiLibVersion").toString(), "1.0.0") << "the last word of the runtime's version text";
    EXPECT_EQ(QMLWrapper::versionNumber("NDI SDK LINUX 18:00:58 Dec 21 2018 3.8.0"), "3.8.0");
    EXPECT_EQ(QMLWrapper::versionNumber(""), "");
}

TEST_F(Bridge, documentsAreCompactWithSortedKeysAndFollowThePageAndTheEngine)
{
    ASSERT_TRUE(bridge.routing().waitForCommands(5s)); // the start's own routing is published first
    QSignalSpy sources(&bridge, &QMLWrapper::sourcesUpdated);
    QSignalSpy senders(&bridge, &QMLWrapper::sendersUpdated);
    QSignalSpy connections(&bridge, &QMLWrapper::connectionsUpdated);

    reports.sourceAdded("HOST (Mixer)", 8);
    reports.sourceAdded("HOST (Camera)", kNoChannel);
    EXPECT_EQ(last(sources), R"j({"HOST (Camera)":-1,"HOST (Mixer)":8})j");
    reports.sourceChannelCountChanged("HOST (Camera)", 0);
    EXPECT_EQ(last(sources), R"j({"HOST (Camera)":0,"HOST (Mixer)":8})j");
    const qsizetype sent = sources.size();
    reports.sourceChannelCountChanged("HOST (Camera)", 0);
    reports.sourceRemoved("NOT (Known)");
    EXPECT_EQ(sources.size(), sent) << "an unchanged document is not sent again";
    reports.sourceRemoved("HOST (Camera)");
    EXPECT_EQ(last(sources), R"j({"HOST (Mixer)":8})j");

    // The engine's routing: audio in channel order, then the video; "Monitor" never has video.
    SenderChannelMappings mappings{{"Plover Sender 1", {{1, "HOST (Mixer)"}, {}, {0, "HOST (Mixer)"}}},
                                   {"Monitor", {{3, "HOST (Mixer)"}, {}}},
                                   {"Video Only", {}}};
    SenderVideoSources video{{"Plover Sender 1", "HOST (Camera)"}, {"Monitor", "HOST (Camera)"},
                             {"Video Only", "HOST (Camera)"}};
    reports.routingPublished(mappings, video);
    EXPECT_EQ(last(senders), R"j({"Monitor":2,"Plover Sender 1":3,"Video Only":0})j");
    EXPECT_EQ(last(connections),
              R"j([{"senderChannel":0,"senderName":"Monitor","sourceChannel":3,"sourceName":"HOST (Mixer)"},)j"
              R"j({"senderChannel":0,"senderName":"Plover Sender 1","sourceChannel":1,"sourceName":"HOST (Mixer)"},)j"
              R"j({"senderChannel":2,"senderName":"Plover Sender 1","sourceChannel":0,"sourceName":"HOST (Mixer)"},)j"
              R"j({"senderChannel":"Video","senderName":"Plover Sender 1","sourceChannel":"Video","sourceName":"HOST (Camera)"},)j"
              R"j({"senderChannel":"Video","senderName":"Video Only","sourceChannel":"Video","sourceName":"HOST (Camera)"}])j");
    ASSERT_EQ(senders.size(), connections.size()) << "senders, then connections, always together";

    // The page's changes reach the cached documents at once.
    bridge.senderAdded("Booth", QJsonValue(2));
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(5), "Booth", QJsonValue(1));
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(5), "Booth", QJsonValue(1));
    bridge.connectionRemoved("HOST (Mixer)", QJsonValue(5), "Booth", QJsonValue(1));
    bridge.uiReady();
    EXPECT_EQ(last(senders), R"j({"Booth":2,"Monitor":2,"Plover Sender 1":3,"Video Only":0})j");
    const QString booth = R"j({"senderChannel":1,"senderName":"Booth","sourceChannel":5,"sourceName":"HOST (Mixer)"})j";
    EXPECT_EQ(last(connections).count(booth), 1) << "of two equal connections, one removal takes the first";
}

TEST_F(Bridge, aRestoredDelayIsSentAsItsMessage)
{
    QSignalSpy delays(&bridge, &QMLWrapper::setAVDelaySignal);
    reports.senderDelayChanged("Plover Sender 1", -120);
    EXPECT_EQ(last(delays), R"j({"senderDelay":-120,"senderName":"Plover Sender 1"})j");
}

TEST_F(Bridge, valuesFromThePageThatCannotBeRightAreRefusedAndChangeNothing)
{
    AudioController& engine = bridge.routing();
    ASSERT_TRUE(engine.waitForCommands(5s));
    QSignalSpy senders(&bridge, &QMLWrapper::sendersUpdated);
    bridge.uiReady();
    const QString before = last(senders);
    const RoutingSnapshot routing = engine.routingSnapshot();

    bridge.senderAdded("Negative", QJsonValue(-1));
    bridge.senderAdded("Fraction", QJsonValue(2.5));
    bridge.senderAdded("Text", QJsonValue("4"));
    bridge.senderAdded("Huge", QJsonValue(1e6));
    bridge.senderAdded("", QJsonValue(2));
    bridge.senderAdded("   ", QJsonValue(2));
    bridge.senderAdded(QString(65, 'x'), QJsonValue(2));
    bridge.senderAdded("Bell\a", QJsonValue(2));
    bridge.senderAdded("Monitor", QJsonValue(2));
    bridge.senderRemoved("Monitor");
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(-1), "Plover Sender 1", QJsonValue(0));
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(0), "Plover Sender 1", QJsonValue(0.5));
    bridge.connectionAdded("", QJsonValue(0), "Plover Sender 1", QJsonValue(0));
    bridge.connectionRemoved("HOST (Mixer)", QJsonValue(0), "Plover Sender 1", QJsonValue(-3));
    bridge.videoConnectionAdded("", "Plover Sender 1");
    bridge.setAVDelay("Plover Sender 1", QJsonValue(12.5));
    bridge.setAVDelay("Plover Sender 1", QJsonValue(60000));

    bridge.uiReady();
    EXPECT_EQ(last(senders), before);
    ASSERT_TRUE(engine.waitForCommands(2s));
    const RoutingSnapshot after = engine.routingSnapshot();
    EXPECT_EQ(after.mappings, routing.mappings);
    EXPECT_EQ(after.videoSources, routing.videoSources);
    EXPECT_EQ(after.delaySeconds, routing.delaySeconds);

    // And the right values do reach the engine.
    bridge.senderAdded("Stage (L)", QJsonValue(2.0));
    bridge.setAVDelay("Plover Sender 1", QJsonValue(-120));
    ASSERT_TRUE(engine.waitForCommands(2s));
    EXPECT_EQ(engine.routingSnapshot().mappings.at("Stage (L)").size(), 2u);
    EXPECT_DOUBLE_EQ(engine.routingSnapshot().delaySeconds.at("Plover Sender 1"), -0.12);
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
