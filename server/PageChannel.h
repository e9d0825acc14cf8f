#pragma once

// Threads: user-interface thread (the bridge, the channel and the socket live there).

#include "server/WebSocketTransport.h"
#include "ui/PageBridge.h"

#include <QtWebChannel/QWebChannel>

// One page in a browser: a web channel of its own, publishing a facade of
// the bridge as "qmlWrapper", carried over the page's WebSocket. What the
// page connects, blocks or breaks on its channel touches no other page. It
// deletes itself once the page has gone.
class PageChannel : public QObject {
    Q_OBJECT
public:
    // Takes `socket` over.
    PageChannel(QObject& bridge, QWebSocket* socket);

private:
    // Destroyed in reverse: the transport leaves the channel before the facade and the channel go.
    QWebChannel channel;
    PageBridge page;
    WebSocketTransport transport;
};
