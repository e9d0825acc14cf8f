#pragma once

// What travels between a loopback sender and its receivers over a TCP
// connection on 127.0.0.1: a hello from the receiver, then frames from the
// sender, each a fixed header followed by metadata text and the media bytes.

#include "ndi/NdiApi.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace loopback {

inline constexpr uint32_t kHelloMagic = 0x4B58484Cu; // "LHXK"
inline constexpr uint32_t kFrameMagic = 0x4B58464Du; // "MFXK"
inline constexpr uint32_t kWireVersion = 1;

// Limits that keep a broken or hostile peer from making us allocate absurdly.
inline constexpr int kMaxChannels = 4096;
inline constexpr int kMaxSamples = 1 << 20;
inline constexpr int kMinSampleRate = 1000;
inline constexpr int kMaxSampleRate = 1000000;
inline constexpr int kMaxVideoSide = 16384;
// A clocked sender sleeps one frame period per picture: never more than a second.
inline constexpr int kMinFramesPerSecond = 1;
inline constexpr int kMaxFramesPerSecond = 1000;
inline constexpr uint32_t kMaxPayload = 256u << 20;
inline constexpr uint32_t kMaxMetadata = 1u << 20;

enum class WireKind : uint32_t { video = 1, audio = 2, metadata = 3 };

struct WireHello {
    uint32_t magic = kHelloMagic;
    uint32_t version = kWireVersion;
    int32_t bandwidth = NDIlib_recv_bandwidth_highest;
};

struct WireHeader {
    uint32_t magic = kFrameMagic;
    WireKind kind = WireKind::audio;
    int32_t sampleRate = 0, channels = 0, samples = 0;
    int32_t xres = 0, yres = 0, fourCC = 0, strideOrSize = 0, rateN = 0, rateD = 0, formatType = 0;
    float aspect = 0;
    uint32_t unused = 0; // fills what would be padding, so no stray bytes go out
    int64_t timecode = 0, timestamp = 0;
    uint32_t metadataBytes = 0; // including the terminating NUL; 0 = none
    uint32_t payloadBytes = 0;
};
static_assert(sizeof(WireHeader) == 80, "the header travels as it is laid out");

// Bytes of a picture's data, from its size, FourCC and stride (0 = the
// smallest); 0 when they cannot describe a picture. Formats we do not know
// are passed through as compressed data of the given size.
uint32_t videoPayloadBytes(const NDIlib_video_frame_v2_t& frame, int& stride);

// A frame from the network that passed every check, pointing into the bytes
// it was read from.
struct WireFrame {
    WireHeader header;
    const char* metadata = nullptr; // ends with its NUL; null when the frame has none
    const uint8_t* payload = nullptr; // header.payloadBytes bytes
};

// What a header claims, checked on its own: a possible frame, and a size of
// what follows that is worth receiving. Returns why not, or null. Our senders
// refuse what this refuses, so receivers never see it from them.
const char* checkHeader(const WireHeader& header);

// One frame as it travels (header, metadata, payload, and nothing more),
// checked whole and described in `frame`. Returns why it is unusable, or
// null. It reads nothing but `bytes`, so a fuzzer can call it on anything.
const char* parseFrame(const uint8_t* bytes, size_t size, WireFrame& frame);

// The first bytes a receiver sends; returns why they are no hello, or null.
const char* checkHello(const WireHello& hello);

// A checked picture as an NDI descriptor over the frame's own bytes.
NDIlib_video_frame_v2_t videoDescriptor(const WireFrame& frame);

// One serialised frame, shared by every connection that still has to write it.
// Packets are recycled, so a steady stream allocates nothing once warm.
struct Packet {
    std::atomic<int> references{0};
    std::vector<uint8_t> bytes;
};

class PacketPool {
public:
    ~PacketPool();
    Packet* acquire(size_t size);
    void release(Packet* packet); // drops one reference; recycles at zero

private:
    std::mutex mutex;
    std::vector<Packet*> spare;
};

// Socket helpers: all return false on error, end of stream, or when `wakeFd`
// becomes readable (the owner is stopping).
bool sendAll(int fd, const void* data, size_t size);
bool receiveAll(int fd, int wakeFd, void* data, size_t size);

} // namespace loopback
