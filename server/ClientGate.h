#pragma once

// Threads: user-interface thread (its sockets live there).

#include <QtCore/QSet>
#include <QtNetwork/QTcpServer>

// The server's port. Until one of its requests has been let in, a connection
// may send little (kMaxUntrustedBytes) for a short while (kUntrustedLifetime),
// and only so many such connections are kept, so a client without the token
// cannot make the server hold much. The HTTP side reads the sockets it hands on.
class ClientGate : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxUntrustedBytes = 1024 * 1024;
    static constexpr int kUntrustedLifetimeMs = 10000;
    static constexpr int kMaxUntrusted = 256;

    using QTcpServer::QTcpServer;

    // A request of this connection was let in: the bounds no longer apply.
    void trust(QTcpSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void count(QTcpSocket* socket);
    void forget(QTcpSocket* socket);

    QSet<QTcpSocket*> untrusted;
};
