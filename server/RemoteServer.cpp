#include "server/RemoteServer.h"

#include "server/ClientGate.h"
#include "server/EventStream.h"
#include "server/HttpService.h"
#include "server/Metrics.h"
#include "server/PageChannel.h"
#include "server/RoutingApi.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDebug>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslKey>
#include <QtWebSockets/QWebSocket>

namespace {

// An event request is small: {"levels": true}.
constexpr quint64 kMaxEventRequest = 1024;
constexpr int kSessionCheckMs = 60000;

std::optional<QSslConfiguration> tlsConfiguration(const RemoteServer::Settings& settings, std::string& why)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(settings.tlsCertificate, QSsl::Pem);
    QFile keyFile(settings.tlsKey);
    const QByteArray keyText = keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa})
        if (key.isNull())
            key = QSslKey(keyText, algorithm, QSsl::Pem);
    if (chain.isEmpty()) {
        why = "no certificate could be read from " + settings.tlsCertificate.toStdString();
        return std::nullopt;
    }
    if (key.isNull()) {
        why = "no private key could be read from " + settings.tlsKey.toStdString() + " (PEM, unencrypted)";
        return std::nullopt;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

} // namespace

RemoteServer::RemoteServer(QMLWrapper& routingBridge, const QString& accessToken, Settings serving)
    : bridge(routingBridge), access(accessToken),
      api(std::make_unique<RoutingApi>(bridge,
          serving.showsFolder.isEmpty()
              ? QFileInfo(QString::fromStdString(routingBridge.routing().mappingFilePath())).absolutePath()
              : QFileInfo(serving.showsFolder).absoluteFilePath())),
      events(std::make_unique<EventStream>(bridge, *api)), settings(std::move(serving))
{
    connect(&sessionLifetimes, &QTimer::timeout, this, [this] {
        for (const QByteArray& id : access.endOldSessions())
            endSession(id);
    });
    sessionLifetimes.start(kSessionCheckMs);
}

RemoteServer::~RemoteServer()
{
    // The pages' transports go before the channel they are on is touched again.
    http.reset();
}

Outcome RemoteServer::listen(const QHostAddress& address, quint16 wantedPort)
{
    auto gateway = std::make_unique<ClientGate>(access);
    const bool secure = !settings.tlsCertificate.isEmpty();
    if (secure) {
        std::string why;
        const auto configuration = tlsConfiguration(settings, why);
        if (!configuration)
            return Outcome::refused("cannot serve HTTPS: " + why);
        gateway->useTls(*configuration);
        access.setSecure(true);
    }
    if (!gateway->listen(address, wantedPort))
        return Outcome::refused("cannot listen on " + address.toString().toStdString() + ":" +
            std::to_string(wantedPort) + ": " + gateway->errorString().toStdString());
    gate = gateway.get();
    http = std::make_unique<HttpService>(access, *api, *gate);
    http->bind(gateway.release()); // the HTTP side owns it from here
    connect(http.get(), &QAbstractHttpServer::newWebSocketConnection, this, &RemoteServer::takeWebSocket);
    connect(http.get(), &HttpService::signedOut, this, &RemoteServer::endSession);
    http->serveMetrics([this] {
        return Metrics::exposition(bridge.routing().status(), {pages, events->clientCount()});
    });
    listening = address;
    port = gate->serverPort();
    http->setHostNames(HostNames(address, port, secure, settings.allowedHosts));
    if (!address.isLoopback())
        qWarning().noquote() << "Listening on" << address.toString() << "port" << port
                             << "- not the loopback address: any machine that reaches it may try the token"
                             << (secure ? QString()
                                        : "- and over plain HTTP the token and the session cookie cross the network "
                                          "readable: give --tls-cert and --tls-key to serve HTTPS");
    qInfo().noquote() << "Serving the routing page and the API at" << this->address();
    return {};
}

QString RemoteServer::address() const
{
    const QString host =
        listening.protocol() == QAbstractSocket::IPv6Protocol ? "[" + listening.toString() + "]" : listening.toString();
    return (settings.tlsCertificate.isEmpty() ? "http://" : "https://") + host + ":" + QString::number(port);
}

void RemoteServer::takeWebSocket()
{
    while (http->hasPendingWebSocketConnections()) {
        QWebSocket* socket = http->nextPendingWebSocketConnection().release();
        holdForSession(socket);
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

void RemoteServer::holdForSession(QWebSocket* socket)
{
    // A program with the bearer token has no session: its WebSockets end when it closes them.
    const QByteArray id = access.sessionOf(socket->request().rawHeader("Cookie"));
    sessionSockets.removeIf([](const auto& held) { return held.value().isNull(); });
    if (!id.isEmpty())
        sessionSockets.insert(id, socket);
}

void RemoteServer::endSession(const QByteArray& id)
{
    for (const QPointer<QWebSocket>& socket : sessionSockets.values(id))
        if (socket)
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, "signed out");
    sessionSockets.remove(id);
}
