#include "ui/QMLWrapper.h"

#include "ndi/NdiLibrary.h"
#include "ui/PageInput.h"

#include <QtCore/QDebug>
#include <QtCore/QJsonDocument>
#include <QtCore/QTimer>

#include <cmath>

namespace {

constexpr int kNdiStartDelayMs = 2000; // after the page is ready
// Long enough to gather a Remove All or a slider's steps, short enough for
// the other pages to follow within a tenth of a second.
constexpr int kRoutingChangedAfterMs = 15;
// A meter needs no more than a film's frame rate; the status changes seldom.
constexpr int kLevelsIntervalMs = 50;
constexpr int kStatusIntervalMs = 250;
constexpr qint64 kStatusAtLeastEveryMs = 1000;

QString utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonObject audioConnection(
    const QString& source, uint32_t sourceChannel, const QString& sender, uint32_t senderChannel)
{
    return {{"senderChannel", static_cast<qint64>(senderChannel)}, {"senderName", sender},
        {"sourceChannel", static_cast<qint64>(sourceChannel)}, {"sourceName", source}};
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

// Removes every connection of the sender whose sender channel is `channel` (a number or "Video"); any, when undefined.
void removeAll(QJsonArray& array, const QString& sender, const QJsonValue& channel)
{
    for (qsizetype i = array.size() - 1; i >= 0; --i) {
        const QJsonObject connection = array.at(i).toObject();
        if (connection["senderName"] == sender && (channel.isUndefined() || connection["senderChannel"] == channel))
            array.removeAt(i);
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

QMLWrapper::QMLWrapper(std::string mappingFile) : productVersion(KESTRIX_VERSION)
{
    ndiLibVersion = versionNumber(ndiRuntimeVersion());
    controller = std::make_unique<AudioController>(this, std::move(mappingFile));
    routingChangedTimer.setSingleShot(true);
    routingChangedTimer.setInterval(kRoutingChangedAfterMs);
    connect(&routingChangedTimer, &QTimer::timeout, this, &QMLWrapper::sendRoutingChanged);
    connect(&levelsTimer, &QTimer::timeout, this, &QMLWrapper::sendLevels);
    connect(&statusTimer, &QTimer::timeout, this, [this] { sendStatus(false); });
    levelsSent = levelsDocument({});
    windowPage = std::make_unique<WindowPageBridge>(*this);
    webUIControllerWebChannel.registerObject("qmlWrapper", windowPage.get());
    levelsTimer.start(kLevelsIntervalMs);
    statusTimer.start(kStatusIntervalMs);
}

QMLWrapper::~QMLWrapper()
{
    levelsTimer.stop();
    statusTimer.stop();
    // The controller stops every thread that can call back here before anything else goes.
    controller.reset();
}

// ---------------------------------------------------------------------------
// Slots (user-interface thread)

namespace {

// An audio connection as the page sent it, held to the routing rules.
struct PageConnection {
    std::string source, sender;
    uint32_t sourceChannel = 0, senderChannel = 0;
};

// `sourceRule`: a connection made names a source as the network does; one taken away names what the routing holds.
std::optional<PageConnection> readConnection(const QString& sourceName, const QJsonValue& sourceChannel,
    const QString& senderName, const QJsonValue& senderChannel, PageInput::NameRule sourceRule, std::string& why)
{
    const auto source = PageInput::name(sourceName, sourceRule, why);
    const auto from = source ? PageInput::number(sourceChannel, RoutingRules::checkSourceChannel, why) : std::nullopt;
    const auto sender = from ? PageInput::name(senderName, RoutingRules::checkStoredName, why) : std::nullopt;
    const auto to = sender ? PageInput::number(senderChannel, RoutingRules::checkSenderChannel, why) : std::nullopt;
    if (!to)
        return std::nullopt;
    return PageConnection{*source, *sender, static_cast<uint32_t>(*from), static_cast<uint32_t>(*to)};
}

QJsonObject connectionSent(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
    const QJsonValue& senderChannel)
{
    return {{"senderChannel", senderChannel}, {"senderName", senderName}, {"sourceChannel", sourceChannel},
        {"sourceName", sourceName}};
}

// True when the controller did it; else its reason goes to `why`.
bool accepted(const Outcome& outcome, std::string& why)
{
    if (!outcome)
        why = outcome.reason;
    return static_cast<bool>(outcome);
}

} // namespace

void QMLWrapper::refuse(const char* slot, const std::string& why, QJsonObject sent)
{
    QDebug line = qWarning().noquote();
    line << slot << "refused:";
    // Quoted: the reason may name what the network sent, and a line break in it must not start a log line.
    line.quote() << utf8(why);

    sent["action"] = slot;
    sent["reason"] = utf8(why);
    Q_EMIT changeRefused(compactJson(sent));
}

Outcome QMLWrapper::addConnection(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
    const QJsonValue& senderChannel, ChannelUse use)
{
    std::string why;
    const auto c =
        readConnection(sourceName, sourceChannel, senderName, senderChannel, RoutingRules::checkSourceName, why);
    if (!c || !accepted(controller->addAudioConnection(c->source, c->sourceChannel, c->sender, c->senderChannel), why))
        return Outcome::refused(why);
    {
        std::lock_guard lock(documentsMutex);
        if (use == ChannelUse::Replace)
            removeAll(connectionsJsonArray, senderName, static_cast<qint64>(c->senderChannel));
        connectionsJsonArray.append(audioConnection(sourceName, c->sourceChannel, senderName, c->senderChannel));
    }
    routingChangedSoon();
    return {};
}

void QMLWrapper::connectionAdded(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
    const QJsonValue& senderChannel)
{
    const Outcome done = addConnection(sourceName, sourceChannel, senderName, senderChannel, ChannelUse::Add);
    if (!done)
        refuse("connectionAdded", done.reason, connectionSent(sourceName, sourceChannel, senderName, senderChannel));
}

void QMLWrapper::connectionRemoved(const QString& sourceName, const QJsonValue& sourceChannel,
    const QString& senderName, const QJsonValue& senderChannel)
{
    std::string why;
    const auto c =
        readConnection(sourceName, sourceChannel, senderName, senderChannel, RoutingRules::checkStoredName, why);
    if (!c) {
        refuse("connectionRemoved", why, connectionSent(sourceName, sourceChannel, senderName, senderChannel));
        return;
    }
    controller->removeAudioConnection(c->source, c->sourceChannel, c->sender, c->senderChannel);
    {
        std::lock_guard lock(documentsMutex);
        removeFirst(connectionsJsonArray, audioConnection(sourceName, c->sourceChannel, senderName, c->senderChannel));
    }
    routingChangedSoon();
}

Outcome QMLWrapper::addVideoSource(const QString& sourceName, const QString& senderName, ChannelUse use)
{
    std::string why;
    const auto source = PageInput::name(sourceName, RoutingRules::checkSourceName, why);
    const auto sender = source ? PageInput::name(senderName, RoutingRules::checkStoredName, why) : std::nullopt;
    if (!sender || !accepted(controller->setVideoConnection(*source, *sender), why))
        return Outcome::refused(why);
    qInfo() << "conn added: " << sourceName << "<->" << senderName;
    {
        std::lock_guard lock(documentsMutex);
        if (use == ChannelUse::Replace)
            removeAll(connectionsJsonArray, senderName, "Video");
        connectionsJsonArray.append(videoConnection(sourceName, senderName));
    }
    routingChangedSoon();
    return {};
}

void QMLWrapper::videoConnectionAdded(const QString& sourceName, const QString& senderName)
{
    if (const Outcome done = addVideoSource(sourceName, senderName, ChannelUse::Add); !done)
        refuse("videoConnectionAdded", done.reason, {{"senderName", senderName}, {"sourceName", sourceName}});
}

void QMLWrapper::videoConnectionRemoved(const QString& sourceName, const QString& senderName)
{
    std::string why;
    const auto sender = PageInput::name(senderName, RoutingRules::checkStoredName, why);
    if (!sender) {
        refuse("videoConnectionRemoved", why, {{"senderName", senderName}, {"sourceName", sourceName}});
        return;
    }
    qInfo() << "conn removed: " << sourceName << "<->" << senderName;
    // Waits a block or two at most for the video pass to leave the sender.
    controller->removeVideoConnection(*sender);
    {
        std::lock_guard lock(documentsMutex);
        removeFirst(connectionsJsonArray, videoConnection(sourceName, senderName));
    }
    routingChangedSoon();
}

Outcome QMLWrapper::setDelay(const QString& senderName, const QJsonValue& delay)
{
    std::string why;
    const auto ms = PageInput::number(delay, RoutingRules::checkDelay, why);
    const auto sender = ms ? PageInput::name(senderName, RoutingRules::checkStoredName, why) : std::nullopt;
    if (!sender || !accepted(controller->setAVDelay(*sender, static_cast<int32_t>(*ms)), why))
        return Outcome::refused(why);
    routingChangedSoon();
    return {};
}

void QMLWrapper::setAVDelay(const QString& senderName, const QJsonValue& delay)
{
    if (const Outcome done = setDelay(senderName, delay); !done) {
        QJsonObject sent{{"delay", delay}, {"senderName", senderName}};
        // The page puts its slider back to the delay the sender keeps.
        const auto delays = controller->delaysMilliseconds();
        if (const auto kept = delays.find(senderName.toStdString()); kept != delays.end())
            sent["senderDelay"] = kept->second;
        refuse("setAVDelay", done.reason, sent);
    }
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
    // A page that comes again (reloaded, or after its renderer failed) starts
    // its sliders at 0: it gets the delays the senders keep.
    for (const auto& [sender, ms] : controller->delaysMilliseconds())
        if (ms != 0)
            senderDelayChanged(sender, ms);
    pageCameUp();
}

QString QMLWrapper::pageReady()
{
    QJsonObject documents;
    {
        std::lock_guard lock(documentsMutex);
        documents = {
            {"sources", sourcesJsonObject}, {"senders", sendersJsonObject}, {"connections", connectionsJsonArray}};
    }
    QJsonObject delays;
    for (const auto& [sender, ms] : controller->delaysMilliseconds())
        if (ms != 0)
            delays[utf8(sender)] = ms;
    documents["delays"] = delays;
    pageCameUp();
    return compactJson(documents);
}

void QMLWrapper::pageCameUp()
{
    // A timer of this object, not a thread: it cannot outlive the controller.
    QTimer::singleShot(kNdiStartDelayMs, this, [this] { controller->startNdiProcessing(); });
    // A page that comes again knows nothing of what flows: the next levels go out even if unchanged.
    levelsSent = levelsDocument({});
    sendStatus(true);
}

Outcome QMLWrapper::addSender(const QString& senderName, const QJsonValue& numChannels)
{
    std::string why;
    const auto name = PageInput::name(senderName, RoutingRules::checkNewSenderName, why);
    const auto channels = name ? PageInput::number(numChannels, RoutingRules::checkChannelCount, why) : std::nullopt;
    if (!channels || !accepted(controller->addSender(*name, static_cast<uint32_t>(*channels)), why))
        return Outcome::refused(why);
    {
        std::lock_guard lock(documentsMutex);
        sendersJsonObject[senderName] = static_cast<qint64>(*channels);
    }
    routingChangedSoon();
    return {};
}

void QMLWrapper::senderAdded(const QString& senderName, const QJsonValue& numChannels)
{
    if (const Outcome done = addSender(senderName, numChannels); !done)
        refuse("senderAdded", done.reason, {{"numChannels", numChannels}, {"senderName", senderName}});
}

Outcome QMLWrapper::removeSender(const QString& senderName)
{
    std::string why = "\"Monitor\" stays";
    const auto name = senderName == AudioController::kMonitor
        ? std::nullopt
        : PageInput::name(senderName, RoutingRules::checkStoredName, why);
    if (!name)
        return Outcome::refused(why);
    qInfo() << "senderRemoved" << senderName;
    controller->removeSender(*name);
    {
        std::lock_guard lock(documentsMutex);
        sendersJsonObject.remove(senderName);
        // Its connections go with it (the page removes its rows first).
        removeAll(connectionsJsonArray, senderName, QJsonValue::Undefined);
    }
    routingChangedSoon();
    return {};
}

void QMLWrapper::senderRemoved(const QString& senderName)
{
    if (const Outcome done = removeSender(senderName); !done)
        refuse("senderRemoved", done.reason, {{"senderName", senderName}});
}

Outcome QMLWrapper::disconnectChannel(const QString& senderName, const QJsonValue& senderChannel)
{
    std::string why;
    const auto sender = PageInput::name(senderName, RoutingRules::checkStoredName, why);
    const auto channel =
        sender ? PageInput::number(senderChannel, RoutingRules::checkSenderChannel, why) : std::nullopt;
    if (!channel)
        return Outcome::refused(why);
    controller->removeAudioConnection({}, kNoChannel, *sender, static_cast<uint32_t>(*channel));
    {
        std::lock_guard lock(documentsMutex);
        removeAll(connectionsJsonArray, senderName, static_cast<qint64>(*channel));
    }
    routingChangedSoon();
    return {};
}

Outcome QMLWrapper::setVideoSource(const QString& sourceName, const QString& senderName)
{
    return addVideoSource(sourceName, senderName, ChannelUse::Replace);
}

Outcome QMLWrapper::clearVideoSource(const QString& senderName)
{
    std::string why;
    const auto sender = PageInput::name(senderName, RoutingRules::checkStoredName, why);
    if (!sender)
        return Outcome::refused(why);
    controller->removeVideoConnection(*sender);
    {
        std::lock_guard lock(documentsMutex);
        removeAll(connectionsJsonArray, senderName, "Video");
    }
    routingChangedSoon();
    return {};
}

Outcome QMLWrapper::connectChannel(const QString& sourceName, const QJsonValue& sourceChannel,
    const QString& senderName, const QJsonValue& senderChannel)
{
    return addConnection(sourceName, sourceChannel, senderName, senderChannel, ChannelUse::Replace);
}

QJsonObject QMLWrapper::sourcesDocument()
{
    std::lock_guard lock(documentsMutex);
    return sourcesJsonObject;
}

void QMLWrapper::routingChangedSoon()
{
    if (!routingChangedTimer.isActive())
        routingChangedTimer.start();
}

void QMLWrapper::sendRoutingChanged()
{
    QJsonObject delays;
    for (const auto& [sender, ms] : controller->delaysMilliseconds())
        delays[utf8(sender)] = ms;
    QJsonObject routing{{"delays", delays}};
    {
        std::lock_guard lock(documentsMutex);
        routing["senders"] = sendersJsonObject;
        routing["connections"] = connectionsJsonArray;
    }
    Q_EMIT routingChanged(compactJson(routing));
}

void QMLWrapper::setFileDialogs(FileDialogs* dialogs, QString reasonWithout)
{
    fileDialogs = dialogs;
    noFileDialogsReason = std::move(reasonWithout);
}

void QMLWrapper::offerPageSharing(std::function<void(bool)> toggle)
{
    pageSharingToggle = std::move(toggle);
}

void QMLWrapper::setPageSharing(const QJsonObject& state)
{
    if (state == pageSharingState)
        return;
    pageSharingState = state;
    Q_EMIT pageSharingChanged();
}

QString QMLWrapper::pageSharing() const
{
    return compactJson(pageSharingState);
}

void QMLWrapper::sharePage(bool on)
{
    if (pageSharingToggle)
        pageSharingToggle(on);
}

void QMLWrapper::reportFile(const char* action, const QString& path, const std::optional<Outcome>& outcome)
{
    Q_EMIT fileOperationDone(compactJson(QJsonObject{{"action", action}, {"cancelled", !outcome},
        {"done", outcome && *outcome}, {"path", path}, {"reason", outcome ? utf8(outcome->reason) : QString()}}));
}

void QMLWrapper::loadFileButtonPressed()
{
    if (fileDialogs == nullptr) {
        reportFile("load", {}, Outcome::refused(noFileDialogsReason.toStdString()));
        return;
    }
    const QString path = fileDialogs->pathToLoad();
    if (path.isEmpty()) {
        qWarning() << "File path is empty";
        reportFile("load", path, std::nullopt);
        return;
    }
    reportFile("load", path, controller->readMappingFile(path.toStdString()));
}

void QMLWrapper::saveFileButtonPressed()
{
    const std::string path = controller->mappingFilePath();
    const Outcome saved = controller->writeMappingFile(path);
    if (saved)
        qInfo() << "Saved to" << utf8(path);
    reportFile("save", utf8(path), saved);
}

void QMLWrapper::saveAsFileButtonPressed()
{
    if (fileDialogs == nullptr) {
        reportFile("saveAs", {}, Outcome::refused(noFileDialogsReason.toStdString()));
        return;
    }
    const QString path = fileDialogs->pathToSaveAs();
    if (path.isEmpty()) {
        reportFile("saveAs", path, std::nullopt);
        return;
    }
    const Outcome saved = controller->writeMappingFile(path.toStdString());
    if (saved)
        controller->setMappingFilePath(path.toStdString());
    reportFile("saveAs", path, saved);
}

void QMLWrapper::previewSource(const QString& sourceName)
{
    std::string why;
    const auto source = sourceName.isEmpty() ? std::optional<std::string>(std::string())
                                             : PageInput::name(sourceName, RoutingRules::checkSourceName, why);
    if (!source || !accepted(controller->previewSource(*source), why))
        refuse("previewSource", why, {{"sourceName", sourceName}});
}

// ---------------------------------------------------------------------------
// Levels and status (user-interface thread, on the timers)

namespace {

// The test tools' scale: 10.0 is 0 dBFS, and an RMS reads 3 dB up (AES17),
// so that a sine reads the same on both.
constexpr double kAes17Db = 3.0103; // 20·log10(√2)

double dbfs(float linear, double offsetDb = 0)
{
    const double db = linear > 0 ? 20.0 * std::log10(static_cast<double>(linear) / 10.0) + offsetDb : kSilenceDbfs;
    return std::round(std::max(db, kSilenceDbfs) * 10.0) / 10.0;
}

// Channels by name; a name whose channels all received nothing is left out.
QJsonObject levelsOf(const std::map<std::string, RoutingCore::ChannelLevelList>& streams)
{
    QJsonObject result;
    for (const auto& [name, channels] : streams) {
        QJsonArray values;
        bool any = false;
        for (const auto& level : channels) {
            any = any || level.has_value();
            values.append(level ? QJsonValue(QJsonArray{dbfs(level->peak), dbfs(level->rms, kAes17Db)}) : QJsonValue());
        }
        if (any)
            result[utf8(name)] = values;
    }
    return result;
}

double share(double load)
{
    return std::round(load * 1000.0) / 1000.0;
}

// Seconds as milliseconds to the microsecond.
double milliseconds(double seconds)
{
    return std::round(seconds * 1e6) / 1000.0;
}

QString scheduling(const RealtimeScheduling::Grant& grant)
{
    return grant.realtime ? QString("%1 %2").arg(utf8(grant.policy)).arg(grant.priority) : QString("ordinary");
}

// What moves with every block: sent once a second, never a reason to send.
QJsonObject withoutCounters(QJsonObject status)
{
    QJsonObject engine = status["engine"].toObject();
    for (const char* key : {"blockLoadMedian", "blockLoadP99", "blocks", "clockLatenessMedianMs", "clockLatenessP99Ms",
             "clockLatenessMaxMs"})
        engine.remove(key);
    status["engine"] = engine;
    QJsonObject senders = status["senders"].toObject();
    for (auto sender = senders.begin(); sender != senders.end(); ++sender) {
        QJsonObject fields = sender.value().toObject();
        fields.remove("audioBlocksSent");
        fields.remove("videoFramesSent");
        sender.value() = fields;
    }
    status["senders"] = senders;
    return status;
}

} // namespace

QJsonObject levelsDocument(const RoutingCore::Levels& levels)
{
    return {{"senders", levelsOf(levels.senders)}, {"sources", levelsOf(levels.sources)}};
}

QJsonObject statusDocument(const AudioController::Status& status)
{
    const RoutingCore::BlockStats& blocks = status.routing.blocks;
    QJsonObject engine{{"runtime", utf8(status.runtime)}, {"runtimeVersion", utf8(status.runtimeVersion)},
        {"clock", status.hardwareClock ? "hardware" : "software"}, {"clockStandsIn", status.clockStandsIn},
        {"outputDevice", utf8(status.outputDevice)}, {"blockLoadMedian", share(blocks.medianLoad)},
        {"blockLoadP99", share(blocks.p99Load)}, {"lateBlocks", static_cast<qint64>(blocks.lateBlocks)},
        {"blocks", static_cast<qint64>(blocks.blocks)}, {"clockScheduling", scheduling(status.clockScheduling)},
        {"captureScheduling", scheduling(status.routing.captureScheduling)},
        {"captureDropouts", static_cast<qint64>(blocks.captureDropouts)}};
    // The software clock's own timing; a sound output keeps its own time.
    const auto& clock = status.softwareClock;
    engine["clockLatenessMedianMs"] = clock ? QJsonValue(milliseconds(clock->medianLateness)) : QJsonValue();
    engine["clockLatenessP99Ms"] = clock ? QJsonValue(milliseconds(clock->p99Lateness)) : QJsonValue();
    engine["clockLatenessMaxMs"] = clock ? QJsonValue(milliseconds(clock->maxLateness)) : QJsonValue();
    engine["clockLateBlocks"] = clock ? QJsonValue(static_cast<qint64>(clock->lateBlocks)) : QJsonValue();
    QJsonObject sources;
    for (const auto& [name, source] : status.routing.sources)
        sources[utf8(name)] = QJsonObject{{"online", source.online},
            {"channels", static_cast<int32_t>(source.channelCount)}, // -1: still being probed
            {"sampleRate", source.sampleRate}, {"receiving", source.receiving},
            {"dropouts", static_cast<qint64>(source.recentDropouts)},
            {"captureDropouts", static_cast<qint64>(source.captureDropouts)}};
    QJsonObject senders;
    for (const auto& [name, sender] : status.routing.senders)
        senders[utf8(name)] = QJsonObject{{"channels", static_cast<qint64>(sender.channels)},
            {"connections", sender.connections}, {"audioBlocksSent", static_cast<qint64>(sender.audioBlocksSent)},
            {"videoFramesSent", static_cast<qint64>(sender.videoFramesSent)}, {"videoLive", sender.videoLive}};
    // The file a kill or a power cut would leave: whether it is being kept, and why not.
    const QJsonObject mappingFile{{"path", utf8(status.mappingFile)},
        {"writeFailing", status.mappingFileWriteError.has_value()},
        {"writeError", utf8(status.mappingFileWriteError.value_or(""))}};
    return {{"engine", engine}, {"mappingFile", mappingFile}, {"senders", senders}, {"sources", sources}};
}

void QMLWrapper::sendLevels()
{
    const QJsonObject levels = levelsDocument(controller->levels());
    // Nothing flowing, or the same levels again: the page's meters already show them.
    if (levels == levelsSent)
        return;
    levelsSent = levels;
    Q_EMIT levelsUpdated(compactJson(levels));
}

void QMLWrapper::sendStatus(bool evenIfUnchanged)
{
    const QJsonObject status = statusDocument(controller->status());
    QJsonObject state = withoutCounters(status);
    const bool due = !sinceStatusSent.isValid() || sinceStatusSent.elapsed() >= kStatusAtLeastEveryMs;
    if (!evenIfUnchanged && !due && state == statusSent)
        return;
    statusSent = std::move(state);
    sinceStatusSent.start();
    Q_EMIT statusUpdated(compactJson(status));
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
                connections.append(audioConnection(
                    utf8(channels[i].sourceName), channels[i].sourceChannel, sender, static_cast<uint32_t>(i)));
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
