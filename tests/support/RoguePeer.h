#pragma once

// A source that speaks the loopback wire protocol by hand, so a test can send
// a receiver what no loopback sender would. It is announced as a sender is (a
// locked file in the discovery folder), accepts receivers on 127.0.0.1 and
// writes whatever frames the test gives it.

#include "LoopbackEnvironment.h"
#include "ndi/loopback/Wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

class RoguePeer {
public:
    // `fullName` is the name finders list, e.g. "ROGUE (Pictures)"; the
    // announcement file gets `fileMode`.
    explicit RoguePeer(const std::string& fullName, mode_t fileMode = 0600) : sourceName(fullName)
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
            ADD_FAILURE() << "rogue peer cannot listen: " << std::strerror(errno);
        const int port = ntohs(addr.sin_port);
        announcementPath = LoopbackEnvironment::folder + "/rogue-" + std::to_string(port) + ".src";
        announcement = ::open(announcementPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const std::string content = std::to_string(port) + "\n" + sourceName;
        // Held locked, as a live sender's file is; fchmod, because the umask only takes bits away.
        if (announcement < 0 || ::flock(announcement, LOCK_EX) != 0 || ::fchmod(announcement, fileMode) != 0 ||
            ::write(announcement, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
            ADD_FAILURE() << "rogue peer cannot announce itself: " << std::strerror(errno);
    }

    ~RoguePeer()
    {
        dropConnection();
        ::unlink(announcementPath.c_str());
        ::close(announcement);
        ::close(listener);
    }

    RoguePeer(const RoguePeer&) = delete;
    RoguePeer& operator=(const RoguePeer&) = delete;

    const std::string& name() const { return sourceName; }
    const std::string& announcementFile() const { return announcementPath; }

    // Waits for a receiver to connect and send its hello.
    bool acceptReceiver(std::chrono::milliseconds timeout = std::chrono::seconds(3))
    {
        dropConnection();
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1)
            return false;
        connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        loopback::WireHello hello;
        auto* at = reinterpret_cast<uint8_t*>(&hello);
        for (size_t got = 0; connection >= 0 && got < sizeof hello;) {
            pollfd in{connection, POLLIN, 0};
            const ssize_t n = ::poll(&in, 1, static_cast<int>(timeout.count())) == 1
                ? ::recv(connection, at + got, sizeof hello - got, 0)
                : -1;
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return connection >= 0 && hello.magic == loopback::kHelloMagic;
    }

    // Writes one frame as it travels: the header as given, then `following`
    // (metadata and payload) whether or not the header agrees with it.
    bool send(const loopback::WireHeader& header, const std::vector<uint8_t>& following)
    {
        return sendAll(&header, sizeof header) && sendAll(following.data(), following.size());
    }

    // A UYVY picture's header, claiming `payloadBytes` bytes.
    static loopback::WireHeader uyvy(int xres, int yres, int stride, uint32_t payloadBytes)
    {
        loopback::WireHeader h;
        h.kind = loopback::WireKind::video;
        h.xres = xres;
        h.yres = yres;
        h.fourCC = NDIlib_FourCC_video_type_UYVY;
        h.strideOrSize = stride;
        h.rateN = 25;
        h.rateD = 1;
        h.formatType = NDIlib_frame_format_type_progressive;
        h.payloadBytes = payloadBytes;
        return h;
    }

    // Whether the receiver closes the connection within `timeout`.
    bool hungUp(std::chrono::milliseconds timeout = std::chrono::seconds(3))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd in{connection, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&in, 1, static_cast<int>(left.count())) != 1)
                return false;
            char ignored[256];
            if (::recv(connection, ignored, sizeof ignored, 0) <= 0)
                return true;
        }
    }

private:
    bool sendAll(const void* data, size_t size)
    {
        for (auto* at = static_cast<const uint8_t*>(data); size > 0;) {
            const ssize_t n = ::send(connection, at, size, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    void dropConnection()
    {
        if (connection >= 0)
            ::close(connection);
        connection = -1;
    }

    std::string sourceName;
    std::string announcementPath;
    int listener = -1;
    int announcement = -1;
    int connection = -1;
};
