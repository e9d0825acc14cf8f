#include "engine/MappingFile.h"

#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QSaveFile>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <unistd.h>
#endif

using nlohmann::json;

namespace MappingFile {

namespace {

QString qPath(const std::string& path)
{
    return QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size()));
}

// The router has always worked inside the mapping file's folder.
bool enterFolder(const std::string& path, std::string& error)
{
    const QString folder = QFileInfo(qPath(path)).absolutePath();
    if (!QDir().mkpath(folder)) {
        error = "Cannot create path " + folder.toStdString();
        return false;
    }
    if (!QDir::setCurrent(folder)) {
        error = "Cannot change current path to " + folder.toStdString();
        return false;
    }
    return true;
}

bool syncFile(QFileDevice& file, std::string& error)
{
#if defined(Q_OS_UNIX)
    if (::fdatasync(file.handle()) != 0) {
        error = std::strerror(errno);
        return false;
    }
#else
    (void)file; // the commit flushes the file's buffers
    (void)error;
#endif
    return true;
}

// The rename that replaced the file lasts through a power cut only once its folder is on the disk too.
void syncFolder(const std::string& path)
{
#if defined(Q_OS_UNIX)
    const QByteArray folder = QFile::encodeName(QFileInfo(qPath(path)).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    (void)path; // Windows has no handle on a folder to sync
#endif
}

const json& member(const json& object, const char* key, json::value_t type, const std::string& where)
{
    const auto it = object.find(key);
    if (it == object.end())
        throw std::runtime_error(where + " has no \"" + key + "\"");
    const bool matches = type == json::value_t::number_integer ? it->is_number() : it->type() == type;
    if (!matches)
        throw std::runtime_error(where + ": \"" + key + "\" is " + it->type_name());
    return *it;
}

std::string quotedName(const std::string& name)
{
    return json(name).dump(-1, ' ', false, json::error_handler_t::replace);
}

// Any JSON number where a whole one is read: 250.0 is 250, and anything
// after the point is dropped, as the router always read it (with a note).
double wholeNumber(const json& value, const std::string& where, std::vector<std::string>& notes)
{
    const double number = value.get<double>();
    if (!std::isfinite(number))
        return number;
    const double whole = std::trunc(number) + 0.0; // never -0
    if (whole != number) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", whole);
        notes.push_back(where + ": " + value.dump() + " is read as " + text);
    }
    return whole;
}

// What the reader keeps of one sender, or nothing when the sender is left out (with a note).
std::optional<StoredSender> readSender(const json& s, size_t index, std::vector<std::string>& notes)
{
    std::string where = "sender " + std::to_string(index + 1);
    if (!s.is_object())
        throw std::runtime_error(where + " is " + s.type_name() + ", not an object");
    StoredSender sender;
    sender.name = member(s, "senderName", json::value_t::string, where).get<std::string>();
    const json& channels = member(s, "senderChannelMappings", json::value_t::array, where);
    if (const auto video = s.find("videoSource"); video != s.end()) {
        if (!video->is_string())
            throw std::runtime_error(where + ": \"videoSource\" is " + video->type_name());
        sender.videoSource = video->get<std::string>();
    }
    // The layout is read whole before any value is judged: a file that is not the layout is refused whole.
    std::vector<std::pair<std::string, const json*>> stored;
    for (size_t c = 0; c < channels.size(); ++c) {
        const std::string channelWhere = where + " channel " + std::to_string(c + 1);
        if (!channels[c].is_object())
            throw std::runtime_error(channelWhere + " is " + channels[c].type_name() + ", not an object");
        stored.emplace_back(member(channels[c], "sourceName", json::value_t::string, channelWhere).get<std::string>(),
            &member(channels[c], "sourceChannel", json::value_t::number_integer, channelWhere));
    }

    if (auto refused = RoutingRules::checkStoredName(sender.name)) {
        notes.push_back(where + " " + quotedName(sender.name) + ": " + *refused + "; the sender is left out");
        return std::nullopt;
    }
    where += " " + quotedName(sender.name);
    if (auto refused = RoutingRules::checkChannelCount(static_cast<double>(stored.size()))) {
        notes.push_back(where + " has " + std::to_string(stored.size()) + " channels - " + *refused + "; channels " +
            std::to_string(RoutingRules::kMaxSenderChannels + 1) + " to " + std::to_string(stored.size()) +
            " are left out");
        stored.resize(RoutingRules::kMaxSenderChannels);
    }
    for (size_t c = 0; c < stored.size(); ++c) {
        const std::string channelWhere = where + " channel " + std::to_string(c + 1);
        const auto& [source, number] = stored[c];
        // Counted from 1 in the file; 0 is no channel, and then the name means nothing.
        const double channel = wholeNumber(*number, channelWhere + " \"sourceChannel\"", notes);
        RoutingRules::Verdict refused = RoutingRules::checkStoredSourceChannel(channel);
        if (refused)
            refused = number->dump() + " - " + *refused;
        else if (channel != 0 && (refused = RoutingRules::checkStoredName(source)))
            refused = "source " + quotedName(source) + " - " + *refused;
        if (refused)
            notes.push_back(channelWhere + ": " + *refused + "; the channel is left unconnected");
        sender.mappings.push_back(
            refused || channel == 0 ? ChannelMapping{} : ChannelMapping{static_cast<uint32_t>(channel - 1), source});
    }
    if (!sender.videoSource.empty())
        if (auto refused = RoutingRules::checkStoredName(sender.videoSource)) {
            notes.push_back(where + ": video source " + quotedName(sender.videoSource) + " - " + *refused +
                "; the sender carries no video");
            sender.videoSource.clear();
        }
    return sender;
}

// A delay, or nothing when it is left out (with a note); a delay beyond the bounds is held to them.
std::optional<std::pair<std::string, int32_t>> readDelay(const json& d, size_t index, std::vector<std::string>& notes)
{
    std::string where = "delay " + std::to_string(index + 1);
    if (!d.is_object())
        throw std::runtime_error(where + " is " + d.type_name() + ", not an object");
    const std::string name = member(d, "senderName", json::value_t::string, where).get<std::string>();
    const json& value = member(d, "delay", json::value_t::number_integer, where);
    if (auto refused = RoutingRules::checkStoredName(name)) {
        notes.push_back(where + " " + quotedName(name) + ": " + *refused + "; the delay is left out");
        return std::nullopt;
    }
    where += " of " + quotedName(name);
    const double ms = wholeNumber(value, where, notes);
    if (auto refused = RoutingRules::checkDelay(ms)) {
        const int32_t bound = std::signbit(ms) ? -RoutingRules::kMaxDelayMs : RoutingRules::kMaxDelayMs;
        notes.push_back(where + ": " + value.dump() + " - " + *refused + "; " + std::to_string(bound) + " is used");
        return std::pair{name, bound};
    }
    return std::pair{name, static_cast<int32_t>(ms)};
}

// Reads every entry of `entries` (none when null) into `into`; of two entries
// for one sender the first counts, as the router holds one of each.
template <typename Entry, typename Read, typename NameOf>
void readEach(const json* entries, const char* kind, const char* repeats, Read read, NameOf nameOf,
    std::vector<Entry>& into, std::vector<std::string>& notes)
{
    std::map<std::string, size_t> named; // sender name -> its entry's number
    for (size_t i = 0; entries != nullptr && i < entries->size(); ++i) {
        std::optional<Entry> entry = read((*entries)[i], i, notes);
        if (!entry)
            continue;
        if (const auto [first, added] = named.emplace(nameOf(*entry), i + 1); added)
            into.push_back(std::move(*entry));
        else
            notes.push_back(std::string(kind) + " " + std::to_string(i + 1) + " " + repeats + " " +
                std::to_string(first->second) + ", " + quotedName(first->first) + "; it is left out");
    }
}

} // namespace

int32_t toMilliseconds(double seconds)
{
    return static_cast<int32_t>(std::lround(seconds * 1000.0));
}

RoutingRules::Verdict check(const StoredRouting& routing)
{
    std::map<std::string_view, size_t> senders; // name -> sender number
    for (size_t i = 0; i < routing.senders.size(); ++i) {
        const StoredSender& s = routing.senders[i];
        const std::string where = "sender " + std::to_string(i + 1);
        if (auto refused = RoutingRules::checkStoredName(s.name))
            return where + " " + quotedName(s.name) + ": " + *refused;
        if (const auto [it, added] = senders.emplace(s.name, i + 1); !added)
            return where + " has the name of sender " + std::to_string(it->second) + ", " + quotedName(s.name);
        if (auto refused = RoutingRules::checkChannelCount(static_cast<double>(s.mappings.size())))
            return where + " has " + std::to_string(s.mappings.size()) + " channels - " + *refused;
        for (size_t c = 0; c < s.mappings.size(); ++c) {
            const ChannelMapping& m = s.mappings[c];
            if (m.sourceChannel == kNoChannel)
                continue;
            const std::string channelWhere = where + " channel " + std::to_string(c + 1);
            if (auto refused = RoutingRules::checkSourceChannel(m.sourceChannel))
                return channelWhere + ": " + *refused;
            if (auto refused = RoutingRules::checkStoredName(m.sourceName))
                return channelWhere + ": source " + quotedName(m.sourceName) + ": " + *refused;
        }
        if (!s.videoSource.empty())
            if (auto refused = RoutingRules::checkStoredName(s.videoSource))
                return where + ": video source " + quotedName(s.videoSource) + ": " + *refused;
    }
    std::map<std::string_view, size_t> delays;
    for (size_t i = 0; i < routing.delays.size(); ++i) {
        const auto& [name, ms] = routing.delays[i];
        const std::string where = "delay " + std::to_string(i + 1);
        if (auto refused = RoutingRules::checkStoredName(name))
            return where + " " + quotedName(name) + ": " + *refused;
        if (const auto [it, added] = delays.emplace(name, i + 1); !added)
            return where + " is for the sender of delay " + std::to_string(it->second) + ", " + quotedName(name);
        if (auto refused = RoutingRules::checkDelay(ms))
            return where + ": " + std::to_string(ms) + " - " + *refused;
    }
    return std::nullopt;
}

std::optional<std::string> render(const StoredRouting& routing, std::string& error)
{
    if (auto refused = check(routing)) {
        error = *refused;
        return std::nullopt;
    }
    json senders = json::array();
    for (const StoredSender& s : routing.senders) {
        json channels = json::array();
        for (const ChannelMapping& m : s.mappings) {
            const bool connected = m.sourceChannel != kNoChannel;
            channels.push_back({{"sourceChannel", connected ? static_cast<int64_t>(m.sourceChannel) + 1 : 0},
                {"sourceName", connected ? m.sourceName : std::string()}});
        }
        senders.push_back(
            {{"senderChannelMappings", channels}, {"senderName", s.name}, {"videoSource", s.videoSource}});
    }
    json delays = json::array();
    for (const auto& [name, ms] : routing.delays)
        delays.push_back({{"delay", ms}, {"senderName", name}});
    const json document = {{"senderChannelMappings", senders}, {"senderDelayMappings", delays}};
    return document.dump(4, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<StoredRouting> parse(std::string_view text, std::string& error, std::vector<std::string>* notes)
{
    std::vector<std::string> ownNotes;
    std::vector<std::string>& leftOut = notes != nullptr ? *notes : ownNotes;
    leftOut.clear();
    StoredRouting routing;
    if (text.empty())
        return routing; // an empty file holds no senders
    try {
        const json document = json::parse(text);
        const json* senders = nullptr;
        const json* delays = nullptr;
        if (document.is_array()) {
            senders = &document; // the older layout: senders only, no delays
        } else if (document.is_object()) {
            if (const auto it = document.find("senderChannelMappings"); it != document.end()) {
                if (!it->is_array())
                    throw std::runtime_error(std::string("\"senderChannelMappings\" is ") + it->type_name());
                senders = &*it;
            }
            if (const auto it = document.find("senderDelayMappings"); it != document.end()) {
                if (!it->is_array())
                    throw std::runtime_error(std::string("\"senderDelayMappings\" is ") + it->type_name());
                delays = &*it;
            }
        } else {
            throw std::runtime_error(
                std::string("the top level is ") + document.type_name() + ", neither an object nor an array");
        }
        readEach<StoredSender>(
            senders, "sender", "has the name of sender", readSender, [](const StoredSender& s) { return s.name; },
            routing.senders, leftOut);
        readEach<std::pair<std::string, int32_t>>(
            delays, "delay", "is for the sender of delay", readDelay, [](const auto& d) { return d.first; },
            routing.delays, leftOut);
    } catch (const json::parse_error& e) {
        error = "not valid JSON at byte " + std::to_string(e.byte) + " (" + e.what() + ")";
        return std::nullopt;
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
    // Whatever is read keeps the rules, so the writer writes it back as it is.
    if (auto refused = check(routing)) {
        error = "read what the routing cannot hold: " + *refused;
        return std::nullopt;
    }
    return routing;
}

bool readFile(const std::string& path, std::string& text, std::string& error)
{
    if (!enterFolder(path, error))
        return false;
    QFile file(qPath(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = "cannot be opened (" + file.errorString().toStdString() + ")";
        return false;
    }
    // Never more than the limit is read, even of a file that grows meanwhile.
    const QByteArray bytes = file.size() > kMaxFileBytes ? QByteArray() : file.read(kMaxFileBytes + 1);
    if (file.size() > kMaxFileBytes || bytes.size() > kMaxFileBytes) {
        error = "is larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
        return false;
    }
    text.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
    return true;
}

bool writeFile(const std::string& path, const std::string& text, std::string& error)
{
    if (!enterFolder(path, error))
        return false;
    QSaveFile file(qPath(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = file.errorString().toStdString();
        return false;
    }
    // The new text is on the disk before it replaces the old file. Qt's commit
    // would replace it even when its buffer could not be written (a full disk)
    // and ignores a failed sync: both are checked first.
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.flush()) {
        error = file.errorString().toStdString();
        file.cancelWriting();
        return false;
    }
    if (!syncFile(file, error)) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    syncFolder(path);
    return true;
}

bool isPresent(const std::string& path)
{
    const QFileInfo info(qPath(path));
    return info.exists() || info.isSymLink();
}

bool keepUnreadableFile(const std::string& path, std::string& kept, std::string& error)
{
    kept.clear();
    const QString original = qPath(path);
    if (!isPresent(path))
        return true;
    const QString copy = original + ".bad-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QFile::remove(copy);
    QFile file(original);
    if (!file.copy(copy)) {
        error = file.errorString().toStdString();
        return false;
    }
    kept = copy.toStdString();
    return true;
}

} // namespace MappingFile
