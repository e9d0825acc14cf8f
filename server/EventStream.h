#pragma once

// Threads: user-interface thread (the bridge's signals and the sockets live there).

#include "server/SendBacklog.h"

#include <QtCore/QJsonObject>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QTimer>

class QMLWrapper;
class QWebSocket;
class RoutingApi;

// The API's event stream: each client gets the routing and the sources when
// it connects and again whenever they change (changes close together are
// sent once), and the levels and the status while it asks for them
// ({"levels": true}, {"status": true}; the status at once, then as the pages
// get it). Every event is one JSON text frame: {"event": "routing" |
// "sources" | "levels" | "status", and the answer of the matching call or
// the levels document}. A client that does not read gets no levels once they
// pile up, and is closed if they stay piled up (SendBacklog).
class EventStream : public QObject {
    Q_OBJECT
public:
    EventStream(QMLWrapper& bridge, RoutingApi& api);
    ~EventStream() override;

    // Takes `socket` over.
    void add(QWebSocket* socket);
    // The clients connected now.
    int clientCount() const { return static_cast<int>(clients.size()); }

private:
    enum class Audience { Everyone, AskedForLevels, AskedForStatus };
    struct Client {
        explicit Client(QWebSocket* clientSocket) : socket(clientSocket) { }
        QWebSocket* socket;
        bool levels = false;
        bool status = false;
        SendBacklog backlog;
        bool closing = false;
    };

    void send(const QJsonObject& event, Audience audience = Audience::Everyone);
    void sendTo(Client& client, const QString& text, SendBacklog::Kind kind);
    void receive(QWebSocket* socket, const QString& text);
    void drop(QWebSocket* socket);

    RoutingApi& api;
    QList<Client> clients;
    QTimer routingTimer; // gathers changes close together
    QTimer sourcesTimer;
};
