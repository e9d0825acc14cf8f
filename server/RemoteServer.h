#pragma once

// Threads: user-interface thread (built, started and destroyed there, as the bridge is).

#include "engine/RoutingRules.h"
#include "server/AccessControl.h"

#include <QtCore/QObject>
#include <QtNetwork/QHostAddress>

#include <memory>

class ClientGate;
class EventStream;
class HttpService;
class QMLWrapper;
class RoutingApi;

// The router served to browsers and automation: the routing page with the
// bridge on the same web channel as the window's (carried over WebSockets),
// the HTTP API and its event stream, all behind the access token. The
// desktop's share switch and kestrix-server both run one.
class RemoteServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 8760;

    RemoteServer(QMLWrapper& bridge, const QString& accessToken);
    ~RemoteServer() override;

    // Starts serving; a listening address other than the loopback is logged
    // as a warning that names it. Refused when the address cannot be had.
    Outcome listen(const QHostAddress& address, quint16 port);
    // Where browsers find it, e.g. "http://127.0.0.1:8760".
    QString address() const;

private:
    void takeWebSocket();

    QMLWrapper& bridge;
    AccessControl access;
    std::unique_ptr<RoutingApi> api;
    std::unique_ptr<EventStream> events;
    std::unique_ptr<HttpService> http;
    ClientGate* gate = nullptr; // owned by http once bound
    int pages = 0; // browser pages on the web channel
    QHostAddress listening;
    quint16 port = 0;
};
