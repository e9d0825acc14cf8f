// kestrix-testsrc: publishes NDI test sources that carry known tones (and,
// optionally, a moving picture), so that receivers can be checked by ear, by
// eye, or by kestrix-probe.

#include "ndi/NdiLibrary.h"
#include "tools/BlockSchedule.h"
#include "tools/NumberParsing.h"
#include "tools/StopRequest.h"
#include "tools/TestPattern.h"
#include "tools/ToneSource.h"
#include "tools/ToolStartup.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr int minChannels = 1;
constexpr int maxChannels = 256;
constexpr int minRate = 8000;
constexpr int maxRate = 192000;

const char* const usageText =
    R"(usage: kestrix-testsrc --source NAME:CHANNELS[:RATE] [--source ...]
                       [--video WxH@NUM/DEN] [--seconds S]

Publishes each source as an NDI sender until SIGINT/SIGTERM or S seconds.

  --source NAME:CHANNELS[:RATE]
        CHANNELS 1..256, RATE 8000..192000 Hz (default 48000). NAME may
        contain ':'; the numbers are read from the right, so a NAME that
        itself ends in ':<number>' needs RATE written out.
  --video WxH@NUM/DEN
        adds to every source a UYVY picture of W x H (W even, >= 4) at
        NUM/DEN frames per second (1..240): scrolling colour bars with the
        frame number in digits; line 0 starts with the same number as a
        little-endian uint64.
  --seconds S
        stops after S seconds (default: run until a signal).

Channel c (0-based) carries a sine at 375*(c+1) Hz at -20 dBFS. Levels follow
NDI's convention (float 1.0 = -20 dBFS, float 10.0 = 0 dBFS), so the sine's
peak amplitude is 1.0. Tones at or above half the rate alias.

Prints one line per source at start: the published name, a tab, its format.
Exit status: 0 after a clean stop, 1 when a sender cannot be created,
2 for bad arguments.
)";

struct SourceDefinition {
    std::string name;
    int channels = 0;
    int rate = 48000;
};

struct VideoFormat {
    int width = 0;
    int height = 0;
    int rateN = 0;
    int rateD = 0;
};

struct Options {
    std::vector<SourceDefinition> sources;
    std::optional<VideoFormat> video;
    std::optional<double> seconds;
};

bool allDigits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<SourceDefinition> parseSource(std::string_view text, std::string& error)
{
    const auto last = text.rfind(':');
    if (last == std::string_view::npos) {
        error = "--source needs NAME:CHANNELS[:RATE], got '" + std::string(text) + "'";
        return std::nullopt;
    }
    std::string_view head = text.substr(0, last);
    std::string_view channelsText = text.substr(last + 1);
    std::string_view rateText;
    if (const auto before = head.rfind(':');
        before != std::string_view::npos && allDigits(head.substr(before + 1)) && allDigits(channelsText)) {
        rateText = channelsText;
        channelsText = head.substr(before + 1);
        head = head.substr(0, before);
    }

    SourceDefinition definition;
    definition.name = std::string(head);
    if (definition.name.empty()) {
        error = "source name is empty in '" + std::string(text) + "'";
        return std::nullopt;
    }
    const auto channels = parseInteger(channelsText, minChannels, maxChannels);
    if (!channels) {
        error = "channel count '" + std::string(channelsText) + "' is not in " + std::to_string(minChannels) + ".." +
            std::to_string(maxChannels);
        return std::nullopt;
    }
    definition.channels = static_cast<int>(*channels);
    if (!rateText.empty()) {
        const auto rate = parseInteger(rateText, minRate, maxRate);
        if (!rate) {
            error = "sample rate '" + std::string(rateText) + "' is not in " + std::to_string(minRate) + ".." +
                std::to_string(maxRate) + " (a NAME ending in ':<number>' needs RATE written out)";
            return std::nullopt;
        }
        definition.rate = static_cast<int>(*rate);
    }
    return definition;
}

std::optional<VideoFormat> parseVideo(std::string_view text, std::string& error)
{
    error = "--video needs WxH@NUM/DEN with an even W >= 4, H >= 1 and 1..240 frames per second, got '" +
        std::string(text) + "'";
    const auto x = text.find('x');
    const auto at = text.find('@');
    const auto slash = text.find('/');
    if (x == std::string_view::npos || at == std::string_view::npos || slash == std::string_view::npos || x > at ||
        at > slash)
        return std::nullopt;
    const auto width = parseInteger(text.substr(0, x), 4, 7680);
    const auto height = parseInteger(text.substr(x + 1, at - x - 1), 1, 4320);
    const auto rateN = parseInteger(text.substr(at + 1, slash - at - 1), 1, 1'000'000);
    const auto rateD = parseInteger(text.substr(slash + 1), 1, 1'000'000);
    if (!width || !height || !rateN || !rateD || *width % 2 != 0 || *rateN < *rateD || *rateN > 240 * *rateD)
        return std::nullopt;
    error.clear();
    return VideoFormat{
        static_cast<int>(*width), static_cast<int>(*height), static_cast<int>(*rateN), static_cast<int>(*rateD)};
}

// Returns the options, or an error message in `error` (empty with no value
// means --help was asked for).
std::optional<Options> parseArguments(int argc, char** argv, std::string& error)
{
    Options options;
    std::set<std::string> names;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::optional<std::string> value;
        if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
        }
        if (option == "--help" || option == "-h") {
            error.clear();
            return std::nullopt;
        }
        if (option != "--source" && option != "--video" && option != "--seconds") {
            error = "unknown option '" + option + "'";
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= argc) {
                error = option + " needs a value";
                return std::nullopt;
            }
            value = argv[++i];
        }
        if (option == "--source") {
            auto definition = parseSource(*value, error);
            if (!definition)
                return std::nullopt;
            if (!names.insert(definition->name).second) {
                error = "source name '" + definition->name + "' given twice";
                return std::nullopt;
            }
            options.sources.push_back(std::move(*definition));
        } else if (option == "--video") {
            options.video = parseVideo(*value, error);
            if (!options.video)
                return std::nullopt;
        } else {
            options.seconds = parseSeconds(*value, 0.001, 1e9);
            if (!options.seconds) {
                error = "--seconds needs a positive number, got '" + *value + "'";
                return std::nullopt;
            }
        }
    }
    if (options.sources.empty()) {
        error = "at least one --source is needed";
        return std::nullopt;
    }
    return options;
}

struct Sender {
    SourceDefinition definition;
    NDIlib_send_instance_t instance = nullptr;
};

// One thread sends every source's audio so that all sources share one tick.
// The senders are not clocked for audio: this schedule is the clock.
void sendAudio(std::vector<Sender>& senders, const std::atomic<bool>& running)
{
    std::vector<std::unique_ptr<ToneSource>> tones;
    for (const Sender& s : senders)
        tones.push_back(std::make_unique<ToneSource>(s.definition.channels, s.definition.rate));

    BlockSchedule schedule(ToneSource::tickSamples, ToneSource::tickRate);
    while (running.load() && !stopRequested()) {
        for (size_t i = 0; i < senders.size(); ++i)
            ndi().send_send_audio_v2(senders[i].instance, &tones[i]->nextBlock());
        schedule.waitNext();
    }
    if (schedule.restarts() > 0)
        std::fprintf(stderr, "kestrix-testsrc: audio schedule restarted %lld times after stalls\n",
            static_cast<long long>(schedule.restarts()));
}

// Video is clocked by the sender, which holds each send until its frame is due.
void sendVideo(const Sender& sender, const VideoFormat& video, const std::atomic<bool>& running)
{
    TestPattern pattern(video.width, video.height, video.rateN, video.rateD);
    for (uint64_t counter = 0; running.load() && !stopRequested(); ++counter)
        ndi().send_send_video_v2(sender.instance, &pattern.render(counter));
}

} // namespace

int main(int argc, char** argv)
{
    std::string error;
    const auto options = parseArguments(argc, argv, error);
    if (!options)
        return explainArguments("kestrix-testsrc", error, usageText);
    prepareToolProcess();

    std::vector<Sender> senders;
    int status = 0;
    for (const SourceDefinition& definition : options->sources) {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = definition.name.c_str();
        settings.clock_video = true;
        settings.clock_audio = false;
        NDIlib_send_instance_t instance = ndi().send_create_v2(&settings, nullptr);
        if (instance == nullptr) {
            std::fprintf(stderr, "kestrix-testsrc: the NDI runtime could not create a sender named '%s'\n",
                definition.name.c_str());
            status = 1;
            break;
        }
        senders.push_back({definition, instance});
    }

    if (status == 0) {
        for (const Sender& s : senders) {
            const NDIlib_source_t* published = ndi().send_get_source_name(s.instance);
            const std::string name =
                published != nullptr && published->p_ndi_name != nullptr ? published->p_ndi_name : s.definition.name;
            std::string format = std::to_string(s.definition.channels) +
                (s.definition.channels == 1 ? " channel, " : " channels, ") + std::to_string(s.definition.rate) + " Hz";
            if (options->video)
                format += ", " + std::to_string(options->video->width) + "x" + std::to_string(options->video->height) +
                    "@" + std::to_string(options->video->rateN) + "/" + std::to_string(options->video->rateD);
            std::fwrite(name.data(), 1, name.size(), stdout);
            std::fprintf(stdout, "\t%s\n", format.c_str());
            for (int c = 0; c < s.definition.channels; ++c)
                if (ToneSource::toneFrequency(c) * 2.0 >= s.definition.rate) {
                    std::fprintf(stderr,
                        "kestrix-testsrc: '%s': channels from %d on are at or above half the rate and alias\n",
                        s.definition.name.c_str(), c);
                    break;
                }
        }
        std::fflush(stdout);

        std::atomic<bool> running{true};
        std::vector<std::thread> threads;
        threads.emplace_back(sendAudio, std::ref(senders), std::cref(running));
        if (options->video)
            for (const Sender& s : senders)
                threads.emplace_back(sendVideo, std::cref(s), std::cref(*options->video), std::cref(running));

        const auto end = options->seconds ? std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(*options->seconds))
                                          : std::chrono::steady_clock::time_point::max();
        sleepUntilOrStopped(end);
        running.store(false);
        for (std::thread& t : threads)
            t.join();
    }

    for (const Sender& s : senders)
        ndi().send_destroy(s.instance);
    return status;
}
