#pragma once

// Threads: user-interface thread (built at listen, asked for every request).

#include <QtCore/QByteArray>
#include <QtCore/QSet>
#include <QtCore/QStringList>
#include <QtNetwork/QHostAddress>

// The names a request may give as its Host, so that a page of another site
// whose name was pointed at this machine (DNS rebinding) is never served.
// Listening on the loopback: 127.0.0.1, localhost and [::1]; otherwise the
// listening address (every address of this machine when listening on all of
// them). These with the port, or without it when the port is the scheme's
// own; the names given by --allowed-host with any port or none.
class HostNames {
public:
    HostNames() = default;
    HostNames(const QHostAddress& listening, quint16 port, bool secure, const QStringList& allowed);

    bool allows(const QByteArray& host) const;

private:
    QSet<QString> withPort; // lower case, with the port
    QSet<QString> anyPort; // lower case, without a port
};
