#pragma once

// Threads: user-interface thread (its socket lives there).

#include "ember/GlowReader.h"
#include "ember/S101.h"
#include "server/ClientGate.h"
#include "server/RateBudget.h"
#include "server/SendBacklog.h"

#include <QtCore/QObject>
#include <QtCore/QTimer>
#include <QtNetwork/QHostAddress>

#include <functional>
#include <set>

class QTcpSocket;

// One Ember+ consumer's connection: its frames in and out, its keep-alives,
// what it subscribed to, and the bounds that keep one consumer from hurting
// the others. Reading is paced (bytes and requests per second; beyond that
// the socket is read later, so TCP holds the consumer back); a consumer that
// does not read loses its level streams first and is closed when what waits
// for it piles up (SendBacklog); a frame or message that is not S101 or Glow
// closes it. Every closing is logged once with the reason.
class EmberSession : public QObject {
    Q_OBJECT
public:
    using RequestHandler = std::function<void(EmberSession&, std::vector<GlowRequest>&)>;

    // Limits, each far above what a control system needs. A message is bounded as a request's body is on the
    // HTTP side.
    static constexpr size_t kMaxMessage = static_cast<size_t>(ClientGate::kMaxBodyBytes);
    static constexpr double kRequestsPerSecond = 500;
    static constexpr double kBurstRequests = 2000;
    static constexpr size_t kMaxRequestsPerMessage = 1024;
    static constexpr double kComplaintsPerSecond = 5;

    // Takes `socket` over; its requests go to `handler`.
    EmberSession(QTcpSocket* socket, RequestHandler handler, QObject* parent);
    ~EmberSession() override;

    // The address a client connects from; an IPv4 client of a dual-stack port by its IPv4 address.
    static QHostAddress clientAddress(const QTcpSocket& socket);

    // "127.0.0.1:50512", for log lines.
    const QString& peer() const { return peerName; }
    const QHostAddress& address() const { return peerAddress; }
    bool isOpen() const { return !closing; }

    // One Glow message; a consumer that has left too much unread is closed instead.
    void send(const std::vector<uint8_t>& message);
    // Level streams: left out (false) while the consumer is behind.
    bool sendStream(const std::vector<uint8_t>& message);

    // Logs a line about this consumer's requests: a few a second at most (what a flood leaves out is counted).
    void complain(const QString& what);

    // Ends the connection, logging why.
    void close(const QString& why);

    // What it asked to hear of: elements whose directory it read (and their
    // children), and the level streams it subscribed to.
    std::set<GlowPath> directories;
    std::set<int32_t> streams;

Q_SIGNALS:
    void closed(EmberSession* session);

private:
    void readSome();
    // Whether something of `kind` may be sent now; a consumer too far behind is closed instead.
    bool mayWrite(SendBacklog::Kind kind);
    void put(const S101::Bytes& frames);

    QTcpSocket* socket;
    RequestHandler handler;
    QString peerName;
    QHostAddress peerAddress;
    S101Reader reader{kMaxMessage};
    std::vector<S101Reader::Event> events;
    RateBudget bytes{RateBudget::kClientBytesPerSecond, RateBudget::kClientByteBurst};
    RateBudget requests{kRequestsPerSecond, kBurstRequests};
    RateBudget complaints{kComplaintsPerSecond, kComplaintsPerSecond};
    QTimer resumeReading;
    SendBacklog backlog;
    double overdrawn = 0; // requests answered beyond the budget, to be paid for before more is read
    int unsaidComplaints = 0;
    bool closing = false;
};
