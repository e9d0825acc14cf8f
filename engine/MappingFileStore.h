#pragma once

// Threads: reads and writes on the caller's thread (the user interface, or the device's thread at start), never waiting
// for the audio thread; delays restored on a task of its own.

#include "engine/BackgroundTask.h"
#include "engine/MappingFile.h"
#include "engine/RoutingCore.h"
#include "engine/RoutingRules.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

// The routing's files: loading one replaces the routing through the routing's
// queue, saving one writes the routing the queued changes make. The delays a
// file holds are applied once its routing is in place and NDI runs.
class MappingFileStore {
public:
    MappingFileStore(RoutingCore& routing, RoutingCore::Listener* listener);
    ~MappingFileStore(); // stops the delay restore

    // Writes the routing the changes made so far make, replacing the file only
    // once the new one is complete and on the disk. A file whose last load
    // failed is replaced only once a copy of it was kept. A failure is logged
    // once until a write to that path works again, and its reason returned.
    Outcome write(const std::string& path);
    // Replaces the routing with the file's; a file that cannot be read or
    // understood changes nothing (logged, and its reason returned). What a
    // file holds that the routing cannot is logged, and the file is kept as a
    // failed one is before anything replaces it. No write replaces a file
    // while it is being read.
    Outcome read(const std::string& path);
    static bool exists(const std::string& path);
    // Why the last write to `path` failed; nothing while writes to it work.
    std::optional<std::string> writeFailure(const std::string& path);

    // The path Save writes to.
    std::string path();
    void setPath(const std::string& path);

    // A delay set, or a sender removed, by hand while a stored delay still
    // waits for it: the stored one is dropped in the same moment, so neither a
    // write nor the restore brings it back. Any thread.
    bool setDelay(const std::string& sender, int32_t milliseconds);
    void removeSender(const std::string& sender);

    // Once NDI runs, the delays of the last file loaded are applied.
    void startNdiProcessing();
    // No delay restore runs after it returns.
    void stop();

private:
    StoredRouting storedRouting();
    Outcome writeFailed(const std::string& path, const std::string& error);
    void forgetPendingDelay(const std::string& sender); // under mutex
    // Worker thread of the routing: the routing of the file loaded last is in place.
    void routingPublished();
    // The restore task.
    void restoreDelays();

    RoutingCore& routing;
    RoutingCore::Listener* listener = nullptr;

    // Held while a file is read or written: a write never replaces a file
    // that is being read. Taken before `mutex`.
    std::mutex fileMutex;
    std::mutex mutex;
    std::string mappingPath;
    // Delays read from a file, waiting to be applied.
    std::optional<std::map<std::string, int32_t>> pendingDelays;
    bool pendingDelaysPublished = false;
    std::set<std::string> unreadableFiles; // paths whose last load failed or left something out
    std::map<std::string, std::string> failedWrites; // path -> why its last write failed
    uint64_t loads = 0; // files loaded so far, to tell whose delays are pending
    std::atomic<bool> ndiStarted{false};
    BackgroundTask delayRestoreTask{[this] { restoreDelays(); }};
};
