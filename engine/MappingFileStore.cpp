#include "engine/MappingFileStore.h"

#include <QtCore/QDebug>
#include <QtCore/QFile>

MappingFileStore::MappingFileStore(RoutingCore& routingCore, RoutingCore::Listener* reportsTo)
    : routing(routingCore), listener(reportsTo)
{
    routing.onRoutingPublished([this] { routingPublished(); });
}

MappingFileStore::~MappingFileStore()
{
    stop();
}

void MappingFileStore::stop()
{
    routing.onRoutingPublished(nullptr);
    delayRestoreTask.stop();
}

std::string MappingFileStore::path()
{
    std::lock_guard lock(mutex);
    return mappingPath;
}

void MappingFileStore::setPath(const std::string& newPath)
{
    std::lock_guard lock(mutex);
    mappingPath = newPath;
}

bool MappingFileStore::exists(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly);
}

StoredRouting MappingFileStore::storedRouting()
{
    // One moment of the routing: a load replaces the routing and its pending delays under `mutex`.
    std::lock_guard lock(mutex);
    const RoutingSnapshot snapshot = routing.routingSnapshot();
    StoredRouting stored;
    for (const auto& [name, mappings] : snapshot.mappings) {
        const auto video = snapshot.videoSources.find(name);
        stored.senders.push_back({name, mappings, video != snapshot.videoSources.end() ? video->second : ""});
    }
    for (const auto& [name, seconds] : snapshot.delaySeconds) {
        int32_t ms = MappingFile::toMilliseconds(seconds);
        // A stored delay not applied yet is still the sender's delay.
        if (pendingDelays)
            if (const auto waiting = pendingDelays->find(name); waiting != pendingDelays->end())
                ms = waiting->second;
        stored.delays.emplace_back(name, ms);
    }
    return stored;
}

namespace {

QString qPath(const std::string& path)
{
    return QString::fromStdString(path);
}

// For lines written without quotes: quoted and escaped, a line break in a path stays inside its line.
QString quotedPath(const std::string& path)
{
    QString text;
    QDebug(&text).nospace() << qPath(path);
    return text;
}

} // namespace

Outcome MappingFileStore::write(const std::string& path)
{
    std::lock_guard files(fileMutex);
    std::string error;
    const std::optional<std::string> text = MappingFile::render(storedRouting(), error);
    if (!text)
        return writeFailed(path, error);
    // Never replace unseen a file that failed to load: its bytes are kept first, or it stays.
    bool unreadable = false;
    {
        std::lock_guard lock(mutex);
        unreadable = unreadableFiles.count(path) != 0;
    }
    if (unreadable) {
        std::string kept;
        if (!MappingFile::keepUnreadableFile(path, kept, error))
            return writeFailed(path, "it could not be loaded, and keeping a copy of it failed (" + error + ")");
        if (!kept.empty())
            qWarning().noquote() << "The channel mappings that could not be loaded were kept in" << quotedPath(kept);
        std::lock_guard lock(mutex);
        unreadableFiles.erase(path);
    }
    if (!MappingFile::writeFile(path, *text, error))
        return writeFailed(path, error);
    std::lock_guard lock(mutex);
    if (failedWrites.erase(path) != 0)
        qInfo() << "Channel mappings saved to" << qPath(path) << "again";
    return {};
}

Outcome MappingFileStore::writeFailed(const std::string& path, const std::string& error)
{
    std::lock_guard lock(mutex);
    // Once until a write works again: a full disk must not fill the log, one retry a second.
    if (failedWrites.count(path) == 0)
        qCritical() << "Cannot save channel mappings to" << qPath(path) << "-" << QString::fromStdString(error);
    failedWrites[path] = error;
    return Outcome::refused(error);
}

std::optional<std::string> MappingFileStore::writeFailure(const std::string& path)
{
    std::lock_guard lock(mutex);
    const auto failed = failedWrites.find(path);
    return failed != failedWrites.end() ? std::optional(failed->second) : std::nullopt;
}

Outcome MappingFileStore::read(const std::string& path)
{
    std::lock_guard files(fileMutex);
    std::string text, error;
    std::vector<std::string> leftOut;
    std::optional<StoredRouting> stored;
    if (MappingFile::readFile(path, text, error))
        stored = MappingFile::parse(text, error, &leftOut);
    if (!stored) {
        qCritical().noquote() << "Cannot load channel mappings from" << quotedPath(path) << "-"
                              << QString::fromStdString(error);
        std::lock_guard lock(mutex);
        unreadableFiles.insert(path);
        return Outcome::refused(error);
    }

    std::map<std::string, int32_t> delays;
    for (const auto& [name, ms] : stored->delays)
        if (ms != 0)
            delays[name] = ms;
    {
        // The file's delays replace any still waiting from an earlier load;
        // they wait for this file's routing to be reported.
        std::lock_guard lock(mutex);
        pendingDelays = delays.empty() ? std::nullopt : std::optional(std::move(delays));
        pendingDelaysPublished = false;
        ++loads;
        // What was left out is still in the file: it is kept before anything replaces the file.
        if (leftOut.empty())
            unreadableFiles.erase(path);
        else
            unreadableFiles.insert(path);
        routing.replaceRouting(std::move(*stored));
    }
    for (const std::string& note : leftOut)
        qWarning().noquote() << "Channel mappings from" << quotedPath(path) << "-" << QString::fromStdString(note);
    qInfo().noquote() << "Loaded channel mappings from" << quotedPath(path);
    return {};
}

bool MappingFileStore::setDelay(const std::string& sender, int32_t milliseconds)
{
    std::lock_guard lock(mutex);
    if (!routing.setAVDelay(sender, milliseconds))
        return false;
    forgetPendingDelay(sender);
    return true;
}

void MappingFileStore::removeSender(const std::string& sender)
{
    std::lock_guard lock(mutex);
    routing.removeSender(sender);
    forgetPendingDelay(sender);
}

void MappingFileStore::forgetPendingDelay(const std::string& sender)
{
    if (pendingDelays && pendingDelays->erase(sender) != 0 && pendingDelays->empty())
        pendingDelays.reset();
}

void MappingFileStore::startNdiProcessing()
{
    ndiStarted = true;
    std::lock_guard lock(mutex);
    if (pendingDelays && pendingDelaysPublished)
        delayRestoreTask.tryStart();
}

void MappingFileStore::routingPublished()
{
    std::lock_guard lock(mutex);
    pendingDelaysPublished = true;
    if (ndiStarted && pendingDelays)
        delayRestoreTask.tryStart(); // never waits: the delays are set on the task's thread
}

void MappingFileStore::restoreDelays()
{
    for (;;) {
        std::map<std::string, int32_t> table;
        uint64_t load = 0;
        {
            std::lock_guard lock(mutex);
            if (!pendingDelays || !pendingDelaysPublished || !ndiStarted)
                return;
            table = *pendingDelays;
            load = loads;
        }
        // Each delay is applied and leaves the pending ones in one moment, so a
        // write meanwhile never loses it, and one set by hand meanwhile stays.
        for (const auto& [name, ms] : table) {
            bool applied = false;
            {
                std::lock_guard lock(mutex);
                if (loads != load || !pendingDelays)
                    break; // a newer file's delays wait for its own routing
                if (pendingDelays->count(name) == 0)
                    continue;
                applied = routing.setAVDelay(name, ms);
                forgetPendingDelay(name);
            }
            if (applied && listener != nullptr)
                listener->senderDelayChanged(name, ms);
        }
    }
}
