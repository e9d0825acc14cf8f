#include "ndi/NdiLibrary.h"

#include <QtCore/QDebug>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void* openShared(const std::string& path, std::string& error)
{
#if defined(_WIN32)
    void* h = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (h == nullptr)
        error = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
    return h;
#else
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "cannot be opened";
    }
    return h;
#endif
}

void* findSymbol(void* handle, const char* name)
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

void closeShared(void* handle)
{
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

std::filesystem::path executableFolder()
{
#if defined(_WIN32)
    char buffer[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::filesystem::path(buffer).parent_path();
#else
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
#endif
}

// Standard calls behind the adapters for runtimes without the Advanced entries.
// Only one runtime is ever bound per process, so plain globals suffice.
struct StandardCalls {
    decltype(&NDIlib_find_create_v2) find_create_v2 = nullptr;
    decltype(&NDIlib_find_get_current_sources) find_get_current_sources = nullptr;
    decltype(&NDIlib_recv_create_v3) recv_create_v3 = nullptr;
    decltype(&NDIlib_send_create) send_create = nullptr;
};
StandardCalls standard;

NDIlib_find_instance_t findCreateV3Adapter(const NDIlib_find_create_t* settings, const char*)
{
    return standard.find_create_v2(settings);
}

// The v2 entries are valid until the next call on the same finder; the
// finder polls and walks its list on one thread, so a per-thread copy holds.
const NDIlib_source_v2_t* findGetCurrentSourcesV2Adapter(NDIlib_find_instance_t instance, uint32_t* count)
{
    thread_local std::vector<NDIlib_source_v2_t> converted;
    uint32_t n = 0;
    const NDIlib_source_t* list = standard.find_get_current_sources(instance, &n);
    converted.clear();
    for (uint32_t i = 0; list != nullptr && i < n; ++i) {
        NDIlib_source_v2_t entry;
        entry.p_ndi_name = list[i].p_ndi_name;
        entry.p_url_address = list[i].p_url_address;
        converted.push_back(entry);
    }
    if (count != nullptr)
        *count = static_cast<uint32_t>(converted.size());
    return converted.data();
}

NDIlib_recv_instance_t recvCreateV4Adapter(const NDIlib_recv_create_v3_t* settings, const char*)
{
    return standard.recv_create_v3(settings);
}

NDIlib_send_instance_t sendCreateV2Adapter(const NDIlib_send_create_t* settings, const char*)
{
    return standard.send_create(settings);
}

template <typename Fn> bool bind(const NdiLibrary::EntryLookup& lookup, Fn& slot, const char* name)
{
    slot = reinterpret_cast<Fn>(lookup(name));
    return slot != nullptr;
}

// Used when no runtime can be loaded: nothing is ever created, so the
// rest of Kestrix sees an empty network and keeps running.
NdiFunctions absentRuntime()
{
    NdiFunctions f;
    f.initialize = [] { return false; };
    f.destroy = [] {};
    f.version = [] { return "none"; };
    f.find_create_v3 = [](const NDIlib_find_create_t*, const char*) -> NDIlib_find_instance_t { return nullptr; };
    f.find_get_current_sources_v2 = [](NDIlib_find_instance_t, uint32_t* n) -> const NDIlib_source_v2_t* {
        if (n != nullptr)
            *n = 0;
        return nullptr;
    };
    f.find_wait_for_sources = [](NDIlib_find_instance_t, uint32_t) { return false; };
    f.find_destroy = [](NDIlib_find_instance_t) {};
    f.recv_create_v4 = [](const NDIlib_recv_create_v3_t*, const char*) -> NDIlib_recv_instance_t { return nullptr; };
    f.recv_destroy = [](NDIlib_recv_instance_t) {};
    f.recv_capture_v2 = [](NDIlib_recv_instance_t, NDIlib_video_frame_v2_t*, NDIlib_audio_frame_v2_t*,
                            NDIlib_metadata_frame_t*, uint32_t) { return NDIlib_frame_type_none; };
    f.recv_capture_v3 = [](NDIlib_recv_instance_t, NDIlib_video_frame_v2_t*, NDIlib_audio_frame_v3_t*,
                            NDIlib_metadata_frame_t*, uint32_t) { return NDIlib_frame_type_none; };
    f.recv_free_video_v2 = [](NDIlib_recv_instance_t, const NDIlib_video_frame_v2_t*) {};
    f.recv_free_audio_v2 = [](NDIlib_recv_instance_t, const NDIlib_audio_frame_v2_t*) {};
    f.recv_free_audio_v3 = [](NDIlib_recv_instance_t, const NDIlib_audio_frame_v3_t*) {};
    f.recv_free_metadata = [](NDIlib_recv_instance_t, const NDIlib_metadata_frame_t*) {};
    f.framesync_create = [](NDIlib_recv_instance_t) -> NDIlib_framesync_instance_t { return nullptr; };
    f.framesync_destroy = [](NDIlib_framesync_instance_t) {};
    f.framesync_capture_audio = [](NDIlib_framesync_instance_t, NDIlib_audio_frame_v2_t* frame, int, int, int) {
        if (frame != nullptr)
            *frame = NDIlib_audio_frame_v2_t{};
    };
    f.framesync_free_audio = [](NDIlib_framesync_instance_t, NDIlib_audio_frame_v2_t*) {};
    f.framesync_capture_video = [](NDIlib_framesync_instance_t, NDIlib_video_frame_v2_t* frame,
                                    NDIlib_frame_format_type_e) {
        if (frame != nullptr)
            *frame = NDIlib_video_frame_v2_t{};
    };
    f.framesync_free_video = [](NDIlib_framesync_instance_t, NDIlib_video_frame_v2_t*) {};
    f.send_create_v2 = [](const NDIlib_send_create_t*, const char*) -> NDIlib_send_instance_t { return nullptr; };
    f.send_destroy = [](NDIlib_send_instance_t) {};
    f.send_send_video_v2 = [](NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*) {};
    f.send_send_audio_v2 = [](NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t*) {};
    f.send_get_source_name = [](NDIlib_send_instance_t) -> const NDIlib_source_t* { return nullptr; };
    f.send_get_no_connections = [](NDIlib_send_instance_t, uint32_t) { return 0; };
    return f;
}

struct ProcessRuntime {
    std::unique_ptr<NdiLibrary> library;
    NdiFunctions absent = absentRuntime();
};

std::unique_ptr<NdiLibrary> givenRuntime; // useNdiRuntime's, taken by the first ndi() call
std::atomic<bool> runtimeChosen{false};

ProcessRuntime& processRuntime()
{
    static ProcessRuntime runtime{[] {
        runtimeChosen = true;
        return givenRuntime ? std::move(givenRuntime) : NdiLibrary::loadFirstUsable();
    }()};
    return runtime;
}

} // namespace

NdiLibrary::~NdiLibrary()
{
    if (handle != nullptr)
        closeShared(handle);
}

std::unique_ptr<NdiLibrary> NdiLibrary::open(const std::string& path, std::string& error)
{
    void* opened = openShared(path, error);
    if (opened == nullptr)
        return nullptr;
    auto lib = fromEntries(
        path, [opened](const char* name) { return findSymbol(opened, name); }, error);
    if (!lib) {
        closeShared(opened);
        return nullptr;
    }
    lib->handle = opened;
    return lib;
}

std::unique_ptr<NdiLibrary> NdiLibrary::fromEntries(
    const std::string& runtimeName, const EntryLookup& lookup, std::string& error)
{
    std::unique_ptr<NdiLibrary> lib(new NdiLibrary);
    lib->libraryPath = runtimeName;
    NdiFunctions& t = lib->table;
    const char* missing = nullptr;
    auto need = [&](auto& slot, const char* name) {
        if (!bind(lookup, slot, name) && missing == nullptr)
            missing = name;
    };
    need(t.initialize, "NDIlib_initialize");
    need(t.destroy, "NDIlib_destroy");
    need(t.version, "NDIlib_version");
    need(t.find_wait_for_sources, "NDIlib_find_wait_for_sources");
    need(t.find_destroy, "NDIlib_find_destroy");
    need(t.recv_destroy, "NDIlib_recv_destroy");
    need(t.recv_capture_v2, "NDIlib_recv_capture_v2");
    need(t.recv_capture_v3, "NDIlib_recv_capture_v3");
    need(t.recv_free_video_v2, "NDIlib_recv_free_video_v2");
    need(t.recv_free_audio_v2, "NDIlib_recv_free_audio_v2");
    need(t.recv_free_audio_v3, "NDIlib_recv_free_audio_v3");
    need(t.recv_free_metadata, "NDIlib_recv_free_metadata");
    need(t.framesync_create, "NDIlib_framesync_create");
    need(t.framesync_destroy, "NDIlib_framesync_destroy");
    need(t.framesync_capture_audio, "NDIlib_framesync_capture_audio");
    need(t.framesync_free_audio, "NDIlib_framesync_free_audio");
    need(t.framesync_capture_video, "NDIlib_framesync_capture_video");
    need(t.framesync_free_video, "NDIlib_framesync_free_video");
    need(t.send_destroy, "NDIlib_send_destroy");
    need(t.send_send_video_v2, "NDIlib_send_send_video_v2");
    need(t.send_send_audio_v2, "NDIlib_send_send_audio_v2");
    need(t.send_get_source_name, "NDIlib_send_get_source_name");
    need(t.send_get_no_connections, "NDIlib_send_get_no_connections");

    bind(lookup, t.framesync_audio_queue_depth, "NDIlib_framesync_audio_queue_depth");

    // Advanced entries, each with the standard call of the same purpose behind it.
    StandardCalls std_;
    if (!bind(lookup, t.find_create_v3, "NDIlib_find_create_v3")) {
        need(std_.find_create_v2, "NDIlib_find_create_v2");
        t.find_create_v3 = findCreateV3Adapter;
    }
    if (!bind(lookup, t.find_get_current_sources_v2, "NDIlib_find_get_current_sources_v2")) {
        need(std_.find_get_current_sources, "NDIlib_find_get_current_sources");
        t.find_get_current_sources_v2 = findGetCurrentSourcesV2Adapter;
    }
    if (!bind(lookup, t.recv_create_v4, "NDIlib_recv_create_v4")) {
        need(std_.recv_create_v3, "NDIlib_recv_create_v3");
        t.recv_create_v4 = recvCreateV4Adapter;
        lib->advanced = false;
    }
    if (!bind(lookup, t.send_create_v2, "NDIlib_send_create_v2")) {
        need(std_.send_create, "NDIlib_send_create");
        t.send_create_v2 = sendCreateV2Adapter;
    }

    if (missing != nullptr) {
        error = std::string("lacks ") + missing;
        return nullptr;
    }
    // Only fill what this library needed, so opening a complete library never
    // breaks the adapters of one opened before.
    if (std_.find_create_v2 != nullptr)
        standard.find_create_v2 = std_.find_create_v2;
    if (std_.find_get_current_sources != nullptr)
        standard.find_get_current_sources = std_.find_get_current_sources;
    if (std_.recv_create_v3 != nullptr)
        standard.recv_create_v3 = std_.recv_create_v3;
    if (std_.send_create != nullptr)
        standard.send_create = std_.send_create;
    return lib;
}

std::vector<std::string> NdiLibrary::candidatePaths()
{
    std::vector<std::string> paths;
    if (const char* chosen = std::getenv("KESTRIX_NDI_RUNTIME"); chosen != nullptr && *chosen != '\0')
        paths.emplace_back(chosen);

#if defined(_WIN32)
    const char* names[] = {"Processing.NDI.Lib.Advanced.x64.dll", "Processing.NDI.Lib.x64.dll"};
    const char* loopback = "kestrix-ndi-loopback.dll";
#else
    const char* names[] = {"libndi_advanced.so.6", "libndi_advanced.so", "libndi.so.6", "libndi.so.5"};
    const char* loopback = "libkestrix-ndi-loopback.so";
#endif
    for (const char* variable : {"NDI_RUNTIME_DIR_V6", "NDI_RUNTIME_DIR_V5"}) {
        const char* folder = std::getenv(variable);
        if (folder == nullptr || *folder == '\0')
            continue;
        for (const char* name : names)
            paths.push_back((std::filesystem::path(folder) / name).string());
    }
    for (const char* name : names)
        paths.emplace_back(name); // the platform's own library search
    const std::filesystem::path programs = executableFolder();
    paths.push_back((programs / loopback).string());
#if !defined(_WIN32)
    // Installed: the programs in <prefix>/bin, the runtime in Kestrix's own library folder.
    paths.push_back((programs.parent_path() / "lib" / "kestrix" / loopback).string());
#endif
    return paths;
}

std::unique_ptr<NdiLibrary> NdiLibrary::loadFirstUsable()
{
    for (const std::string& path : candidatePaths()) {
        std::string error;
        auto lib = open(path, error);
        if (lib) {
            qInfo().noquote() << "NDI runtime loaded:" << QString::fromStdString(path) << "version"
                              << QString::fromStdString(lib->versionText());
            qInfo().noquote() << (lib->isAdvanced()
                    ? "Video pass-through: compressed pictures are re-sent untouched"
                    : "Video pass-through: this runtime has no Advanced SDK receiver; pictures "
                      "are received and re-sent uncompressed");
            return lib;
        }
        // A missing library is the normal case for most candidates; a broken one is worth a warning.
        if (error.rfind("lacks ", 0) == 0)
            qWarning().noquote() << "NDI runtime refused:" << QString::fromStdString(path) << "-"
                                 << QString::fromStdString(error);
        else
            qDebug().noquote() << "NDI runtime not usable:" << QString::fromStdString(path) << "-"
                               << QString::fromStdString(error);
    }
    qCritical() << "No NDI runtime could be loaded: Kestrix runs without NDI sources and senders";
    return nullptr;
}

std::string NdiLibrary::versionText() const
{
    const char* text = table.version();
    return text != nullptr ? text : "";
}

const NdiFunctions& ndi()
{
    ProcessRuntime& runtime = processRuntime();
    return runtime.library ? runtime.library->functions() : runtime.absent;
}

bool ndiRuntimeIsAdvanced()
{
    ProcessRuntime& runtime = processRuntime();
    return runtime.library && runtime.library->isAdvanced();
}

bool useNdiRuntime(std::unique_ptr<NdiLibrary> library)
{
    if (runtimeChosen)
        return false;
    givenRuntime = std::move(library);
    return true;
}

std::string ndiRuntimeName()
{
    ProcessRuntime& runtime = processRuntime();
    if (!runtime.library)
        return "none";
    const std::string& path = runtime.library->path();
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ndiRuntimeVersion()
{
    ProcessRuntime& runtime = processRuntime();
    return runtime.library ? runtime.library->versionText() : "none";
}
