#pragma once

// Threads: user-interface thread, at start.

#include <QtCore/QString>

#include <optional>
#include <string>

// The secret that opens the server: 128 random bits, made at the first start
// and kept in a file that only its user can read.
class AccessToken {
public:
    // Reads the token from `path`, or makes one and writes it there (mode
    // 0600, in a folder made for it). Refuses a file that others can read or
    // that holds no usable token, with the reason in `why`.
    static std::optional<AccessToken> load(const QString& path, std::string& why);
    // The file beside the automatic mapping file, in the application-data folder.
    static QString defaultPath();

    const QString& text() const { return token; }
    const QString& path() const { return file; }
    // True when this start made the token: it is shown once, then only its file is named.
    bool madeNow() const { return made; }

private:
    QString token;
    QString file;
    bool made = false;
};
