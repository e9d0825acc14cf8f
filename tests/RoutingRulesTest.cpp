// The routing rules on the cases the page's script is tested against too
// (RoutingRulesCases.json), and the mapping file held to them: the reader
// keeps every name a file may hold byte for byte, leaves out with a note only
// the entries the routing cannot hold, and whatever it reads is written back
// to a file that reads back the same.

#include "engine/RoutingRules.h"
#include "engine/MappingFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>

using nlohmann::json;
using RoutingRules::Verdict;

namespace {

// The case's text as the engine gets it; nothing for the page's own cases.
std::optional<std::string> textOf(const json& c)
{
    if (c.contains("utf16"))
        return std::nullopt;
    std::string text = c.value("name", ""), hex = c.value("utf8", "");
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    for (int i = 0; i < c.value("times", 0); ++i)
        text += c["repeat"].get<std::string>();
    return text;
}

Verdict expected(const json& c)
{
    return c.contains("refused") ? Verdict(c["refused"].get<std::string>()) : std::nullopt;
}

// A JSON string holding the bytes as they are, even when they are not UTF-8.
std::string jsonString(const std::string& text)
{
    try {
        return json(text).dump();
    } catch (const json::type_error&) {
        return "\"" + text + "\"";
    }
}

struct Read {
    std::optional<StoredRouting> routing;
    std::vector<std::string> notes;
    std::string error;
};

// The reader on a file; what it accepts is also written and read back, which must give the same without notes.
Read readAndWriteBack(const std::string& text, const std::string& what)
{
    Read read;
    read.routing = MappingFile::parse(text, read.error, &read.notes);
    if (!read.routing)
        return read;
    std::string error;
    std::vector<std::string> notes;
    const auto written = MappingFile::render(*read.routing, error);
    EXPECT_EQ(written ? MappingFile::parse(*written, error, &notes) : std::nullopt, read.routing)
        << what << " read back otherwise from:\n"
        << written.value_or(error);
    EXPECT_EQ(notes, std::vector<std::string>{}) << what;
    return read;
}

// One sender `name` whose channel 1 carries `source` (stored channel 2) and its video, with a delay of `delay`.
std::string senderFile(const std::string& name, const std::string& source, const std::string& storedChannel = "2",
    const std::string& delay = "40")
{
    return R"({"senderChannelMappings": [{"senderName": )" + name + R"(, "senderChannelMappings": [{"sourceName": )" +
        source + R"(, "sourceChannel": )" + storedChannel + R"(}], "videoSource": )" + source +
        R"(}], "senderDelayMappings": [{"senderName": )" + name + R"(, "delay": )" + delay + "}]}";
}

bool mentions(const std::vector<std::string>& notes, const std::string& text)
{
    return std::ranges::any_of(notes, [&](const std::string& note) { return note.find(text) != std::string::npos; });
}

} // namespace

TEST(RoutingRules, theRulesJudgeEveryCaseAsTheTableSays)
{
    const json table = json::parse(std::ifstream(KESTRIX_RULES_CASES));
    const std::pair<const char*, Verdict (*)(std::string_view)> nameRules[] = {
        {"storedName", RoutingRules::checkStoredName}, {"sourceName", RoutingRules::checkSourceName},
        {"senderName", RoutingRules::checkSenderName}, {"newSenderName", RoutingRules::checkNewSenderName}};
    for (const auto& [rule, check] : nameRules)
        for (const json& c : table.at(rule))
            if (const auto text = textOf(c)) {
                EXPECT_EQ(check(*text), expected(c)) << rule << " " << c.dump();
            }
    const std::pair<const char*, Verdict (*)(double)> numberRules[] = {
        {"channelCount", RoutingRules::checkChannelCount}, {"senderChannel", RoutingRules::checkSenderChannel},
        {"sourceChannel", RoutingRules::checkSourceChannel},
        {"storedSourceChannel", RoutingRules::checkStoredSourceChannel}, {"delay", RoutingRules::checkDelay}};
    for (const auto& [rule, check] : numberRules)
        for (const json& c : table.at(rule))
            EXPECT_EQ(check(c.at("value").get<double>()), expected(c)) << rule << " " << c.dump();
}

TEST(RoutingRules, aFileKeepsEveryStoredNameByteForByteAndLeavesOutOnlyTheEntriesItCannotHold)
{
    // Every name of the table, as a sender, a source, a video source and a delay's sender: names no longer made
    // (a tab, an override, 2000 characters) still load, as the older page and files held them.
    const json table = json::parse(std::ifstream(KESTRIX_RULES_CASES));
    for (const char* section : {"storedName", "sourceName", "senderName", "newSenderName"})
        for (const json& c : table.at(section)) {
            const auto name = textOf(c);
            if (!name)
                continue;
            const std::string what = std::string(section) + " " + c.dump();
            const Read read = readAndWriteBack(senderFile(jsonString(*name), jsonString(*name)), what);
            if (const auto refused = RoutingRules::checkStoredName(*name); !refused) {
                EXPECT_EQ(read.routing, (StoredRouting{{{*name, {{1, *name}}, *name}}, {{*name, 40}}})) << what;
                EXPECT_EQ(read.notes, std::vector<std::string>{}) << what;
            } else if (*refused == "the name is not valid UTF-8") {
                EXPECT_TRUE(read.error.starts_with("not valid JSON")) << what << " gave: " << read.error;
            } else {
                EXPECT_EQ(read.routing, StoredRouting{}) << what;
                EXPECT_TRUE(mentions(read.notes, *refused + "; the sender is left out")) << what;
                EXPECT_TRUE(mentions(read.notes, *refused + "; the delay is left out")) << what;
            }
        }

    // The writer refuses what the reader would not read back.
    const std::string nul("A\0B", 3), notUtf8("\xff");
    std::string error;
    for (const StoredRouting& routing : {StoredRouting{{{"", {}, ""}}, {}}, StoredRouting{{{notUtf8, {}, ""}}, {}},
             StoredRouting{{{"S", {{0, nul}}, ""}}, {}}, StoredRouting{{{"S", {}, nul}}, {}},
             StoredRouting{{}, {{nul, 5}}}})
        EXPECT_FALSE(MappingFile::render(routing, error));
}

TEST(RoutingRules, aNumberInAFileIsReadAsTheWholeNumberItStandsForAndHeldToItsRule)
{
    // What the routing cannot hold costs its entry: out of bounds a delay is held to them, a source channel left
    // unconnected; the rest of the file is read all the same.
    const json table = json::parse(std::ifstream(KESTRIX_RULES_CASES));
    for (const json& c : table.at("delay")) {
        const Read read = readAndWriteBack(senderFile(R"("S")", R"x("A (B)")x", "2", c["value"].dump()), c.dump());
        ASSERT_TRUE(read.routing) << c.dump() << ": " << read.error;
        ASSERT_EQ(read.routing->delays.size(), 1u);
        const int32_t delay = read.routing->delays[0].second;
        const double sent = c["value"].get<double>();
        EXPECT_EQ(delay, std::clamp(std::trunc(sent), -5000.0, 5000.0)) << c.dump();
        EXPECT_EQ(read.notes.empty(), !expected(c)) << c.dump();
        EXPECT_EQ(read.routing->senders.size(), 1u) << "the sender stays";
    }
    for (const json& c : table.at("storedSourceChannel")) {
        const Read read = readAndWriteBack(senderFile(R"("S")", R"x("A (B)")x", c["value"].dump()), c.dump());
        ASSERT_TRUE(read.routing) << c.dump() << ": " << read.error;
        const ChannelMapping mapping = read.routing->senders.at(0).mappings.at(0);
        const double stored = std::trunc(c["value"].get<double>());
        const bool unconnected = RoutingRules::checkStoredSourceChannel(stored).has_value();
        EXPECT_EQ(mapping.sourceChannel, unconnected || stored == 0 ? kNoChannel : static_cast<uint32_t>(stored - 1))
            << c.dump();
        EXPECT_EQ(read.notes.empty(), !expected(c)) << c.dump();
        EXPECT_EQ(mentions(read.notes, "the channel is left unconnected"), unconnected) << c.dump();
        EXPECT_EQ(read.routing->senders.at(0).videoSource, "A (B)") << "the rest of the sender stays";
    }
}
