#pragma once

#include "engine/ChannelMapping.h"
#include "engine/RoutingRules.h"

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
    bool operator==(const StoredSender&) const = default;
};

struct StoredRouting {
    std::vector<StoredSender> senders;
    std::vector<std::pair<std::string, int32_t>> delays; // sender name, milliseconds
    bool operator==(const StoredRouting&) const = default;
};

namespace MappingFile {

inline constexpr const char* kFileName = "sendersChannelMappings.ploverc";
// Larger files are refused unread: a routing never comes near this.
inline constexpr int64_t kMaxFileBytes = 16 << 20;

// Whether a routing keeps the routing rules (engine/RoutingRules.h) for what
// it holds (stored names, channel counts, source channels, delays) and names
// every sender, and every sender's delay, once; else the reason, with where.
RoutingRules::Verdict check(const StoredRouting& routing);

// The file's text, ending in one line end; nothing (with the reason in
// `error`) for a routing that check() refuses, so a file is never written
// that the reader would refuse. Unconnected channels are written as 0 and "".
std::optional<std::string> render(const StoredRouting& routing, std::string& error);

// Reads a file's text: the current layout or the older one whose top level is
// the array of senders; empty text is a routing without senders. Text that
// is not the layout (not JSON, a member missing or of another type) is
// refused as a whole, with the reason in `error`. Within the layout a value
// the routing cannot hold costs its entry alone, with a line in `notes` naming
// it: a sender or delay whose name is not a stored name, or that repeats an
// earlier one, is left out; a channel with a source channel out of bounds or
// an unusable source name is left unconnected; channels beyond the most a
// sender has are left out; a delay beyond the bounds is held to them; a
// number with a fraction is read as its whole part. What it accepts keeps
// check(), and render() writes it back to text that reads back as the same
// routing without notes. A source channel of 0 is no connection, whatever
// name stands beside it.
std::optional<StoredRouting> parse(
    std::string_view text, std::string& error, std::vector<std::string>* notes = nullptr);

// Milliseconds as the file stores them: the nearest whole number, halves away from zero.
int32_t toMilliseconds(double seconds);

// File operations on UTF-8 paths. Both make the file's folder first and make
// it the current folder, as the router always has.
// Refuses files larger than kMaxFileBytes without reading them.
bool readFile(const std::string& path, std::string& text, std::string& error);
// Replaces the file only once the new text is completely written.
bool writeFile(const std::string& path, const std::string& text, std::string& error);
// Whether anything is at the path, even what cannot be opened.
bool isPresent(const std::string& path);
// Copies a file that could not be loaded beside it, before anything replaces
// it. True when the copy was made (`kept` says where) or nothing is there to
// keep (`kept` is empty); false, with the reason in `error`, when the copy failed.
bool keepUnreadableFile(const std::string& path, std::string& kept, std::string& error);

} // namespace MappingFile
