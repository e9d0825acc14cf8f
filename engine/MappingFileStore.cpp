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
    const RoutingSnapshot snapshot = routing.routingSnapshot();
    StoredRouting stored;
    for (const auto& [name, mappings] : snapshot.mappings) {
        const auto video = snapshot.videoSources.find(name);
        stored.senders.push_back({name, mappings, video != snapshot.videoSources.end() ? video->second : ""});
    }
    std::lock_guard lock(mutex);
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

Outcome MappingFileStore::write(const std::string& path)
{
    const QString where = QString::fromStdString(path);
    // A load still under way (its senders wait out the pause after clearing) is
    // part of the routing: never write the cleared state in between.
    routing.waitForCommands(RoutingCore::kRemoveAllPause + std::chrono::seconds(1));
    std::string error;
    const std::optional<std::string> text = MappingFile::render(storedRouting(), error);
    if (!text) {
        qCritical().noquote() << "Cannot save channel mappings to" << where << "-" << QString::fromStdString(error);
        return Outcome::refused(error);
    }
    // Never replace unseen a file that failed to load: its bytes are kept first, or it stays.
    bool unreadable = false;
    {
        std::lock_guard lock(mutex);
        unreadable = unreadableFiles.count(path) != 0;
    }
    if (unreadable) {
        std::string kept;
        if (!MappingFile::keepUnreadableFile(path, kept, error)) {
            error = "it could not be loaded, and keeping a copy of it failed (" + error + ")";
            qCritical().noquote() << "Not saving channel mappings to" << where << "-" << QString::fromStdString(error);
            return Outcome::refused(error);
        }
        if (!kept.empty())
            qWarning().noquote() << "The channel mappings that could not be loaded were kept in"
                                 << QString::fromStdString(kept);
        std::lock_guard lock(mutex);
        unreadableFiles.erase(path);
    }
    if (!MappingFile::writeFile(path, *text, error)) {
        qCritical().noquote() << "Cannot save channel mappings to" << where << "-" << QString::fromStdString(error);
        return Outcome::refused(error);
    }
    return {};
}

Outcome MappingFileStore::read(const std::string& path)
{
    std::string text, error;
    std::vector<std::string> leftOut;
    std::optional<StoredRouting> stored;
    if (MappingFile::readFile(path, text, error))
        stored = MappingFile::parse(text, error, &leftOut);
    if (!stored) {
        qCritical().noquote() << "Cannot load channel mappings from" << QString::fromStdString(path) << "-"
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
        // What was left out is still in the file: it is kept before anything replaces the file.
        if (leftOut.empty())
            unreadableFiles.erase(path);
        else
            unreadableFiles.insert(path);
        routing.replaceRouting(std::move(*stored));
    }
    for (const std::string& note : leftOut)
        qWarning().noquote() << "Channel mappings from" << QString::fromStdString(path) << "-"
                             << QString::fromStdString(note);
    qInfo().noquote() << "Loaded channel mappings from" << QString::fromStdString(path);
    return {};
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
        {
            std::lock_guard lock(mutex);
            if (!pendingDelays || !pendingDelaysPublished || !ndiStarted)
                return;
            table = std::move(*pendingDelays);
            pendingDelays.reset();
        }
        for (const auto& [name, ms] : table)
            if (routing.setAVDelay(name, ms) && listener != nullptr)
                listener->senderDelayChanged(name, ms);
    }
}
