#pragma once

// Threads: user-interface thread (its sockets live there).

#include "server/AccessControl.h"
#include "server/RateBudget.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QHash>
#include <QtCore/QTimer>
#include <QtNetwork/QHostAddress>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QTcpServer>

#include <optional>

// The server's port. It reads every request's head before the HTTP side
// does and holds each request to its own bounds, whatever came before on the
// same connection: the head within kMaxHeadBytes and, with the body, within
// kRequestDeadlineMs; a body without the token or a session within
// kMaxUntrustedBytes in all, with them within kMaxBodyBytes; no chunked
// bodies. A request out of bounds is answered (400, 408, 411, 413 or 431) and
// its connection closed, before the HTTP side holds any of it.
//
// Connections that have not shown the token or a session are few and short:
// at most kMaxUntrustedPerAddress from one address and kMaxUntrusted in all,
// the oldest making room for a new one, and closed after kUntrustedIdleMs
// without a request; so an address that floods the server cannot keep a
// client that has the token from being served. A client that does not read
// its answers is closed once kMaxUnsentBytes wait for it. A WebSocket leaves
// the gate when the HTTP side hands it over (it has bounds of its own). With
// TLS the bounds hold for what the client sends within it, and a handshake
// not done in time is closed as an idle connection is.
class ClientGate : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxHeadBytes = 64 * 1024;
    static constexpr qint64 kMaxUntrustedBytes = 64 * 1024;
    static constexpr qint64 kMaxBodyBytes = 1024 * 1024;
    static constexpr qint64 kMaxUnsentBytes = 2 * 1024 * 1024;
    static constexpr int kRequestDeadlineMs = 10000;
    static constexpr int kUntrustedIdleMs = 10000;
    static constexpr int kTrustedIdleMs = 120000;
    static constexpr int kMaxUntrusted = 256;
    static constexpr int kMaxUntrustedPerAddress = 32;
    static constexpr int kSendBufferBytes = 64 * 1024;

    explicit ClientGate(AccessControl& access);

    // The HTTP side took this connection's WebSocket upgrade: its bounds are the WebSocket's from now on.
    void release(QTcpSocket* socket);
    // Every connection speaks TLS with this configuration; it reaches the HTTP side once its handshake is done.
    void useTls(const QSslConfiguration& configuration) { tls = configuration; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection {
        QHostAddress address;
        QElapsedTimer since; // the request's first byte, or the connection's last request
        QByteArray head; // of the request under way
        qint64 bodyLeft = 0;
        bool inRequest = false;
        bool trusted = false; // its last request showed the token or a session
        bool upgrading = false;
    };

    void read(QTcpSocket* socket);
    // Judges a whole head; the body's size when it may be read, else nothing (and the connection is answered).
    std::optional<qint64> judgeHead(QTcpSocket* socket, Connection& connection);
    void refuse(QTcpSocket* socket, int status, const char* reason, const QString& why);
    void makeRoomFor(const QHostAddress& address);
    void close(QTcpSocket* socket);
    void checkDeadlines();

    AccessControl& access;
    std::optional<QSslConfiguration> tls;
    QHash<QTcpSocket*, Connection> connections;
    QTimer deadlines;
    // A flood is told of in a line a second, not a line a connection.
    RateBudget evictionLines{1, 1};
    RateBudget refusalLines{1, 5};
    int evictedSinceLine = 0;
};
