// The channel-mapping file's text: the exact layout users' files have, the
// older layout, and every kind of bad file refused as a whole.

#include "engine/MappingFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace {

StoredRouting knownRouting()
{
    StoredRouting routing;
    routing.senders.push_back({"S", {{2, "C"}, {}}, "C"});
    routing.delays.emplace_back("S", 40);
    return routing;
}

std::string render(const StoredRouting& routing)
{
    std::string error;
    const auto text = MappingFile::render(routing, error);
    EXPECT_TRUE(text) << error;
    return text.value_or("");
}


} // namespace

TEST(MappingFile, aKnownRoutingIsWrittenByteForByteInTheLayoutUsersFilesHave)
{
    const std::string expected = R"({
    "senderChannelMappings": [
        {
            "senderChannelMappings": [
                {
                    "sourceChannel": 3,
                    "sourceName": "C"
                },
                {
                    "sourceChannel": 0,
                    "sourceName": ""
                }
            ],
            "senderName": "S",
            "videoSource": "C"
        }
    ],
    "senderDelayMappings": [
        {
            "delay": 40,
            "senderName": "S"
        }
    ]
}
)";
    EXPECT_EQ(render(knownRouting()), expected);
    EXPECT_EQ(render({}), "{\n    \"senderChannelMappings\": [],\n    \"senderDelayMappings\": []\n}\n");
}

TEST(MappingFile, whatIsWrittenReadsBackTheSame)
{
    StoredRouting routing = knownRouting();
    routing.senders.push_back({"Empty", {}, ""});                        // 0 channels
    routing.senders.push_back({"Bühne ⟨L⟩", {{0, "HÔTE (Caméra)"}}, ""}); // source channel 1 in the file
    routing.delays.emplace_back("Empty", -250);
    routing.delays.emplace_back("Bühne ⟨L⟩", 0);
    const std::string text = render(routing);
    EXPECT_NE(text.find("\"sourceChannel\": 1,\n                    \"sourceName\": \"HÔTE (Caméra)\""), std::string::npos)
        << "UTF-8 is written as it is, channels counted from 1";
    EXPECT_NE(text.find("\"delay\": -250"), std::string::npos);
    std::string error;
    const auto back = MappingFile::parse(text, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, routing);
    EXPECT_EQ(back->senders[0].mappings[1].sourceChannel, kNoChannel) << "0 in the file is no channel";
}

TEST(MappingFile, theOlderArrayLayoutAndAnEmptyFileAreRead)
{
    std::string error;
    const auto old = MappingFile::parse(
        R"json([{"senderName":"Old","senderChannelMappings":[{"sourceName":"A (B)","sourceChannel":2.0}]}])json", error);
    ASSERT_TRUE(old) << error;
    ASSERT_EQ(old->senders.size(), 1u);
    EXPECT_EQ(old->senders[0].mappings[0], (ChannelMapping{1, "A (B)"}));
    EXPECT_EQ(old->senders[0].videoSource, "") << "videoSource is optional";
    EXPECT_TRUE(old->delays.empty());

    const auto empty = MappingFile::parse("", error);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->senders.empty());
    EXPECT_EQ(MappingFile::toMilliseconds(-0.25), -250);
    EXPECT_EQ(MappingFile::toMilliseconds(0.0405), 41) << "halves away from zero";
    EXPECT_EQ(MappingFile::toMilliseconds(-0.0405), -41);
}

TEST(MappingFile, badFilesAreRefusedAsAWholeWithAReason)
{
    const std::vector<std::pair<std::string, std::string>> bad{
        {R"({"senderChannelMappings": [)", "not valid JSON at byte"},
        {"42", "neither an object nor an array"},
        {R"("text")", "neither an object nor an array"},
        {R"({"senderChannelMappings": {}})", "\"senderChannelMappings\" is object"},
        {R"({"senderChannelMappings": [7]})", "sender 1 is number"},
        {R"([{"senderChannelMappings": []}])", "sender 1 has no \"senderName\""},
        {R"([{"senderName": 5, "senderChannelMappings": []}])", "\"senderName\" is number"},
        {R"([{"senderName": "S"}])", "has no \"senderChannelMappings\""},
        {R"([{"senderName": "S", "senderChannelMappings": [1]}])", "channel 1 is number"},
        {R"([{"senderName": "S", "senderChannelMappings": [{"sourceName": "A"}]}])", "no \"sourceChannel\""},
        {R"([{"senderName": "S", "senderChannelMappings": [{"sourceName": "A", "sourceChannel": "2"}]}])",
            "\"sourceChannel\" is string"},
        {R"([{"senderName": "S", "senderChannelMappings": [{"sourceName": "A", "sourceChannel": -1}]}])",
            "must be a whole number"},
        {R"([{"senderName": "S", "senderChannelMappings": [{"sourceName": "A", "sourceChannel": 1e20}]}])",
            "must be a whole number"},
        {R"([{"senderName": "S", "videoSource": 3, "senderChannelMappings": []}])", "\"videoSource\" is number"},
        {R"({"senderDelayMappings": [{"senderName": "S"}]})", "no \"delay\""},
        {R"({"senderDelayMappings": [{"senderName": "S", "delay": 1e12}]})", "must be a whole number"},
        {R"([{"senderName": "S", "senderChannelMappings": []}, {"senderName": "S", "senderChannelMappings": []}])",
            "sender 2 has the name of sender 1"},
        {R"({"senderDelayMappings": [{"senderName": "S", "delay": 1}, {"senderName": "S", "delay": 2}]})",
            "delay 2 is for the sender of delay 1"},
        {R"({"senderDelayMappings": ["S"]})", "delay 1 is string"},
    };
    for (const auto& [text, reason] : bad) {
        std::string error;
        EXPECT_FALSE(MappingFile::parse(text, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << " gave: " << error;
    }
    // Absurd channel counts.
    std::string huge = R"([{"senderName": "S", "senderChannelMappings": [)";
    for (int i = 0; i < 2000; ++i)
        huge += std::string(i ? "," : "") + R"({"sourceName": "", "sourceChannel": 0})";
    huge += "]}]";
    std::string error;
    EXPECT_FALSE(MappingFile::parse(huge, error));
    EXPECT_NE(error.find("2000 channels"), std::string::npos) << error;
    EXPECT_NE(error.find("a channel count must be a whole number from 0 to 1024"), std::string::npos) << error;
}

TEST(MappingFile, aFileLargerThan16MiBIsRefusedWithoutBeingRead)
{
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "kestrix-large-XXXXXX").string();
    const fs::path folder = mkdtemp(pattern.data());
    const fs::path path = folder / "large.ploverc";
    auto readPadded = [&](size_t size, std::string& text, std::string& error) {
        std::string padded = render(knownRouting());
        padded.resize(size, ' '); // still one valid JSON text
        std::ofstream(path, std::ios::binary) << padded;
        return MappingFile::readFile(path.string(), text, error);
    };
    std::string text, error;
    ASSERT_TRUE(readPadded(16 << 20, text, error)) << error;
    EXPECT_EQ(text.size(), 16u << 20);
    EXPECT_TRUE(MappingFile::parse(text, error)) << error;
    text = "untouched";
    EXPECT_FALSE(readPadded((16 << 20) + 1, text, error));
    EXPECT_EQ(error, "is larger than 16 MiB");
    EXPECT_EQ(text, "untouched");
    fs::remove_all(folder);
}

TEST(MappingFile, mutatedFilesNeverCrashTheReader)
{
    // A corpus of damaged files: flipped, dropped and inserted bytes, cuts, and splices.
    const std::string valid = render(knownRouting());
    std::mt19937 random(1234);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = valid;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const size_t at = random() % text.size();
            switch (random() % 5) {
            case 0: text[at] = static_cast<char>(random() % 256); break;
            case 1: text.erase(at, 1 + random() % 8); break;
            case 2: text.insert(at, 1, "{}[]\",:-0123456789e.\\u"[random() % 22]); break;
            case 3: text.resize(at); break;
            case 4: text.insert(at, valid.substr(random() % valid.size(), random() % 40)); break;
            }
        }
        std::string error;
        std::optional<StoredRouting> routing;
        ASSERT_NO_THROW(routing = MappingFile::parse(text, error));
        if (routing) {
            ++accepted;
            ASSERT_TRUE(MappingFile::render(*routing, error)) << error; // whatever was accepted can be written
        } else {
            ASSERT_FALSE(error.empty());
        }
    }
    EXPECT_GT(accepted, 0);
}
