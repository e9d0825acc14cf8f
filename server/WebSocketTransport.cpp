#include "server/WebSocketTransport.h"

#include "server/LogText.h"

#include <QtCore/QDebug>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtWebSockets/QWebSocket>

namespace {
// A Remove All of a large routing sends a call per connection at once; a dragged slider, a few dozen a second.
constexpr double kMessagesPerSecond = 500;
constexpr double kMessageBurst = 4000;
constexpr int kSignalMessage = 1; // the web channel's message type of a signal
} // namespace

WebSocketTransport::WebSocketTransport(QWebSocket* webSocket, const QMetaObject& surface)
    : socket(webSocket), guard(surface, "qmlWrapper"), levelsSignal(surface.indexOfSignal("levelsUpdated(QString)")),
      peer(webSocket->peerAddress().toString()), messages(kMessagesPerSecond, kMessageBurst),
      bytes(RateBudget::kClientBytesPerSecond, RateBudget::kClientByteBurst), logLines(1, 1)
{
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(ChannelGuard::kMaxMessageBytes);
    socket->setMaxAllowedIncomingMessageSize(ChannelGuard::kMaxMessageBytes);
    connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketTransport::receive);
    connect(socket, &QWebSocket::disconnected, this, &WebSocketTransport::closed);
}

WebSocketTransport::~WebSocketTransport()
{
    socket->disconnect(this);
    socket->close();
}

void WebSocketTransport::sendMessage(const QJsonObject& message)
{
    if (closing)
        return;
    const bool levels = message["type"] == kSignalMessage && message["signal"] == levelsSignal;
    switch (backlog.judge(socket->bytesToWrite(), levels ? SendBacklog::Kind::Skippable : SendBacklog::Kind::Needed)) {
    case SendBacklog::Verdict::Skip: return;
    case SendBacklog::Verdict::Close:
        qWarning().noquote() << "A page at" << peer << "does not read what it is sent; it is closed";
        // Later: the channel may be sending to every page right now.
        closing = true;
        QMetaObject::invokeMethod(socket, &QWebSocket::abort, Qt::QueuedConnection);
        return;
    case SendBacklog::Verdict::Send: break;
    }
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void WebSocketTransport::receive(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    if (!messages.take() || !bytes.take(static_cast<double>(utf8.size()))) {
        ignore(text, "more than the page sends in a while");
        return;
    }
    QString why;
    if (const auto message = guard.admit(utf8, why))
        Q_EMIT messageReceived(*message, this);
    else
        ignore(text, why);
}

void WebSocketTransport::ignore(const QString& text, const QString& why)
{
    ++ignoredSinceLine;
    if (!logLines.take())
        return;
    qWarning().noquote() << "Ignored web-channel messages from a page at" << peer
                         << "(" + QString::number(ignoredSinceLine) + " since the last such line); the last,"
                         << why + ":" << LogText::quoted(text);
    ignoredSinceLine = 0;
}
