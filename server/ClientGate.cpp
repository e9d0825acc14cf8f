#include "server/ClientGate.h"

#include <QtCore/QDebug>
#include <QtNetwork/QSslSocket>
#include <QtNetwork/QTcpSocket>

#include <algorithm>

namespace {

constexpr int kCheckEveryMs = 500;
// A page asks for a file or two at a time; more requests than this in one read is a client out to pile up answers.
constexpr int kMostRequestsAtOnce = 16;

// Where the head ends (the index after its empty line), or -1 while it goes on. Bare line feeds count as line ends.
qsizetype headEnd(const QByteArray& head, qsizetype from)
{
    for (qsizetype i = std::max<qsizetype>(from, 1); i < head.size(); ++i) {
        if (head[i] != '\n')
            continue;
        if (head[i - 1] == '\n')
            return i + 1;
        if (i >= 2 && head[i - 1] == '\r' && head[i - 2] == '\n')
            return i + 1;
    }
    return -1;
}

} // namespace

ClientGate::ClientGate(AccessControl& accessControl) : access(accessControl)
{
    connect(&deadlines, &QTimer::timeout, this, &ClientGate::checkDeadlines);
    deadlines.start(kCheckEveryMs);
}

void ClientGate::incomingConnection(qintptr descriptor)
{
    QTcpSocket* socket = tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // The system's buffer, left to grow by itself, could hold megabytes for a client that does not read.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBufferBytes);
    makeRoomFor(socket->peerAddress());
    Connection connection;
    connection.address = socket->peerAddress();
    connection.since.start();
    connections.insert(socket, connection);
    // Connected before the HTTP side connects its own: this sees every read first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { connections.remove(socket); });
    if (!tls) {
        addPendingConnection(socket);
        return;
    }
    auto* secure = static_cast<QSslSocket*>(socket);
    secure->setSslConfiguration(*tls);
    // Until the HTTP side has it, a connection that ends is the gate's to delete.
    const auto ended = connect(secure, &QAbstractSocket::disconnected, secure, &QObject::deleteLater);
    connect(secure, &QSslSocket::encrypted, this, [this, secure, ended] {
        disconnect(ended);
        addPendingConnection(secure);
    });
    secure->startServerEncryption();
}

void ClientGate::release(QTcpSocket* socket)
{
    connections.remove(socket);
    socket->disconnect(this);
}

void ClientGate::makeRoomFor(const QHostAddress& address)
{
    QHash<QHostAddress, int> perAddress;
    int untrusted = 0;
    for (const Connection& connection : std::as_const(connections))
        if (!connection.trusted) {
            ++perAddress[connection.address];
            ++untrusted;
        }
    QHostAddress crowded = address;
    if (perAddress.value(address) < kMaxUntrustedPerAddress) {
        if (untrusted < kMaxUntrusted)
            return;
        // The whole pool is taken: the address that holds the most gives way.
        for (auto entry = perAddress.begin(); entry != perAddress.end(); ++entry)
            if (entry.value() > perAddress.value(crowded))
                crowded = entry.key();
    }
    QTcpSocket* oldest = nullptr;
    qint64 oldestAge = -1;
    for (auto entry = connections.begin(); entry != connections.end(); ++entry)
        if (!entry->trusted && entry->address == crowded && entry->since.elapsed() > oldestAge) {
            oldest = entry.key();
            oldestAge = entry->since.elapsed();
        }
    if (oldest == nullptr)
        return;
    ++evictedSinceLine;
    if (evictionLines.take()) {
        qWarning().noquote() << "Closed" << evictedSinceLine
                             << "connection(s) without the token to make room; the last from" << crowded.toString();
        evictedSinceLine = 0;
    }
    close(oldest);
}

void ClientGate::read(QTcpSocket* socket)
{
    const auto found = connections.find(socket);
    if (found == connections.end() || found->upgrading)
        return;
    Connection& connection = *found;
    if (socket->bytesToWrite() > kMaxUnsentBytes) {
        qWarning().noquote() << "A client at" << connection.address.toString()
                             << "does not read its answers; it is closed";
        close(socket);
        return;
    }
    const QByteArray fresh = socket->peek(socket->bytesAvailable());
    int requests = 0;
    for (qsizetype at = 0; at < fresh.size();) {
        if (!connection.inRequest) {
            connection.inRequest = true;
            connection.head.clear();
            connection.bodyLeft = -1;
            connection.since.start();
        }
        if (connection.bodyLeft < 0) {
            const qsizetype before = connection.head.size();
            const qsizetype room = kMaxHeadBytes + 1 - before;
            connection.head += fresh.mid(at, room);
            const qsizetype end = headEnd(connection.head, before - 3);
            if (end < 0) {
                if (connection.head.size() > kMaxHeadBytes)
                    refuse(socket, 431, "Request Header Fields Too Large", "a request's head is larger than 64 KiB");
                return;
            }
            at += end - before;
            connection.head.truncate(end);
            const auto body = judgeHead(socket, connection);
            if (!body || connection.upgrading)
                return;
            connection.bodyLeft = *body;
            if (++requests > kMostRequestsAtOnce) {
                refuse(socket, 429, "Too Many Requests", "more requests at once than a page or a program sends");
                return;
            }
        }
        const qint64 taken = std::min<qint64>(connection.bodyLeft, fresh.size() - at);
        at += taken;
        connection.bodyLeft -= taken;
        if (connection.bodyLeft == 0) {
            connection.inRequest = false;
            connection.since.start(); // idle from now on
        }
    }
}

std::optional<qint64> ClientGate::judgeHead(QTcpSocket* socket, Connection& connection)
{
    const QList<QByteArray> lines = connection.head.split('\n');
    AccessControl::Credentials credentials;
    QByteArray length;
    bool chunked = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            if (!length.isEmpty() && length != value) {
                refuse(socket, 400, "Bad Request", "a request with two lengths");
                return std::nullopt;
            }
            length = value;
        } else if (name == "transfer-encoding") {
            chunked = true;
        } else if (name == "upgrade") {
            connection.upgrading = value.compare("websocket", Qt::CaseInsensitive) == 0;
        } else if (name == "authorization") {
            credentials.authorization = value;
        } else if (name == "cookie") {
            credentials.cookie = value;
        } else if (name == "origin") {
            credentials.origin = value;
        } else if (name == "host") {
            credentials.host = value;
        }
    }
    if (chunked) {
        refuse(socket, 411, "Length Required", "a body must come with its length");
        return std::nullopt;
    }
    bool number = length.isEmpty();
    const qint64 bodyBytes = length.isEmpty() ? 0 : length.toLongLong(&number);
    if (!number || bodyBytes < 0 ||
        std::any_of(length.begin(), length.end(), [](char c) { return c < '0' || c > '9'; })) {
        refuse(socket, 400, "Bad Request", "a request's length is not a number");
        return std::nullopt;
    }
    connection.trusted = access.judge(credentials) == AccessControl::Verdict::Allowed;
    const qint64 allowed = connection.trusted ? kMaxBodyBytes : kMaxUntrustedBytes - connection.head.size();
    if (bodyBytes > allowed) {
        refuse(socket, 413, "Content Too Large",
            connection.trusted ? "a body larger than 1 MiB" : "a body larger than 64 KiB before the token is shown");
        return std::nullopt;
    }
    return bodyBytes;
}

void ClientGate::refuse(QTcpSocket* socket, int status, const char* reason, const QString& why)
{
    const QHostAddress address = connections.value(socket).address;
    connections.remove(socket);
    if (refusalLines.take())
        qWarning().noquote() << "Refused a request from" << address.toString()
                             << "(" + QString::number(status) + "):" << why;
    const QByteArray body = "{\"error\":\"" + why.toUtf8() + "\"}";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + " " + reason +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + body);
    // What the client sent is not for the HTTP side any more.
    socket->skip(socket->bytesAvailable());
    socket->disconnectFromHost();
}

void ClientGate::close(QTcpSocket* socket)
{
    connections.remove(socket);
    socket->abort();
}

void ClientGate::checkDeadlines()
{
    QList<QTcpSocket*> late, idle;
    for (auto entry = connections.begin(); entry != connections.end(); ++entry) {
        const qint64 elapsed = entry->since.elapsed();
        if (entry->inRequest && elapsed > kRequestDeadlineMs)
            late.append(entry.key());
        else if (!entry->inRequest && elapsed > (entry->trusted ? kTrustedIdleMs : kUntrustedIdleMs))
            idle.append(entry.key());
    }
    for (QTcpSocket* socket : late)
        refuse(socket, 408, "Request Timeout", "a request that did not arrive within 10 s");
    for (QTcpSocket* socket : idle)
        close(socket);
}
