#pragma once

// Discovery for the loopback runtime: every sender owns an announcement file
// in one folder per user and holds an exclusive lock on it while it lives.
// The kernel drops the lock when the process dies (SIGKILL included), so a
// file whose lock can be taken is stale and removed by whoever sees it.

#include <memory>
#include <string>
#include <vector>

namespace loopback {

struct Announcement {
    std::string name; // "MACHINE (stream)"
    int port = 0; // TCP port on 127.0.0.1
};

// $KESTRIX_LOOPBACK_DIR, else /tmp/kestrix-ndi-loopback-<uid>; created on demand.
std::string registryFolder();

// The machine part of the names this process publishes:
// $KESTRIX_LOOPBACK_HOSTNAME verbatim, else the host name upper-cased.
std::string machineName();

// The live announcements, in no particular order. Stale ones are removed.
std::vector<Announcement> listAnnouncements();

class AnnouncementFile {
public:
    // Publishes `streamName` (made unique on this machine by a " 2", " 3"...
    // suffix) for `port`. Null when the folder cannot be written.
    static std::unique_ptr<AnnouncementFile> publish(const std::string& streamName, int port);
    ~AnnouncementFile();

    const std::string& fullName() const { return name; }

private:
    AnnouncementFile() = default;
    int fd = -1;
    std::string path;
    std::string name;
};

} // namespace loopback
