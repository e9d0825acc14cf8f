#pragma once

// Threads: user-interface thread (the web channel and the socket live there).

#include "server/ChannelGuard.h"
#include "server/RateBudget.h"
#include "server/SendBacklog.h"

#include <QtWebChannel/QWebChannelAbstractTransport>

class QWebSocket;

// Carries one page's web channel in a browser: each message is one JSON text
// frame. Only the messages ChannelGuard admits reach the channel, within a
// budget of messages and bytes a second; the rest is ignored, with one log
// line a second at most. A page that does not read its messages gets no
// levels once they pile up, and is closed if they stay piled up (SendBacklog).
// The transport owns its socket; closed() tells that the page has gone.
class WebSocketTransport : public QWebChannelAbstractTransport {
    Q_OBJECT
public:
    // Takes `socket` over; `surface` is the class of the object the channel publishes as "qmlWrapper".
    WebSocketTransport(QWebSocket* socket, const QMetaObject& surface);
    ~WebSocketTransport() override;

    void sendMessage(const QJsonObject& message) override;

Q_SIGNALS:
    void closed();

private:
    void receive(const QString& text);
    void ignore(const QString& text, const QString& why);

    QWebSocket* socket;
    ChannelGuard guard;
    int levelsSignal;
    QString peer;
    RateBudget messages;
    RateBudget bytes;
    RateBudget logLines;
    int ignoredSinceLine = 0;
    SendBacklog backlog;
    bool closing = false;
};
