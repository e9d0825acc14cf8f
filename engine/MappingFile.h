#pragma once

#include "engine/ChannelMapping.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The routing as the channel-mapping file holds it. Users keep and exchange
// these files, so the layout never changes: keys in ascending order, an
// indent of 4, source channels counted from 1 (0 = none), delays in whole
// milliseconds.
struct StoredSender {
    std::string name;
    std::vector<ChannelMapping> mappings; // in memory: 0-based, kNoChannel = none
    std::string videoSource;
};

struct StoredRouting {
    std::vector<StoredSender> senders;
    std::vector<std::pair<std::string, int32_t>> delays; // sender name, milliseconds
};

namespace MappingFile {

inline constexpr const char* kFileName = "sendersChannelMappings.ploverc";

// The file's text, ending in one line end. Names that are not valid UTF-8
// have their bad bytes replaced rather than failing the whole file.
std::string render(const StoredRouting& routing);

// Reads a file's text: the current layout or the older one whose top level is
// the array of senders; empty text is a routing without senders. Anything
// else is refused as a whole, with the reason in `error`.
std::optional<StoredRouting> parse(std::string_view text, std::string& error);

// Milliseconds as the file stores them: the nearest whole number, halves away from zero.
int32_t toMilliseconds(double seconds);

// File operations on UTF-8 paths. Both make the file's folder first and make
// it the current folder, as the router always has.
bool readFile(const std::string& path, std::string& text, std::string& error);
// Replaces the file only once the new text is completely written.
bool writeFile(const std::string& path, const std::string& text, std::string& error);
// Keeps the bytes of a file that could not be loaded beside it; returns where, or "" when nothing was kept.
std::string keepUnreadableFile(const std::string& path);

} // namespace MappingFile
