#include "ember/EmberSession.h"

#include <QtCore/QDebug>
#include <QtNetwork/QTcpSocket>

#include <algorithm>

namespace {
// What Qt reads ahead of the session: a consumer that sends faster than it is read waits on TCP, not on our memory.
constexpr qint64 kReadAhead = 64 * 1024;
constexpr qint64 kReadChunk = 16 * 1024;
constexpr int kResumeAfterMs = 50;
} // namespace

EmberSession::EmberSession(QTcpSocket* connection, RequestHandler requestHandler, QObject* parent)
    : QObject(parent), socket(connection), handler(std::move(requestHandler))
{
    socket->setParent(this);
    socket->setReadBufferSize(kReadAhead);
    peerAddress = clientAddress(*socket);
    peerName = (peerAddress.protocol() == QAbstractSocket::IPv6Protocol ? "[" + peerAddress.toString() + "]"
                                                                        : peerAddress.toString()) +
        ":" + QString::number(socket->peerPort());
    resumeReading.setSingleShot(true);
    connect(&resumeReading, &QTimer::timeout, this, &EmberSession::readSome);
    connect(socket, &QTcpSocket::readyRead, this, &EmberSession::readSome);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (closing)
            return;
        closing = true;
        qInfo().noquote() << "Ember+ consumer" << peerName << "left";
        Q_EMIT closed(this);
    });
}

QHostAddress EmberSession::clientAddress(const QTcpSocket& socket)
{
    bool isIpv4 = false;
    const quint32 ipv4 = socket.peerAddress().toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4) : socket.peerAddress();
}

EmberSession::~EmberSession()
{
    socket->disconnect(this);
}

void EmberSession::readSome()
{
    while (!closing && !resumeReading.isActive()) {
        // Requests answered beyond its pace are paid for before anything more is read.
        if (overdrawn > 0 && !requests.take(overdrawn)) {
            resumeReading.start(kResumeAfterMs);
            return;
        }
        overdrawn = 0;
        const qint64 size = std::min(socket->bytesAvailable(), kReadChunk);
        if (size <= 0)
            return;
        if (!bytes.take(static_cast<double>(size))) {
            // Over its pace: the rest waits in the socket (and, beyond Qt's read-ahead, in TCP).
            resumeReading.start(kResumeAfterMs);
            return;
        }
        const QByteArray data = socket->read(size);
        events.clear();
        const auto broken =
            reader.read({reinterpret_cast<const uint8_t*>(data.constData()), static_cast<size_t>(data.size())}, events);
        for (S101Reader::Event& event : events) {
            if (closing)
                return;
            if (event.kind == S101Reader::Kind::KeepAliveRequest) {
                // Answers pile up like any others at a consumer that asks and does not read.
                if (mayWrite(SendBacklog::Kind::Needed))
                    put(S101::keepAliveResponse());
                continue;
            }
            if (event.kind != S101Reader::Kind::Message)
                continue;
            std::string why;
            auto asked = GlowReader::requests(event.payload, why);
            if (!asked) {
                close(QString("sent a message that is not Glow (%1)").arg(QString::fromStdString(why)));
                return;
            }
            if (asked->size() > kMaxRequestsPerMessage) {
                complain(QString("sent %1 requests in one message; those beyond %2 are ignored")
                             .arg(asked->size())
                             .arg(kMaxRequestsPerMessage));
                asked->resize(kMaxRequestsPerMessage);
            }
            // Each connection asked for is a change of its own; a message that asks nothing counts as one.
            double cost = 0;
            for (const GlowRequest& request : *asked)
                cost += static_cast<double>(std::max<size_t>(1, request.connections.size()));
            cost = std::max(cost, 1.0);
            // Read already, so answered; but past its pace the next bytes wait until it is paid for.
            if (overdrawn > 0 || !requests.take(cost))
                overdrawn = std::min(overdrawn + cost, kBurstRequests);
            handler(*this, *asked);
        }
        if (broken) {
            close(QString("sent a frame that is not S101 (%1)").arg(QString::fromStdString(*broken)));
            return;
        }
    }
}

bool EmberSession::mayWrite(SendBacklog::Kind kind)
{
    if (closing)
        return false;
    switch (backlog.judge(socket->bytesToWrite(), kind)) {
    case SendBacklog::Verdict::Skip: return false;
    case SendBacklog::Verdict::Close:
        close(QString("does not read what it is sent (%1 bytes wait)").arg(socket->bytesToWrite()));
        return false;
    case SendBacklog::Verdict::Send: return true;
    }
    return false;
}

void EmberSession::put(const S101::Bytes& frames)
{
    socket->write(reinterpret_cast<const char*>(frames.data()), static_cast<qint64>(frames.size()));
}

void EmberSession::send(const std::vector<uint8_t>& message)
{
    if (mayWrite(SendBacklog::Kind::Needed))
        put(S101::messageFrames(message));
}

bool EmberSession::sendStream(const std::vector<uint8_t>& message)
{
    if (!mayWrite(SendBacklog::Kind::Skippable))
        return false;
    put(S101::messageFrames(message));
    return true;
}

void EmberSession::complain(const QString& what)
{
    if (!complaints.take()) {
        ++unsaidComplaints;
        return;
    }
    QDebug line = qWarning().noquote();
    line << "Ember+ consumer" << peerName + ":" << what;
    if (unsaidComplaints > 0)
        line << QString("(%1 more such lines were left out)").arg(unsaidComplaints);
    unsaidComplaints = 0;
}

void EmberSession::close(const QString& why)
{
    if (closing)
        return;
    closing = true;
    qWarning().noquote() << "Ember+ consumer" << peerName << "is closed: it" << why;
    socket->abort();
    Q_EMIT closed(this);
}
