// The routing rules on the cases the page's script is tested against too
// (RoutingRulesCases.json), and the mapping file held to them: the reader
// accepts exactly what the rules accept, the writer writes nothing the reader
// would refuse, and whatever is accepted reads back the same after a write.

#include "engine/RoutingRules.h"
#include "engine/MappingFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

// The reader on a file holding the value, and the writer on a routing holding it, accept as the rule accepts or
// refuse with its reason; what the reader accepts is written back to a file that reads back the same.
void expectJudgedAlike(const Verdict& rule, const std::string& what, const std::optional<std::string>& file,
    const std::optional<StoredRouting>& routing = {})
{
    std::string error;
    const auto judged = [&](bool accepted) {
        EXPECT_EQ(accepted, !rule) << what << ": " << error;
        // Bytes that are not UTF-8 are refused before the rules see them, by the JSON parser.
        EXPECT_TRUE(!rule || error.starts_with("not valid JSON") || error.find(*rule) != std::string::npos)
            << what << " gave: " << error;
    };
    if (file) {
        const auto read = MappingFile::parse(*file, error);
        judged(read.has_value());
        const auto written = read ? MappingFile::render(*read, error) : std::nullopt;
        if (read) {
            EXPECT_EQ(written ? MappingFile::parse(*written, error) : std::nullopt, read)
                << what << " read back otherwise from:\n"
                << written.value_or(error);
        }
    }
    if (routing)
        judged(MappingFile::render(*routing, error).has_value());
}

std::string senderFile(const std::string& sender, const std::string& channels, const std::string& video = R"("")",
    const std::string& delay = "0")
{
    return R"({"senderChannelMappings": [{"senderName": )" + sender + R"(, "senderChannelMappings": [)" + channels +
        R"(], "videoSource": )" + video + R"(}], "senderDelayMappings": [{"senderName": )" + sender + R"(, "delay": )" +
        delay + "}]}";
}

std::string channelObject(const std::string& source, const std::string& storedChannel)
{
    return R"({"sourceName": )" + source + R"(, "sourceChannel": )" + storedChannel + "}";
}

} // namespace

TEST(RoutingRules, theRulesTheFileReaderAndTheFileWriterJudgeEveryCaseAlike)
{
    const json table = json::parse(std::ifstream(KESTRIX_RULES_CASES));
    const std::pair<const char*, Verdict (*)(std::string_view)> nameRules[] = {
        {"sourceName", RoutingRules::checkSourceName}, {"senderName", RoutingRules::checkSenderName},
        {"newSenderName", RoutingRules::checkNewSenderName}};
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

    // The file holds the same values, and its reader and writer judge them the same.
    for (const json& c : table.at("senderName"))
        if (const auto name = textOf(c))
            expectJudgedAlike(expected(c), "sender " + c.dump(), senderFile(jsonString(*name), "", R"("")", "40"),
                StoredRouting{{{*name, {}, ""}}, {{*name, 40}}});
    for (const json& c : table.at("sourceName"))
        if (const auto name = textOf(c))
            expectJudgedAlike(expected(c), "source " + c.dump(),
                senderFile(R"("S")", channelObject(jsonString(*name), "2"), jsonString(*name)),
                StoredRouting{{{"S", {{1, *name}}, *name}}, {}});
    for (const json& c : table.at("storedSourceChannel"))
        expectJudgedAlike(expected(c), "stored source channel " + c.dump(),
            senderFile(R"("S")", channelObject(R"x("A (B)")x", c["value"].dump())));
    for (const json& c : table.at("sourceChannel"))
        if (c["value"].is_number_unsigned()) // what a channel of the routing can hold at all
            expectJudgedAlike(expected(c), "source channel " + c.dump(), std::nullopt,
                StoredRouting{{{"S", {{c["value"].get<uint32_t>(), "A (B)"}}, ""}}, {}});
    for (const json& c : table.at("delay"))
        expectJudgedAlike(expected(c), "delay " + c.dump(), senderFile(R"("S")", "", R"("")", c["value"].dump()));
    for (const json& c : table.at("channelCount"))
        if (c["value"].is_number_unsigned() && c["value"] <= 4096) {
            std::string channels;
            for (unsigned i = 0; i < c["value"]; ++i)
                channels += std::string(i ? "," : "") + channelObject(R"("")", "0");
            expectJudgedAlike(expected(c), "channel count " + c.dump(), senderFile(R"("S")", channels));
        }
}
