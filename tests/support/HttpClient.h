#pragma once

// A blocking HTTP/1.1 client on one connection to 127.0.0.1, for tests and
// benchmarks that drive kestrix-server as a program would: requests with
// bodies, kept-alive connections, and the WebSocket upgrade with its text
// frames. Every wait is bounded by the socket's time-out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

class HttpClient {
public:
    struct Response {
        int status = 0; // 0: no answer (refused, closed, timed out)
        std::map<std::string, std::string> headers; // names in lower case
        std::string body;
        std::string header(const std::string& name) const
        {
            const auto found = headers.find(name);
            return found == headers.end() ? std::string() : found->second;
        }
    };
    using Headers = std::vector<std::pair<std::string, std::string>>;

    explicit HttpClient(int serverPort, int timeout = 10) : port(serverPort), timeoutSeconds(timeout) { }
    ~HttpClient() { disconnect(); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // A request on the kept connection (made again when the server closed it).
    Response request(
        const std::string& method, const std::string& path, const std::string& body = {}, const Headers& headers = {})
    {
        std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
        for (const auto& [name, value] : headers)
            text += name + ": " + value + "\r\n";
        if (!body.empty() || method == "POST")
            text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        text += "\r\n" + body;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd < 0 && !connectSocket())
                return {};
            if (sendAll(text)) {
                Response response = readResponse(method != "HEAD");
                if (response.status != 0) {
                    if (response.header("connection") == "close")
                        disconnect();
                    return response;
                }
            }
            disconnect(); // the server closed the kept connection: once more on a new one
        }
        return {};
    }

    // The WebSocket handshake on a new connection; the answer's status is 101 when it was taken.
    Response upgrade(const std::string& path, const Headers& headers = {})
    {
        disconnect();
        if (!connectSocket())
            return {};
        std::string text = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
            "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        for (const auto& [name, value] : headers)
            text += name + ": " + value + "\r\n";
        text += "\r\n";
        if (!sendAll(text))
            return {};
        Response response = readResponse(false);
        if (response.status != 101) {
            const auto length = response.header("content-length");
            if (!length.empty())
                readBody(static_cast<size_t>(std::stoul(length)), response.body);
        }
        return response;
    }

    // After a 101: sends one text message, masked as a client must.
    bool sendText(const std::string& text)
    {
        std::string frame(1, '\x81');
        if (text.size() < 126) {
            frame += static_cast<char>(0x80 | text.size());
        } else {
            frame += static_cast<char>(0x80 | 126);
            frame += static_cast<char>((text.size() >> 8) & 0xff);
            frame += static_cast<char>(text.size() & 0xff);
        }
        std::uniform_int_distribution<int> byte(0, 255);
        char mask[4];
        for (char& m : mask)
            m = static_cast<char>(byte(random));
        frame.append(mask, 4);
        for (size_t i = 0; i < text.size(); ++i)
            frame += static_cast<char>(text[i] ^ mask[i % 4]);
        return sendAll(frame);
    }

    // After a 101: the next text message (control frames are skipped), or nothing on time-out or close.
    std::optional<std::string> readText()
    {
        for (;;) {
            compact();
            // A frame is taken whole or not at all: after a time-out the next call reads it again.
            std::string head, extended, payload;
            if (!readExactly(2, head))
                return std::nullopt;
            const int opcode = head[0] & 0x0f;
            uint64_t length = static_cast<uint8_t>(head[1]) & 0x7f;
            const size_t lengthBytes = length == 126 ? 2 : length == 127 ? 8 : 0;
            if (lengthBytes > 0) {
                if (!readExactly(lengthBytes, extended)) {
                    offset = 0;
                    return std::nullopt;
                }
                length = 0;
                for (char c : extended)
                    length = (length << 8) | static_cast<uint8_t>(c);
            }
            if (!readExactly(static_cast<size_t>(length), payload)) {
                offset = 0;
                return std::nullopt;
            }
            if (opcode == 0x8)
                return std::nullopt;
            if (opcode == 0x1)
                return payload;
        }
    }

    void disconnect()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        buffered.clear();
        offset = 0;
    }

private:
    bool connectSocket()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval wait{timeoutSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            disconnect();
            return false;
        }
        return true;
    }

    bool sendAll(const std::string& text)
    {
        for (size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    bool fill()
    {
        char chunk[16384];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffered.append(chunk, static_cast<size_t>(n));
        return true;
    }

    // What was received and not yet taken starts at `offset`: taking it moves no bytes.
    bool readExactly(size_t count, std::string& out)
    {
        while (buffered.size() - offset < count)
            if (!fill())
                return false;
        out.assign(buffered, offset, count);
        offset += count;
        return true;
    }

    void compact()
    {
        buffered.erase(0, offset);
        offset = 0;
    }

    bool readBody(size_t length, std::string& body) { return readExactly(length, body); }

    Response readResponse(bool withBody)
    {
        compact();
        size_t end;
        while ((end = buffered.find("\r\n\r\n")) == std::string::npos)
            if (!fill())
                return {};
        const std::string head = buffered.substr(0, end);
        offset = end + 4;
        Response response;
        size_t lineEnd = head.find("\r\n");
        const std::string statusLine = head.substr(0, lineEnd);
        if (statusLine.size() < 12)
            return {};
        response.status = std::atoi(statusLine.c_str() + 9);
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line =
                head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            response.headers[name] = value;
        }
        const std::string length = response.header("content-length");
        if (withBody && !length.empty() && !readBody(static_cast<size_t>(std::stoul(length)), response.body))
            return {};
        return response;
    }

    int port;
    int timeoutSeconds;
    int fd = -1;
    std::string buffered;
    size_t offset = 0;
    std::mt19937 random{std::random_device{}()};
};
