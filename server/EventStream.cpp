#include "server/EventStream.h"

#include "server/RoutingApi.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDebug>
#include <QtCore/QJsonDocument>
#include <QtWebSockets/QWebSocket>

namespace {
constexpr int kGatherMs = 15;
}

EventStream::EventStream(QMLWrapper& bridge, RoutingApi& routingApi) : api(routingApi)
{
    for (QTimer* timer : {&routingTimer, &sourcesTimer}) {
        timer->setSingleShot(true);
        timer->setInterval(kGatherMs);
    }
    connect(&routingTimer, &QTimer::timeout, this, [this] {
        if (!clients.isEmpty())
            send({{"event", "routing"}, {"routing", api.routing()}});
    });
    connect(&sourcesTimer, &QTimer::timeout, this, [this] {
        if (!clients.isEmpty())
            send({{"event", "sources"}, {"sources", api.sources()["sources"]}});
    });
    // A page's change, a loaded file and a restored delay all change the routing.
    const auto routingMoved = [this] {
        if (!routingTimer.isActive())
            routingTimer.start();
    };
    connect(&bridge, &QMLWrapper::routingChanged, this, routingMoved);
    connect(&bridge, &QMLWrapper::connectionsUpdated, this, routingMoved);
    connect(&bridge, &QMLWrapper::setAVDelaySignal, this, routingMoved);
    connect(&bridge, &QMLWrapper::sourcesUpdated, this, [this] {
        if (!sourcesTimer.isActive())
            sourcesTimer.start();
    });
    connect(&bridge, &QMLWrapper::levelsUpdated, this, [this](const QString& levels) {
        send({{"event", "levels"}, {"levels", QJsonDocument::fromJson(levels.toUtf8()).object()}},
            Audience::AskedForLevels);
    });
    connect(&bridge, &QMLWrapper::statusUpdated, this, [this](const QString& status) {
        send({{"event", "status"}, {"status", QJsonDocument::fromJson(status.toUtf8()).object()}},
            Audience::AskedForStatus);
    });
}

EventStream::~EventStream()
{
    for (const Client& client : clients) {
        client.socket->disconnect(this);
        delete client.socket;
    }
}

void EventStream::add(QWebSocket* socket)
{
    socket->setParent(this);
    clients.append(Client{socket});
    connect(
        socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) { receive(socket, text); });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] { drop(socket); });
    for (const QJsonObject& event : {QJsonObject{{"event", "routing"}, {"routing", api.routing()}},
             QJsonObject{{"event", "sources"}, {"sources", api.sources()["sources"]}}})
        sendTo(clients.last(), compactJson(event), SendBacklog::Kind::Needed);
}

void EventStream::send(const QJsonObject& event, Audience audience)
{
    const QString text = compactJson(event);
    for (Client& client : clients)
        if (audience == Audience::Everyone || (audience == Audience::AskedForLevels && client.levels) ||
            (audience == Audience::AskedForStatus && client.status))
            sendTo(client, text,
                audience == Audience::AskedForLevels ? SendBacklog::Kind::Skippable : SendBacklog::Kind::Needed);
}

void EventStream::sendTo(Client& client, const QString& text, SendBacklog::Kind kind)
{
    if (client.closing)
        return;
    switch (client.backlog.judge(client.socket->bytesToWrite(), kind)) {
    case SendBacklog::Verdict::Skip: return;
    case SendBacklog::Verdict::Close:
        qWarning().noquote() << "An event stream client at" << client.socket->peerAddress().toString()
                             << "does not read what it is sent; it is closed";
        // Later: closing now would take the client out of the list being sent to.
        client.closing = true;
        QMetaObject::invokeMethod(client.socket, &QWebSocket::abort, Qt::QueuedConnection);
        return;
    case SendBacklog::Verdict::Send: client.socket->sendTextMessage(text);
    }
}

void EventStream::receive(QWebSocket* socket, const QString& text)
{
    const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
    for (Client& client : clients) {
        if (client.socket != socket)
            continue;
        if (request["levels"].isBool())
            client.levels = request["levels"].toBool();
        // The state as it is now; changes follow as the pages get them.
        if (request["status"].isBool()) {
            client.status = request["status"].toBool();
            if (client.status)
                sendTo(client, compactJson(QJsonObject{{"event", "status"}, {"status", api.status()}}),
                    SendBacklog::Kind::Needed);
        }
    }
}

void EventStream::drop(QWebSocket* socket)
{
    clients.removeIf([socket](const Client& client) { return client.socket == socket; });
    socket->deleteLater();
}
