#include "ember/S101.h"

#include <algorithm>
#include <array>

namespace {

constexpr uint8_t kBeginFrame = 0xFE;
constexpr uint8_t kEndFrame = 0xFF;
constexpr uint8_t kEscape = 0xFD;
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint8_t kFirstSpecial = 0xF8; // this byte and above are escaped

constexpr uint8_t kSlot = 0x00;
constexpr uint8_t kMessageType = 0x0E; // Ember
constexpr uint8_t kVersion = 0x01;
constexpr uint8_t kCommandPayload = 0x00;
constexpr uint8_t kCommandKeepAliveRequest = 0x01;
constexpr uint8_t kCommandKeepAliveResponse = 0x02;
constexpr uint8_t kDtdGlow = 0x01;
// Glow DTD 2.50, minor first.
constexpr uint8_t kDtdMinor = 0x32;
constexpr uint8_t kDtdMajor = 0x02;

constexpr uint8_t kFlagFirst = 0x80;
constexpr uint8_t kFlagLast = 0x40;
constexpr uint8_t kFlagEmpty = 0x20;

// The CRC of a content read back with its own CRC.
constexpr uint16_t kCrcResidue = 0xF0B8;

constexpr std::array<uint16_t, 256> kCrcTable = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) != 0 ? static_cast<uint16_t>((c >> 1) ^ 0x8408) : static_cast<uint16_t>(c >> 1);
        table[i] = c;
    }
    return table;
}();

uint16_t crcRegister(std::span<const uint8_t> bytes)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes)
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ b) & 0xFF]);
    return crc;
}

void putEscaped(S101::Bytes& out, uint8_t b)
{
    if (b >= kFirstSpecial) {
        out.push_back(kEscape);
        out.push_back(static_cast<uint8_t>(b ^ kEscapeXor));
    } else {
        out.push_back(b);
    }
}

// One whole frame around `content` (header and payload), with its CRC.
void putFrame(S101::Bytes& out, std::span<const uint8_t> content)
{
    const uint16_t crc = S101::crc(content);
    out.push_back(kBeginFrame);
    for (uint8_t b : content)
        putEscaped(out, b);
    putEscaped(out, static_cast<uint8_t>(crc & 0xFF));
    putEscaped(out, static_cast<uint8_t>(crc >> 8));
    out.push_back(kEndFrame);
}

S101::Bytes keepAlive(uint8_t command)
{
    S101::Bytes out;
    const uint8_t content[] = {kSlot, kMessageType, command, kVersion};
    putFrame(out, content);
    return out;
}

} // namespace

uint16_t S101::crc(std::span<const uint8_t> content)
{
    return static_cast<uint16_t>(~crcRegister(content));
}

S101::Bytes S101::messageFrames(std::span<const uint8_t> payload)
{
    Bytes out;
    out.reserve(payload.size() + payload.size() / 8 + 16);
    Bytes content;
    size_t offset = 0;
    do {
        const size_t size = std::min(kMaxChunk, payload.size() - offset);
        uint8_t flags = 0;
        if (offset == 0)
            flags |= kFlagFirst;
        if (offset + size == payload.size())
            flags |= kFlagLast;
        content = {kSlot, kMessageType, kCommandPayload, kVersion, flags, kDtdGlow, 2, kDtdMinor, kDtdMajor};
        content.insert(content.end(), payload.begin() + static_cast<std::ptrdiff_t>(offset),
            payload.begin() + static_cast<std::ptrdiff_t>(offset + size));
        putFrame(out, content);
        offset += size;
    } while (offset < payload.size());
    return out;
}

S101::Bytes S101::keepAliveResponse()
{
    return keepAlive(kCommandKeepAliveResponse);
}

S101::Bytes S101::keepAliveRequest()
{
    return keepAlive(kCommandKeepAliveRequest);
}

std::optional<std::string> S101Reader::read(std::span<const uint8_t> bytes, std::vector<Event>& events)
{
    for (uint8_t b : bytes) {
        if (broken)
            break;
        if (b == kBeginFrame) {
            // A new frame starts, whatever came before it.
            inFrame = true;
            escaped = false;
            frame.clear();
        } else if (!inFrame) {
            // Bytes between frames (the non-escaping variant's among them) mean nothing.
        } else if (b == kEndFrame) {
            inFrame = false;
            if (escaped)
                broken = "an escape ends the frame";
            else
                broken = frameEnded(events);
        } else if (escaped) {
            escaped = false;
            frame.push_back(static_cast<uint8_t>(b ^ kEscapeXor));
        } else if (b == kEscape) {
            escaped = true;
        } else if (b >= kFirstSpecial) {
            broken = "a byte that must be escaped stands unescaped in a frame";
        } else {
            frame.push_back(b);
        }
        if (frame.size() > kMaxFrame)
            broken = "a frame is longer than " + std::to_string(kMaxFrame) + " bytes";
    }
    return broken;
}

std::optional<std::string> S101Reader::frameEnded(std::vector<Event>& events)
{
    // slot, message type, command, version and the CRC at least.
    if (frame.size() < 6)
        return "a frame is too short";
    if (crcRegister(frame) != kCrcResidue)
        return "a frame's CRC does not match";
    frame.resize(frame.size() - 2);
    if (frame[0] != kSlot || frame[1] != kMessageType)
        return "a frame is not an Ember frame";
    switch (frame[2]) {
    case kCommandKeepAliveRequest: events.push_back({Kind::KeepAliveRequest, {}}); return std::nullopt;
    case kCommandKeepAliveResponse: events.push_back({Kind::KeepAliveResponse, {}}); return std::nullopt;
    case kCommandPayload: break;
    default: return std::nullopt; // a command a consumer has no business sending; nothing to do
    }
    // version, flags, DTD, count of application bytes, those bytes
    if (frame.size() < 7 || frame.size() < 7u + frame[6])
        return "a payload frame's header is cut short";
    if (frame[5] != kDtdGlow)
        return "a payload frame does not carry Glow";
    const uint8_t flags = frame[4];
    const auto payload = std::span<const uint8_t>(frame).subspan(7u + frame[6]);
    if ((flags & kFlagFirst) != 0) {
        message.clear();
        inMessage = true;
    } else if (!inMessage) {
        return "a message's next frame came without its first";
    }
    if ((flags & kFlagEmpty) == 0) {
        if (message.size() + payload.size() > maxMessage)
            return "a message is longer than " + std::to_string(maxMessage) + " bytes";
        message.insert(message.end(), payload.begin(), payload.end());
    }
    if ((flags & kFlagLast) != 0) {
        inMessage = false;
        if (!message.empty())
            events.push_back({Kind::Message, std::move(message)});
        message.clear();
    }
    return std::nullopt;
}
