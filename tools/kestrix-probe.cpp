// kestrix-probe: lists NDI sources, or receives one for a few seconds and
// reports what arrived, per channel and for the stream, as text or JSON.

#include "ndi/NdiLibrary.h"
#include "tools/BlockSchedule.h"
#include "tools/NumberParsing.h"
#include "tools/SourceDirectory.h"
#include "tools/StopRequest.h"
#include "tools/TestPattern.h"
#include "tools/ToneAnalysis.h"
#include "tools/ToolStartup.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int pullRate = 48000;
constexpr int pullBlock = 512;
constexpr double settleSeconds = 0.5;
constexpr float silenceThreshold = 1e-6f;

const char* const usageText =
    R"(usage: kestrix-probe --list [--wait S] [--json]
       kestrix-probe --source NAME [--seconds S] [--wait S] [--json]

--list     waits S seconds (default 2) for discovery, then prints the source
           names found, one per line (with --json: one JSON array).
--source   waits up to S seconds (--wait, default 5) for NAME to appear, then
           receives it for --seconds S (default 3, more than 0.5) in two ways:
           a frame-sync pulled at 48000 Hz in 512-sample blocks on an absolute
           schedule, and a raw receiver that counts what the source sends.
           The first 0.5 s are start-up and left out of every figure.

Per channel (0-based): the dominant frequency (Hann-windowed FFT over the
first 5.5 s of the window, peak interpolated); the RMS level in dBFS on NDI's
scale (float 10.0 = 0 dBFS; AES17, so a sine of peak 1.0 reads -20.0); the
fraction of blocks that were silent (every |sample| < 1e-6). For the stream:
the raw audio samples per second between the first and the last raw audio
frame of the window, timed by the frames' send timestamps (by their arrival
when they have none); the rate stamped on the frames; the video frames
received and their number per second of the window; and the frame counters
that kestrix-testsrc writes into line 0.

JSON keys (--source): "source", "seconds" (the analysed window),
"channels": [{"channel", "frequencyHz", "levelDbfs", "silentFraction"}],
"audio": {"channelCount", "measuredSampleRate", "stampedSampleRate",
"rawFrames"}, "video": {"frames", "fps", "width", "height", "firstCounter",
"lastCounter", "consecutiveCounters"}. A figure that could not be measured is
null; "consecutiveCounters" counts frames whose counter is the previous + 1.

Exit status: 0 when done, 2 for bad arguments or a source not found,
1 when the NDI runtime cannot receive.
)";

enum class Mode { none, list, source };

struct Options {
    Mode mode = Mode::none;
    std::string sourceName;
    double seconds = 3.0;
    std::optional<double> wait;
    bool json = false;
};

std::optional<Options> parseArguments(int argc, char** argv, std::string& error)
{
    Options options;
    bool secondsGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::optional<std::string> value;
        if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
        }
        const bool takesValue = option == "--source" || option == "--seconds" || option == "--wait";
        if (option == "--help" || option == "-h") {
            error.clear();
            return std::nullopt;
        }
        if (!takesValue && option != "--list" && option != "--json") {
            error = "unknown option '" + option + "'";
            return std::nullopt;
        }
        if (!takesValue && value) {
            error = option + " takes no value";
            return std::nullopt;
        }
        if (takesValue && !value) {
            if (i + 1 >= argc) {
                error = option + " needs a value";
                return std::nullopt;
            }
            value = argv[++i];
        }

        if (option == "--list" || option == "--source") {
            if (options.mode != Mode::none) {
                error = "give one of --list and --source, once";
                return std::nullopt;
            }
            options.mode = option == "--list" ? Mode::list : Mode::source;
            if (options.mode == Mode::source) {
                options.sourceName = *value;
                if (options.sourceName.empty()) {
                    error = "--source needs a name";
                    return std::nullopt;
                }
            }
        } else if (option == "--json") {
            options.json = true;
        } else if (option == "--seconds") {
            const auto seconds = parseSeconds(*value, settleSeconds + 0.05, 86400.0);
            if (!seconds) {
                error = "--seconds needs a number of seconds above 0.5, got '" + *value + "'";
                return std::nullopt;
            }
            options.seconds = *seconds;
            secondsGiven = true;
        } else {
            options.wait = parseSeconds(*value, 0.0, 86400.0);
            if (!options.wait) {
                error = "--wait needs a number of seconds, got '" + *value + "'";
                return std::nullopt;
            }
        }
    }
    if (options.mode == Mode::none) {
        error = "give --list or --source NAME";
        return std::nullopt;
    }
    if (options.mode == Mode::list && secondsGiven) {
        error = "--seconds applies to --source only";
        return std::nullopt;
    }
    return options;
}

Clock::time_point after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// JSON text never fails on names from the network: bytes that are not UTF-8
// are replaced rather than thrown on.
void printJson(const nlohmann::json& document)
{
    const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

int listSources(const Options& options)
{
    SourceDirectory directory;
    const auto names = directory.namesAt(after(options.wait.value_or(2.0)));
    if (options.json) {
        printJson(names);
    } else {
        for (const std::string& name : names) {
            std::fwrite(name.data(), 1, name.size(), stdout);
            std::fputc('\n', stdout);
        }
    }
    return 0;
}

// What the raw receiver saw inside the analysed window. Written by the raw
// thread only; read by the main thread after joining it.
struct RawCounts {
    int64_t audioSamples = 0; // after the first frame of the window
    int64_t audioFrames = 0;
    // Where the first and the last frame of the window were sent (the
    // frames' timestamps, in seconds) and where they arrived here.
    double firstSent = 0.0, lastSent = 0.0;
    bool allStamped = true;
    Clock::time_point firstArrival, lastArrival;
    int stampedRate = 0;
    int64_t videoFrames = 0;
    int width = 0;
    int height = 0;
    std::optional<uint64_t> firstCounter;
    std::optional<uint64_t> lastCounter;
    int64_t consecutiveCounters = 0;

    // Samples per second between the first and the last frame, so where the
    // window's edges fall between frames does not matter. Send times are
    // free of the transport's jitter; arrival times stand in for a sender
    // that gives none.
    std::optional<double> measuredRate() const
    {
        const double span =
            allStamped ? lastSent - firstSent : std::chrono::duration<double>(lastArrival - firstArrival).count();
        if (audioFrames < 2 || span <= 0.0)
            return std::nullopt;
        return static_cast<double>(audioSamples) / span;
    }
};

// Raw thread: takes every frame the receiver delivers and counts those that
// arrive between `from` and `until`.
void countRawFrames(NDIlib_recv_instance_t receiver, Clock::time_point from, Clock::time_point until, RawCounts& counts)
{
    while (!stopRequested()) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        const NDIlib_frame_type_e type = ndi().recv_capture_v2(receiver, &video, &audio, nullptr, 50);
        const auto now = Clock::now();
        const bool inWindow = now >= from && now < until;
        if (type == NDIlib_frame_type_audio) {
            if (inWindow) {
                const bool stamped = audio.timestamp != 0 && audio.timestamp != NDIlib_recv_timestamp_undefined;
                const double sent = static_cast<double>(audio.timestamp) * 1e-7; // 100 ns units
                counts.allStamped = counts.allStamped && stamped;
                if (counts.audioFrames++ == 0) {
                    counts.firstSent = sent;
                    counts.firstArrival = now;
                } else {
                    counts.audioSamples += audio.no_samples;
                }
                counts.lastSent = sent;
                counts.lastArrival = now;
                counts.stampedRate = audio.sample_rate;
            }
            ndi().recv_free_audio_v2(receiver, &audio);
        } else if (type == NDIlib_frame_type_video) {
            if (inWindow) {
                ++counts.videoFrames;
                counts.width = video.xres;
                counts.height = video.yres;
                if (uint64_t counter = 0; TestPattern::readCounter(video, counter)) {
                    if (counts.lastCounter && counter == *counts.lastCounter + 1)
                        ++counts.consecutiveCounters;
                    if (!counts.firstCounter)
                        counts.firstCounter = counter;
                    counts.lastCounter = counter;
                }
            }
            ndi().recv_free_video_v2(receiver, &video);
        }
        if (now >= until)
            break;
    }
}

// Frame-sync blocks after start-up, per channel. The level and the silence
// cover the whole window; the frequency is taken from its first seconds,
// which keeps the memory small on long runs.
struct PulledAudio {
    static constexpr size_t keptSamples = size_t{1} << 18; // about 5.5 s at 48 kHz

    struct Channel {
        std::vector<float> samples;
        double sumOfSquares = 0.0;
        int64_t silentBlocks = 0;
    };
    int64_t blocks = 0;
    std::vector<Channel> channels;

    void add(const NDIlib_audio_frame_v2_t& frame)
    {
        const int received = frame.p_data != nullptr && frame.no_samples == pullBlock ? frame.no_channels : 0;
        while (channels.size() < static_cast<size_t>(received)) {
            // A channel that appears late was silent in every earlier block.
            Channel late;
            late.samples.resize(std::min(keptSamples, static_cast<size_t>(blocks) * pullBlock), 0.0f);
            late.silentBlocks = blocks;
            channels.push_back(std::move(late));
        }
        for (size_t c = 0; c < channels.size(); ++c) {
            Channel& channel = channels[c];
            const size_t room = keptSamples - std::min(keptSamples, channel.samples.size());
            if (static_cast<int>(c) >= received) {
                channel.samples.resize(channel.samples.size() + std::min<size_t>(room, pullBlock), 0.0f);
                ++channel.silentBlocks;
                continue;
            }
            const auto* data = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(frame.p_data) +
                c * static_cast<size_t>(frame.channel_stride_in_bytes));
            channel.samples.insert(channel.samples.end(), data, data + std::min<size_t>(room, pullBlock));
            float loudest = 0.0f;
            for (int i = 0; i < pullBlock; ++i) {
                loudest = std::max(loudest, std::fabs(data[i]));
                channel.sumOfSquares += static_cast<double>(data[i]) * data[i];
            }
            if (loudest < silenceThreshold)
                ++channel.silentBlocks;
        }
        ++blocks;
    }
};

nlohmann::json optionalNumber(const std::optional<double>& value)
{
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

int probeSource(const Options& options)
{
    SourceDirectory directory;
    const double wait = options.wait.value_or(5.0);
    if (!directory.waitFor({options.sourceName}, after(wait))) {
        std::fprintf(stderr, "kestrix-probe: no source named '");
        std::fwrite(options.sourceName.data(), 1, options.sourceName.size(), stderr);
        std::fprintf(stderr, "' appeared within %g s\n", wait);
        return 2;
    }

    NDIlib_recv_create_v3_t pullSettings;
    pullSettings.source_to_connect_to = directory.source(options.sourceName);
    pullSettings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    pullSettings.p_ndi_recv_name = "kestrix-probe frame-sync";
    NDIlib_recv_create_v3_t rawSettings;
    rawSettings.source_to_connect_to = directory.source(options.sourceName);
    rawSettings.color_format = NDIlib_recv_color_format_UYVY_BGRA;
    rawSettings.p_ndi_recv_name = "kestrix-probe raw";

    NDIlib_recv_instance_t pullReceiver = ndi().recv_create_v4(&pullSettings, nullptr);
    NDIlib_recv_instance_t rawReceiver = ndi().recv_create_v4(&rawSettings, nullptr);
    NDIlib_framesync_instance_t frameSync = pullReceiver != nullptr ? ndi().framesync_create(pullReceiver) : nullptr;
    if (frameSync == nullptr || rawReceiver == nullptr) {
        std::fprintf(stderr, "kestrix-probe: the NDI runtime could not create a receiver\n");
        if (frameSync != nullptr)
            ndi().framesync_destroy(frameSync);
        for (NDIlib_recv_instance_t r : {pullReceiver, rawReceiver})
            if (r != nullptr)
                ndi().recv_destroy(r);
        return 1;
    }

    const auto totalBlocks = static_cast<int64_t>(std::llround(options.seconds * pullRate / pullBlock));
    const auto settleBlocks = static_cast<int64_t>(std::ceil(settleSeconds * pullRate / pullBlock));

    BlockSchedule schedule(pullBlock, pullRate);
    const auto start = Clock::now();
    const auto blockTime = [](int64_t blocks) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::nanoseconds(blocks * pullBlock * 1'000'000'000LL / pullRate));
    };
    RawCounts raw;
    std::thread rawThread(
        countRawFrames, rawReceiver, start + blockTime(settleBlocks), start + blockTime(totalBlocks), std::ref(raw));

    PulledAudio pulled;
    int64_t block = 0;
    for (; block < totalBlocks && !stopRequested(); ++block) {
        NDIlib_audio_frame_v2_t frame;
        ndi().framesync_capture_audio(frameSync, &frame, pullRate, 0, pullBlock);
        if (block >= settleBlocks)
            pulled.add(frame);
        ndi().framesync_free_audio(frameSync, &frame);
        schedule.waitNext();
    }
    rawThread.join();
    ndi().framesync_destroy(frameSync);
    ndi().recv_destroy(pullReceiver);
    ndi().recv_destroy(rawReceiver);

    const double window = static_cast<double>(std::max<int64_t>(block - settleBlocks, 0)) * pullBlock / pullRate;
    // A stop signal during start-up leaves no window to divide by.
    const std::optional<double> measuredRate = raw.measuredRate();
    const double fps = window > 0.0 ? static_cast<double>(raw.videoFrames) / window : 0.0;
    const auto perWindow = [&](double value) { return window > 0.0 ? nlohmann::json(value) : nlohmann::json(nullptr); };

    nlohmann::json channels = nlohmann::json::array();
    for (size_t c = 0; c < pulled.channels.size(); ++c) {
        const PulledAudio::Channel& channel = pulled.channels[c];
        channels.push_back({{"channel", c},
            {"frequencyHz", optionalNumber(dominantFrequency(channel.samples, pullRate))},
            {"levelDbfs", optionalNumber(rmsLevelDbfs(channel.sumOfSquares, pulled.blocks * pullBlock))},
            {"silentFraction",
                static_cast<double>(channel.silentBlocks) / static_cast<double>(std::max<int64_t>(pulled.blocks, 1))}});
    }
    const auto optionalCounter = [](const std::optional<uint64_t>& v) {
        return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
    };
    nlohmann::json report = {
        {"source", options.sourceName},
        {"seconds", window},
        {"channels", channels},
        {"audio",
            {{"channelCount", pulled.channels.size()}, {"measuredSampleRate", optionalNumber(measuredRate)},
                {"stampedSampleRate", raw.stampedRate > 0 ? nlohmann::json(raw.stampedRate) : nlohmann::json(nullptr)},
                {"rawFrames", raw.audioFrames}}},
        {"video",
            {{"frames", raw.videoFrames}, {"fps", perWindow(fps)}, {"width", raw.width}, {"height", raw.height},
                {"firstCounter", optionalCounter(raw.firstCounter)}, {"lastCounter", optionalCounter(raw.lastCounter)},
                {"consecutiveCounters", raw.consecutiveCounters}}},
    };
    if (options.json) {
        printJson(report);
        return 0;
    }

    std::fputs("source: ", stdout);
    std::fwrite(options.sourceName.data(), 1, options.sourceName.size(), stdout);
    std::printf("\nanalysed: %.3f s after %.1f s of start-up\n", window, settleSeconds);
    for (size_t c = 0; c < pulled.channels.size(); ++c) {
        const auto& row = channels[c];
        std::printf("channel %zu: ", c);
        if (row["frequencyHz"].is_number())
            std::printf("%.2f Hz, ", row["frequencyHz"].get<double>());
        else
            std::printf("no tone, ");
        if (row["levelDbfs"].is_number())
            std::printf("%.2f dBFS", row["levelDbfs"].get<double>());
        else
            std::printf("silent");
        std::printf(", silent blocks %.1f %%\n", 100.0 * row["silentFraction"].get<double>());
    }
    const nlohmann::json& audio = report["audio"];
    std::printf("audio: %zu channel%s, measured ", pulled.channels.size(), pulled.channels.size() == 1 ? "" : "s");
    if (audio["measuredSampleRate"].is_number())
        std::printf("%.1f Hz", audio["measuredSampleRate"].get<double>());
    else
        std::printf("nothing");
    if (raw.stampedRate > 0)
        std::printf(", stamped %d Hz\n", raw.stampedRate);
    else
        std::printf(", stamped none\n");
    std::printf("video: %lld frames, %.2f fps", static_cast<long long>(raw.videoFrames), fps);
    if (raw.videoFrames > 0)
        std::printf(", %dx%d", raw.width, raw.height);
    if (raw.firstCounter)
        std::printf(", counters %llu..%llu (%lld consecutive)", static_cast<unsigned long long>(*raw.firstCounter),
            static_cast<unsigned long long>(*raw.lastCounter), static_cast<long long>(raw.consecutiveCounters));
    std::printf("\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string error;
    const auto options = parseArguments(argc, argv, error);
    if (!options)
        return explainArguments("kestrix-probe", error, usageText);
    prepareToolProcess();
    return options->mode == Mode::list ? listSources(*options) : probeSource(*options);
}
