#include "Wire.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace loopback {

uint32_t videoPayloadBytes(const NDIlib_video_frame_v2_t& frame, int& stride)
{
    const uint64_t x = static_cast<uint64_t>(frame.xres);
    const uint64_t y = static_cast<uint64_t>(frame.yres);
    uint64_t bytesPerPixel = 0; // of the first plane
    uint64_t planes16 = 0; // the whole size, in sixteenths of stride × height
    switch (frame.FourCC) {
    case NDIlib_FourCC_video_type_UYVY:
        bytesPerPixel = 2;
        planes16 = 16;
        break;
    case NDIlib_FourCC_video_type_BGRA:
    case NDIlib_FourCC_video_type_BGRX:
    case NDIlib_FourCC_video_type_RGBA:
    case NDIlib_FourCC_video_type_RGBX:
        bytesPerPixel = 4;
        planes16 = 16;
        break;
    case NDIlib_FourCC_video_type_P216:
        bytesPerPixel = 2;
        planes16 = 32;
        break;
    case NDIlib_FourCC_video_type_PA16:
        bytesPerPixel = 2;
        planes16 = 48;
        break;
    case NDIlib_FourCC_video_type_YV12:
    case NDIlib_FourCC_video_type_I420:
    case NDIlib_FourCC_video_type_NV12:
        bytesPerPixel = 1;
        planes16 = 24;
        break;
    case NDIlib_FourCC_video_type_UYVA: {
        stride = frame.line_stride_in_bytes > 0 ? frame.line_stride_in_bytes : static_cast<int>(2 * x);
        const uint64_t total = static_cast<uint64_t>(stride) * y + x * y; // alpha plane follows
        return total <= kMaxPayload ? static_cast<uint32_t>(total) : 0;
    }
    default: // compressed: the stride field holds the data size
        stride = frame.data_size_in_bytes;
        return frame.data_size_in_bytes > 0 && static_cast<uint32_t>(frame.data_size_in_bytes) <= kMaxPayload
            ? static_cast<uint32_t>(frame.data_size_in_bytes)
            : 0;
    }
    stride = frame.line_stride_in_bytes > 0 ? frame.line_stride_in_bytes : static_cast<int>(bytesPerPixel * x);
    const uint64_t total = static_cast<uint64_t>(stride) * y * planes16 / 16;
    return total <= kMaxPayload ? static_cast<uint32_t>(total) : 0;
}

const char* validate(const WireHeader& h)
{
    if (h.magic != kFrameMagic)
        return "not a loopback frame";
    if (h.payloadBytes > kMaxPayload || h.metadataBytes > kMaxMetadata)
        return "frame too large";
    switch (h.kind) {
    case WireKind::audio:
        if (h.channels < 1 || h.channels > kMaxChannels || h.samples < 1 || h.samples > kMaxSamples)
            return "audio frame with an impossible shape";
        if (h.sampleRate < kMinSampleRate || h.sampleRate > kMaxSampleRate)
            return "audio frame with an impossible sample rate";
        if (static_cast<uint64_t>(h.channels) * static_cast<uint64_t>(h.samples) * 4 != h.payloadBytes)
            return "audio frame whose size does not match its shape";
        return nullptr;
    case WireKind::video:
        if (h.xres < 1 || h.yres < 1 || h.xres > kMaxVideoSide || h.yres > kMaxVideoSide || h.payloadBytes == 0)
            return "video frame with an impossible shape";
        return nullptr;
    case WireKind::metadata: return h.metadataBytes > 0 ? nullptr : "empty metadata frame";
    }
    return "unknown frame kind";
}

PacketPool::~PacketPool()
{
    for (Packet* p : spare)
        delete p;
}

Packet* PacketPool::acquire(size_t size)
{
    Packet* packet = nullptr;
    {
        std::lock_guard lock(mutex);
        // Prefer a buffer that is already big enough.
        for (size_t i = spare.size(); i-- > 0;) {
            if (spare[i]->bytes.capacity() >= size) {
                packet = spare[i];
                spare[i] = spare.back();
                spare.pop_back();
                break;
            }
        }
        if (packet == nullptr && !spare.empty()) {
            packet = spare.back();
            spare.pop_back();
        }
    }
    if (packet == nullptr)
        packet = new Packet;
    packet->bytes.resize(size);
    packet->references.store(0);
    return packet;
}

void PacketPool::release(Packet* packet)
{
    if (packet->references.fetch_sub(1) != 1)
        return;
    std::lock_guard lock(mutex);
    if (spare.size() < 64)
        spare.push_back(packet);
    else
        delete packet;
}

bool sendAll(int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, int wakeFd, void* data, size_t size)
{
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (fds[1].revents & POLLIN) != 0)
            return false;
        const ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace loopback
