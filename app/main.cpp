// The router's entry: one instance per machine, the window, the event loop.

#include "app/SingleInstanceGuard.h"
#include "ui/QMLWrapper.h"

#include <QtCore/QDebug>
#include <QtCore/QUrl>
#include <QtGui/QIcon>
#include <QtQml/QQmlApplicationEngine>
#include <QtQml/QQmlContext>
#include <QtWebEngineQuick/QtWebEngineQuick>
#include <QtWidgets/QApplication>

#include <memory>

#if defined(Q_OS_UNIX)
#include <QtCore/QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#if defined(Q_OS_UNIX)
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// A logout or a service stop ends the event loop as closing the window does,
// so the routing is written as at every exit. The handler only writes a byte;
// the event loop does the rest.
std::unique_ptr<QSocketNotifier> quitOnTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    return notifier;
}
#endif

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
    qSetMessagePattern("%{time process} %{appname} [%{threadid}] [%{type}] %{message} (%{file}:%{line})");
#if defined(Q_OS_UNIX)
    const auto terminationSignals = quitOnTerminationSignals();
#endif

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

        auto bridge = std::make_unique<QMLWrapper>();
        engine->rootContext()->setContextProperty("qmlWrapper", bridge.get());
        engine->load(url);
        exitCode = QApplication::exec();

        // The window's web view holds the bridge's channel: the window goes first.
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
