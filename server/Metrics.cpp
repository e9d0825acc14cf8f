#include "server/Metrics.h"

#include <QtCore/QString>

#include <initializer_list>
#include <utility>

namespace {

using Label = std::pair<const char*, std::string>;

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 6);
}

QByteArray number(uint64_t value)
{
    return QByteArray::number(static_cast<qulonglong>(value));
}

QByteArray number(bool value)
{
    return value ? "1" : "0";
}

// Between the quotes of a label: valid UTF-8, with backslash, double quote and line feed escaped.
QByteArray labelValue(const std::string& value)
{
    // Bytes that are not UTF-8 come out as U+FFFD: a parser may refuse a page that holds them.
    const QByteArray utf8 = QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())).toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    }
    return escaped;
}

// A family's samples stay together, after its HELP and TYPE lines, as the format requires.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help)
    {
        current = name;
        text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }

    template <typename Value> void sample(std::initializer_list<Label> labels, Value value)
    {
        text += current;
        if (labels.size() > 0) {
            text += '{';
            for (const auto& [label, labelText] : labels)
                text += QByteArray(label) + "=\"" + labelValue(labelText) + "\",";
            text.back() = '}';
        }
        text += ' ' + number(value) + '\n';
    }

    // One sample per entry of `entries` (by name) that `value` has a value for.
    template <typename Entries, typename ValueOf> void each(const char* label, const Entries& entries, ValueOf value)
    {
        for (const auto& [name, entry] : entries)
            if (const auto known = value(entry))
                sample({{label, name}}, *known);
    }

    QByteArray text;

private:
    const char* current = "";
};

} // namespace

QByteArray Metrics::exposition(const AudioController::Status& status, const Clients& clients)
{
    using Source = RoutingCore::SourceStatus;
    using Sender = RoutingCore::SenderStatus;
    const RoutingCore::BlockStats& blocks = status.routing.blocks;
    Exposition out;

    out.family("kestrix_build_info", "gauge", "Kestrix's version.");
    out.sample({{"version", KESTRIX_VERSION}}, uint64_t{1});
    out.family("kestrix_ndi_runtime_info", "gauge", "The NDI runtime Kestrix loaded, and its version text.");
    out.sample({{"runtime", status.runtime}, {"version", status.runtimeVersion}}, uint64_t{1});

    out.family("kestrix_engine_block_load_median_ratio", "gauge",
        "Median time of the audio thread's work on a block over the last 10 s, as a share of the block period.");
    out.sample({}, blocks.medianLoad);
    out.family("kestrix_engine_block_load_p99_ratio", "gauge",
        "99th percentile of the audio thread's time on a block over the last 10 s, as a share of the block period.");
    out.sample({}, blocks.p99Load);
    out.family("kestrix_engine_blocks_total", "counter", "Blocks the engine has run.");
    out.sample({}, blocks.blocks);
    out.family("kestrix_engine_late_blocks_total", "counter", "Blocks that took longer than their period.");
    out.sample({}, blocks.lateBlocks);
    out.family("kestrix_engine_clock", "gauge",
        "The clock that drives the engine: 1 for the kind that does (a sound output, or the software clock).");
    out.sample({{"kind", "hardware"}}, status.hardwareClock);
    out.sample({{"kind", "software"}}, !status.hardwareClock);
    out.family("kestrix_engine_clock_stands_in", "gauge",
        "1 while the software clock stands in for a sound output that went away.");
    out.sample({}, status.clockStandsIn);
    out.family("kestrix_engine_thread_realtime", "gauge",
        "1 while the thread runs with a real-time policy (the policy as a label), 0 at ordinary priority.");
    out.sample({{"thread", "clock"}, {"policy", status.clockScheduling.policy}}, status.clockScheduling.realtime);
    out.sample({{"thread", "capture"}, {"policy", status.routing.captureScheduling.policy}},
        status.routing.captureScheduling.realtime);
    out.family("kestrix_engine_capture_dropouts_total", "counter",
        "Source blocks whose capture missed its deadline in the block and were filled in.");
    out.sample({}, blocks.captureDropouts);
    if (const auto& clock = status.softwareClock) {
        out.family("kestrix_engine_clock_wakeup_lateness_median_seconds", "gauge",
            "Median of how late the software clock woke for a tick, over the last 10 s.");
        out.sample({}, clock->medianLateness);
        out.family("kestrix_engine_clock_wakeup_lateness_p99_seconds", "gauge",
            "99th percentile of the software clock's wake-up lateness, over the last 10 s.");
        out.sample({}, clock->p99Lateness);
        out.family("kestrix_engine_clock_wakeup_lateness_max_seconds", "gauge",
            "Longest wake-up lateness of the software clock, over the last 10 s.");
        out.sample({}, clock->maxLateness);
        out.family("kestrix_engine_clock_late_ticks_total", "counter",
            "Software clock ticks that ended past the next tick's deadline.");
        out.sample({}, clock->lateBlocks);
    }
    out.family("kestrix_mapping_file_write_failing", "gauge",
        "1 while writes of the automatic mapping file fail (the routing is not saved; the status says why).");
    out.sample({}, status.mappingFileWriteError.has_value());

    const auto& sources = status.routing.sources;
    out.family("kestrix_source_online", "gauge", "1 while the source is announced on the network.");
    out.each("source", sources, [](const Source& s) { return std::optional(s.online); });
    out.family("kestrix_source_receiving", "gauge", "1 while the source's audio arrives (within the last second).");
    out.each("source", sources, [](const Source& s) { return std::optional(s.receiving); });
    out.family("kestrix_source_channels", "gauge", "The source's audio channels, once they are known.");
    out.each("source", sources, [](const Source& s) {
        return s.channelCount == kNoChannel ? std::nullopt : std::optional(uint64_t{s.channelCount});
    });
    out.family("kestrix_source_sample_rate_hertz", "gauge", "The sample rate the source sends, once it is known.");
    out.each("source", sources, [](const Source& s) {
        return s.sampleRate > 0 ? std::optional(static_cast<uint64_t>(s.sampleRate)) : std::nullopt;
    });
    out.family("kestrix_source_dropouts_total", "counter",
        "Blocks the source's frame-sync had too little audio for and filled in.");
    out.each("source", sources, [](const Source& s) { return std::optional(s.dropouts); });
    out.family("kestrix_source_capture_dropouts_total", "counter",
        "Blocks of the source whose capture missed its deadline and were filled in.");
    out.each("source", sources, [](const Source& s) { return std::optional(s.captureDropouts); });

    const auto& senders = status.routing.senders;
    out.family("kestrix_sender_channels", "gauge", "The sender's audio channels.");
    out.each("sender", senders, [](const Sender& s) { return std::optional(uint64_t{s.channels}); });
    out.family("kestrix_sender_connections", "gauge", "Receivers connected to the sender.");
    out.each("sender", senders,
        [](const Sender& s) { return std::optional(static_cast<uint64_t>(std::max(s.connections, 0))); });
    out.family("kestrix_sender_audio_blocks_sent_total", "counter", "Audio blocks the sender has sent.");
    out.each("sender", senders, [](const Sender& s) { return std::optional(s.audioBlocksSent); });
    out.family("kestrix_sender_video_frames_sent_total", "counter", "Video frames the sender has sent.");
    out.each("sender", senders, [](const Sender& s) { return std::optional(s.videoFramesSent); });
    out.family("kestrix_sender_video_live", "gauge", "1 while the sender's pictures go out (within the last second).");
    out.each("sender", senders, [](const Sender& s) { return std::optional(s.videoLive); });

    out.family("kestrix_pages_connected", "gauge", "Routing pages open in browsers, on the web channel.");
    out.sample({}, static_cast<uint64_t>(std::max(clients.pages, 0)));
    out.family("kestrix_api_clients_connected", "gauge", "Programs holding the API's event stream open.");
    out.sample({}, static_cast<uint64_t>(std::max(clients.eventStreams, 0)));
    return out.text;
}
