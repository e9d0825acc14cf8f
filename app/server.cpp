// kestrix-server: the router without a window. The same engine, files and
// bridge as the desktop program, and the same rule of one instance per
// machine; its page is served to browsers and its API to automation.

#include "app/ServerOptions.h"
#include "app/SingleInstanceGuard.h"
#include "app/TerminationSignals.h"
#include "ember/EmberProvider.h"
#include "server/AccessToken.h"
#include "server/RemoteServer.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QTimer>

#include <cstdio>
#include <memory>

namespace {

// As after a page came up in the window: discovery has had a moment.
constexpr int kNdiStartDelayMs = 2000;

int serve(const ServerOptions& options)
{
    SingleInstanceGuard guard;
    if (guard.isAnotherRunning() || !guard.tryToRun()) {
        qWarning() << "Another instance is running";
        return 0;
    }
    qSetMessagePattern(kLogPattern);
    const TerminationSignals terminationSignals;

    std::string why;
    const QString tokenFile = options.tokenFile.isEmpty() ? AccessToken::defaultPath() : options.tokenFile;
    const auto token = AccessToken::load(tokenFile, why);
    if (!token) {
        qCritical().noquote() << "No access token:" << QString::fromStdString(why);
        return 1;
    }

    int exitCode = 1;
    {
        QMLWrapper bridge(options.mappingFile.isEmpty() ? AudioController::defaultMappingFilePath()
                                                        : options.mappingFile.toStdString());
        bridge.setFileDialogs(nullptr,
            "this server has no file dialog: it loads and saves mapping files through "
            "its API (/api/v1/mapping/load and /save) and its --mapping-file; "
            "Save Config writes that file");
        RemoteServer server(
            bridge, token->text(), {options.allowedHosts, options.showsFolder, options.tlsCertificate, options.tlsKey});
        if (const Outcome listening = server.listen(options.address, options.port); !listening) {
            qCritical().noquote() << QString::fromStdString(listening.reason);
        } else {
            // The token is shown once, when it is made; later starts name its file only.
            if (token->madeNow())
                std::printf("Access token (kept in %s): %s\n", qPrintable(token->path()), qPrintable(token->text()));
            else
                std::printf("The access token is in %s\n", qPrintable(token->path()));
            std::printf("Open %s in a browser and sign in with it.\n", qPrintable(server.address()));
            std::fflush(stdout);
            // Ember+ that cannot be served is logged; the page and the API go on.
            std::unique_ptr<EmberProvider> ember;
            if (options.ember) {
                ember = std::make_unique<EmberProvider>(bridge);
                if (const Outcome serving = ember->listen(options.emberAddress, options.emberPort, options.emberAllow);
                    !serving) {
                    qCritical().noquote() << QString::fromStdString(serving.reason) + "; Ember+ is not served";
                    ember.reset();
                }
            }
            QTimer::singleShot(kNdiStartDelayMs, &bridge, [&bridge] { bridge.routing().startNdiProcessing(); });
            exitCode = QCoreApplication::exec();
        }
    }
    guard.release();
    return exitCode;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QString why;
    const auto options = ServerOptions::read(QCoreApplication::arguments(), why);
    if (!options) {
        std::fprintf(stderr, "kestrix-server: %s\n\n%s", qPrintable(why), qPrintable(ServerOptions::helpText()));
        return 2;
    }
    if (options->help) {
        std::printf("%s", qPrintable(ServerOptions::helpText()));
        return 0;
    }
    return serve(*options);
}
