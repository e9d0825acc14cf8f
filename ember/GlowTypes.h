#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The part of Glow (the Ember+ tree) that Kestrix's tree uses, as plain data.
// Numbers are the ones on the wire.

// An element's place from the root: one number per level.
using GlowPath = std::vector<uint32_t>;

// A parameter's value, as its universal BER type carries it; monostate: none.
using GlowValue = std::variant<std::monostate, int64_t, double, std::string, bool, std::vector<uint8_t>>;

enum class GlowAccess { None = 0, Read = 1, Write = 2, ReadWrite = 3 };
enum class GlowParameterType { None = 0, Integer = 1, Real = 2, String = 3, Boolean = 4, Octets = 7 };
// What a connection in a report says of itself.
enum class GlowDisposition { Tally = 0, Modified = 1, Pending = 2, Locked = 3 };
enum class GlowOperation { Absolute = 0, Connect = 1, Disconnect = 2 };

inline constexpr int kGlowCommandSubscribe = 30;
inline constexpr int kGlowCommandUnsubscribe = 31;
inline constexpr int kGlowCommandGetDirectory = 32;
inline constexpr int kGlowCommandInvoke = 33;

// A stream value's layout: float32 little-endian.
inline constexpr int kGlowStreamFloat32LE = 2 * 8 + 2 * 2 + 1;

struct GlowNode {
    std::string identifier;
    std::string description;
    bool online = true;

    bool operator==(const GlowNode&) const = default;
};

struct GlowStreamDescriptor {
    int format = kGlowStreamFloat32LE;
    int offset = 0; // in bytes, within the stream entry's octets

    bool operator==(const GlowStreamDescriptor&) const = default;
};

struct GlowParameter {
    std::string identifier;
    std::string description;
    GlowValue value;
    GlowValue minimum;
    GlowValue maximum;
    GlowValue defaultValue;
    GlowAccess access = GlowAccess::Read;
    GlowParameterType type = GlowParameterType::None;
    std::string format;
    bool online = true;
    int32_t streamIdentifier = 0; // 0: not a stream
    std::optional<GlowStreamDescriptor> streamDescriptor;

    bool operator==(const GlowParameter&) const = default;
};

struct GlowLabel {
    GlowPath basePath;
    std::string description;

    bool operator==(const GlowLabel&) const = default;
};

struct GlowMatrix {
    std::string identifier;
    std::string description;
    int type = 0; // oneToN
    int addressingMode = 1; // nonLinear: the targets and sources are listed
    int32_t targetCount = 0;
    int32_t sourceCount = 0;
    std::vector<GlowLabel> labels;

    bool operator==(const GlowMatrix&) const = default;
};

using GlowContents = std::variant<GlowNode, GlowParameter, GlowMatrix>;

// A target and the sources it carries; oneToN: one source or none.
struct GlowConnection {
    int64_t target = 0;
    std::vector<uint32_t> sources;
    GlowOperation operation = GlowOperation::Absolute;
    GlowDisposition disposition = GlowDisposition::Tally;

    bool operator==(const GlowConnection&) const = default;
};

struct GlowStreamEntry {
    int32_t identifier = 0;
    GlowValue value;
};
