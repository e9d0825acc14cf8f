#include "server/HostNames.h"

#include <QtNetwork/QNetworkInterface>

namespace {

QString hostText(const QHostAddress& address)
{
    QHostAddress plain = address;
    plain.setScopeId({});
    return plain.protocol() == QAbstractSocket::IPv6Protocol ? "[" + plain.toString() + "]" : plain.toString();
}

} // namespace

HostNames::HostNames(const QHostAddress& listening, quint16 port, bool secure, const QStringList& allowed)
{
    QStringList names;
    if (listening.isLoopback()) {
        names = {"127.0.0.1", "localhost", "[::1]", hostText(listening)};
    } else if (listening == QHostAddress::Any || listening == QHostAddress::AnyIPv4 ||
        listening == QHostAddress::AnyIPv6) {
        names = {"localhost"};
        for (const QHostAddress& own : QNetworkInterface::allAddresses())
            names.append(hostText(own));
    } else {
        names = {hostText(listening)};
    }
    const bool schemesOwnPort = port == (secure ? 443 : 80);
    for (const QString& name : names) {
        withPort.insert(name.toLower() + ":" + QString::number(port));
        if (schemesOwnPort)
            withPort.insert(name.toLower());
    }
    for (const QString& name : allowed)
        anyPort.insert(name.toLower());
}

bool HostNames::allows(const QByteArray& host) const
{
    const QString name = QString::fromLatin1(host.trimmed()).toLower();
    if (withPort.contains(name))
        return true;
    // A name given by --allowed-host: whatever port a proxy in front of the server shows.
    const qsizetype colon = name.lastIndexOf(':');
    const bool hasPort = colon > name.lastIndexOf(']');
    return anyPort.contains(hasPort ? name.left(colon) : name);
}
