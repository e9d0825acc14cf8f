#include "ui/QMLWrapper.h"

#include "ndi/NdiLibrary.h"
#include "ui/PageInput.h"

#include <QtCore/QDebug>
#include <QtCore/QJsonDocument>
#include <QtCore/QTimer>
#include <QtWidgets/QFileDialog>

namespace {

constexpr int kNdiStartDelayMs = 2000; // after the page is ready

QString utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonObject audioConnection(const QString& source, uint32_t sourceChannel, const QString& sender,
                            uint32_t senderChannel)
{
    return {{"senderChannel", static_cast<qint64>(senderChannel)},
            {"senderName", sender},
            {"sourceChannel", static_cast<qint64>(sourceChannel)},
            {"sourceName", source}};
}

QJsonObject videoConnection(const QString& source, const QString& sender)
{
    return {{"senderChannel", "Video"}, {"senderName", sender}, {"sourceChannel", "Video"}, {"sourceName", source}};
}

void removeFirst(QJsonArray& array, const QJsonObject& element)
{
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (array.at(i) == element) {
            array.removeAt(i);
            return;
        }
    }
}

} // namespace

QString compactJson(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString compactJson(const QJsonArray& array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QString QMLWrapper::versionNumber(const std::string& versionText)
{
    return utf8(versionText).split(' ', Qt::KeepEmptyParts).last();
}

QMLWrapper::QMLWrapper()
    : productVersion("1.5.2")
{
    webUIControllerWebChannel.registerObject("qmlWrapper", this);
    ndiLibVersion = versionNumber(ndiRuntimeVersion());
    controller = std::make_unique<AudioController>(this);
}

QMLWrapper::~QMLWrapper()
{
    // The controller stops every thread that can call back here before anything else goes.
    controller.reset();
}

// ---------------------------------------------------------------------------
// Slots (user-interface thread)

bool QMLWrapper::acceptConnection(const char* slot, const QString& sourceName, const QJsonValue& sourceChannel,
                                  const QString& senderName, const QJsonValue& senderChannel, uint32_t& source,
                                  uint32_t& sender)
{
    QString why;
    const auto from = PageInput::wholeNumber(sourceChannel, 0, kNoChannel - 1, why);
    const auto to = from ? PageInput::wholeNumber(senderChannel, 0, SenderState::kMaxChannels - 1, why) : std::nullopt;
    if (!from || !to || !PageInput::isAcceptableName(sourceName, why) || !PageInput::isAcceptableName(senderName, why)) {
        qWarning().noquote() << slot << "refused:" << why;
        return false;
    }
    source = static_cast<uint32_t>(*from);
    sender = static_cast<uint32_t>(*to);
    return true;
}

void QMLWrapper::connectionAdded(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
                                 const QJsonValue& senderChannel)
{
    uint32_t source = 0, sender = 0;
    if (!acceptConnection("connectionAdded", sourceName, sourceChannel, senderName, senderChannel, source, sender))
        return;
    controller->addAudioConnection(sourceName.toStdString(), source, senderName.toStdString(), sender);
    std::lock_guard lock(documentsMutex);
    connectionsJsonArray.append(audioConnection(sourceName, source, senderName, sender));
}

void QMLWrapper::connectionRemoved(const QString& sourceName, const QJsonValue& sourceChannel,
                                   const QString& senderName, const QJsonValue& senderChannel)
{
    uint32_t source = 0, sender = 0;
    if (!acceptConnection("connectionRemoved", sourceName, sourceChannel, senderName, senderChannel, source, sender))
        return;
    controller->removeAudioConnection(sourceName.toStdString(), source, senderName.toStdString(), sender);
    std::lock_guard lock(documentsMutex);
    removeFirst(connectionsJsonArray, audioConnection(sourceName, source, senderName, sender));
}

void QMLWrapper::videoConnectionAdded(const QString& sourceName, const QString& senderName)
{
    QString why;
    if (!PageInput::isAcceptableName(sourceName, why) || !PageInput::isAcceptableName(senderName, why)) {
        qWarning().noquote() << "videoConnectionAdded refused:" << why;
        return;
    }
    qInfo() << "conn added: " << sourceName << "<->" << senderName;
    controller->setVideoConnection(sourceName.toStdString(), senderName.toStdString());
    std::lock_guard lock(documentsMutex);
    connectionsJsonArray.append(videoConnection(sourceName, senderName));
}

void QMLWrapper::videoConnectionRemoved(const QString& sourceName, const QString& senderName)
{
    QString why;
    if (!PageInput::isAcceptableName(senderName, why)) {
        qWarning().noquote() << "videoConnectionRemoved refused:" << why;
        return;
    }
    qInfo() << "conn removed: " << sourceName << "<->" << senderName;
    // Waits a block or two at most for the video pass to leave the sender.
    controller->removeVideoConnection(senderName.toStdString());
    std::lock_guard lock(documentsMutex);
    removeFirst(connectionsJsonArray, videoConnection(sourceName, senderName));
}

void QMLWrapper::setAVDelay(const QString& senderName, const QJsonValue& delay)
{
    QString why;
    const auto ms = PageInput::wholeNumber(delay, -PageInput::kMaxDelayMs, PageInput::kMaxDelayMs, why);
    if (!ms || !PageInput::isAcceptableName(senderName, why)) {
        qWarning().noquote() << "setAVDelay refused:" << why;
        return;
    }
    controller->setAVDelay(senderName.toStdString(), static_cast<int32_t>(*ms));
}

void QMLWrapper::console(const QString& msg)
{
    qDebug() << msg;
}

void QMLWrapper::uiReady()
{
    {
        std::lock_guard lock(documentsMutex);
        Q_EMIT sourcesUpdated(compactJson(sourcesJsonObject));
        Q_EMIT sendersUpdated(compactJson(sendersJsonObject));
        Q_EMIT connectionsUpdated(compactJson(connectionsJsonArray));
    }
    // A timer of this object, not a thread: it cannot outlive the controller.
    QTimer::singleShot(kNdiStartDelayMs, this, [this] { controller->startNdiProcessing(); });
}

void QMLWrapper::senderAdded(const QString& senderName, const QJsonValue& numChannels)
{
    QString why;
    const auto channels = PageInput::wholeNumber(numChannels, 0, SenderState::kMaxChannels, why);
    if (!channels || !PageInput::isAcceptableNewSenderName(senderName, why)) {
        qWarning().noquote() << "senderAdded refused:" << why;
        return;
    }
    controller->addSender(senderName.toStdString(), static_cast<uint32_t>(*channels));
    std::lock_guard lock(documentsMutex);
    sendersJsonObject[senderName] = static_cast<qint64>(*channels);
}

void QMLWrapper::senderRemoved(const QString& senderName)
{
    QString why;
    if (senderName == "Monitor" || !PageInput::isAcceptableName(senderName, why)) {
        qWarning().noquote() << "senderRemoved refused:" << (why.isEmpty() ? "\"Monitor\" stays" : why);
        return;
    }
    qInfo() << "senderRemoved" << senderName;
    controller->removeSender(senderName.toStdString());
    std::lock_guard lock(documentsMutex);
    sendersJsonObject.remove(senderName);
}

void QMLWrapper::loadFileButtonPressed()
{
    const QString path = QFileDialog::getOpenFileName(nullptr, tr("Open File"), "/home", tr("Config file (*.ploverc)"));
    if (path.isEmpty()) {
        qWarning() << "File path is empty";
        return;
    }
    controller->readMappingFile(path.toStdString());
}

void QMLWrapper::saveFileButtonPressed()
{
    const std::string path = controller->mappingFilePath();
    controller->writeMappingFile(path);
    qInfo() << "Saved to" << utf8(path);
}

void QMLWrapper::saveAsFileButtonPressed()
{
    const QString path = QFileDialog::getSaveFileName(nullptr, tr("Open File"), "/home", tr("Config file (*.ploverc)"));
    if (path.isEmpty())
        return;
    if (controller->writeMappingFile(path.toStdString()))
        controller->setMappingFilePath(path.toStdString());
}

// ---------------------------------------------------------------------------
// Reports of the controller (other threads)

void QMLWrapper::routingPublished(const SenderChannelMappings& mappings, const SenderVideoSources& video)
{
    QJsonObject senders;
    QJsonArray connections;
    for (const auto& [name, channels] : mappings) {
        const QString sender = utf8(name);
        senders[sender] = static_cast<qint64>(channels.size());
        for (size_t i = 0; i < channels.size(); ++i)
            if (channels[i].sourceChannel != kNoChannel)
                connections.append(
                    audioConnection(utf8(channels[i].sourceName), channels[i].sourceChannel, sender, static_cast<uint32_t>(i)));
        if (name == AudioController::kMonitor)
            continue; // played locally: never carries pictures
        const auto source = video.find(name);
        if (source != video.end() && !source->second.empty())
            connections.append(videoConnection(utf8(source->second), sender));
    }
    std::lock_guard lock(documentsMutex);
    sendersJsonObject = senders;
    connectionsJsonArray = connections;
    Q_EMIT sendersUpdated(compactJson(sendersJsonObject));
    Q_EMIT connectionsUpdated(compactJson(connectionsJsonArray));
}

void QMLWrapper::updateSource(const QString& name, std::optional<int> count)
{
    std::lock_guard lock(documentsMutex);
    const QJsonObject before = sourcesJsonObject;
    if (count)
        sourcesJsonObject[name] = *count;
    else
        sourcesJsonObject.remove(name);
    // An unchanged document would only rebuild the page's tree under the user's hands.
    if (sourcesJsonObject != before)
        Q_EMIT sourcesUpdated(compactJson(sourcesJsonObject));
}

void QMLWrapper::sourceAdded(const std::string& source, uint32_t channelCount)
{
    updateSource(utf8(source), static_cast<int32_t>(channelCount));
}

void QMLWrapper::sourceRemoved(const std::string& source)
{
    updateSource(utf8(source), std::nullopt);
}

void QMLWrapper::sourceChannelCountChanged(const std::string& source, uint32_t channelCount)
{
    updateSource(utf8(source), static_cast<int32_t>(channelCount));
}

void QMLWrapper::senderDelayChanged(const std::string& sender, int32_t milliseconds)
{
    Q_EMIT setAVDelaySignal(compactJson(QJsonObject{{"senderDelay", milliseconds}, {"senderName", utf8(sender)}}));
}
