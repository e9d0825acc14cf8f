#pragma once

// The loopback runtime with one source's audio capture made slow: a stand-in
// for a runtime whose frame-sync stalls. Install it before anything uses NDI.

#include "ndi/NdiLibrary.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace slow_capture {

inline std::string stream; // the slow source's stream name
inline std::chrono::milliseconds delay{0};
inline std::mutex mutex;
inline std::set<NDIlib_recv_instance_t> receivers; // of the slow source
inline std::set<NDIlib_framesync_instance_t> frameSyncs; // of those receivers
inline decltype(&NDIlib_recv_create_v4) recvCreate = nullptr;
inline decltype(&NDIlib_framesync_create) frameSyncCreate = nullptr;
inline decltype(&NDIlib_framesync_capture_audio) captureAudio = nullptr;

inline NDIlib_recv_instance_t recvCreateV4(const NDIlib_recv_create_v3_t* settings, const char* config)
{
    NDIlib_recv_instance_t receiver = recvCreate(settings, config);
    const char* name = settings != nullptr ? settings->source_to_connect_to.p_ndi_name : nullptr;
    if (receiver != nullptr && name != nullptr && std::string(name).ends_with(" (" + stream + ")")) {
        std::lock_guard lock(mutex);
        receivers.insert(receiver);
    }
    return receiver;
}

inline NDIlib_framesync_instance_t framesyncCreate(NDIlib_recv_instance_t receiver)
{
    NDIlib_framesync_instance_t sync = frameSyncCreate(receiver);
    std::lock_guard lock(mutex);
    if (sync != nullptr && receivers.count(receiver) != 0)
        frameSyncs.insert(sync);
    return sync;
}

inline void framesyncCaptureAudio(
    NDIlib_framesync_instance_t sync, NDIlib_audio_frame_v2_t* frame, int rate, int channels, int samples)
{
    bool slow = false;
    {
        std::lock_guard lock(mutex);
        slow = frameSyncs.count(sync) != 0;
    }
    if (slow)
        std::this_thread::sleep_for(delay);
    captureAudio(sync, frame, rate, channels, samples);
}

// The loopback runtime's file: the one the environment names, else the one beside the program.
inline std::string loopbackPath()
{
    if (const char* chosen = std::getenv("KESTRIX_NDI_RUNTIME"))
        return chosen;
    for (const std::string& path : NdiLibrary::candidatePaths())
        if (path.find("kestrix-ndi-loopback") != std::string::npos && std::filesystem::exists(path))
            return path;
    return {};
}

} // namespace slow_capture

// Makes the loopback runtime, with the audio capture of the source whose
// stream is `stream` taking `delay` longer, this process's NDI runtime.
inline bool installSlowCaptureRuntime(const std::string& stream, std::chrono::milliseconds delay)
{
    using namespace slow_capture;
    slow_capture::stream = stream;
    slow_capture::delay = delay;
    void* library = dlopen(loopbackPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return false;
    recvCreate = reinterpret_cast<decltype(recvCreate)>(dlsym(library, "NDIlib_recv_create_v4"));
    frameSyncCreate = reinterpret_cast<decltype(frameSyncCreate)>(dlsym(library, "NDIlib_framesync_create"));
    captureAudio = reinterpret_cast<decltype(captureAudio)>(dlsym(library, "NDIlib_framesync_capture_audio"));
    std::string error;
    auto runtime = NdiLibrary::fromEntries(
        "slow-capture loopback",
        [library](const char* name) -> void* {
            const std::string entry(name);
            if (entry == "NDIlib_recv_create_v4")
                return reinterpret_cast<void*>(&recvCreateV4);
            if (entry == "NDIlib_framesync_create")
                return reinterpret_cast<void*>(&framesyncCreate);
            if (entry == "NDIlib_framesync_capture_audio")
                return reinterpret_cast<void*>(&framesyncCaptureAudio);
            return dlsym(library, name);
        },
        error);
    return recvCreate != nullptr && frameSyncCreate != nullptr && captureAudio != nullptr && runtime &&
        useNdiRuntime(std::move(runtime));
}
