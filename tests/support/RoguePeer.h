#pragma once

// A source that speaks the loopback wire protocol by hand, so a test can send
// a receiver what no loopback sender would. It is announced as a sender is (a
// locked file in the discovery folder) and accepts receivers on 127.0.0.1.

#include "LoopbackEnvironment.h"
#include "ndi/loopback/Wire.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

class RoguePeer {
public:
    // `fullName` is the name finders list, e.g. "ROGUE (Pictures)".
    explicit RoguePeer(const std::string& fullName, mode_t fileMode = 0600) : sourceName(fullName)
    {
        sockaddr_in addr{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        socklen_t length = sizeof addr;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
            ADD_FAILURE() << "rogue peer cannot listen: " << std::strerror(errno);
        const std::string port = std::to_string(ntohs(addr.sin_port)), content = port + "\n" + sourceName;
        announcementPath = LoopbackEnvironment::folder + "/rogue-" + port + ".src";
        announcement = ::open(announcementPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        // Held locked, as a live sender's file is; fchmod, because the umask only takes bits away.
        if (announcement < 0 || ::flock(announcement, LOCK_EX) != 0 || ::fchmod(announcement, fileMode) != 0 ||
            ::write(announcement, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
            ADD_FAILURE() << "rogue peer cannot announce itself: " << std::strerror(errno);
    }
    ~RoguePeer()
    {
        ::close(connection);
        ::unlink(announcementPath.c_str());
        ::close(announcement);
        ::close(listener);
    }
    RoguePeer(const RoguePeer&) = delete;
    RoguePeer& operator=(const RoguePeer&) = delete;

    const std::string& name() const { return sourceName; }
    const std::string& announcementFile() const { return announcementPath; }

    // Takes the next receiver and its hello, each within 3 s.
    bool acceptReceiver()
    {
        ::close(std::exchange(connection, -1));
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, 3000) != 1 || (connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0)
            return false;
        // Every later wait on the connection is bounded too.
        const timeval timeout{.tv_sec = 3, .tv_usec = 0};
        for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO})
            ::setsockopt(connection, SOL_SOCKET, option, &timeout, sizeof timeout);
        loopback::WireHello hello;
        return ::recv(connection, &hello, sizeof hello, MSG_WAITALL) == sizeof hello &&
            hello.magic == loopback::kHelloMagic;
    }

    // Writes `header` as given, then `following` bytes of 0x80, whether or not they make a frame.
    bool send(const loopback::WireHeader& header, size_t following)
    {
        std::vector<uint8_t> bytes(sizeof header + following, 0x80);
        std::memcpy(bytes.data(), &header, sizeof header);
        return ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Whether the receiver closes the connection within 3 s (it sends nothing after its hello).
    bool hungUp()
    {
        char byte;
        const ssize_t n = ::recv(connection, &byte, 1, 0);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    std::string sourceName, announcementPath;
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int announcement = -1, connection = -1;
};
