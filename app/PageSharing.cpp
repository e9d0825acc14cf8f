#include "app/PageSharing.h"

#include "app/ServerOptions.h"
#include "ember/EmberProvider.h"
#include "server/AccessToken.h"
#include "server/RemoteServer.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDebug>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonObject>
#include <QtCore/QSettings>
#include <QtCore/QTimer>

namespace {
const char* const kSharedKey = "sharePage";
const char* const kListenKey = "listen";
const char* const kEmberKey = "ember";
const char* const kEmberAllowKey = "emberAllow";
} // namespace

QString PageSharing::settingsPath()
{
    return QFileInfo(AccessToken::defaultPath()).absolutePath() + "/settings.ini";
}

PageSharing::PageSharing(QMLWrapper& routingBridge) : bridge(routingBridge), tokenFile(AccessToken::defaultPath())
{
    // Later, from the event loop: the switch's call must not see the server it came through go.
    bridge.offerPageSharing([this](bool on) { QTimer::singleShot(0, this, [this, on] { turn(on); }); });
    const QSettings settings(settingsPath(), QSettings::IniFormat);
    if (settings.value(kSharedKey, false).toBool())
        turn(true);
    else
        report({});
}

PageSharing::~PageSharing()
{
    bridge.offerPageSharing({});
}

void PageSharing::turn(bool on)
{
    QSettings settings(settingsPath(), QSettings::IniFormat);
    if (!on) {
        ember.reset();
        server.reset();
        emberReason.clear();
        settings.setValue(kSharedKey, false);
        qInfo() << "The page is no longer shared";
        report({});
        return;
    }
    if (server) {
        report({});
        return;
    }
    QString why;
    const QString listen = settings.value(kListenKey, "127.0.0.1:8760").toString();
    QStringList arguments{
        "kestrix", "--listen", listen, "--ember", settings.value(kEmberKey, "127.0.0.1:9000").toString()};
    for (const QString& network : settings.value(kEmberAllowKey).toStringList())
        arguments << "--ember-allow" << network;
    const auto options = ServerOptions::read(arguments, why);
    std::string refused;
    const auto token = options ? AccessToken::load(tokenFile, refused) : std::nullopt;
    if (!token) {
        report(options ? QString::fromStdString(refused) : "the settings: " + why);
        return;
    }
    auto started = std::make_unique<RemoteServer>(bridge, token->text());
    if (const Outcome listening = started->listen(options->address, options->port); !listening) {
        report(QString::fromStdString(listening.reason));
        return;
    }
    if (token->madeNow())
        qInfo().noquote() << "Access token (kept in" << token->path() + "):" << token->text();
    server = std::move(started);
    emberReason.clear();
    if (options->ember) {
        ember = std::make_unique<EmberProvider>(bridge);
        if (const Outcome serving = ember->listen(options->emberAddress, options->emberPort, options->emberAllow);
            !serving) {
            emberReason = QString::fromStdString(serving.reason);
            qWarning().noquote() << emberReason;
            ember.reset();
        }
    }
    settings.setValue(kSharedKey, true);
    report({});
}

void PageSharing::report(const QString& reason)
{
    if (!reason.isEmpty())
        qWarning().noquote() << "The page cannot be shared:" << reason;
    bridge.setPageSharing({{"available", true}, {"on", server != nullptr},
        {"address", server ? server->address() : QString()}, {"tokenFile", tokenFile}, {"reason", reason},
        {"ember", ember ? ember->address() : QString()}, {"emberReason", emberReason}});
}
