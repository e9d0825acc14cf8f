#include "tools/NumberParsing.h"

#include <charconv>
#include <cmath>

std::optional<int64_t> parseInteger(std::string_view text, int64_t minimum, int64_t maximum)
{
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

std::optional<double> parseSeconds(std::string_view text, double minimum, double maximum)
{
    // from_chars also reads "inf" and "nan"; neither is a duration.
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}
