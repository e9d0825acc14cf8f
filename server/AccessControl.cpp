#include "server/AccessControl.h"

#include <QtCore/QList>
#include <QtCore/QRandomGenerator>

#include <algorithm>
#include <array>

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
    const QByteArray bearer = "Bearer ";
    if (credentials.authorization.startsWith(bearer) &&
        sameInConstantTime(credentials.authorization.mid(bearer.size()).trimmed(), token))
        return Verdict::Allowed;
    return liveSession(credentials.cookie) ? Verdict::Allowed : Verdict::NotSignedIn;
}

bool AccessControl::liveSession(const QByteArray& cookieHeader)
{
    const QByteArray id = sessionFrom(cookieHeader);
    if (id.isEmpty())
        return false;
    const auto session = sessions.find(id);
    if (session == sessions.end())
        return false;
    const auto now = Clock::now();
    if (now - session->second > kSessionIdleLimit) {
        sessions.erase(session);
        return false;
    }
    session->second = now;
    return true;
}

QByteArray AccessControl::openSession()
{
    if (sessions.size() >= kMaxSessions) {
        const auto oldest = std::min_element(
            sessions.begin(), sessions.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        sessions.erase(oldest);
    }
    std::array<quint32, 4> bits;
    QRandomGenerator::system()->fillRange(bits.data(), bits.size());
    const QByteArray id = QByteArray(reinterpret_cast<const char*>(bits.data()), sizeof bits).toHex();
    sessions[id] = Clock::now();
    return QByteArray(kCookieName) + '=' + id + "; Path=/; HttpOnly; SameSite=Strict";
}

void AccessControl::closeSession(const QByteArray& cookieHeader)
{
    sessions.erase(sessionFrom(cookieHeader));
}

QByteArray AccessControl::expiredCookie()
{
    return QByteArray(kCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
}
