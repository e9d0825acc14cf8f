#pragma once

#include "ndi/NdiApi.h"

#include <cstdint>
#include <vector>

// A moving UYVY picture for test sources: colour bars that scroll sideways
// one step per frame, the frame number drawn in digits a person can read,
// and the same number as a little-endian uint64 in the first 8 bytes of
// line 0, where a receiver can read it back exactly.
class TestPattern {
public:
    // `width` must be even and at least 4 (8 bytes of line 0); `height` ≥ 1.
    TestPattern(int width, int height, int frameRateN, int frameRateD);

    // Draws frame `counter` into the buffer allocated at construction and
    // returns the frame that carries it. Sender thread.
    const NDIlib_video_frame_v2_t& render(uint64_t counter);

    // Reads the counter back from a received UYVY frame; false when the frame
    // is too small or not UYVY.
    static bool readCounter(const NDIlib_video_frame_v2_t& frame, uint64_t& counter);

private:
    void drawBars(uint64_t counter);
    void drawNumber(uint64_t counter);
    void setPixel(int x, int y, uint8_t luma);

    int width;
    int height;
    std::vector<uint8_t> pixels;
    NDIlib_video_frame_v2_t frame;
};
