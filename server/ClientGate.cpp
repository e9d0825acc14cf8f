#include "server/ClientGate.h"

#include <QtCore/QDebug>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpSocket>

namespace {
const char* const kBytesSeen = "kestrixBytesSeen";
}

void ClientGate::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (untrusted.size() >= kMaxUntrusted) {
        qWarning().noquote() << "Too many clients that have not signed in; a connection from"
                             << socket->peerAddress().toString() << "is closed";
        socket->abort();
        socket->deleteLater();
        return;
    }
    untrusted.insert(socket);
    // Connected before the HTTP side connects its own: this sees every read first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { count(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { untrusted.remove(socket); });
    QTimer::singleShot(kUntrustedLifetimeMs, socket, [this, socket] {
        if (untrusted.contains(socket))
            forget(socket);
    });
    addPendingConnection(socket);
}

void ClientGate::trust(QTcpSocket* socket)
{
    untrusted.remove(socket);
}

void ClientGate::count(QTcpSocket* socket)
{
    if (!untrusted.contains(socket))
        return;
    const qint64 seen = socket->property(kBytesSeen).toLongLong() + socket->bytesAvailable();
    socket->setProperty(kBytesSeen, seen);
    if (seen > kMaxUntrustedBytes)
        forget(socket);
}

void ClientGate::forget(QTcpSocket* socket)
{
    untrusted.remove(socket);
    socket->abort();
}
