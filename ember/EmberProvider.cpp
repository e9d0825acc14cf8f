#include "ember/EmberProvider.h"

#include "ember/EmberSession.h"
#include "ember/GlowWriter.h"
#include "engine/MappingFile.h"
#include "server/LogText.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDebug>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtNetwork/QTcpSocket>

#include <algorithm>
#include <bit>
#include <map>
#include <utility>

namespace {

// Short enough that a change made elsewhere reaches the consumers well within a tenth of a second.
constexpr int kGatherMs = 10;
constexpr int kLevelsIntervalMs = 100;
// Stream messages stay within one frame: consumers take streams only from single frames.
constexpr size_t kStreamEntriesPerMessage = 40;

QString utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString pathText(const GlowPath& path)
{
    if (path.empty())
        return "the root";
    QStringList numbers;
    for (uint32_t n : path)
        numbers << QString::number(n);
    return numbers.join('.');
}

GlowPath parentOf(const GlowPath& path)
{
    return path.empty() ? path : GlowPath(path.begin(), path.end() - 1);
}

// A consumer's value as the bridge takes values from the page.
QJsonValue jsonOf(const GlowValue& value)
{
    if (const auto* i = std::get_if<int64_t>(&value))
        return static_cast<double>(*i);
    if (const auto* r = std::get_if<double>(&value))
        return *r;
    if (const auto* s = std::get_if<std::string>(&value))
        return utf8(*s);
    if (const auto* b = std::get_if<bool>(&value))
        return *b;
    return QJsonValue::Undefined;
}

void putFloat(std::vector<uint8_t>& out, float value)
{
    const auto bits = std::bit_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(bits >> shift));
}

// One channel's [peak, RMS] in the levels document, or the floor where nothing arrived.
std::pair<float, float> levelOf(const QJsonObject& levels, const EmberTree::Meter& meter)
{
    const QJsonValue channel =
        levels[meter.ofSource ? "sources" : "senders"].toObject()[utf8(meter.name)].toArray().at(meter.channel);
    if (!channel.isArray())
        return {static_cast<float>(kSilenceDbfs), static_cast<float>(kSilenceDbfs)};
    const QJsonArray pair = channel.toArray();
    return {
        static_cast<float>(pair.at(0).toDouble(kSilenceDbfs)), static_cast<float>(pair.at(1).toDouble(kSilenceDbfs))};
}

// What a oneToN target is to carry after `connection` (one source at most; of several asked for, the last).
std::optional<uint32_t> wantedSource(const GlowConnection& connection, std::optional<uint32_t> current)
{
    const auto& asked = connection.sources;
    switch (connection.operation) {
    case GlowOperation::Absolute: return asked.empty() ? std::nullopt : std::optional(asked.back());
    case GlowOperation::Connect: return asked.empty() ? current : std::optional(asked.back());
    case GlowOperation::Disconnect:
        if (current && (asked.empty() || std::find(asked.begin(), asked.end(), *current) != asked.end()))
            return std::nullopt;
        return current;
    }
    return current;
}

// The message kept under `key` in `written`, written by `write` the first time it is asked for.
template <typename Key, typename Write>
const std::vector<uint8_t>& writtenOnce(std::map<Key, std::vector<uint8_t>>& written, Key key, Write write)
{
    const auto [at, added] = written.try_emplace(std::move(key));
    if (added) {
        GlowWriter message;
        write(message, at->first);
        at->second = message.finish();
    }
    return at->second;
}

} // namespace

EmberProvider::EmberProvider(QMLWrapper& routingBridge) : bridge(routingBridge)
{
    refreshTimer.setSingleShot(true);
    refreshTimer.setInterval(kGatherMs);
    connect(&refreshTimer, &QTimer::timeout, this, &EmberProvider::refresh);
    // Whatever changes the routing, a source or its state.
    for (auto signal : {&QMLWrapper::routingChanged, &QMLWrapper::sendersUpdated, &QMLWrapper::connectionsUpdated,
             &QMLWrapper::setAVDelaySignal})
        connect(&bridge, signal, this, [this] { refreshSoon(kGatherMs); });
    for (auto signal : {&QMLWrapper::sourcesUpdated, &QMLWrapper::statusUpdated}) {
        connect(&bridge, signal, this, [this] {
            sourcesStale = true;
            refreshSoon(kGatherMs);
        });
    }
    connect(&bridge, &QMLWrapper::levelsUpdated, this, [this](const QString& text) {
        levelsText = text;
        levelsRead = false;
    });
    connect(&levelsTimer, &QTimer::timeout, this, &EmberProvider::sendLevels);
    connect(&server, &QTcpServer::newConnection, this, &EmberProvider::accept);
}

EmberProvider::~EmberProvider()
{
    server.close();
    for (EmberSession* session : sessions) {
        session->disconnect(this);
        delete session;
    }
}

Outcome EmberProvider::listen(const QHostAddress& address, quint16 port, const QList<Subnet>& allowed)
{
    if (!server.listen(address, port))
        return Outcome::refused("Ember+ cannot listen on " + address.toString().toStdString() + ":" +
            std::to_string(port) + ": " + server.errorString().toStdString());
    allowedClients = allowed;
    QStringList subnets;
    for (const auto& [network, prefix] : allowed)
        subnets << network.toString() + "/" + QString::number(prefix);
    if (!address.isLoopback())
        qWarning().noquote() << "Ember+ is served on" << address.toString() << "port" << server.serverPort()
                             << "- not the loopback address: Ember+ has no authentication, so"
                             << (allowed.isEmpty()
                                        ? "any machine that reaches it may change the routing "
                                          "(--ember-allow limits which clients are served)"
                                        : "every client in " + subnets.join(", ") + " may change the routing");
    qInfo().noquote() << "Serving Ember+ at" << this->address()
                      << (allowed.isEmpty() ? QString() : "to clients in " + subnets.join(", "));
    levelsTimer.start(kLevelsIntervalMs);
    return {};
}

QString EmberProvider::address() const
{
    const QHostAddress host = server.serverAddress();
    return (host.protocol() == QAbstractSocket::IPv6Protocol ? "[" + host.toString() + "]" : host.toString()) + ":" +
        QString::number(server.serverPort());
}

void EmberProvider::accept()
{
    while (server.hasPendingConnections()) {
        QTcpSocket* socket = server.nextPendingConnection();
        const QHostAddress client = EmberSession::clientAddress(*socket);
        const auto inAllowed = [&](const Subnet& subnet) { return client.isInSubnet(subnet); };
        if (!allowedClients.isEmpty() && std::none_of(allowedClients.begin(), allowedClients.end(), inAllowed)) {
            turnAway(socket, "its address is not among those --ember-allow serves");
            continue;
        }
        if (sessions.size() >= kMaxConsumers) {
            turnAway(socket, QString("%1 consumers are connected already").arg(kMaxConsumers));
            continue;
        }
        const auto fromThere = std::count_if(
            sessions.begin(), sessions.end(), [&](const EmberSession* s) { return s->address() == client; });
        if (fromThere >= kMaxConsumersPerAddress) {
            turnAway(socket, QString("%1 consumers from its address are connected already").arg(fromThere));
            continue;
        }
        auto* session = new EmberSession(
            socket, [this](EmberSession& s, std::vector<GlowRequest>& requests) { handle(s, requests); }, this);
        connect(session, &EmberSession::closed, this, &EmberProvider::drop);
        sessions.append(session);
        qInfo().noquote() << "Ember+ consumer" << session->peer() << "connected";
        // Nobody followed the router while no one was connected.
        if (sessions.size() == 1) {
            sourcesStale = true;
            refresh();
        }
    }
}

void EmberProvider::turnAway(QTcpSocket* socket, const QString& why)
{
    if (turnAwayLines.take()) {
        QDebug line = qWarning().noquote();
        line << "Ember+ client" << socket->peerAddress().toString() << "is not served:" << why;
        if (turnedAwayUnlogged > 0)
            line << QString("(and %1 more turned away since the last such line)").arg(turnedAwayUnlogged);
        turnedAwayUnlogged = 0;
    } else {
        ++turnedAwayUnlogged;
    }
    socket->abort();
    socket->deleteLater();
}

void EmberProvider::drop(EmberSession* session)
{
    sessions.removeAll(session);
    std::erase_if(answers, [session](const auto& answer) { return answer.first == session; });
    session->deleteLater();
}

void EmberProvider::handle(EmberSession& session, std::vector<GlowRequest>& requests)
{
    for (const GlowRequest& request : requests) {
        if (!session.isOpen())
            return;
        switch (request.kind) {
        case GlowRequest::Kind::GetDirectory: answerDirectory(session, request.path); break;
        case GlowRequest::Kind::Subscribe: subscribe(session, request.path, true); break;
        case GlowRequest::Kind::Unsubscribe: subscribe(session, request.path, false); break;
        case GlowRequest::Kind::SetValue: setValue(session, request); break;
        case GlowRequest::Kind::Connect: connectTargets(session, request); break;
        case GlowRequest::Kind::Invoke:
            session.complain("invoked a function at " + pathText(request.path) + "; this tree has none");
            break;
        }
    }
}

void EmberProvider::answerDirectory(EmberSession& session, const GlowPath& path)
{
    const EmberElement* element = tree.find(path);
    if (element == nullptr) {
        session.complain("asked for " + pathText(path) + ", which the tree does not have");
        return;
    }
    session.directories.insert(path);
    GlowWriter message;
    if (path.empty()) {
        for (const auto& [number, child] : element->children)
            message.numbered(number, child.contents);
    } else if (std::holds_alternative<GlowMatrix>(element->contents)) {
        writeMatrix(message, {});
    } else if (std::holds_alternative<GlowParameter>(element->contents)) {
        writeElement(message, path);
    } else {
        // A node answers with its children; one without children with its path alone.
        message.beginQualified(GlowWriter::Kind::Node, path);
        if (!element->children.empty()) {
            message.beginChildren();
            for (const auto& [number, child] : element->children)
                message.numbered(number, child.contents);
            message.endChildren();
        }
        message.endElement();
    }
    session.send(message.finish());
}

void EmberProvider::subscribe(EmberSession& session, const GlowPath& path, bool on)
{
    const EmberElement* element = tree.find(path);
    if (element == nullptr) {
        if (on)
            session.complain("subscribed to " + pathText(path) + ", which the tree does not have");
        return;
    }
    if (on)
        session.directories.insert(path);
    else
        session.directories.erase(path);
    if (const auto* parameter = std::get_if<GlowParameter>(&element->contents);
        parameter && parameter->streamIdentifier) {
        if (on)
            session.streams.insert(parameter->streamIdentifier);
        else
            session.streams.erase(parameter->streamIdentifier);
    }
}

void EmberProvider::refused(EmberSession& session, const std::string& why)
{
    session.complain("a change was refused: " + LogText::quoted(utf8(why)));
}

void EmberProvider::answerSoon(EmberSession& session, const GlowPath& path)
{
    answers.emplace(&session, path);
    refreshSoon(0);
}

void EmberProvider::setValue(EmberSession& session, const GlowRequest& request)
{
    const EmberElement* element = tree.find(request.path);
    const auto* parameter = element == nullptr ? nullptr : std::get_if<GlowParameter>(&element->contents);
    if (parameter == nullptr) {
        session.complain("set a value at " + pathText(request.path) + ", where the tree has no parameter");
        return;
    }
    const auto writable = tree.writable(request.path);
    if (!writable) {
        refused(session,
            "\"" + parameter->identifier + "\" at " + pathText(request.path).toStdString() + " cannot be changed");
    } else if (writable->setting == EmberTree::Setting::Delay) {
        if (const Outcome done = bridge.setDelay(utf8(writable->sender), jsonOf(request.value)); !done)
            refused(session, done.reason);
    } else {
        const auto* source = std::get_if<std::string>(&request.value);
        const QString sender = utf8(writable->sender);
        Outcome done;
        if (source == nullptr)
            done = Outcome::refused("a video source is named by a text");
        else if (source->empty())
            done = bridge.clearVideoSource(sender);
        else if (!bridge.sourcesDocument().contains(utf8(*source)))
            done = Outcome::refused("there is no source \"" + *source + "\"");
        else
            done = bridge.setVideoSource(utf8(*source), sender);
        if (!done)
            refused(session, done.reason);
    }
    // Answered with the value in effect, whatever came of it: the consumer has already shown the one it sent.
    answerSoon(session, request.path);
}

void EmberProvider::connectTargets(EmberSession& session, const GlowRequest& request)
{
    if (request.path != EmberTree::kMatrixPath) {
        session.complain("asked to connect at " + pathText(request.path) + ", which is not the routing matrix");
        return;
    }
    const EmberElement& matrix = *tree.find(EmberTree::kMatrixPath);
    for (const GlowConnection& connection : request.connections) {
        const auto target = tree.target(connection.target);
        if (!target) {
            refused(session, "there is no target " + std::to_string(connection.target));
            continue;
        }
        const auto listed = std::find_if(matrix.connections.begin(), matrix.connections.end(),
            [&](const GlowConnection& c) { return c.target == connection.target; });
        std::optional<uint32_t> current;
        if (listed != matrix.connections.end() && !listed->sources.empty())
            current = listed->sources.front();
        const std::optional<uint32_t> wanted = wantedSource(connection, current);
        if (wanted == current)
            continue;

        const QString sender = utf8(target->name);
        const QJsonValue senderChannel = static_cast<qint64>(target->channel);
        if (!wanted) {
            if (const Outcome done = bridge.disconnectChannel(sender, senderChannel); !done)
                refused(session, done.reason);
            continue;
        }
        const auto source = tree.source(wanted.value_or(0));
        if (!source) {
            refused(session, "there is no source " + std::to_string(wanted.value_or(0)));
            continue;
        }
        const Outcome done =
            bridge.connectChannel(utf8(source->name), static_cast<qint64>(source->channel), sender, senderChannel);
        if (!done)
            refused(session, done.reason);
    }
    answerSoon(session, EmberTree::kMatrixPath);
}

RouterState EmberProvider::routerState()
{
    AudioController& router = bridge.routing();
    if (sourcesStale) {
        const AudioController::Status status = router.status();
        statusPart.runtime = status.runtime;
        statusPart.runtimeVersion = status.runtimeVersion;
        statusPart.sources.clear();
        for (const auto& [name, source] : status.routing.sources)
            statusPart.sources[name] = {source.online,
                source.channelCount == kNoChannel ? -1 : static_cast<int32_t>(source.channelCount), source.sampleRate};
        sourcesStale = false;
    }
    RouterState state = statusPart;
    state.version = bridge.property("productVersion").toString().toStdString();
    const RoutingSnapshot routing = router.routingSnapshot();
    for (const auto& [name, channels] : routing.mappings) {
        RouterState::Sender& sender = state.senders[name];
        sender.channels = channels;
        if (const auto delay = routing.delaySeconds.find(name); delay != routing.delaySeconds.end())
            sender.delayMs = MappingFile::toMilliseconds(delay->second);
        if (const auto video = routing.videoSources.find(name); video != routing.videoSources.end())
            sender.videoSource = video->second;
    }
    return state;
}

void EmberProvider::refreshSoon(int afterMs)
{
    if (sessions.isEmpty())
        return;
    const qint64 rested = sinceRefresh.isValid() ? sinceRefresh.elapsed() : lastRefreshMs;
    const int wait = static_cast<int>(std::max<qint64>(afterMs, lastRefreshMs - rested));
    if (!refreshTimer.isActive() || refreshTimer.remainingTime() > wait)
        refreshTimer.start(wait);
}

void EmberProvider::refresh()
{
    refreshTimer.stop();
    QElapsedTimer took;
    took.start();
    const std::vector<EmberTree::Change> changes = tree.update(routerState());
    std::set<int32_t> modified;
    for (const EmberTree::Change& change : changes)
        if (change.what == EmberTree::Change::What::Matrix)
            modified = change.modifiedTargets;
    // Consumers that hear of the same changes get the same bytes, written once. One that does not read is
    // closed on the way, and leaves the list.
    std::map<std::vector<size_t>, std::vector<uint8_t>> news;
    const QList<EmberSession*> current = sessions;
    for (EmberSession* session : current) {
        std::vector<size_t> heard;
        for (size_t i = 0; i < changes.size(); ++i) {
            const EmberTree::Change& change = changes[i];
            // A consumer hears of what is in a directory it read, and of an element it asked for itself.
            const bool knows = session->directories.count(parentOf(change.path)) != 0 ||
                (change.what != EmberTree::Change::What::Added && session->directories.count(change.path) != 0);
            if (knows && answers.count({session, change.path}) == 0)
                heard.push_back(i);
        }
        if (heard.empty())
            continue;
        session->send(writtenOnce(news, std::move(heard), [&](GlowWriter& message, const std::vector<size_t>& told) {
            for (size_t i : told) {
                if (changes[i].what == EmberTree::Change::What::Matrix)
                    writeMatrix(message, changes[i].modifiedTargets);
                else
                    writeElement(message, changes[i].path);
            }
        }));
    }
    // Each change a consumer made is answered with what came of it, even when nothing did.
    std::map<GlowPath, std::vector<uint8_t>> results;
    for (const auto& [session, path] : std::exchange(answers, {})) {
        if (!session->isOpen())
            continue;
        session->send(writtenOnce(results, path, [&](GlowWriter& message, const GlowPath& of) {
            if (of == EmberTree::kMatrixPath)
                writeMatrix(message, modified);
            else
                writeElement(message, of);
        }));
    }
    lastRefreshMs = took.elapsed();
    sinceRefresh.start();
}

void EmberProvider::writeElement(GlowWriter& message, const GlowPath& path) const
{
    message.qualified(path, tree.find(path)->contents);
}

void EmberProvider::writeMatrix(GlowWriter& message, const std::set<int32_t>& modified) const
{
    const EmberElement& matrix = *tree.find(EmberTree::kMatrixPath);
    message.beginQualified(GlowWriter::Kind::Matrix, EmberTree::kMatrixPath);
    message.contents(matrix.contents);
    // Consumers wait for the children of a matrix they asked for: it has none.
    message.beginChildren();
    message.endChildren();
    message.signals(matrix.targets, matrix.sources);
    // Every target, each time: consumers take a matrix's connections as the whole of them.
    std::vector<GlowConnection> connections = matrix.connections;
    for (GlowConnection& connection : connections)
        if (modified.count(static_cast<int32_t>(connection.target)) != 0)
            connection.disposition = GlowDisposition::Modified;
    message.connections(connections);
    message.endElement();
}

void EmberProvider::sendLevels()
{
    const bool anyone = std::any_of(
        sessions.begin(), sessions.end(), [](const EmberSession* session) { return !session->streams.empty(); });
    if (!anyone)
        return;
    if (!levelsRead) {
        levels = QJsonDocument::fromJson(levelsText.toUtf8()).object();
        levelsRead = true;
    }
    // A stream's value is read once for all the consumers subscribed to it; none while it measures nothing.
    std::map<int32_t, std::vector<uint8_t>> values;
    const auto valueOf = [&](int32_t stream) -> const std::vector<uint8_t>& {
        const auto [at, added] = values.try_emplace(stream);
        if (const auto meter = added ? tree.meter(stream) : std::nullopt) {
            const auto [peak, rms] = levelOf(levels, *meter);
            putFloat(at->second, peak);
            putFloat(at->second, rms);
        }
        return at->second;
    };
    const QList<EmberSession*> current = sessions;
    for (EmberSession* session : current) {
        std::vector<GlowStreamEntry> entries;
        for (int32_t stream : session->streams)
            if (const std::vector<uint8_t>& octets = valueOf(stream); !octets.empty())
                entries.push_back({stream, octets});
        for (size_t first = 0; first < entries.size(); first += kStreamEntriesPerMessage) {
            const size_t count = std::min(kStreamEntriesPerMessage, entries.size() - first);
            if (!session->sendStream(GlowWriter::streamMessage(std::span(entries).subspan(first, count))))
                break;
        }
    }
}
