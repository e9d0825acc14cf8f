#include "tools/TestPattern.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

struct Yuv {
    uint8_t y, u, v;
};

// 100 % colour bars, BT.601 studio range: white, yellow, cyan, green,
// magenta, red, blue, black.
constexpr std::array<Yuv, 8> bars{{{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34}, {106, 202, 222},
    {81, 90, 240}, {41, 240, 110}, {16, 128, 128}}};

// 5 × 7 digits, one byte per row, bit 4 the leftmost pixel.
constexpr uint8_t font[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

constexpr int glyphWidth = 5;
constexpr int glyphHeight = 7;

} // namespace

TestPattern::TestPattern(int width_, int height_, int frameRateN, int frameRateD)
    : width(width_), height(height_), pixels(static_cast<size_t>(width_) * 2 * static_cast<size_t>(height_))
{
    frame.xres = width;
    frame.yres = height;
    frame.FourCC = NDIlib_FourCC_video_type_UYVY;
    frame.frame_rate_N = frameRateN;
    frame.frame_rate_D = frameRateD;
    frame.frame_format_type = NDIlib_frame_format_type_progressive;
    frame.p_data = pixels.data();
    frame.line_stride_in_bytes = width * 2;
}

const NDIlib_video_frame_v2_t& TestPattern::render(uint64_t counter)
{
    drawBars(counter);
    drawNumber(counter);
    for (int i = 0; i < 8; ++i)
        pixels[static_cast<size_t>(i)] = static_cast<uint8_t>(counter >> (8 * i));
    return frame;
}

void TestPattern::drawBars(uint64_t counter)
{
    // Whole pixel pairs so that each UYVY macropixel holds one colour; one
    // pair per frame is slow enough to follow by eye and fast enough to see.
    const int pairs = width / 2;
    const auto shift = static_cast<int>(counter % static_cast<uint64_t>(pairs));
    uint8_t* line = pixels.data();
    for (int p = 0; p < pairs; ++p) {
        const Yuv& c = bars[static_cast<size_t>((p + shift) % pairs * 8 / pairs)];
        uint8_t* px = line + p * 4;
        px[0] = c.u;
        px[1] = c.y;
        px[2] = c.v;
        px[3] = c.y;
    }
    const size_t stride = static_cast<size_t>(width) * 2;
    for (int y = 1; y < height; ++y)
        std::memcpy(pixels.data() + stride * static_cast<size_t>(y), line, stride);
}

void TestPattern::setPixel(int x, int y, uint8_t luma)
{
    if (x < 0 || y < 0 || x >= width || y >= height)
        return;
    uint8_t* pair =
        pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 2 + static_cast<size_t>(x / 2) * 4;
    pair[0] = 128;
    pair[2] = 128;
    pair[1 + (x % 2) * 2] = luma;
}

void TestPattern::drawNumber(uint64_t counter)
{
    // White digits on a black box in the lower left, scaled with the picture.
    const std::string digits = std::to_string(counter);
    const int scale = std::max(1, height / 60);
    const int margin = scale;
    const int boxWidth = static_cast<int>(digits.size()) * (glyphWidth + 1) * scale + margin;
    const int boxHeight = glyphHeight * scale + 2 * margin;
    const int left = 0;
    const int top = std::max(1, height - boxHeight); // line 0 carries the machine-readable counter

    for (int y = top; y < top + boxHeight; ++y)
        for (int x = left; x < left + boxWidth; ++x)
            setPixel(x, y, 16);

    for (size_t d = 0; d < digits.size(); ++d) {
        const uint8_t* glyph = font[digits[d] - '0'];
        const int originX = left + margin + static_cast<int>(d) * (glyphWidth + 1) * scale;
        for (int row = 0; row < glyphHeight; ++row)
            for (int col = 0; col < glyphWidth; ++col)
                if ((glyph[row] >> (glyphWidth - 1 - col)) & 1)
                    for (int sy = 0; sy < scale; ++sy)
                        for (int sx = 0; sx < scale; ++sx)
                            setPixel(originX + col * scale + sx, top + margin + row * scale + sy, 235);
    }
}

bool TestPattern::readCounter(const NDIlib_video_frame_v2_t& received, uint64_t& counter)
{
    if (received.FourCC != NDIlib_FourCC_video_type_UYVY || received.p_data == nullptr || received.xres * 2 < 8 ||
        received.yres < 1)
        return false;
    counter = 0;
    for (int i = 0; i < 8; ++i)
        counter |= static_cast<uint64_t>(received.p_data[i]) << (8 * i);
    return true;
}
