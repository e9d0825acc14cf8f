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
#include <cstdlib>
#include <cstring>

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
    explicit FolderLock(const std::string& folder)
    {
        fd = ::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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

} // namespace

std::string registryFolder()
{
    std::string folder;
    if (const char* chosen = std::getenv("KESTRIX_LOOPBACK_DIR"); chosen != nullptr && *chosen != '\0')
        folder = chosen;
    else
        folder = "/tmp/kestrix-ndi-loopback-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        logLine("cannot create the discovery folder %s: %s", folder.c_str(), std::strerror(errno));
    return folder;
}

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
    const std::string folder = registryFolder();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        if (file.size() < 5 || file.compare(file.size() - 4, 4, ".src") != 0)
            continue;
        const std::string path = folder + "/" + file;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            ::unlink(path.c_str()); // its sender is gone
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
    ::closedir(dir);
    return found;
}

std::unique_ptr<AnnouncementFile> AnnouncementFile::publish(const std::string& streamName, int port)
{
    static std::atomic<unsigned> counter{0};
    const std::string folder = registryFolder();
    FolderLock lock(folder);

    const std::string machine = machineName();
    const auto live = listAnnouncements();
    std::string name = machine + " (" + streamName + ")";
    for (int n = 2; std::any_of(live.begin(), live.end(), [&](const Announcement& a) { return a.name == name; }); ++n)
        name = machine + " (" + streamName + " " + std::to_string(n) + ")";

    const std::string base = folder + "/" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const std::string temporary = base + ".tmp";
    std::unique_ptr<AnnouncementFile> file(new AnnouncementFile);
    file->fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file->fd < 0) {
        logLine("cannot announce %s in %s: %s", name.c_str(), folder.c_str(), std::strerror(errno));
        return nullptr;
    }
    // The lock is taken before the file gets its visible name, so nobody sees it unlocked.
    if (::flock(file->fd, LOCK_EX) != 0 || !writeWhole(file->fd, std::to_string(port) + "\n" + name) ||
        ::rename(temporary.c_str(), (base + ".src").c_str()) != 0) {
        logLine("cannot announce %s in %s: %s", name.c_str(), folder.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
        return nullptr;
    }
    file->path = base + ".src";
    file->name = name;
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
