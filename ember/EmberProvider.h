#pragma once

// Threads: user-interface thread (built, started and destroyed there, as the bridge is; it operates the bridge).

#include "ember/EmberTree.h"
#include "engine/RoutingRules.h"
#include "server/RateBudget.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QJsonObject>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QPair>
#include <QtCore/QTimer>
#include <QtNetwork/QHostAddress>
#include <QtNetwork/QTcpServer>

#include <set>
#include <utility>

class EmberSession;
class GlowWriter;
class QMLWrapper;
struct GlowRequest;

// The router as an Ember+ provider, for broadcast control systems and
// control hubs: the routing is a oneToN matrix (sender channels are its
// targets, source channels its sources), beside each sender's delay and video
// source, each source's state and every channel's levels (EmberTree; the
// README draws the tree).
//
// Changes from consumers go through the bridge, so they are held to the same
// rules and queued the same way as the page's and the API's, and the pages
// follow them; a refused one is logged with its reason and answered with
// the state as it stands. Changes made elsewhere reach the consumers that
// read the directory they are in; level streams go about ten times a second
// to the consumers that subscribed to them.
class EmberProvider : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 9000;
    static constexpr int kMaxConsumers = 256;
    static constexpr int kMaxConsumersPerAddress = 64;

    using Subnet = QPair<QHostAddress, int>;

    explicit EmberProvider(QMLWrapper& bridge);
    ~EmberProvider() override;

    // Starts serving. Ember+ has no authentication: an address other than the
    // loopback is logged as a warning that names it. With `allowed` subnets,
    // only clients in one of them are served. Refused when the address cannot be had.
    Outcome listen(const QHostAddress& address, quint16 port, const QList<Subnet>& allowed = {});
    // "127.0.0.1:9000".
    QString address() const;

private:
    void accept();
    // Closes a connection that is not served, logging why (about a line a second at most).
    void turnAway(QTcpSocket* socket, const QString& why);
    void drop(EmberSession* session);
    void handle(EmberSession& session, std::vector<GlowRequest>& requests);
    void answerDirectory(EmberSession& session, const GlowPath& path);
    void subscribe(EmberSession& session, const GlowPath& path, bool on);
    void setValue(EmberSession& session, const GlowRequest& request);
    void connectTargets(EmberSession& session, const GlowRequest& request);
    // Logs a refused change.
    void refused(EmberSession& session, const std::string& why);
    // The session is answered with the element at `path` once the tree has caught up with its change.
    void answerSoon(EmberSession& session, const GlowPath& path);

    RouterState routerState();
    // Brings the tree up to the router, tells the consumers that know of what
    // changed, and answers the changes consumers made since the last time.
    void refresh();
    // A refresh within `afterMs`, or later when refreshes have taken long: a
    // large routing never keeps the thread busier than half its time.
    void refreshSoon(int afterMs);
    void writeMatrix(GlowWriter& message, const std::set<int32_t>& modified) const;
    void writeElement(GlowWriter& message, const GlowPath& path) const;
    void sendLevels();

    QMLWrapper& bridge;
    QTcpServer server;
    QList<Subnet> allowedClients;
    QList<EmberSession*> sessions;
    EmberTree tree;
    QTimer refreshTimer; // gathers the changes that come close together
    QElapsedTimer sinceRefresh;
    qint64 lastRefreshMs = 0; // how long the last refresh took
    // Owed to consumers that made changes: one answer per element, however many changes asked for it.
    std::set<std::pair<EmberSession*, GlowPath>> answers;
    // The sources' state and the runtime, read again when the bridge says they changed.
    bool sourcesStale = true;
    RouterState statusPart;
    QTimer levelsTimer;
    QString levelsText; // the bridge's latest levels document
    QJsonObject levels; // levelsText, read when a consumer needs it
    bool levelsRead = true;
    RateBudget turnAwayLines{1, 5};
    int turnedAwayUnlogged = 0;
};
