#pragma once

// Discovery for the loopback runtime: every sender owns an announcement file
// in one folder per user and holds an exclusive lock on it while it lives.
// The kernel drops the lock when the process dies (SIGKILL included), so a
// file whose lock can be taken is stale and removed by whoever sees it.
//
// The folder is $KESTRIX_LOOPBACK_DIR, else /tmp/kestrix-ndi-loopback-<uid>,
// created 0700 on demand. It is used only while it is a real folder of this
// user's that no one else can open, and only announcement files of this
// user's that no one else can write are believed: whoever could write there
// could plant sources.

#include <memory>
#include <string>
#include <vector>

namespace loopback {

struct Announcement {
    std::string name; // "MACHINE (stream)"
    int port = 0; // TCP port on 127.0.0.1
};

// The machine part of the names this process publishes:
// $KESTRIX_LOOPBACK_HOSTNAME verbatim, else the host name upper-cased.
std::string machineName();

// The live announcements, in no particular order. Stale ones are removed.
std::vector<Announcement> listAnnouncements();

class AnnouncementFile {
public:
    // Publishes `streamName` (made unique on this machine by a " 2", " 3"...
    // suffix) for `port`. Null when the folder is refused or cannot be written.
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
