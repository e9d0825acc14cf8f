#pragma once

// Records what the routing controller reports, from whatever thread, and lets
// a test wait for a report.

#include "engine/AudioController.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class ControllerListener : public AudioController::Listener {
public:
    struct Report {
        std::string kind; // "added", "removed", "count", "published", "delay"
        std::string name;
        int64_t value = 0;
        bool operator==(const Report&) const = default;
    };

    void routingPublished(const SenderChannelMappings&, const SenderVideoSources&) override { add({"published", "", 0}); }
    void sourceAdded(const std::string& source, uint32_t count) override { add({"added", source, count}); }
    void sourceRemoved(const std::string& source) override { add({"removed", source, 0}); }
    void sourceChannelCountChanged(const std::string& source, uint32_t count) override
    {
        add({"count", source, count});
    }
    void senderDelayChanged(const std::string& sender, int32_t ms) override { add({"delay", sender, ms}); }

    std::vector<Report> reports()
    {
        std::lock_guard lock(mutex);
        return all;
    }

    // Reports about `name`, in order.
    std::vector<Report> about(const std::string& name)
    {
        std::vector<Report> result;
        for (const auto& r : reports())
            if (r.name == name)
                result.push_back(r);
        return result;
    }

    // Waits until `report` has been made at least `times` times.
    bool waitFor(const Report& report, std::chrono::seconds timeout = std::chrono::seconds(10), size_t times = 1)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout,
                                [&] { return static_cast<size_t>(std::count(all.begin(), all.end(), report)) >= times; });
    }

private:
    void add(Report report)
    {
        {
            std::lock_guard lock(mutex);
            all.push_back(std::move(report));
        }
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> all;
};
