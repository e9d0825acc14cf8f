// The router's entry: one instance per machine, the window, the event loop.

#include "app/DesktopFileDialogs.h"
#include "app/LostDisplayGuard.h"
#include "app/PageSharing.h"
#include "app/SingleInstanceGuard.h"
#include "app/TerminationSignals.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDebug>
#include <QtCore/QUrl>
#include <QtGui/QIcon>
#include <QtGui/QSessionManager>
#include <QtQml/QQmlApplicationEngine>
#include <QtQml/QQmlContext>
#include <QtWebEngineQuick/QtWebEngineQuick>
#include <QtWidgets/QApplication>

#include <memory>

namespace {

int run()
{
    SingleInstanceGuard guard;
    if (guard.isAnotherRunning() || !guard.tryToRun()) {
        qWarning() << "Another instance is running";
        return 0;
    }

    QtWebEngineQuick::initialize();
    // The command line is never read: the application sees only its own name.
    static char name[] = "Plover";
    static char* arguments[] = {name, nullptr};
    int argumentCount = 1;
    QApplication application(argumentCount, arguments);
    qSetMessagePattern(kLogPattern);
    const TerminationSignals terminationSignals;

    int exitCode = 0;
    {
        auto engine = std::make_unique<QQmlApplicationEngine>();
        engine->rootContext()->setContextProperty("TITLE", QVariant(QString("Kestrix")));
        QApplication::setWindowIcon(QIcon(":/assets/iconkx.ico"));
        const QUrl url(QStringLiteral("qrc:/main.qml"), QUrl::TolerantMode);
        QObject::connect(
            engine.get(), &QQmlApplicationEngine::objectCreated, &application,
            [url](QObject* created, const QUrl& createdUrl) {
                if (created == nullptr && createdUrl == url)
                    QCoreApplication::exit(-1);
            },
            Qt::QueuedConnection);

        DesktopFileDialogs dialogs;
        auto bridge = std::make_unique<QMLWrapper>();
        bridge->setFileDialogs(&dialogs, {});
        auto sharing = std::make_unique<PageSharing>(*bridge);
        engine->rootContext()->setContextProperty("qmlWrapper", bridge.get());
        engine->load(url);
        // A session manager that ends the session asks for the data first; the
        // end itself comes as a quit or as the display going away.
        QObject::connect(&application, &QGuiApplication::commitDataRequest, bridge.get(),
            [&bridge](QSessionManager&) { bridge->routing().writeAutomaticMappingFile(); });
        {
            // The window is left as it is: the display it would talk to is gone.
            const LostDisplayGuard lostDisplay(
                [&] {
                    sharing.reset();
                    bridge.reset();
                    guard.release();
                },
                [&bridge] { bridge->routing().writeAutomaticMappingFile(); });
            exitCode = QApplication::exec();
        }

        // Browsers and the window hold the bridge's channel: they go first.
        sharing.reset();
        engine.reset();
        bridge.reset();
    }
    guard.release();
    return exitCode;
}

} // namespace

#if defined(_WIN32)
#include <windows.h>
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return run();
}
#else
int main()
{
    return run();
}
#endif
