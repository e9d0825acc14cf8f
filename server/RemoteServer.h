#pragma once

// Threads: user-interface thread (built, started and destroyed there, as the bridge is).

#include "engine/RoutingRules.h"
#include "server/AccessControl.h"

#include <QtCore/QMultiHash>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QTimer>
#include <QtNetwork/QHostAddress>

#include <memory>

class ClientGate;
class EventStream;
class HttpService;
class QMLWrapper;
class QWebSocket;
class RoutingApi;

// The router served to browsers and automation: the routing page, each
// browser's on a web channel of its own over a WebSocket, the HTTP API and
// its event stream, all behind the access token, over HTTP or HTTPS. A
// session's WebSockets close when it signs out or its lifetime ends. The
// desktop's share switch and kestrix-server both run one.
class RemoteServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 8760;

    struct Settings {
        QStringList allowedHosts; // host names served besides the listening address's (see HostNames)
        QString showsFolder; // where the API loads and saves mapping files; "": the mapping file's folder
        QString tlsCertificate; // PEM files: HTTPS with both, HTTP without
        QString tlsKey;
    };

    RemoteServer(QMLWrapper& bridge, const QString& accessToken, Settings settings = {});
    ~RemoteServer() override;

    // Starts serving; a listening address other than the loopback is logged
    // as a warning that names it. Refused when the address cannot be had or
    // the certificate and key cannot be read.
    Outcome listen(const QHostAddress& address, quint16 port);
    // Where browsers find it, e.g. "http://127.0.0.1:8760".
    QString address() const;

private:
    void takeWebSocket();
    // Keeps `socket` under the session it was opened in, to be closed when that session ends.
    void holdForSession(QWebSocket* socket);
    void endSession(const QByteArray& id);

    QMLWrapper& bridge;
    AccessControl access;
    std::unique_ptr<RoutingApi> api;
    std::unique_ptr<EventStream> events;
    std::unique_ptr<HttpService> http;
    ClientGate* gate = nullptr; // owned by http once bound
    int pages = 0; // browser pages on the web channel
    QHostAddress listening;
    quint16 port = 0;
    Settings settings;
    QMultiHash<QByteArray, QPointer<QWebSocket>> sessionSockets; // by session id
    QTimer sessionLifetimes;
};
