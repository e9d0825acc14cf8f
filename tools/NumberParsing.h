#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Strict readers for command-line values: the whole text must be the number,
// so "4x" or "" is refused instead of read as 4 or 0.

// A decimal integer in [minimum, maximum].
std::optional<int64_t> parseInteger(std::string_view text, int64_t minimum, int64_t maximum);

// A finite decimal number of seconds in [minimum, maximum].
std::optional<double> parseSeconds(std::string_view text, double minimum, double maximum);
