#include "engine/RoutingRules.h"

#include <cmath>

namespace RoutingRules {

namespace {

struct Range {
    char32_t first, last;
};

// Control characters and the line and paragraph separators (Cc, Zl, Zp).
constexpr Range kControl[] = {{0x0000, 0x001F}, {0x007F, 0x009F}, {0x2028, 0x2029}};

// Embeddings, overrides and isolates: they reorder on screen what follows them.
constexpr Range kBidiControl[] = {{0x202A, 0x202E}, {0x2066, 0x2069}};

// Format characters (Unicode 15, Cf) that show nothing and have no part in
// ordinary text: a name holding one can look like another name, or like
// nothing. The other format characters (joiners, the right-to-left marks, the
// signs some scripts write before numbers) are text.
constexpr Range kInvisible[] = {
    {0x00AD, 0x00AD},
    {0x180E, 0x180E},
    {0x200B, 0x200B},
    {0x2061, 0x2064},
    {0x206A, 0x206F},
    {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},
    {0xE0001, 0xE0001},
};

// Tag characters show only as part of an emoji tag sequence (a flag such as
// England's): the black flag, tags, then the cancel tag.
constexpr char32_t kTagBase = 0x1F3F4;
constexpr Range kTags = {0xE0020, 0xE007E};
constexpr char32_t kCancelTag = 0xE007F;

// Characters that show as empty space (the visible White_Space ones and the
// blank fillers), and those that show nothing by themselves (joiners,
// direction marks, variation selectors).
constexpr Range kBlank[] = {
    {0x0020, 0x0020},
    {0x00A0, 0x00A0},
    {0x061C, 0x061C},
    {0x1680, 0x1680},
    {0x180B, 0x180D},
    {0x180F, 0x180F},
    {0x2000, 0x200A},
    {0x200C, 0x200F},
    {0x202F, 0x202F},
    {0x205F, 0x2060},
    {0x3000, 0x3000},
    {0x115F, 0x1160},
    {0x3164, 0x3164},
    {0xFE00, 0xFE0F},
    {0xFFA0, 0xFFA0},
    {0x2800, 0x2800},
    {0xE0100, 0xE01EF},
};

bool isIn(const Range& r, char32_t c)
{
    return c >= r.first && c <= r.last;
}

template <size_t N> bool isIn(const Range (&ranges)[N], char32_t c)
{
    for (const Range& r : ranges)
        if (isIn(r, c))
            return true;
    return false;
}

// What a name is made of, or nothing when it is not valid UTF-8 (overlong
// forms, surrogates and values beyond U+10FFFF included).
struct NameShape {
    size_t characters = 0;
    bool hasNul = false;
    bool hasControl = false;
    bool hasBidiControl = false;
    bool hasInvisible = false;
    bool onlyBlanks = true;
};

std::optional<NameShape> shapeOf(std::string_view text)
{
    NameShape shape;
    bool afterTagBase = false, inTagSequence = false;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t c = 0, minimum = 0;
        size_t length = 0;
        if (lead < 0x80) {
            c = lead, length = 1, minimum = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F, length = 2, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F, length = 3, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07, length = 4, minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < length)
            return std::nullopt;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            c = (c << 6) | (next & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return std::nullopt;
        ++shape.characters;
        shape.hasNul = shape.hasNul || c == 0;
        shape.hasControl = shape.hasControl || isIn(kControl, c);
        shape.hasBidiControl = shape.hasBidiControl || isIn(kBidiControl, c);
        shape.hasInvisible = shape.hasInvisible || isIn(kInvisible, c);
        shape.onlyBlanks = shape.onlyBlanks && isIn(kBlank, c);
        if (isIn(kTags, c)) {
            shape.hasInvisible = shape.hasInvisible || !(afterTagBase || inTagSequence);
            inTagSequence = true;
        } else {
            // Only the cancel tag ends a sequence; nothing but it may follow one, and it follows nothing else.
            shape.hasInvisible = shape.hasInvisible || inTagSequence != (c == kCancelTag);
            inTagSequence = false;
        }
        afterTagBase = c == kTagBase;
        i += length;
    }
    shape.hasInvisible = shape.hasInvisible || inTagSequence; // a sequence not ended
    return shape;
}

Verdict tooLong(size_t maximum)
{
    return "the name is longer than " + std::to_string(maximum) + " characters";
}

Verdict wholeNumber(double value, double minimum, double maximum, std::string reason)
{
    if (std::isfinite(value) && std::floor(value) == value && value >= minimum && value <= maximum)
        return std::nullopt;
    return reason;
}

// The shape of a name that is not empty and is valid UTF-8, else the reason.
std::optional<NameShape> wellFormed(std::string_view name, Verdict& refused)
{
    if (name.empty()) {
        refused = "the name is empty";
        return std::nullopt;
    }
    auto shape = shapeOf(name);
    if (!shape)
        refused = "the name is not valid UTF-8";
    return shape;
}

} // namespace

Verdict checkStoredName(std::string_view name)
{
    Verdict refused;
    const auto shape = wellFormed(name, refused);
    if (shape && shape->hasNul)
        refused = "the name holds a NUL character";
    return refused;
}

Verdict checkSourceName(std::string_view name)
{
    if (auto refused = checkStoredName(name))
        return refused;
    if (shapeOf(name)->characters > kMaxNameLength)
        return tooLong(kMaxNameLength);
    return std::nullopt;
}

Verdict checkSenderName(std::string_view name)
{
    Verdict refused;
    const auto shape = wellFormed(name, refused);
    if (!shape)
        return refused;
    if (shape->characters > kMaxSenderNameLength)
        return tooLong(kMaxSenderNameLength);
    if (shape->hasControl)
        return "the name holds control characters";
    if (shape->hasBidiControl)
        return "the name holds bidirectional overrides or isolates";
    if (shape->hasInvisible)
        return "the name holds invisible characters";
    if (shape->onlyBlanks)
        return "the name is only blanks";
    return std::nullopt;
}
Verdict checkNewSenderName(std::string_view name)
{
    if (auto refused = checkSenderName(name))
        return refused;
    if (name == kReservedSenderName)
        return "\"" + std::string(kReservedSenderName) + "\" is reserved for the local sound output";
    return std::nullopt;
}

Verdict checkChannelCount(double count)
{
    return wholeNumber(count, 0, kMaxSenderChannels,
        "a channel count must be a whole number from 0 to " + std::to_string(kMaxSenderChannels));
}

Verdict checkSenderChannel(double channel)
{
    return wholeNumber(channel, 0, kMaxSenderChannels - 1,
        "a sender channel must be a whole number from 0 to " + std::to_string(kMaxSenderChannels - 1));
}

Verdict checkSourceChannel(double channel)
{
    return wholeNumber(channel, 0, kMaxSourceChannel,
        "a source channel must be a whole number from 0 to " + std::to_string(kMaxSourceChannel));
}

Verdict checkStoredSourceChannel(double channel)
{
    return wholeNumber(channel, 0, kMaxSourceChannel + 1.0,
        "a stored source channel must be a whole number from 0 to " + std::to_string(kMaxSourceChannel + 1ull));
}

Verdict checkDelay(double milliseconds)
{
    return wholeNumber(milliseconds, -kMaxDelayMs, kMaxDelayMs,
        "a delay must be a whole number of milliseconds from " + std::to_string(-kMaxDelayMs) + " to " +
            std::to_string(kMaxDelayMs));
}

} // namespace RoutingRules
