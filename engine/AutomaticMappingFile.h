#pragma once

// Threads: routingChanged from any thread, never waiting for a write; the writes on a thread of its own, and writeNow
// on the caller's.

#include "engine/MappingFileStore.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// The mapping file that the start reads and the exit writes, kept as the
// routing is: written again within a second of the last change, and at most
// once a second however fast the changes come, so a kill or a power cut
// loses no more than the last second. A write that fails keeps the previous
// file and is tried again a second later.
class AutomaticMappingFile {
public:
    static constexpr auto kInterval = std::chrono::seconds(1);

    AutomaticMappingFile(MappingFileStore& files, std::string path);
    ~AutomaticMappingFile(); // stop()
    AutomaticMappingFile(const AutomaticMappingFile&) = delete;
    AutomaticMappingFile& operator=(const AutomaticMappingFile&) = delete;

    const std::string& path() const { return filePath; }
    // The routing, the delays or the senders changed; written once kept.
    void routingChanged();
    // Writes the file now, and keeps it from then on until stop().
    Outcome writeNow();
    // Waits for a write in progress; none starts on the thread after it.
    void stop();
    // Why the last write failed; nothing while writes work.
    std::optional<std::string> writeFailure() { return files.writeFailure(filePath); }

private:
    void run();

    MappingFileStore& files;
    const std::string filePath;

    std::mutex mutex;
    std::condition_variable wake;
    bool keeping = false; // once the start wrote the file
    bool changed = false; // since the last write began
    bool stopping = false;
    std::chrono::steady_clock::time_point lastWrite{};
    std::thread thread;
};
