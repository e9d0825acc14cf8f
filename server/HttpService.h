#pragma once

// Threads: user-interface thread (the sockets, the bridge and the access rules live there).

#include "server/AccessControl.h"
#include "server/HostNames.h"
#include "server/RateBudget.h"

#include <QtHttpServer/QAbstractHttpServer>
#include <QtHttpServer/QHttpServerResponder>

#include <functional>

class ClientGate;
class RoutingApi;

// What the server answers over HTTP: the routing page and its files, the
// page's sign-in, the API, and the WebSocket upgrades for the page's web
// channel (/channel) and the API's event stream (/api/v1/events), which Qt
// then hands over as newWebSocketConnection. Every request is judged first:
// 421 for a host name the server does not answer to (HostNames), 403 for a
// page of another origin, 401 without the token or a session (a browser that
// asks for the page gets it with the 401, to sign in). After a 421, 401 or
// 403 the connection is closed. The page is served with a content security
// policy that lets it run only its own script and reach only this server.
class HttpService : public QAbstractHttpServer {
    Q_OBJECT
public:
    HttpService(AccessControl& access, RoutingApi& api, ClientGate& gate);

    static constexpr const char* kChannelPath = "/channel";
    static constexpr const char* kEventsPath = "/api/v1/events";
    static constexpr const char* kMetricsPath = "/metrics";

    // The host names requests may name; none until set.
    void setHostNames(HostNames names) { hosts = std::move(names); }

    // What GET /metrics answers (Prometheus' text format); without it, 404.
    void serveMetrics(std::function<QByteArray()> exposition) { metrics = std::move(exposition); }

Q_SIGNALS:
    // The session `id` signed out.
    void signedOut(const QByteArray& id);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    // Qt calls it for every request handleRequest did not take: refused upgrades among them.
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    using Status = QHttpServerResponder::StatusCode;
    void signIn(const QHttpServerRequest& request, QTcpSocket* socket);
    void refuse(const QHttpServerRequest& request, QTcpSocket* socket, AccessControl::Verdict verdict);
    void misdirected(const QHttpServerRequest& request, QTcpSocket* socket);
    void serveFile(const QHttpServerRequest& request, QTcpSocket* socket);
    void callApi(const QHttpServerRequest& request, QTcpSocket* socket);
    void answerMetrics(const QHttpServerRequest& request, QTcpSocket* socket);

    AccessControl& access;
    RoutingApi& api;
    ClientGate& gate;
    std::function<QByteArray()> metrics;
    HostNames hosts;
    RateBudget misdirectedLines{1, 5};
};
