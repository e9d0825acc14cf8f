#pragma once

#include "ndi/NdiApi.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

// The NDI sources one finder sees, by name, for tools that look a few names
// up and then connect to them. One thread uses it.
class SourceDirectory {
public:
    SourceDirectory();
    ~SourceDirectory();
    SourceDirectory(const SourceDirectory&) = delete;
    SourceDirectory& operator=(const SourceDirectory&) = delete;

    bool valid() const { return finder != nullptr; }

    // Waits until `deadline` (or a stop signal) collecting what the finder
    // reports, then returns every name seen at the end, sorted.
    std::vector<std::string> namesAt(std::chrono::steady_clock::time_point deadline);

    // Waits until every one of `names` is present, the deadline passes or a
    // stop signal arrives; true when all were found.
    bool waitFor(const std::vector<std::string>& names, std::chrono::steady_clock::time_point deadline);

    // A receiver setting for `name` as last found (name and address both
    // point into this directory, which must outlive the receiver's creation).
    NDIlib_source_t source(const std::string& name) const;

private:
    void refresh();

    NDIlib_find_instance_t finder = nullptr;
    std::map<std::string, std::string> addresses; // name → URL address
};
