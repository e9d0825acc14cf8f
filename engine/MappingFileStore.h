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

    // Writes the routing once the changes queued so far have run (a load under
    // way included), replacing the file only once it is complete. A file
    // whose last load failed is replaced only once a copy of it was kept.
    // Failures are logged and their reason returned.
    Outcome write(const std::string& path);
    // Replaces the routing with the file's; a file that cannot be read or
    // understood changes nothing (logged, and its reason returned). What a
    // file holds that the routing cannot is logged, and the file is kept as a
    // failed one is before anything replaces it.
    Outcome read(const std::string& path);
    static bool exists(const std::string& path);

    // The path Save writes to.
    std::string path();
    void setPath(const std::string& path);

    // Once NDI runs, the delays of the last file loaded are applied.
    void startNdiProcessing();
    // No delay restore runs after it returns.
    void stop();

private:
    StoredRouting storedRouting();
    // Worker thread of the routing: the routing of the file loaded last is in place.
    void routingPublished();
    // The restore task.
    void restoreDelays();

    RoutingCore& routing;
    RoutingCore::Listener* listener = nullptr;

    std::mutex mutex;
    std::string mappingPath;
    // Delays read from a file, waiting to be applied.
    std::optional<std::map<std::string, int32_t>> pendingDelays;
    bool pendingDelaysPublished = false;
    std::set<std::string> unreadableFiles; // paths whose last load failed or left something out
    std::atomic<bool> ndiStarted{false};
    BackgroundTask delayRestoreTask{[this] { restoreDelays(); }};
};
