#include "engine/PrintableText.h"

#include <cstdio>

std::string printableText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (text.substr(i, 3) == "\u2028" || text.substr(i, 3) == "\u2029") {
            out += text.substr(i, 3) == "\u2028" ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else {
            out += text[i];
        }
    }
    return out;
}
