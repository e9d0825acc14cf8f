#pragma once

// Threads: pure functions, any thread; an S101Reader belongs to one connection's thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// S101, the framing Ember+ runs over TCP: each frame is FE, its escaped
// content, FF; the content is a header, the payload and a CRC. A Glow message
// longer than a frame travels as a first, middle and last frame whose
// payloads are joined.
namespace S101 {

using Bytes = std::vector<uint8_t>;

// What one frame carries of a message: consumers expect at most 1024 bytes of
// header and payload in a frame.
inline constexpr size_t kMaxChunk = 1015;

// CRC-16/X.25 as S101 sends it: the complement, its low byte first on the wire.
uint16_t crc(std::span<const uint8_t> content);

// The frames (one after the other, ready to send) that carry one Glow message.
Bytes messageFrames(std::span<const uint8_t> payload);
// The answer to a keep-alive request, and the request itself.
Bytes keepAliveResponse();
Bytes keepAliveRequest();

} // namespace S101

// Turns a connection's bytes back into what its frames carry.
class S101Reader {
public:
    enum class Kind { Message, KeepAliveRequest, KeepAliveResponse };
    struct Event {
        Kind kind;
        S101::Bytes payload; // a whole Glow message, the frames of a long one joined
    };

    // A frame longer than this (unescaped) is not S101; a message longer than `maxMessage` is refused.
    static constexpr size_t kMaxFrame = 8192;
    explicit S101Reader(size_t maxMessageSize) : maxMessage(maxMessageSize) { }

    // Reads `bytes` as they came and appends what they completed to `events`.
    // Returns the reason when the stream is broken (a frame that is not S101:
    // a bad escape, CRC or header, or a message beyond the limit); nothing is
    // read after that.
    std::optional<std::string> read(std::span<const uint8_t> bytes, std::vector<Event>& events);

private:
    std::optional<std::string> frameEnded(std::vector<Event>& events);

    const size_t maxMessage;
    bool inFrame = false;
    bool escaped = false;
    S101::Bytes frame;
    bool inMessage = false; // between a first and a last frame
    S101::Bytes message;
    std::optional<std::string> broken;
};
