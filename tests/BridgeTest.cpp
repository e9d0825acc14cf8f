// The bridge the page talks to, on the real controller: the documents it sends,
// byte for byte, and the values from the page it refuses.

#include "support/LoopbackEnvironment.h"
#include "ui/QMLWrapper.h"

#include <gtest/gtest.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QJsonDocument>
#include <QtCore/QMetaProperty>
#include <QtTest/QSignalSpy>
#include <QtWebChannel/QWebChannel>
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
    Bridge() : reports(bridge) { }

    // The controller's side of the bridge, as the engine's threads call it.
    AudioController::Listener& reports;
    QMLWrapper bridge;
};

QString last(QSignalSpy& spy)
{
    return spy.isEmpty() ? QString() : spy.last().at(0).toString();
}

} // namespace

TEST_F(Bridge, documentsAreCompactWithSortedKeysAndFollowThePageAndTheEngine)
{
    QSignalSpy sources(&bridge, &QMLWrapper::sourcesUpdated);
    QSignalSpy senders(&bridge, &QMLWrapper::sendersUpdated);
    QSignalSpy connections(&bridge, &QMLWrapper::connectionsUpdated);
    bridge.uiReady(); // a page that is ready before the start's routing is published
    EXPECT_EQ(last(sources) + last(senders) + last(connections), "{}{}[]");
    ASSERT_TRUE(bridge.routing().waitForCommands(5s));

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
        {"Monitor", {{3, "HOST (Mixer)"}, {}}}, {"Video Only", {}}};
    SenderVideoSources video{
        {"Plover Sender 1", "HOST (Camera)"}, {"Monitor", "HOST (Camera)"}, {"Video Only", "HOST (Camera)"}};
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

TEST_F(Bridge, aRefusedValueFromThePageChangesNothingAndIsAnsweredWithWhatWasSentAndWhy)
{
    AudioController& engine = bridge.routing();
    ASSERT_TRUE(engine.waitForCommands(5s));
    QSignalSpy refused(&bridge, &QMLWrapper::changeRefused);
    const QString documents = bridge.pageReady();
    const RoutingSnapshot routing = engine.routingSnapshot();

    // Each field held to its rule, or to being a number; the rules' own cases are the rules' test's.
    bridge.senderAdded("Fraction", QJsonValue(2.5));
    bridge.senderAdded("Text", QJsonValue("four"));
    bridge.senderAdded(QString("Half ") + QChar(0xD800), QJsonValue(2));
    bridge.senderRemoved("Monitor");
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(2147483647), "Plover Sender 1", QJsonValue(0));
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(0), "Plover Sender 1", QJsonValue(0.5));
    bridge.connectionAdded("", QJsonValue(0), "Plover Sender 1", QJsonValue(0));
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(0), "No Such Sender", QJsonValue(0));
    bridge.connectionRemoved("HOST (Mixer)", QJsonValue(0), "Plover Sender 1", QJsonValue(-3));
    bridge.videoConnectionAdded("", "Plover Sender 1");
    bridge.setAVDelay("Plover Sender 1", QJsonValue(12.5));
    EXPECT_EQ(refused.size(), 11);
    EXPECT_EQ(bridge.pageReady(), documents);
    ASSERT_TRUE(engine.waitForCommands(2s));
    const RoutingSnapshot after = engine.routingSnapshot();
    EXPECT_EQ(after.mappings, routing.mappings);
    EXPECT_EQ(after.videoSources, routing.videoSources);
    EXPECT_EQ(after.delaySeconds, routing.delaySeconds);

    bridge.senderAdded("Stage \u200B", QJsonValue(2));
    EXPECT_EQ(last(refused),
        R"j({"action":"senderAdded","numChannels":2,)j"
        R"j("reason":"the name holds invisible characters","senderName":"Stage )j"
        "\u200B\"}");
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(1), "Plover Sender 2", QJsonValue(2));
    EXPECT_EQ(last(refused),
        R"j({"action":"connectionAdded","reason":"\"Plover Sender 2\" has 2 channels",)j"
        R"j("senderChannel":2,"senderName":"Plover Sender 2","sourceChannel":1,"sourceName":"HOST (Mixer)"})j");

    // A delay within the bounds that the sender's delay line cannot hold keeps the delay it has.
    bridge.senderAdded("Wide", QJsonValue(1024));
    bridge.setAVDelay("Wide", QJsonValue(-40));
    ASSERT_EQ(refused.size(), 13);
    bridge.setAVDelay("Wide", QJsonValue(5000));
    EXPECT_EQ(last(refused),
        R"j({"action":"setAVDelay","delay":5000,)j"
        R"j("reason":"the delay line of \"Wide\" cannot hold 5000 ms on its channels","senderDelay":-40,"senderName":"Wide"})j");
    EXPECT_DOUBLE_EQ(engine.routingSnapshot().delaySeconds.at("Wide"), -0.04);

    // A preview of a name no source can have; a real name and none are taken.
    bridge.previewSource("HOST (Mixer)");
    bridge.previewSource("");
    ASSERT_EQ(refused.size(), 14);
    bridge.previewSource(QString("HOST (") + QChar(0) + ")");
    EXPECT_EQ(last(refused),
        QString(
            R"j({"action":"previewSource","reason":"the name holds a NUL character","sourceName":"HOST (\u0000)"})j"));
}

TEST(BridgeInput, numbersSentAsDecimalTextAreTakenAndTheSendersAFileHoldsAreOperatedWhateverTheirNames)
{
    // A show an older page saved: a name with a tab, which can no longer be made, is still the show's.
    const std::string show = LoopbackEnvironment::folder + "/older-page.ploverc";
    QFile file(QString::fromStdString(show));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"j({"senderChannelMappings": [{"senderName": "Old\tTab", "senderChannelMappings": [)j"
               R"j({"sourceName": "", "sourceChannel": 0}, {"sourceName": "", "sourceChannel": 0}]}]})j");
    file.close();
    QMLWrapper bridge(show);
    AudioController& engine = bridge.routing();
    ASSERT_TRUE(engine.waitForCommands(5s));
    QSignalSpy refused(&bridge, &QMLWrapper::changeRefused);

    // As the web channel took them where a number is expected: decimal text, blanks around it.
    const QString band = "Band \U0001F468\u200D\U0001F469\u200D\U0001F467";
    bridge.senderAdded(band, QJsonValue("3"));
    bridge.connectionAdded("HOST (Mixer)", QJsonValue(" 2 "), "Old\tTab", QJsonValue("1"));
    bridge.connectionAdded("HOST (Mixer)", QJsonValue("4.0"), band, QJsonValue("+0"));
    bridge.setAVDelay("Old\tTab", QJsonValue("-120"));
    EXPECT_EQ(refused.size(), 0) << last(refused).toStdString();
    const RoutingSnapshot routing = engine.routingSnapshot();
    EXPECT_EQ(routing.mappings,
        (SenderChannelMappings{
            {"Old\tTab", {{}, {2, "HOST (Mixer)"}}}, {band.toStdString(), {{4, "HOST (Mixer)"}, {}, {}}}}));
    EXPECT_DOUBLE_EQ(routing.delaySeconds.at("Old\tTab"), -0.12);

    // Anything else is refused as before.
    for (const char* text : {"four", "4e0", "0x4", "", "- 4", "2.5"})
        bridge.senderAdded("Texted", QJsonValue(text));
    ASSERT_EQ(refused.size(), 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(QJsonDocument::fromJson(refused.at(i).at(0).toString().toUtf8())["reason"].toString(),
            i < 5 ? "not a number" : "a channel count must be a whole number from 0 to 1024");
    bridge.senderRemoved("Old\tTab");
    EXPECT_EQ(refused.size(), 6);
    EXPECT_EQ(engine.routingSnapshot().mappings.count("Old\tTab"), 0u);
}

TEST_F(Bridge, levelsAndStatusAreSentInTheirCompactFormats)
{
    // 10.0 is 0 dBFS and an RMS reads 3 dB up, so a sine reads alike on both; digital silence and anything quieter
    // read the floor; a source that received nothing at all is left out.
    RoutingCore::Levels levels;
    levels.sources["HOST (Mixer)"] = {ChannelLevels::Level{1.0f, 0.70710678f}, std::nullopt,
        ChannelLevels::Level{0.0f, 0.0f}, ChannelLevels::Level{10.0f, 1e-7f}};
    levels.sources["HOST (Quiet)"] = {std::nullopt, std::nullopt};
    levels.senders["Plover Sender 1"] = {ChannelLevels::Level{0.5f, 0.3f}};
    EXPECT_EQ(compactJson(levelsDocument(levels)),
        R"j({"senders":{"Plover Sender 1":[[-26,-27.4]]},"sources":{"HOST (Mixer)":[[-20,-20],null,[-100,-100],[0,-100]]}})j");
    EXPECT_EQ(compactJson(levelsDocument({})), R"j({"senders":{},"sources":{}})j");

    AudioController::Status status;
    status.runtime = "libkestrix-ndi-loopback.so";
    status.runtimeVersion = "Kestrix loopback 1.0.0";
    status.clockStandsIn = true;
    status.outputDevice = "Built-in Output";
    status.clockScheduling = {true, "SCHED_FIFO", 70, "root or CAP_SYS_NICE"};
    status.softwareClock = ClockTimings::Summary{0.0000314, 0.000118, 0.0004124, 2, 940};
    status.routing.sources["HOST (Mixer)"] = {true, 8, 44100, true, 3, 3, 7};
    status.routing.sources["HOST (Gone)"] = {false, kNoChannel, 0, false, 0};
    status.routing.senders["Plover Sender 1"] = {16, 2, 1000, 0, false};
    status.routing.blocks = {0.0524, 0.25, 3, 12000, 7};
    status.mappingFile = "/data/routing.ploverc";
    status.mappingFileWriteError = "No space left on device";
    EXPECT_EQ(compactJson(statusDocument(status)),
        R"j({"engine":{"blockLoadMedian":0.052,"blockLoadP99":0.25,"blocks":12000,"captureDropouts":7,)j"
        R"j("captureScheduling":"ordinary","clock":"software","clockLateBlocks":2,"clockLatenessMaxMs":0.412,)j"
        R"j("clockLatenessMedianMs":0.031,"clockLatenessP99Ms":0.118,"clockScheduling":"SCHED_FIFO 70",)j"
        R"j("clockStandsIn":true,"lateBlocks":3,"outputDevice":"Built-in Output",)j"
        R"j("runtime":"libkestrix-ndi-loopback.so","runtimeVersion":"Kestrix loopback 1.0.0"},)j"
        R"j("mappingFile":{"path":"/data/routing.ploverc","writeError":"No space left on device","writeFailing":true},)j"
        R"j("senders":{"Plover Sender 1":{"audioBlocksSent":1000,"channels":16,"connections":2,"videoFramesSent":0,"videoLive":false}},)j"
        R"j("sources":{"HOST (Gone)":{"captureDropouts":0,"channels":-1,"dropouts":0,"online":false,"receiving":false,"sampleRate":0},)j"
        R"j("HOST (Mixer)":{"captureDropouts":7,"channels":8,"dropouts":3,"online":true,"receiving":true,"sampleRate":44100}}})j");
    status.softwareClock.reset(); // a sound output keeps its own time
    EXPECT_NE(compactJson(statusDocument(status)).indexOf(R"j("clockLatenessMaxMs":null)j"), -1);
}

TEST_F(Bridge, aReadyPageGetsTheStatusAtOnceAndEverySecondAndNoLevelsWhileNothingFlows)
{
    QSignalSpy status(&bridge, &QMLWrapper::statusUpdated);
    QSignalSpy levels(&bridge, &QMLWrapper::levelsUpdated);
    bridge.uiReady();
    ASSERT_EQ(status.size(), 1) << "before the event loop runs";
    EXPECT_TRUE(status.wait(3000));
    EXPECT_TRUE(status.wait(3000));
    EXPECT_EQ(levels.size(), 0) << levels.value(0).value(0).toString().toStdString();
}

TEST_F(Bridge, aSaveThatFailsIsReportedAsFailedAndNeverLoggedAsSaved)
{
    const QString blocker = QDir(QString::fromStdString(LoopbackEnvironment::folder)).filePath("not-a-folder");
    QFile(blocker).open(QIODevice::WriteOnly);
    const QString path = blocker + "/show.ploverc";
    bridge.routing().setMappingFilePath(path.toStdString());
    QSignalSpy outcome(&bridge, &QMLWrapper::fileOperationDone);
    static QStringList logged;
    const QtMessageHandler before = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& message) { logged.append(message); });
    bridge.saveFileButtonPressed();
    qInstallMessageHandler(before);
    EXPECT_EQ(last(outcome),
        R"j({"action":"save","cancelled":false,"done":false,"path":")j" + path +
            R"j(","reason":"Cannot create path )j" + blocker + R"j("})j");
    EXPECT_TRUE(logged.filter("Saved to").isEmpty()) << logged.join("\n").toStdString();
}

// The window's channel hands the page a facade: the page's read-only surface,
// passed on to and from the bridge, and no object a page could write or destroy.
TEST_F(Bridge, theWindowsChannelPublishesTheFacadeAloneWhichPassesThePagesCallsAndSignalsOn)
{
    const auto published = static_cast<QWebChannel*>(bridge.channel())->registeredObjects();
    ASSERT_EQ(published.keys(), QStringList{"qmlWrapper"});
    auto* page = qobject_cast<WindowPageBridge*>(published.value("qmlWrapper"));
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->missing(), QStringList());
    const QMetaObject& surface = *page->metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < surface.propertyCount(); ++i) {
        EXPECT_FALSE(surface.property(i).isWritable()) << surface.property(i).name();
        EXPECT_FALSE(surface.property(i).metaType().flags() & QMetaType::PointerToQObject)
            << surface.property(i).name();
    }
    EXPECT_EQ(page->property("productVersion"), KESTRIX_VERSION);

    QSignalSpy refused(page, SIGNAL(changeRefused(QString)));
    QSignalSpy documents(page, SIGNAL(sendersUpdated(QString)));
    ASSERT_TRUE(QMetaObject::invokeMethod(page, "senderAdded", Q_ARG(QString, "Gallery"), Q_ARG(QJsonValue, 2)));
    ASSERT_TRUE(QMetaObject::invokeMethod(page, "senderAdded", Q_ARG(QString, ""), Q_ARG(QJsonValue, 2)));
    ASSERT_TRUE(QMetaObject::invokeMethod(page, "uiReady"));
    EXPECT_EQ(refused.size(), 1);
    EXPECT_TRUE(last(documents).contains("\"Gallery\":2")) << last(documents).toStdString();
    QString answer;
    ASSERT_TRUE(QMetaObject::invokeMethod(page, "pageReady", Q_RETURN_ARG(QString, answer)));
    EXPECT_TRUE(answer.contains("\"Gallery\":2")) << answer.toStdString();
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LoopbackEnvironment);
    return RUN_ALL_TESTS();
}
