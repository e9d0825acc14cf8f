#include "ember/BerWriter.h"

#include "ember/BerTags.h"

#include <bit>
#include <cmath>

namespace {

// The bytes of `value`, most significant first, without the ones a minimal encoding drops.
std::vector<uint8_t> twosComplement(int64_t value)
{
    std::vector<uint8_t> bytes;
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> shift));
    size_t skip = 0;
    // A leading byte may go when it only repeats the sign of the next one.
    while (skip + 1 < bytes.size() &&
        ((bytes[skip] == 0x00 && (bytes[skip + 1] & 0x80) == 0) ||
            (bytes[skip] == 0xFF && (bytes[skip + 1] & 0x80) != 0)))
        ++skip;
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(skip));
    return bytes;
}

// A definite length: one byte below 128, else 0x80 + its count of bytes, then those bytes.
std::vector<uint8_t> lengthBytes(size_t size)
{
    if (size < 0x80)
        return {static_cast<uint8_t>(size)};
    std::vector<uint8_t> bytes;
    for (size_t rest = size; rest != 0; rest >>= 8)
        bytes.insert(bytes.begin(), static_cast<uint8_t>(rest));
    bytes.insert(bytes.begin(), static_cast<uint8_t>(0x80 | bytes.size()));
    return bytes;
}

} // namespace

void BerWriter::begin(uint8_t tag)
{
    out.push_back(tag);
    out.push_back(0); // the length, written by end()
    open.push_back(out.size());
}

void BerWriter::end()
{
    const size_t start = open.back();
    open.pop_back();
    const std::vector<uint8_t> size = lengthBytes(out.size() - start);
    out[start - 1] = size[0];
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), size.begin() + 1, size.end());
}

void BerWriter::primitive(uint8_t tag, std::span<const uint8_t> contents)
{
    out.push_back(tag);
    const std::vector<uint8_t> size = lengthBytes(contents.size());
    out.insert(out.end(), size.begin(), size.end());
    out.insert(out.end(), contents.begin(), contents.end());
}

void BerWriter::integer(int64_t value)
{
    primitive(BerTags::kInteger, twosComplement(value));
}

void BerWriter::boolean(bool value)
{
    const uint8_t contents = value ? 0xFF : 0x00;
    primitive(BerTags::kBoolean, {&contents, 1});
}

void BerWriter::utf8(std::string_view text)
{
    primitive(BerTags::kUtf8String, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

void BerWriter::octets(std::span<const uint8_t> bytes)
{
    primitive(BerTags::kOctetString, bytes);
}

void BerWriter::real(double value)
{
    std::vector<uint8_t> contents;
    if (std::isnan(value)) {
        contents = {0x42};
    } else if (std::isinf(value)) {
        contents = {static_cast<uint8_t>(value > 0 ? 0x40 : 0x41)};
    } else if (value != 0) {
        // The significand as a 53-bit integer with its leading 1, trailing zero
        // bits dropped; the exponent is that of the leading 1.
        int exponent = 0;
        const double fraction = std::frexp(std::fabs(value), &exponent); // [0.5, 1)
        auto significand = static_cast<uint64_t>(std::ldexp(fraction, 53));
        significand >>= std::countr_zero(significand);
        const std::vector<uint8_t> exponentBytes = twosComplement(exponent - 1);
        std::vector<uint8_t> mantissa = twosComplement(static_cast<int64_t>(significand)); // a leading 00 if needed
        contents.push_back(static_cast<uint8_t>(0x80 | (value < 0 ? 0x40 : 0) | (exponentBytes.size() - 1)));
        contents.insert(contents.end(), exponentBytes.begin(), exponentBytes.end());
        contents.insert(contents.end(), mantissa.begin(), mantissa.end());
    }
    primitive(BerTags::kReal, contents);
}

void BerWriter::relativeOid(std::span<const uint32_t> components)
{
    std::vector<uint8_t> contents;
    for (uint32_t component : components) {
        uint8_t groups[5];
        int count = 0;
        do {
            groups[count++] = static_cast<uint8_t>(component & 0x7F);
            component >>= 7;
        } while (component != 0);
        while (count > 0) {
            --count;
            contents.push_back(static_cast<uint8_t>(groups[count] | (count > 0 ? 0x80 : 0)));
        }
    }
    primitive(BerTags::kRelativeOid, contents);
}
