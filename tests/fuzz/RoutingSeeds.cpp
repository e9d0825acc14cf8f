// Writes the seed corpora of fuzz-mapping-file and fuzz-page-values: mapping
// files as the writer makes them (with the older layout and an empty file),
// near misses made from them by one wrong value, and every case of the
// routing rules' table in the page-values target's input form. Run it again
// when the file layout or the table changes:
//
//   cmake --build build --target kestrix-fuzz-seeds-routing
//   build/bin/kestrix-fuzz-seeds-routing tests/fuzz/corpus

#include "engine/MappingFile.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

void put(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string rendered(const StoredRouting& routing)
{
    std::string error;
    const auto text = MappingFile::render(routing, error);
    if (!text) {
        std::fprintf(stderr, "kestrix-fuzz-seeds-routing: %s\n", error.c_str());
        std::exit(1);
    }
    return *text;
}

void writeMappingFiles(const fs::path& folder)
{
    fs::create_directories(folder);
    StoredRouting show;
    show.senders.push_back({"Plover Sender 1", {{2, "STUDIO (Mixer)"}, {}, {0, "STUDIO (Mixer)"}}, "STUDIO (Camera)"});
    show.senders.push_back({"B\u00fchne \u27e8L\u27e9", {{0, "H\u00d4TE (Cam\u00e9ra)"}}, ""});
    show.senders.push_back({"Video Only", {}, "STUDIO (Camera)"});
    show.delays = {{"Plover Sender 1", 40}, {"B\u00fchne \u27e8L\u27e9", -250}, {"Video Only", 0}};
    const std::string file = rendered(show);
    put(folder / "show", file);
    put(folder / "empty-routing", rendered({}));
    put(folder / "empty-file", "");
    put(folder / "older-array-layout",
        R"x([{"senderName": "Old", "senderChannelMappings": [{"sourceName": "A (B)", "sourceChannel": 2.0}]}])x");

    // One wrong value each: the reader must refuse them, and tell why.
    const auto replaced = [&](const std::string& what, const std::string& with) {
        std::string text = file;
        text.replace(text.find(what), what.size(), with);
        return text;
    };
    put(folder / "near-source-channel-beyond", replaced("\"sourceChannel\": 3", "\"sourceChannel\": 2147483648"));
    put(folder / "near-source-channel-fraction", replaced("\"sourceChannel\": 3", "\"sourceChannel\": 2.5"));
    put(folder / "near-delay-beyond", replaced("\"delay\": 40", "\"delay\": 5001"));
    put(folder / "near-blank-sender",
        replaced("\"Video Only\",\n            \"videoSource\"", "\"   \",\n            \"videoSource\""));
    put(folder / "near-duplicate-sender",
        replaced("\"Video Only\",\n            \"videoSource\"", "\"Plover Sender 1\",\n            \"videoSource\""));
    put(folder / "near-empty-source-with-channel",
        replaced("\"sourceName\": \"STUDIO (Mixer)\"", "\"sourceName\": \"\""));
    put(folder / "near-invisible-name",
        replaced("\"senderName\": \"Plover Sender 1\"", "\"senderName\": \"Plover\\u200b\""));
}

void writePageValues(const fs::path& folder)
{
    fs::create_directories(folder);
    const json table = json::parse(std::ifstream(KESTRIX_RULES_CASES));
    const char* const rules[] = {"sourceName", "senderName", "newSenderName", "channelCount", "senderChannel",
        "sourceChannel", "storedSourceChannel", "delay"};
    for (uint8_t pick = 0; pick < 8; ++pick) {
        int n = 0;
        for (const json& c : table.at(rules[pick])) {
            std::string input(1, static_cast<char>(pick));
            if (c.contains("value")) {
                input += c["value"].dump();
            } else if (c.contains("utf16")) {
                input[0] = static_cast<char>(pick | 0x80);
                for (const int unit : c["utf16"])
                    input += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
            } else if (c.contains("utf8")) {
                const std::string hex = c["utf8"];
                for (size_t i = 0; i + 1 < hex.size(); i += 2)
                    input += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            } else if (c.contains("repeat")) {
                for (int i = 0; i < c["times"].get<int>(); ++i)
                    input += c["repeat"].get<std::string>();
            } else {
                input += c["name"].get<std::string>();
            }
            put(folder / (std::string(rules[pick]) + "-" + std::to_string(++n)), input);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrix-fuzz-seeds-routing <corpus folder>\n");
        return 2;
    }
    writeMappingFiles(fs::path(argv[1]) / "fuzz-mapping-file");
    writePageValues(fs::path(argv[1]) / "fuzz-page-values");
    return 0;
}
