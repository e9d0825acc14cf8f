#pragma once

#include "ndi/NdiApi.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The NDI functions Kestrix calls, resolved by name from one runtime library.
// Where a runtime lacks an Advanced-SDK entry, the slot holds an adapter over
// the standard call of the same purpose, so callers never check for null.
struct NdiFunctions {
    decltype(&NDIlib_initialize) initialize = nullptr;
    decltype(&NDIlib_destroy) destroy = nullptr;
    decltype(&NDIlib_version) version = nullptr;
    decltype(&NDIlib_find_create_v3) find_create_v3 = nullptr;
    decltype(&NDIlib_find_get_current_sources_v2) find_get_current_sources_v2 = nullptr;
    decltype(&NDIlib_find_wait_for_sources) find_wait_for_sources = nullptr;
    decltype(&NDIlib_find_destroy) find_destroy = nullptr;
    decltype(&NDIlib_recv_create_v4) recv_create_v4 = nullptr;
    decltype(&NDIlib_recv_destroy) recv_destroy = nullptr;
    decltype(&NDIlib_recv_capture_v2) recv_capture_v2 = nullptr;
    decltype(&NDIlib_recv_capture_v3) recv_capture_v3 = nullptr;
    decltype(&NDIlib_recv_free_video_v2) recv_free_video_v2 = nullptr;
    decltype(&NDIlib_recv_free_audio_v2) recv_free_audio_v2 = nullptr;
    decltype(&NDIlib_recv_free_audio_v3) recv_free_audio_v3 = nullptr;
    decltype(&NDIlib_recv_free_metadata) recv_free_metadata = nullptr;
    decltype(&NDIlib_framesync_create) framesync_create = nullptr;
    decltype(&NDIlib_framesync_destroy) framesync_destroy = nullptr;
    decltype(&NDIlib_framesync_capture_audio) framesync_capture_audio = nullptr;
    decltype(&NDIlib_framesync_free_audio) framesync_free_audio = nullptr;
    decltype(&NDIlib_framesync_capture_video) framesync_capture_video = nullptr;
    decltype(&NDIlib_framesync_free_video) framesync_free_video = nullptr;
    // Optional: null where the runtime lacks it.
    decltype(&NDIlib_framesync_audio_queue_depth) framesync_audio_queue_depth = nullptr;
    decltype(&NDIlib_send_create_v2) send_create_v2 = nullptr;
    decltype(&NDIlib_send_destroy) send_destroy = nullptr;
    decltype(&NDIlib_send_send_video_v2) send_send_video_v2 = nullptr;
    decltype(&NDIlib_send_send_audio_v2) send_send_audio_v2 = nullptr;
    decltype(&NDIlib_send_get_source_name) send_get_source_name = nullptr;
    decltype(&NDIlib_send_get_no_connections) send_get_no_connections = nullptr;
};

// One loaded NDI runtime library. Kestrix loads one per process, at start,
// and calls NDI only through its function table.
class NdiLibrary {
public:
    ~NdiLibrary();
    NdiLibrary(const NdiLibrary&) = delete;
    NdiLibrary& operator=(const NdiLibrary&) = delete;

    // Opens the library at `path` and resolves every function. Returns null and
    // sets `error` (naming the missing function, if that is why) on failure.
    static std::unique_ptr<NdiLibrary> open(const std::string& path, std::string& error);

    // Finds an entry point by its C name; null where the runtime lacks it.
    using EntryLookup = std::function<void*(const char* name)>;

    // As open(), with the entry points from `lookup` instead of a library
    // file: for a runtime that lives in the program itself. `runtimeName`
    // stands where a path would.
    static std::unique_ptr<NdiLibrary> fromEntries(
        const std::string& runtimeName, const EntryLookup& lookup, std::string& error);

    // The libraries to try, in order: $KESTRIX_NDI_RUNTIME, the real runtime
    // ($NDI_RUNTIME_DIR_V6/_V5, then the usual names), then the loopback
    // runtime beside the executable, or where the package installs it
    // (<prefix>/lib/kestrix beside <prefix>/bin).
    static std::vector<std::string> candidatePaths();

    // Tries the candidates in order and logs which library and version it took.
    // Returns null (and logs why) when none can be used.
    static std::unique_ptr<NdiLibrary> loadFirstUsable();

    const NdiFunctions& functions() const { return table; }
    // Whether the runtime has the Advanced SDK's receiver, which hands compressed video over untouched.
    bool isAdvanced() const { return advanced; }
    const std::string& path() const { return libraryPath; }
    std::string versionText() const;

private:
    NdiLibrary() = default;

    void* handle = nullptr;
    std::string libraryPath;
    NdiFunctions table;
    bool advanced = true;
};

// The process-wide NDI runtime, loaded on first use and kept until exit.
// When no runtime can be loaded every call is a harmless no-op that creates
// nothing, so Kestrix runs (without NDI) instead of crashing.
const NdiFunctions& ndi();

// Makes `library` the process-wide runtime instead of the first usable
// candidate, for a program that brings its own. At start, before anything
// calls ndi(); false, and nothing changes, after that.
bool useNdiRuntime(std::unique_ptr<NdiLibrary> library);

// The loaded runtime's version text, or "none" when none could be loaded.
std::string ndiRuntimeVersion();
// The loaded runtime's file name, or "none" when none could be loaded.
std::string ndiRuntimeName();

// Whether the loaded runtime passes compressed video through (the Advanced
// SDK); without it, pictures are received and re-sent uncompressed.
bool ndiRuntimeIsAdvanced();
