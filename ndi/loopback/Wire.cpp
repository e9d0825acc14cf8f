#include "Wire.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace loopback {

uint32_t videoPayloadBytes(const NDIlib_video_frame_v2_t& frame, int& stride)
{
    if (frame.xres < 1 || frame.yres < 1 || frame.xres > kMaxVideoSide || frame.yres > kMaxVideoSide)
        return 0;
    const uint64_t x = static_cast<uint64_t>(frame.xres);
    const uint64_t y = static_cast<uint64_t>(frame.yres);
    uint64_t bytesPerPixel = 0; // of the first plane
    uint64_t planes16 = 0; // the planes sharing its stride, in sixteenths of stride × height
    uint64_t alphaBytes = 0; // a plane of its own, one byte per pixel
    bool pairedColumns = false, pairedRows = false; // pixels sharing chroma
    switch (frame.FourCC) {
    case NDIlib_FourCC_video_type_UYVY:
        bytesPerPixel = 2;
        planes16 = 16;
        pairedColumns = true;
        break;
    case NDIlib_FourCC_video_type_UYVA:
        bytesPerPixel = 2;
        planes16 = 16;
        alphaBytes = x * y;
        pairedColumns = true;
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
        pairedColumns = true;
        break;
    case NDIlib_FourCC_video_type_PA16:
        bytesPerPixel = 2;
        planes16 = 48;
        pairedColumns = true;
        break;
    case NDIlib_FourCC_video_type_YV12:
    case NDIlib_FourCC_video_type_I420:
    case NDIlib_FourCC_video_type_NV12:
        bytesPerPixel = 1;
        planes16 = 24;
        pairedColumns = pairedRows = true;
        break;
    default: // compressed: the stride field holds the data size
        stride = frame.data_size_in_bytes;
        return frame.data_size_in_bytes > 0 && static_cast<uint32_t>(frame.data_size_in_bytes) <= kMaxPayload
            ? static_cast<uint32_t>(frame.data_size_in_bytes)
            : 0;
    }
    // A reader takes chroma for a pair of pixels at once: an odd size would send it past the end.
    if ((pairedColumns && x % 2 != 0) || (pairedRows && y % 2 != 0))
        return 0;
    const uint64_t lineBytes = bytesPerPixel * x;
    stride = frame.line_stride_in_bytes > 0 ? frame.line_stride_in_bytes : static_cast<int>(lineBytes);
    if (static_cast<uint64_t>(stride) < lineBytes)
        return 0;
    const uint64_t total = static_cast<uint64_t>(stride) * y * planes16 / 16 + alphaBytes;
    return total <= kMaxPayload ? static_cast<uint32_t>(total) : 0;
}

const char* checkHeader(const WireHeader& h)
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
    case WireKind::video: {
        if (h.fourCC < 0) // beyond the FourCC type's range
            return "video frame with an impossible size, format or stride";
        NDIlib_video_frame_v2_t picture;
        picture.xres = h.xres;
        picture.yres = h.yres;
        picture.FourCC = static_cast<NDIlib_FourCC_video_type_e>(h.fourCC);
        picture.line_stride_in_bytes = h.strideOrSize;
        int stride = 0;
        const uint32_t bytes = videoPayloadBytes(picture, stride);
        if (bytes == 0 || stride != h.strideOrSize)
            return "video frame with an impossible size, format or stride";
        if (bytes != h.payloadBytes)
            return "video frame whose size does not match its stride and height";
        if (h.rateN < 1 || h.rateD < 1 || static_cast<int64_t>(h.rateN) < int64_t{kMinFramesPerSecond} * h.rateD ||
            static_cast<int64_t>(h.rateN) > int64_t{kMaxFramesPerSecond} * h.rateD)
            return "video frame with an impossible frame rate";
        if (h.formatType < NDIlib_frame_format_type_interleaved || h.formatType > NDIlib_frame_format_type_field_1)
            return "video frame with an unknown field order";
        if (!(h.aspect >= 0.0f && h.aspect <= 100.0f)) // NaN included
            return "video frame with an impossible aspect ratio";
        return nullptr;
    }
    case WireKind::metadata:
        if (h.metadataBytes == 0 || h.payloadBytes != 0)
            return "metadata frame with no text, or with media";
        return nullptr;
    }
    return "unknown frame kind";
}

const char* parseFrame(const uint8_t* bytes, size_t size, WireFrame& frame)
{
    if (size < sizeof frame.header)
        return "frame shorter than its header";
    std::memcpy(&frame.header, bytes, sizeof frame.header);
    const WireHeader& h = frame.header;
    if (const char* problem = checkHeader(h))
        return problem;
    if (size != sizeof h + h.metadataBytes + h.payloadBytes)
        return "frame whose length does not match its header";
    const uint8_t* metadata = bytes + sizeof h;
    if (h.metadataBytes > 0 && metadata[h.metadataBytes - 1] != 0)
        return "metadata without its terminating NUL";
    frame.metadata = h.metadataBytes > 0 ? reinterpret_cast<const char*>(metadata) : nullptr;
    frame.payload = metadata + h.metadataBytes;
    return nullptr;
}

const char* checkHello(const WireHello& hello)
{
    if (hello.magic != kHelloMagic)
        return "not a loopback receiver";
    if (hello.version != kWireVersion)
        return "a loopback receiver of another version";
    return nullptr;
}

NDIlib_video_frame_v2_t videoDescriptor(const WireFrame& frame)
{
    const WireHeader& h = frame.header;
    NDIlib_video_frame_v2_t v;
    v.xres = h.xres;
    v.yres = h.yres;
    v.FourCC = static_cast<NDIlib_FourCC_video_type_e>(h.fourCC);
    v.frame_rate_N = h.rateN;
    v.frame_rate_D = h.rateD;
    v.picture_aspect_ratio = h.aspect;
    v.frame_format_type = static_cast<NDIlib_frame_format_type_e>(h.formatType);
    v.timecode = h.timecode;
    // Descriptors carry writable pointers; nobody who is handed one writes through it.
    v.p_data = const_cast<uint8_t*>(frame.payload);
    v.line_stride_in_bytes = h.strideOrSize;
    v.p_metadata = frame.metadata;
    v.timestamp = h.timestamp;
    return v;
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
