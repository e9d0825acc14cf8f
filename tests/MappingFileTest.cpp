// The channel-mapping file's text: the exact layout users' files have, the
// older layout, and every kind of bad file refused as a whole.

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

TEST(MappingFile, aKnownRoutingIsWrittenAndReadByteForByteInTheLayoutUsersFilesHave)
{
    std::string error;
    EXPECT_EQ(MappingFile::render(kKnown, error), kKnownText) << error;
    EXPECT_EQ(
        MappingFile::render({}, error), "{\n    \"senderChannelMappings\": [],\n    \"senderDelayMappings\": []\n}\n");
    EXPECT_EQ(MappingFile::parse(kKnownText, error), kKnown) << error;
}

TEST(MappingFile, theOlderArrayLayoutAndAnEmptyFileAreRead)
{
    std::string error;
    const std::string old =
        R"json([{"senderName":"Old","senderChannelMappings":[{"sourceName":"A (B)","sourceChannel":2.0}]}])json";
    EXPECT_EQ(MappingFile::parse(old, error), (StoredRouting{{{"Old", {{1, "A (B)"}}, ""}}, {}})) << error;
    EXPECT_EQ(MappingFile::parse("", error), StoredRouting{}) << error;
}

TEST(MappingFile, badFilesAreRefusedAsAWholeWithAReason)
{
    // Values out of the routing rules' bounds are the rules' test's; these are the file's own faults (one missing and
    // one mistyped member stand for all: one check reads every member).
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
        {R"([{"senderName": "S", "senderChannelMappings": []}, {"senderName": "S", "senderChannelMappings": []}])",
            "sender 2 has the name of sender 1"},
        {R"({"senderDelayMappings": [{"senderName": "S", "delay": 1}, {"senderName": "S", "delay": 2}]})",
            "delay 2 is for the sender of delay 1"},
        {R"({"senderDelayMappings": ["S"]})", "delay 1 is string"},
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
