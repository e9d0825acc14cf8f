#pragma once

// A blocking HTTP/1.1 client on one connection to 127.0.0.1, for tests and
// benchmarks that drive kestrix-server as a program would: requests on a kept
// connection, and the WebSocket upgrade with its text frames. Every wait is
// bounded by the socket's time-out. And a free port to start a server on.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

inline sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A port that nothing listened on when asked (it may still be taken before the server binds it).
inline int freeLoopbackPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

class HttpClient {
public:
    struct Response {
        int status = 0; // 0: no answer (refused, closed, timed out)
        std::string head; // the status line and the header lines, each ending in CR LF
        std::string body;
        // A header's value, its name (given in lower case) in any case; "" when there is none.
        std::string header(const std::string& name) const
        {
            std::string names = head;
            std::transform(names.begin(), names.end(), names.begin(), [](unsigned char c) { return std::tolower(c); });
            const size_t at = names.find("\r\n" + name + ":"), from = head.find_first_not_of(' ', at + 3 + name.size());
            return at == std::string::npos ? "" : head.substr(from, head.find("\r\n", from) - from);
        }
    };
    using Headers = std::vector<std::pair<std::string, std::string>>;

    explicit HttpClient(int serverPort, int timeout = 10) : port(serverPort), timeoutSeconds(timeout) { }
    ~HttpClient() { disconnect(); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // A request on the kept connection, made again once when the server had closed it.
    Response request(
        const std::string& method, const std::string& path, const std::string& body = {}, Headers headers = {})
    {
        if (!body.empty() || method == "POST")
            headers.emplace_back("Content-Length", std::to_string(body.size()));
        for (int attempt = 0; attempt < 2; ++attempt) {
            Response response;
            if ((fd >= 0 || open()) && send(head(method, path, headers) + body) &&
                (response = readResponse(method != "HEAD")).status != 0) {
                if (response.header("connection") == "close")
                    disconnect();
                return response;
            }
            disconnect();
        }
        return {};
    }

    // The WebSocket handshake on a new connection; the answer's status is 101 when it was taken.
    Response upgrade(const std::string& path, Headers headers = {})
    {
        disconnect();
        headers.insert(headers.end(),
            {{"Connection", "Upgrade"}, {"Upgrade", "websocket"}, {"Sec-WebSocket-Version", "13"},
                {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}});
        return open() && send(head("GET", path, headers)) ? readResponse() : Response{};
    }

    // After a 101: sends one text message of any length, final and masked as a client must.
    bool sendText(const std::string& payload)
    {
        std::string frame{'\x81'};
        const uint64_t length = payload.size();
        if (length < 126) {
            frame += static_cast<char>(0x80 | length);
        } else {
            const int bytes = length < 65536 ? 2 : 8;
            frame += static_cast<char>(0x80 | (bytes == 2 ? 126 : 127));
            for (int i = bytes - 1; i >= 0; --i)
                frame += static_cast<char>((length >> (8 * i)) & 0xff);
        }
        const std::string mask = "\x5a\xc3\x0f\x96";
        frame += mask;
        for (size_t i = 0; i < payload.size(); ++i)
            frame += static_cast<char>(payload[i] ^ mask[i % 4]);
        return send(frame);
    }

    // Bytes as they are, on the open connection (opened if there is none).
    bool sendRaw(const std::string& bytes) { return (fd >= 0 || open()) && send(bytes); }

    // The receive buffer of the next connection this client opens (0: the system's).
    void setReceiveBuffer(int bytes) { receiveBuffer = bytes; }

    // After a 101: the next text message (other frames are skipped), or nothing on time-out or close.
    // A frame is taken whole or not at all: after a time-out the next call reads it again.
    std::optional<std::string> readText()
    {
        for (;;) {
            if (!fill(2))
                return std::nullopt;
            const uint8_t code = buffered[1] & 0x7f;
            const size_t start = 2 + (code == 126 ? 2 : code == 127 ? 8 : 0);
            if (!fill(start))
                return std::nullopt;
            uint64_t length = start > 2 ? 0 : code;
            for (size_t i = 2; i < start; ++i)
                length = (length << 8) | static_cast<uint8_t>(buffered[i]);
            if (!fill(start + length))
                return std::nullopt;
            const bool text = (buffered[0] & 0x0f) == 0x1;
            std::string payload = buffered.substr(start, length);
            buffered.erase(0, start + length);
            if (text)
                return payload;
        }
    }

    // As readText(), waiting at most about `within` for each part of the frame instead of the client's time-out.
    std::optional<std::string> readText(std::chrono::milliseconds within)
    {
        waitForEachRead(std::max(within, std::chrono::milliseconds{1}));
        auto text = readText();
        waitForEachRead(std::chrono::seconds{timeoutSeconds});
        return text;
    }

    void disconnect()
    {
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
        buffered.clear();
    }

private:
    void waitForEachRead(std::chrono::microseconds wait)
    {
        const timeval limit{
            static_cast<time_t>(wait.count() / 1000000), static_cast<suseconds_t>(wait.count() % 1000000)};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }

    bool open()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval wait{timeoutSeconds, 0};
        const int one = 1;
        waitForEachRead(std::chrono::seconds{timeoutSeconds});
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (receiveBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const sockaddr_in address = loopbackAddress(port);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return true;
        disconnect();
        return false;
    }

    std::string head(const std::string& method, const std::string& path, const Headers& headers) const
    {
        // The server's own address as the host, unless the request names another.
        const bool named = std::any_of(headers.begin(), headers.end(), [](const auto& h) { return h.first == "Host"; });
        std::string text = method + " " + path + " HTTP/1.1\r\n";
        if (!named)
            text += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
        for (const auto& [name, value] : headers)
            text += name + ": " + value + "\r\n";
        return text + "\r\n";
    }

    bool send(const std::string& text)
    {
        for (size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Receives until `count` bytes are buffered; what was received stays buffered on a time-out.
    bool fill(size_t count)
    {
        char chunk[16384];
        for (ssize_t n; buffered.size() < count; buffered.append(chunk, static_cast<size_t>(n)))
            if ((n = ::recv(fd, chunk, sizeof chunk, 0)) <= 0)
                return false;
        return true;
    }

    // The answer's head and, unless it answers HEAD, its body.
    Response readResponse(bool withBody = true)
    {
        size_t end;
        while ((end = buffered.find("\r\n\r\n")) == std::string::npos)
            if (!fill(buffered.size() + 1))
                return {};
        Response response{0, buffered.substr(0, end + 2), {}};
        buffered.erase(0, end + 4);
        const size_t length = withBody ? std::stoul("0" + response.header("content-length")) : 0;
        if (!fill(length))
            return {};
        response.status = end >= 12 ? std::atoi(response.head.c_str() + 9) : 0; // "HTTP/1.1 200 OK"
        response.body = buffered.substr(0, length);
        buffered.erase(0, length);
        return response;
    }

    int port;
    int timeoutSeconds;
    int fd = -1;
    int receiveBuffer = 0;
    std::string buffered; // received and not yet taken
};
