#pragma once

// Threads: user-interface thread (it operates the bridge as the page's slots do).

#include <QtCore/QByteArray>
#include <QtCore/QJsonObject>
#include <QtCore/QString>

#include <optional>

class QMLWrapper;

// The calls of the HTTP API under /api/v1/: JSON in, a status and JSON out.
// Every change goes through the bridge, so it is held to the same checks and
// queued the same way as the page's, and the pages follow it. A value the
// router refuses answers 400 with the reason and changes nothing; a name the
// router does not know answers 404. The README is its reference.
class RoutingApi {
public:
    struct Reply {
        int status = 200;
        QJsonObject body;
    };

    // Mapping files are loaded and saved in `showsFolder` alone.
    RoutingApi(QMLWrapper& bridge, QString showsFolder);

    // `path` after "/api/v1"; `body` as sent (JSON for the changes).
    Reply call(const QByteArray& method, const QString& path, const QByteArray& body);

    // The answers of the reading calls, also sent by the event stream.
    QJsonObject sources();
    QJsonObject senders();
    QJsonObject routing();
    // The state of the engine, the senders and the sources: the page's status document.
    QJsonObject status();

private:
    Reply change(const QString& path, const QJsonObject& request);
    Reply loadMappingFile(const QJsonObject& request);
    Reply saveMappingFile(const QJsonObject& request);

    // The path in the shows folder that the request's "path" names; nothing, with the answer, when it names none.
    std::optional<QString> showPath(const QJsonObject& request, Reply& refusal) const;

    QMLWrapper& bridge;
    QString shows;
};
