// The loopback runtime's frame parser on arbitrary bytes, as any peer on the
// machine can send them. Whatever it accepts is then read the way its users
// read it: the receiver's caller takes every sample, and Kestrix's video
// pass-through re-sends every byte of a picture. So the sanitizers catch a
// check that lets through more than the frame holds.

#include "ndi/loopback/Wire.h"

#include <cstring>

namespace {

volatile uint8_t sink;

void readAll(const uint8_t* bytes, size_t size)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum ^= bytes[i];
    sink = sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    loopback::WireFrame frame;
    if (loopback::parseFrame(data, size, frame) != nullptr)
        return 0;
    const loopback::WireHeader& h = frame.header;
    if (frame.metadata != nullptr)
        sink = static_cast<uint8_t>(std::strlen(frame.metadata));
    switch (h.kind) {
    case loopback::WireKind::audio:
        readAll(frame.payload, static_cast<size_t>(h.channels) * static_cast<size_t>(h.samples) * sizeof(float));
        break;
    case loopback::WireKind::video: {
        const NDIlib_video_frame_v2_t picture = loopback::videoDescriptor(frame);
        int stride = 0;
        const uint32_t bytes = loopback::videoPayloadBytes(picture, stride);
        if (bytes == 0 || stride != picture.line_stride_in_bytes)
            __builtin_trap(); // accepted, yet no sender would take it back
        readAll(picture.p_data, bytes);
        break;
    }
    case loopback::WireKind::metadata: break;
    }
    return 0;
}
