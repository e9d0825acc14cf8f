#include "ember/BerReader.h"

#include "ember/BerTags.h"

#include <algorithm>
#include <bit>
#include <cmath>

std::optional<BerReader::Tlv> BerReader::next()
{
    if (atEnd())
        return std::nullopt;
    size_t used = 0;
    auto tlv = parse(rest, 0, used, ends);
    if (!tlv) {
        failure = true;
        return std::nullopt;
    }
    rest = rest.subspan(used);
    return tlv;
}

std::optional<BerReader::Tlv> BerReader::parse(std::span<const uint8_t> bytes, int depth, size_t& used, Ends* ends)
{
    if (depth > kMaxDepth || bytes.size() < 2)
        return std::nullopt;
    Tlv tlv;
    tlv.tag = bytes[0];
    size_t at = 1;
    if ((tlv.tag & 0x1F) == 0x1F) {
        // A tag number beyond 30: its bytes end with one below 0x80.
        while (at < bytes.size() && (bytes[at] & 0x80) != 0)
            ++at;
        ++at;
    }
    if (at >= bytes.size())
        return std::nullopt;
    const uint8_t first = bytes[at++];
    if (first == 0x80) {
        if ((tlv.tag & BerTags::kConstructed) == 0)
            return std::nullopt;
        // Indefinite: values up to the two zero bytes that end them.
        const size_t start = at;
        if (const auto known = ends != nullptr ? ends->find(bytes.data()) : Ends::iterator();
            ends != nullptr && known != ends->end() && known->second <= bytes.size()) {
            used = known->second;
            tlv.contents = bytes.subspan(start, used - 2 - start);
            return tlv;
        }
        while (true) {
            if (at + 2 > bytes.size())
                return std::nullopt;
            if (bytes[at] == 0 && bytes[at + 1] == 0)
                break;
            size_t inner = 0;
            if (!parse(bytes.subspan(at), depth + 1, inner, ends))
                return std::nullopt;
            at += inner;
        }
        tlv.contents = bytes.subspan(start, at - start);
        used = at + 2;
        if (ends != nullptr)
            ends->emplace(bytes.data(), used);
        return tlv;
    }
    size_t length = first;
    if ((first & 0x80) != 0) {
        const size_t count = first & 0x7F;
        if (count > 4 || at + count > bytes.size())
            return std::nullopt;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = length << 8 | bytes[at++];
    }
    if (length > bytes.size() - at)
        return std::nullopt;
    tlv.contents = bytes.subspan(at, length);
    used = at + length;
    return tlv;
}

std::optional<int64_t> BerReader::integer(std::span<const uint8_t> contents)
{
    if (contents.empty() || contents.size() > 8)
        return std::nullopt;
    // Two's complement, sign-extended from the first byte.
    uint64_t value = (contents[0] & 0x80) != 0 ? ~uint64_t{0} : 0;
    for (uint8_t b : contents)
        value = value << 8 | b;
    return static_cast<int64_t>(value);
}

std::optional<double> BerReader::real(std::span<const uint8_t> contents)
{
    if (contents.empty())
        return 0.0;
    const uint8_t first = contents[0];
    if (contents.size() == 1) {
        switch (first) {
        case 0x40: return HUGE_VAL;
        case 0x41: return -HUGE_VAL;
        case 0x42: return NAN;
        case 0x43: return -0.0;
        default: return std::nullopt;
        }
    }
    if ((first & 0x80) == 0)
        return std::nullopt; // the decimal forms: no Ember+ peer sends them
    // Binary: the exponent's bytes, then the mantissa. As Ember+ peers use it,
    // the mantissa is the significand with its trailing zero bits dropped; its
    // leading 1 stands for 2^exponent.
    size_t exponentBytes = (first & 0x03) + 1u;
    size_t at = 1;
    if (exponentBytes == 4) {
        exponentBytes = contents[1];
        at = 2;
    }
    if (exponentBytes == 0 || exponentBytes > 4 || at + exponentBytes > contents.size())
        return std::nullopt;
    const auto exponent = integer(contents.subspan(at, exponentBytes));
    at += exponentBytes;
    if (!exponent || contents.size() - at > 8)
        return std::nullopt;
    uint64_t mantissa = 0;
    for (size_t i = at; i < contents.size(); ++i)
        mantissa = mantissa << 8 | contents[i];
    if (mantissa == 0)
        return (first & 0x40) != 0 ? -0.0 : 0.0;
    const int bits = 64 - std::countl_zero(mantissa);
    // Far beyond a double's range either way, so the shift below cannot overflow.
    const int scale = static_cast<int>(std::clamp<int64_t>(*exponent, -100000, 100000));
    const double magnitude = std::ldexp(static_cast<double>(mantissa), scale - (bits - 1));
    return (first & 0x40) != 0 ? -magnitude : magnitude;
}

std::optional<std::vector<uint32_t>> BerReader::relativeOid(std::span<const uint8_t> contents)
{
    std::vector<uint32_t> components;
    uint64_t component = 0;
    bool open = false;
    for (uint8_t b : contents) {
        component = component << 7 | (b & 0x7F);
        if (component > UINT32_MAX)
            return std::nullopt;
        open = (b & 0x80) != 0;
        if (!open) {
            components.push_back(static_cast<uint32_t>(component));
            component = 0;
        }
    }
    if (open)
        return std::nullopt;
    return components;
}
