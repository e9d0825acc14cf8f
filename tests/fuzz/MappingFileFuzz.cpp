// The mapping file's reader on arbitrary text, as a user's disk can hold it.
// Whatever it accepts must keep the routing rules, be written back by the
// writer, and read back as the same routing: so a start never refuses the
// file its last exit wrote.

#include "engine/MappingFile.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string error;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto routing = MappingFile::parse(text, error);
    if (!routing) {
        if (error.empty())
            __builtin_trap(); // refused without a reason
        return 0;
    }
    if (MappingFile::check(*routing))
        __builtin_trap(); // accepted what the rules refuse
    const auto written = MappingFile::render(*routing, error);
    if (!written)
        __builtin_trap(); // accepted, yet it cannot be written
    const auto back = MappingFile::parse(*written, error);
    if (!back || *back != *routing)
        __builtin_trap(); // written, yet it reads back otherwise
    return 0;
}
