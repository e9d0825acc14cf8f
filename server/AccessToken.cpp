#include "server/AccessToken.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QRandomGenerator>
#include <QtCore/QStandardPaths>

#include <array>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr qsizetype kShortestToken = 32; // 128 bits as hexadecimal digits

QString newToken()
{
    std::array<quint32, 4> bits;
    QRandomGenerator::system()->fillRange(bits.data(), bits.size());
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bits.data()), sizeof bits).toHex());
}

bool usable(const QString& token)
{
    if (token.size() < kShortestToken)
        return false;
    for (const QChar c : token)
        if (c.unicode() <= ' ' || c.unicode() >= 127)
            return false;
    return true;
}

std::string str(const QString& s)
{
    return s.toStdString();
}

#if defined(Q_OS_UNIX)
// Written with its mode from the start: no moment in which others could read it.
bool writeNew(const QString& path, const QString& token, std::string& why)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot create " + str(path) + ": " + std::strerror(errno);
        return false;
    }
    const QByteArray bytes = token.toLatin1() + '\n';
    const bool written = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        why = "cannot write " + str(path);
        ::unlink(name.constData());
        return false;
    }
    return true;
}

bool privateToUser(const QString& path, std::string& why)
{
    struct stat info { };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        why = "cannot read " + str(path) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
        why = str(path) +
            " must be a file of this user that no one else can read or write (mode 0600); "
            "remove it and a new token is made";
        return false;
    }
    return true;
}
#else
bool writeNew(const QString& path, const QString& token, std::string& why)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(token.toLatin1() + '\n') < 0) {
        why = "cannot create " + str(path) + ": " + str(file.errorString());
        return false;
    }
    return true;
}

bool privateToUser(const QString&, std::string&)
{
    return true;
}
#endif

} // namespace

QString AccessToken::defaultPath()
{
    QCoreApplication::setOrganizationName("Morvane");
    QCoreApplication::setApplicationName("Kestrix");
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/remote-access-token";
}

std::optional<AccessToken> AccessToken::load(const QString& path, std::string& why)
{
    AccessToken result;
    result.file = path;
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
            why = "cannot make the folder of " + str(path);
            return std::nullopt;
        }
        result.token = newToken();
        result.made = true;
        if (!writeNew(path, result.token, why))
            return std::nullopt;
        return result;
    }
    if (!privateToUser(path, why))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = "cannot read " + str(path) + ": " + str(file.errorString());
        return std::nullopt;
    }
    result.token = QString::fromUtf8(file.read(4096)).trimmed();
    if (!usable(result.token)) {
        why = str(path) + " holds no usable token (at least " + std::to_string(kShortestToken) +
            " visible ASCII characters); remove it and a new one is made";
        return std::nullopt;
    }
    return result;
}
