// The mapping file's reader on arbitrary text, as a user's disk can hold it.
// Whatever it accepts (leaving out what the routing cannot hold) must keep
// the routing rules, be written back by the writer, and read back as the same
// routing with nothing left out: so a start never refuses, nor changes, the
// file its last exit wrote.

#include "engine/MappingFile.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string error;
    std::vector<std::string> notes;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto routing = MappingFile::parse(text, error, &notes);
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
    const auto back = MappingFile::parse(*written, error, &notes);
    if (!back || *back != *routing || !notes.empty())
        __builtin_trap(); // written, yet it reads back otherwise
    return 0;
}
