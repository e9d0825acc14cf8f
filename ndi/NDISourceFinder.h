#pragma once

#include "ndi/NdiApi.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>

// Gates the NDI work of the whole process: set while a routing controller lives.
extern std::atomic<bool> ndiActive;

// Keeps the set of NDI sources on the network and reports each change,
// leaving out the senders this program publishes itself.
class NDISourceFinder {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // Discovery task's thread, with the finder's mutex held.
        virtual void sourcesChanged(NDISourceFinder& finder) = 0;
        // Discovery task's thread: the names of the senders this program publishes
        // (the keys of its sender channel mappings), as a copy.
        virtual std::set<std::string> senderChannelMappings() = 0;
    };

    NDISourceFinder(); // user-interface thread
    ~NDISourceFinder();
    NDISourceFinder(const NDISourceFinder&) = delete;
    NDISourceFinder& operator=(const NDISourceFinder&) = delete;

    // Discovery task only, never two at a time; never blocks on the network.
    NDISourceFinder& poll();

    void setListener(Listener* newListener) { listener = newListener; }

    // Splits "MACHINE (stream)" into its machine part (upper-cased) and its
    // stream part. False for a name that is no NDI source name.
    static bool splitSourceName(const std::string& name, std::string& machine, std::string& stream);

    // Only the discovery task writes it; others read it with `mutex` held.
    std::set<std::string> sources;
    std::mutex mutex;

private:
    NDIlib_find_instance_t findInstance = nullptr;
    std::string localMachineName;
    Listener* listener = nullptr;
};
