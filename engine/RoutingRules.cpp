#include "engine/RoutingRules.h"

#include <cmath>

namespace RoutingRules {

namespace {

struct Range {
    char32_t first, last;
};

// Control, format (invisible) and line or paragraph separator characters
// (Unicode 15: Cc, Cf, Zl, Zp). A name holding one can look like another
// name, or like nothing at all.
constexpr Range kInvisible[] = {
    {0x0000, 0x001F},
    {0x007F, 0x009F},
    {0x00AD, 0x00AD},
    {0x0600, 0x0605},
    {0x061C, 0x061C},
    {0x06DD, 0x06DD},
    {0x070F, 0x070F},
    {0x0890, 0x0891},
    {0x08E2, 0x08E2},
    {0x180E, 0x180E},
    {0x200B, 0x200F},
    {0x2028, 0x202E},
    {0x2060, 0x2064},
    {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},
    {0x110BD, 0x110BD},
    {0x110CD, 0x110CD},
    {0x13430, 0x1343F},
    {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

// Characters that show as empty space: the visible White_Space ones and the blank fillers.
constexpr Range kBlank[] = {
    {0x0020, 0x0020},
    {0x00A0, 0x00A0},
    {0x1680, 0x1680},
    {0x2000, 0x200A},
    {0x202F, 0x202F},
    {0x205F, 0x205F},
    {0x3000, 0x3000},
    {0x115F, 0x1160},
    {0x3164, 0x3164},
    {0xFFA0, 0xFFA0},
    {0x2800, 0x2800},
};

template <size_t N> bool isIn(const Range (&ranges)[N], char32_t c)
{
    for (const Range& r : ranges)
        if (c >= r.first && c <= r.last)
            return true;
    return false;
}

// What a name is made of, or nothing when it is not valid UTF-8 (overlong
// forms, surrogates and values beyond U+10FFFF included).
struct NameShape {
    size_t characters = 0;
    bool hasNul = false;
    bool hasInvisible = false;
    bool onlyBlanks = true;
};

std::optional<NameShape> shapeOf(std::string_view text)
{
    NameShape shape;
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
        shape.hasInvisible = shape.hasInvisible || isIn(kInvisible, c);
        shape.onlyBlanks = shape.onlyBlanks && isIn(kBlank, c);
        i += length;
    }
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

} // namespace

Verdict checkSourceName(std::string_view name)
{
    if (name.empty())
        return "the name is empty";
    const auto shape = shapeOf(name);
    if (!shape)
        return "the name is not valid UTF-8";
    if (shape->hasNul)
        return "the name holds a NUL character";
    if (shape->characters > kMaxNameLength)
        return tooLong(kMaxNameLength);
    return std::nullopt;
}

Verdict checkSenderName(std::string_view name)
{
    if (name.empty())
        return "the name is empty";
    const auto shape = shapeOf(name);
    if (!shape)
        return "the name is not valid UTF-8";
    if (shape->characters > kMaxSenderNameLength)
        return tooLong(kMaxSenderNameLength);
    if (shape->hasInvisible)
        return "the name holds control or invisible characters";
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
