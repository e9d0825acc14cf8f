#pragma once

// Threads: user-interface thread (the bridge and the server live there).

#include <QtCore/QObject>
#include <QtCore/QString>

#include <memory>

class EmberProvider;
class QMLWrapper;
class RemoteServer;

// The desktop's share switch: when the person turns it on in the page, the
// window's page and the API are served as kestrix-server serves them, on
// 127.0.0.1:8760 unless the settings file names another "listen" address,
// and Ember+ on 127.0.0.1:9000 unless it names another "ember" address (or
// "off"), to the clients "emberAllow" lists (all when it lists none).
// Off by default; whether it is on is kept in a settings file of its own in
// the application-data folder (never in the mapping file) and applied at start.
class PageSharing : public QObject {
    Q_OBJECT
public:
    explicit PageSharing(QMLWrapper& bridge);
    ~PageSharing() override;

    // The settings file: "settings.ini" in the application-data folder.
    static QString settingsPath();

private:
    void turn(bool on);
    void report(const QString& reason);

    QMLWrapper& bridge;
    std::unique_ptr<RemoteServer> server;
    std::unique_ptr<EmberProvider> ember; // goes before the server
    QString emberReason; // why Ember+ is not served while the page is
    QString tokenFile;
};
