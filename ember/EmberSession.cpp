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
    sinceRefill.start();
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

void EmberSession::refill()
{
    const double seconds = static_cast<double>(sinceRefill.restart()) / 1000.0;
    byteBudget = std::min<double>(kBurstBytes, byteBudget + seconds * kBytesPerSecond);
    requestBudget = std::min(kBurstRequests, requestBudget + seconds * kRequestsPerSecond);
    complaintBudget = std::min(kComplaintsPerSecond, complaintBudget + seconds * kComplaintsPerSecond);
}

void EmberSession::readSome()
{
    refill();
    while (!closing) {
        if (byteBudget < 1 || requestBudget < 1) {
            // Over its pace: the rest waits in the socket (and, beyond Qt's read-ahead, in TCP).
            resumeReading.start(kResumeAfterMs);
            return;
        }
        const qint64 size = std::min({socket->bytesAvailable(), static_cast<qint64>(byteBudget), kReadChunk});
        if (size <= 0)
            return;
        const QByteArray data = socket->read(size);
        byteBudget -= static_cast<double>(data.size());
        events.clear();
        const auto broken =
            reader.read({reinterpret_cast<const uint8_t*>(data.constData()), static_cast<size_t>(data.size())}, events);
        for (S101Reader::Event& event : events) {
            if (closing)
                return;
            if (event.kind == S101Reader::Kind::KeepAliveRequest) {
                write(S101::keepAliveResponse());
                continue;
            }
            if (event.kind != S101Reader::Kind::Message)
                continue;
            std::string why;
            auto requests = GlowReader::requests(event.payload, why);
            if (!requests) {
                close(QString("sent a message that is not Glow (%1)").arg(QString::fromStdString(why)));
                return;
            }
            if (requests->size() > kMaxRequestsPerMessage) {
                complain(QString("sent %1 requests in one message; those beyond %2 are ignored")
                             .arg(requests->size())
                             .arg(kMaxRequestsPerMessage));
                requests->resize(kMaxRequestsPerMessage);
            }
            requestBudget -= static_cast<double>(std::max<size_t>(1, requests->size()));
            handler(*this, *requests);
        }
        if (broken) {
            close(QString("sent a frame that is not S101 (%1)").arg(QString::fromStdString(*broken)));
            return;
        }
    }
}

bool EmberSession::write(const S101::Bytes& bytes)
{
    if (closing)
        return false;
    socket->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    return true;
}

void EmberSession::send(const std::vector<uint8_t>& message)
{
    if (!closing && socket->bytesToWrite() > kMaxBacklog) {
        close(QString("does not read what it is sent (%1 bytes wait)").arg(socket->bytesToWrite()));
        return;
    }
    write(S101::messageFrames(message));
}

bool EmberSession::sendStream(const std::vector<uint8_t>& message)
{
    if (closing || socket->bytesToWrite() > kStreamBacklog)
        return false;
    return write(S101::messageFrames(message));
}

void EmberSession::complain(const QString& what)
{
    refill();
    if (complaintBudget < 1) {
        ++unsaidComplaints;
        return;
    }
    complaintBudget -= 1;
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
