#pragma once

// Threads: pure functions; any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one set of rules for what a routing may hold: names, channel numbers,
// channel counts and delays. The mapping file's reader and writer, the
// controller and the bridge all ask here, and the page's script mirrors these
// checks word for word (tests/RoutingRulesCases.json holds the cases both are
// tested against), so whatever one accepts, all accept.
//
// Names come in two strengths. What the routing holds (a file, a sender made
// by an older page) is kept as it is, byte for byte: shows depend on it. What
// a person names from now on must also show, and be safe to show.
//
// Each check returns nothing when the value is acceptable, else the reason,
// worded to follow "refused: " in a log line or "Error: " on the page. Numbers
// are taken as JSON carries them (a double); every bound is exact in one.
namespace RoutingRules {

using Verdict = std::optional<std::string>; // the reason, when refused

// Names are counted in characters (Unicode code points), as a person counts them.
inline constexpr size_t kMaxNameLength = 1024;
// A sender's name is also its NDI stream name.
inline constexpr size_t kMaxSenderNameLength = 64;
inline constexpr uint32_t kMaxSenderChannels = 1024;
// Counted from 0. The file stores it plus 1 as a signed 32-bit integer.
inline constexpr uint32_t kMaxSourceChannel = 2147483646;
// Either way; the delay line's bound.
inline constexpr int32_t kMaxDelayMs = 5000;
// The sender the router makes itself when a sound output opened.
inline constexpr const char* kReservedSenderName = "Monitor";

// Any name the routing holds or names what it holds: not empty, valid UTF-8
// and no NUL (NDI names are C strings). Nothing else is asked of it.
Verdict checkStoredName(std::string_view name);
// A source a connection or a video link names: a stored name of at most
// kMaxNameLength characters. These names come from the network.
Verdict checkSourceName(std::string_view name);
// A sender's name as it is made from now on: a stored name of at most
// kMaxSenderNameLength characters that can be shown: no control characters,
// no bidirectional overrides or isolates, no invisible characters, not only
// blanks. The joiners, variation selectors and right-to-left marks of
// ordinary text are part of it.
Verdict checkSenderName(std::string_view name);
// A sender made from outside (the page, a remote client): also not the reserved name.
Verdict checkNewSenderName(std::string_view name);

// A sender's channel count: 0 (video only) to kMaxSenderChannels.
Verdict checkChannelCount(double count);
// A sender channel, counted from 0; whether the sender has it is the routing's to say.
Verdict checkSenderChannel(double channel);
// A source channel, counted from 0.
Verdict checkSourceChannel(double channel);
// A source channel as the file stores it: counted from 1, 0 for none.
Verdict checkStoredSourceChannel(double channel);
// An A/V delay in milliseconds.
Verdict checkDelay(double milliseconds);

} // namespace RoutingRules

// What came of an operation asked for (a change of the routing, a load, a
// save): true when it was done; else nothing changed and `reason` says why.
struct Outcome {
    std::string reason; // empty when done

    static Outcome refused(std::string why) { return {why.empty() ? std::string("refused") : std::move(why)}; }
    explicit operator bool() const { return reason.empty(); }
};
