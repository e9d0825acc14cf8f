#include "server/ChannelGuard.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QMetaMethod>

#include <cmath>

namespace {

// The message types of Qt's web-channel protocol that a page sends.
enum Type { Init = 3, Idle = 4, Invoke = 6, Connect = 7, Disconnect = 8 };

bool hasKeys(const QJsonObject& message, std::initializer_list<const char*> keys)
{
    if (message.size() != static_cast<qsizetype>(keys.size()))
        return false;
    for (const char* key : keys)
        if (!message.contains(QLatin1String(key)))
            return false;
    return true;
}

bool isWhole(const QJsonValue& value)
{
    const double number = value.toDouble(0.5);
    return value.isDouble() && std::abs(number) < 1e15 && number == std::trunc(number);
}

} // namespace

ChannelGuard::ChannelGuard(const QMetaObject& publishedClass, QString objectName)
    : surface(publishedClass), object(std::move(objectName))
{
}

bool ChannelGuard::ownMethod(int index, QMetaMethod::MethodType type) const
{
    // What QObject itself declares (deleteLater, destroyed, objectNameChanged) is never the page's.
    return index >= QObject::staticMetaObject.methodCount() && index < surface.methodCount() &&
        surface.method(index).methodType() == type && surface.method(index).access() == QMetaMethod::Public;
}

std::optional<int> ChannelGuard::slotNamed(const QJsonValue& method) const
{
    if (isWhole(method)) {
        const double index = method.toDouble();
        if (index >= 0 && index < surface.methodCount() && ownMethod(static_cast<int>(index), QMetaMethod::Slot))
            return static_cast<int>(index);
        return std::nullopt;
    }
    const QByteArray name = method.toString().toUtf8();
    for (int i = QObject::staticMetaObject.methodCount(); method.isString() && i < surface.methodCount(); ++i)
        if (ownMethod(i, QMetaMethod::Slot) && surface.method(i).name() == name)
            return i;
    return std::nullopt;
}

std::optional<QJsonObject> ChannelGuard::admit(QByteArrayView text, QString& why) const
{
    if (text.size() > kMaxMessageBytes) {
        why = "a message larger than " + QString::number(kMaxMessageBytes) + " bytes";
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        why = "not a JSON object";
        return std::nullopt;
    }
    const QJsonObject message = document.object();
    const QJsonValue type = message["type"];
    const bool ours = message["object"] == object;
    bool admitted = false;
    if (type == Init)
        admitted = hasKeys(message, {"type", "id"}) && isWhole(message["id"]);
    else if (type == Idle)
        admitted = hasKeys(message, {"type"});
    else if (type == Invoke) {
        const auto slot = hasKeys(message, {"type", "object", "method", "args", "id"}) && ours &&
                isWhole(message["id"]) && message["args"].isArray()
            ? slotNamed(message["method"])
            : std::nullopt;
        admitted = slot && message["args"].toArray().size() == surface.method(*slot).parameterCount();
    } else if (type == Connect || type == Disconnect) {
        admitted = hasKeys(message, {"type", "object", "signal"}) && ours && isWhole(message["signal"]) &&
            message["signal"].toDouble() >= 0 && message["signal"].toDouble() < surface.methodCount() &&
            ownMethod(message["signal"].toInt(), QMetaMethod::Signal);
    }
    if (!admitted) {
        why = "not a message of the page's protocol";
        return std::nullopt;
    }
    return message;
}
