#pragma once

#include <cstdint>

// The BER tags Ember+ uses: one byte each (class, constructed bit, number below 31).
namespace BerTags {

inline constexpr uint8_t kBoolean = 0x01;
inline constexpr uint8_t kInteger = 0x02;
inline constexpr uint8_t kOctetString = 0x04;
inline constexpr uint8_t kNull = 0x05;
inline constexpr uint8_t kReal = 0x09;
inline constexpr uint8_t kUtf8String = 0x0C;
inline constexpr uint8_t kRelativeOid = 0x0D;
inline constexpr uint8_t kSequence = 0x30;
inline constexpr uint8_t kSet = 0x31;

inline constexpr uint8_t kConstructed = 0x20;

// [n], wrapping a whole value.
constexpr uint8_t context(int n)
{
    return static_cast<uint8_t>(0xA0 + n);
}
// APPLICATION n, in place of a SEQUENCE or SET tag.
constexpr uint8_t application(int n)
{
    return static_cast<uint8_t>(0x60 + n);
}

} // namespace BerTags
