#pragma once

// Threads: user-interface thread (the listener and the HTTP side live there).

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>

#include <chrono>
#include <map>

// Who may be served. A client shows the token as a bearer header, or a
// session cookie that the page's sign-in got for it; a request that a browser
// makes for a page of another origin is refused whatever it carries.
class AccessControl {
public:
    enum class Verdict {
        Allowed,
        NotSignedIn, // 401: neither the token nor a live session
        ForeignOrigin, // 403: sent by a page of another origin
    };
    // The header fields a verdict rests on, as sent.
    struct Credentials {
        QByteArray authorization;
        QByteArray cookie;
        QByteArray origin;
        QByteArray host;
    };

    static constexpr const char* kCookieName = "kestrix_session";
    // A session not used for this long is over; so is one this old, whatever its use, and the oldest beyond
    // kMaxSessions.
    static constexpr std::chrono::hours kSessionIdleLimit{24};
    static constexpr std::chrono::hours kSessionLifetime{24 * 7};
    static constexpr size_t kMaxSessions = 256;

    explicit AccessControl(QString token);

    Verdict judge(const Credentials& credentials);
    // A page of another origin made the request (whatever else it carries).
    static bool isForeign(const Credentials& credentials);
    // Compared in constant time.
    bool isToken(const QString& presented) const;

    // A new session for a client that showed the token: the Set-Cookie value.
    QByteArray openSession();
    // Ends the session the cookie names, if any; its id ("" for none).
    QByteArray closeSession(const QByteArray& cookieHeader);
    // The live session the cookie names; "" for none.
    QByteArray sessionOf(const QByteArray& cookieHeader);
    // Ends the sessions past their lifetime; their ids, and those of the sessions new ones pushed out since.
    QList<QByteArray> endOldSessions();
    // The Set-Cookie value that makes a browser forget its session.
    QByteArray expiredCookie() const;
    // Served over HTTPS: the cookie is marked Secure, so a browser never sends it in plain text.
    void setSecure(bool https) { secure = https; }

private:
    using Clock = std::chrono::steady_clock;
    bool liveSession(const QByteArray& cookieHeader) { return !sessionOf(cookieHeader).isEmpty(); }

    struct Session {
        Clock::time_point opened;
        Clock::time_point used;
    };
    QByteArray token;
    bool secure = false;
    std::map<QByteArray, Session> sessions; // by id
    QList<QByteArray> pushedOut; // beyond kMaxSessions, not yet told of
};
