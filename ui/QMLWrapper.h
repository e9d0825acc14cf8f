#pragma once

#include "engine/AudioController.h"
#include "ui/WebUIControllerWebChannel.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonObject>
#include <QtCore/QJsonValue>
#include <QtCore/QObject>
#include <QtCore/QString>

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
// Threads: slots run on the user-interface thread; the listener operations
// run on the audio, probe and delay threads. Every read or write of the
// documents is under documentsMutex, a leaf lock: nothing else is locked or
// waited for while it is held. Signals emitted on other threads reach the
// page on the user-interface thread.
class QMLWrapper : public QObject, public AudioController::Listener {
    Q_OBJECT
    Q_PROPERTY(WebUIControllerWebChannel* webUIControllerWebChannel READ channel NOTIFY webUIControllerWebChannelChanged)
    Q_PROPERTY(QString productVersion MEMBER productVersion NOTIFY productVersionChanged)
    Q_PROPERTY(QString ndiLibVersion MEMBER ndiLibVersion NOTIFY ndiLibVersionChanged)
    Q_PROPERTY(QString getTitle READ title NOTIFY getTitleChanged)

public:
    QMLWrapper();
    ~QMLWrapper() override;

    WebUIControllerWebChannel* channel() { return &webUIControllerWebChannel; }
    QString title() const { return "Vireo"; }
    AudioController& routing() { return *controller; }

    // The last word of an NDI runtime's version text.
    static QString versionNumber(const std::string& versionText);

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

    WebUIControllerWebChannel webUIControllerWebChannel;
    QString productVersion;
    QString ndiLibVersion;
    std::unique_ptr<AudioController> controller;
    QJsonObject sourcesJsonObject;
    QJsonObject sendersJsonObject;
    QJsonArray connectionsJsonArray;
    std::mutex documentsMutex;
};

// A JSON document in the compact form the page receives.
QString compactJson(const QJsonObject& object);
QString compactJson(const QJsonArray& array);
