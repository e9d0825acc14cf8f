// kestrix-testsrc and kestrix-probe as a user runs them: separate processes
// that meet over the loopback runtime in a discovery folder of the test's own.

#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string testsrc = KESTRIX_TESTSRC, probe = KESTRIX_PROBE, host = "TOOLHOST";

class ToolsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(folder.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(folder); }

    // Standard output and error together, of the tool started under `name`.
    std::string output(const std::string& name) const { return slurp(folder + "/" + name + ".out"); }

    std::unique_ptr<ChildProcess> start(
        const std::string& program, const std::vector<std::string>& args, const std::string& name)
    {
        const std::vector<std::string> environment{"KESTRIX_LOOPBACK_DIR=" + folder,
            "KESTRIX_NDI_RUNTIME=" KESTRIX_LOOPBACK_RUNTIME, "KESTRIX_LOOPBACK_HOSTNAME=" + host};
        auto child = std::make_unique<ChildProcess>(program, args, environment, folder + "/" + name + ".out");
        EXPECT_TRUE(child->started()) << program;
        return child;
    }

    // The exit code, once it ended by itself within `timeout` (killed, and a failure, otherwise).
    int finish(ChildProcess& child, const std::string& name, std::chrono::seconds timeout = 30s)
    {
        int exitCode = -1;
        if (child.waitFor(timeout, exitCode))
            return exitCode;
        ADD_FAILURE() << name << " did not end within " << timeout.count() << " s";
        child.kill(SIGKILL);
        return child.wait();
    }

    int run(const std::string& program, const std::vector<std::string>& args, const std::string& name)
    {
        return finish(*start(program, args, name), name);
    }

    // The names a testsrc published, from its first lines ("name<TAB>format").
    std::vector<std::string> publishedNames(const std::string& name, size_t count)
    {
        std::vector<std::string> names;
        for (const auto giveUp = std::chrono::steady_clock::now() + 15s;
             names.size() < count && std::chrono::steady_clock::now() < giveUp; std::this_thread::sleep_for(20ms)) {
            std::istringstream lines(output(name));
            names.clear();
            for (std::string line; std::getline(lines, line);)
                if (const auto tab = line.find('\t'); tab != std::string::npos)
                    names.push_back(line.substr(0, tab));
        }
        EXPECT_GE(names.size(), count) << name << " published too few sources: " << output(name);
        names.resize(count);
        return names;
    }

    // The probe's JSON report: from the first line that opens an object to
    // the end, since the runtime's log lines share the output.
    nlohmann::json report(const std::string& name) const
    {
        const std::string text = "\n" + output(name);
        const size_t begin = text.find("\n{");
        EXPECT_NE(begin, std::string::npos) << "no JSON report in: " << text;
        return begin == std::string::npos ? nlohmann::json::object()
                                          : nlohmann::json::parse(text.substr(begin), nullptr, false);
    }

    std::string folder = (std::filesystem::temp_directory_path() / "kestrix-tools-XXXXXX").string();
};

// Both sources in one testsrc process, each probed by a probe process of its
// own while the other runs: 48 kHz as it is, 44.1 kHz through the frame-sync's
// resampler. A name with ':' in it checks that the numbers are read from the right.
TEST_F(ToolsTest, TonesArriveAtTheirFrequenciesLevelsAndRatesFromSourcesAt48And44k1)
{
    auto source = start(testsrc, {"--source", "tones:4", "--source", "desk:A:4:44100"}, "src");
    const auto names = publishedNames("src", 2);
    ASSERT_EQ(names, (std::vector<std::string>{host + " (tones)", host + " (desk:A)"}));

    EXPECT_EQ(run(probe, {"--list", "--wait", "1"}, "list"), 0);
    for (const std::string& name : names) // one whole line each
        EXPECT_NE(("\n" + output("list")).find("\n" + name + "\n"), std::string::npos)
            << name << ": " << output("list");

    auto at48 = start(probe, {"--source", names[0], "--seconds", "3", "--json"}, "probe48000");
    auto at44 = start(probe, {"--source", names[1], "--seconds", "3", "--json"}, "probe44100");
    EXPECT_EQ(finish(*at48, "probe48000"), 0) << output("probe48000");
    EXPECT_EQ(finish(*at44, "probe44100"), 0) << output("probe44100");
    source->kill(SIGTERM);
    EXPECT_EQ(finish(*source, "src", 10s), 0) << "a clean stop";

    for (const int rate : {48000, 44100}) {
        SCOPED_TRACE(rate);
        const nlohmann::json r = report("probe" + std::to_string(rate));
        ASSERT_EQ(r["channels"].size(), 4u) << r.dump();
        for (int c = 0; c < 4; ++c) {
            const auto& row = r["channels"][c];
            EXPECT_EQ(row["channel"], c);
            EXPECT_NEAR(row["frequencyHz"].get<double>(), 375.0 * (c + 1), 1.0);
            EXPECT_NEAR(row["levelDbfs"].get<double>(), -20.0, 0.2);
            EXPECT_LT(row["silentFraction"].get<double>(), 0.02);
        }
        EXPECT_EQ(r["audio"]["stampedSampleRate"], rate);
        EXPECT_NEAR(r["audio"]["measuredSampleRate"].get<double>(), rate, rate * 0.01);
        EXPECT_EQ(r["video"]["frames"], 0);
    }
}

// A picture source: every frame arrives, each carrying the next counter. SIGINT then ends the source cleanly.
TEST_F(ToolsTest, VideoArrivesAtItsFrameRateWithConsecutiveCounters)
{
    auto source = start(testsrc, {"--source", "camera:2", "--video", "64x36@25/1"}, "src");
    EXPECT_EQ(run(probe, {"--source", publishedNames("src", 1)[0], "--seconds", "3", "--json"}, "probe"), 0);
    source->kill(SIGINT);
    EXPECT_EQ(finish(*source, "src", 10s), 0) << "a clean stop";

    const nlohmann::json video = report("probe")["video"];
    EXPECT_EQ(video["width"], 64);
    EXPECT_EQ(video["height"], 36);
    EXPECT_NEAR(video["fps"].get<double>(), 25.0, 1.5);
    const auto frames = video["frames"].get<int64_t>();
    EXPECT_EQ(video["lastCounter"].get<int64_t>() - video["firstCounter"].get<int64_t>(), frames - 1);
    EXPECT_EQ(video["consecutiveCounters"].get<int64_t>(), frames - 1);
}

TEST_F(ToolsTest, BadArgumentsAndAbsentSourcesExitWith2AndAnEndedRunWith0)
{
    // One case per kind of mistake.
    const std::vector<std::vector<std::string>> badSourceArgs = {{"--source"}, {"--source", "x:2", "--seconds", "nan"},
        {"--source", "x:0"}, {"--source", "x:2", "--video", "63x36@25/1"}, {"--source", "x:2", "--loud"},
        {"--source", "x:2", "--source", "x:4"}};
    const std::vector<std::vector<std::string>> badProbeArgs = {
        {"--source"}, {"--source", "x", "--seconds", "abc"}, {"--list", "--frobnicate"}, {"--list", "--source", "x"}};
    for (const auto& [program, cases] : {std::pair{testsrc, badSourceArgs}, std::pair{probe, badProbeArgs}}) {
        const std::string usage = "usage: " + std::filesystem::path(program).filename().string();
        for (size_t i = 0; i < cases.size(); ++i) {
            const std::string name = "bad" + std::to_string(i);
            EXPECT_EQ(run(program, cases[i], name), 2) << program << " case " << i << ": " << output(name);
            EXPECT_NE(output(name).find(usage), std::string::npos) << output(name);
        }
        EXPECT_EQ(run(program, {"--help"}, "help"), 0);
        EXPECT_NE(output("help").find(usage), std::string::npos) << output("help");
    }

    EXPECT_EQ(run(testsrc, {"--source", "brief:2", "--seconds", "0.5"}, "brief"), 0) << "it ends by itself, cleanly";
    EXPECT_EQ(run(probe, {"--source", host + " (nobody)", "--wait", "0.5"}, "absent"), 2);
    EXPECT_NE(output("absent").find("no source named '" + host + " (nobody)'"), std::string::npos) << output("absent");
}

} // namespace
