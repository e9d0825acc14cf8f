#include "server/RoutingApi.h"

#include "engine/RoutingRules.h"
#include "ui/PageInput.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>

namespace {

QString utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

RoutingApi::Reply failure(int status, const QString& why)
{
    return {status, {{"error", why}}};
}

RoutingApi::Reply fromOutcome(const Outcome& outcome)
{
    return outcome ? RoutingApi::Reply{200, {{"done", true}}} : failure(400, utf8(outcome.reason));
}

QString quoted(const QString& name)
{
    return "\"" + name + "\"";
}

// A field of the request that must be a text; the reason, when it is not.
std::optional<QString> textField(const QJsonObject& request, const char* key, QString& why)
{
    const QJsonValue value = request[key];
    if (!value.isString()) {
        why = QString("\"%1\" must be a text").arg(key);
        return std::nullopt;
    }
    return value.toString();
}

// The name is checked by the routing rules first: a name no router could hold is refused, not looked for.
bool wellFormed(const QString& name, RoutingRules::Verdict (*rule)(std::string_view), QString& why)
{
    if (auto refused = rule(name.toStdString())) {
        why = utf8(*refused);
        return false;
    }
    return true;
}

} // namespace

RoutingApi::RoutingApi(QMLWrapper& routingBridge, QString showsFolder)
    : bridge(routingBridge), shows(std::move(showsFolder))
{
}

QJsonObject RoutingApi::sources()
{
    const QJsonObject found = bridge.sourcesDocument();
    const RoutingSnapshot routing = bridge.routing().routingSnapshot();
    QJsonArray list;
    for (auto source = found.begin(); source != found.end(); ++source) {
        const int channels = source.value().toInt();
        const auto used = routing.useCounts.find(source.key().toStdString());
        list.append(
            QJsonObject{{"name", source.key()}, {"channels", channels < 0 ? QJsonValue() : QJsonValue(channels)},
                {"state", channels < 0 ? "probing" : "ready"},
                {"routed", used != routing.useCounts.end() && used->second > 0}});
    }
    return {{"sources", list}};
}

namespace {

QJsonArray senderList(const RoutingSnapshot& routing, const std::map<std::string, int32_t>& delays)
{
    QJsonArray list;
    for (const auto& [name, channels] : routing.mappings) {
        const auto video = routing.videoSources.find(name);
        const auto delay = delays.find(name);
        list.append(QJsonObject{{"name", utf8(name)}, {"channels", static_cast<qint64>(channels.size())},
            {"delayMs", delay == delays.end() ? 0 : delay->second},
            {"videoSource",
                video == routing.videoSources.end() || video->second.empty() ? QJsonValue()
                                                                             : QJsonValue(utf8(video->second))}});
    }
    return list;
}

} // namespace

QJsonObject RoutingApi::senders()
{
    return {{"senders", senderList(bridge.routing().routingSnapshot(), bridge.routing().delaysMilliseconds())}};
}

QJsonObject RoutingApi::routing()
{
    const RoutingSnapshot routing = bridge.routing().routingSnapshot();
    QJsonArray connections;
    for (const auto& [sender, channels] : routing.mappings)
        for (size_t i = 0; i < channels.size(); ++i)
            if (channels[i].sourceChannel != kNoChannel)
                connections.append(QJsonObject{{"senderName", utf8(sender)}, {"senderChannel", static_cast<qint64>(i)},
                    {"sourceName", utf8(channels[i].sourceName)},
                    {"sourceChannel", static_cast<qint64>(channels[i].sourceChannel)}});
    return {{"senders", senderList(routing, bridge.routing().delaysMilliseconds())}, {"connections", connections}};
}

QJsonObject RoutingApi::status()
{
    return statusDocument(bridge.routing().status());
}

RoutingApi::Reply RoutingApi::call(const QByteArray& method, const QString& path, const QByteArray& body)
{
    if (method == "GET") {
        if (path == "/sources")
            return {200, sources()};
        if (path == "/senders")
            return {200, senders()};
        if (path == "/routing")
            return {200, routing()};
        if (path == "/status")
            return {200, status()};
    }
    static const QStringList changes{"/connect", "/disconnect", "/senders/add", "/senders/remove", "/senders/delay",
        "/senders/video", "/mapping/load", "/mapping/save"};
    if (!changes.contains(path))
        return QStringList{"/sources", "/senders", "/routing", "/status"}.contains(path)
            ? failure(405, "this call is read with GET")
            : failure(404, "there is no call " + quoted("/api/v1" + path));
    if (method != "POST")
        return failure(405, "this call is made with POST");
    QJsonParseError error;
    const QJsonDocument request = QJsonDocument::fromJson(body.isEmpty() ? QByteArray("{}") : body, &error);
    if (error.error != QJsonParseError::NoError || !request.isObject())
        return failure(400, "the body must be a JSON object");
    if (path == "/mapping/load")
        return loadMappingFile(request.object());
    if (path == "/mapping/save")
        return saveMappingFile(request.object());
    return change(path, request.object());
}

RoutingApi::Reply RoutingApi::change(const QString& path, const QJsonObject& request)
{
    QString why;
    const auto sender = textField(request, "senderName", why);
    if (!sender)
        return failure(400, why);
    if (path == "/senders/add")
        return fromOutcome(bridge.addSender(*sender, request["channels"]));

    // The other changes name a sender the router must have.
    if (!wellFormed(*sender, RoutingRules::checkStoredName, why))
        return failure(400, why);
    const RoutingSnapshot routing = bridge.routing().routingSnapshot();
    const auto known = routing.mappings.find(sender->toStdString());
    if (known == routing.mappings.end())
        return failure(404, "there is no sender " + quoted(*sender));
    const QJsonValue senderChannel = request["senderChannel"];
    if (const auto channel = PageInput::numberOf(senderChannel); channel &&
        *channel >= static_cast<double>(known->second.size()) && (path == "/connect" || path == "/disconnect"))
        return failure(400, quoted(*sender) + " has " + QString::number(known->second.size()) + " channels");

    if (path == "/senders/remove")
        return fromOutcome(bridge.removeSender(*sender));
    if (path == "/senders/delay")
        return fromOutcome(bridge.setDelay(*sender, request["delayMs"]));
    if (path == "/disconnect")
        return fromOutcome(bridge.disconnectChannel(*sender, senderChannel));
    if (path == "/senders/video" && request["sourceName"].isNull())
        return fromOutcome(bridge.clearVideoSource(*sender));

    // What is left names a source the router has found.
    const auto source = textField(request, "sourceName", why);
    if (!source || !wellFormed(*source, RoutingRules::checkSourceName, why))
        return failure(400, why);
    if (!bridge.sourcesDocument().contains(*source))
        return failure(404, "there is no source " + quoted(*source));
    if (path == "/senders/video")
        return fromOutcome(bridge.setVideoSource(*source, *sender));
    return fromOutcome(bridge.connectChannel(*source, request["sourceChannel"], *sender, senderChannel));
}

std::optional<QString> RoutingApi::showPath(const QJsonObject& request, Reply& refusal) const
{
    QString why;
    const auto name = textField(request, "path", why);
    if (!name) {
        refusal = failure(400, why);
        return std::nullopt;
    }
    if (!name->endsWith(".ploverc") ||
        std::any_of(name->begin(), name->end(), [](QChar c) { return c.category() == QChar::Other_Control; })) {
        refusal = failure(400, "a mapping file's name ends in \".ploverc\" and holds no control characters");
        return std::nullopt;
    }
    // Relative names are taken in the shows folder; whatever is named, and wherever its links lead, stays in it.
    const QString folder = QDir::cleanPath(QFileInfo(shows).absoluteFilePath());
    const QString path = QDir::cleanPath(QDir(folder).absoluteFilePath(*name));
    const QFileInfo file(path);
    const QString realFolder = QFileInfo(folder).canonicalFilePath();
    const QString realParent = QFileInfo(file.absolutePath()).canonicalFilePath();
    const QString real = file.exists() ? file.canonicalFilePath() : realParent + "/" + file.fileName();
    const bool outside = !path.startsWith(folder + "/");
    const bool leadsOut = !realParent.isEmpty() && (realFolder.isEmpty() || !real.startsWith(realFolder + "/"));
    if (outside || leadsOut || (file.isSymLink() && !file.exists())) {
        refusal = failure(403,
            quoted(*name) + (outside ? " is outside" : " leads out of") + " the shows folder " + quoted(folder) +
                ", where mapping files are loaded and saved");
        return std::nullopt;
    }
    return path;
}

RoutingApi::Reply RoutingApi::loadMappingFile(const QJsonObject& request)
{
    Reply refusal;
    const auto path = showPath(request, refusal);
    if (!path)
        return refusal;
    if (!QFileInfo(*path).isFile())
        return failure(404, "there is no file " + quoted(*path));
    const Outcome loaded = bridge.routing().readMappingFile(path->toStdString());
    if (!loaded)
        return failure(400, utf8(loaded.reason));
    return {200, {{"done", true}, {"path", *path}}};
}

RoutingApi::Reply RoutingApi::saveMappingFile(const QJsonObject& request)
{
    AudioController& router = bridge.routing();
    if (!request.contains("path")) {
        const std::string path = router.mappingFilePath();
        const Outcome saved = router.writeMappingFile(path);
        return saved ? Reply{200, {{"done", true}, {"path", utf8(path)}}} : failure(400, utf8(saved.reason));
    }
    Reply refusal;
    const auto path = showPath(request, refusal);
    if (!path)
        return refusal;
    const Outcome saved = router.writeMappingFile(path->toStdString());
    if (!saved)
        return failure(400, utf8(saved.reason));
    // As Save As does: later saves go there.
    router.setMappingFilePath(path->toStdString());
    return {200, {{"done", true}, {"path", *path}}};
}
