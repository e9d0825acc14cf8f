#include "server/WebSocketTransport.h"

#include <QtCore/QDebug>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtWebSockets/QWebSocket>

WebSocketTransport::WebSocketTransport(QWebSocket* webSocket) : socket(webSocket)
{
    socket->setParent(this);
    connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketTransport::receive);
    connect(socket, &QWebSocket::disconnected, this, &QObject::deleteLater);
}

WebSocketTransport::~WebSocketTransport()
{
    socket->disconnect(this);
    socket->close();
}

void WebSocketTransport::sendMessage(const QJsonObject& message)
{
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void WebSocketTransport::receive(const QString& text)
{
    QJsonParseError error;
    const QJsonDocument message = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !message.isObject()) {
        qWarning() << "A page sent a web-channel message that is not a JSON object; it is ignored";
        return;
    }
    Q_EMIT messageReceived(message.object(), this);
}
