#pragma once

// Threads: pure after construction; any thread.

#include <QtCore/QByteArrayView>
#include <QtCore/QJsonObject>
#include <QtCore/QMetaMethod>
#include <QtCore/QMetaObject>
#include <QtCore/QString>

#include <optional>

// The web-channel messages a page may send, and nothing else: what the
// page's qwebchannel.js sends (init, idle, a call of one of the published
// object's own slots with as many arguments as it takes, and connecting to or
// disconnecting from one of its own signals), each of the size and shape that
// script gives it. Everything else (writing a property, calling or connecting
// what QObject brings, such as deleteLater, or any other object) is refused
// with the reason, before Qt's web channel sees it.
class ChannelGuard {
public:
    static constexpr qsizetype kMaxMessageBytes = 64 * 1024;

    // The object published as `objectName`, of the class `surface`.
    ChannelGuard(const QMetaObject& surface, QString objectName);

    std::optional<QJsonObject> admit(QByteArrayView text, QString& why) const;

private:
    bool ownMethod(int index, QMetaMethod::MethodType type) const;
    std::optional<int> slotNamed(const QJsonValue& method) const;

    const QMetaObject& surface;
    QString object;
};
