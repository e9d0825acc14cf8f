#pragma once

// Threads: any; a writer is used by one thread at a time.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Writes BER as every Ember+ peer reads it: one-byte tags, minimal definite
// lengths (a container's length is written when it is closed), minimal
// integers, and REAL in the form Ember+ peers share.
class BerWriter {
public:
    // A constructed value: everything written until its end() is inside it.
    void begin(uint8_t tag);
    void end();

    void integer(int64_t value);
    void boolean(bool value);
    void utf8(std::string_view text);
    void octets(std::span<const uint8_t> bytes);
    void real(double value);
    void relativeOid(std::span<const uint32_t> components);

    // The bytes so far; every begin() must have had its end().
    const std::vector<uint8_t>& bytes() const { return out; }
    std::vector<uint8_t> take() { return std::move(out); }

private:
    void primitive(uint8_t tag, std::span<const uint8_t> contents);

    std::vector<uint8_t> out;
    std::vector<size_t> open; // where each open container's contents start
};
