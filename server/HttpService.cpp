#include "server/HttpService.h"

#include "server/ClientGate.h"
#include "server/LogText.h"
#include "server/Metrics.h"
#include "server/RoutingApi.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDebug>
#include <QtCore/QFile>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QRegularExpression>
#include <QtHttpServer/QHttpServerRequest>
#include <QtNetwork/QTcpSocket>

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;
using Status = QHttpServerResponder::StatusCode;

const QByteArray kJson = "application/json";
const QString kApiPrefix = "/api/v1";

AccessControl::Credentials credentialsOf(const QHttpServerRequest& request)
{
    return {request.value("authorization"), request.value("cookie"), request.value("origin"), request.value("host")};
}

QString methodName(const QHttpServerRequest& request)
{
    switch (request.method()) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Post: return "POST";
    case QHttpServerRequest::Method::Put: return "PUT";
    case QHttpServerRequest::Method::Delete: return "DELETE";
    case QHttpServerRequest::Method::Head: return "HEAD";
    case QHttpServerRequest::Method::Options: return "OPTIONS";
    case QHttpServerRequest::Method::Patch: return "PATCH";
    default: return "OTHER";
    }
}

bool isUpgrade(const QHttpServerRequest& request)
{
    return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

// The page runs its own script and styles, its files and its WebSockets, and nothing else: a name from the network
// that got into the page as markup could neither run nor send anything anywhere.
QByteArray pagePolicy(const QByteArray& host)
{
    static const QByteArray scripts = [] {
        QFile page(":/routing-web-ui.html");
        page.open(QIODevice::ReadOnly);
        const QString text = QString::fromUtf8(page.readAll());
        QByteArray hashes;
        static const QRegularExpression inlineScript(
            "<script>(.*?)</script>", QRegularExpression::DotMatchesEverythingOption);
        for (auto match = inlineScript.globalMatch(text); match.hasNext();)
            hashes += " 'sha256-" +
                QCryptographicHash::hash(match.next().captured(1).toUtf8(), QCryptographicHash::Sha256).toBase64() +
                "'";
        return hashes;
    }();
    return "default-src 'none'; script-src 'self'" + scripts +
        "; style-src 'self' 'unsafe-inline'; img-src 'self' data:; font-src 'self'; connect-src 'self' ws://" + host +
        " wss://" + host + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

// One answer; HEAD gets its head alone. Nothing the server answers is to be kept by a cache or shown in another
// site's frame.
void answer(QHttpServerResponder& responder, const QHttpServerRequest& request, Status status, const QByteArray& type,
    const QByteArray& body, const Headers& extra = {})
{
    responder.writeStatusLine(status);
    responder.writeHeader("Content-Type", type);
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("X-Frame-Options", "DENY");
    responder.writeHeader("Referrer-Policy", "no-referrer");
    if (type.startsWith("text/html"))
        responder.writeHeader("Content-Security-Policy", pagePolicy(request.value("host")));
    for (const auto& [name, value] : extra)
        responder.writeHeader(name, value);
    // The head's end is written with the body: HEAD gets an empty one.
    responder.writeBody(request.method() == QHttpServerRequest::Method::Head ? QByteArray() : body);
}

bool isRead(const QHttpServerRequest& request)
{
    return request.method() == QHttpServerRequest::Method::Get || request.method() == QHttpServerRequest::Method::Head;
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray error(const QString& why)
{
    return json({{"error", why}});
}

QString pagePath(const QString& path)
{
    return path == "/" ? "/routing-web-ui.html" : path;
}

// The resource that answers `path`, or "" when none does.
QString resourceFor(const QString& path)
{
    if (path == "/routing-web-ui.html")
        return ":/routing-web-ui.html";
    if (path == "/qwebchannel.js")
        return ":/qtwebchannel/qwebchannel.js";
    for (const QString folder : {"/assets/", "/fonts/"}) {
        const QString name = path.mid(folder.size());
        if (path.startsWith(folder) && !name.isEmpty() && !name.contains('/') && QFile::exists(":" + path))
            return ":" + path;
    }
    return {};
}

QByteArray contentType(const QString& path)
{
    static const QList<QPair<QString, QByteArray>> types{{".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"}, {".png", "image/png"}, {".jpg", "image/jpeg"},
        {".ico", "image/x-icon"}, {".ttf", "font/ttf"}};
    for (const auto& [suffix, type] : types)
        if (path.endsWith(suffix))
            return type;
    return "application/octet-stream";
}

QByteArray resource(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

HttpService::HttpService(AccessControl& accessControl, RoutingApi& routingApi, ClientGate& clientGate)
    : access(accessControl), api(routingApi), gate(clientGate)
{
}

bool HttpService::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    if (!hosts.allows(request.value("host"))) {
        misdirected(request, socket);
        return true;
    }
    const QString path = request.url().path();
    if (path == kApiPrefix + "/session" && request.method() == QHttpServerRequest::Method::Post) {
        signIn(request, socket);
        return true;
    }
    const AccessControl::Verdict verdict = access.judge(credentialsOf(request));
    if (isUpgrade(request)) {
        // Taken: Qt answers the handshake and hands the socket over. Refused: missingHandler answers.
        const bool taken = verdict == AccessControl::Verdict::Allowed && (path == kChannelPath || path == kEventsPath);
        if (taken)
            gate.release(socket); // a page or a stream stays open as long as it likes
        return taken;
    }
    if (verdict != AccessControl::Verdict::Allowed) {
        refuse(request, socket, verdict);
        return true;
    }
    if (path == kApiPrefix || path.startsWith(kApiPrefix + "/"))
        callApi(request, socket);
    else if (path == kMetricsPath && metrics)
        answerMetrics(request, socket);
    else
        serveFile(request, socket);
    return true;
}

void HttpService::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    if (!hosts.allows(request.value("host"))) {
        misdirected(request, socket);
        return;
    }
    const AccessControl::Verdict verdict = access.judge(credentialsOf(request));
    if (verdict != AccessControl::Verdict::Allowed) {
        refuse(request, socket, verdict);
        return;
    }
    auto responder = makeResponder(request, socket);
    answer(responder, request, Status::NotFound, kJson, error("there is no WebSocket at " + request.url().path()),
        {{"Connection", "close"}});
    socket->disconnectFromHost();
}

void HttpService::misdirected(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // A page of another site under a name pointed at this machine, or a name this server was not given.
    if (misdirectedLines.take())
        qWarning().noquote() << "Refused a request for the host"
                             << LogText::quoted(QString::fromLatin1(request.value("host"))) << "from"
                             << request.remoteAddress().toString();
    auto responder = makeResponder(request, socket);
    answer(responder, request, Status::MisdirectedRequest, kJson,
        error("this server does not answer to that host name (see --allowed-host)"), {{"Connection", "close"}});
    socket->disconnectFromHost();
}

void HttpService::refuse(const QHttpServerRequest& request, QTcpSocket* socket, AccessControl::Verdict verdict)
{
    auto responder = makeResponder(request, socket);
    const Headers closing{{"Connection", "close"}};
    if (verdict == AccessControl::Verdict::ForeignOrigin) {
        qWarning().noquote() << "Refused a request made by a page of another origin from"
                             << request.remoteAddress().toString();
        answer(responder, request, Status::Forbidden, kJson, error("requests from pages of other origins are refused"),
            closing);
    } else if (isRead(request) && !isUpgrade(request) && pagePath(request.url().path()) == "/routing-web-ui.html") {
        // The page holds no routing: it asks for the token and signs in.
        answer(
            responder, request, Status::Unauthorized, contentType(".html"), resource(":/routing-web-ui.html"), closing);
    } else {
        answer(responder, request, Status::Unauthorized, kJson,
            error("sign in: send the access token as \"Authorization: Bearer <token>\""),
            {{"WWW-Authenticate", "Bearer"}, {"Connection", "close"}});
    }
    socket->disconnectFromHost();
}

void HttpService::signIn(const QHttpServerRequest& request, QTcpSocket* socket)
{
    if (AccessControl::isForeign(credentialsOf(request))) {
        refuse(request, socket, AccessControl::Verdict::ForeignOrigin);
        return;
    }
    auto responder = makeResponder(request, socket);
    const QJsonObject sent = QJsonDocument::fromJson(request.body()).object();
    if (!access.isToken(sent["token"].toString())) {
        qWarning().noquote() << "A sign-in with a wrong token from" << request.remoteAddress().toString();
        answer(responder, request, Status::Unauthorized, kJson, error("that is not the access token"),
            {{"Connection", "close"}});
        socket->disconnectFromHost();
        return;
    }
    answer(responder, request, Status::Ok, kJson, json({{"signedIn", true}}), {{"Set-Cookie", access.openSession()}});
}

void HttpService::serveFile(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto responder = makeResponder(request, socket);
    const QString path = pagePath(request.url().path());
    const QString name = resourceFor(path);
    if (name.isEmpty()) {
        answer(responder, request, Status::NotFound, kJson, error("there is nothing at " + path));
        return;
    }
    if (!isRead(request)) {
        answer(responder, request, Status::MethodNotAllowed, kJson, error("files are read with GET"),
            {{"Allow", "GET, HEAD"}});
        return;
    }
    answer(responder, request, Status::Ok, contentType(path), resource(name));
}

void HttpService::callApi(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto responder = makeResponder(request, socket);
    const QString path = request.url().path().mid(kApiPrefix.size());
    if (path == "/session") {
        if (request.method() == QHttpServerRequest::Method::Delete) {
            const QByteArray ended = access.closeSession(request.value("cookie"));
            answer(responder, request, Status::Ok, kJson, json({{"signedIn", false}}),
                {{"Set-Cookie", access.expiredCookie()}});
            if (!ended.isEmpty())
                Q_EMIT signedOut(ended);
        } else {
            answer(responder, request, Status::Ok, kJson, json({{"signedIn", true}}));
        }
        return;
    }
    // A body the page or a program sends is JSON; a form another site posts is not.
    const QByteArray type = request.value("content-type").split(';').first().trimmed().toLower();
    if (!request.body().isEmpty() && type != kJson) {
        answer(responder, request, Status::UnsupportedMediaType, kJson,
            error("the body must be sent as application/json"));
        return;
    }
    const RoutingApi::Reply reply = api.call(methodName(request).toLatin1(), path, request.body());
    // Quoted: a name in the reason may hold anything a network sends, line breaks included.
    if (reply.status >= 400)
        qWarning() << "API call refused:" << methodName(request) << "/api/v1" + path << reply.body["error"].toString();
    answer(responder, request, static_cast<Status>(reply.status), kJson, json(reply.body));
}

void HttpService::answerMetrics(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto responder = makeResponder(request, socket);
    if (request.method() != QHttpServerRequest::Method::Get) {
        answer(responder, request, Status::MethodNotAllowed, kJson, error("the metrics are read with GET"),
            {{"Allow", "GET"}});
        return;
    }
    answer(responder, request, Status::Ok, Metrics::kContentType, metrics());
}
