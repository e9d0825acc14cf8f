#include "Finder.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace loopback {

namespace {

std::vector<std::string> sortedNames(const std::vector<Announcement>& found)
{
    std::vector<std::string> result;
    for (const auto& a : found)
        result.push_back(a.name);
    std::sort(result.begin(), result.end());
    return result;
}

} // namespace

Finder::Finder(const NDIlib_find_create_t* settings)
{
    if (settings != nullptr)
        showLocalSources = settings->show_local_sources;
}

std::vector<Announcement> Finder::scan() const
{
    auto found = listAnnouncements();
    if (!showLocalSources) {
        const std::string prefix = machineName() + " (";
        std::erase_if(found, [&](const Announcement& a) { return a.name.rfind(prefix, 0) == 0; });
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return found;
}

void Finder::keep(std::vector<Announcement> found)
{
    lastSeen = sortedNames(found);
    names.clear();
    addresses.clear();
    for (auto& a : found) {
        names.push_back(std::move(a.name));
        addresses.push_back("127.0.0.1:" + std::to_string(a.port));
    }
    list.assign(names.size(), NDIlib_source_t{});
    listV2.assign(names.size(), NDIlib_source_v2_t{});
    for (size_t i = 0; i < names.size(); ++i) {
        list[i].p_ndi_name = listV2[i].p_ndi_name = names[i].c_str();
        list[i].p_url_address = listV2[i].p_url_address = addresses[i].c_str();
    }
}

const NDIlib_source_t* Finder::currentSources(uint32_t* count)
{
    std::lock_guard lock(mutex);
    keep(scan());
    if (count != nullptr)
        *count = static_cast<uint32_t>(list.size());
    return list.data();
}

const NDIlib_source_v2_t* Finder::currentSourcesV2(uint32_t* count)
{
    std::lock_guard lock(mutex);
    keep(scan());
    if (count != nullptr)
        *count = static_cast<uint32_t>(listV2.size());
    return listV2.data();
}

bool Finder::waitForSources(uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto now = sortedNames(scan());
        {
            std::lock_guard lock(mutex);
            if (now != lastSeen) {
                lastSeen = std::move(now);
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace loopback
