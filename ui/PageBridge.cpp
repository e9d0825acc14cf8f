#include "ui/PageBridge.h"

#include <QtCore/QDebug>
#include <QtCore/QMetaMethod>

PageBridge::PageBridge(QObject& routingBridge) : bridge(routingBridge)
{
    forwardFrom(staticMetaObject);
}

void PageBridge::forwardFrom(const QMetaObject& surface)
{
    const QMetaObject& target = *bridge.metaObject();
    for (int i = surface.methodOffset(); i < surface.methodCount(); ++i) {
        const QMetaMethod own = surface.method(i);
        const int index = target.indexOfMethod(own.methodSignature().constData());
        const QMetaMethod theirs = index < 0 ? QMetaMethod() : target.method(index);
        if (index < 0 || theirs.methodType() != own.methodType() || theirs.returnMetaType() != own.returnMetaType()) {
            absent.append(QString::fromLatin1(own.methodSignature()));
            qCritical() << "The page's bridge lacks" << absent.last();
        } else if (own.methodType() == QMetaMethod::Signal) {
            // Emitted on other threads too: the page hears them on this one.
            QObject::connect(&bridge, theirs, this, own);
        }
    }
}

template <typename... Arguments> void PageBridge::call(const char* name, const Arguments&... arguments)
{
    QMetaObject::invokeMethod(&bridge, name, Qt::DirectConnection,
        QGenericArgument(QMetaType::fromType<Arguments>().name(), static_cast<const void*>(&arguments))...);
}

QString PageBridge::text(const char* property) const
{
    return bridge.property(property).toString();
}

QString PageBridge::productVersion() const
{
    return text("productVersion");
}

QString PageBridge::ndiLibVersion() const
{
    return text("ndiLibVersion");
}

QString PageBridge::getTitle() const
{
    return text("getTitle");
}

void PageBridge::connectionAdded(const QString& sourceName, const QJsonValue& sourceChannel, const QString& senderName,
    const QJsonValue& senderChannel)
{
    call("connectionAdded", sourceName, sourceChannel, senderName, senderChannel);
}

void PageBridge::connectionRemoved(const QString& sourceName, const QJsonValue& sourceChannel,
    const QString& senderName, const QJsonValue& senderChannel)
{
    call("connectionRemoved", sourceName, sourceChannel, senderName, senderChannel);
}

void PageBridge::videoConnectionAdded(const QString& sourceName, const QString& senderName)
{
    call("videoConnectionAdded", sourceName, senderName);
}

void PageBridge::videoConnectionRemoved(const QString& sourceName, const QString& senderName)
{
    call("videoConnectionRemoved", sourceName, senderName);
}

void PageBridge::setAVDelay(const QString& senderName, const QJsonValue& delay)
{
    call("setAVDelay", senderName, delay);
}

void PageBridge::console(const QString& msg)
{
    call("console", msg);
}

void PageBridge::uiReady()
{
    call("uiReady");
}

void PageBridge::senderAdded(const QString& senderName, const QJsonValue& numChannels)
{
    call("senderAdded", senderName, numChannels);
}

void PageBridge::senderRemoved(const QString& senderName)
{
    call("senderRemoved", senderName);
}

void PageBridge::loadFileButtonPressed()
{
    call("loadFileButtonPressed");
}

void PageBridge::saveFileButtonPressed()
{
    call("saveFileButtonPressed");
}

void PageBridge::saveAsFileButtonPressed()
{
    call("saveAsFileButtonPressed");
}

void PageBridge::previewSource(const QString& sourceName)
{
    call("previewSource", sourceName);
}

QString PageBridge::pageReady()
{
    QString documents;
    QMetaObject::invokeMethod(&bridge, "pageReady", Qt::DirectConnection, Q_RETURN_ARG(QString, documents));
    return documents;
}

WindowPageBridge::WindowPageBridge(QObject& routingBridge) : PageBridge(routingBridge)
{
    forwardFrom(staticMetaObject);
}

QString WindowPageBridge::pageSharing() const
{
    return text("pageSharing");
}

void WindowPageBridge::sharePage(bool on)
{
    call("sharePage", on);
}
