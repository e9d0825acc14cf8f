#pragma once

// Records what the routing controller reports, from whatever thread, and lets
// a test wait for a report.

#include "engine/AudioController.h"

#include <algorithm>
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

    void routingPublished(const SenderChannelMappings&, const SenderVideoSources&) override
    {
        add({"published", "", 0});
    }
    void sourceAdded(const std::string& source, uint32_t count) override { add({"added", source, count}); }
    void sourceRemoved(const std::string& source) override { add({"removed", source, 0}); }
    void sourceChannelCountChanged(const std::string& source, uint32_t n) override { add({"count", source, n}); }
    void senderDelayChanged(const std::string& sender, int32_t ms) override { add({"delay", sender, ms}); }

    std::vector<Report> reports()
    {
        std::lock_guard lock(mutex);
        return all;
    }

    // Reports about `name`, in order.
    std::vector<Report> about(const std::string& name)
    {
        std::vector<Report> result = reports();
        std::erase_if(result, [&](const Report& r) { return r.name != name; });
        return result;
    }

    // Waits until `report` has been made at least `times` times.
    bool waitFor(const Report& report, std::chrono::seconds timeout = std::chrono::seconds(10), size_t times = 1)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(
            lock, timeout, [&] { return std::ranges::count(all, report) >= static_cast<std::ptrdiff_t>(times); });
    }

    // When `report` was made for the `times`-th time (the clock's epoch if it was not).
    std::chrono::system_clock::time_point madeAt(const Report& report, size_t times = 1)
    {
        std::lock_guard lock(mutex);
        for (size_t i = 0, seen = 0; i < all.size(); ++i)
            if (all[i] == report && ++seen == times)
                return when[i];
        return {};
    }

private:
    void add(Report report)
    {
        std::lock_guard lock(mutex);
        all.push_back(std::move(report));
        when.push_back(std::chrono::system_clock::now());
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> all;
    std::vector<std::chrono::system_clock::time_point> when; // of each report in `all`
};

// The controller as the window runs it: NDI processing on, and the routing
// its start reloads from `file` in place.
struct RunningController {
    explicit RunningController(std::string file = AudioController::defaultMappingFilePath())
        : controller(&listener, std::move(file))
    {
        controller.ndiProcessingStarted = true;
        controller.waitForCommands(std::chrono::seconds(5));
    }
    bool found(const std::string& source) { return listener.waitFor({"added", source, kNoChannel}); }

    ControllerListener listener;
    AudioController controller;
};
