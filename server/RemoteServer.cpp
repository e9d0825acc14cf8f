#include "server/RemoteServer.h"

#include "server/ClientGate.h"
#include "server/EventStream.h"
#include "server/HttpService.h"
#include "server/Metrics.h"
#include "server/PageChannel.h"
#include "server/RoutingApi.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDebug>
#include <QtWebSockets/QWebSocket>

namespace {
// An event request is small: {"levels": true}.
constexpr quint64 kMaxEventRequest = 1024;
} // namespace

RemoteServer::RemoteServer(QMLWrapper& routingBridge, const QString& accessToken)
    : bridge(routingBridge), access(accessToken), api(std::make_unique<RoutingApi>(bridge)),
      events(std::make_unique<EventStream>(bridge, *api))
{
}

RemoteServer::~RemoteServer()
{
    // The pages' transports go before the channel they are on is touched again.
    http.reset();
}

Outcome RemoteServer::listen(const QHostAddress& address, quint16 wantedPort)
{
    auto gateway = std::make_unique<ClientGate>(access);
    if (!gateway->listen(address, wantedPort))
        return Outcome::refused("cannot listen on " + address.toString().toStdString() + ":" +
            std::to_string(wantedPort) + ": " + gateway->errorString().toStdString());
    gate = gateway.get();
    http = std::make_unique<HttpService>(access, *api, *gate);
    http->bind(gateway.release()); // the HTTP side owns it from here
    connect(http.get(), &QAbstractHttpServer::newWebSocketConnection, this, &RemoteServer::takeWebSocket);
    http->serveMetrics([this] {
        return Metrics::exposition(bridge.routing().status(), {pages, events->clientCount()});
    });
    listening = address;
    port = gate->serverPort();
    if (!address.isLoopback())
        qWarning().noquote() << "Listening on" << address.toString() << "port" << port
                             << "- not the loopback address: any machine that reaches it may try the token";
    qInfo().noquote() << "Serving the routing page and the API at" << this->address();
    return {};
}

QString RemoteServer::address() const
{
    const QString host =
        listening.protocol() == QAbstractSocket::IPv6Protocol ? "[" + listening.toString() + "]" : listening.toString();
    return "http://" + host + ":" + QString::number(port);
}

void RemoteServer::takeWebSocket()
{
    while (http->hasPendingWebSocketConnections()) {
        QWebSocket* socket = http->nextPendingWebSocketConnection().release();
        if (socket->requestUrl().path() == HttpService::kEventsPath) {
            socket->setMaxAllowedIncomingFrameSize(kMaxEventRequest);
            socket->setMaxAllowedIncomingMessageSize(kMaxEventRequest);
            events->add(socket);
        } else {
            auto* page = new PageChannel(bridge, socket);
            page->setParent(http.get());
            ++pages;
            connect(page, &QObject::destroyed, this, [this] { --pages; });
        }
    }
}
