#include "Registry.h"

#include "Log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace loopback {

namespace {

bool readWhole(int fd, std::string& out)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > 65536)
            return false;
    }
}

bool writeWhole(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Serialises name choice between processes, so two senders never publish one name.
class FolderLock {
public:
    explicit FolderLock(int folderFd)
    {
        fd = ::openat(folderFd, ".lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
    }
    ~FolderLock()
    {
        if (fd >= 0)
            ::close(fd); // closing drops the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd = -1;
};

// A problem that lasts is reported once, not at every look at the folder.
bool firstReport(const std::string& subject)
{
    static std::mutex mutex;
    static std::set<std::string> reported;
    std::lock_guard lock(mutex);
    return reported.size() < 1000 && reported.insert(subject).second;
}

std::string folderPath()
{
    std::string folder;
    if (const char* chosen = std::getenv("KESTRIX_LOOPBACK_DIR"); chosen != nullptr && *chosen != '\0')
        folder = chosen;
    else
        folder = "/tmp/kestrix-ndi-loopback-" + std::to_string(::getuid());
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back(); // a trailing slash would follow a symbolic link
    return folder;
}

// The discovery folder, open, when it is this user's alone; -1 otherwise.
// Everything inside is then reached through this descriptor, so the folder
// checked is the folder used. Anyone who could write to it could plant
// sources, or take over announcements.
int openFolder(std::string& folder)
{
    folder = folderPath();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        if (firstReport(folder))
            logLine("cannot create the discovery folder %s: %s", folder.c_str(), std::strerror(errno));
        return -1;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat about { };
    std::string problem;
    if (fd < 0)
        problem = errno == ELOOP || errno == ENOTDIR ? "it is a symbolic link, or no folder" : std::strerror(errno);
    else if (::fstat(fd, &about) != 0)
        problem = std::strerror(errno);
    else if (about.st_uid != ::geteuid())
        problem = "it belongs to user " + std::to_string(about.st_uid);
    else if ((about.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(about.st_mode & 0777));
        problem = std::string("other users can open it (mode ") + mode + "; chmod 700 mends it)";
    }
    if (problem.empty())
        return fd;
    if (firstReport(folder))
        logLine("discovery folder %s refused: %s; nothing is announced or discovered through it", folder.c_str(),
            problem.c_str());
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// Whether an announcement may be believed: a file of this user's that nobody else can change.
bool trustworthy(int fd, const std::string& path)
{
    struct stat about { };
    const char* problem = nullptr;
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode))
        problem = "it is no plain file";
    else if (about.st_uid != ::geteuid())
        problem = "it belongs to another user";
    else if ((about.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problem = "other users can write to it";
    if (problem != nullptr && firstReport(path))
        logLine("announcement %s ignored: %s", path.c_str(), problem);
    return problem == nullptr;
}

} // namespace

std::string machineName()
{
    if (const char* chosen = std::getenv("KESTRIX_LOOPBACK_HOSTNAME"); chosen != nullptr && *chosen != '\0')
        return chosen;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::strcpy(host, "localhost");
    std::string name(host);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    return name;
}

std::vector<Announcement> listAnnouncements()
{
    std::vector<Announcement> found;
    std::string folder;
    const int folderFd = openFolder(folder);
    if (folderFd < 0)
        return found;
    DIR* dir = ::fdopendir(folderFd);
    if (dir == nullptr) {
        ::close(folderFd);
        return found;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        if (file.size() < 5 || file.compare(file.size() - 4, 4, ".src") != 0)
            continue;
        // Never blocks: a planted FIFO or device is refused, not waited for.
        const int fd = ::openat(folderFd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (!trustworthy(fd, folder + "/" + file)) {
            ::close(fd);
            continue;
        }
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            ::unlinkat(folderFd, file.c_str(), 0); // its sender is gone
            ::close(fd);
            continue;
        }
        std::string content;
        const bool ok = readWhole(fd, content);
        ::close(fd);
        const auto lineEnd = content.find('\n');
        if (!ok || lineEnd == std::string::npos)
            continue;
        Announcement a;
        a.port = std::atoi(content.substr(0, lineEnd).c_str());
        a.name = content.substr(lineEnd + 1);
        if (a.port > 0 && a.port < 65536 && !a.name.empty())
            found.push_back(std::move(a));
    }
    ::closedir(dir); // closes folderFd too
    return found;
}

std::unique_ptr<AnnouncementFile> AnnouncementFile::publish(const std::string& streamName, int port)
{
    static std::atomic<unsigned> counter{0};
    std::string folder;
    const int folderFd = openFolder(folder);
    if (folderFd < 0) {
        logLine("cannot announce %s: no discovery folder of this user's alone", streamName.c_str());
        return nullptr;
    }
    std::unique_ptr<AnnouncementFile> file(new AnnouncementFile);
    {
        FolderLock lock(folderFd);

        const std::string machine = machineName();
        const auto live = listAnnouncements();
        std::string name = machine + " (" + streamName + ")";
        for (int n = 2; std::any_of(live.begin(), live.end(), [&](const Announcement& a) { return a.name == name; });
             ++n)
            name = machine + " (" + streamName + " " + std::to_string(n) + ")";

        const std::string base = std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const std::string temporary = base + ".tmp";
        file->fd = ::openat(folderFd, temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        // The lock is taken before the file gets its visible name, so nobody sees it unlocked.
        if (file->fd < 0 || ::flock(file->fd, LOCK_EX) != 0 ||
            !writeWhole(file->fd, std::to_string(port) + "\n" + name) ||
            ::renameat(folderFd, temporary.c_str(), folderFd, (base + ".src").c_str()) != 0) {
            logLine("cannot announce %s in %s: %s", name.c_str(), folder.c_str(), std::strerror(errno));
            ::unlinkat(folderFd, temporary.c_str(), 0);
            file.reset();
        } else {
            file->path = folder + "/" + base + ".src";
            file->name = name;
        }
    }
    ::close(folderFd);
    return file;
}

AnnouncementFile::~AnnouncementFile()
{
    if (fd >= 0) {
        ::unlink(path.c_str());
        ::close(fd);
    }
}

} // namespace loopback
