#pragma once

// Threads: user-interface thread (the listener and the HTTP side live there).

#include <QtCore/QByteArray>
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
    // A session not used for this long is over; so is the oldest beyond kMaxSessions.
    static constexpr std::chrono::hours kSessionIdleLimit{24};
    static constexpr size_t kMaxSessions = 256;

    explicit AccessControl(QString token);

    Verdict judge(const Credentials& credentials);
    // A page of another origin made the request (whatever else it carries).
    static bool isForeign(const Credentials& credentials);
    // Compared in constant time.
    bool isToken(const QString& presented) const;

    // A new session for a client that showed the token: the Set-Cookie value.
    QByteArray openSession();
    // Ends the session the cookie names, if any.
    void closeSession(const QByteArray& cookieHeader);
    // The Set-Cookie value that makes a browser forget its session.
    static QByteArray expiredCookie();

private:
    using Clock = std::chrono::steady_clock;
    bool liveSession(const QByteArray& cookieHeader);

    QByteArray token;
    std::map<QByteArray, Clock::time_point> sessions; // id -> last use
};
