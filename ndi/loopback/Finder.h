#pragma once

#include "Registry.h"
#include "ndi/NdiApi.h"

#include <mutex>
#include <string>
#include <vector>

namespace loopback {

// Lists the announced senders. The lists it returns stay valid until its next
// list call or its destruction, as a finder's lists do.
class Finder {
public:
    explicit Finder(const NDIlib_find_create_t* settings);

    const NDIlib_source_t* currentSources(uint32_t* count);
    const NDIlib_source_v2_t* currentSourcesV2(uint32_t* count);
    bool waitForSources(uint32_t timeoutMs); // true when the set changed

private:
    std::vector<Announcement> scan() const;
    void keep(std::vector<Announcement> found);

    bool showLocalSources = true;
    std::mutex mutex;
    std::vector<std::string> names, addresses;
    std::vector<NDIlib_source_t> list;
    std::vector<NDIlib_source_v2_t> listV2;
    std::vector<std::string> lastSeen; // what the last list or wait saw, sorted
};

} // namespace loopback
