#pragma once

// Threads: user-interface thread (the web channel and the socket live there).

#include <QtWebChannel/QWebChannelAbstractTransport>

class QWebSocket;

// Carries the web channel to a page in a browser: each message is one JSON
// text frame. The transport owns its socket and goes when the socket closes,
// which takes it off the channel.
class WebSocketTransport : public QWebChannelAbstractTransport {
    Q_OBJECT
public:
    // Takes `socket` over.
    explicit WebSocketTransport(QWebSocket* socket);
    ~WebSocketTransport() override;

    void sendMessage(const QJsonObject& message) override;

private:
    void receive(const QString& text);

    QWebSocket* socket;
};
