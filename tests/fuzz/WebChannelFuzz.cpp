// What a client may send on the web channel: each line of the input is one
// message, judged by ChannelGuard and handed, when admitted, to Qt's web
// channel publishing the page's facade (ui/PageBridge) over a stand-in of the
// bridge. Whatever arrives, the published object stays registered and alive,
// the stand-in is called only through the page's own slots with values of
// their types, and the channel only answers, signals and updates properties.

#include "server/ChannelGuard.h"
#include "ui/PageBridge.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QJsonDocument>
#include <QtCore/QPointer>
#include <QtWebChannel/QWebChannel>
#include <QtWebChannel/QWebChannelAbstractTransport>

namespace {

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

// The bridge's surface, answering the page's calls with its signals as the bridge does.
class StandInBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString productVersion READ text CONSTANT)
    Q_PROPERTY(QString ndiLibVersion READ text CONSTANT)
    Q_PROPERTY(QString getTitle READ text CONSTANT)

public:
    QString text() const { return "1.5.2"; }

Q_SIGNALS:
    void productVersionChanged();
    void ndiLibVersionChanged();
    void getTitleChanged();
    void sourcesUpdated(QString sourcesJson);
    void sendersUpdated(QString sendersJson);
    void connectionsUpdated(QString connectionsJson);
    void setAVDelaySignal(QString senderDelay);
    void changeRefused(QString refusal);
    void fileOperationDone(QString outcome);
    void levelsUpdated(QString levelsJson);
    void statusUpdated(QString statusJson);
    void routingChanged(QString routingJson);

public Q_SLOTS:
    void connectionAdded(const QString& source, const QJsonValue& from, const QString& sender, const QJsonValue& to)
    {
        Q_EMIT changeRefused(
            compact({{"sourceName", source}, {"sourceChannel", from}, {"senderName", sender}, {"senderChannel", to}}));
    }
    void connectionRemoved(const QString& source, const QJsonValue& from, const QString& sender, const QJsonValue& to)
    {
        connectionAdded(source, from, sender, to);
    }
    void videoConnectionAdded(const QString& source, const QString& sender)
    {
        Q_EMIT routingChanged(compact({{"sourceName", source}, {"senderName", sender}}));
    }
    void videoConnectionRemoved(const QString& source, const QString& sender) { videoConnectionAdded(source, sender); }
    void setAVDelay(const QString& sender, const QJsonValue& delay)
    {
        Q_EMIT setAVDelaySignal(compact({{"senderName", sender}, {"senderDelay", delay}}));
    }
    void console(const QString&) { }
    void uiReady()
    {
        Q_EMIT sourcesUpdated("{}");
        Q_EMIT sendersUpdated("{}");
        Q_EMIT connectionsUpdated("[]");
    }
    void senderAdded(const QString& sender, const QJsonValue& channels)
    {
        Q_EMIT levelsUpdated(compact({{"senderName", sender}, {"numChannels", channels}}));
    }
    void senderRemoved(const QString& sender) { Q_EMIT statusUpdated(sender); }
    void loadFileButtonPressed() { Q_EMIT fileOperationDone("{}"); }
    void saveFileButtonPressed() { Q_EMIT fileOperationDone("{}"); }
    void saveAsFileButtonPressed() { Q_EMIT fileOperationDone("{}"); }
    void previewSource(const QString& source) { Q_EMIT statusUpdated(source); }
    QString pageReady() { return "{}"; }

private:
    static QString compact(const QJsonObject& object)
    {
        return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    }
};

// The client's end: what the channel sends must be a message a page understands.
class Transport : public QWebChannelAbstractTransport {
    Q_OBJECT
public:
    void sendMessage(const QJsonObject& message) override
    {
        const int type = message["type"].toInt();
        require(type == 1 || type == 2 || type == 10);
        require(!QJsonDocument(message).toJson(QJsonDocument::Compact).isEmpty());
    }
    void deliver(const QJsonObject& message) { Q_EMIT messageReceived(message, this); }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static StandInBridge bridge;
    static PageBridge probe(bridge);
    require(probe.missing().isEmpty());

    QWebChannel channel;
    QPointer<PageBridge> page = new PageBridge(bridge);
    page->setParent(&channel);
    channel.registerObject("qmlWrapper", page);
    Transport transport;
    channel.connectTo(&transport);
    const ChannelGuard guard(PageBridge::staticMetaObject, "qmlWrapper");
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const QByteArray& line : input.split('\n')) {
        QString why;
        if (const auto message = guard.admit(line, why))
            transport.deliver(*message);
        else
            require(!why.isEmpty());
        QCoreApplication::processEvents();
    }
    require(!page.isNull() && channel.registeredObjects().value("qmlWrapper") == page.data());
    require(!channel.blockUpdates() && page->productVersion() == "1.5.2");
    channel.disconnectFrom(&transport);
    return 0;
}

#include "WebChannelFuzz.moc"
