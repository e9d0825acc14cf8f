#pragma once

// Threads: any; a reader is used by one thread at a time.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

// Reads BER from bytes that came from outside: tag, length and contents,
// front to back, never trusting a length. Definite lengths of up to four
// bytes and the indefinite form (on constructed values) are read; anything
// else stops the reader, which then reports failed().
class BerReader {
public:
    struct Tlv {
        uint8_t tag = 0; // the first tag byte; a tag number beyond 30 keeps its 0x1F here, matching nothing
        std::span<const uint8_t> contents; // without an indefinite form's end marker
    };

    // Indefinite lengths nest at most this deep, so hostile input cannot make the reader recurse without end.
    static constexpr int kMaxDepth = 64;

    // Where indefinite-length values end, by where they start: shared by the readers of one message, so that
    // each such value is searched for its end once, not again by the reader of every level around it.
    using Ends = std::unordered_map<const uint8_t*, size_t>;

    explicit BerReader(std::span<const uint8_t> bytes, Ends* sharedEnds = nullptr) : rest(bytes), ends(sharedEnds) { }

    bool atEnd() const { return failure || rest.empty(); }
    bool failed() const { return failure; }
    // The next value, or nothing at the end or when the bytes are not BER.
    std::optional<Tlv> next();

    // Universal values from a TLV's contents; nothing when they are malformed.
    static std::optional<int64_t> integer(std::span<const uint8_t> contents);
    static bool boolean(std::span<const uint8_t> contents) { return contents.size() == 1 && contents[0] != 0; }
    static std::string text(std::span<const uint8_t> contents) { return {contents.begin(), contents.end()}; }
    static std::optional<double> real(std::span<const uint8_t> contents);
    static std::optional<std::vector<uint32_t>> relativeOid(std::span<const uint8_t> contents);

private:
    // Parses one TLV at the front of `bytes`; `used` is how many bytes it took.
    static std::optional<Tlv> parse(std::span<const uint8_t> bytes, int depth, size_t& used, Ends* ends);

    std::span<const uint8_t> rest;
    Ends* ends;
    bool failure = false;
};
