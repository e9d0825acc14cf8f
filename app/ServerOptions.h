#pragma once

// Threads: pure; the main thread at start.

#include <QtCore/QList>
#include <QtCore/QPair>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtNetwork/QHostAddress>

#include <optional>

// kestrix-server's command line.
struct ServerOptions {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8760;
    QString tokenFile; // "" for the default, beside the automatic mapping file
    QString mappingFile; // "" for the automatic mapping file
    QStringList allowedHosts; // host names served besides the listening address's own
    QString showsFolder; // "" for the folder of the mapping file
    QString tlsCertificate; // both, or neither: HTTPS
    QString tlsKey;
    // The Ember+ provider: on unless "--ember off"; the clients it serves, all when none are listed.
    bool ember = true;
    QHostAddress emberAddress = QHostAddress::LocalHost;
    quint16 emberPort = 9000;
    QList<QPair<QHostAddress, int>> emberAllow;
    bool help = false;

    // Reads `arguments` (the program's name first); nothing, with the reason
    // in `why`, when they cannot be understood.
    static std::optional<ServerOptions> read(const QStringList& arguments, QString& why);
    static QString helpText();
};
