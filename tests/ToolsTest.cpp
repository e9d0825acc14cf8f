// kestrix-testsrc and kestrix-probe as a user runs them: separate processes
// that meet over the loopback runtime in a discovery folder of the test's own.

#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string testsrc = KESTRIX_TESTSRC;
const std::string probe = KESTRIX_PROBE;
const std::string host = "TOOLHOST";

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

class ToolsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrix-tools-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        environment = {"KESTRIX_LOOPBACK_DIR=" + folder, "KESTRIX_NDI_RUNTIME=" KESTRIX_LOOPBACK_RUNTIME,
            "KESTRIX_LOOPBACK_HOSTNAME=" + host};
    }

    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    std::string outputPath(const std::string& name) const { return folder + "/" + name + ".out"; }

    std::unique_ptr<ChildProcess> start(
        const std::string& program, const std::vector<std::string>& args, const std::string& name)
    {
        auto child = std::make_unique<ChildProcess>(program, args, environment, outputPath(name));
        EXPECT_TRUE(child->started()) << program;
        return child;
    }

    struct Finished {
        int exitCode = -1;
        std::string output; // standard output and error together
    };

    Finished finish(ChildProcess& child, const std::string& name, std::chrono::seconds timeout = 30s)
    {
        Finished result;
        if (!child.waitFor(timeout, result.exitCode)) {
            ADD_FAILURE() << name << " did not end within " << timeout.count() << " s";
            child.kill(SIGKILL);
            result.exitCode = child.wait();
        }
        result.output = readFile(outputPath(name));
        return result;
    }

    Finished run(const std::string& program, const std::vector<std::string>& args, const std::string& name)
    {
        auto child = start(program, args, name);
        return finish(*child, name);
    }

    // The names a testsrc published, from its first lines ("name<TAB>format").
    std::vector<std::string> publishedNames(const std::string& name, size_t count)
    {
        const auto giveUp = std::chrono::steady_clock::now() + 15s;
        while (std::chrono::steady_clock::now() < giveUp) {
            std::vector<std::string> names;
            for (const std::string& line : lines(readFile(outputPath(name))))
                if (const auto tab = line.find('\t'); tab != std::string::npos)
                    names.push_back(line.substr(0, tab));
            if (names.size() >= count)
                return names;
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << name << " published fewer than " << count << " sources: " << readFile(outputPath(name));
        return {};
    }

    // The probe's JSON report: from the first line that opens an object to
    // the end, since the runtime's log lines share the output.
    static nlohmann::json report(const Finished& probed)
    {
        const std::string& text = probed.output;
        const size_t begin = text.rfind('{', 0) == 0 ? 0 : text.find("\n{");
        if (begin == std::string::npos) {
            ADD_FAILURE() << "no JSON report in: " << text;
            return nlohmann::json::object();
        }
        return nlohmann::json::parse(text.substr(begin), nullptr, false);
    }

    std::string folder;
    std::vector<std::string> environment;
};

// Both sources in one testsrc process, each probed by a probe process of its
// own while the other runs: 48 kHz as it is, 44.1 kHz through the frame-sync's
// resampler. A name with ':' in it checks that the numbers are read from the right.
TEST_F(ToolsTest, TonesArriveAtTheirFrequenciesAndLevelsFromSourcesAt48And44k1)
{
    auto source = start(testsrc, {"--source", "tones:4", "--source", "desk:A:4:44100"}, "testsrc");
    const auto names = publishedNames("testsrc", 2);
    ASSERT_EQ(names, (std::vector<std::string>{host + " (tones)", host + " (desk:A)"}));

    const Finished listed = run(probe, {"--list", "--wait", "1"}, "list");
    EXPECT_EQ(listed.exitCode, 0);
    const auto listedLines = lines(listed.output);
    for (const std::string& name : names)
        EXPECT_NE(std::find(listedLines.begin(), listedLines.end(), name), listedLines.end())
            << name << " missing from --list: " << listed.output;

    auto at48 = start(probe, {"--source", names[0], "--seconds", "3", "--json"}, "probe48");
    auto at44 = start(probe, {"--source", names[1], "--seconds", "3", "--json"}, "probe44");
    const Finished probed48 = finish(*at48, "probe48");
    const Finished probed44 = finish(*at44, "probe44");
    source->kill(SIGTERM);
    EXPECT_EQ(finish(*source, "testsrc").exitCode, 0);

    struct Expected {
        const Finished& probed;
        int rate;
    };
    for (const Expected& expected : {Expected{probed48, 48000}, Expected{probed44, 44100}}) {
        SCOPED_TRACE(expected.rate);
        ASSERT_EQ(expected.probed.exitCode, 0) << expected.probed.output;
        const nlohmann::json r = report(expected.probed);
        ASSERT_EQ(r["channels"].size(), 4u) << r.dump();
        for (int c = 0; c < 4; ++c) {
            const auto& row = r["channels"][c];
            EXPECT_EQ(row["channel"], c);
            ASSERT_TRUE(row["frequencyHz"].is_number()) << row.dump();
            EXPECT_NEAR(row["frequencyHz"].get<double>(), 375.0 * (c + 1), 1.0);
            EXPECT_NEAR(row["levelDbfs"].get<double>(), -20.0, 0.2);
            EXPECT_LT(row["silentFraction"].get<double>(), 0.02);
        }
        EXPECT_EQ(r["audio"]["channelCount"], 4);
        EXPECT_EQ(r["audio"]["stampedSampleRate"], expected.rate);
        ASSERT_TRUE(r["audio"]["measuredSampleRate"].is_number()) << r.dump();
        EXPECT_NEAR(r["audio"]["measuredSampleRate"].get<double>(), expected.rate, expected.rate * 0.01);
        EXPECT_EQ(r["video"]["frames"], 0);
    }
}

// The probe starts during the source's life and keeps pulling after it ends:
// the frame-sync then gives silence, which the probe reports.
TEST_F(ToolsTest, BlocksAfterTheSourceEndsAreReportedSilent)
{
    auto source = start(testsrc, {"--source", "brief:2", "--seconds", "2.5"}, "testsrc");
    const auto names = publishedNames("testsrc", 1);
    ASSERT_EQ(names.size(), 1u);
    auto probing = start(probe, {"--source", names[0], "--seconds", "4.5", "--json"}, "probe");

    // The source stops by itself, cleanly, while the probe still pulls.
    const Finished ended = finish(*source, "testsrc", 10s);
    EXPECT_EQ(ended.exitCode, 0) << ended.output;

    const Finished probed = finish(*probing, "probe");
    ASSERT_EQ(probed.exitCode, 0) << probed.output;
    const nlohmann::json r = report(probed);
    ASSERT_EQ(r["channels"].size(), 2u) << r.dump();
    for (int c = 0; c < 2; ++c) {
        const auto& row = r["channels"][c];
        EXPECT_NEAR(row["frequencyHz"].get<double>(), 375.0 * (c + 1), 1.0);
        // About 2 of the 4 analysed seconds had the source.
        EXPECT_GT(row["silentFraction"].get<double>(), 0.3) << row.dump();
        EXPECT_LT(row["silentFraction"].get<double>(), 0.75) << row.dump();
    }
}

// A picture source: every frame arrives, each carrying the next counter.
// SIGINT then ends the source cleanly.
TEST_F(ToolsTest, VideoArrivesAtItsFrameRateWithConsecutiveCounters)
{
    auto source = start(testsrc, {"--source", "camera:2", "--video", "64x36@25/1"}, "testsrc");
    const auto names = publishedNames("testsrc", 1);
    ASSERT_EQ(names.size(), 1u);
    const Finished probed = run(probe, {"--source", names[0], "--seconds", "3", "--json"}, "probe");
    source->kill(SIGINT);
    EXPECT_EQ(finish(*source, "testsrc", 10s).exitCode, 0);

    ASSERT_EQ(probed.exitCode, 0) << probed.output;
    const nlohmann::json video = report(probed)["video"];
    EXPECT_EQ(video["width"], 64);
    EXPECT_EQ(video["height"], 36);
    ASSERT_TRUE(video["fps"].is_number()) << video.dump();
    EXPECT_NEAR(video["fps"].get<double>(), 25.0, 1.5);
    const auto frames = video["frames"].get<int64_t>();
    ASSERT_TRUE(video["firstCounter"].is_number() && video["lastCounter"].is_number()) << video.dump();
    EXPECT_EQ(video["lastCounter"].get<int64_t>() - video["firstCounter"].get<int64_t>(), frames - 1);
    EXPECT_EQ(video["consecutiveCounters"].get<int64_t>(), frames - 1);
}

TEST_F(ToolsTest, BadArgumentsAndAbsentSourcesExitWith2)
{
    const std::vector<std::vector<std::string>> badSourceArgs = {
        {},
        {"--source"},
        {"--source", "nameonly"},
        {"--source", ":2"},
        {"--source", "x:0"},
        {"--source", "x:100000"},
        {"--source", "x:two"},
        {"--source", "x:2:1"},
        {"--source", "x:2:48000:"},
        {"--source", "x:2", "--source", "x:4"},
        {"--source", "x:2", "--video", "64x36"},
        {"--source", "x:2", "--video", "63x36@25/1"},
        {"--source", "x:2", "--video", "64x36@0/1"},
        {"--source", "x:2", "--seconds", "-1"},
        {"--source", "x:2", "--seconds", "nan"},
        {"--source", "x:2", "--loud"},
    };
    for (size_t i = 0; i < badSourceArgs.size(); ++i) {
        const Finished f = run(testsrc, badSourceArgs[i], "testsrc" + std::to_string(i));
        EXPECT_EQ(f.exitCode, 2) << "testsrc case " << i << ": " << f.output;
        EXPECT_NE(f.output.find("usage: kestrix-testsrc"), std::string::npos) << f.output;
    }

    const std::vector<std::vector<std::string>> badProbeArgs = {
        {},
        {"--list", "--source", "x"},
        {"--source"},
        {"--source", ""},
        {"--source", "x", "--seconds", "abc"},
        {"--source", "x", "--seconds", "0.2"},
        {"--source", "x", "--wait", "-1"},
        {"--list", "--seconds", "1"},
        {"--list=yes"},
        {"--list", "--frobnicate"},
    };
    for (size_t i = 0; i < badProbeArgs.size(); ++i) {
        const Finished f = run(probe, badProbeArgs[i], "probe" + std::to_string(i));
        EXPECT_EQ(f.exitCode, 2) << "probe case " << i << ": " << f.output;
        EXPECT_NE(f.output.find("usage: kestrix-probe"), std::string::npos) << f.output;
    }

    const Finished absent = run(probe, {"--source", host + " (nobody)", "--wait", "0.5"}, "absent");
    EXPECT_EQ(absent.exitCode, 2);
    EXPECT_NE(absent.output.find("no source named '" + host + " (nobody)'"), std::string::npos) << absent.output;

    for (const std::string& program : {testsrc, probe}) {
        const Finished help = run(program, {"--help"}, "help");
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.output.find("usage: kestrix-"), std::string::npos) << help.output;
    }
}

} // namespace
