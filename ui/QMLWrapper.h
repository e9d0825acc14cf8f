#pragma once

#include "engine/AudioController.h"
#include "ui/FileDialogs.h"
#include "ui/PageBridge.h"
#include "ui/WebUIControllerWebChannel.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonObject>
#include <QtCore/QJsonValue>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QTimer>

#include <functional>
#include <memory>
#include <mutex>

// The one object the routing page talks to. It turns the controller's reports
// into three JSON documents (sources, senders, connections) sent to the page,
// and the page's actions into controller operations.
//
// Every change the page asks for is held to the routing rules (through
// ui/PageInput) and to the routing; a refused one changes nothing, is logged
// and is answered with changeRefused. The file buttons are answered with
// fileOperationDone.
//
// What flows is pulled from the controller by two timers of this object:
// levelsUpdated about 20 times a second while the levels change, and
// statusUpdated once a second and whenever the state changes (the README
// gives both formats).
//
// Several pages may be open at once (the window, browsers of the server): a
// change one of them makes reaches the others as routingChanged, and a page
// that comes up gets the documents from pageReady, so the pages already up
// are left as they are.
//
// Threads: slots run on the user-interface thread; the listener operations
// run on the audio, probe and delay threads. Every read or write of the
// documents is under documentsMutex, a leaf lock: nothing else is locked or
// waited for while it is held. Signals emitted on other threads reach the
// page on the user-interface thread.
class QMLWrapper : public QObject, public AudioController::Listener {
    Q_OBJECT
    Q_PROPERTY(
        WebUIControllerWebChannel* webUIControllerWebChannel READ channel NOTIFY webUIControllerWebChannelChanged)
    Q_PROPERTY(QString productVersion READ version NOTIFY productVersionChanged)
    Q_PROPERTY(QString ndiLibVersion READ ndiVersion NOTIFY ndiLibVersionChanged)
    Q_PROPERTY(QString getTitle READ title NOTIFY getTitleChanged)
    // Whether this program can share its page over HTTP, and how it does: see setPageSharing.
    Q_PROPERTY(QString pageSharing READ pageSharing NOTIFY pageSharingChanged)

public:
    // Starts the router with `mappingFile` as its automatic mapping file.
    explicit QMLWrapper(std::string mappingFile = AudioController::defaultMappingFilePath());
    ~QMLWrapper() override;

    // The window's channel: it publishes the page's facade (ui/PageBridge), never this object.
    WebUIControllerWebChannel* channel() { return &webUIControllerWebChannel; }
    QString title() const { return "Vireo"; }
    QString version() const { return productVersion; }
    QString ndiVersion() const { return ndiLibVersion; }
    AudioController& routing() { return *controller; }

    // The last word of an NDI runtime's version text.
    static QString versionNumber(const std::string& versionText);

    // The dialogs Load and Save As ask with (not owned; null for none). Without
    // them those buttons are answered with `reasonWithout`.
    void setFileDialogs(FileDialogs* dialogs, QString reasonWithout);

    // The page's share switch: `toggle` turns sharing on or off; without it the
    // switch is not offered. The state is {"available", "on", "address",
    // "tokenFile", "reason"}, as its owner reports it.
    void offerPageSharing(std::function<void(bool on)> toggle);
    void setPageSharing(const QJsonObject& state);
    QString pageSharing() const;

    // The changes the page's slots make, for other clients (the server's API):
    // the same checks and documents, and the same signals to the pages; the
    // reason when refused. Here a connection or a video source replaces what
    // the sender channel carried. User-interface thread.
    Outcome connectChannel(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
        const QJsonValue& senderChannel);
    Outcome disconnectChannel(const QString& senderName, const QJsonValue& senderChannel);
    Outcome setVideoSource(const QString& sourceName, const QString& senderName);
    Outcome clearVideoSource(const QString& senderName);
    Outcome addSender(const QString& senderName, const QJsonValue& numChannels);
    Outcome removeSender(const QString& senderName);
    Outcome setDelay(const QString& senderName, const QJsonValue& delay);
    // Any thread: a copy of the sources document.
    QJsonObject sourcesDocument();

Q_SIGNALS:
    void webUIControllerWebChannelChanged();
    void productVersionChanged();
    void ndiLibVersionChanged();
    void getTitleChanged();
    void sourcesUpdated(QString sourcesJson);
    void sendersUpdated(QString sendersJson);
    void connectionsUpdated(QString connectionsJson);
    void setAVDelaySignal(QString senderDelay);
    // A change the page asked for was refused: {"action": the slot, "reason":
    // why, and the slot's arguments as sent, by the names the page uses}; a
    // refused setAVDelay also carries "senderDelay", the delay the sender keeps.
    void changeRefused(QString refusal);
    // What came of a file button: {"action": "load", "save" or "saveAs",
    // "cancelled": the dialog was closed, "done": it worked, "path", "reason": why it failed}.
    void fileOperationDone(QString outcome);
    // The levels since the last one, sent only when they changed: see levelsDocument.
    void levelsUpdated(QString levelsJson);
    // The state of the sources, the senders and the engine: see statusDocument.
    void statusUpdated(QString statusJson);
    // The routing changed through a page or another client: {"senders":
    // sendersJson's object, "connections": connectionsJson's array, "delays":
    // {sender: milliseconds}}. Changes close together are sent once.
    void routingChanged(QString routingJson);
    void pageSharingChanged();

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
    // The source selected on the page is received for its meters; "" for none.
    void previewSource(const QString& sourceName);
    // For a page that is ready: uiReady's work, with the documents answered to
    // that page alone rather than sent to every page: {"sources", "senders",
    // "connections", "delays": {sender: milliseconds, those not 0}}.
    QString pageReady();
    // The page's share switch.
    void sharePage(bool on);

private:
    // AudioController::Listener
    void routingPublished(const SenderChannelMappings& mappings, const SenderVideoSources& video) override;
    void sourceAdded(const std::string& source, uint32_t channelCount) override;
    void sourceRemoved(const std::string& source) override;
    void sourceChannelCountChanged(const std::string& source, uint32_t channelCount) override;
    void senderDelayChanged(const std::string& sender, int32_t milliseconds) override;

    // Logs a refused change and tells the page why, with what it sent.
    void refuse(const char* slot, const std::string& why, QJsonObject sent);
    // Tells the page what came of a file button; no outcome: the dialog was cancelled.
    void reportFile(const char* action, const QString& path, const std::optional<Outcome>& outcome);
    // Under documentsMutex: sets or removes a source and sends the document if it changed.
    void updateSource(const QString& name, std::optional<int> count);
    // User-interface thread, on the timers.
    void sendLevels();
    void sendStatus(bool evenIfUnchanged);

    enum class ChannelUse { Add, Replace };
    Outcome addConnection(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
        const QJsonValue& senderChannel, ChannelUse use);
    Outcome addVideoSource(const QString& sourceName, const QString& senderName, ChannelUse use);
    // User-interface thread: routingChanged goes out once the changes close to this one are made.
    void routingChangedSoon();
    void sendRoutingChanged();
    // What follows a page's coming up, whichever way it asked for the documents.
    void pageCameUp();

    WebUIControllerWebChannel webUIControllerWebChannel;
    std::unique_ptr<WindowPageBridge> windowPage; // what the window's channel publishes
    QString productVersion;
    QString ndiLibVersion;
    std::unique_ptr<AudioController> controller;
    QJsonObject sourcesJsonObject;
    QJsonObject sendersJsonObject;
    QJsonArray connectionsJsonArray;
    std::mutex documentsMutex;

    // User-interface thread only.
    QTimer levelsTimer;
    QTimer statusTimer;
    QJsonObject levelsSent;
    QJsonObject statusSent; // without its counters that move every block
    QElapsedTimer sinceStatusSent;
    FileDialogs* fileDialogs = nullptr;
    QString noFileDialogsReason = "there is no file dialog here";
    QTimer routingChangedTimer;
    std::function<void(bool)> pageSharingToggle;
    QJsonObject pageSharingState{{"available", false}};
};

// The levels as the page receives them: {"sources": {name: channels},
// "senders": {name: channels}}, each channel [peak, RMS] in dBFS rounded to
// 0.1 (the RMS to AES17, as kestrix-probe reads it; kSilenceDbfs for digital
// silence) or null where nothing arrived; a source or sender that received
// nothing on any channel is left out.
QJsonObject levelsDocument(const RoutingCore::Levels& levels);
// The state as the page receives it: {"engine": {...}, "sources": {name:
// {...}}, "senders": {name: {...}}}; the README lists the keys.
QJsonObject statusDocument(const AudioController::Status& status);
// The floor of the levels: what digital silence reads.
inline constexpr double kSilenceDbfs = -100.0;

// A JSON document in the compact form the page receives.
QString compactJson(const QJsonObject& object);
QString compactJson(const QJsonArray& array);
