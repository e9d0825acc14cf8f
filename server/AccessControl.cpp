#include "server/AccessControl.h"

#include <QtCore/QList>
#include <QtCore/QRandomGenerator>

#include <algorithm>
#include <array>
#include <utility>

namespace {

bool sameInConstantTime(const QByteArray& a, const QByteArray& b)
{
    unsigned difference = a.size() == b.size() ? 0 : 1;
    const qsizetype length = std::max(a.size(), b.size());
    for (qsizetype i = 0; i < length; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

QByteArray sessionFrom(const QByteArray& cookieHeader)
{
    const QByteArray prefix = QByteArray(AccessControl::kCookieName) + '=';
    for (const QByteArray& part : cookieHeader.split(';')) {
        const QByteArray cookie = part.trimmed();
        if (cookie.startsWith(prefix))
            return cookie.mid(prefix.size());
    }
    return {};
}

} // namespace

AccessControl::AccessControl(QString accessToken) : token(accessToken.toUtf8()) { }

bool AccessControl::isForeign(const Credentials& credentials)
{
    // Browsers name the page's origin on cross-origin requests, WebSocket
    // upgrades and every POST; programs such as curl send none.
    if (credentials.origin.isEmpty())
        return false;
    return credentials.host.isEmpty() ||
        (credentials.origin != "http://" + credentials.host && credentials.origin != "https://" + credentials.host);
}

bool AccessControl::isToken(const QString& presented) const
{
    return sameInConstantTime(presented.toUtf8(), token);
}

AccessControl::Verdict AccessControl::judge(const Credentials& credentials)
{
    if (isForeign(credentials))
        return Verdict::ForeignOrigin;
    // The scheme's name is case-insensitive; the token is not.
    const QByteArray scheme = credentials.authorization.left(7);
    if (scheme.compare("Bearer ", Qt::CaseInsensitive) == 0 &&
        sameInConstantTime(credentials.authorization.mid(7).trimmed(), token))
        return Verdict::Allowed;
    return liveSession(credentials.cookie) ? Verdict::Allowed : Verdict::NotSignedIn;
}

QByteArray AccessControl::sessionOf(const QByteArray& cookieHeader)
{
    const QByteArray id = sessionFrom(cookieHeader);
    if (id.isEmpty())
        return {};
    const auto session = sessions.find(id);
    if (session == sessions.end())
        return {};
    const auto now = Clock::now();
    if (now - session->second.used > kSessionIdleLimit || now - session->second.opened > kSessionLifetime) {
        sessions.erase(session);
        return {};
    }
    session->second.used = now;
    return id;
}

QList<QByteArray> AccessControl::endOldSessions()
{
    QList<QByteArray> ended = std::exchange(pushedOut, {});
    const auto now = Clock::now();
    std::erase_if(sessions, [&](const auto& session) {
        const bool old = now - session.second.opened > kSessionLifetime;
        if (old)
            ended.append(session.first);
        return old;
    });
    return ended;
}

QByteArray AccessControl::openSession()
{
    if (sessions.size() >= kMaxSessions) {
        const auto oldest = std::min_element(sessions.begin(), sessions.end(),
            [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
        pushedOut.append(oldest->first);
        sessions.erase(oldest);
    }
    std::array<quint32, 4> bits;
    QRandomGenerator::system()->fillRange(bits.data(), bits.size());
    const QByteArray id = QByteArray(reinterpret_cast<const char*>(bits.data()), sizeof bits).toHex();
    sessions[id] = {Clock::now(), Clock::now()};
    return QByteArray(kCookieName) + '=' + id + "; Path=/; HttpOnly; SameSite=Strict" + (secure ? "; Secure" : "");
}

QByteArray AccessControl::closeSession(const QByteArray& cookieHeader)
{
    const QByteArray id = sessionFrom(cookieHeader);
    return sessions.erase(id) > 0 ? id : QByteArray();
}

QByteArray AccessControl::expiredCookie() const
{
    return QByteArray(kCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" + (secure ? "; Secure" : "");
}
