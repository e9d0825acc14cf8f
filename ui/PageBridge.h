#pragma once

// Threads: user-interface thread (built, called and destroyed there, as the bridge is).

#include <QtCore/QJsonValue>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QStringList>

// What one page sees of the bridge on its web channel, published as
// "qmlWrapper": the page's properties (read-only), signals and slots, and
// nothing else. The bridge's own object is never handed to a page, so no
// message can write its properties, reach its channel or destroy it; each
// page (the window's, every browser's) gets a facade and a channel of its own,
// so what one page connects, blocks or breaks stays with that page.
//
// The facade forwards by name to the bridge's meta-object (QMLWrapper, or a
// stand-in with the same surface): its signals are the bridge's signals
// passed on, its slots call the bridge's slots of the same signature.
class PageBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString productVersion READ productVersion NOTIFY productVersionChanged)
    Q_PROPERTY(QString ndiLibVersion READ ndiLibVersion NOTIFY ndiLibVersionChanged)
    Q_PROPERTY(QString getTitle READ getTitle NOTIFY getTitleChanged)

public:
    explicit PageBridge(QObject& bridge);

    // The signals and slots of this facade that `bridge` lacks (logged when built); none for QMLWrapper.
    QStringList missing() const { return absent; }

    QString productVersion() const;
    QString ndiLibVersion() const;
    QString getTitle() const;

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
    void connectionAdded(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
        const QJsonValue& senderChannel);
    void connectionRemoved(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
        const QJsonValue& senderChannel);
    void videoConnectionAdded(const QString& sourceName, const QString& senderName);
    void videoConnectionRemoved(const QString& sourceName, const QString& senderName);
    void setAVDelay(const QString& senderName, const QJsonValue& delay);
    void console(const QString& msg);
    void uiReady();
    void senderAdded(const QString& senderName, const QJsonValue& numChannels);
    void senderRemoved(const QString& senderName);
    void loadFileButtonPressed();
    void saveFileButtonPressed();
    void saveAsFileButtonPressed();
    void previewSource(const QString& sourceName);
    QString pageReady();

protected:
    // Passes on the bridge's signals that `surface` declares and notes what the bridge lacks.
    void forwardFrom(const QMetaObject& surface);
    // Calls the bridge's slot `name` with `arguments`.
    template <typename... Arguments> void call(const char* name, const Arguments&... arguments);
    QString text(const char* property) const;

    QObject& bridge;

private:
    QStringList absent;
};

// The window's page: the facade and the window's share switch.
class WindowPageBridge : public PageBridge {
    Q_OBJECT
    Q_PROPERTY(QString pageSharing READ pageSharing NOTIFY pageSharingChanged)

public:
    explicit WindowPageBridge(QObject& bridge);

    QString pageSharing() const;

Q_SIGNALS:
    void pageSharingChanged();

public Q_SLOTS:
    void sharePage(bool on);
};
