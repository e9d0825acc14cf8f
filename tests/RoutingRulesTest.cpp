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
    std::string text;
    if (c.contains("utf16"))
        return std::nullopt;
    if (c.contains("utf8"))
        for (size_t i = 0; i + 1 < c["utf8"].get<std::string>().size(); i += 2)
            text += static_cast<char>(std::stoi(c["utf8"].get<std::string>().substr(i, 2), nullptr, 16));
    else if (c.contains("repeat"))
        for (int i = 0; i < c["times"].get<int>(); ++i)
            text += c["repeat"].get<std::string>();
    else
        text = c["name"];
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

// Accepted as the rule accepts, or refused with its reason.
void expectJudged(bool accepted, const std::string& error, const Verdict& rule, const std::string& what)
{
    EXPECT_EQ(accepted, !rule) << what << ": " << error;
    // Bytes that are not UTF-8 are refused before the rules see them, by the JSON parser.
    if (rule && !error.starts_with("not valid JSON")) {
        EXPECT_NE(error.find(*rule), std::string::npos) << what << " gave: " << error;
    }
}

// What the reader accepts is written back to a file that reads back the same.
void expectReaderAgrees(const std::string& file, const Verdict& rule, const std::string& what)
{
    std::string error;
    const auto routing = MappingFile::parse(file, error);
    expectJudged(routing.has_value(), error, rule, what);
    if (routing) {
        const auto written = MappingFile::render(*routing, error);
        ASSERT_TRUE(written) << what << ": " << error;
        EXPECT_EQ(MappingFile::parse(*written, error), routing) << what << " read back otherwise from:\n" << *written;
    }
}

void expectWriterAgrees(const StoredRouting& routing, const Verdict& rule, const std::string& what)
{
    std::string error;
    expectJudged(MappingFile::render(routing, error).has_value(), error, rule, what);
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
        if (const auto name = textOf(c)) {
            expectReaderAgrees(senderFile(jsonString(*name), "", R"("")", "40"), expected(c), "sender " + c.dump());
            expectWriterAgrees({{{*name, {}, ""}}, {{*name, 40}}}, expected(c), "sender " + c.dump());
        }
    for (const json& c : table.at("sourceName"))
        if (const auto name = textOf(c)) {
            const std::string source = jsonString(*name);
            expectReaderAgrees(
                senderFile(R"("S")", channelObject(source, "2"), source), expected(c), "source " + c.dump());
            expectWriterAgrees({{{"S", {{1, *name}}, *name}}, {}}, expected(c), "source " + c.dump());
        }
    for (const json& c : table.at("storedSourceChannel"))
        expectReaderAgrees(senderFile(R"("S")", channelObject(R"x("A (B)")x", c["value"].dump())), expected(c),
            "stored source channel " + c.dump());
    for (const json& c : table.at("sourceChannel"))
        if (c["value"].is_number_unsigned()) // what a channel of the routing can hold at all
            expectWriterAgrees(
                {{{"S", {{c["value"].get<uint32_t>(), "A (B)"}}, ""}}, {}}, expected(c), "source channel " + c.dump());
    for (const json& c : table.at("delay"))
        expectReaderAgrees(senderFile(R"("S")", "", R"("")", c["value"].dump()), expected(c), "delay " + c.dump());
    for (const json& c : table.at("channelCount"))
        if (c["value"].is_number_unsigned() && c["value"] <= 4096) {
            std::string channels;
            for (unsigned i = 0; i < c["value"]; ++i)
                channels += std::string(i ? "," : "") + channelObject(R"("")", "0");
            expectReaderAgrees(senderFile(R"("S")", channels), expected(c), "channel count " + c.dump());
        }
}
