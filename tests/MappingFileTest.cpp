// The channel-mapping file's text: the exact layout users' files have, the
// older layout, files as older pages and scripts wrote them, and every kind
// of file that is not the layout refused as a whole.

#include "engine/MappingFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace {

// UTF-8 is written as it is; a channel is stored counted from 1, and 0 is none.
const StoredRouting kKnown{
    {{"Bühne", {{2, "HÔTE (Caméra)"}, {}}, "HÔTE (Caméra)"}, {"Empty", {}, ""}}, {{"Bühne", 40}, {"Empty", -250}}};

const std::string kKnownText = R"json({
    "senderChannelMappings": [
        {
            "senderChannelMappings": [
                {
                    "sourceChannel": 3,
                    "sourceName": "HÔTE (Caméra)"
                },
                {
                    "sourceChannel": 0,
                    "sourceName": ""
                }
            ],
            "senderName": "Bühne",
            "videoSource": "HÔTE (Caméra)"
        },
        {
            "senderChannelMappings": [],
            "senderName": "Empty",
            "videoSource": ""
        }
    ],
    "senderDelayMappings": [
        {
            "delay": 40,
            "senderName": "Bühne"
        },
        {
            "delay": -250,
            "senderName": "Empty"
        }
    ]
}
)json";

} // namespace

TEST(MappingFile, aKnownRoutingIsWrittenAndReadByteForByteInTheLayoutUsersFilesHaveAndTheOlderLayoutIsRead)
{
    std::string error;
    EXPECT_EQ(MappingFile::render(kKnown, error), kKnownText) << error;
    EXPECT_EQ(
        MappingFile::render({}, error), "{\n    \"senderChannelMappings\": [],\n    \"senderDelayMappings\": []\n}\n");
    EXPECT_EQ(MappingFile::parse(kKnownText, error), kKnown) << error;

    const std::string old =
        R"json([{"senderName":"Old","senderChannelMappings":[{"sourceName":"A (B)","sourceChannel":2.0}]}])json";
    EXPECT_EQ(MappingFile::parse(old, error), (StoredRouting{{{"Old", {{1, "A (B)"}}, ""}}, {}})) << error;
    EXPECT_EQ(MappingFile::parse("", error), StoredRouting{}) << error;
}

TEST(MappingFile, aFileAsOlderPagesAndScriptsWroteItLoadsAndLeavesOutOnlyWhatTheRoutingCannotHoldWithANoteEach)
{
    // A delay written as 250.0 is the routing (names as older pages made them are the rules' test's). A delay of
    // 9000 ms, 2000 channels, an unnamed or repeated sender, a channel that names no source: each costs that entry
    // alone.
    std::string channels;
    for (int c = 1; c <= 2000; ++c)
        channels += std::string(c > 1 ? "," : "") + R"j({"sourceName": "HOST (Desk)", "sourceChannel": )j" +
            (c == 3 || c == 1500 ? "1" : "0") + "}";
    const std::string text = R"j({"senderChannelMappings": [
        {"senderName": "Bühne", "senderChannelMappings": [{"sourceName": "HOST (Desk)", "sourceChannel": 2.0}]},
        {"senderName": "Hall", "senderChannelMappings": [{"sourceName": "", "sourceChannel": 4},
            {"sourceName": "HOST (Desk)", "sourceChannel": 2.5}], "videoSource": "HOST (Cam)"},
        {"senderName": "Wide", "senderChannelMappings": [)j" +
        channels + R"j(]},
        {"senderName": "", "senderChannelMappings": []},
        {"senderName": "Bühne", "senderChannelMappings": []}],
        "senderDelayMappings": [{"senderName": "Bühne", "delay": 250.0}, {"senderName": "Hall", "delay": 9000},
            {"senderName": "Wide", "delay": -9000}, {"senderName": "Wide", "delay": 40}]})j";
    std::string error;
    std::vector<std::string> notes;
    const auto routing = MappingFile::parse(text, error, &notes);
    ASSERT_TRUE(routing) << error;
    std::vector<ChannelMapping> wide(1024);
    wide[2] = {0, "HOST (Desk)"};
    EXPECT_EQ(*routing,
        (StoredRouting{
            {{"Bühne", {{1, "HOST (Desk)"}}, ""}, {"Hall", {{}, {1, "HOST (Desk)"}}, "HOST (Cam)"}, {"Wide", wide, ""}},
            {{"Bühne", 250}, {"Hall", 5000}, {"Wide", -5000}}}));
    const std::string delayRule = "a delay must be a whole number of milliseconds from -5000 to 5000";
    EXPECT_EQ(notes,
        (std::vector<std::string>{
            "sender 2 \"Hall\" channel 1: source \"\" - the name is empty; the channel is left unconnected",
            "sender 2 \"Hall\" channel 2 \"sourceChannel\": 2.5 is read as 2",
            "sender 3 \"Wide\" has 2000 channels - a channel count must be a whole number from 0 to 1024; channels "
            "1025 to 2000 are left out",
            "sender 4 \"\": the name is empty; the sender is left out",
            "sender 5 has the name of sender 1, \"Bühne\"; it is left out",
            "delay 2 of \"Hall\": 9000 - " + delayRule + "; 5000 is used",
            "delay 3 of \"Wide\": -9000 - " + delayRule + "; -5000 is used",
            "delay 4 is for the sender of delay 3, \"Wide\"; it is left out",
        }));
}

TEST(MappingFile, filesThatAreNotTheLayoutAreRefusedAsAWholeWithAReason)
{
    // One missing and one mistyped member stand for all: one check reads every member.
    const std::pair<std::string, std::string> bad[] = {
        {R"({"senderChannelMappings": [)", "not valid JSON at byte"},
        {"42", "neither an object nor an array"},
        {R"({"senderChannelMappings": {}})", "\"senderChannelMappings\" is object"},
        {R"({"senderChannelMappings": [7]})", "sender 1 is number"},
        {R"([{"senderChannelMappings": []}])", "sender 1 has no \"senderName\""},
        {R"([{"senderName": "S", "senderChannelMappings": [1]}])", "channel 1 is number"},
        {R"([{"senderName": "S", "senderChannelMappings": [{"sourceName": "A", "sourceChannel": "2"}]}])",
            "\"sourceChannel\" is string"},
        {R"([{"senderName": "S", "videoSource": 3, "senderChannelMappings": []}])", "\"videoSource\" is number"},
        {R"({"senderDelayMappings": ["S"]})", "delay 1 is string"},
        {R"({"senderDelayMappings": [{"senderName": "S", "delay": "250"}]})", "\"delay\" is string"},
        // Not the layout even where the routing would leave the entry out: a broken sender is no sender to leave out.
        {R"([{"senderName": "", "senderChannelMappings": [7]}])", "channel 1 is number"},
    };
    for (const auto& [text, reason] : bad) {
        std::string error; // set only by a refusal
        MappingFile::parse(text, error);
        EXPECT_NE(error.find(reason), std::string::npos) << text << " gave: " << error;
    }
}

TEST(MappingFile, aFileLargerThan16MiBIsRefusedWithoutBeingRead)
{
    const std::string path = testing::TempDir() + "kestrix-large-" + std::to_string(getpid()) + ".ploverc";
    std::string text = kKnownText, error;
    text.resize(16 << 20, ' '); // still one valid JSON text
    std::ofstream(path, std::ios::binary) << text;
    ASSERT_TRUE(MappingFile::readFile(path, text, error)) << error;
    EXPECT_EQ(text.size(), 16u << 20);
    std::ofstream(path, std::ios::app) << ' ';
    text = "untouched";
    EXPECT_FALSE(MappingFile::readFile(path, text, error));
    EXPECT_EQ(error, "is larger than 16 MiB");
    EXPECT_EQ(text, "untouched");
    std::remove(path.c_str());
}

TEST(MappingFile, everyDelayIsStoredAsTheWholeMillisecondsItWasSetTo)
{
    // The engine holds a delay as milliseconds / 1000.0 seconds: cutting instead of rounding loses one at a save.
    for (int32_t ms = -5000; ms <= 5000; ++ms)
        ASSERT_EQ(MappingFile::toMilliseconds(ms / 1000.0), ms);
}
