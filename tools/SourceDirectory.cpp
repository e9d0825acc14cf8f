#include "tools/SourceDirectory.h"

#include "ndi/NdiLibrary.h"
#include "tools/StopRequest.h"

#include <algorithm>

SourceDirectory::SourceDirectory()
{
    NDIlib_find_create_t settings;
    settings.show_local_sources = true;
    finder = ndi().find_create_v3(&settings, nullptr);
}

SourceDirectory::~SourceDirectory()
{
    if (finder != nullptr)
        ndi().find_destroy(finder);
}

void SourceDirectory::refresh()
{
    uint32_t count = 0;
    const NDIlib_source_v2_t* list = ndi().find_get_current_sources_v2(finder, &count);
    addresses.clear();
    for (uint32_t i = 0; list != nullptr && i < count; ++i)
        if (list[i].p_ndi_name != nullptr)
            addresses[list[i].p_ndi_name] = list[i].p_url_address != nullptr ? list[i].p_url_address : "";
}

std::vector<std::string> SourceDirectory::namesAt(std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    if (finder == nullptr)
        return {};
    while (!stopRequested()) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            break;
        if (ndi().find_wait_for_sources(finder, static_cast<uint32_t>(std::min<int64_t>(left, 100))))
            refresh(); // takes the change, so the next wait waits for a new one
    }
    refresh();
    std::vector<std::string> names;
    for (const auto& entry : addresses)
        names.push_back(entry.first);
    return names;
}

bool SourceDirectory::waitFor(const std::vector<std::string>& names, std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    if (finder == nullptr)
        return false;
    while (true) {
        refresh();
        if (std::all_of(names.begin(), names.end(), [&](const std::string& n) { return addresses.count(n) != 0; }))
            return true;
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || stopRequested())
            return false;
        ndi().find_wait_for_sources(finder, static_cast<uint32_t>(std::min<int64_t>(left, 100)));
    }
}

NDIlib_source_t SourceDirectory::source(const std::string& name) const
{
    NDIlib_source_t result;
    const auto it = addresses.find(name);
    if (it == addresses.end())
        return result;
    result.p_ndi_name = it->first.c_str();
    result.p_url_address = it->second.empty() ? nullptr : it->second.c_str();
    return result;
}
